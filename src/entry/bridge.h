// The analysis-call bridge of one context: the recorded callback of its latest run, its bound copies, and the
// mapping between the caller's units and the scaled variables s = (x - (u + l)/2) / ((u - l)/2), whose bounds are
// -1 and 1.
//
// During a run the bridge also knows the caller's variables that are fixed (lower == upper): the method works on
// the free variables only, and each evaluation assembles the caller's whole point, the fixed variables at their
// values, in a fixed-size buffer. It keeps the point and values of its latest evaluation and, when a method says
// so, of the iterate it accepted, so that whatever ends a run the caller gets a point and the callback's own
// values there.
#pragma once

#include "korvex/korvex.h"

namespace korvex {

struct Context;

constexpr int kMaxVariables = 100;

// A point the callback was called at, in the caller's units (all of the caller's variables), and the function
// vector it wrote there, signs as written.
struct AnalysisPoint {
  double x[kMaxVariables] = {};
  double* f = nullptr;  // functionCount doubles of the driver's scratch
  bool valid = false;
};

struct AnalysisBridge {
  AnalysisCallback callback = nullptr;  // null until the first run
  void* userData = nullptr;
  int nEq = 0;                          // splits the function vector between equalities and inequalities
  double lower[kMaxVariables] = {};     // bounds of the method's variables of the latest run; entries beyond its
  double upper[kMaxVariables] = {};     // count keep older values

  // Set for the length of one run (all zero outside runs: no fixed variables, nothing checked or recorded).
  int callerCount = 0;                  // the caller's n
  int fixedCount = 0;                   // caller's variables with lower == upper
  int freeIndex[kMaxVariables] = {};    // method variable k (0-based) is the caller's variable freeIndex[k]
  double point[kMaxVariables] = {};     // the caller's point of the latest evaluation, fixed variables in place
  int functionCount = 0;                // 1 + nEq + nIneq
  bool latestFinite = true;             // the latest evaluation gave finite values at a finite point
  AnalysisPoint latest{}, best{}, accepted{};
  // The run's latest round trip when no variable is fixed, kept so that the next point converts only the
  // variables whose scaled values changed. Method variable k (0-based, k < knownCount) last entered as
  // enteredScaled[k], whose caller's value point[k] holds, and that value comes back as returnedScaled[k]; the
  // callback is handed a copy of point (handed), so that a callback writing into its point is noticed; knownFinite
  // tells whether point[0..knownCount-1] is finite; unstableCount counts the variables whose round trip does not
  // return the value entered; the latest entry formed the caller's values of the refreshedCount variables in
  // refreshed. None known at the start of a run, since the bounds change there.
  int knownCount = 0;
  bool knownFinite = false;
  int unstableCount = 0;
  int refreshedCount = 0;
  double enteredScaled[kMaxVariables] = {};
  double returnedScaled[kMaxVariables] = {};
  double handed[kMaxVariables] = {};
  int refreshed[kMaxVariables] = {};

  // The sizes of the latest run, and its batch callback: when set, every evaluation goes through it.
  int n = 0;
  int nIneq = 0;
  BatchAnalysisCallback batch = nullptr;
  void* batchUserData = nullptr;
};

// Map the first n method variables (at most 100: the bound copies hold no more) between the two forms, in place.
void toCallerUnits(const AnalysisBridge& bridge, int n, double* x);  // x = ((u - l)*s + (u + l))*0.5
void toScaledUnits(const AnalysisBridge& bridge, int n, double* x);  // s = (x - (u + l)/2) / ((u - l)/2)

// ANAFUN: one call of the recorded callback into the function vector f (1-based layout: objective, equalities,
// inequalities), or a group of one for the recorded batch callback. Counts and converts nothing.
void callAnalysis(const AnalysisBridge& bridge, const double* x, double* f);

// Where a point probably differs from the one the bridge entered last: in at most the method variables first and
// second (0-based, -1 for none). Only a guess that saves comparisons: the other variables are still compared, in
// one piece each side, and every variable is when they differ.
struct LikelyChanges {
  int first = -1;
  int second = -1;
  bool known() const { return first >= 0 || second >= 0; }
};

// The two halves of the bridge's work around one analysis call (see atCallerPoint in bridge_call.h). Entering:
// the caller's point of the scaled point x of the method's n variables; null, during a run, when it is not finite
// (then nothing is counted); otherwise the call is counted and the point returned (x itself, in the caller's
// units, or the bridge's buffer when variables are fixed). Leaving: x back in scaled form.
const double* enterCallerPoint(Context& ctx, int n, double* x, LikelyChanges likely = {});
void leaveCallerPoint(Context& ctx, int n, double* x);
// After the callback wrote f at the latest point entered: record it, and whether every value is finite.
bool finishEvaluation(AnalysisBridge& bridge, const double* f);
// Number of doubles of one point in the caller's units: all the caller's variables during a run, otherwise n.
int callerPointLength(const AnalysisBridge& bridge, int n);

// One counted evaluation at the scaled point x of the method's n variables: nFunEval += 1, the caller's point,
// the callback, back to scaled form. Every analysis call of a run goes through here. Returns false, during a run,
// when the values are not finite, or when the caller's point itself is not: then the callback is not called and
// nothing is counted.
bool evaluateAtScaledPoint(Context& ctx, int n, double* x, double* f, LikelyChanges likely = {});

// GRGFUN: the same, then with evalMode 3 the entry at objIndex negated (the feasibility phase on an equality with a
// negative value).
bool evaluateGrgPoint(Context& ctx, int evalMode, int objIndex, int n, double* x, double* f);

// Whether the latest evaluation of the run was finite (true before the first one).
bool latestAnalysisFinite(const AnalysisBridge& bridge);

// The run's frame: the caller's variables, bounds and fixed variables, and three function vectors of
// functionCount doubles for the records (latest, best and accepted, in this order). Returns the number of free
// variables, whose bound copies are then in lower/upper in the caller's order.
int beginRun(AnalysisBridge& bridge, int n, const double* lower, const double* upper, int functionCount,
             double* records);
// Forgets the run's frame: no fixed variables, nothing recorded any more.
void endRun(AnalysisBridge& bridge);

// The caller's point x (all n) to the scaled free variables s, and the scaled free variables s back into the
// caller's point x (free variables only: the fixed ones keep what x holds).
void scaleCallerPoint(const AnalysisBridge& bridge, const double* x, double* s);
void unscaleMethodPoint(const AnalysisBridge& bridge, const double* s, double* x);

// Records kept for the end of a run: the method accepted the latest evaluation as its iterate; a line search kept
// the latest evaluation as its best point so far; ... and then accepted that best point.
void acceptLatestPoint(AnalysisBridge& bridge);
void keepLatestAsBest(AnalysisBridge& bridge);
void acceptBestPoint(AnalysisBridge& bridge);
// Writes the accepted point (caller's units, all n) and its values into x and f; false when there is none.
bool deliverAcceptedPoint(const AnalysisBridge& bridge, double* x, double* f);
// Writes the point of the latest evaluation (caller's units, all n) into x, when there was one.
void deliverLatestPoint(const AnalysisBridge& bridge, double* x);

}  // namespace korvex
