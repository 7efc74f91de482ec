// The problem driver behind KVW_grg and KVW_sqp: refuse what cannot be run, record the callback, scale the free
// variables onto [-1, 1], build the constraint lists, run the method's storage front end, and hand back the last
// accepted point with the callback's values there.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <memory>
#include <new>
#include <vector>

#include "entry/context.h"
#include "entry/result_text.h"
#include "entry/run_claim.h"
#include "grg/working_set.h"
#include "sqp/sqp_internal.h"

namespace korvex {
namespace {

constexpr int kObjectiveIndex = 1;
// Far more functions than the fixed pools can ever hold (they overflow long before), small enough that no storage
// arithmetic of the methods overflows an int.
constexpr int kMaxConstraints = 1000000;

// The arguments without which a run cannot even start: the callback (unless a batch callback evaluates every
// point), x and f, the bounds when there are variables, and counts that are not negative.
bool usableArguments(const Context& ctx, int n, const double* x, const double* lower, const double* upper, int nEq,
                     int nIneq, AnalysisCallback analysis, const double* f) {
  if ((analysis == nullptr && ctx.groups.batch == nullptr) || f == nullptr || n < 0) return false;
  if (n > 0 && (x == nullptr || lower == nullptr || upper == nullptr)) return false;
  if (nEq < 0 || nIneq < 0) return false;
  return nEq <= kMaxConstraints - nIneq;
}

// A box the scaling onto [-1, 1] can represent: finite bounds, lower <= upper, and for a free variable a width and
// a midpoint that do not overflow, so that both ends map back to finite values, and a half-width that is a normal
// number. A half-width below the smallest normal number is rounded to a unit of the smallest denormal when the
// scaling divides by it, while the way back multiplies by the exact width: the two no longer invert each other,
// and every analysis call would move a variable outside the box by that rounding (up to half of its distance from
// the box's middle), call after call. The start value must be finite too (a start outside the box is used as given).
bool usableBox(int n, const double* x, const double* lower, const double* upper) {
  for (int i = 0; i < n; ++i) {
    const double l = lower[i];
    const double u = upper[i];
    if (!std::isfinite(l) || !std::isfinite(u) || !std::isfinite(x[i]) || l > u) return false;
    if (l == u) continue;  // fixed
    const double width = u - l;
    const double sum = u + l;
    if (!std::isfinite(width + sum) || !std::isfinite(sum - width) || !(width / 2 >= DBL_MIN)) return false;
    // A start so far out that its scaled value, or that value mapped back, overflows.
    const double scaled = (x[i] - sum / 2) / (width / 2);
    if (!std::isfinite(scaled) || !std::isfinite((width * scaled + sum) * 0.5)) return false;
  }
  return true;
}

// The settings a run divides by or steps with: a positive finite difference step and a positive finite tolerance.
bool usableSettings(const Settings& settings) {
  return std::isfinite(settings.diffPert) && settings.diffPert > 0.0 && std::isfinite(settings.convTol) &&
         settings.convTol > 0.0;
}

// Endings that leave the method's iterate unusable or unfinished: the callback threw, an analysis value was not
// finite, or a stop was requested. They return the last accepted point itself; every other ending returns the
// method's final iterate mapped back to the caller's units.
bool endsAtAcceptedPoint(int method, int resultCode) {
  const int stopped = method == kMethodGrg ? KVW_GRG_STOPPED : KVW_SQP_STOPPED;
  return resultCode == KVW_CALLBACK_EXCEPTION || resultCode == KVW_NON_FINITE_ANALYSIS || resultCode == stopped;
}

// The scratch arrays of one run, in two blocks: the scaled free variables, their scaled bounds and the bridge's
// three function-vector records; the two lists of function numbers.
struct RunScratch {
  std::vector<double> doubles;
  std::vector<int> lists;

