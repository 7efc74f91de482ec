// Newton-Raphson restoration through the analysis bridge with a real callback.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "common/logical.h"
#include "entry/settings.h"
#include "grg/grg_problems.h"
#include "korvex/routines/grg_basis.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using GrgNewtonRaphsonTest = KorvexTest;
using Lines = std::vector<std::string>;

// The arguments of the restoration on an objective (the current one), an equality and an inequality; by default
// variable 2 is dependent for function 2, variable 1 independent.
struct Restoration {
  int iphase = 0, updjac = kTrue, maxnr = 7, ldj = 3, idvbnd = 0, endstp = kFalse, nrconv = 5, nriter = -9;
  std::vector<int> mjinv{2}, midv{1}, mddv{2};
  std::vector<double> xjinv = std::vector<double>(9, 0.0), xjac = std::vector<double>(9, 0.0), df{0.0, 0.0, 0.0};
  std::vector<double> sdir{0.6, 0.8}, dv{0.0, 0.0}, dvlb{-1.0, -1.0}, dvub{1.0, 1.0}, bstdv{0.0, 0.0}, dvprv{0.0, 0.0};
  double stpbst = 0.0, stpprv = 0.0, step = 0.0;

  void run() {
    const int njinv = static_cast<int>(mjinv.size()), nidv = static_cast<int>(midv.size());
    const int nddv = static_cast<int>(mddv.size()), ndv = static_cast<int>(dv.size()), ndf = 3, itobj = 1;
    GRSNR(&iphase, &updjac, &maxnr, &ldj, &njinv, mjinv.data(), xjinv.data(), xjac.data(), &idvbnd, &nidv,
          midv.data(), &nddv, mddv.data(), sdir.data(), &ndv, dv.data(), dvlb.data(), dvub.data(), &ndf, df.data(),
          &itobj, bstdv.data(), dvprv.data(), &stpbst, &stpprv, &step, &endstp, &nrconv, &nriter);
  }
  // Starts at x with the function values there, not counted as an evaluation.
  void startAt(const SearchProblem& problem, std::vector<double> x) {
    dv = std::move(x);
    problem.evaluate(dv.data(), df.data());
  }
};

// The correction counters of the settings block: latest restoration, restorations, all corrections.
std::tuple<int, int, int> counters() { return {settings.nNRIter, settings.nNRCalls, settings.nNRTotal}; }

TEST_F(GrgNewtonRaphsonTest, SolvesANonlinearSystemWithBroydenUpdatesAndCountsEveryCorrection) {
  SearchProblem problem(2, 1, [](const double* x, double* f) {
    f[0] = 5.0;
    f[1] = x[1] + 0.1 * x[1] * x[1] - 0.3 * x[0];
    f[2] = x[0] + x[1] - 0.5 + 0.05 * x[0] * x[0];
  });
  // Phase 3: the current objective (function 1) is negated after each evaluation.
  Restoration r{.iphase = 3, .mjinv = {2, 3}, .midv = {}, .mddv = {1, 2}};
  r.startAt(problem, {0.2, 0.1});
  r.xjac = {-0.3, 1.02, 0, 1.02, 1.0, 0, 0, 0, 0};  // the derivatives at the start
  const int two = 2;
  int singul = kTrue;
  GRSINV(&r.ldj, &two, r.xjac.data(), r.xjinv.data(), &singul);
  settings.nNRCalls = 10;
  settings.nNRTotal = 20;
  KVW_set_print(1);
  r.run();

  // Two corrections, one evaluation each; NRITER counts the iteration that found the system satisfied.
  EXPECT_EQ(std::tuple(problem.calls(), KVW_get_nFunEval(), r.nrconv, r.nriter), std::tuple(2, 2, kTrue, 3));
  EXPECT_EQ(counters(), std::tuple(2, 11, 22));
  EXPECT_LE(std::max(std::fabs(r.df[1]), std::fabs(r.df[2])), settings.feasTol);
  EXPECT_EQ(r.df[0], -5.0);
  EXPECT_EQ(problem.points.back(), r.dv);
  EXPECT_LT(identityError(r.xjinv.data(), r.xjac.data(), 3, 2), 1e-12);  // the Broyden pair stays consistent
  EXPECT_EQ(lines(), (Lines{" NR ITERATIONS=  2"}));
  EXPECT_EQ(settings.dblPoolTop, 0);
}

