// The bridge's work around one analysis call, shared by the calls made at once and the points gathered into a group.
#pragma once

#include "entry/context.h"

namespace korvex {

// Enter the caller's point of the scaled point x (counted; fixed variables in place), let use(point) evaluate it or
// keep a copy of it for a group, and leave it again: x back in scaled form. The round trip is part of the
// arithmetic: x comes back subject to its rounding, and every later point starts from there. False, with nothing
// counted or used, when the point is not finite. likely: where x probably differs from the point entered last.
template <typename Use>
bool atCallerPoint(Context& ctx, int n, double* x, Use&& use, LikelyChanges likely = {}) {
  const double* point = enterCallerPoint(ctx, n, x, likely);
  if (point == nullptr) return false;
  use(point);
  leaveCallerPoint(ctx, n, x);
  return true;
}

}  // namespace korvex
