// GRG runs end to end, one problem built for each result code the method can reach, the feasibility phase, an
// optimum on active inequalities and equalities, and the printed output at each level.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "entry/settings.h"
#include "korvex/korvex.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

// A problem in the caller's units: functions of x written into f = (objective, equalities..., inequalities...).
struct Problem {
  int n = 2, nEq = 0, nIneq = 0;
  std::vector<double> x, lower, upper;
  std::function<void(const double*, double*)> functions;
  std::vector<double> f;
  int calls = 0;
  std::function<void(int)> onCall;  // sees the call number

  static void analysis(void* user, const double* x, double* objective, double*, double*) {
    auto* p = static_cast<Problem*>(user);
    ++p->calls;
    p->functions(x, objective);  // objective, equalities and inequalities are contiguous
    if (p->onCall) p->onCall(p->calls);
  }
  int run(int maxIter) {
    f.assign(static_cast<size_t>(1 + nEq + nIneq), 0.0);
    return KVW_grg(maxIter, n, x.data(), lower.data(), upper.data(), nEq, nIneq, analysis, this, f.data());
  }
};

class GrgRunTest : public KorvexTest {
 protected:
  // Some line printed is exactly `line` (message counts included).
  bool hasLine(const std::string& line) const {
    return std::find(lines().begin(), lines().end(), line) != lines().end();
  }
};

// Unconstrained convex quadratic: the directional derivative test ends the run at the minimiser.
TEST_F(GrgRunTest, UnconstrainedQuadraticConvergesByTheDirectionalDerivative) {
  Problem p;
  p.x = {-3.0, 4.0};
  p.lower = {-5.0, -5.0};
  p.upper = {5.0, 5.0};
  p.functions = [](const double* x, double* f) { f[0] = (x[0] - 1.0) * (x[0] - 1.0) + 2.0 * (x[1] + 0.5) * (x[1] + 0.5); };
  const int result = p.run(50);
  EXPECT_TRUE(result == KVW_GRG_CONVERGED_DERIVATIVE || result == KVW_GRG_CONVERGED_OBJECTIVE) << result;
  EXPECT_NEAR(p.x[0], 1.0, 0.05);
  EXPECT_NEAR(p.x[1], -0.5, 0.05);
  EXPECT_EQ(KVW_get_nFunEval(), p.calls);
  EXPECT_EQ(settings.dblPoolTop, 0);
  EXPECT_EQ(settings.intPoolTop, 0);
}

// min (x1-2)^2 + (x2-2)^2 + (x3-2)^2 with x1 + x2 + x3 = 3 and x1 <= 0.5: optimum (0.5, 1.25, 1.25), both
// constraints active, multipliers of the right signs.
TEST_F(GrgRunTest, OptimumOnAnActiveInequalityAndAnEquality) {
  Problem p;
  p.n = 3;
  p.nEq = 1;
  p.nIneq = 1;
  p.x = {0.0, 0.0, 3.0};
  p.lower = {-4.0, -4.0, -4.0};
  p.upper = {4.0, 4.0, 4.0};
  p.functions = [](const double* x, double* f) {
    f[0] = (x[0] - 2) * (x[0] - 2) + (x[1] - 2) * (x[1] - 2) + (x[2] - 2) * (x[2] - 2);
    f[1] = x[0] + x[1] + x[2] - 3.0;
    f[2] = x[0] - 0.5;
  };
  const int result = p.run(50);
  EXPECT_TRUE(result == KVW_GRG_CONVERGED_DERIVATIVE || result == KVW_GRG_CONVERGED_OBJECTIVE) << result;
  EXPECT_NEAR(p.x[0], 0.5, 0.01);
  EXPECT_NEAR(p.x[1], 1.25, 0.01);
  EXPECT_NEAR(p.x[2], 1.25, 0.01);
  EXPECT_LE(std::fabs(p.f[1]), 0.001);
  EXPECT_LE(p.f[2], 0.001);
  EXPECT_NEAR(p.f[0], 2.25 + 2 * 0.5625, 0.02);
}

