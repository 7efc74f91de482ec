// GRG runs end to end: one problem built for each result code a run can reach, the feasibility phase, the Hessian
// update across iterations and what a run prints at each level (run_checksums_test.cpp solves the demo problem set
// and pins every line of those runs).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "entry/settings.h"
#include "grg/grg_problems.h"
#include "korvex/korvex.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

class GrgRunTest : public KorvexTest {
 protected:
  bool hasLine(const std::string& line) const { return !after(line, 1).empty(); }
  // The lines from the first one equal to `label` on (none when it was not printed).
  std::vector<std::string> after(const std::string& label, size_t count) const {
    const auto at = std::find(lines().begin(), lines().end(), label);
    if (lines().end() - at < static_cast<std::ptrdiff_t>(count)) return {};
    return std::vector<std::string>(at, at + static_cast<std::ptrdiff_t>(count));
  }
};

double sq(double v) { return v * v; }
void rosenbrock(const double* x, double* f, int) { f[0] = 100.0 * sq(x[1] - x[0] * x[0]) + sq(1.0 - x[0]); }
// A kink at 0.3: the forward difference sees the slope +0.5 of the right branch, but along the descent direction
// the function rises with slope 0.5. Every search ends at its start point (the first trial is worse, so is the
// two-point parabola's step, and the three points are collinear: a degenerate parabola), so the current objective
// does not change over two searches while its directional derivative stays 0.25.
double kinked(double x) { return 1.0 + 0.5 * std::fabs(x - 0.3); }

// x^2 + 1 <= 0 at its minimiser: the temporary objective has no descent direction.
void unsatisfiable(const double* x, double* f, int) { setFunctions(f, {x[0], x[0] * x[0] + 1.0}); }
// The kink in a violated inequality, which stays the temporary objective.
void kinkedInequality(const double* x, double* f, int) { setFunctions(f, {x[0], kinked(x[0])}); }
// Two satisfied equalities with parallel linearizations and right-hand sides 0 and -0.0005.
void parallelEqualities(const double* x, double* f, int) {
  f[0] = x[0] * x[0] + x[1];
  f[1] = x[0] + x[1];
  f[2] = x[0] + x[1] + 0.0005;
}
// The callback asks for a stop during the first iteration: the run ends at the top of the second.
void rosenbrockStopping(const double* x, double* f, int call) {
  rosenbrock(x, f, call);
  if (call == 3) KVW_set_stop(1);
}

// Result 9 (Hessian not positive definite) cannot be reached by a run: the direction step restarts from the
// identity in the same step (see the direction tests), so a run never ends with it.
TEST_F(GrgRunTest, EachResultCodeFromAProblemBuiltForIt) {
  const auto expectRun = [](RunProblem p, int maxIter, int result, int iterations, int dblPoolSize = 0) {
    SCOPED_TRACE(result);
    KVW_setDefaults();
    if (dblPoolSize > 0) workPool.dblPoolSize = dblPoolSize;
    const std::vector<double> start = p.x;
    EXPECT_EQ(p.run(maxIter), result);
    EXPECT_EQ(KVW_get_nIter(), iterations);
    EXPECT_EQ(KVW_get_nFunEval(), p.calls);
    EXPECT_EQ(workPool.dblPoolTop + workPool.intPoolTop, 0);
    if (result == KVW_GRG_NO_STEP || result == KVW_GRG_CONVERGED_OBJECTIVE) {
      EXPECT_EQ(p.x, start);  // every search ended at its start point
    }
  };
  // x 2.5e-5 inside its bound (5e-5 scaled) with a steep objective: the direction is shorter than minStep.
  expectRun({1, 0, 0, {1.0 - 2.5e-5}, {0.0}, {1.0}, [](const double* x, double* f, int) { f[0] = -100 * x[0]; }}, 10,
            KVW_GRG_NO_STEP, 1);
  expectRun({1, 0, 0, {0.3}, {-1.0}, {1.0}, [](const double* x, double* f, int) { f[0] = kinked(x[0]); }}, 10,
            KVW_GRG_CONVERGED_OBJECTIVE, 3);
  expectRun({1, 0, 1, {0.0}, {-1.0}, {1.0}, unsatisfiable}, 10, KVW_GRG_INFEASIBLE, 1);
  expectRun({1, 0, 1, {0.3}, {-1.0}, {1.0}, kinkedInequality}, 10, KVW_GRG_INFEASIBLE_STALLED, 3);
  expectRun({2, 0, 0, {-3.0, 4.0}, {-5.0, -5.0}, {5.0, 5.0}, rosenbrock}, 2, KVW_GRG_ITERATION_LIMIT, 2);
  expectRun({2, 2, 0, {0.25, -0.25}, {-1.0, -1.0}, {1.0, 1.0}, parallelEqualities}, 10, KVW_GRG_QP_INFEASIBLE, 1);
  // Run arrays to top 21, GRADD 2 (top 24), gradient scratch to 28, subproblem scratch 4 (top 29): the solver's
  // own 47 does not fit. It reports through its flag, not through errorFlag.
  expectRun({2, 0, 0, {-3.0, 4.0}, {-5.0, -5.0}, {5.0, 5.0}, rosenbrock}, 10, KVW_GRG_QP_FAILED, 1, 40);
  expectRun({2, 0, 0, {-3.0, 4.0}, {-5.0, -5.0}, {5.0, 5.0}, rosenbrockStopping}, 100, KVW_GRG_STOPPED, 2);
}

