#include "entry/iteration_report.h"

#include <algorithm>

#include "entry/context.h"

namespace korvex {

bool reportIteration(Context& ctx, int iteration, int n, const double* dv, double* df, int ndf, int negatedFunction) {
  IterationReport& report = ctx.iterationReport;
  if (report.callback == nullptr) return false;
  const AnalysisBridge& bridge = ctx.bridge;
  // The accepted iterate exactly as the callback saw it, with the values it wrote there (all the caller's
  // variables); without one (outside a run), the method's point mapped and its values with the sign turned back.
  if (bridge.accepted.valid) {
    report.callback(report.userData, iteration, bridge.callerCount, bridge.accepted.x, bridge.accepted.f,
                    ctx.settings.nFunEval);
    return ctx.stopRequested();
  }
  const int count = std::clamp(n, 0, kMaxVariables);
  std::copy(dv, dv + count, report.point);
  toCallerUnits(bridge, count, report.point);
  // Negation is exact both ways, so the entry is turned back in place for the call and restored bit for bit.
  const bool negated = negatedFunction >= 1 && negatedFunction <= ndf;
  if (negated) df[negatedFunction - 1] = -df[negatedFunction - 1];
  report.callback(report.userData, iteration, count, report.point, df, ctx.settings.nFunEval);
  if (negated) df[negatedFunction - 1] = -df[negatedFunction - 1];
  return ctx.stopRequested();
}

}  // namespace korvex
