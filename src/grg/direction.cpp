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
#include "derivatives/gradients.h"
#include "entry/context.h"
#include "korvex/korvex.h"
#include "korvex/routines/grg_iteration.h"
#include "sqp/hessian_lagrangian.h"

namespace korvex::grg {
namespace {

void printLine(Context& ctx, std::string_view text, int count) {
  MessageBuffer(ctx.diagnostics).text(text).print(count);
}

// The storage front end of the Hessian update: three work vectors for QHESS. knownSymmetric: HESSIAN is known to
// equal its transpose (see dampedBfgsUpdate).
void updateHessian(Context& ctx, int NDV, const double* DVDEL, const double* GRADEL, double* HESSIAN, int& updated,
                   bool knownSymmetric) {
  PoolFrame frame(ctx);
  const int work1 = frame.reserveDoubles(NDV);
  const int r = frame.reserveDoubles(NDV);
  const int work2 = frame.reserveDoubles(NDV);
  if (!frame.claim()) return;
  const bool changed =
      dampedBfgsUpdate(NDV, DVDEL, GRADEL, HESSIAN, frame.doubles(work1), frame.doubles(r), frame.doubles(work2),
                       knownSymmetric);
  updated = changed ? kTrue : kFalse;
}

// Takes GRADD (NDV x NCOL from the slot after gradientBase) and evaluates the gradients into it. Returns false
// when the run must end (errorFlag set, or a difference point with a value that is not finite).
bool evaluateGradients(Context& ctx, const Problem& p, const RunArrays& run, WorkingSet& ws, int gradientBase,
                       double& GSCALE) {
  const int top = gradientBase + p.NDV * ws.NCOL + 1;
  if (!PoolFrame::doublesFit(ctx, top)) {
    PoolFrame::reportOverflow(ctx, kStandardOverflow, true, top);
    return false;
  }
  PoolFrame::setDoubleTop(ctx, top);
  grgGradients(ctx, ws.IPHASE, ws.NCAND, run.MGRGIN.data(), ws.NBEQ, run.MBNDEQ.data(), ws.ITOBJ, p.NDV, p.DV.data(),
               p.NDF, p.DF.data(), run.LISDF.data(), gradientMatrix(ctx, gradientBase, p.NDV, ws.NCOL).data(),
               run.GRADOB.data(), GSCALE);
  return ctx.settings.errorFlag == 0 && latestAnalysisFinite(ctx.bridge);
}

void lagrangianGradientOf(const Problem& p, const RunArrays& run, WorkingSet& ws, const double* GRADD,
                          Vec<double> out, int& missing) {
  lagrangianGradient(p.NDV, ws.NCAND, run.MGRGIN.data(), ws.NBEQ, run.MBNDEQ.data(), run.LISDF.data(),
                     run.IACT.data(), ws.NACT, run.XLAG.data(), run.GRADOB.data(), GRADD, out.data(), missing);
}

// Reset branch: identity times the gradient scale.
bool resetBranch(Context& ctx, const Problem& p, const RunArrays& run, WorkingSet& ws, int gradientBase) {
  if (ctx.settings.print >= 2) printLine(ctx, "HESSIAN INITIALIZED", 20);
  ws.RESETH = kFalse;
  double GSCALE = 1.0;
  if (!evaluateGradients(ctx, p, run, ws, gradientBase, GSCALE)) return false;
  setToScaledIdentity(p.NDV, GSCALE, run.HESSIAN);
  return true;
}

// Update branch: old and new Lagrangian gradients with the same multipliers, then the damped BFGS update.
bool updateBranch(Context& ctx, const Problem& p, const RunArrays& run, WorkingSet& ws, int gradientBase) {
  const Settings& settings = ctx.settings;
  DiagnosticStream& out = ctx.diagnostics;
  // The previous iteration's columns are still in place at gradientBase + 1; an active row whose function had no
  // column there contributes nothing (QLAG zeroes an inequality's multiplier and reports the function).
  const double* oldGradients = gradientMatrix(ctx, gradientBase, p.NDV, 1).data();
  int missing = 0;
  lagrangianGradientOf(p, run, ws, oldGradients, run.GRADLO, missing);
  if (missing != 0 && settings.print >= 3) {
    MessageBuffer(out).text("GRADIENT NOT AVAILABLE, FUNCTION ").integer(missing, 6).print(39);
  }

  double GSCALE = 1.0;
  if (!evaluateGradients(ctx, p, run, ws, gradientBase, GSCALE)) return false;
  int missingNew = 0;
  lagrangianGradientOf(p, run, ws, gradientMatrix(ctx, gradientBase, p.NDV, ws.NCOL).data(), run.GRADL, missingNew);

  for (int i = 1; i <= p.NDV; ++i) {
    run.DVDEL(i) = p.DV(i) - run.DVOLD(i);
    run.GRADEL(i) = run.GRADL(i) - run.GRADLO(i);
  }
  int updated = kFalse;
  // HESSIAN comes from the scaled identity of resetBranch (the run's first direction step resets it) and these
  // updates only: it is symmetric.
  updateHessian(ctx, p.NDV, run.DVDEL.data(), run.GRADEL.data(), run.HESSIAN.data(), updated, true);
  if (settings.errorFlag != 0) return false;
  if (!isTrue(updated)) {
    ws.RESETH = kTrue;
    if (settings.print >= 2) printLine(ctx, "HESSIAN NOT UPDATED", 19);
  } else if (settings.print >= 2) {
    printLine(ctx, "HESSIAN UPDATED", 15);
  }
  if (settings.print >= 3) {
    printDoubleVector(out, p.NDV, run.GRADLO.data(), "GRADLO");
    printDoubleVector(out, p.NDV, run.GRADL.data(), "GRADL");
  }
  return true;
}

}  // namespace

Mat<double> gradientMatrix(const Context& ctx, int gradientBase, int NDV, int NCOL) {
  return Mat<double>(ctx.pool.doubles + gradientBase + 1, NDV, NCOL);
}

bool directionStep(Context& ctx, const Problem& p, const RunArrays& run, WorkingSet& ws, int gradientBase,
                   int& resultCode) {
  const Settings& settings = ctx.settings;
  DiagnosticStream& out = ctx.diagnostics;
  for (;;) {
    const bool ok = isTrue(ws.RESETH) ? resetBranch(ctx, p, run, ws, gradientBase)
                                      : updateBranch(ctx, p, run, ws, gradientBase);
    if (!ok) {
      if (ctx.settings.errorFlag == 0) resultCode = KVW_NON_FINITE_ANALYSIS;
      return false;
    }

    const Mat<double> GRADD = gradientMatrix(ctx, gradientBase, p.NDV, ws.NCOL);
    if (settings.print >= 2) {
      printIntVector(out, p.NDF, run.LISDF.data(), "LISDF");
      printDoubleMatrix(out, p.NDV, p.NDV, ws.NCOL, GRADD.data(), "GRADD");
      printDoubleVector(out, p.NDV, run.GRADOB.data(), "GRADOB");
    }
    if (settings.print >= 3) printDoubleMatrix(out, p.NDV, p.NDV, p.NDV, run.HESSIAN.data(), "HESSIAN");

    const QpInput in{ws.NCAND,        Vec<const int>(run.MGRGIN.data(), ws.NCAND),
                     ws.NBEQ,         Vec<const int>(run.MBNDEQ.data(), ws.NBEQ),
                     p.NDV,           Vec<const double>(p.DV.data(), p.NDV),
                     Vec<const double>(p.DVLB.data(), p.NDV), Vec<const double>(p.DVUB.data(), p.NDV),
                     Vec<const double>(p.DF.data(), p.NDF), run.GRADOB.data(),
                     GRADD.data(),    run.HESSIAN.data()};
    subproblemFrontEnd(ctx, in, QpOutput{run.IACT.data(), &ws.NACT, run.XLAG.data(), run.SDIR.data()}, resultCode);
    if (settings.errorFlag != 0) return false;
    if (settings.print >= 3) {
      printIntVector(out, ws.NACT, run.IACT.data(), "IACT");
      printDoubleVector(out, ws.NACT, run.XLAG.data(), "XLAG");
    }

    if (resultCode == kQpNotPositiveDefinite) {
      resultCode = 0;
      ws.RESETH = kTrue;
      if (settings.print > 0) printLine(ctx, "HESSIAN NOT POS. DEFINITE", 25);
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
  korvex::grg::updateHessian(korvex::defaultContext(), *NDV, DVDEL, GRADEL, HESSIAN, *updated, false);
}

}  // extern "C"
