// Restoration of trial points: the Newton-Raphson corrections through a real callback, and the feasibility
// restoration around them (new-constraint events, bound events, the plain case, the refusals).
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
#include "korvex/routines/grg_search.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using GrgNewtonRaphsonTest = KorvexTest;
using GrgRestoration = KorvexTest;

// The arguments of the Newton-Raphson restoration on an objective (the current one), an equality and an
// inequality; by default variable 2 is dependent for function 2, variable 1 independent.
struct NewtonArgs {
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
  NewtonArgs r{.iphase = 3, .mjinv = {2, 3}, .midv = {}, .mddv = {1, 2}};
  r.startAt(problem, {0.2, 0.1});
  r.xjac = {-0.3, 1.02, 0, 1.02, 1.0, 0, 0, 0, 0};  // the derivatives at the start
  const int two = 2;
  int singul = kTrue;
  GRSINV(&r.ldj, &two, r.xjac.data(), r.xjinv.data(), &singul);
  settings.nNRCalls = 10;
  settings.nNRTotal = 20;
  settings.print = 1;
  r.run();

  // Two corrections, one evaluation each; NRITER counts the iteration that found the system satisfied.
  EXPECT_EQ(std::tuple(problem.calls(), KVW_get_nFunEval(), r.nrconv, r.nriter), std::tuple(2, 2, kTrue, 3));
  EXPECT_EQ(counters(), std::tuple(2, 11, 22));
  EXPECT_LE(std::max(std::fabs(r.df[1]), std::fabs(r.df[2])), settings.feasTol);
  EXPECT_EQ(r.df[0], -5.0);
  EXPECT_EQ(problem.points.back(), r.dv);
  EXPECT_LT(identityError(r.xjinv.data(), r.xjac.data(), 3, 2), 1e-12);  // the Broyden pair stays consistent
  EXPECT_EQ(lines(), (Lines{" NR ITERATIONS=  2"}));
  EXPECT_EQ(workPool.dblPoolTop, 0);
}

TEST_F(GrgNewtonRaphsonTest, SatisfiedOnEntryMakesNoCorrectionAndClearsTheErrorFlag) {
  NewtonArgs r{.df = {0.0, -0.001, 0.0}};  // exactly feasTol counts as satisfied
  settings.nNRIter = 42;
  settings.errorFlag = -1;
  settings.print = 2;
  r.run();
  EXPECT_EQ(std::tuple(r.nrconv, r.nriter, settings.errorFlag), std::tuple(kTrue, 1, 0));
  EXPECT_EQ(counters(), std::tuple(0, 0, 0));
  EXPECT_EQ(lines(), (Lines{" DV RETURN NR", "  0.00000E+00  0.00000E+00", " DF RETURN NR",
                            "  0.00000E+00 -1.00000E-03  0.00000E+00", " NR ITERATIONS=  0"}));
  clearLines();
  KVW_set_print(3);  // the vectors only at level 2 exactly; no basis function: converged at once
  r.mjinv.clear();
  r.df[1] = 0.5;
  r.run();
  EXPECT_EQ(std::tuple(r.nrconv, lines()), std::tuple(kTrue, Lines{" NR ITERATIONS=  0"}));
}

TEST_F(GrgNewtonRaphsonTest, IterationLimitAndGrowthOfTheCorrections) {
  // h = x2 with XJINV = 2: the corrections alternate with equal size, which passes the growth test every time.
  SearchProblem problem(2, 1, [](const double* x, double* f) { setFunctions(f, {0.0, x[1], 0.0}); });
  NewtonArgs r{.updjac = kFalse, .xjinv = {2, 0, 0, 0, 0, 0, 0, 0, 0}, .xjac = {7, 0, 0, 0, 0, 0, 0, 0, 0}};
  r.startAt(problem, {0.0, 0.25});
  KVW_set_print(2);
  r.run();
  // UPDJAC false: neither matrix updated.
  EXPECT_EQ(std::tuple(problem.calls(), r.nriter, r.nrconv, r.xjinv[0], r.xjac[0], lines()),
            std::tuple(7, 8, kFalse, 2.0, 7.0, Lines{}));

  // XJINV = 3: the second correction is twice the first; DV holds the moved point, DF the previous values.
  problem.points.clear();
  r.xjinv[0] = 3.0;
  r.startAt(problem, {0.0, 0.2});
  r.run();
  EXPECT_EQ(std::tuple(problem.calls(), r.nriter, lines()), std::tuple(1, 2, Lines{" NR RESIDUALS GROWING"}));
  expectDoubleEq({r.df[1], r.dv[1]}, {-0.4, 0.8});
}