TEST_F(GrgNewtonRaphsonTest, SatisfiedOnEntryMakesNoCorrectionAndClearsTheErrorFlag) {
  Restoration r;
  r.df = {0.0, -0.001, 0.0};  // exactly feasTol counts as satisfied
  settings.nNRIter = 42;
  settings.errorFlag = -1;
  KVW_set_print(2);
  r.run();
  EXPECT_EQ(std::tuple(r.nrconv, r.nriter, settings.errorFlag), std::tuple(kTrue, 1, 0));
  EXPECT_EQ(counters(), std::tuple(0, 0, 0));
  EXPECT_EQ(lines(), (Lines{" DV RETURN NR", "  0.00000E+00  0.00000E+00", " DF RETURN NR",
                            "  0.00000E+00 -1.00000E-03  0.00000E+00", " NR ITERATIONS=  0"}));
  clearLines();
  KVW_set_print(3);  // the vectors only at level 2 exactly
  r.mjinv = {};      // no basis function: converged at once
  r.df[1] = 0.5;
  r.run();
  EXPECT_EQ(r.nrconv, kTrue);
  EXPECT_EQ(lines(), (Lines{" NR ITERATIONS=  0"}));
}

TEST_F(GrgNewtonRaphsonTest, IterationLimitAndGrowthOfTheCorrections) {
  // h = x2 with XJINV = 2: the corrections alternate with equal size, which passes the growth test every time.
  SearchProblem problem(2, 1, [](const double* x, double* f) { f[0] = 0.0, f[1] = x[1], f[2] = 0.0; });
  Restoration r;
  r.updjac = kFalse;
  r.xjinv[0] = 2.0;
  r.xjac[0] = 7.0;
  r.startAt(problem, {0.0, 0.25});
  KVW_set_print(2);
  r.run();
  EXPECT_EQ(std::tuple(problem.calls(), r.nriter, r.nrconv), std::tuple(7, 8, kFalse));
  EXPECT_EQ(std::tuple(r.xjinv[0], r.xjac[0]), std::tuple(2.0, 7.0));  // UPDJAC false: neither matrix updated
  EXPECT_TRUE(lines().empty());

  // XJINV = 3: the second correction is twice the first; DV holds the moved point, DF the previous values.
  problem.points.clear();
  r.xjinv[0] = 3.0;
  r.startAt(problem, {0.0, 0.2});
  r.run();
  EXPECT_EQ(std::tuple(problem.calls(), r.nriter), std::tuple(1, 2));
  EXPECT_DOUBLE_EQ(r.df[1], -0.4);
  EXPECT_DOUBLE_EQ(r.dv[1], 0.8);
  EXPECT_EQ(lines(), (Lines{" NR RESIDUALS GROWING"}));
}

// A dependent variable corrected exactly onto its lower bound has reached it, exactly onto its upper bound not.
// An independent variable exactly on a bound after a step-length correction is not counted; beyond, it is, and with
// every independent variable counted the step ends.
TEST_F(GrgNewtonRaphsonTest, ClampsCountTheLowerBoundButNotTheUpper) {
  double target = 0.0;
  SearchProblem problem(2, 1, [&target](const double* x, double* f) { f[0] = 0.0, f[1] = x[1] - target, f[2] = 0.0; });
  Restoration r;
  r.xjinv[0] = 1.0;
  KVW_set_print(2);
  for (const double t : {-1.0, 1.5}) {
    target = t;
    r.startAt(problem, {0.0, 0.0});
    r.run();
    EXPECT_EQ(std::tuple(r.nrconv, r.dv[1]), std::tuple(kFalse, t < 0 ? -1.0 : 1.0));
    EXPECT_EQ(lines().back(), " DEPENDENT VAR AT BOUND");
  }
  EXPECT_EQ(problem.calls(), 0);
  target = 1.0;
  r.startAt(problem, {0.0, 0.5});
  r.run();
  EXPECT_EQ(std::tuple(r.nrconv, r.dv[1], problem.calls()), std::tuple(kTrue, 1.0, 1));

  problem.functions = [](const double*, double* f) { f[0] = 0.0, f[1] = 0.0, f[2] = -0.6; };
  r.mjinv = {3};  // a step-length row, x1 moving along SDIR = (+-1, 0)
  r.mddv = {};
  r.updjac = kFalse;
  r.sdir = {0.0, 0.0};
  r.maxnr = 1;
  // STEP 0.5 + |residual| puts x1 exactly on a bound, or beyond it.
  struct Move {
    double direction, residual;
    int ends;
  };
  for (const Move m : {Move{1.0, -0.5, kFalse}, Move{-1.0, -0.5, kFalse}, Move{1.0, -0.6, kTrue}}) {
    r.sdir[0] = m.direction;
    r.step = 0.5;
    r.df[2] = m.residual;
    r.run();
    EXPECT_EQ(std::tuple(r.dv[0], r.endstp, r.nrconv), std::tuple(m.direction, m.ends, kFalse));
  }
  EXPECT_EQ(problem.calls(), 3);  // none for the ended step
}

