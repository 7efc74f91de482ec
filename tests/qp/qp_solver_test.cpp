// The QP solver as its callers use it: optimality conditions on random problems (for these strictly convex problems
// they make the point the unique minimum), the failure outcomes and the pool bookkeeping.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/pool.h"
#include "entry/settings.h"
#include "korvex/routines/qp.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using QpSolver = KorvexTest;
using Vector = std::vector<double>;

struct Problem {
  int n = 0, nc = 0, nineq = 0;
  Vector a, bc, h, g, xl, xu;  // h: only the upper triangle is meant, the lower one holds garbage
  std::vector<int> itype;
  double hess(int i, int j) const { return i <= j ? h[i + j * n] : h[j + i * n]; }
  // Rows 1..NC+NB in the solver's numbering, each as gradient and right-hand side (value = grad'x - rhs).
  std::vector<std::pair<Vector, double>> rows() const {
    std::vector<std::pair<Vector, double>> out;
    for (int k = 0; k < nc; ++k) out.emplace_back(Vector(a.begin() + k * n, a.begin() + (k + 1) * n), bc[k]);
    for (int i = 0; i < n; ++i) {
      if (itype[i] == 1 || itype[i] == 3) out.emplace_back(unit(i, 1.0), xu[i]);
      if (itype[i] == 1 || itype[i] == 2) out.emplace_back(unit(i, -1.0), -xl[i]);
    }
    return out;
  }
  // sign e_i: the gradient of a bound row on variable i.
  Vector unit(int i, double sign) const {
    Vector e(n, 0.0);
    e[i] = sign;
    return e;
  }
  bool isEquality(int row) const { return row > nineq && row <= nc; }
};

double dot(const Vector& u, const Vector& v) {
  double s = 0.0;
  for (size_t i = 0; i < u.size(); ++i) s += u[i] * v[i];
  return s;
}

struct Result {
  Vector x, xlag;
  std::vector<int> iact;
  int nact = -5, infeas = 7, ihess = 7, ierr = 7;
  bool normal() const { return infeas == 0 && ihess == 0 && ierr == 0; }
};

// Solves above a non-empty pool; whatever the outcome the top must come back to where it was.
Result solve(const Problem& p, int top = 13) {
  const size_t size = static_cast<size_t>(std::max(p.n, 1));
  Result r{Vector(size, 777.0), Vector(size, 777.0), std::vector<int>(size)};
  workPool.dblPoolTop = top;
  QPSOLV(&p.n, &p.nc, &p.nineq, p.a.data(), &p.n, p.bc.data(), p.h.data(), &p.n, p.g.data(), p.itype.data(),
         p.xl.data(), p.xu.data(), r.x.data(), r.xlag.data(), r.iact.data(), &r.nact, &r.infeas, &r.ihess, &r.ierr);
  EXPECT_EQ(workPool.dblPoolTop, top);
  r.x.resize(static_cast<size_t>(p.n));
  return r;
}

// Last pool slot of the solver's workspace above `top`: 2n + MTOT + n(n+1) + n^2.
int lastSlot(const Problem& p, int top) {
  const int mtot = static_cast<int>(p.rows().size()) + p.nc - p.nineq;
  return top + 2 * p.n + mtot + p.n * (p.n + 1) + p.n * p.n;
}

// Strictly convex, feasible at a random point x0 (inequalities with slack, equalities through x0, bounds around it),
// every bound type drawn.
Problem randomProblem(std::mt19937& rng, int n, int nineq, int neq) {
  std::uniform_real_distribution<double> u(-1.0, 1.0), width(0.05, 1.0);
  Problem p;
  p.n = n;
  p.nc = nineq + neq;
  p.nineq = nineq;
  Vector x0(n), m(n * n);
  for (auto& v : x0) v = u(rng);
  for (auto& v : m) v = u(rng);
  p.h.assign(n * n, 1e6);
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i <= j; ++i) {
      p.h[i + j * n] = i == j ? 0.5 : 0.0;
      for (int k = 0; k < n; ++k) p.h[i + j * n] += m[i + k * n] * m[j + k * n] / n;
    }
  }
  for (int i = 0; i < n; ++i) p.g.push_back(3.0 * u(rng));
  for (int v = 0; v < n * p.nc; ++v) p.a.push_back(u(rng));
  for (int k = 0; k < p.nc; ++k) {
    p.bc.push_back(dot(Vector(p.a.begin() + k * n, p.a.begin() + (k + 1) * n), x0) + (k < nineq ? width(rng) : 0.0));
  }
  for (int i = 0; i < n; ++i) {
    p.itype.push_back(std::uniform_int_distribution<int>(0, 3)(rng));
    p.xl.push_back(x0[i] - width(rng));
    p.xu.push_back(x0[i] + width(rng));
  }
  return p;
}