// A dependent variable corrected exactly onto its lower bound has reached it, exactly onto its upper bound not.
// An independent variable exactly on a bound after a step-length correction is not counted; beyond, it is, and with
// every independent variable counted the step ends.
TEST_F(GrgNewtonRaphsonTest, ClampsCountTheLowerBoundButNotTheUpper) {
  double target = 0.0;
  SearchProblem problem(2, 1, [&target](const double* x, double* f) { setFunctions(f, {0.0, x[1] - target, 0.0}); });
  NewtonArgs r{.xjinv = {1, 0, 0, 0, 0, 0, 0, 0, 0}};
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

  problem.functions = [](const double*, double* f) { setFunctions(f, {0.0, 0.0, -0.6}); };
  // A step-length row, x1 moving along SDIR = (+-1, 0).
  NewtonArgs s{.updjac = kFalse, .maxnr = 1, .mjinv = {3}, .mddv = {}, .xjinv = r.xjinv, .sdir = {0, 0}};
  // STEP 0.5 + |residual| puts x1 exactly on a bound, or beyond it.
  struct Move {
    double direction, residual;
    int ends;
  };
  for (const Move m : {Move{1.0, -0.5, kFalse}, Move{-1.0, -0.5, kFalse}, Move{1.0, -0.6, kTrue}}) {
    s.sdir[0] = m.direction;
    s.step = 0.5;
    s.df[2] = m.residual;
    s.run();
    EXPECT_EQ(std::tuple(s.dv[0], s.endstp, s.nrconv), std::tuple(m.direction, m.ends, kFalse));
  }
  EXPECT_EQ(problem.calls(), 3);  // none for the ended step
}

// Variable 2 is dependent for function 2, function 3's row solves for STEP: x1 follows STEP along SDIR from BSTDV
// and x2 is carried along by the tangent SDIR.
TEST_F(GrgNewtonRaphsonTest, StepLengthRowMovesTheIndependentVariablesAndCarriesTheDependentOnes) {
  SearchProblem problem(2, 1, [](const double*, double* f) { f[0] = f[1] = f[2] = 1.0; });
  NewtonArgs r{.updjac = kFalse, .maxnr = 1, .mjinv = {2, 3}, .xjinv = {1, 0, 0, 0, 1, 0, 0, 0, 0}};
  const auto start = [&r] {
    r.dv = {0.3, 0.3};
    r.df = {0.0, 0.01, 0.02};
    r.step = 0.5;
  };
  start();
  KVW_set_print(3);
  r.run();  // both base points at step 0
  ASSERT_EQ(problem.calls(), 1);
  const auto& points = problem.points;
  expectDoubleEq({r.step, points[0][0], points[0][1]}, {0.48, 0.6 * 0.48, 0.3 - 0.01 - 0.02 * 0.8});
  EXPECT_EQ(lines()[0], " I=   1 DELDV(I)=   -0.1000E-01   ");
  EXPECT_EQ(std::count(lines().begin(), lines().end(), " DV AFTER NR"), 1);
  start();  // the dependent variable held at its bound: its row solves for STEP, nothing is carried
  r.mjinv = {2};
  r.idvbnd = 2;
  r.run();
  EXPECT_EQ(points[1][1], 0.3);
  EXPECT_DOUBLE_EQ(r.step, 0.49);
  start();  // x2 carried by the tangent exactly onto its lower bound: counted, the point is not evaluated
  r.mjinv = {2, 3};
  r.idvbnd = 0;
  r.sdir[1] = 1.0;
  r.dv[1] = -0.75;
  r.df = {0.0, 0.0, 0.25};
  r.run();
  EXPECT_EQ(std::tuple(r.dv[1], problem.calls()), std::tuple(-1.0, 2));
}

