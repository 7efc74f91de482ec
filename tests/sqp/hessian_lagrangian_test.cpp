// The damped BFGS update (skip cases, the damping threshold with its single-precision constants) and the Lagrangian
// gradient (rows through the column map, bound rows, rows without a column).
#include <cmath>
#include <tuple>
#include <vector>

#include "korvex/routines/hessian.h"
#include "support/korvex_test.h"

namespace korvex {
namespace {

using Vector = std::vector<double>;
using SqpHessianTest = korvex::testing::KorvexTest;

struct Update {
  Vector b, work1, r, work2;
  int updated = 7;
};

Update runQhess(int n, Vector b, const Vector& s, const Vector& y) {
  Update u{std::move(b), Vector(n), Vector(n), Vector(n)};
  QHESS(&n, s.data(), y.data(), u.b.data(), &u.updated, u.work1.data(), u.r.data(), u.work2.data());
  return u;
}

TEST_F(SqpHessianTest, SkippedUpdatesAndTheDampingThreshold) {
  const Vector b{2, 1, 1, 3};
  for (const auto& [s, y] : {std::pair<Vector, Vector>{{0, 0}, {1, 1}}, {{1, -1}, {1, -2}}}) {  // s = 0; y = B s
    const Update u = runQhess(2, b, s, y);
    EXPECT_TRUE(u.updated == 0 && u.b == b);
  }
  // s'Bs against the threshold 1e-6 held in single precision (9.999999974752427e-7).
  EXPECT_EQ(runQhess(2, {9.99999999e-7, 0, 0, 1}, {1, 0}, {1, 0}).updated, -1);
  EXPECT_EQ(runQhess(2, {9.99999997e-7, 0, 0, 1}, {1, 0}, {1, 0}).b[0], 9.99999997e-7);
  // B = I, s = e1: s'Bs = 1 and s'y = y1. At y1 = 0.2 in single precision the update is undamped (B11 = y1); just
  // below it theta = 0.8 / (1 - y1) with 0.8 in single precision, and B11 = 1 - 0.8.
  const Update undamped = runQhess(2, {1, 0, 0, 1}, {1, 0}, {double(0.2f), 0});
  EXPECT_TRUE(undamped.updated == -1 && undamped.r[0] == double(0.2f) && std::fabs(undamped.b[0] - 0.2f) <= 1e-16);
  const Update damped = runQhess(2, {1, 0, 0, 1}, {1, 0}, {0.2000000010, 0});
  EXPECT_TRUE(std::fabs(damped.b[0] - (1.0 - double(0.8f))) <= 1e-15 && damped.b[3] == 1.0);
}

// Three variables; first group functions {3, 5} (rows 1, 2), second group {2} (row 3), bound rows 4..9; columns:
// function 2 -> 2, 3 -> 1, 5 -> 3.
struct Lagrangian {
  int n = 3, p = 2, q = 1, missing = 9;
  std::vector<int> list1{3, 5}, list2{2}, icol{0, 2, 1, 0, 3};
  Vector g{1, 2, 3, 10, 20, 30, 100, 200, 300}, gobj{0.5, -0.5, 0.25};
  Vector run(std::vector<int> iact, Vector& xlag) {
    Vector gradL(3);
    const int nact = static_cast<int>(iact.size());
    QLAG(&n, &p, list1.data(), &q, list2.data(), icol.data(), iact.data(), &nact, xlag.data(), gobj.data(),
         g.data(), gradL.data(), &missing);
    return gradL;
  }
};

TEST_F(SqpHessianTest, LagrangianGradientOverConstraintAndBoundRows) {
  Lagrangian l;
  Vector none;
  EXPECT_TRUE(l.run({}, none) == l.gobj && l.missing == 0);
  Vector xlag{1, 2, 3};
  EXPECT_EQ(l.run({1, 2, 3}, xlag), (Vector{0.5 + 1 + 200 + 30, -0.5 + 2 + 400 + 60, 0.25 + 3 + 600 + 90}));
  // Row p+q+1 is +e1, p+q+2 is -e1, p+q+5 is +e3, p+q+6 is -e3.
  Vector bounds{1, 10, 100, 1000};
  EXPECT_EQ(l.run({4, 5, 8, 9}, bounds), (Vector{0.5 + 1 - 10, -0.5, 0.25 + 100 - 1000}));

  // A first-group row without a column loses its multiplier and is reported (the last one found); a second-group
  // row without a column contributes nothing and reads nothing outside G (here G is empty).
  l.icol.assign(5, 0);
  l.list1 = {3, 4};
  l.g.clear();
  xlag = {1, 2, 3, 4};
  EXPECT_EQ(l.run({1, 2, 3, 4}, xlag), (Vector{0.5 + 4, -0.5, 0.25}));
  EXPECT_EQ(std::tuple(l.missing, xlag), std::tuple(4, Vector{0, 0, 3, 4}));
}

}  // namespace
}  // namespace korvex