// Runs that end early. A pool overflow reaches the caller as 11: inside an iteration (GRADD, 2 x 4 columns, needs
// top 30) and, silently at print level 0, in the storage front end before the first iteration.
TEST_F(GrgRunTest, OverflowZeroDirectionIterationLimitAndStopEndARunEarly) {
  RunProblem p{2, 0, 3, {0.0, 0.0}, {-1.0, -1.0}, {1.0, 1.0}, [](const double* x, double* f, int) {
                 f[0] = x[0] + x[1];
                 f[1] = x[0] - 2;
                 f[2] = x[1] - 2;
                 f[3] = x[0] + x[1] - 3;
               }};
  workPool.dblPoolSize = 29;
  KVW_set_print(1);
  EXPECT_EQ(p.run(10), KVW_GRG_STORAGE);
  EXPECT_TRUE(hasLine(" ERROR:  DOUBLE PRECISION STORAGE EXCEEDED        30"));
  EXPECT_EQ(workPool.dblPoolTop + workPool.intPoolTop, 0);
  KVW_setDefaults();
  clearLines();
  workPool.intPoolSize = 11;  // the run arrays need integer top 3 + 2 + 4 + 2 + 1
  p.calls = 0;
  EXPECT_EQ(p.run(10), KVW_GRG_STORAGE);
  EXPECT_EQ(std::tuple(p.calls, lines().size()), std::tuple(1, 0u));  // the start point only, silently

  // A constant objective: the subproblem's direction is exactly 0 and the derivative test ends the first iteration.
  KVW_setDefaults();
  RunProblem flat{1, 0, 0, {0.25}, {0.0}, {1.0}, [](const double*, double* f, int) { f[0] = 5.0; }};
  EXPECT_EQ(flat.run(10), KVW_GRG_CONVERGED_DERIVATIVE);
  EXPECT_EQ(std::tuple(KVW_get_nIter(), flat.x[0]), std::tuple(1, 0.25));

  // An iteration limit below 1 gives 6, and a stop requested before the run 12, before the first iteration prints
  // anything: only the start points are evaluated.
  KVW_setDefaults();
  KVW_set_print(3);
  clearLines();
  flat.calls = 0;
  EXPECT_EQ(flat.run(0), KVW_GRG_ITERATION_LIMIT);
  EXPECT_EQ(flat.run(-3), KVW_GRG_ITERATION_LIMIT);
  EXPECT_EQ(KVW_get_nIter(), 0);
  KVW_set_stop(1);
  EXPECT_EQ(flat.run(10), KVW_GRG_STOPPED);
  EXPECT_EQ(std::tuple(KVW_get_nIter(), flat.calls, lines().size()), std::tuple(1, 3, 0u));
}

// Start point violating an inequality by 2 and an equality by 2: the equality becomes the temporary objective (ties
// go to the equality), in phase 2 for +2 and phase 3 for -2; the run then finds the feasible optimum.
TEST_F(GrgRunTest, FeasibilityPhaseStartsOnTheEqualityForATie) {
  for (double side : {1.0, -1.0}) {
    KVW_setDefaults();
    KVW_set_print(1);
    clearLines();
    // Equality x1 - x2 = 0, inequality x1 + x2 <= 1, objective (x1 - 2)^2 + (x2 - 1)^2: optimum (0.5, 0.5).
    RunProblem p{2, 1, 1, {1.5 + side, 1.5 - side}, {-3.0, -3.0}, {3.0, 3.0}, [](const double* x, double* f, int) {
                   f[0] = sq(x[0] - 2) + sq(x[1] - 1);
                   f[1] = x[0] - x[1];
                   f[2] = x[0] + x[1] - 1.0;
                 }};
    const int result = p.run(60);
    EXPECT_NE(transcript().find(" SEARCHING FOR FEASIBLE STARTING POINT\n TEMPORARY OBJECTIVE IS FUNCTION   2 \n"),
              std::string::npos);
    EXPECT_TRUE(hasLine(" FEASIBLE POINT FOUND, BEGINNING OPTIMIZATION OF PROBLEM"));
    // At the top of iteration 2 the equality is still violated; in phase 3 its entry is stored negated, so the
    // printed DF(2) is positive on both sides while the true value x1 - x2 = 3 (s1 - s2) has the sign of `side`.
    const auto top = after(" BEGINNING ITERATION    2", 5);
    ASSERT_EQ(top.size(), 5u);
    double s1 = 0, s2 = 0, f1 = 0, f2 = 0;
    ASSERT_EQ(std::sscanf(top[2].c_str(), "%lf %lf", &s1, &s2), 2);
    ASSERT_EQ(std::sscanf(top[4].c_str(), "%lf %lf", &f1, &f2), 2);
    EXPECT_GT(f2, 0.001);
    EXPECT_NEAR(f2, side * 3.0 * (s1 - s2), 1e-4);
    EXPECT_TRUE(result == KVW_GRG_CONVERGED_DERIVATIVE || result == KVW_GRG_NO_STEP) << result;
    EXPECT_LE(largestDifference(p.x, {0.5, 0.5}), 0.02);
  }
}