// DELDV and RESID are sized for a step-length row beyond the variables; a system that XJINV cannot hold is not
// worked on; an overflow leaves NRCONV and NRITER untouched.
TEST_F(GrgNewtonRaphsonTest, SystemsLargerThanTheVariablesOrTheMatricesAndPoolOverflow) {
  SearchProblem problem(1, 1, [](const double* x, double* f) { setFunctions(f, {0.0, x[0] - 0.1, 0.0}); });
  // One variable, dependent, plus a step-length row: NJINV = 2 > NDV = 1.
  NewtonArgs r{.ldj = 2, .mjinv = {2, 3}, .midv = {}, .mddv = {1}, .xjinv = {1, 0, 0, 1}, .xjac = {1, 0, 0, 1},
                .sdir = {0.5}, .dvlb = {-1.0}, .dvub = {1.0}, .bstdv = {0.0}, .dvprv = {0.0}};
  r.startAt(problem, {0.7});
  r.run();
  EXPECT_EQ(std::tuple(r.nrconv, workPool.dblPoolTop), std::tuple(kTrue, 0));
  EXPECT_NEAR(r.dv[0], 0.1, 1e-15);

  r.ldj = 1;  // two rows with LDJ = 1
  r.df[1] = 1.0;
  const Doubles xjinv = r.xjinv;
  r.run();
  EXPECT_EQ(std::tuple(r.nrconv, r.nriter, problem.calls(), r.xjinv), std::tuple(kFalse, 1, 1, xjinv));

  r.ldj = 2;
  r.nrconv = 5;
  r.nriter = -9;
  settings.print = 1;
  workPool.dblPoolSize = 4;  // DELDV and RESID need 2 * 2 + 1 = 5
  r.run();
  EXPECT_EQ(std::tuple(r.nrconv, r.nriter, settings.errorFlag, problem.calls()), std::tuple(5, -9, -1, 1));
  EXPECT_EQ(lines(), (Lines{" ERROR:  DOUBLE PRECISION STORAGE EXCEEDED         5"}));
}

// Every argument of GRSSAT on top of the problem arrays. By default every variable is independent and the basis
// is empty; a test that wants a basis sets its lists.
struct Restoration : SearchArrays {
  int iphase = 0, itobj = 1, nddv = 0, nidv, ldj, njinv = 0, idvbnd = 0, ifail = kFalse, endstp = kFalse;
  std::vector<int> ltrak = Ints(ndf), mddv = Ints(ndv), midv = Ints(ndv), mjinv = Ints(ndv);
  std::vector<double> bstdv = Doubles(ndv), dvprv = Doubles(ndv), bstdf = Doubles(ndf);
  std::vector<double> xjinv = Doubles(ldj * ldj), xjac = Doubles(ldj * ldj);
  double stpbst = 0.0, stpprv = 0.0, stpbnd = 0.0, step = 0.0;

  Restoration(int n, int nEq, int nIn, int ld) : SearchArrays(n, nEq, nIn), nidv(n), ldj(ld) {
    for (int i = 0; i < n; ++i) midv[i] = i + 1;
  }
  // Base point x at step 0 along d; the trial at step s: independent variables moved, dependent ones predicted.
  void trial(const std::vector<double>& x, const std::vector<double>& d, double s, const SearchProblem& problem) {
    bstdv = dvprv = dv = x;
    sdir = d;
    problem.evaluate(bstdv.data(), bstdf.data());
    step = s;
    for (int k = 0; k < nidv; ++k) {
      const int i = midv[k] - 1;
      dv[i] = std::min(dvub[i], std::max(dvlb[i], bstdv[i] + sdir[i] * (step - stpbst)));
    }
    GRGDDV(&nddv, mddv.data(), dvub.data(), dvlb.data(), &step, sdir.data(), dv.data(), bstdv.data(), dvprv.data(),
           &stpbst, &stpprv, &idvbnd, &stpbnd);
    problem.evaluate(dv.data(), df.data());
  }
  // Variable 2 dependent for the equality 2 with XJAC = XJINV = 1; variable 1 independent.
  void equalityBasis() {
    nidv = nddv = njinv = 1;
    midv = {1, 0};
    mddv = {2, 0};
    mjinv = {2, 0};
    xjac[0] = xjinv[0] = 1.0;
  }
  void run() {
    GRSSAT(&iphase, &itobj, &ncand, mgrgin.data(), &nIneq, ineqList.data(), ltrak.data(), &nbeq, mbndeq.data(), &nddv,
           mddv.data(), &nidv, midv.data(), &ndv, dv.data(), dvub.data(), dvlb.data(), &ndf, df.data(), lisdf.data(),
           gradd.data(), bstdv.data(), dvprv.data(), bstdf.data(), &stpbst, &stpprv, sdir.data(), &ldj, &njinv,
           mjinv.data(), xjinv.data(), xjac.data(), &idvbnd, &stpbnd, &step, &ifail, &endstp);
  }
};

