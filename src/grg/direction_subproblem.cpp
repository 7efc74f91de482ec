// The GRG direction subproblem: minimise GRADOB'd + d'HESSIAN d / 2 subject to the candidate inequalities
// linearized at DV (rows 1..NCAND), the satisfied equalities linearized at DV (rows NCAND+1..NCAND+NBEQ) and the
// bounds DVLB - DV <= d <= DVUB - DV, every variable having both bounds.
#include "grg/direction_subproblem.h"

#include <algorithm>

#include "common/logical.h"
#include "common/pool.h"
#include "entry/context.h"
#include "korvex/routines/grg_iteration.h"
#include "qp/kernels.h"

namespace korvex::grg {

void setToScaledIdentity(int n, double value, Mat<double> a) {
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i <= n; ++i) a(i, j) = (i == j) ? value : 0.0;
  }
}

void solveSubproblem(Context& ctx, const QpInput& in, const QpOutput& out, const QpScratch& s, int& resultCode) {
  for (int k = 1; k <= in.NCAND; ++k) s.BC(k) = -in.DF(in.MGRGIN(k));
  for (int k = 1; k <= in.NBEQ; ++k) s.BC(in.NCAND + k) = -in.DF(in.MBNDEQ(k));
  for (int i = 1; i <= in.NDV; ++i) {
    s.XU(i) = in.DVUB(i) - in.DV(i);
    s.XL(i) = in.DVLB(i) - in.DV(i);
    s.ITYPE(i) = 1;
  }
  const int NC = in.NCAND + in.NBEQ;
  int INFEAS = 0, IHESS = 0, IERR = 0;
  const qp::Problem problem{in.NDV,   NC,        in.NCAND,       in.GRADD,    in.NDV,      s.BC.data(),
                            in.HESSIAN, in.NDV, in.GRADOB, s.ITYPE.data(), s.XL.data(), s.XU.data()};
  qp::solveQp(ctx, problem, qp::Solution{out.SDIR, out.XLAG, out.IACT, *out.NACT, INFEAS, IHESS, IERR});
  if (isTrue(INFEAS)) {
    resultCode = kQpInfeasible;
  } else if (isTrue(IHESS)) {
    resultCode = kQpNotPositiveDefinite;
  } else if (isTrue(IERR)) {
    resultCode = kQpFailed;
  }
}

// The storage front end of the subproblem: BC, XU, XL from the double pool, the bound types from the integer pool.
void subproblemFrontEnd(Context& ctx, const QpInput& in, const QpOutput& out, int& resultCode) {
  PoolFrame frame(ctx);
  const int bc = frame.reserveDoubles(in.NCAND + in.NBEQ);
  const int xu = frame.reserveDoubles(in.NDV);
  const int xl = frame.reserveDoubles(in.NDV);
  const int itype = frame.reserveInts(in.NDV);
  if (!frame.claim()) return;
  const QpScratch scratch{frame.doubleVec(bc, in.NCAND + in.NBEQ), frame.doubleVec(xu, in.NDV),
                          frame.doubleVec(xl, in.NDV), frame.intVec(itype, in.NDV)};
  solveSubproblem(ctx, in, out, scratch, resultCode);
}

}  // namespace korvex::grg

using korvex::Mat;
using korvex::Vec;

namespace {
korvex::grg::QpInput qpInput(const int* NCAND, const int* MGRGIN, const int* NBEQ, const int* MBNDEQ, const int* NDV,
                             const double* DV, const double* DVLB, const double* DVUB, const double* DF,
                             const double* GRADOB, const double* GRADD, const double* HESSIAN) {
  // DF is read only at the listed function numbers; its length is bounded by the largest of them.
  int maxFunction = 0;
  for (int k = 0; k < *NCAND; ++k) maxFunction = std::max(maxFunction, MGRGIN[k]);
  for (int k = 0; k < *NBEQ; ++k) maxFunction = std::max(maxFunction, MBNDEQ[k]);
  return korvex::grg::QpInput{*NCAND,
                              Vec<const int>(MGRGIN, *NCAND),
                              *NBEQ,
                              Vec<const int>(MBNDEQ, *NBEQ),
                              *NDV,
                              Vec<const double>(DV, *NDV),
                              Vec<const double>(DVLB, *NDV),
                              Vec<const double>(DVUB, *NDV),
                              Vec<const double>(DF, maxFunction),
                              GRADOB,
                              GRADD,
                              HESSIAN};
}
}  // namespace

extern "C" {

KORVEX_API void GRGHIN(const int* N, const double* v, double* A) {
  if (*N < 1) return;
  korvex::grg::setToScaledIdentity(*N, *v, Mat<double>(A, *N, *N));
}

KORVEX_API void GRSQP(const int* NCAND, const int* MGRGIN, const int* NBEQ, const int* MBNDEQ, const int* NDV,
                      const double* DV, const double* DVLB, const double* DVUB, const double* DF,
                      const double* GRADOB, const double* GRADD, const double* HESSIAN, int* IACT, int* NACT,
                      double* XLAG, double* SDIR, int* resultCode) {
  korvex::grg::subproblemFrontEnd(
      korvex::defaultContext(), qpInput(NCAND, MGRGIN, NBEQ, MBNDEQ, NDV, DV, DVLB, DVUB, DF, GRADOB, GRADD, HESSIAN),
      korvex::grg::QpOutput{IACT, NACT, XLAG, SDIR}, *resultCode);
}

KORVEX_API void GRGQP(const int* NCAND, const int* MGRGIN, const int* NBEQ, const int* MBNDEQ, const int* NDV,
                      const double* DV, const double* DVLB, const double* DVUB, const double* DF,
                      const double* GRADOB, const double* GRADD, const double* HESSIAN, int* IACT, int* NACT,
                      double* XLAG, double* SDIR, int* resultCode, double* BC, double* XU, double* XL, int* ITYPE) {
  const korvex::grg::QpScratch scratch{Vec<double>(BC, *NCAND + *NBEQ), Vec<double>(XU, *NDV), Vec<double>(XL, *NDV),
                                       Vec<int>(ITYPE, *NDV)};
  korvex::grg::solveSubproblem(
      korvex::defaultContext(), qpInput(NCAND, MGRGIN, NBEQ, MBNDEQ, NDV, DV, DVLB, DVUB, DF, GRADOB, GRADD, HESSIAN),
      korvex::grg::QpOutput{IACT, NACT, XLAG, SDIR}, scratch, *resultCode);
}

}  // extern "C"