// Start point violating an inequality by 2 and an equality by 2: the equality becomes the temporary objective (ties
// go to the equality), in phase 2 for +2 and phase 3 for -2; the run then finds the feasible optimum.
TEST_F(GrgRunTest, FeasibilityPhaseStartsOnTheEqualityForATie) {
  for (double side : {1.0, -1.0}) {
    KVW_setDefaults();
    KVW_set_print(1);
    clearLines();
    Problem p;
    p.nEq = 1;
    p.nIneq = 1;
    // Equality x1 - x2 = 0, inequality x1 + x2 <= 1, objective (x1 - 2)^2 + (x2 - 1)^2: optimum (0.5, 0.5).
    p.x = {side > 0 ? 2.5 : 0.5, side > 0 ? 0.5 : 2.5};
    p.lower = {-3.0, -3.0};
    p.upper = {3.0, 3.0};
    p.functions = [](const double* x, double* f) {
      f[0] = (x[0] - 2) * (x[0] - 2) + (x[1] - 1) * (x[1] - 1);
      f[1] = x[0] - x[1];
      f[2] = x[0] + x[1] - 1.0;
    };
    const int result = p.run(60);
    ASSERT_GE(lines().size(), 8u);
    EXPECT_NE(transcript().find(" SEARCHING FOR FEASIBLE STARTING POINT\n TEMPORARY OBJECTIVE IS FUNCTION   2 \n"),
              std::string::npos)
        << transcript();
    EXPECT_TRUE(hasLine(" FEASIBLE POINT FOUND, BEGINNING OPTIMIZATION OF PROBLEM"));
    // At the top of iteration 2 the equality is still violated; in phase 3 its entry is stored negated, so the
    // printed DF(2) is positive on both sides while the true value x1 - x2 = 3 (s1 - s2) has the sign of `side`.
    const auto& all = lines();
    const auto top = std::find(all.begin(), all.end(), " BEGINNING ITERATION    2");
    ASSERT_LT(top + 4, all.end());
    double s1 = 0, s2 = 0, f1 = 0, f2 = 0, f3 = 0;
    ASSERT_EQ(std::sscanf(top[2].c_str(), "%lf %lf", &s1, &s2), 2);
    ASSERT_EQ(std::sscanf(top[4].c_str(), "%lf %lf %lf", &f1, &f2, &f3), 3);
    EXPECT_GT(f2, 0.001);
    EXPECT_NEAR(f2, side * 3.0 * (s1 - s2), 1e-4);
    EXPECT_TRUE(result == KVW_GRG_CONVERGED_DERIVATIVE || result == KVW_GRG_CONVERGED_OBJECTIVE ||
                result == KVW_GRG_NO_STEP)
        << result;
    EXPECT_NEAR(p.x[0], 0.5, 0.02);
    EXPECT_NEAR(p.x[1], 0.5, 0.02);
  }
}

// A variable 2.5e-5 inside its upper bound (5e-5 in scaled form) with a steep objective towards it: the direction
// has length 5e-5 but a directional derivative of -2.5e-3, and the line search has no step of minStep.
TEST_F(GrgRunTest, NoStepOfMinimumLengthGivesTwo) {
  Problem p;
  p.n = 1;
  p.x = {1.0 - 2.5e-5};
  p.lower = {0.0};
  p.upper = {1.0};
  p.functions = [](const double* x, double* f) { f[0] = -100.0 * x[0]; };
  EXPECT_EQ(p.run(10), KVW_GRG_NO_STEP);
  EXPECT_EQ(KVW_get_nIter(), 1);
  EXPECT_DOUBLE_EQ(p.x[0], 1.0 - 2.5e-5);
}

// An inequality that cannot be satisfied, x^2 + 1 <= 0, starting at its minimiser: the temporary objective has no
// descent direction, result 4.
TEST_F(GrgRunTest, UnsatisfiableInequalityWithoutDescentGivesFour) {
  Problem p;
  p.n = 1;
  p.nIneq = 1;
  p.x = {0.0};
  p.lower = {-1.0};
  p.upper = {1.0};
  p.functions = [](const double* x, double* f) {
    f[0] = x[0];
    f[1] = x[0] * x[0] + 1.0;
  };
  EXPECT_EQ(p.run(10), KVW_GRG_INFEASIBLE);
  EXPECT_EQ(KVW_get_nIter(), 1);
}

// A kink at the start point: the forward difference sees the slope +0.5 of the right branch, but along the
// descent direction the function rises with slope 0.5. Every line search ends at its start point (the first trial is
// worse, the two-point parabola's step too, and the three points are collinear, a degenerate parabola), so the
// current objective does not change over two line searches while its directional derivative stays 0.25.
void kinked(double x, double& value) { value = 1.0 + 0.5 * std::fabs(x - 0.3); }

