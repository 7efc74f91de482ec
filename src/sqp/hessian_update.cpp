// QHESS: the damped BFGS update of the Hessian approximation of the Lagrangian. With r = theta*y + (1 - theta)*B*s,
// where theta = 1 when s'y >= 0.2*s'Bs and 0.8*s'Bs / (s'Bs - s'y) otherwise,
//   B <- B - (B s)(B s)' / s'Bs + r r' / s'r,
// which keeps B positive definite (s'r >= 0.2*s'Bs > 0). The update is skipped when s'Bs, s'Bs - s'y or s'r is
// too small to divide by.
#include <cmath>

#include "common/logical.h"
#include "common/views.h"
#include "korvex/routines/hessian.h"
#include "sqp/hessian_lagrangian.h"

namespace korvex {
namespace {

// The algorithm's constants are single-precision values.
constexpr double kSkipThreshold = double(1e-6f);  // 9.999999974752427e-7
constexpr double kDamping = double(0.2f);         // enough curvature: s'y >= 0.2 s'Bs
constexpr double kDampedShare = double(0.8f);     // theta = 0.8 s'Bs / (s'Bs - s'y)

double dot(Vec<const double> a, Vec<const double> b) {
  double sum = 0.0;
  for (int i = 1; i <= a.length(); ++i) sum += a(i) * b(i);
  return sum;
}

}  // namespace

bool dampedBfgsUpdate(int n, const double* sData, const double* yData, double* bData, double* work1Data,
                      double* rData, double* work2Data) {
  if (n < 0) n = 0;
  const Vec<const double> s(sData, n), y(yData, n);
  const Mat<double> b(bData, n, n);
  const Vec<double> work1(work1Data, n), r(rData, n), work2(work2Data, n);

  // work2 = B s, column i of B dotted with s.
  for (int i = 1; i <= n; ++i) {
    double sum = 0.0;
    for (int j = 1; j <= n; ++j) sum += b(j, i) * s(j);
    work2(i) = sum;
  }
  const double sBs = dot(s, Vec<const double>(work2.data(), n));
  const double sy = dot(s, y);
  if (std::abs(sBs) < kSkipThreshold) return false;
  if (std::abs(sBs - sy) < kSkipThreshold) return false;

  const double theta = sy >= kDamping * sBs ? 1.0 : kDampedShare * sBs / (sBs - sy);

  // work1 = B s, row i of B dotted with s; r = theta y + (1 - theta) B s.
  for (int i = 1; i <= n; ++i) {
    double sum = 0.0;
    for (int j = 1; j <= n; ++j) sum += b(i, j) * s(j);
    work1(i) = sum;
  }
  for (int i = 1; i <= n; ++i) r(i) = theta * y(i) + (1.0 - theta) * work1(i);
  const double sr = dot(s, Vec<const double>(r.data(), n));
  if (std::abs(sr) < kSkipThreshold) return false;

  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i <= n; ++i) b(i, j) = b(i, j) - work2(j) * work1(i) / sBs + r(j) * r(i) / sr;
  }
  return true;
}

}  // namespace korvex

extern "C" KORVEX_API void QHESS(const int* n, const double* s, const double* y, double* B, int* updated,
                                 double* work1, double* r, double* work2) {
  *updated = korvex::dampedBfgsUpdate(*n, s, y, B, work1, r, work2) ? korvex::kTrue : korvex::kFalse;
}
