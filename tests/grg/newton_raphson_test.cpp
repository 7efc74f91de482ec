// Newton-Raphson restoration through the analysis bridge with a real callback.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "common/logical.h"
#include "entry/bridge.h"
#include "entry/settings.h"
#include "korvex/routines/grg_basis.h"
#include "support/korvex_test.h"

namespace korvex {
namespace {

// The caller's functions f = (objective, one equality, one inequality) of n variables; every call is recorded.
struct Analysis {
  int n = 2;
  std::function<void(const double*, double*)> functions;
  std::vector<std::vector<double>> points;
};

void analysis(void* user, const double* x, double* objective, double* equalities, double* inequalities) {
  auto* a = static_cast<Analysis*>(user);
  a->points.emplace_back(x, x + a->n);
  double f[3];
  a->functions(x, f);
  *objective = f[0];
  equalities[0] = f[1];
  inequalities[0] = f[2];
}

// The 29 arguments of the restoration with a two-variable default: variable 2 dependent, variable 1 independent.
struct Restoration {
  int iphase = 0, updjac = kTrue, maxnr = 7, ldj = 3;
  std::vector<int> mjinv{2};
  std::vector<double> xjinv = std::vector<double>(9, 0.0), xjac = std::vector<double>(9, 0.0);
  int idvbnd = 0;
  std::vector<int> midv{1}, mddv{2};
  std::vector<double> sdir{0.6, 0.8};
  int ndv = 2;
  std::vector<double> dv{0.0, 0.0}, dvlb{-1.0, -1.0}, dvub{1.0, 1.0};
  int ndf = 3;
  std::vector<double> df{0.0, 0.0, 0.0};
  int itobj = 1;
  std::vector<double> bstdv{0.0, 0.0}, dvprv{0.0, 0.0};
  double stpbst = 0.0, stpprv = 0.0, step = 0.0;
  int endstp = kFalse, nrconv = 5, nriter = -9;

