// The iteration callback of a context: at the top of every iteration of either method it receives the iterate in
// the caller's units, the callback's own function values there, and the analysis calls so far. It only looks; the
// arithmetic of the run is the same with or without it.
#pragma once

#include "entry/bridge.h"

namespace korvex {

struct Context;

struct IterationReport {
  IterationCallback callback = nullptr;
  void* userData = nullptr;
  double point[kMaxVariables] = {};  // the iterate in the caller's units, handed to the callback
};

// Report iteration `iteration` at the scaled point dv with the function vector df (ndf values; the entry
// negatedFunction, when not 0, holds the negated value of the feasibility phase and is reported as the callback
// wrote it). Returns true when the run is to stop there (a stop request, possibly made by the callback).
bool reportIteration(Context& ctx, int iteration, int n, const double* dv, double* df, int ndf, int negatedFunction);

}  // namespace korvex
