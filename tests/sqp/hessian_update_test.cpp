// The damped BFGS update: skip cases, the damping threshold and its single-precision constants, and the properties
// of an update (B+ s = r, exact symmetry, positive definiteness).
#include <cmath>
#include <vector>

#include "korvex/routines/hessian.h"
#include "support/korvex_test.h"

namespace korvex {
namespace {

struct Update {
  std::vector<double> b;
  std::vector<double> work1, r, work2;
  int updated = 7;
};

Update runQhess(int n, std::vector<double> b, const std::vector<double>& s, const std::vector<double>& y) {
  Update u{std::move(b), std::vector<double>(n), std::vector<double>(n), std::vector<double>(n)};
  QHESS(&n, s.data(), y.data(), u.b.data(), &u.updated, u.work1.data(), u.r.data(), u.work2.data());
  return u;
}

// Cholesky succeeds exactly when the symmetric matrix is positive definite.
bool positiveDefinite(int n, std::vector<double> a) {
  for (int j = 0; j < n; ++j) {
    for (int k = 0; k < j; ++k) a[j + j * n] -= a[j + k * n] * a[j + k * n];
    if (a[j + j * n] <= 0) return false;
    a[j + j * n] = std::sqrt(a[j + j * n]);
    for (int i = j + 1; i < n; ++i) {
      for (int k = 0; k < j; ++k) a[i + j * n] -= a[i + k * n] * a[j + k * n];
      a[i + j * n] /= a[j + j * n];
    }
  }
  return true;
}

using SqpHessianUpdateTest = korvex::testing::KorvexTest;

TEST_F(SqpHessianUpdateTest, UnusableStepsLeaveTheMatrixAlone) {
  const std::vector<double> b{2, 1, 1, 3};
  Update zeroStep = runQhess(2, b, {0, 0}, {1, 1});
  EXPECT_EQ(zeroStep.updated, 0);
  EXPECT_EQ(zeroStep.b, b);
  Update secantHolds = runQhess(2, b, {1, -1}, {1, -2});  // y = B s, so s'y = s'Bs
  EXPECT_EQ(secantHolds.updated, 0);
  EXPECT_EQ(secantHolds.b, b);
  // s'Bs against the single-precision threshold 9.999999974752427e-7: just above it updates, just below skips.
  EXPECT_EQ(runQhess(2, {9.99999999e-7, 0, 0, 1}, {1, 0}, {1, 0}).updated, -1);
  Update tiny = runQhess(2, {9.99999997e-7, 0, 0, 1}, {1, 0}, {1, 0});
  EXPECT_EQ(tiny.updated, 0);
  EXPECT_EQ(tiny.b[0], 9.99999997e-7);
}

// B = I, s = e1: s'Bs = 1 and s'y = y1. At y1 = 0.2 (single precision) the update is undamped and B11 becomes y1;
// just below it, theta = 0.8 / (1 - y1) and B11 becomes 1 - 0.8 (single precision).
TEST_F(SqpHessianUpdateTest, DampingThresholdUsesSinglePrecisionConstants) {
  const double atThreshold = double(0.2f);
  Update undamped = runQhess(2, {1, 0, 0, 1}, {1, 0}, {atThreshold, 0});
  EXPECT_EQ(undamped.updated, -1);
  EXPECT_EQ(undamped.r[0], atThreshold);
  EXPECT_NEAR(undamped.b[0], atThreshold, 1e-16);

  Update damped = runQhess(2, {1, 0, 0, 1}, {1, 0}, {0.2000000010, 0});  // between 0.2 and 0.2f
  EXPECT_EQ(damped.updated, -1);
  EXPECT_NEAR(damped.b[0], 1.0 - double(0.8f), 1e-15);
  EXPECT_EQ(damped.b[3], 1.0);
}

// Negative curvature is damped to s'r = 0.2 s'Bs; the new matrix maps s to r, is exactly symmetric and stays
// positive definite. With enough curvature the secant condition B+ s = y holds.
TEST_F(SqpHessianUpdateTest, UpdateKeepsSymmetryDefinitenessAndMapsStepToR) {
  const std::vector<double> b{4, 1, 0.5, 1, 3, 0.2, 0.5, 0.2, 2};
  const std::vector<double> s{0.3, -0.7, 0.4};
  for (const std::vector<double>& y : {std::vector<double>{-1.0, 0.5, -0.2}, std::vector<double>{1.5, -2.0, 1.2}}) {
    Update u = runQhess(3, b, s, y);
    ASSERT_EQ(u.updated, -1);
    double sBs = 0, sr = 0, sy = 0;
    for (int i = 0; i < 3; ++i) {
      sBs += s[i] * u.work2[i];
      sr += s[i] * u.r[i];
      sy += s[i] * y[i];
      double bs = 0;
      for (int j = 0; j < 3; ++j) {
        bs += u.b[i + 3 * j] * s[j];
        EXPECT_EQ(u.b[i + 3 * j], u.b[j + 3 * i]);
      }
      EXPECT_NEAR(bs, u.r[i], 1e-12);
    }
    if (sy > 0.2 * sBs) {
      EXPECT_EQ(u.r, y);
    }
    if (sy < 0) {
      EXPECT_NEAR(sr, (1.0 - double(0.8f)) * sBs, 1e-12);
    }
    EXPECT_TRUE(positiveDefinite(3, u.b));
  }
}

}  // namespace
}  // namespace korvex
