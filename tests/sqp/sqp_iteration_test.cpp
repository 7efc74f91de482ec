// The SQP method through KVW_sqp: call counts, every result code a problem can reach, the stop request, the
// front end's pool overflow and the iteration's printed lines.
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "entry/bridge.h"
#include "entry/settings.h"
#include "korvex/korvex.h"
#include "support/korvex_test.h"

namespace korvex {
namespace {

// A problem given by a lambda: (x, objective, equalities, inequalities).
using Analysis = std::function<void(const double*, double*, double*, double*)>;

struct Callback {
  Analysis analysis;
  int calls = 0;
  int stopAtCall = 0;  // KVW_set_stop(1) from inside this call (0: never)
};

void trampoline(void* user, const double* x, double* obj, double* eq, double* ineq) {
  auto* c = static_cast<Callback*>(user);
  ++c->calls;
  c->analysis(x, obj, eq, ineq);
  if (c->calls == c->stopAtCall) KVW_set_stop(1);
}

class SqpRunTest : public korvex::testing::KorvexTest {
 protected:
  // The driver keeps the latest callback; forget ours so that later tests start as a fresh process would.
  void TearDown() override {
    bridge.callback = nullptr;
    bridge.userData = nullptr;
    KorvexTest::TearDown();
  }
  int run(int maxIter, std::vector<double>& x, int nEq, int nIneq, Callback& callback, double bound = 1.0) {
    const size_t n = x.size();
    std::vector<double> lower(n, -bound), upper(n, bound);
    f.assign(static_cast<size_t>(1 + nEq + nIneq), 0.0);
    return KVW_sqp(maxIter, static_cast<int>(n), x.data(), lower.data(), upper.data(), nEq, nIneq, &trampoline,
                   &callback, f.data());
  }
  std::vector<double> f;
};

Callback quadraticAt(double centre) {
  return Callback{[centre](const double* x, double* obj, double*, double*) { *obj = (x[0] - centre) * (x[0] - centre); }};
}

TEST_F(SqpRunTest, ZeroIterationsEvaluateTheStartPointOnce) {
  Callback c = quadraticAt(0.25);
  std::vector<double> x{0.0};
  EXPECT_EQ(run(0, x, 0, 0, c), KVW_SQP_ITERATION_LIMIT);
  EXPECT_EQ(c.calls, 1);
  EXPECT_EQ(KVW_get_nFunEval(), 1);
  EXPECT_EQ(KVW_get_nIter(), 0);
  EXPECT_EQ(f[0], 0.0625);
  EXPECT_EQ(settings.dblPoolTop, 0);
  EXPECT_EQ(settings.intPoolTop, 0);
}

TEST_F(SqpRunTest, UnconstrainedMinimumConvergesAtTheFirstIteration) {
  // 1 start evaluation + n forward differences + 1 final evaluation; central differences take 2n.
  Callback c{[](const double* x, double* obj, double*, double*) {
    *obj = (x[0] - 0.2) * (x[0] - 0.2) + (x[1] + 0.4) * (x[1] + 0.4);
  }};
  std::vector<double> x{0.2, -0.4};
  EXPECT_EQ(run(10, x, 0, 0, c), KVW_SQP_CONVERGED);
  EXPECT_EQ(c.calls, 1 + 2 + 1);
  EXPECT_EQ(KVW_get_nIter(), 1);

  KVW_setDefaults();
  KVW_set_diffMeth(2);
  c.calls = 0;
  x = {0.2, -0.4};
  EXPECT_EQ(run(10, x, 0, 0, c), KVW_SQP_CONVERGED);
  EXPECT_EQ(c.calls, 1 + 4 + 1);
}

TEST_F(SqpRunTest, IterationLimitKeepsTheLastAcceptedPoint) {
  Callback c{[](const double* x, double* obj, double*, double*) {
    *obj = 100.0 * std::pow(x[1] - x[0] * x[0], 2) + std::pow(1.0 - x[0], 2);
  }};
  std::vector<double> x{-1.2, 1.0};
  EXPECT_EQ(run(3, x, 0, 0, c, 2.0), KVW_SQP_ITERATION_LIMIT);
  EXPECT_EQ(KVW_get_nIter(), 3);
  // f holds the functions at the returned point.
  EXPECT_EQ(f[0], 100.0 * std::pow(x[1] - x[0] * x[0], 2) + std::pow(1.0 - x[0], 2));
  EXPECT_LT(f[0], 24.2);
}

TEST_F(SqpRunTest, StopRequestedInsideTheCallbackEndsTheRunAtTheNextIterationTop) {
  Callback c = quadraticAt(0.9);
  c.stopAtCall = 3;  // start point, gradient, first trial point of iteration 1
  std::vector<double> x{-0.5};
  EXPECT_EQ(run(50, x, 0, 0, c), KVW_SQP_STOPPED);
  EXPECT_EQ(c.calls, 3);
  EXPECT_EQ(KVW_get_nIter(), 2);
  // The request stays: the next run stops at its first iteration after evaluating its start point.
  c.calls = 0;
  c.stopAtCall = 0;
  x = {-0.5};
  EXPECT_EQ(run(50, x, 0, 0, c), KVW_SQP_STOPPED);
  EXPECT_EQ(c.calls, 1);
  EXPECT_EQ(KVW_get_nIter(), 1);
  // Only the value 1 stops.
  KVW_set_stop(2);
  x = {-0.5};
  EXPECT_EQ(run(50, x, 0, 0, c), KVW_SQP_CONVERGED);
}

TEST_F(SqpRunTest, InconsistentLinearisationWithATinyStepGivesNoQpSolution) {
  // Two equalities x1 = 0.5 and x1 = -0.5 cannot hold together, so the QP is reformulated with the step bounds
  // only. The objective gradient 1e8 makes B = 5e7*I, and the bound-only QP's direction for the violated step bound
  // is shorter than tinyTol: no solution again.
  Callback c{[](const double* x, double* obj, double* eq, double*) {
    *obj = 1e8 * x[0];
    eq[0] = x[0] - 0.5;
    eq[1] = x[0] + 0.5;
  }};
  std::vector<double> x{0.0, 0.0};
  KVW_set_print(2);
  EXPECT_EQ(run(10, x, 2, 0, c), KVW_SQP_QP_INFEASIBLE);
  EXPECT_EQ(c.calls, 1 + 2);
  ASSERT_GE(lines().size(), 3u);
  EXPECT_EQ(lines()[0], " No solution to QP problem, Reformulating");
  EXPECT_EQ(lines()[1], " Gobj");
  EXPECT_EQ(x[0], 0.0);
}

TEST_F(SqpRunTest, HessianThatFailsTheQpPivotTestTwiceGivesResult5) {
  // Every initial Hessian h*I has h >= 0.001, which passes the QP's pivot test under the default tinyTol = 1e-7:
  // through KVW_sqp result 5 needs a pivot tolerance above h. Raising tinyTol to 1 makes h = 0.5 fail before and
  // after the reinitialisation.
  Callback c = quadraticAt(0.25);
  std::vector<double> x{0.0};
  settings.tinyTol = 1.0;
  KVW_set_print(2);
  EXPECT_EQ(run(10, x, 0, 0, c), KVW_SQP_QP_NOT_CONVEX);
  EXPECT_EQ(c.calls, 1 + 1);
  EXPECT_EQ(transcript(), " Hessian not pos. def. Reinitializing\n");
}

TEST_F(SqpRunTest, QpStorageOverflowGivesResult6WithoutTheErrorFlag) {
  // With n = 2 and one inequality the front end's top is 1 + 3*5 + 2*2 + 1 + 4 + 14*2 = 53 and the gradients need
  // up to 53 + 2*2 + 1 = 58; the QP needs 53 + 4 + 5 + 6 + 4 = 72 (2n + rows + n(n+1) + n^2).
  Callback c{[](const double* x, double* obj, double*, double* g) {
    *obj = x[0] + x[1];
    g[0] = -x[0];
  }};
  std::vector<double> x{0.5, 0.5};
  settings.dblPoolSize = 71;
  EXPECT_EQ(run(10, x, 0, 1, c), KVW_SQP_QP_FAILED);
  EXPECT_EQ(settings.errorFlag, 0);
  EXPECT_EQ(transcript(), " ERROR: DOUBLE PRECISION STORAGE EXCEEDED,         72\n");
  EXPECT_EQ(settings.dblPoolTop, 0);
}

TEST_F(SqpRunTest, FrontEndOverflowReports7AtPrintLevelZeroAndLeavesTheErrorFlag) {
  // 100 variables, no constraints: the arrays take 3*200 + 100 + 10000 + 1400 double slots, new top 12101;
  // integers 200 + 1 + 100, new top 302.
  Callback c = quadraticAt(0.0);
  std::vector<double> x(100, 0.0);
  settings.dblPoolSize = 12100;
  EXPECT_EQ(run(5, x, 0, 0, c), KVW_SQP_STORAGE);
  EXPECT_EQ(c.calls, 0);
  EXPECT_EQ(settings.errorFlag, 0);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " SQP: Double precision storage exceeded,      12101");