// The real objective kinked: result 3 at the third iteration.
TEST_F(GrgRunTest, ObjectiveNotChangingGivesThree) {
  Problem p;
  p.n = 1;
  p.x = {0.3};
  p.lower = {-1.0};
  p.upper = {1.0};
  p.functions = [](const double* x, double* f) { kinked(x[0], f[0]); };
  KVW_set_print(2);
  EXPECT_EQ(p.run(10), KVW_GRG_CONVERGED_OBJECTIVE);
  EXPECT_EQ(KVW_get_nIter(), 3);
  EXPECT_TRUE(printed("ERROR IN GRGPR3, ZERO DENOM"));
  EXPECT_TRUE(hasLine(" HESSIAN NOT UPDATED"));  // the step of a search that returned its start point is 0
  EXPECT_DOUBLE_EQ(p.x[0], 0.3);
}

// A violated inequality kinked the same way stays the temporary objective: result 5 at the third iteration.
TEST_F(GrgRunTest, StalledFeasibilityPhaseGivesFive) {
  Problem p;
  p.n = 1;
  p.nIneq = 1;
  p.x = {0.3};
  p.lower = {-1.0};
  p.upper = {1.0};
  p.functions = [](const double* x, double* f) {
    f[0] = x[0];
    kinked(x[0], f[1]);
  };
  EXPECT_EQ(p.run(10), KVW_GRG_INFEASIBLE_STALLED);
  EXPECT_EQ(KVW_get_nIter(), 3);
}

TEST_F(GrgRunTest, IterationLimitGivesSix) {
  Problem p;
  p.x = {-3.0, 4.0};
  p.lower = {-5.0, -5.0};
  p.upper = {5.0, 5.0};
  p.functions = [](const double* x, double* f) {
    f[0] = 100.0 * (x[1] - x[0] * x[0]) * (x[1] - x[0] * x[0]) + (1.0 - x[0]) * (1.0 - x[0]);
  };
  EXPECT_EQ(p.run(2), KVW_GRG_ITERATION_LIMIT);
  EXPECT_EQ(KVW_get_nIter(), 2);
}

// Two satisfied equalities whose linearizations are parallel with different right-hand sides (0 and -0.0005): the
// subproblem has no feasible point, result 8.
TEST_F(GrgRunTest, InconsistentLinearizationGivesEight) {
  Problem p;
  p.nEq = 2;
  p.x = {0.25, -0.25};
  p.lower = {-1.0, -1.0};
  p.upper = {1.0, 1.0};
  p.functions = [](const double* x, double* f) {
    f[0] = x[0] * x[0] + x[1];
    f[1] = x[0] + x[1];
    f[2] = x[0] + x[1] + 0.0005;
  };
  EXPECT_EQ(p.run(10), KVW_GRG_QP_INFEASIBLE);
  EXPECT_EQ(KVW_get_nIter(), 1);
}

// The subproblem's own work space does not fit while everything else does: the solver fails, result 10 (not 11:
// the solver reports through its flag, not through errorFlag).
TEST_F(GrgRunTest, SolverStorageFailureGivesTen) {
  Problem p;
  p.x = {-3.0, 4.0};
  p.lower = {-5.0, -5.0};
  p.upper = {5.0, 5.0};
  p.functions = [](const double* x, double* f) { f[0] = x[0] * x[0] + x[1] * x[1]; };
  // Run arrays 4*2 + 4 + 1 = 21 (top 21 with 8n + n^2 = 20 slots); GRADD 2 (top 24); gradient scratch top 24 + 4;
  // subproblem scratch 4 (top 29); the solver needs 29 + 4 + 4 + 6 + 4 = 47.
  settings.dblPoolSize = 40;
  EXPECT_EQ(p.run(10), KVW_GRG_QP_FAILED);
  EXPECT_TRUE(printed("ERROR: DOUBLE PRECISION STORAGE EXCEEDED, "));
  EXPECT_EQ(settings.dblPoolTop, 0);
}

