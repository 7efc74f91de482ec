// The exported QP routines: each turns its pointer arguments into views and calls the internal kernel on the
// default context. Status
// arguments are only ever set to -1 here (QPSINI and QPSTRI also set 0 on success); callers clear them first.
// Active counts are read within 0..N, so no view reaches past arrays of N entries.
#include <algorithm>

#include "common/logical.h"
#include "entry/context.h"
#include "korvex/routines/qp.h"
#include "qp/kernels.h"

namespace {

using korvex::defaultContext;
using korvex::Mat;
using korvex::Vec;
namespace qp = korvex::qp;

int activeCount(int nact, int n) { return std::clamp(nact, 0, std::max(n, 0)); }

}  // namespace

extern "C" {

KORVEX_API void QPSOLV(const int* N, const int* NC, const int* NINEQ, const double* A, const int* LDA,
                       const double* BC, const double* HESS, const int* LDH, const double* G, const int* ITYPE,
                       const double* XL, const double* XU, double* X, double* XLAG, int* IACT, int* NACT,
                       int* INFEAS, int* IHESS, int* IERR) {
  const qp::Problem problem{*N, *NC, *NINEQ, A, *LDA, BC, HESS, *LDH, G, ITYPE, XL, XU};
  qp::solveQp(defaultContext(), problem, qp::Solution{X, XLAG, IACT, *NACT, *INFEAS, *IHESS, *IERR});
}

KORVEX_API void QPSDIR(const int* NACT, const int* N, const int* NC, const int* NINEQ, const int* NB, const double* A,
                       const int* LDA, const int* ITYPE, const int* IACT, double* Z, double* ZNORM, double* R,
                       const double* ACTMAT, const double* HINVN, const int* LDHN, const double* HFAC,
                       const int* KV) {
  const qp::Rows rows(*N, *NC, *NINEQ, *NB, A, *LDA, ITYPE);
  const int n = rows.n();
  const int nact = activeCount(*NACT, n);
  *ZNORM = qp::direction(rows, nact, Vec<const int>(IACT, nact), Vec<double>(Z, n), Vec<double>(R, n),
                         Vec<const double>(ACTMAT, qp::packedLength(n)), Mat<const double>(HINVN, *LDHN, n),
                         Vec<const double>(HFAC, qp::packedLength(n)), *KV);
}

KORVEX_API void QPSINI(const int* N, const double* HESS, const int* LDH, double* HFAC, const double* G, double* X,
                       int* ISTAT) {
  const int n = std::max(*N, 0);
  const bool factored = qp::start(defaultContext(), n, Mat<const double>(HESS, *LDH, n),
                                  Vec<double>(HFAC, qp::packedLength(n)), Vec<const double>(G, n), Vec<double>(X, n));
  *ISTAT = factored ? korvex::kFalse : korvex::kTrue;
}

KORVEX_API void QPSCON(const int* NC, const int* NINEQ, const int* NB, const int* N, const double* A, const int* LDA,
                       const double* BC, const int* ITYPE, const double* X, const double* XL, const double* XU,
                       double* C) {
  const qp::Rows rows(*N, *NC, *NINEQ, *NB, A, *LDA, ITYPE);
  const int n = rows.n();
  qp::rowValues(rows, Vec<const double>(BC, rows.nc()), Vec<const double>(X, n), Vec<const double>(XL, n),
                Vec<const double>(XU, n), Vec<double>(C, rows.total()));
}

KORVEX_API void QPSGRA(const int* J, const int* I, double* VAL, const int* N, const int* NC, const int* NINEQ,
                       const int* NB, const double* A, const int* LDA, const int* ITYPE) {
  *VAL = qp::Rows(*N, *NC, *NINEQ, *NB, A, *LDA, ITYPE).component(*J, *I);
}

KORVEX_API void QPSSOL(const double* F, double* V, const int* N) {
  const int n = std::max(*N, 0);
  qp::solve(Vec<const double>(F, qp::packedLength(n)), Vec<double>(V, n), n);
}

KORVEX_API void QPSTRI(double* F, const int* NEND, const int* NSTART, int* ISTAT) {
  const int last = std::max(*NEND, 0);
  const bool factored = qp::factorRows(defaultContext(), Vec<double>(F, qp::packedLength(last)), *NSTART, last);
  *ISTAT = factored ? korvex::kFalse : korvex::kTrue;
}

KORVEX_API void QPSVIO(const int* NC, const int* NINEQ, const int* NB, const double* C, const int* NACT,
                       const int* IACT, int* KV) {
  const qp::Rows rows(0, *NC, *NINEQ, *NB, nullptr, 1, nullptr);  // the choice needs only the row counts
  const int nact = std::max(*NACT, 0);
  *KV = qp::mostViolated(defaultContext(), rows, Vec<const double>(C, rows.total()), nact, Vec<const int>(IACT, nact));
}

KORVEX_API void QPSLEN(const int* N, const int* NC, const int* NINEQ, const int* NB, const double* A, const int* LDA,
                       const int* ITYPE, const double* C, const int* KV, const int* NACT, const double* ZNORM,
                       const double* Z, const double* XLAG, const double* R, double* T, int* IDX, int* KIND,
                       int* INFEAS) {
  const qp::Rows rows(*N, *NC, *NINEQ, *NB, A, *LDA, ITYPE);
  const int n = rows.n();
  const int nact = activeCount(*NACT, n);
  const qp::StepChoice step =
      qp::stepLength(defaultContext(), rows, Vec<const double>(C, rows.total()), *KV, nact, *ZNORM,
                     Vec<const double>(Z, n), Vec<const double>(XLAG, nact), Vec<const double>(R, nact));
  *T = step.t;
  *IDX = step.idx;
  if (step.idx == 0) {
    *INFEAS = korvex::kTrue;
  } else {
    *KIND = step.kind;
  }
}

KORVEX_API void QPSSTP(const int* NACT, double* XLAG, double* UPLUS, const double* R, const int* N, double* X,
                       const double* Z, const double* T, const int* KIND) {
  const int n = std::max(*N, 0);
  const int nact = std::max(*NACT, 0);
  qp::takeStep(nact, Vec<double>(XLAG, nact), *UPLUS, Vec<const double>(R, nact), n, Vec<double>(X, n),
               Vec<const double>(Z, n), *T, *KIND);
}

// A position K below 1 names no active row: nothing is changed.
KORVEX_API void QPSDOA(int* NACT, const int* N, const int* NC, const int* NINEQ, const int* NB, const double* A,
                       const int* LDA, const int* ITYPE, int* IACT, double* XLAG, double* ACTMAT, double* HINVN,
                       const int* LDHN, const double* HFAC, const int* K, const int* KV, const double* UPLUS,
                       int* IERR) {
  if (*K < 1) return;
  const qp::Rows rows(*N, *NC, *NINEQ, *NB, A, *LDA, ITYPE);
  const int n = rows.n();
  int nact = activeCount(*NACT, n);
  const bool done = qp::addOrDrop(defaultContext(), rows, nact, Vec<int>(IACT, n), Vec<double>(XLAG, n),
                                  Vec<double>(ACTMAT, qp::packedLength(n)), Mat<double>(HINVN, *LDHN, n),
                                  Vec<const double>(HFAC, qp::packedLength(n)), *K, *KV, *UPLUS);
  *NACT = nact;
  if (!done) *IERR = korvex::kTrue;
}

}  // extern "C"
