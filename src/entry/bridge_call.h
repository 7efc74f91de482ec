// The bridge's work around one analysis call, shared by the calls made at once and the points gathered into a group.
#pragma once

#include "entry/context.h"

namespace korvex {

// Count the call, map the scaled point x to the caller's units in place, let use(x) evaluate it (or keep a copy of
// it for a group), and map it back. The round trip is part of the arithmetic: x comes back subject to its rounding,
// and every later point starts from there. While an iteration callback is set, the point the callback saw and its
// scaled form after the round trip are kept, so that the iterate can be reported exactly as it was evaluated.
template <typename Use>
void atCallerPoint(Context& ctx, int n, double* x, Use&& use) {
  AnalysisBridge& bridge = ctx.bridge;
  ctx.settings.nFunEval += 1;
  toCallerUnits(bridge, n, x);
  use(x);
  if (bridge.keepLatestPoint) bridge.latestPoint.keepCallerUnits(n, x);
  toScaledUnits(bridge, n, x);
  if (bridge.keepLatestPoint) bridge.latestPoint.keepScaled(n, x);
}

}  // namespace korvex