// A pool overflow inside an iteration (GRADD does not fit) reaches the caller as 11.
TEST_F(GrgRunTest, OverflowInsideTheIterationGivesEleven) {
  Problem p;
  p.nIneq = 3;
  p.x = {0.0, 0.0};
  p.lower = {-1.0, -1.0};
  p.upper = {1.0, 1.0};
  p.functions = [](const double* x, double* f) {
    f[0] = x[0] + x[1];
    f[1] = x[0] - 2;
    f[2] = x[1] - 2;
    f[3] = x[0] + x[1] - 3;
  };
  // Run arrays end at top 2*2 + 16 + 1 = 21; GRADD needs 2 * 4 columns: top 30.
  settings.dblPoolSize = 29;
  KVW_set_print(1);
  EXPECT_EQ(p.run(10), KVW_GRG_STORAGE);
  EXPECT_TRUE(hasLine(" ERROR:  DOUBLE PRECISION STORAGE EXCEEDED        30"));
  EXPECT_EQ(settings.dblPoolTop, 0);
  EXPECT_EQ(settings.intPoolTop, 0);
}

// The callback asks for a stop during the first iteration: the run ends at the top of the second with 12.
TEST_F(GrgRunTest, StopRequestFromTheCallbackEndsAtTheNextIterationTop) {
  Problem p;
  p.x = {-3.0, 4.0};
  p.lower = {-5.0, -5.0};
  p.upper = {5.0, 5.0};
  p.functions = [](const double* x, double* f) {
    f[0] = 100.0 * (x[1] - x[0] * x[0]) * (x[1] - x[0] * x[0]) + (1.0 - x[0]) * (1.0 - x[0]);
  };
  p.onCall = [](int call) {
    if (call == 3) KVW_set_stop(1);
  };
  EXPECT_EQ(p.run(100), KVW_GRG_STOPPED);
  EXPECT_EQ(KVW_get_nIter(), 2);
}

}  // namespace
}  // namespace korvex::testing

namespace korvex::testing {
namespace {

// Iteration 1: inequality 4 is the temporary objective, inequality 2 is violated (no gradient column) and the
// binding inequality 3 is QP row 1 and active. Iteration 2: inequality 2 is satisfied and comes first in the
// candidate list, so the old active row 1 now names a function without a column in the old map: its multiplier is
// dropped from the old Lagrangian gradient and reported at print level 3.
TEST_F(GrgRunTest, OldActiveRowWithoutAColumnIsReportedAndContributesNothing) {
  Problem p;
  p.nIneq = 3;
  p.x = {0.0, 0.0};
  p.lower = {-1.0, -1.0};
  p.upper = {1.0, 1.0};
  p.functions = [](const double* x, double* f) {
    f[0] = x[0] * x[0] + x[1] * x[1];
    f[1] = 0.01 - x[1];
    f[2] = x[0];
    f[3] = 1.5 - x[0] - x[1];
  };
  KVW_set_print(3);
  p.run(2);
  EXPECT_TRUE(hasLine(" GRADIENT NOT AVAILABLE, FUNCTION      2"));
  EXPECT_TRUE(hasLine(" HESSIAN UPDATED"));
  // Both Lagrangian gradients are the objective gradient (-1, -1): the dropped multiplier (1 in iteration 1) adds
  // nothing, neither through the old map nor through the new one.
  const auto& all = lines();
  const auto old = std::find(all.begin(), all.end(), " GRADLO");
  ASSERT_LT(old + 3, all.end());
  EXPECT_EQ(old[1], " -1.00000E+00 -1.00000E+00");
  EXPECT_EQ(old[2], " GRADL");
  EXPECT_EQ(old[3], " -1.00000E+00 -1.00000E+00");
}

// With convTol = 0 a direction of length 0 passes no derivative test; the run still ends with the convergence
// result instead of dividing by the zero length. A constant objective has a zero gradient, so the subproblem's
// solution is exactly 0.
TEST_F(GrgRunTest, ZeroDirectionLengthEndsWithTheConvergenceResult) {
  Problem p;
  p.n = 1;
  p.x = {0.25};
  p.lower = {0.0};
  p.upper = {1.0};
  p.functions = [](const double*, double* f) { f[0] = 5.0; };
  KVW_set_convTol(0.0);
  EXPECT_EQ(p.run(10), KVW_GRG_CONVERGED_DERIVATIVE);
  EXPECT_EQ(KVW_get_nIter(), 1);
  EXPECT_EQ(p.x[0], 0.25);
}

}  // namespace
}  // namespace korvex::testing
