// The damped BFGS update (skip cases, the damping threshold with its single-precision constants) and the Lagrangian
// gradient (rows through the column map, bound rows, rows without a column).
#include <cmath>
#include <cstring>
#include <tuple>
#include <vector>

#include "korvex/routines/hessian.h"
#include "common/vector_width.h"
#include "sqp/hessian_lagrangian.h"
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

// The update written out plainly, B s by columns and by rows and every element of the rank-two change, as the
// reference for the update's faster forms (one triangle of a symmetric B, rows side by side).
Update plainUpdate(int n, Vector b, const Vector& s, const Vector& y) {
  Update u{std::move(b), Vector(n), Vector(n), Vector(n)};
  const auto at = [&](int i, int j) -> double& { return u.b[i + j * n]; };
  const auto dot = [&](const Vector& a, const Vector& c) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum += a[i] * c[i];
    return sum;
  };
  for (int i = 0; i < n; ++i) {
    double sum = 0.0;
    for (int j = 0; j < n; ++j) sum += at(j, i) * s[j];
    u.work2[i] = sum;
  }
  const double sBs = dot(s, u.work2), sy = dot(s, y);
  u.updated = 0;
  if (std::abs(sBs) < double(1e-6f) || std::abs(sBs - sy) < double(1e-6f)) return u;
  const double theta = sy >= double(0.2f) * sBs ? 1.0 : double(0.8f) * sBs / (sBs - sy);
  for (int i = 0; i < n; ++i) {
    double sum = 0.0;
    for (int j = 0; j < n; ++j) sum += at(i, j) * s[j];
    u.work1[i] = sum;
  }
  for (int i = 0; i < n; ++i) u.r[i] = theta * y[i] + (1.0 - theta) * u.work1[i];
  const double sr = dot(s, u.r);
  if (std::abs(sr) < double(1e-6f)) return u;
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n; ++i) at(i, j) = at(i, j) - u.work2[j] * u.work1[i] / sBs + u.r[j] * u.r[i] / sr;
  }
  u.updated = -1;
  return u;
}

