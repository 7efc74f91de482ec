#include "grg/jacobian_update.h"

#include <algorithm>
#include <cmath>

#include "common/pool.h"
#include "common/print.h"
#include "entry/context.h"
#include "korvex/routines/grg_basis.h"

namespace korvex {

namespace {

bool fitsMatrix(Mat<double> m, int n) { return n <= m.ld() && n <= m.cols(); }

}  // namespace

void updateJacobian(Context& ctx, Mat<double> xjac, int n, Vec<const double> deldv, Vec<const double> resid) {
  const Settings& settings = ctx.settings;
  if (!fitsMatrix(xjac, n)) return;
  double sigma = 0.0;
  for (int k = 1; k <= n; ++k) sigma += deldv(k) * deldv(k);
  if (settings.tinyTol >= std::fabs(sigma)) return;
  for (int k = 1; k <= n; ++k) {
    for (int i = 1; i <= n; ++i) xjac(i, k) = xjac(i, k) - deldv(k) * resid(i) / sigma;
  }
  if (settings.print >= 3) printDoubleMatrix(ctx.diagnostics, xjac.ld(), n, n, xjac.data(), "UPDATED JACOBIAN");
}

void updateInverse(Context& ctx, Mat<double> xjinv, int n, Vec<const double> resid, Vec<const double> deldv,
                   Vec<double> p, Vec<double> q) {
  const Settings& settings = ctx.settings;
  if (!fitsMatrix(xjinv, n)) return;
  for (int i = 1; i <= n; ++i) {
    p(i) = 0.0;
    q(i) = 0.0;
  }
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= n; ++j) {
      p(i) += xjinv(i, j) * (-resid(j));
      q(i) += deldv(j) * xjinv(j, i);
    }
  }
  double delta = 0.0;
  for (int i = 1; i <= n; ++i) delta += deldv(i) * (p(i) + deldv(i));
  if (std::fabs(delta) <= settings.tinyTol) return;
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i <= n; ++i) xjinv(i, j) = xjinv(i, j) - p(i) * q(j) / delta;
  }
  if (settings.print >= 3)
    printDoubleMatrix(ctx.diagnostics, xjinv.ld(), n, n, xjinv.data(), "UPDATED INVERSE JACOBIAN");
}

bool updateInverseWithPool(Context& ctx, Mat<double> xjinv, int n, Vec<const double> resid,
                           Vec<const double> deldv) {
  const int length = std::max(n, 0);
  PoolFrame frame(ctx);
  const int p = frame.reserveDoubles(length);
  const int q = frame.reserveDoubles(length);
  if (!frame.claim()) return false;
  updateInverse(ctx, xjinv, n, resid, deldv, frame.doubleVec(p, length), frame.doubleVec(q, length));
  return true;
}

}  // namespace korvex

extern "C" {

KORVEX_API void GRGJUP(const int* ldj, const int* n, double* xjac, const double* deldv, const double* resid) {
  const int order = *n;
  korvex::updateJacobian(korvex::defaultContext(), korvex::Mat<double>(xjac, *ldj, std::min(std::max(order, 0), *ldj)),
                         order, korvex::Vec<const double>(deldv, order), korvex::Vec<const double>(resid, order));
}

KORVEX_API void GRGBUP(const int* ldj, const int* n, double* xjinv, const double* resid, const double* deldv,
                       double* p, double* q) {
  const int order = *n;
  korvex::updateInverse(korvex::defaultContext(), korvex::Mat<double>(xjinv, *ldj, std::min(std::max(order, 0), *ldj)),
                        order, korvex::Vec<const double>(resid, order), korvex::Vec<const double>(deldv, order),
                        korvex::Vec<double>(p, order), korvex::Vec<double>(q, order));
}

KORVEX_API void GRSBUP(const int* ldj, const int* n, double* xjinv, const double* resid, const double* deldv) {
  const int order = *n;
  korvex::updateInverseWithPool(korvex::defaultContext(),
                                korvex::Mat<double>(xjinv, *ldj, std::min(std::max(order, 0), *ldj)), order,
                                korvex::Vec<const double>(resid, order), korvex::Vec<const double>(deldv, order));
}

}  // extern "C"