  RunScratch(int n, int nEq, int nIneq, int functionCount)
      : doubles(3 * static_cast<size_t>(n) + 3 * static_cast<size_t>(functionCount)),
        lists(static_cast<size_t>(nEq) + static_cast<size_t>(nIneq)),
        n_(n) {
    for (int i = 0; i < n; ++i) {
      lower()[i] = -1.0;
      upper()[i] = 1.0;
    }
    for (int k = 0; k < nEq; ++k) lists[static_cast<size_t>(k)] = k + 2;
    for (int k = 0; k < nIneq; ++k) lists[static_cast<size_t>(nEq + k)] = nEq + 2 + k;
  }
  double* x() { return doubles.data(); }
  double* lower() { return doubles.data() + n_; }
  double* upper() { return doubles.data() + 2 * static_cast<size_t>(n_); }
  double* records() { return doubles.data() + 3 * static_cast<size_t>(n_); }

 private:
  int n_;
};

// Runs the method on the free variables xs. Exceptions from the callback pass through.
int dispatch(Context& ctx, int method, int maxIter, int nFree, double* xs, RunScratch& scratch, int nEq, int nIneq,
             double* f) {
  const int maxFunctions = nEq + nIneq + 1;
  int resultCode = 0;
  const int objIndex = kObjectiveIndex;
  int* eqList = nEq > 0 ? scratch.lists.data() : nullptr;
  int* ineqList = nIneq > 0 ? scratch.lists.data() + nEq : nullptr;
  if (method == kMethodGrg) {
    if (!evaluateGrgPoint(ctx, 0, objIndex, nFree, xs, f)) return KVW_NON_FINITE_ANALYSIS;
    acceptLatestPoint(ctx.bridge);
    grg::runFrontEnd(ctx, maxIter, nFree, xs, scratch.lower(), scratch.upper(), maxFunctions, f, objIndex, nEq,
                     eqList, nIneq, ineqList, resultCode);
    if (ctx.settings.errorFlag != 0) resultCode = KVW_GRG_STORAGE;
  } else {
    sqp::runFrontEnd(ctx, maxIter, nFree, xs, scratch.lower(), scratch.upper(), maxFunctions, f, objIndex, nEq,
                     eqList, nIneq, ineqList, resultCode);
    if (ctx.settings.errorFlag != 0) resultCode = KVW_SQP_STORAGE;
  }
  return resultCode;
}

// Every variable fixed: the point is evaluated once, and that is the answer.
int evaluateFixedPoint(Context& ctx, double* xs, double* f) {
  if (!evaluateAtScaledPoint(ctx, 0, xs, f)) return KVW_NON_FINITE_ANALYSIS;
  acceptLatestPoint(ctx.bridge);
  return 1;
}

int runMethod(Context& ctx, int method, int maxIter, int n, double* x, const double* lower, const double* upper, int nEq,
              int nIneq, AnalysisCallback analysis, void* userData, double* f) {
  if (n > kMaxVariables) return KVW_TOO_MANY_VARIABLES;
  if (!usableArguments(ctx, n, x, lower, upper, nEq, nIneq, analysis, f)) return KVW_INVALID_ARGUMENT;
  if (!usableBox(n, x, lower, upper) || !usableSettings(ctx.settings)) return KVW_INVALID_ARGUMENT;
  if (ctx.groups.wanted() && !ctx.groups.ready()) return KVW_OUT_OF_MEMORY;  // group storage could not be had
  const int functionCount = nEq + nIneq + 1;

  AnalysisBridge& bridge = ctx.bridge;
  bridge.callback = analysis;
  bridge.userData = userData;
  bridge.batch = ctx.groups.batch;
  bridge.batchUserData = ctx.groups.batchUserData;
  bridge.n = n;
  bridge.nEq = nEq;
  bridge.nIneq = nIneq;

  std::unique_ptr<RunScratch> scratch;
  try {
    scratch = std::make_unique<RunScratch>(n, nEq, nIneq, functionCount);
  } catch (const std::bad_alloc&) {
    return KVW_OUT_OF_MEMORY;
  }

  const int nFree = beginRun(bridge, n, lower, upper, functionCount, scratch->records());
  double* xs = scratch->x();
  scaleCallerPoint(bridge, x, xs);
  int resultCode = 0;
  try {
    resultCode = (n > 0 && nFree == 0) ? evaluateFixedPoint(ctx, xs, f)
                                       : dispatch(ctx, method, maxIter, nFree, xs, *scratch, nEq, nIneq, f);
  } catch (...) {
    // The pool frames the exception unwound through gave the pool tops back on the way out.
    resultCode = KVW_CALLBACK_EXCEPTION;
  }

  // f: the values the callback wrote at the last accepted iterate (not the negated copy of GRG's feasibility
  // phase). x: after an abnormal ending that iterate exactly as the callback saw it, otherwise the method's final
  // iterate mapped back (the same point up to the rounding of the scaling). Before any point was accepted x is the
  // start point as the callback saw it (fixed variables at their values) and f what the callback wrote there, or,
  // when the callback never returned, x as given.
  if (!deliverAcceptedPoint(bridge, x, f)) {
    deliverLatestPoint(bridge, x);
  } else if (!endsAtAcceptedPoint(method, resultCode)) {
    unscaleMethodPoint(bridge, xs, x);
  }
  endRun(bridge);
  return resultCode;
}

// No exception leaves the library: one thrown by the caller's callback ends the run with its own code. A run
// started while another holds the library is refused before anything is read.
int runGuarded(Context& ctx, int method, int maxIter, int n, double* x, const double* lower, const double* upper,
               int nEq, int nIneq, AnalysisCallback analysis, void* userData, double* f) {
  const RunClaim claim(ctx);
  if (!claim.held()) return KVW_RUN_IN_PROGRESS;
  int result;
  try {
    result = runMethod(ctx, method, maxIter, n, x, lower, upper, nEq, nIneq, analysis, userData, f);
  } catch (...) {
    result = KVW_CALLBACK_EXCEPTION;
  }
  ctx.diagnostics.flush();
  return result;
}

}  // namespace
}  // namespace korvex