  clearLines();
  settings.dblPoolSize = 40000;
  settings.intPoolSize = 301;
  EXPECT_EQ(run(5, x, 0, 0, c), KVW_SQP_STORAGE);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " SQP: Integer storage exceeded,        302");
  EXPECT_EQ(settings.dblPoolTop, 0);
  EXPECT_EQ(settings.intPoolTop, 0);

  // Tops exactly at the capacities are accepted.
  clearLines();
  settings.dblPoolSize = 12101 + 2 * 1 + 1;  // the gradient front end stacks 2m + 1 above the arrays
  settings.intPoolSize = 302;
  EXPECT_EQ(run(0, x, 0, 0, c), KVW_SQP_ITERATION_LIMIT);
  EXPECT_TRUE(lines().empty());

  // The arrays stack on whatever the pools already hold, and the tops come back to it.
  clearLines();
  settings.dblPoolTop = 1000;
  settings.intPoolTop = 50;
  settings.dblPoolSize = 13100;
  settings.intPoolSize = 5000;
  EXPECT_EQ(run(5, x, 0, 0, c), KVW_SQP_STORAGE);
  EXPECT_EQ(lines()[0], " SQP: Double precision storage exceeded,      13101");
  settings.dblPoolSize = 40000;
  EXPECT_EQ(run(1, x, 0, 0, c), KVW_SQP_CONVERGED);  // x = 0 is the minimum
  EXPECT_EQ(settings.dblPoolTop, 1000);
  EXPECT_EQ(settings.intPoolTop, 50);

