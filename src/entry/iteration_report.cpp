#include "entry/iteration_report.h"

#include <algorithm>

#include "entry/context.h"

namespace korvex {

bool reportIteration(Context& ctx, int iteration, int n, const double* dv, double* df, int ndf, int negatedFunction) {
  IterationReport& report = ctx.iterationReport;
  if (report.callback == nullptr) return false;
  const int count = std::clamp(n, 0, kMaxVariables);
  pointInCallerUnits(ctx.bridge, count, dv, report.point);
  // Negation is exact both ways, so the entry is turned back in place for the call and restored bit for bit.
  const bool negated = negatedFunction >= 1 && negatedFunction <= ndf;
  if (negated) df[negatedFunction - 1] = -df[negatedFunction - 1];
  report.callback(report.userData, iteration, count, report.point, df, ctx.settings.nFunEval);
  if (negated) df[negatedFunction - 1] = -df[negatedFunction - 1];
  return ctx.stopRequested();
}

}  // namespace korvex
