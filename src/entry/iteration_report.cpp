#include "entry/iteration_report.h"

#include <algorithm>

#include "entry/context.h"

namespace korvex {

bool reportIteration(Context& ctx, int iteration, int n, const double* dv, double* df, int ndf, int negatedFunction) {
  IterationReport& report = ctx.iterationReport;
  if (report.callback == nullptr) return false;
  const int count = std::clamp(n, 0, kMaxVariables);
  // The point exactly as the callback saw it when it is the latest one evaluated; otherwise mapped from dv.
  const EvaluatedPoint& latest = ctx.bridge.latestPoint;
  if (latest.is(count, dv)) {
    std::copy(latest.callerUnits, latest.callerUnits + count, report.point);
  } else {
    std::copy(dv, dv + count, report.point);
    toCallerUnits(ctx.bridge, count, report.point);
  }
  // Negation is exact both ways, so the entry is turned back in place for the call and restored bit for bit.
  const bool negated = negatedFunction >= 1 && negatedFunction <= ndf;
  if (negated) df[negatedFunction - 1] = -df[negatedFunction - 1];
  report.callback(report.userData, iteration, count, report.point, df, ctx.settings.nFunEval);
  if (negated) df[negatedFunction - 1] = -df[negatedFunction - 1];
  return ctx.stopRequested();
}

}  // namespace korvex