bool sameBits(const Vector& a, const Vector& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Symmetric and nearly symmetric matrices (a mirrored pair +0 / -0, one entry off by an ulp), NaN and infinite
// entries, damped and undamped steps, orders around the eight rows formed side by side and the four columns mirrored
// at a time, with every vector width the machine has: every output bit for bit, also when the caller vouches for the
// symmetry of a symmetric B.
TEST_F(SqpHessianTest, UpdateEqualsThePlainFormulaBitForBit) {
  const double nan = std::nan(""), inf = HUGE_VAL;
  enum Shape { kSymmetric, kSignedZeroPair, kUlpApart, kNanPair, kInfiniteDiagonal, kUnsymmetric };
  struct Case {
    int n;
    Shape shape;
    double yScale;  // y = yScale * B s + a perturbation: below 0.2 the step is damped
  };
  const Case cases[] = {{1, kSymmetric, 1.0},        {2, kSignedZeroPair, 1.0}, {7, kSymmetric, 0.1},
                        {8, kUlpApart, 1.0},         {9, kSymmetric, 1.0},      {11, kNanPair, 1.0},
                        {16, kSymmetric, 0.05},      {17, kUnsymmetric, 1.0},   {5, kInfiniteDiagonal, 1.0},
                        {19, kSignedZeroPair, 0.1},  {4, kSymmetric, 1.0},      {6, kSymmetric, 0.1},
                        {13, kNanPair, 0.1},         {24, kSymmetric, 1.0},     {33, kSymmetric, 0.1}};
  for (const VectorWidth width : testing::EachVectorWidth()) {
    for (const Case& c : cases) {
      const int n = c.n;
      Vector b(n * n), s(n), y(n);
      for (int j = 0; j < n; ++j) {
        s[j] = 0.3 + 0.7 * std::sin(1.0 + j);
        for (int i = 0; i <= j; ++i) {
          const double v = i == j ? 2.0 + 0.1 * i : 0.05 * std::cos(3.0 * i + j);
          b[i + j * n] = b[j + i * n] = v;
        }
      }
      if (n >= 2) {
        double& low = b[1];      // (2, 1)
        double& high = b[n];     // (1, 2)
        switch (c.shape) {
          case kSignedZeroPair: low = 0.0, high = -0.0; break;
          case kUlpApart: high = std::nextafter(low, inf); break;
          case kNanPair: low = high = nan; break;
          case kUnsymmetric: high += 0.25; break;
          default: break;
        }
      }
      if (c.shape == kInfiniteDiagonal) b[0] = inf;
      for (int i = 0; i < n; ++i) {
        double bs = 0.0;
        for (int j = 0; j < n; ++j) bs += b[i + j * n] * s[j];
        y[i] = c.yScale * bs + 0.01 * std::cos(2.0 * i);
      }
      const Update fast = runQhess(n, b, s, y), plain = plainUpdate(n, b, s, y);
      EXPECT_TRUE(fast.updated == plain.updated && sameBits(fast.b, plain.b) && sameBits(fast.work1, plain.work1) &&
                  sameBits(fast.r, plain.r) && sameBits(fast.work2, plain.work2))
          << "n " << n << " shape " << c.shape << " width " << static_cast<int>(width);
      if (c.shape == kSymmetric || c.shape == kNanPair || c.shape == kInfiniteDiagonal) {
        Update known{b, Vector(n), Vector(n), Vector(n)};
        known.updated = dampedBfgsUpdate(n, s.data(), y.data(), known.b.data(), known.work1.data(), known.r.data(),
                                         known.work2.data(), true) ? -1 : 0;
        EXPECT_TRUE(known.updated == plain.updated && sameBits(known.b, plain.b) && sameBits(known.r, plain.r))
            << "known symmetric, n " << n << " shape " << c.shape << " width " << static_cast<int>(width);
      }
    }
  }
  // B(1, 2) = -0 and B(2, 1) = +0 with (B s)(1) = r(1) = 0: the two elements keep their different zeros, which a
  // mirrored triangle would lose.
  const Vector b{2, 0.0, 0, -0.0, 3, 0.5, 0, 0.5, 4}, s{0, 1, 1}, y{0, -1, 5};
  const Update fast = runQhess(3, b, s, y), plain = plainUpdate(3, b, s, y);
  EXPECT_TRUE(fast.updated == -1 && sameBits(fast.b, plain.b) && std::signbit(plain.b[3]) && !std::signbit(plain.b[1]));
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

// The gradient of the Lagrangian written out plainly, one pass over the components per active row, as the reference
// for the terms added together.
Vector plainLagrangianGradient(int n, const std::vector<int>& list1, const std::vector<int>& list2,
                               const std::vector<int>& icol, const std::vector<int>& iact, const Vector& xlag,
                               const Vector& gobj, const Vector& g) {
  Vector gradL = gobj;
  const int p = static_cast<int>(list1.size()), rows = p + static_cast<int>(list2.size());
  for (size_t k = 0; k < iact.size(); ++k) {
    const int c = iact[k];
    if (c <= rows) {
      const int j = icol[(c <= p ? list1[c - 1] : list2[c - p - 1]) - 1];
      if (j >= 1) {
        for (int i = 0; i < n; ++i) gradL[i] += xlag[k] * g[i + (j - 1) * n];
      }
    } else {
      const int t = c - rows, i = (t + 1) / 2;
      if (i <= n) gradL[i - 1] += t % 2 == 1 ? xlag[k] : -xlag[k];
    }
  }
  return gradL;
}

// Runs of one to six constraint rows between bound rows, rows without a column among them, n around the vector
// widths, every vector width the machine has: the gradient bit for bit as one pass per row gives it.
TEST_F(SqpHessianTest, LagrangianGradientEqualsOnePassPerRowBitForBit) {
  // Four first-group functions (rows 1..4), three second-group (rows 5..7); function 6 has no column.
  const std::vector<int> list1{2, 3, 4, 5}, list2{6, 7, 8}, icol{0, 3, 1, 4, 2, 0, 6, 5};
  const std::vector<std::vector<int>> actives{{1},
                                              {1, 2, 3, 4, 5, 6, 7},
                                              {8, 1, 2, 9, 3, 4, 5, 12, 6},
                                              {1, 2, 3, 4, 10, 5, 6, 7, 11, 13},
                                              {6, 9, 9, 7, 1}};
  for (const VectorWidth width : testing::EachVectorWidth()) {
    for (const int n : {5, 6, 13, 19}) {
      Vector g(static_cast<size_t>(n) * 6), gobj(n);
      for (size_t e = 0; e < g.size(); ++e) g[e] = std::sin(1.0 + 0.37 * static_cast<double>(e)) * 1e3;
      for (int i = 0; i < n; ++i) gobj[i] = std::cos(0.5 + i) / 3;
      for (const std::vector<int>& iact : actives) {
        Vector xlag(iact.size());
        for (size_t k = 0; k < xlag.size(); ++k) xlag[k] = 0.1 + std::sin(2.0 * static_cast<double>(k)) / 7;
        const Vector expected = plainLagrangianGradient(n, list1, list2, icol, iact, xlag, gobj, g);
        Vector gradL(n);
        int missing = -1;
        const int nact = static_cast<int>(iact.size());
        lagrangianGradient(n, 4, list1.data(), 3, list2.data(), icol.data(), iact.data(), nact, xlag.data(),
                           gobj.data(), g.data(), gradL.data(), missing);
        EXPECT_TRUE(sameBits(gradL, expected) && missing == 0)
            << "n " << n << ", " << nact << " rows, width " << static_cast<int>(width);
      }
    }
  }
}

}  // namespace
}  // namespace korvex