// Normal return: stationarity, every row (both sides of equalities) within tinyTol, inequality and bound multipliers
// non-negative, active rows at zero, active row numbers distinct within 1..NC+NB.
void expectOptimal(const Problem& p, const Result& r) {
  ASSERT_TRUE(r.normal()) << r.infeas << r.ihess << r.ierr;
  ASSERT_TRUE(r.nact >= 0 && r.nact <= p.n);
  const auto rows = p.rows();
  Vector residual(p.g);
  for (int i = 0; i < p.n; ++i) {
    for (int j = 0; j < p.n; ++j) residual[i] += p.hess(i, j) * r.x[j];
  }
  std::set<int> seen;
  for (int k = 0; k < r.nact; ++k) {
    const int row = r.iact[k];
    ASSERT_TRUE(row >= 1 && row <= static_cast<int>(rows.size()) && seen.insert(row).second) << row;
    EXPECT_NEAR(dot(rows[row - 1].first, r.x) - rows[row - 1].second, 0.0, 1e-8) << "active row " << row;
    if (!p.isEquality(row)) {
      EXPECT_GE(r.xlag[k], -1e-10) << "multiplier of row " << row;
    }
    for (int i = 0; i < p.n; ++i) residual[i] += r.xlag[k] * rows[row - 1].first[i];
  }
  for (double v : residual) EXPECT_NEAR(v, 0.0, 1e-8);
  for (size_t j = 0; j < rows.size(); ++j) {
    const double value = dot(rows[j].first, r.x) - rows[j].second;
    EXPECT_LE(value, settings.tinyTol + 1e-12) << "row " << j + 1;
    if (p.isEquality(static_cast<int>(j) + 1)) {
      EXPECT_GE(value, -settings.tinyTol - 1e-12) << "mirror of row " << j + 1;
    }
  }
}

TEST_F(QpSolver, RandomConvexProblemsMeetTheOptimalityConditions) {
  std::mt19937 rng(20261206);
  constexpr int kBelow = 137;
  for (int trial = 0; trial < 300; ++trial) {
    std::fill(workPool.doubles, workPool.doubles + kDblPoolCapacity + 1, -31.0);
    const int n = 1 + trial % 30;
    const Problem p = randomProblem(rng, n, std::uniform_int_distribution<int>(0, n)(rng),
                                    std::uniform_int_distribution<int>(0, n / 3)(rng));
    SCOPED_TRACE(::testing::Message() << "trial " << trial);
    expectOptimal(p, solve(p, kBelow));
    EXPECT_TRUE(workPool.doubles[kBelow] == -31.0 && workPool.doubles[lastSlot(p, kBelow) + 1] == -31.0)
        << "written outside";
  }
  // Tiny problems, many of them with active rows.
  int constrained = 0;
  for (int trial = 0; trial < 150; ++trial) {
    const Problem p = randomProblem(rng, 1 + trial % 3, trial % 3, trial % 4 == 0 ? 1 : 0);
    SCOPED_TRACE(::testing::Message() << "tiny trial " << trial);
    const Result r = solve(p);
    expectOptimal(p, r);
    constrained += r.nact > 0;
  }
  EXPECT_GT(constrained, 50);
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(settings.errorFlag, 0);
}

// H = I, G = 0 (unconstrained minimum at the origin), one equality x1 + x2 = b.
Problem equalityProblem(double b) { return {2, 1, 0, {1, 1}, {b}, {1, 0, 0, 1}, {0, 0}, {-5, -5}, {5, 5}, {0, 0}}; }