TEST_F(GrgRestoration, NewConstraintShortensTheStepToWhereItBinds) {
  // Inequalities 2 and 3 identical (x1^2 - 0.25 <= 0): the first in the list is taken. No basis function: the
  // bordered system has the step length as its only unknown.
  SearchProblem problem(2, 0, [](const double* x, double* f) {
    const double circle = x[0] * x[0] - 0.25;
    setFunctions(f, {-x[0], circle, circle});
  });
  Restoration r(2, 0, 2, 3);
  r.trial({0.0, 0.0}, {1.0, 0.0}, 1.0, problem);
  settings.print = 1;
  r.run();
  // NJINV back to its entry value; the new function stays in MJINV. The independent variable follows the step.
  EXPECT_EQ(std::tuple(r.ifail, r.endstp, r.njinv, r.mjinv[0], r.dv[0], lines()),
            std::tuple(kFalse, kTrue, 0, 2, r.step, Lines{" NEW CONSTRAINT   2", " NR ITERATIONS=  4"}));
  EXPECT_LE(std::fabs(r.df[1]), settings.feasTol);
  EXPECT_NEAR(r.dv[0], 0.5, 0.01);
}

TEST_F(GrgRestoration, NewConstraintGoesBackByAtLeastTheMinimumAmountAndNeverBelowZero) {
  double slope = 1.0;
  SearchProblem problem(1, 0, [&slope](const double* x, double* f) { setFunctions(f, {-x[0], slope * (x[0] - 0.5)}); });
  // Crossing at 0.501, only 0.0005 behind the trial: back by 0.001; that point satisfies the constraint.
  Restoration r(1, 0, 1, 2);
  r.trial({0.0}, {1.0}, 0.5015, problem);
  r.run();
  EXPECT_EQ(std::tuple(r.ifail, r.step, problem.calls()), std::tuple(kFalse, 0.5015 - 0.001, 1));
  // A trial below 0.001 goes back to 0, the base point itself.
  slope = 10.0;
  Restoration z(1, 0, 1, 2);
  z.trial({0.4999}, {1.0}, 0.0008, problem);
  z.run();
  EXPECT_EQ(std::tuple(z.ifail, z.step, z.dv[0]), std::tuple(kFalse, 0.0, 0.4999));
  // A trial at step 0 that still reports a violation (inconsistent data from a direct call) leaves no step
  // difference for the corner of the bordered inverse: refused.
  Restoration w(1, 0, 1, 2);
  w.stpbst = -1.0;
  w.bstdf = {0.0, -0.5};
  w.df = {0.0, 0.5};
  w.run();
  EXPECT_EQ(std::tuple(w.ifail, w.step), std::tuple(kTrue, 0.0));
}