  void run() {
    const int njinv = static_cast<int>(mjinv.size()), nidv = static_cast<int>(midv.size());
    const int nddv = static_cast<int>(mddv.size());
    GRSNR(&iphase, &updjac, &maxnr, &ldj, &njinv, mjinv.data(), xjinv.data(), xjac.data(), &idvbnd, &nidv,
          midv.data(), &nddv, mddv.data(), sdir.data(), &ndv, dv.data(), dvlb.data(), dvub.data(), &ndf, df.data(),
          &itobj, bstdv.data(), dvprv.data(), &stpbst, &stpprv, &step, &endstp, &nrconv, &nriter);
  }
};

class GrgNewtonRaphsonTest : public testing::KorvexTest {
 protected:
  void SetUp() override {
    KorvexTest::SetUp();
    bridge.callback = &analysis;
    bridge.userData = &problem_;
    bridge.nEq = 1;
    for (int i = 0; i < 2; ++i) {
      bridge.lower[i] = -1.0;  // scaled and caller's units coincide
      bridge.upper[i] = 1.0;
    }
  }
  void TearDown() override {
    bridge.callback = nullptr;
    KorvexTest::TearDown();
  }
  // The function values at r.dv, without counting.
  void evaluateAtStart(Restoration& r) { problem_.functions(r.dv.data(), r.df.data()); }
  Analysis problem_;
};

TEST_F(GrgNewtonRaphsonTest, SolvesANonlinearSystemWithBroydenUpdatesAndCountsEveryCorrection) {
  problem_.functions = [](const double* x, double* f) {
    f[0] = 5.0;
    f[1] = x[1] + 0.1 * x[1] * x[1] - 0.3 * x[0];
    f[2] = x[0] + x[1] - 0.5 + 0.05 * x[0] * x[0];
  };
  Restoration r;
  r.mjinv = {2, 3};
  r.midv = {};
  r.mddv = {1, 2};
  r.dv = {0.2, 0.1};
  r.iphase = 3;  // the current objective (function 1) is negated after each evaluation
  evaluateAtStart(r);
  const double jac[4] = {-0.3, 1.02, 1.02, 1.0};  // by columns: d/dx1, d/dx2 of (h, g)
  for (int i = 0; i < 2; ++i)
    for (int k = 0; k < 2; ++k) r.xjac[i + k * 3] = jac[i + k * 2];
  const int two = 2;
  int singul = kTrue;
  GRSINV(&r.ldj, &two, r.xjac.data(), r.xjinv.data(), &singul);
  settings.nNRCalls = 10;
  settings.nNRTotal = 20;
  KVW_set_print(1);
  r.run();

  const int calls = static_cast<int>(problem_.points.size());
  EXPECT_EQ(r.nrconv, kTrue);
  EXPECT_GE(calls, 2);
  EXPECT_EQ(r.nriter, calls + 1);
  EXPECT_EQ(settings.nNRIter, calls);
  EXPECT_EQ(settings.nNRTotal, 20 + calls);
  EXPECT_EQ(settings.nNRCalls, 11);
  EXPECT_EQ(KVW_get_nFunEval(), calls);
  EXPECT_LE(std::fabs(r.df[1]), settings.feasTol);
  EXPECT_LE(std::fabs(r.df[2]), settings.feasTol);
  EXPECT_EQ(r.df[0], -5.0);
  EXPECT_EQ(problem_.points.back(), r.dv);
  for (int i = 0; i < 2; ++i) {  // the Broyden pair stays consistent
    for (int j = 0; j < 2; ++j) {
      const double product = r.xjinv[i] * r.xjac[j * 3] + r.xjinv[i + 3] * r.xjac[1 + j * 3];
      EXPECT_NEAR(product, i == j ? 1.0 : 0.0, 1e-12);
    }
  }
  EXPECT_EQ(lines(), (std::vector<std::string>{" NR ITERATIONS=  " + std::to_string(calls)}));
  EXPECT_EQ(settings.dblPoolTop, 0);
}

TEST_F(GrgNewtonRaphsonTest, SatisfiedOnEntryMakesNoCorrectionAndClearsTheErrorFlag) {
  problem_.functions = [](const double*, double* f) { f[0] = f[1] = f[2] = 0.0; };
  Restoration r;
  r.df = {0.0, -0.001, 0.0};  // exactly feasTol counts as satisfied
  settings.nNRIter = 42;
  settings.errorFlag = -1;
  KVW_set_print(2);
  r.run();
  EXPECT_EQ(r.nrconv, kTrue);
  EXPECT_EQ(r.nriter, 1);
  EXPECT_EQ(settings.nNRIter, 0);
  EXPECT_EQ(settings.nNRCalls, 0);
  EXPECT_EQ(settings.errorFlag, 0);
  EXPECT_TRUE(problem_.points.empty());
  EXPECT_EQ(lines().front(), " DV RETURN NR");
  EXPECT_TRUE(printed(" DF RETURN NR"));
  EXPECT_EQ(lines().back(), " NR ITERATIONS=  0");
  clearLines();
  KVW_set_print(3);  // the vectors only at level 2 exactly
  r.mjinv = {};      // no basis function: converged at once
  r.df[1] = 0.5;
  r.run();
  EXPECT_EQ(r.nrconv, kTrue);
  EXPECT_EQ(lines(), (std::vector<std::string>{" NR ITERATIONS=  0"}));
}

TEST_F(GrgNewtonRaphsonTest, IterationLimitAndGrowthOfTheCorrections) {
  // h = x2 with XJINV = 2: the corrections alternate with equal size, which passes the growth test every time.
  problem_.functions = [](const double* x, double* f) { f[0] = 0.0, f[1] = x[1], f[2] = 0.0; };
  Restoration r;
  r.updjac = kFalse;
  r.dv = {0.0, 0.25};
  r.xjinv[0] = 2.0;
  r.xjac[0] = 7.0;
  evaluateAtStart(r);
  KVW_set_print(2);
  r.run();
  EXPECT_EQ(problem_.points.size(), 7u);
  EXPECT_EQ(r.nriter, 8);
  EXPECT_EQ(r.nrconv, kFalse);
  EXPECT_EQ(r.xjinv[0], 2.0);
  EXPECT_EQ(r.xjac[0], 7.0);
  EXPECT_TRUE(lines().empty());

  // XJINV = 3: the second correction is twice the first; DV holds the moved point, DF the previous values.
  problem_.points.clear();
  r.xjinv[0] = 3.0;
  r.dv = {0.0, 0.2};
  evaluateAtStart(r);
  r.run();
  EXPECT_EQ(problem_.points.size(), 1u);
  EXPECT_EQ(r.nriter, 2);
  EXPECT_DOUBLE_EQ(r.df[1], -0.4);
  EXPECT_DOUBLE_EQ(r.dv[1], 0.8);
  EXPECT_EQ(lines(), (std::vector<std::string>{" NR RESIDUALS GROWING"}));
}

TEST_F(GrgNewtonRaphsonTest, DependentVariableClampsCountTheLowerBoundButNotTheUpper) {
  double target = 0.0;
  problem_.functions = [&target](const double* x, double* f) { f[0] = 0.0, f[1] = x[1] - target, f[2] = 0.0; };
  Restoration r;
  r.xjinv[0] = 1.0;
  KVW_set_print(2);
  for (const double t : {-1.0, 1.5}) {  // onto the lower bound exactly; beyond the upper bound
    target = t;
    r.dv = {0.0, 0.0};
    evaluateAtStart(r);
    r.run();
    EXPECT_EQ(r.nrconv, kFalse);
    EXPECT_EQ(r.dv[1], t < 0 ? -1.0 : 1.0);
    EXPECT_EQ(lines().back(), " DEPENDENT VAR AT BOUND");
  }
  EXPECT_TRUE(problem_.points.empty());
  target = 1.0;  // exactly onto the upper bound: no hit, one evaluation, converged
  r.dv = {0.0, 0.5};
  evaluateAtStart(r);
  r.run();
  EXPECT_EQ(r.nrconv, kTrue);
  EXPECT_EQ(r.nriter, 2);
  EXPECT_EQ(r.dv[1], 1.0);
  EXPECT_EQ(problem_.points.size(), 1u);
}

TEST_F(GrgNewtonRaphsonTest, StepLengthRowMovesTheIndependentVariablesAlongTheDirection) {
  problem_.functions = [](const double* x, double* f) { f[0] = 0.0, f[1] = 0.0, f[2] = x[0] + x[1] - 0.5; };
  Restoration r;  // no dependent variable: the new constraint's row solves for STEP
  r.mjinv = {3};
  r.mddv = {};
  r.midv = {1, 2};
  r.step = 0.1;
  r.dv = {0.06, 0.08};
  r.xjinv[0] = 1.0 / 1.4;
  evaluateAtStart(r);
  KVW_set_print(3);
  r.run();
  EXPECT_EQ(r.nrconv, kTrue);
  EXPECT_EQ(problem_.points.size(), 1u);
  EXPECT_NEAR(r.step, 0.5 / 1.4, 1e-15);
  EXPECT_EQ(r.dv[0], 0.0 + 0.6 * (r.step - 0.0));
  EXPECT_EQ(r.dv[1], 0.0 + 0.8 * (r.step - 0.0));
  EXPECT_EQ(r.endstp, kFalse);
  EXPECT_EQ(lines().front(), " I=   1 DELDV(I)=    0.2571E+00   ");
  EXPECT_TRUE(printed(" DV AFTER NR"));
  EXPECT_TRUE(printed(" UPDATED INVERSE JACOBIAN"));
}

TEST_F(GrgNewtonRaphsonTest, DependentVariablesFollowAStepLengthCorrectionByTangentOrSecant) {
  problem_.functions = [](const double*, double* f) { f[0] = f[1] = f[2] = 1.0; };
  Restoration r;  // variable 2 dependent for function 2, function 3's row solves for STEP
  r.mjinv = {2, 3};
  r.maxnr = 1;
  r.updjac = kFalse;
  r.xjinv[0] = r.xjinv[4] = 1.0;
  const auto start = [&r] {
    r.dv = {0.3, 0.3};
    r.df = {0.0, 0.01, 0.02};
    r.step = 0.5;
  };
  start();
  r.run();  // tangent: both base points at step 0
  ASSERT_EQ(problem_.points.size(), 1u);
  EXPECT_DOUBLE_EQ(problem_.points[0][0], 0.6 * 0.48);
  EXPECT_DOUBLE_EQ(problem_.points[0][1], 0.3 - 0.01 - 0.02 * 0.8);
  start();
  r.bstdv = {0.3, 0.3};
  r.dvprv = {0.15, 0.2};
  r.stpbst = 0.5;
  r.stpprv = 0.25;
  r.run();  // secant through (0.25, DVPRV) and (0.5, BSTDV)
  EXPECT_DOUBLE_EQ(problem_.points[1][0], 0.3 + 0.6 * (0.48 - 0.5));
  EXPECT_DOUBLE_EQ(problem_.points[1][1], 0.3 - 0.01 - 0.02 * (0.1 / 0.25));
  start();
  r.mjinv = {2};
  r.idvbnd = 2;  // the dependent variable held at its bound: its row solves for STEP, nothing is carried
  r.run();
  EXPECT_EQ(problem_.points[2][1], 0.3);
  EXPECT_DOUBLE_EQ(r.step, 0.49);
}

TEST_F(GrgNewtonRaphsonTest, IndependentVariableOnABoundIsNotCountedBeyondItEndsTheStep) {
  problem_.functions = [](const double*, double* f) { f[0] = 0.0, f[1] = 0.0, f[2] = -0.6; };
  Restoration r;
  r.mjinv = {3};
  r.mddv = {};
  r.midv = {1};
  r.sdir = {1.0, 0.0};
  r.maxnr = 1;
  r.updjac = kFalse;
  r.xjinv[0] = 1.0;
  r.step = 0.5;
  r.df[2] = -0.5;
  r.run();  // STEP 1.0: x1 exactly on its upper bound
  EXPECT_EQ(r.endstp, kFalse);
  EXPECT_EQ(r.dv[0], 1.0);
  EXPECT_EQ(problem_.points.size(), 1u);
  r.step = 0.5;
  r.run();  // STEP 1.1: clipped, every independent variable at a bound
  EXPECT_EQ(r.endstp, kTrue);
  EXPECT_EQ(r.nrconv, kFalse);
  EXPECT_EQ(r.dv[0], 1.0);
  EXPECT_EQ(problem_.points.size(), 1u);
}

TEST_F(GrgNewtonRaphsonTest, MoreRowsThanVariablesAndPoolOverflow) {
  // One variable, dependent, plus a step-length row: NJINV = 2 > NDV = 1.
  problem_.n = 1;
  problem_.functions = [](const double* x, double* f) { f[0] = 0.0, f[1] = x[0] - 0.1, f[2] = 0.0; };
  Restoration r;
  r.ndv = 1;
  r.ldj = 2;
  r.mjinv = {2, 3};
  r.mddv = {1};
  r.midv = {};
  r.sdir = {0.5};
  r.dv = {0.7};
  r.dvlb = {-1.0};
  r.dvub = {1.0};
  r.bstdv = {0.0};
  r.dvprv = {0.0};
  r.xjinv = {1.0, 0.0, 0.0, 1.0};
  r.xjac = {1.0, 0.0, 0.0, 1.0};
  evaluateAtStart(r);
  r.run();
  EXPECT_EQ(r.nrconv, kTrue);
  EXPECT_NEAR(r.dv[0], 0.1, 1e-15);
  EXPECT_EQ(settings.dblPoolTop, 0);

  KVW_set_print(1);
  settings.dblPoolSize = 4;  // DELDV and RESID need 2 * 2 + 1 = 5
  r.nrconv = 5;
  r.nriter = -9;
  r.df[1] = 1.0;
  r.run();
  EXPECT_EQ(r.nrconv, 5);
  EXPECT_EQ(r.nriter, -9);
  EXPECT_EQ(settings.errorFlag, -1);
  EXPECT_EQ(lines(), (std::vector<std::string>{" ERROR:  DOUBLE PRECISION STORAGE EXCEEDED         5"}));
}

}  // namespace
}  // namespace korvex