// Iteration 1: inequality 4 is the temporary objective, inequality 2 is violated (no gradient column) and the
// binding inequality 3 is QP row 1 and active. Iteration 2: inequality 2 is satisfied and comes first in the
// candidate list, so the old active row 1 now names a function without a column in the old map: its multiplier is
// dropped from the old Lagrangian gradient (read from the previous iteration's GRADD) and reported at level 3.
// Both Lagrangian gradients are the objective gradient (-1, -1).
TEST_F(GrgRunTest, OldActiveRowWithoutAColumnIsReportedAndContributesNothing) {
  RunProblem p{2, 0, 3, {0.0, 0.0}, {-1.0, -1.0}, {1.0, 1.0}, [](const double* x, double* f, int) {
                 f[0] = x[0] * x[0] + x[1] * x[1];
                 f[1] = 0.01 - x[1];
                 f[2] = x[0];
                 f[3] = 1.5 - x[0] - x[1];
               }};
  KVW_set_print(3);
  p.run(2);
  EXPECT_TRUE(hasLine(" GRADIENT NOT AVAILABLE, FUNCTION      2"));
  EXPECT_TRUE(hasLine(" HESSIAN UPDATED"));
  EXPECT_EQ(after(" GRADLO", 4), (std::vector<std::string>{" GRADLO", " -1.00000E+00 -1.00000E+00", " GRADL",
                                                          " -1.00000E+00 -1.00000E+00"}));
}

void atMinimum(void*, const double* x, double* f, double*, double*) { f[0] = (x[0] - 0.5) * (x[0] - 0.5); }

void unsatisfiableInequality(void*, const double* x, double* f, double*, double* g) {
  f[0] = x[0];
  g[0] = (x[0] - 0.5) * (x[0] - 0.5) + 1.0;
}

// 64-bit FNV-1a of a text.
std::uint64_t hashOf(const std::string& text) {
  std::uint64_t hash = 0xCBF29CE484222325ull;
  for (const unsigned char c : text) hash = (hash ^ c) * 0x100000001B3ull;
  return hash;
}

// One-variable problems that end in their first iteration (so the line search prints nothing): the optimisation
// phase at its minimiser, and the feasibility phase on an inequality that cannot be satisfied. The lines of each
// print level are pinned by their hash (level 0 prints nothing), a few of them by their text.
TEST_F(GrgRunTest, EachPrintLevelAddsItsLinesInBothPhases) {
  const struct {
    AnalysisCallback analysis;
    int nIneq, result;
    std::uint64_t levels[4];  // hash of the transcript at print levels 0 to 3
  } cases[] = {
      {atMinimum, 0, KVW_GRG_CONVERGED_DERIVATIVE,
       {0xcbf29ce484222325ull, 0x34f60e554ce356d3ull, 0x84728beb28aecfcbull, 0xda5c7c8d58bf98e2ull}},
      {unsatisfiableInequality, 1, KVW_GRG_INFEASIBLE,
       {0xcbf29ce484222325ull, 0xbff0d63aa4c25164ull, 0xd89fb12fb72b492aull, 0x11161055fe653a0aull}},
  };
  for (const auto& c : cases) {
    for (int level = 0; level <= 3; ++level) {
      SCOPED_TRACE(level);
      KVW_setDefaults();
      KVW_set_print(level);
      clearLines();
      double x = 0.5, lower = 0.0, upper = 1.0, f[2] = {0.0, 0.0};
      EXPECT_EQ(KVW_grg(10, 1, &x, &lower, &upper, 0, c.nIneq, c.analysis, nullptr, f), c.result);
      EXPECT_EQ(hashOf(transcript()), c.levels[level]);
      EXPECT_EQ(hasLine(" BEGINNING ITERATION    1"), level >= 1);
      EXPECT_EQ(hasLine(" DIRECT DERIV   -0.62500E-09    LENGTH SEARCH VEC    0.25000E-04"), level >= 2);
    }
  }
}

}  // namespace
}  // namespace korvex::testing