  // An error flag left set by anything else turns any SQP result into 7.
  settings.errorFlag = -1;
  EXPECT_EQ(run(0, x, 0, 0, c), KVW_SQP_STORAGE);
}

TEST_F(SqpRunTest, GradientStorageOverflowSetsTheErrorFlagAndTheDriverReports7) {
  // n = 1, no constraints: the front end's top is 1 + 3*2 + 1 + 1 + 14 = 23, the gradients need 23 + 2*1 + 1 = 26
  // and the QP 23 + 2 + 2 + 2 + 1 = 30. The iteration itself goes on to the QP, which fails as well.
  Callback c = quadraticAt(0.5);
  std::vector<double> x{0.0};
  settings.dblPoolSize = 25;
  KVW_set_print(1);
  EXPECT_EQ(run(3, x, 0, 0, c), KVW_SQP_STORAGE);
  EXPECT_EQ(settings.errorFlag, -1);
  EXPECT_EQ(c.calls, 1);
  EXPECT_EQ(transcript(),
            " Error:  Double precision b storage exceeded        26\n"
            " ERROR: DOUBLE PRECISION STORAGE EXCEEDED,         30\n");
}

TEST_F(SqpRunTest, MeritThatStopsChangingEndsWithResult9) {
  // A constant, always violated inequality: the linearised QP has no solution, the reformulated one gives d = 0,
  // and the penalty weights halve each iteration (no active constraint multipliers): merits 0.005, 0.0025,
  // 0.00125, 0.000625, 0.0003125; the fifth is within feasTol of both earlier ones.
  Callback c{[](const double*, double* obj, double*, double* g) {
    *obj = 0.0;
    g[0] = 1.0;
  }};
  std::vector<double> x{0.0};
  KVW_set_print(3);
  EXPECT_EQ(run(20, x, 0, 1, c), KVW_SQP_MERIT_STALLED);
  EXPECT_EQ(KVW_get_nIter(), 5);
  // Per iteration one gradient call; a trial step only in the four iterations that reach the line search.
  EXPECT_EQ(c.calls, 1 + 5 + 4);
  EXPECT_EQ(lines().back(), " TERMINATE: PENALTY NOT CHANGING");
}

TEST_F(SqpRunTest, EqualityViolationPreventsConvergence) {
  // The objective is flat, so Dderiv = 0 at once; only the equality's violation keeps the run going, and the run
  // ends with 1 only where |h| <= feasTol.
  Callback c{[](const double* x, double* obj, double* eq, double*) {
    *obj = 0.0;
    eq[0] = x[0] - 0.3;
  }};
  std::vector<double> x{0.0};
  EXPECT_EQ(run(20, x, 1, 0, c), KVW_SQP_CONVERGED);
  EXPECT_LE(std::fabs(f[1]), 0.001);
  EXPECT_GT(KVW_get_nIter(), 1);
}

}  // namespace
}  // namespace korvex