// Variable 2 is dependent for function 2, function 3's row solves for STEP: x1 follows STEP along SDIR from BSTDV
// and x2 is carried along by the tangent SDIR, or by the secant through the two base points.
TEST_F(GrgNewtonRaphsonTest, StepLengthRowMovesTheIndependentVariablesAndCarriesTheDependentOnes) {
  SearchProblem problem(2, 1, [](const double*, double* f) { f[0] = f[1] = f[2] = 1.0; });
  Restoration r{.updjac = kFalse, .maxnr = 1, .mjinv = {2, 3}};
  r.xjinv[0] = r.xjinv[4] = 1.0;
  const auto start = [&r] {
    r.dv = {0.3, 0.3};
    r.df = {0.0, 0.01, 0.02};
    r.step = 0.5;
  };
  start();
  KVW_set_print(3);
  r.run();  // tangent: both base points at step 0
  ASSERT_EQ(problem.calls(), 1);
  const auto& points = problem.points;
  EXPECT_DOUBLE_EQ(r.step, 0.48);
  EXPECT_DOUBLE_EQ(points[0][0], 0.6 * 0.48);
  EXPECT_DOUBLE_EQ(points[0][1], 0.3 - 0.01 - 0.02 * 0.8);
  EXPECT_EQ(lines()[0], " I=   1 DELDV(I)=   -0.1000E-01   ");
  EXPECT_EQ(std::count(lines().begin(), lines().end(), " DV AFTER NR"), 1);
  start();
  r.bstdv = {0.3, 0.3};
  r.dvprv = {0.15, 0.2};
  r.stpbst = 0.5;
  r.stpprv = 0.25;
  r.run();  // secant through (0.25, DVPRV) and (0.5, BSTDV)
  EXPECT_DOUBLE_EQ(points[1][0], 0.3 + 0.6 * (0.48 - 0.5));
  EXPECT_DOUBLE_EQ(points[1][1], 0.3 - 0.01 - 0.02 * (0.1 / 0.25));
  start();
  r.mjinv = {2};
  r.idvbnd = 2;  // the dependent variable held at its bound: its row solves for STEP, nothing is carried
  r.run();
  EXPECT_EQ(points[2][1], 0.3);
  EXPECT_DOUBLE_EQ(r.step, 0.49);
  start();  // x2 carried by the tangent exactly onto its lower bound: counted, the point is not evaluated
  r.mjinv = {2, 3};
  r.idvbnd = 0;
  r.stpbst = r.stpprv = 0.0;
  r.sdir[1] = 1.0;
  r.dv[1] = -0.75;
  r.df = {0.0, 0.0, 0.25};
  r.run();
  EXPECT_EQ(std::tuple(r.dv[1], problem.calls()), std::tuple(-1.0, 3));
}

// DELDV and RESID are sized for a step-length row beyond the variables; a system that XJINV cannot hold is not
// worked on; an overflow leaves NRCONV and NRITER untouched.
TEST_F(GrgNewtonRaphsonTest, SystemsLargerThanTheVariablesOrTheMatricesAndPoolOverflow) {
  SearchProblem problem(1, 1, [](const double* x, double* f) { f[0] = 0.0, f[1] = x[0] - 0.1, f[2] = 0.0; });
  // One variable, dependent, plus a step-length row: NJINV = 2 > NDV = 1.
  Restoration r{.ldj = 2, .mjinv = {2, 3}, .midv = {}, .mddv = {1}, .xjinv = {1, 0, 0, 1}, .xjac = {1, 0, 0, 1},
                .sdir = {0.5}, .dvlb = {-1.0}, .dvub = {1.0}, .bstdv = {0.0}, .dvprv = {0.0}};
  r.startAt(problem, {0.7});
  r.run();
  EXPECT_EQ(r.nrconv, kTrue);
  EXPECT_NEAR(r.dv[0], 0.1, 1e-15);
  EXPECT_EQ(settings.dblPoolTop, 0);

  r.ldj = 1;  // two rows with LDJ = 1
  r.df[1] = 1.0;
  const std::vector<double> xjinv = r.xjinv;
  r.run();
  EXPECT_EQ(std::tuple(r.nrconv, r.nriter, problem.calls()), std::tuple(kFalse, 1, 1));
  EXPECT_EQ(r.xjinv, xjinv);

  r.ldj = 2;
  KVW_set_print(1);
  settings.dblPoolSize = 4;  // DELDV and RESID need 2 * 2 + 1 = 5
  r.nrconv = 5;
  r.nriter = -9;
  r.run();
  EXPECT_EQ(std::tuple(r.nrconv, r.nriter, settings.errorFlag, problem.calls()), std::tuple(5, -9, -1, 1));
  EXPECT_EQ(lines(), (Lines{" ERROR:  DOUBLE PRECISION STORAGE EXCEEDED         5"}));
}

}  // namespace
}  // namespace korvex::testing
