// The direction subproblem of the GRG method and the identity start of its Hessian.
#pragma once

#include "common/views.h"
#include "korvex/korvex.h"

namespace korvex {
struct Context;
}

namespace korvex::grg {

// Result codes of the subproblem.
constexpr int kQpInfeasible = KVW_GRG_QP_INFEASIBLE;
constexpr int kQpNotPositiveDefinite = 9;
constexpr int kQpFailed = KVW_GRG_QP_FAILED;

// a (n x n) = value times the identity.
void setToScaledIdentity(int n, double value, Mat<double> a);

// What the subproblem reads: candidate inequalities and satisfied equalities with their gradient columns (GRADD,
// leading dimension NDV, column k for row k), the point and its bounds, the objective gradient and the Hessian.
struct QpInput {
  int NCAND;
  Vec<const int> MGRGIN;
  int NBEQ;
  Vec<const int> MBNDEQ;
  int NDV;
  Vec<const double> DV, DVLB, DVUB, DF;
  const double* GRADOB;
  const double* GRADD;
  const double* HESSIAN;
};

// What it writes: the active rows with their multipliers and the direction.
struct QpOutput {
  int* IACT;
  int* NACT;
  double* XLAG;
  double* SDIR;
};

// Its scratch: right-hand sides, distances to the bounds, bound types.
struct QpScratch {
  Vec<double> BC, XU, XL;
  Vec<int> ITYPE;
};

// Fills the scratch and solves; resultCode becomes 8, 9 or 10 on the solver's INFEAS, IHESS or IERR (tested in
// that order), otherwise it is left as it was.
void solveSubproblem(Context& ctx, const QpInput& in, const QpOutput& out, const QpScratch& scratch, int& resultCode);

// The same with the scratch taken from the pools (standard overflow report, errorFlag = -1, nothing solved).
void subproblemFrontEnd(Context& ctx, const QpInput& in, const QpOutput& out, int& resultCode);

}  // namespace korvex::grg
