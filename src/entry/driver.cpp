// The problem driver behind KVW_grg and KVW_sqp: record the callback, copy the bounds, scale the variables onto
// [-1, 1], build the constraint lists, run the method's storage front end, and map the variables back.
#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "entry/context.h"
#include "entry/result_text.h"
#include "grg/working_set.h"
#include "sqp/sqp_internal.h"

namespace korvex {
namespace {

constexpr int kObjectiveIndex = 1;
// Far more functions than the fixed pools can ever hold (they overflow long before), small enough that no storage
// arithmetic of the methods overflows an int.
constexpr int kMaxConstraints = 1000000;

// The arguments without which a run cannot even start: the callback, x and f, the bounds when there are variables,
// and constraint counts that are not negative. (Bounds that do not enclose an interval are the caller's to avoid.)
bool usableArguments(int n, const double* x, const double* lower, const double* upper, int nEq, int nIneq,
                     AnalysisCallback analysis, const double* f) {
  if (analysis == nullptr || f == nullptr) return false;
  if (n > 0 && (x == nullptr || lower == nullptr || upper == nullptr)) return false;
  if (nEq < 0 || nIneq < 0) return false;
  return nEq <= kMaxConstraints - nIneq;
}

// The scratch arrays of one run: scaled bounds and the two lists of function numbers.
struct RunScratch {
  std::vector<double> lower, upper;
  std::vector<int> equalities, inequalities;

  RunScratch(int n, int nEq, int nIneq)
      : lower(static_cast<size_t>(std::max(n, 0)), -1.0),
        upper(static_cast<size_t>(std::max(n, 0)), 1.0),
        equalities(static_cast<size_t>(std::max(nEq, 0))),
        inequalities(static_cast<size_t>(std::max(nIneq, 0))) {
    for (int k = 0; k < nEq; ++k) equalities[static_cast<size_t>(k)] = k + 2;
    for (int k = 0; k < nIneq; ++k) inequalities[static_cast<size_t>(k)] = nEq + 2 + k;
  }
};

int runMethod(Context& ctx, int method, int maxIter, int n, double* x, const double* lower, const double* upper,
              int nEq, int nIneq, AnalysisCallback analysis, void* userData, double* f) {
  if (n > kMaxVariables) return KVW_TOO_MANY_VARIABLES;
  if (!usableArguments(n, x, lower, upper, nEq, nIneq, analysis, f)) return KVW_INVALID_ARGUMENT;
  const int maxFunctions = nEq + nIneq + 1;

  AnalysisBridge& bridge = ctx.bridge;
  bridge.callback = analysis;
  bridge.userData = userData;
  bridge.nEq = nEq;
  for (int i = 0; i < n; ++i) {
    bridge.lower[i] = lower[i];
    bridge.upper[i] = upper[i];
  }

  std::unique_ptr<RunScratch> scratch;
  try {
    scratch = std::make_unique<RunScratch>(n, nEq, nIneq);
  } catch (const std::bad_alloc&) {
    return KVW_OUT_OF_MEMORY;
  }

  toScaledUnits(bridge, n, x);

  int resultCode = 0;
  const int objIndex = kObjectiveIndex;
  int* eqList = nEq > 0 ? scratch->equalities.data() : nullptr;
  int* ineqList = nIneq > 0 ? scratch->inequalities.data() : nullptr;
  if (method == kMethodGrg) {
    evaluateGrgPoint(ctx, 0, objIndex, n, x, f);
    grg::runFrontEnd(ctx, maxIter, n, x, scratch->lower.data(), scratch->upper.data(), maxFunctions, f, objIndex,
                     nEq, eqList, nIneq, ineqList, resultCode);
    if (ctx.settings.errorFlag != 0) resultCode = KVW_GRG_STORAGE;
  } else {
    sqp::runFrontEnd(ctx, maxIter, n, x, scratch->lower.data(), scratch->upper.data(), maxFunctions, f, objIndex,
                     nEq, eqList, nIneq, ineqList, resultCode);
    if (ctx.settings.errorFlag != 0) resultCode = KVW_SQP_STORAGE;
  }

  toCallerUnits(bridge, n, x);
  return resultCode;
}

// No exception leaves the library: one thrown by the caller's callback ends the run with its own code; the pool
// frames it unwinds through give the pool tops back on the way out. x is left as the callback last saw it.
int runGuarded(Context& ctx, int method, int maxIter, int n, double* x, const double* lower, const double* upper,
               int nEq, int nIneq, AnalysisCallback analysis, void* userData, double* f) {
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
