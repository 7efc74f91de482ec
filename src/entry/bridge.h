// The analysis-call bridge of one context: the recorded callback of its latest run, its bound copies, and the
// mapping between the caller's units and the scaled variables s = (x - (u + l)/2) / ((u - l)/2), whose bounds are
// -1 and 1.
#pragma once

#include "korvex/korvex.h"

namespace korvex {

struct Context;

constexpr int kMaxVariables = 100;

// The latest evaluated point, in the caller's units exactly as the callback saw it and in scaled form after the
// round trip.
struct EvaluatedPoint {
  int n = 0;
  double callerUnits[kMaxVariables] = {};
  double scaled[kMaxVariables] = {};

  void keepCallerUnits(int count, const double* x);
  void keepScaled(int count, const double* x);
  // True when s (count scaled values) is bit for bit the latest evaluated point.
  bool is(int count, const double* s) const;
};

struct AnalysisBridge {
  AnalysisCallback callback = nullptr;  // null until the first run
  void* userData = nullptr;
  int nEq = 0;                          // splits the function vector between equalities and inequalities
  double lower[kMaxVariables] = {};     // bounds of the latest run; entries beyond its n keep older values
  double upper[kMaxVariables] = {};
  // The sizes of the latest run, and its batch callback: when set, every evaluation goes through it.
  int n = 0;
  int nIneq = 0;
  BatchAnalysisCallback batch = nullptr;
  void* batchUserData = nullptr;
  bool keepLatestPoint = false;         // an iteration callback wants the latest point
  EvaluatedPoint latestPoint{};
};

// Map the first n variables (at most 100: the bound copies hold no more) between the two forms, in place.
void toCallerUnits(const AnalysisBridge& bridge, int n, double* x);  // x = ((u - l)*s + (u + l))*0.5
void toScaledUnits(const AnalysisBridge& bridge, int n, double* x);  // s = (x - (u + l)/2) / ((u - l)/2)

// The scaled point s in the caller's units, into x: exactly as the callback saw it when s is the latest point
// evaluated (kept while an iteration callback is set), otherwise mapped.
void pointInCallerUnits(const AnalysisBridge& bridge, int n, const double* s, double* x);

// ANAFUN: one call of the recorded callback into the function vector f (1-based layout: objective, equalities,
// inequalities), or a group of one for the recorded batch callback. Counts and converts nothing.
void callAnalysis(const AnalysisBridge& bridge, double* x, double* f);

// One counted evaluation at the scaled point x: nFunEval += 1, to caller's units, callback, back to scaled form.
// Every analysis call of a run goes through here.
void evaluateAtScaledPoint(Context& ctx, int n, double* x, double* f);

// GRGFUN: the same, then with evalMode 3 the entry at objIndex negated (the feasibility phase on an equality with a
// negative value).
void evaluateGrgPoint(Context& ctx, int evalMode, int objIndex, int n, double* x, double* f);

}  // namespace korvex