TEST_F(QpSolver, ThresholdsFailuresAndEmptyProblems) {
  Problem p = equalityProblem(0.0);
  p.nc = 0;
  p.itype = {3, 1};
  p.xu = {-settings.tinyTol, 1.0};  // x1 <= -tinyTol: violated by exactly tinyTol at the start, which is no violation
  Result r = solve(p);
  EXPECT_TRUE(r.normal() && r.nact == 0 && r.x[0] == 0.0);
  p.xu[0] = std::nextafter(-settings.tinyTol, -1.0);
  r = solve(p);
  EXPECT_TRUE(r.nact == 1 && r.iact[0] == 1 && r.x[0] == p.xu[0]);

  p.xl = {0.0, 2.0};  // 2 <= x2 <= 1
  r = solve(p);
  EXPECT_TRUE(r.infeas == -1 && r.ihess == 0 && r.ierr == 0);

  p = equalityProblem(1.0);
  p.h[3] = std::nextafter(settings.tinyTol, 0.0);  // second pivot just below tinyTol
  r = solve(p);
  EXPECT_TRUE(r.ihess == -1 && r.ierr == 0 && r.infeas == 0 && r.nact == -5 && r.x == (Vector{777.0, 777.0}));
  p.h[3] = settings.tinyTol;  // a pivot of exactly tinyTol is accepted
  expectOptimal(p, solve(p));

  // No variables: a row -b <= 0 holds or it cannot be met.
  Problem empty;
  empty.nc = empty.nineq = 1;
  empty.bc = {1.0};
  EXPECT_TRUE(solve(empty).normal());
  empty.bc = {-1.0};
  EXPECT_TRUE(solve(empty).infeas == -1 && lines().empty());
}

TEST_F(QpSolver, WorkspaceUpToTheLastPoolSlotIsAcceptedOneMoreIsRefused) {
  std::mt19937 rng(3);
  const Problem p = randomProblem(rng, 5, 3, 1);
  const int top = 40;
  workPool.dblPoolSize = lastSlot(p, top);
  expectOptimal(p, solve(p, top));

  workPool.dblPoolSize = lastSlot(p, top) - 1;
  const Result r = solve(p, top);
  EXPECT_TRUE(r.ierr == -1 && r.ihess == 0 && r.infeas == 0 && r.nact == -5 && r.x[0] == 777.0);
  EXPECT_EQ(settings.errorFlag, 0);
  char expected[64];
  std::snprintf(expected, sizeof expected, " ERROR: DOUBLE PRECISION STORAGE EXCEEDED, %10d", lastSlot(p, top));
  EXPECT_EQ(lines(), Lines{expected});  // printed at print level 0
}

// The solver always ends. Data it cannot use (a non-finite number in any array it reads) and an iteration that cycles
// (three identical rows whose products overflow, found by a random search) end with IERR, the pool given back and a
// message at print level 1 and above only. Numbers the solver does not read may be anything.
TEST_F(QpSolver, NonFiniteDataAndCyclingEndWithTheFailureFlag) {
  const double nan = std::nan(""), inf = INFINITY;
  const Problem cycling{.n = 3, .nc = 3, .nineq = 3,
                        .a = {1e150, -1e150, 1e-7, 1e150, -1e150, 1e-7, 1e150, -1e150, 1e-7},
                        .bc = {1e-7, 1e-7, 1e-7}, .h = {1, 0, 0, 0, 1, 0, 0, 0, 1}, .g = {0.5, 1, -2},
                        .xl = {-2e8, -1, -0.5}, .xu = {0.5, 2e8, 1e300}, .itype = {0, 3, 3}};
  struct Case {
    const char* what;
    std::function<void(Problem&)> spoil;
    std::string message;
  };
  const std::string notFinite = " ERROR: QP DATA NOT FINITE";
  const Case cases[] = {
      {"constraint gradient", [&](Problem& p) { p.a[4] = nan; }, notFinite},
      {"right-hand side", [&](Problem& p) { p.bc[1] = -inf; }, notFinite},
      {"upper triangle of H", [&](Problem& p) { p.h[3] = inf; }, notFinite},
      {"linear term", [&](Problem& p) { p.g[2] = nan; }, notFinite},
      {"a bound in use", [&](Problem& p) { p.xu[1] = inf; }, notFinite},
      {"repeated rows with overflowing products", [](Problem&) {}, " ERROR: QP STEP LIMIT REACHED, CYCLING"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (int level : {0, 1}) {
      Problem p = cycling;
      c.spoil(p);
      clearLines();
      KVW_set_print(level);
      const Result r = solve(p);
      EXPECT_TRUE(r.ierr == -1 && r.ihess == 0 && r.infeas == 0);
      EXPECT_EQ(lines(), level == 0 ? Lines{} : Lines{c.message});
    }
  }
  // Unread numbers: the lower triangle of H, the bound a type-3 variable does not have, a type-0 variable's bounds.
  std::mt19937 rng(5);
  Problem p = randomProblem(rng, 3, 1, 1);
  p.itype = {3, 0, 1};
  p.h[1] = p.xl[0] = nan;
  p.xl[1] = p.xu[1] = inf;
  expectOptimal(p, solve(p));
}

}  // namespace
}  // namespace korvex::testing
