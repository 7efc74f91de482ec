// The QP solver as its callers use it: KKT conditions of random problems, agreement with brute force on tiny ones,
// the failure outcomes, and the pool bookkeeping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <cstdio>
#include <set>

#include "common/pool.h"
#include "entry/settings.h"
#include "qp/qp_problems.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

class QpSolver : public KorvexTest {};

// Checks the conditions of a normal return: stationarity, feasibility of every row (both sides of each equality),
// signs of the inequality and bound multipliers, active rows at value zero, row numbers within 1..NC+NB.
void expectOptimal(const QpProblem& p, const QpResult& r) {
  ASSERT_TRUE(r.normal()) << r.infeas << " " << r.ihess << " " << r.ierr;
  ASSERT_GE(r.nact, 0);
  ASSERT_LE(r.nact, p.n);
  const auto rows = p.rows();
  const std::vector<double> x(r.x.begin(), r.x.begin() + p.n);
  std::vector<double> residual(p.n);
  for (int i = 0; i < p.n; ++i) {
    residual[i] = p.g[i];
    for (int j = 0; j < p.n; ++j) residual[i] += p.hessian(i, j) * x[j];
  }
  std::set<int> seen;
  for (int k = 0; k < r.nact; ++k) {
    const int row = r.iact[k];
    ASSERT_GE(row, 1);
    ASSERT_LE(row, static_cast<int>(rows.size()));
    EXPECT_TRUE(seen.insert(row).second) << "row " << row << " active twice";
    const auto& active = rows[row - 1];
    EXPECT_NEAR(dot(active.grad, x) - active.rhs, 0.0, 1e-8) << "active row " << row;
    if (!active.equality) {
      EXPECT_GE(r.xlag[k], -1e-10) << "multiplier of row " << row;
    }
    for (int i = 0; i < p.n; ++i) residual[i] += r.xlag[k] * active.grad[i];
  }
  for (int i = 0; i < p.n; ++i) EXPECT_NEAR(residual[i], 0.0, 1e-8) << "stationarity, component " << i + 1;
  for (size_t j = 0; j < rows.size(); ++j) {
    const double value = dot(rows[j].grad, x) - rows[j].rhs;
    EXPECT_LE(value, settings.tinyTol + 1e-12) << "row " << j + 1;
    if (rows[j].equality) {
      EXPECT_GE(value, -settings.tinyTol - 1e-12) << "mirror of row " << j + 1;
    }
  }
}

TEST_F(QpSolver, RandomConvexProblemsMeetTheOptimalityConditions) {
  std::mt19937 rng(20261206);
  // Work above a non-empty pool whose contents must survive, and check nothing is written past the workspace.
  constexpr int kBelow = 137;
  for (int trial = 0; trial < 300; ++trial) {
    std::fill(std::begin(dblPool), std::end(dblPool), -31.0);
    const int n = 1 + trial % 30;
    const int neq = std::uniform_int_distribution<int>(0, n / 3)(rng);
    const int nineq = std::uniform_int_distribution<int>(0, n)(rng);
    const QpProblem p = randomProblem(rng, n, nineq, neq);
    settings.dblPoolTop = kBelow;
    const QpResult r = solveWithQpsolv(p);
    SCOPED_TRACE(::testing::Message() << "trial " << trial << " n " << n);
    expectOptimal(p, r);
    EXPECT_EQ(settings.dblPoolTop, kBelow);
    const int mtot = 2 * p.nc + static_cast<int>(p.rows().size()) - p.nc - p.nineq;
    const int last = kBelow + 2 * n + mtot + n * (n + 1) + n * n;
    EXPECT_EQ(dblPool[1], -31.0);
    EXPECT_EQ(dblPool[kBelow], -31.0);
    EXPECT_EQ(dblPool[last + 1], -31.0);
  }
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(settings.errorFlag, 0);
}

