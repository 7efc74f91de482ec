// QLAG: the gradient of the Lagrangian, gradL = grad f + sum over the active QP rows k of XLAG(k) * grad(row k).
// QP rows 1..p are the first-group functions list1, rows p+1..p+q the second-group functions list2, and the last 2n
// rows the bounds: row p+q+2i-1 has the gradient +e_i, row p+q+2i the gradient -e_i.
#include <algorithm>
#include <cstring>

#include "common/double_pair.h"
#include "common/vector_width.h"
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

// Up to four terms multiplier * column of G waiting to be added to gradL, in the order of the active rows.
struct PendingTerms {
  static constexpr int kMost = 4;
  int count = 0;
  int column[kMost] = {};
  double multiplier[kMost] = {};
};

// gradL(i) += multiplier(t) * G(i, column(t)) for t = 1..Count in turn, for every i from first (0-based): the same
// sums as one pass per term, with gradL read and written once. V holds neighbouring components side by side.
template <typename V, int Count>
[[gnu::always_inline]] inline int addTermsSideBySide(double* gradL, int n, const double* const* columns,
                                                     const double* m, int first) {
  constexpr int K = static_cast<int>(sizeof(V) / sizeof(double));
  int i = first;
  for (; i + K <= n; i += K) {
    V sum;
    std::memcpy(&sum, gradL + i, sizeof sum);
    for (int t = 0; t < Count; ++t) {
      V column;
      std::memcpy(&column, columns[t] + i, sizeof column);
      sum += m[t] * column;
    }
    std::memcpy(gradL + i, &sum, sizeof sum);
  }
  return i;
}

#ifdef KORVEX_WIDE_VECTORS
template <int Count>
[[gnu::target("avx2")]] int addTermsWithAvx2(double* gradL, int n, const double* const* columns, const double* m) {
  return addTermsSideBySide<DoubleQuad, Count>(gradL, n, columns, m, 0);
}
template <int Count>
[[gnu::target("avx512f")]] int addTermsWithAvx512(double* gradL, int n, const double* const* columns,
                                                   const double* m) {
  return addTermsSideBySide<DoubleOctet, Count>(gradL, n, columns, m, 0);
}
#endif

// The Count waiting terms added to gradL: as many components side by side as the machine's vectors hold, then two,
// then one.
template <int Count>
void addTerms(Vec<double> gradL, const double* const* columns, const double* m) {
  const int n = gradL.length();
  double* const to = gradL.data();
  int i = 0;
#ifdef KORVEX_WIDE_VECTORS
  switch (vectorsInUse()) {
    case VectorWidth::k512: i = addTermsWithAvx512<Count>(to, n, columns, m); break;
    case VectorWidth::k256: i = addTermsWithAvx2<Count>(to, n, columns, m); break;
    default: break;
  }
#endif
  i = addTermsSideBySide<DoublePair, Count>(to, n, columns, m, i);
  for (; i < n; ++i) {
    double sum = to[i];
    for (int t = 0; t < Count; ++t) sum += m[t] * columns[t][i];
    to[i] = sum;
  }
}

// The waiting terms added to gradL.
void addTerms(Vec<double> gradL, Mat<const double> g, PendingTerms& terms) {
  const double* columns[PendingTerms::kMost] = {};
  for (int t = 0; t < terms.count; ++t) columns[t] = &g(1, terms.column[t]);
  switch (terms.count) {
    case 1: addTerms<1>(gradL, columns, terms.multiplier); break;
    case 2: addTerms<2>(gradL, columns, terms.multiplier); break;
    case 3: addTerms<3>(gradL, columns, terms.multiplier); break;
    case 4: addTerms<4>(gradL, columns, terms.multiplier); break;
    default: break;
  }
  terms.count = 0;
}

// One more term; the terms are added when four wait.
void addTerm(Vec<double> gradL, Mat<const double> g, PendingTerms& terms, int column, double multiplier) {
  terms.column[terms.count] = column;
  terms.multiplier[terms.count] = multiplier;
  if (++terms.count == PendingTerms::kMost) addTerms(gradL, g, terms);
}

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
  // The terms of neighbouring rows with a gradient column are added together; a bound row's term waits for them.
  PendingTerms terms;
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
        addTerm(gradL, g, terms, j, xlag(k));
      }
    } else if (c <= constraintRows) {
      // A second-group function without a gradient column (possible from the GRG method) is not reported; it
      // contributes nothing, and column 0 of G, which does not exist, is never read.
      const int j = icol(rows.list2(c - rows.p));
      if (j >= 1) addTerm(gradL, g, terms, j, xlag(k));
    } else {
      const int t = c - constraintRows;
      const int i = (t + 1) / 2;
      if (i <= n) {
        addTerms(gradL, g, terms);
        if (t % 2 == 1) {
          gradL(i) += xlag(k);
        } else {
          gradL(i) -= xlag(k);
        }
      }
    }
  }
  addTerms(gradL, g, terms);
}

}  // namespace korvex

extern "C" KORVEX_API void QLAG(const int* n, const int* p, const int* list1, const int* q, const int* list2,
                                const int* ICOL, const int* IACT, const int* NACT, double* XLAG, const double* gobj,
                                const double* G, double* gradL, int* missing) {
  korvex::lagrangianGradient(*n, *p, list1, *q, list2, ICOL, IACT, *NACT, XLAG, gobj, G, gradL, *missing);
}
