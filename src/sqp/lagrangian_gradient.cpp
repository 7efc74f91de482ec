// QLAG: the gradient of the Lagrangian, gradL = grad f + sum over the active QP rows k of XLAG(k) * grad(row k).
// QP rows 1..p are the first-group functions list1, rows p+1..p+q the second-group functions list2, and the last 2n
// rows the bounds: row p+q+2i-1 has the gradient +e_i, row p+q+2i the gradient -e_i.
#include <algorithm>

#include "common/views.h"
#include "korvex/routines/hessian.h"
#include "sqp/hessian_lagrangian.h"

namespace korvex {
namespace {

struct QpRows {
  int p;
  Vec<const int> list1;
  int q;
  Vec<const int> list2;
};

// Function number of a constraint row (c <= p + q).
int functionOfRow(const QpRows& rows, int c) { return c <= rows.p ? rows.list1(c) : rows.list2(c - rows.p); }

}  // namespace

// The gradient columns are numbered 1 up; a column number below 1 names no column.
void lagrangianGradient(int nVariables, int p, const int* list1, int q, const int* list2, const int* icolData,
                        const int* iactData, int nact, double* xlagData, const double* gobjData, const double* gData,
                        double* gradLData, int& missing) {
  const QpRows rows{p, Vec<const int>(list1, p), q, Vec<const int>(list2, q)};
  const Vec<const int> iact(iactData, nact);
  const Vec<double> xlag(xlagData, nact);
  const Vec<const double> gobj(gobjData, nVariables);
  const Vec<double> gradL(gradLData, nVariables);
  const int n = gradL.length();
  const int constraintRows = rows.p + rows.q;

  // Sizes of ICOL and G as far as the active rows reach them, for the views' bounds.
  int functionCount = 0;
  int columnCount = 0;
  for (int k = 1; k <= iact.length(); ++k) {
    if (iact(k) <= constraintRows) functionCount = std::max(functionCount, functionOfRow(rows, iact(k)));
  }
  const Vec<const int> icol(icolData, functionCount);
  for (int k = 1; k <= iact.length(); ++k) {
    if (iact(k) <= constraintRows) columnCount = std::max(columnCount, icol(functionOfRow(rows, iact(k))));
  }
  const Mat<const double> g(gData, n, columnCount);

  for (int i = 1; i <= n; ++i) gradL(i) = gobj(i);
  missing = 0;
  if (n < 1) return;

  // The active rows in turn, each adding its term to every component: every gradL(i) takes its terms in increasing k.
  for (int k = 1; k <= iact.length(); ++k) {
    const int c = iact(k);
    if (c <= rows.p) {
      const int function = rows.list1(c);
      const int j = icol(function);
      if (j < 1) {
        // A first-group function without a gradient column: its multiplier is dropped and the function reported.
        xlag(k) = 0.0;
        missing = function;
      } else {
        const double multiplier = xlag(k);
        for (int i = 1; i <= n; ++i) gradL(i) += multiplier * g(i, j);
      }
    } else if (c <= constraintRows) {
      // A second-group function without a gradient column (possible from the GRG method) is not reported; it
      // contributes nothing, and column 0 of G, which does not exist, is never read.
      const int j = icol(rows.list2(c - rows.p));
      if (j >= 1) {
        const double multiplier = xlag(k);
        for (int i = 1; i <= n; ++i) gradL(i) += multiplier * g(i, j);
      }
    } else {
      const int t = c - constraintRows;
      const int i = (t + 1) / 2;
      if (i <= n) {
        if (t % 2 == 1) {
          gradL(i) += xlag(k);
        } else {
          gradL(i) -= xlag(k);
        }
      }
    }
  }
}

}  // namespace korvex

extern "C" KORVEX_API void QLAG(const int* n, const int* p, const int* list1, const int* q, const int* list2,
                                const int* ICOL, const int* IACT, const int* NACT, double* XLAG, const double* gobj,
                                const double* G, double* gradL, int* missing) {
  korvex::lagrangianGradient(*n, *p, list1, *q, list2, ICOL, IACT, *NACT, XLAG, gobj, G, gradL, *missing);
}