TEST_F(QpSolver, TinyProblemsReachTheBruteForceOptimum) {
  std::mt19937 rng(7);
  int constrained = 0;
  for (int trial = 0; trial < 150; ++trial) {
    const int n = 1 + trial % 3;
    const int neq = trial % 4 == 0 ? 1 : 0;
    const QpProblem p = randomProblem(rng, n, std::uniform_int_distribution<int>(0, 2)(rng), neq);
    const QpResult r = solveWithQpsolv(p);
    SCOPED_TRACE(::testing::Message() << "trial " << trial);
    expectOptimal(p, r);
    const double best = bruteForceOptimum(p);
    ASSERT_FALSE(std::isnan(best));
    EXPECT_NEAR(p.objective(std::vector<double>(r.x.begin(), r.x.begin() + n)), best, 1e-9 * (1 + std::fabs(best)));
    if (r.nact > 0) ++constrained;
  }
  EXPECT_GT(constrained, 50);  // the sample exercises the active-set iteration, not only the start
}

// One variable pair with H = I, G = 0 (unconstrained minimum at the origin) and one equality x1 + x2 = b.
QpProblem equalityProblem(double b) {
  QpProblem p;
  p.n = 2;
  p.nc = 1;
  p.nineq = 0;
  p.a = {1.0, 1.0};
  p.bc = {b};
  p.h = {1.0, 0.0, 0.0, 1.0};
  p.g = {0.0, 0.0};
  p.itype = {0, 0};
  p.xl = {0.0, 0.0};
  p.xu = {0.0, 0.0};
  return p;
}

TEST_F(QpSolver, EqualityIsReportedUnderItsOwnRowWhicheverSideWasActive) {
  // b = 1: the start violates the mirror row; the multiplier of the equality row itself is -1/2.
  const QpResult throughMirror = solveWithQpsolv(equalityProblem(1.0));
  ASSERT_TRUE(throughMirror.normal());
  ASSERT_EQ(throughMirror.nact, 1);
  EXPECT_EQ(throughMirror.iact[0], 1);
  EXPECT_DOUBLE_EQ(throughMirror.xlag[0], -0.5);
  EXPECT_DOUBLE_EQ(throughMirror.x[0], 0.5);
  // b = -1: the equality row itself is violated and keeps its positive multiplier.
  const QpResult direct = solveWithQpsolv(equalityProblem(-1.0));
  ASSERT_EQ(direct.nact, 1);
  EXPECT_EQ(direct.iact[0], 1);
  EXPECT_DOUBLE_EQ(direct.xlag[0], 0.5);
  // With bound rows in between, the mirror row NC+NB+1 maps back to row 1.
  QpProblem bounded = equalityProblem(1.0);
  bounded.itype = {1, 3};
  bounded.xl = {-5.0, -5.0};
  bounded.xu = {5.0, 5.0};
  const QpResult r = solveWithQpsolv(bounded);
  expectOptimal(bounded, r);
  ASSERT_EQ(r.nact, 1);
  EXPECT_EQ(r.iact[0], 1);
  EXPECT_DOUBLE_EQ(r.xlag[0], -0.5);
}

TEST_F(QpSolver, StartingPointAndViolationThreshold) {
  // No rows at all: X = -H^-1 G.
  QpProblem p = equalityProblem(0.0);
  p.nc = 0;
  p.a.clear();
  p.bc.clear();
  p.h = {2.0, 1.0, 1.0, 4.0};
  p.g = {1.0, -2.0};
  QpResult r = solveWithQpsolv(p);
  expectOptimal(p, r);
  EXPECT_EQ(r.nact, 0);
  // An upper bound violated by exactly tinyTol at the start is not a violation ...
  p.h = {1.0, 0.0, 0.0, 1.0};
  p.g = {0.0, 0.0};
  p.itype = {3, 0};
  p.xu = {-settings.tinyTol, 0.0};
  r = solveWithQpsolv(p);
  ASSERT_TRUE(r.normal());
  EXPECT_EQ(r.nact, 0);
  EXPECT_EQ(r.x[0], 0.0);
  // ... and one beyond it is.
  p.xu = {std::nextafter(-settings.tinyTol, -1.0), 0.0};
  r = solveWithQpsolv(p);
  ASSERT_EQ(r.nact, 1);
  EXPECT_EQ(r.iact[0], 1);
  EXPECT_EQ(r.x[0], p.xu[0]);
}

