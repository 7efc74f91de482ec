// The GRG direction step. The search direction is the solution d of the full-space quadratic subproblem
//   minimise GRADOB'd + d'HESSIAN d / 2
//   subject to grad_j'd <= -DF(j) for the candidate inequalities j, grad_j'd = -DF(j) for the satisfied
//   equalities j, and DVLB - DV <= d <= DVUB - DV,
// where HESSIAN approximates the Hessian of the Lagrangian: GSCALE times the identity after a reset, otherwise the
// damped BFGS update with the step DV - DVOLD and the change of the Lagrangian gradient, both Lagrangian gradients
// formed with the latest multipliers (the old one with the previous iteration's gradient columns).
#include "grg/direction.h"
#include "grg/direction_subproblem.h"

#include "common/message.h"
#include "common/pool.h"
#include "common/print.h"
#include "entry/bridge.h"
#include "entry/settings.h"
#include "korvex/routines/derivatives.h"
#include "korvex/routines/grg_iteration.h"
#include "korvex/routines/hessian.h"

namespace korvex::grg {
namespace {

void printLine(std::string_view text, int count) { MessageBuffer().text(text).print(count); }

// The storage front end of the Hessian update: three work vectors for QHESS.
void updateHessian(int NDV, const double* DVDEL, const double* GRADEL, double* HESSIAN, int& updated) {
  PoolFrame frame;
  const int work1 = frame.reserveDoubles(NDV);
  const int r = frame.reserveDoubles(NDV);
  const int work2 = frame.reserveDoubles(NDV);
  if (!frame.claim()) return;
  QHESS(&NDV, DVDEL, GRADEL, HESSIAN, &updated, frame.doubles(work1), frame.doubles(r), frame.doubles(work2));
}

// Takes GRADD (NDV x NCOL from the slot after gradientBase) and evaluates the gradients into it. Returns false
// when the run must end (errorFlag set, or a difference point with a value that is not finite).
bool evaluateGradients(const Problem& p, const RunArrays& run, WorkingSet& ws, int gradientBase, double& GSCALE) {
  const int top = gradientBase + p.NDV * ws.NCOL + 1;
  if (!PoolFrame::doublesFit(top)) {
    PoolFrame::reportOverflow(kStandardOverflow, true, top);
    return false;
  }
  PoolFrame::setDoubleTop(top);
  GRGGRA(&ws.IPHASE, &ws.NCAND, run.MGRGIN.data(), &ws.NBEQ, run.MBNDEQ.data(), &ws.ITOBJ, &p.NDV, p.DV.data(),
         &p.NDF, p.DF.data(), run.LISDF.data(), gradientMatrix(gradientBase, p.NDV, ws.NCOL).data(),
         run.GRADOB.data(), &GSCALE);
  return settings.errorFlag == 0 && latestAnalysisFinite();
}

void lagrangianGradient(const Problem& p, const RunArrays& run, WorkingSet& ws, const double* GRADD, Vec<double> out,
                        int& missing) {
  QLAG(&p.NDV, &ws.NCAND, run.MGRGIN.data(), &ws.NBEQ, run.MBNDEQ.data(), run.LISDF.data(), run.IACT.data(),
       &ws.NACT, run.XLAG.data(), run.GRADOB.data(), GRADD, out.data(), &missing);
}

// Reset branch: identity times the gradient scale.
bool resetBranch(const Problem& p, const RunArrays& run, WorkingSet& ws, int gradientBase) {
  if (settings.print >= 2) printLine("HESSIAN INITIALIZED", 20);
  ws.RESETH = kFalse;
  double GSCALE = 1.0;
  if (!evaluateGradients(p, run, ws, gradientBase, GSCALE)) return false;
  setToScaledIdentity(p.NDV, GSCALE, run.HESSIAN);
  return true;
}

// Update branch: old and new Lagrangian gradients with the same multipliers, then the damped BFGS update.
bool updateBranch(const Problem& p, const RunArrays& run, WorkingSet& ws, int gradientBase) {
  // The previous iteration's columns are still in place at gradientBase + 1; an active row whose function had no
  // column there contributes nothing (QLAG zeroes an inequality's multiplier and reports the function).
  const double* oldGradients = gradientMatrix(gradientBase, p.NDV, 1).data();
  int missing = 0;
  lagrangianGradient(p, run, ws, oldGradients, run.GRADLO, missing);
  if (missing != 0 && settings.print >= 3) {
    MessageBuffer().text("GRADIENT NOT AVAILABLE, FUNCTION ").integer(missing, 6).print(39);
  }

  double GSCALE = 1.0;
  if (!evaluateGradients(p, run, ws, gradientBase, GSCALE)) return false;
  int missingNew = 0;
  lagrangianGradient(p, run, ws, gradientMatrix(gradientBase, p.NDV, ws.NCOL).data(), run.GRADL, missingNew);

  for (int i = 1; i <= p.NDV; ++i) {
    run.DVDEL(i) = p.DV(i) - run.DVOLD(i);
    run.GRADEL(i) = run.GRADL(i) - run.GRADLO(i);
  }
  int updated = kFalse;
  updateHessian(p.NDV, run.DVDEL.data(), run.GRADEL.data(), run.HESSIAN.data(), updated);
  if (settings.errorFlag != 0) return false;
  if (!isTrue(updated)) {
    ws.RESETH = kTrue;
    if (settings.print >= 2) printLine("HESSIAN NOT UPDATED", 19);
  } else if (settings.print >= 2) {
    printLine("HESSIAN UPDATED", 15);
  }
  if (settings.print >= 3) {
    printDoubleVector(p.NDV, run.GRADLO.data(), "GRADLO");
    printDoubleVector(p.NDV, run.GRADL.data(), "GRADL");
  }
  return true;
}

}  // namespace

Mat<double> gradientMatrix(int gradientBase, int NDV, int NCOL) {
  return Mat<double>(dblPool + gradientBase + 1, NDV, NCOL);
}

bool directionStep(const Problem& p, const RunArrays& run, WorkingSet& ws, int gradientBase, int& resultCode) {
  for (;;) {
    const bool ok = isTrue(ws.RESETH) ? resetBranch(p, run, ws, gradientBase) : updateBranch(p, run, ws, gradientBase);
    if (!ok) {
      if (settings.errorFlag == 0) resultCode = KVW_NON_FINITE_ANALYSIS;
      return false;
    }

    const Mat<double> GRADD = gradientMatrix(gradientBase, p.NDV, ws.NCOL);
    if (settings.print >= 2) {
      printIntVector(p.NDF, run.LISDF.data(), "LISDF");
      printDoubleMatrix(p.NDV, p.NDV, ws.NCOL, GRADD.data(), "GRADD");
      printDoubleVector(p.NDV, run.GRADOB.data(), "GRADOB");
    }
    if (settings.print >= 3) printDoubleMatrix(p.NDV, p.NDV, p.NDV, run.HESSIAN.data(), "HESSIAN");

    const QpInput in{ws.NCAND,        Vec<const int>(run.MGRGIN.data(), ws.NCAND),
                     ws.NBEQ,         Vec<const int>(run.MBNDEQ.data(), ws.NBEQ),
                     p.NDV,           Vec<const double>(p.DV.data(), p.NDV),
                     Vec<const double>(p.DVLB.data(), p.NDV), Vec<const double>(p.DVUB.data(), p.NDV),
                     Vec<const double>(p.DF.data(), p.NDF), run.GRADOB.data(),
                     GRADD.data(),    run.HESSIAN.data()};
    subproblemFrontEnd(in, QpOutput{run.IACT.data(), &ws.NACT, run.XLAG.data(), run.SDIR.data()}, resultCode);
    if (settings.errorFlag != 0) return false;
    if (settings.print >= 3) {
      printIntVector(ws.NACT, run.IACT.data(), "IACT");
      printDoubleVector(ws.NACT, run.XLAG.data(), "XLAG");
    }

    if (resultCode == kQpNotPositiveDefinite) {
      resultCode = 0;
      ws.RESETH = kTrue;
      if (settings.print > 0) printLine("HESSIAN NOT POS. DEFINITE", 25);
      continue;
    }
    return resultCode != kQpInfeasible && resultCode != kQpFailed;
  }
}

}  // namespace korvex::grg

using korvex::Mat;
using korvex::Vec;

extern "C" {

KORVEX_API void GRSHES(const int* NDV, const double* DVDEL, const double* GRADEL, double* HESSIAN, int* updated) {
  korvex::grg::updateHessian(*NDV, DVDEL, GRADEL, HESSIAN, *updated);
}

}  // extern "C"