extern "C" {

KORVEX_API int KVW_grg(int maxIter, int n, double* x, const double* lower, const double* upper, int nEq, int nIneq,
                       AnalysisCallback analysis, void* userData, double* f) {
  return korvex::runGuarded(korvex::defaultContext(), korvex::kMethodGrg, maxIter, n, x, lower, upper, nEq, nIneq,
                            analysis, userData, f);
}

KORVEX_API int KVW_sqp(int maxIter, int n, double* x, const double* lower, const double* upper, int nEq, int nIneq,
                       AnalysisCallback analysis, void* userData, double* f) {
  return korvex::runGuarded(korvex::defaultContext(), korvex::kMethodSqp, maxIter, n, x, lower, upper, nEq, nIneq,
                            analysis, userData, f);
}

KORVEX_API int KVW_ctx_grg(KVW_Context* ctx, int maxIter, int n, double* x, const double* lower, const double* upper,
                           int nEq, int nIneq, AnalysisCallback analysis, void* userData, double* f) {
  if (ctx == nullptr) return KVW_INVALID_ARGUMENT;
  return korvex::runGuarded(*ctx, korvex::kMethodGrg, maxIter, n, x, lower, upper, nEq, nIneq, analysis, userData, f);
}

KORVEX_API int KVW_ctx_sqp(KVW_Context* ctx, int maxIter, int n, double* x, const double* lower, const double* upper,
                           int nEq, int nIneq, AnalysisCallback analysis, void* userData, double* f) {
  if (ctx == nullptr) return KVW_INVALID_ARGUMENT;
  return korvex::runGuarded(*ctx, korvex::kMethodSqp, maxIter, n, x, lower, upper, nEq, nIneq, analysis, userData, f);
}

}  // extern "C"