TEST_F(GrgRestoration, TemporaryObjectiveCrossingIsInterpolatedToFeasTol) {
  // Phase 2: equality 2 (x1 - 0.5) is the temporary objective, positive at the base point, negative at the trial.
  // Binary fractions keep the arithmetic exact: feasTol 0.125 is reached at step 0.375 (zero at 0.5).
  SearchProblem problem(1, 1, [](const double* x, double* f) { setFunctions(f, {0.0, x[0] - 0.5}); });
  settings.feasTol = 0.125;
  Restoration r(1, 1, 0, 2);
  r.iphase = 2;
  r.itobj = 2;
  r.nbeq = 0;
  r.lisdf = {0, 1};
  settings.print = 2;
  r.trial({1.0}, {-1.0}, 0.75, problem);
  r.run();
  EXPECT_EQ(std::tuple(r.ifail, r.endstp, r.step, r.dv[0], r.df[1]), std::tuple(kFalse, kTrue, 0.375, 0.625, 0.125));
  // The secants from the trial point and from the base point both have the wrong sign for a corner; the second
  // one is used: the bordered inverse is 1 / (-1).
  EXPECT_EQ(std::tuple(r.mjinv[0], r.xjinv[0], problem.calls()), std::tuple(2, -1.0, 1));
  EXPECT_TRUE(printed(" NEW CONSTRAINT   2") && printed(" ACORN NEGATIVE"));
}

TEST_F(GrgRestoration, DependentVariableAtItsBoundHandsItsColumnToTheStepLength) {
  // Equality 2: x2 - x1 = 0 with x2 dependent and bounded by 0.5; the direction runs along the equality.
  // Inequality 3, x1 - c <= 0, is out of the way with c = 5.
  double c = 5.0;
  SearchProblem problem(2, 1, [&c](const double* x, double* f) {
    setFunctions(f, {-x[0] - x[1], x[1] - x[0], x[0] - c});
  });
  const double r2 = std::sqrt(0.5);
  Restoration base(2, 1, 1, 3);
  base.equalityBasis();
  base.dvub = {1.0, 0.5};
  Restoration r = base, tie = base;
  r.trial({0.0, 0.0}, {r2, r2}, 1.0, problem);
  ASSERT_EQ(r.idvbnd, 2);
  Restoration same = r;
  settings.print = 2;
  r.run();
  EXPECT_EQ(std::tuple(r.ifail, r.endstp, r.dv[1], problem.calls()), std::tuple(kFalse, kTrue, 0.5, 1));
  expectNear({r.step, r.dv[0], r.xjinv[0] * r.xjac[0]}, {0.5 / r2, 0.5, 1.0}, 1e-12);
  // The column is now the derivative of the equality along the step, -SDIR(1), and its inverse consistent.
  EXPECT_NEAR(r.xjac[0], -r2, 1e-9);
  EXPECT_TRUE(printed(" XJAC AFTER BND UPDATE") && printed(" XJINV AFTER BND UPDATE"));

  // The bound step equal to the current step: nothing to difference with.
  same.step = same.stpbnd;
  clearLines();
  settings.print = 1;
  same.run();
  EXPECT_EQ(std::tuple(same.ifail, lines()), std::tuple(kTrue, Lines{" STPDEL ERROR IN GRGSAT, BND"}));

  // Along SDIR (1, 1) the inequality with c = 0.25 reaches feasTol = 0.25 at step 0.5, exactly where x2 reaches
  // its bound: a bound event, not a new constraint.
  c = settings.feasTol = 0.25;
  tie.trial({0.0, 0.0}, {1.0, 1.0}, 1.0, problem);
  ASSERT_EQ(tie.stpbnd, 0.5);
  tie.run();
  EXPECT_EQ(std::tuple(tie.ifail, tie.endstp, tie.step, tie.idvbnd, tie.njinv, tie.dv),
            std::tuple(kFalse, kTrue, 0.5, 2, 1, Doubles{0.5, 0.5}));
  EXPECT_FALSE(printed("NEW CONSTRAINT"));
}

TEST_F(GrgRestoration, NewConstraintOnAFullBasisOrWithoutAGradientColumnIsRefused) {
  // One variable, dependent for the equality: the basis already holds NDV functions, no row is left.
  SearchProblem problem(1, 1, [](const double* x, double* f) { setFunctions(f, {-x[0], 0.0, x[0] - 0.2}); });
  Restoration r(1, 1, 1, 3);
  r.nidv = 0;
  r.nddv = 1;
  r.njinv = 1;
  r.mddv = {1};
  r.mjinv = {2};
  r.trial({0.0}, {1.0}, 0.5, problem);
  settings.print = 1;
  r.run();
  EXPECT_EQ(std::tuple(r.ifail, r.njinv, r.mjinv), std::tuple(kTrue, 1, Ints{2}));
  EXPECT_EQ(lines().back(), " SINGULAR JACOBIAN DURING AUGMENT");

  Restoration c(1, 1, 1, 3);
  c.lisdf = {1, 2, 0};
  c.trial({0.0}, {1.0}, 0.5, problem);
  c.run();
  EXPECT_EQ(c.ifail, kTrue);
}

