// The SQP method's Hessian initialisation: a multiple of the identity scaled by the mean objective gradient.
#include <algorithm>
#include <cmath>

#include "korvex/routines/sqp.h"
#include "sqp/sqp_internal.h"

namespace korvex::sqp {

void initialiseHessian(int n, const double* gobj, double* b) {
  if (n <= 0) return;  // no matrix, and no division by zero
  Vec<const double> g(gobj, n);
  Mat<double> hessian(b, n, n);
  double sum = 0.0;
  for (int i = 1; i <= n; ++i) sum += std::fabs(g(i));
  const double h = std::max(sum / n, 0.001);
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i <= n; ++i) hessian(i, j) = (i == j) ? h : 0.0;
  }
}

}  // namespace korvex::sqp

extern "C" KORVEX_API void SQPHIN(const int* n, const double* gobj, double* B) {
  korvex::sqp::initialiseHessian(*n, gobj, B);
}
