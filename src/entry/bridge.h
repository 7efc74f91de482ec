// The analysis-call bridge of one context: the recorded callback of its latest run, its bound copies, and the
// mapping between the caller's units and the scaled variables s = (x - (u + l)/2) / ((u - l)/2), whose bounds are
// -1 and 1.
#pragma once

#include "korvex/korvex.h"

namespace korvex {

struct Context;

constexpr int kMaxVariables = 100;

struct AnalysisBridge {
  AnalysisCallback callback = nullptr;  // null until the first run
  void* userData = nullptr;
  int nEq = 0;                          // splits the function vector between equalities and inequalities
  double lower[kMaxVariables] = {};     // bounds of the latest run; entries beyond its n keep older values
  double upper[kMaxVariables] = {};
};

// Map the first n variables (at most 100: the bound copies hold no more) between the two forms, in place.
void toCallerUnits(const AnalysisBridge& bridge, int n, double* x);  // x = ((u - l)*s + (u + l))*0.5
void toScaledUnits(const AnalysisBridge& bridge, int n, double* x);  // s = (x - (u + l)/2) / ((u - l)/2)

// ANAFUN: one call of the recorded callback into the function vector f (1-based layout: objective, equalities,
// inequalities). Counts and converts nothing.
void callAnalysis(const AnalysisBridge& bridge, double* x, double* f);

// One counted evaluation at the scaled point x: nFunEval += 1, to caller's units, callback, back to scaled form.
// Every analysis call of a run goes through here.
void evaluateAtScaledPoint(Context& ctx, int n, double* x, double* f);

// GRGFUN: the same, then with evalMode 3 the entry at objIndex negated (the feasibility phase on an equality with a
// negative value).
void evaluateGrgPoint(Context& ctx, int evalMode, int objIndex, int n, double* x, double* f);

}  // namespace korvex