TEST_F(GrgRestoration, NothingToDoEvaluatesNothingAndTheFrontEndGivesThePoolBack) {
  SearchProblem problem(1, 0, [](const double* x, double* f) { setFunctions(f, {-x[0], x[0] - 0.5}); });
  Restoration r(1, 0, 1, 1);
  r.trial({0.0}, {1.0}, 0.3, problem);
  setPool(100, 7, 104);  // new top 100 + 2 NDV + NDF + 1 = 105 is refused
  settings.print = 1;
  r.step = 0.77;
  r.run();
  EXPECT_EQ(std::tuple(settings.errorFlag, r.step, lines()),  // nothing written back
            std::tuple(-1, 0.77, Lines{" ERROR:  DOUBLE PRECISION STORAGE EXCEEDED       105"}));
  settings.errorFlag = 0;  // the capacity is accepted
  workPool.dblPoolSize = 105;
  r.step = 0.3;
  r.run();
  EXPECT_EQ(std::tuple(settings.errorFlag, r.ifail, r.endstp, r.step), std::tuple(0, kFalse, kFalse, 0.3));
  EXPECT_EQ(std::tuple(workPool.dblPoolTop, workPool.intPoolTop), std::tuple(100, 7));
  r.iphase = 1;  // in the feasibility phase the same trial ends the search
  r.run();
  EXPECT_EQ(std::tuple(r.endstp, problem.calls()), std::tuple(kTrue, 0));
}

TEST_F(GrgRestoration, DependentVariablesFollowTangentOrSecantAndReportTheFirstBound) {
  const double dvub[3] = {1.0, 1.0, 1.0}, dvlb[3] = {-1.0, -1.0, -1.0}, sdir[3] = {0.5, -0.5, 0.7071};
  const double bstdv[3] = {0.8, -0.8, 0.0}, dvprv[3] = {0.6, -0.7, 0.0}, stpbst = 0.2;
  const int nddv = 2, mddv[2] = {2, 1}, none = 0;
  double dv[3] = {9.0, 9.0, 9.0}, step = 0.6, stpprv = 0.2, stpbnd = 0.0;
  int idvbnd = -1;
  auto predict = [&](const int* count) {
    GRGDDV(count, mddv, dvub, dvlb, &step, sdir, dv, bstdv, dvprv, &stpbst, &stpprv, &idvbnd, &stpbnd);
  };
  // Tangent (STPBST = STPPRV): variables 1 and 2 both reach their bounds at 0.6; the first in MDDV is reported.
  predict(&nddv);
  EXPECT_EQ(std::tuple(Doubles(dv, dv + 3), idvbnd), std::tuple(Doubles{1.0, -1.0, 9.0}, 2));
  EXPECT_NEAR(stpbnd, 0.6, 1e-12);
  // Secant from DVPRV at 0.1: variable 1 slope 2 (bound at 0.3), variable 2 slope -1 (bound at 0.4).
  stpprv = 0.1;
  step = 0.25;
  predict(&nddv);
  expectNear({dv[0], dv[1]}, {0.9, -0.85}, 1e-12);
  EXPECT_EQ(std::tuple(idvbnd, stpbnd), std::tuple(0, settings.bigValue));
  step = 0.3 - 1e-8;  // within tinyTol of the bound counts as on it
  predict(&nddv);
  EXPECT_EQ(std::tuple(dv[0], idvbnd), std::tuple(1.0, 1));
  EXPECT_NEAR(stpbnd, 0.3, 1e-12);
  // No dependent variable: nothing moves.
  dv[0] = 0.1;
  predict(&none);
  EXPECT_EQ(std::tuple(idvbnd, dv[0]), std::tuple(0, 0.1));
}

}  // namespace
}  // namespace korvex::testing