TEST_F(QpSolver, InconsistentConstraintsReportInfeasibility) {
  QpProblem p = equalityProblem(0.0);
  p.nc = 0;
  p.a.clear();
  p.bc.clear();
  p.itype = {0, 1};
  p.xl = {0.0, 1.0};  // 1 <= x2 <= 0
  p.xu = {0.0, 0.0};
  settings.dblPoolTop = 11;
  QpResult r = solveWithQpsolv(p);
  EXPECT_EQ(r.infeas, -1);
  EXPECT_EQ(r.ihess, 0);
  EXPECT_EQ(r.ierr, 0);
  EXPECT_EQ(settings.dblPoolTop, 11);
  // A general row x1 + x2 <= -3 against lower bounds x >= -1.
  p.nc = 1;
  p.nineq = 1;
  p.a = {1.0, 1.0};
  p.bc = {-3.0};
  p.itype = {2, 2};
  p.xl = {-1.0, -1.0};
  r = solveWithQpsolv(p);
  EXPECT_EQ(r.infeas, -1);
  EXPECT_TRUE(lines().empty());
}

TEST_F(QpSolver, HessianThatIsNotPositiveDefiniteLeavesTheOutputsAlone) {
  QpProblem p = equalityProblem(1.0);
  p.h = {1.0, 0.0, 0.0, std::nextafter(settings.tinyTol, 0.0)};
  settings.dblPoolTop = 5;
  QpResult r = solveWithQpsolv(p);
  EXPECT_EQ(r.ihess, -1);
  EXPECT_EQ(r.ierr, 0);
  EXPECT_EQ(r.infeas, 0);
  EXPECT_EQ(r.nact, -5);
  EXPECT_EQ(r.x[0], 777.0);
  EXPECT_EQ(r.x[1], 777.0);
  EXPECT_EQ(settings.dblPoolTop, 5);
  EXPECT_TRUE(lines().empty());
  // A pivot of exactly tinyTol is accepted.
  p.h[3] = settings.tinyTol;
  r = solveWithQpsolv(p);
  expectOptimal(p, r);
}

TEST_F(QpSolver, NoVariables) {
  QpProblem p;
  QpResult r = solveWithQpsolv(p);
  EXPECT_TRUE(r.normal());
  EXPECT_EQ(r.nact, 0);
  // A general row -b <= 0 with b = -1 cannot be met by moving nothing.
  p.nc = 1;
  p.nineq = 1;
  p.bc = {-1.0};
  r = solveWithQpsolv(p);
  EXPECT_EQ(r.infeas, -1);
  p.bc = {1.0};
  r = solveWithQpsolv(p);
  EXPECT_TRUE(r.normal());
  EXPECT_EQ(r.nact, 0);
}

TEST_F(QpSolver, WorkspaceUpToTheLastPoolSlotIsAcceptedOneMoreIsRefused) {
  std::mt19937 rng(3);
  const QpProblem p = randomProblem(rng, 5, 3, 1);  // MTOT = 2*4 + NB - 3
  const int mtot = 2 * p.nc + static_cast<int>(p.rows().size()) - p.nc - p.nineq;
  const int top = 40;
  const int last = top + 2 * 5 + mtot + 5 * 6 + 25;
  settings.dblPoolTop = top;
  settings.dblPoolSize = last;
  expectOptimal(p, solveWithQpsolv(p));
  EXPECT_EQ(settings.dblPoolTop, top);
  EXPECT_TRUE(lines().empty());

  settings.dblPoolSize = last - 1;
  settings.print = 0;
  const QpResult r = solveWithQpsolv(p);
  EXPECT_EQ(r.ierr, -1);
  EXPECT_EQ(r.ihess, 0);
  EXPECT_EQ(r.infeas, 0);
  EXPECT_EQ(r.nact, -5);
  EXPECT_EQ(r.x[0], 777.0);
  EXPECT_EQ(settings.errorFlag, 0);
  EXPECT_EQ(settings.dblPoolTop, top);
  char expected[64];
  std::snprintf(expected, sizeof expected, " ERROR: DOUBLE PRECISION STORAGE EXCEEDED, %10d", last);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], expected);
  EXPECT_EQ(lines()[0].size(), 53u);
}

}  // namespace
}  // namespace korvex::testing
