#include "entry/bridge.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/double_pair.h"
#include "common/finite.h"
#include "entry/bridge_call.h"
#include "entry/context.h"
#include "korvex/routines/entry.h"

namespace korvex {

namespace {

int variableCount(int n) { return std::clamp(n, 0, kMaxVariables); }

bool inRun(const AnalysisBridge& bridge) { return bridge.functionCount > 0; }

// The caller's variable that method variable k (0-based) stands for.
int callerIndex(const AnalysisBridge& bridge, int k) { return bridge.fixedCount > 0 ? bridge.freeIndex[k] : k; }

// Method variable k (0-based) in the caller's units and back, with its bound copies.
double callerValue(const AnalysisBridge& bridge, int k, double s) {
  const double l = bridge.lower[k];
  const double u = bridge.upper[k];
  return ((u - l) * s + (u + l)) * 0.5;
}

double scaledValue(const AnalysisBridge& bridge, int k, double x) {
  const double l = bridge.lower[k];
  const double u = bridge.upper[k];
  return (x - (u + l) / 2) / ((u - l) / 2);
}

// The caller's point of the n method variables s into the bridge's buffer; during a run, false when a value is
// not finite. Without fixed variables the point is formed two variables at a time.
bool assembleCallerPoint(AnalysisBridge& bridge, int n, const double* s) {
  if (bridge.fixedCount > 0) {
    for (int k = 0; k < n; ++k) bridge.point[bridge.freeIndex[k]] = callerValue(bridge, k, s[k]);
    return !inRun(bridge) || allFinite(bridge.point, bridge.callerCount);
  }
  int k = 0;
  for (; k + 1 < n; k += 2) {
    const DoublePair l = loadPair(bridge.lower + k), u = loadPair(bridge.upper + k);
    storePair(bridge.point + k, ((u - l) * loadPair(s + k) + (u + l)) * 0.5);
  }
  for (; k < n; ++k) bridge.point[k] = callerValue(bridge, k, s[k]);
  return !inRun(bridge) || allFinite(bridge.point, n);
}

// Whether the bridge keeps the run's round trips for this point: during a run, with no variable fixed, for all of
// the caller's variables.
bool keepsRoundTrips(const AnalysisBridge& bridge, int count) {
  return inRun(bridge) && bridge.fixedCount == 0 && count == bridge.callerCount;
}

// Method variable k entered at the scaled value s: its caller's value, in point and in the copy handed to the
// callback, and the scaled value that caller's value comes back as.
void refreshVariable(AnalysisBridge& bridge, int k, double s) {
  const bool wasUnstable = !sameBits(bridge.enteredScaled[k], bridge.returnedScaled[k]);
  const double value = callerValue(bridge, k, s);
  const double back = scaledValue(bridge, k, value);
  bridge.enteredScaled[k] = s;
  bridge.point[k] = value;
  bridge.handed[k] = value;
  bridge.returnedScaled[k] = back;
  bridge.unstableCount += static_cast<int>(!sameBits(s, back)) - static_cast<int>(wasUnstable);
  bridge.refreshed[bridge.refreshedCount++] = k;
}

// The likely changes converted where they differ from the variables entered last; true when every other variable
// has the bits entered last too (one comparison of the whole point now).
bool refreshLikelyChanges(AnalysisBridge& bridge, int n, const double* x, LikelyChanges likely) {
  for (const int k : {likely.first, likely.second}) {
    if (k >= 0 && k < n && !sameBits(x[k], bridge.enteredScaled[k])) refreshVariable(bridge, k, x[k]);
  }
  return std::memcmp(x, bridge.enteredScaled, sizeof(double) * static_cast<std::size_t>(n)) == 0;
}

// Every variable compared with the one entered last, four at a time, the differing ones converted.
void refreshChanges(AnalysisBridge& bridge, int n, const double* x) {
  int k = 0;
  for (; k + 3 < n; k += 4) {
    std::uint64_t differ = 0;
    for (int j = k; j < k + 4; ++j) differ |= bitsOf(x[j]) ^ bitsOf(bridge.enteredScaled[j]);
    if (differ == 0) continue;
    for (int j = k; j < k + 4; ++j) {
      if (!sameBits(x[j], bridge.enteredScaled[j])) refreshVariable(bridge, j, x[j]);
    }
  }
  for (; k < n; ++k) {
    if (!sameBits(x[k], bridge.enteredScaled[k])) refreshVariable(bridge, k, x[k]);
  }
}

// The caller's point of the n method variables x from the round trips kept: only the variables whose scaled
// values differ, to the last bit, from those entered last are converted (all of them when none are known). Null
// when the point is not finite.
const double* enterKeptPoint(AnalysisBridge& bridge, int n, const double* x, LikelyChanges likely) {
  bridge.refreshedCount = 0;
  if (bridge.knownCount != n) {
    for (int k = 0; k < n; ++k) bridge.enteredScaled[k] = bridge.returnedScaled[k] = 0.0;
    bridge.unstableCount = 0;
    for (int k = 0; k < n; ++k) refreshVariable(bridge, k, x[k]);
    bridge.knownCount = n;
    bridge.knownFinite = allFinite(bridge.point, n);
    return bridge.knownFinite ? bridge.handed : nullptr;
  }
  if (!likely.known() || !refreshLikelyChanges(bridge, n, x, likely)) refreshChanges(bridge, n, x);
  // A finite point stays finite when the values converted are; otherwise the whole point is looked at again.
  bool finite = bridge.knownFinite;
  for (int r = 0; r < bridge.refreshedCount && finite; ++r) finite = allFinite(&bridge.point[bridge.refreshed[r]], 1);
  if (!bridge.knownFinite) finite = allFinite(bridge.point, n);
  bridge.knownFinite = finite;
  return finite ? bridge.handed : nullptr;
}

// x back in scaled form after the callback saw the point entered: the values kept, or, for a variable whose value
// the callback overwrote, the conversion of what it wrote (and then nothing is known for the next point).
void leaveKeptPoint(AnalysisBridge& bridge, int n, double* x) {
  if (std::memcmp(bridge.handed, bridge.point, sizeof(double) * static_cast<std::size_t>(n)) != 0) {
    for (int k = 0; k < n; ++k) {
      x[k] = sameBits(bridge.handed[k], bridge.point[k]) ? bridge.returnedScaled[k]
                                                         : scaledValue(bridge, k, bridge.handed[k]);
    }
    bridge.knownCount = 0;
    return;
  }
  // Variables entered as they came back last time hold that value already.
  if (bridge.unstableCount == 0) {
    for (int r = 0; r < bridge.refreshedCount; ++r) x[bridge.refreshed[r]] = bridge.returnedScaled[bridge.refreshed[r]];
    return;
  }
  std::copy(bridge.returnedScaled, bridge.returnedScaled + n, x);
}

void copyPoint(const AnalysisBridge& bridge, const AnalysisPoint& from, AnalysisPoint& to) {
  if (!from.valid) return;
  std::copy(from.x, from.x + bridge.callerCount, to.x);
  std::copy(from.f, from.f + bridge.functionCount, to.f);
  to.valid = true;
}

void recordLatest(AnalysisBridge& bridge, const double* f) {
  if (!inRun(bridge)) return;
  std::copy(bridge.point, bridge.point + bridge.callerCount, bridge.latest.x);
  std::copy(f, f + bridge.functionCount, bridge.latest.f);
  bridge.latest.valid = true;
}

}  // namespace

void toCallerUnits(const AnalysisBridge& bridge, int n, double* x) {
  for (int k = 0; k < variableCount(n); ++k) x[k] = callerValue(bridge, k, x[k]);
}

void toScaledUnits(const AnalysisBridge& bridge, int n, double* x) {
  for (int k = 0; k < variableCount(n); ++k) x[k] = scaledValue(bridge, k, x[k]);
}

void callAnalysis(const AnalysisBridge& bridge, const double* x, double* f) {
  if (bridge.batch != nullptr) {
    bridge.batch(bridge.batchUserData, 1, bridge.n, bridge.nEq, bridge.nIneq, x, f);
    return;
  }
  if (bridge.callback == nullptr) return;
  bridge.callback(bridge.userData, x, f, f + 1, f + 1 + bridge.nEq);
}

const double* enterCallerPoint(Context& ctx, int n, double* x, LikelyChanges likely) {
  AnalysisBridge& bridge = ctx.bridge;
  const int count = variableCount(n);
  if (keepsRoundTrips(bridge, count)) {
    const double* point = enterKeptPoint(bridge, count, x, likely);
    if (point == nullptr) {
      bridge.latestFinite = false;  // never handed to the callback
      return nullptr;
    }
    ctx.settings.nFunEval += 1;
    return point;
  }
  bridge.knownCount = 0;  // the point is formed here without them
  if (!assembleCallerPoint(bridge, count, x)) {
    bridge.latestFinite = false;
    return nullptr;
  }
  ctx.settings.nFunEval += 1;
  if (bridge.fixedCount > 0) return bridge.point;
  // The method's own array goes to the callback, in the caller's units for the length of the call.
  std::copy(bridge.point, bridge.point + count, x);
  return x;
}

void leaveCallerPoint(Context& ctx, int n, double* x) {
  AnalysisBridge& bridge = ctx.bridge;
  const int count = variableCount(n);
  if (keepsRoundTrips(bridge, count)) {
    leaveKeptPoint(bridge, count, x);
  } else if (bridge.fixedCount == 0) {
    toScaledUnits(bridge, count, x);
  } else {
    for (int k = 0; k < count; ++k) x[k] = scaledValue(bridge, k, bridge.point[callerIndex(bridge, k)]);
  }
}

bool finishEvaluation(AnalysisBridge& bridge, const double* f) {
  recordLatest(bridge, f);
  bridge.latestFinite = allFinite(f, bridge.functionCount);  // nothing to check outside a run
  return bridge.latestFinite;
}

int callerPointLength(const AnalysisBridge& bridge, int n) { return inRun(bridge) ? bridge.callerCount : n; }

bool evaluateAtScaledPoint(Context& ctx, int n, double* x, double* f, LikelyChanges likely) {
  const bool entered =
      atCallerPoint(ctx, n, x, [&](const double* point) { callAnalysis(ctx.bridge, point, f); }, likely);
  return entered && finishEvaluation(ctx.bridge, f);
}

bool evaluateGrgPoint(Context& ctx, int evalMode, int objIndex, int n, double* x, double* f) {
  const bool finite = evaluateAtScaledPoint(ctx, n, x, f);
  if (evalMode == 3) f[objIndex - 1] = -f[objIndex - 1];
  return finite;
}

bool latestAnalysisFinite(const AnalysisBridge& bridge) { return bridge.latestFinite; }

int beginRun(AnalysisBridge& bridge, int n, const double* lower, const double* upper, int functionCount,
             double* records) {
  bridge.callerCount = variableCount(n);
  bridge.fixedCount = 0;
  int free = 0;
  for (int i = 0; i < bridge.callerCount; ++i) {
    if (lower[i] == upper[i]) {
      bridge.point[i] = lower[i];
      bridge.fixedCount += 1;
      continue;
    }
    bridge.freeIndex[free] = i;
    bridge.lower[free] = lower[i];
    bridge.upper[free] = upper[i];
    ++free;
  }
  bridge.functionCount = functionCount;
  bridge.latestFinite = true;
  bridge.knownCount = 0;
  double* next = records;
  for (AnalysisPoint* record : {&bridge.latest, &bridge.best, &bridge.accepted}) {
    record->f = next;
    record->valid = false;
    next += functionCount;
  }
  return free;
}

void endRun(AnalysisBridge& bridge) {
  bridge.knownCount = 0;
  bridge.callerCount = 0;
  bridge.fixedCount = 0;
  bridge.functionCount = 0;
  bridge.latestFinite = true;
  for (AnalysisPoint* record : {&bridge.latest, &bridge.best, &bridge.accepted}) *record = AnalysisPoint{};
}

void scaleCallerPoint(const AnalysisBridge& bridge, const double* x, double* s) {
  const int free = bridge.callerCount - bridge.fixedCount;
  for (int k = 0; k < free; ++k) s[k] = scaledValue(bridge, k, x[callerIndex(bridge, k)]);
}

void unscaleMethodPoint(const AnalysisBridge& bridge, const double* s, double* x) {
  const int free = bridge.callerCount - bridge.fixedCount;
  for (int k = 0; k < free; ++k) x[callerIndex(bridge, k)] = callerValue(bridge, k, s[k]);
}

void acceptLatestPoint(AnalysisBridge& bridge) { copyPoint(bridge, bridge.latest, bridge.accepted); }
void keepLatestAsBest(AnalysisBridge& bridge) { copyPoint(bridge, bridge.latest, bridge.best); }
void acceptBestPoint(AnalysisBridge& bridge) { copyPoint(bridge, bridge.best, bridge.accepted); }

bool deliverAcceptedPoint(const AnalysisBridge& bridge, double* x, double* f) {
  if (!bridge.accepted.valid) return false;
  std::copy(bridge.accepted.x, bridge.accepted.x + bridge.callerCount, x);
  std::copy(bridge.accepted.f, bridge.accepted.f + bridge.functionCount, f);
  return true;
}

void deliverLatestPoint(const AnalysisBridge& bridge, double* x) {
  if (bridge.latest.valid) std::copy(bridge.latest.x, bridge.latest.x + bridge.callerCount, x);
}

}  // namespace korvex

// Exported adapters: they work on the default context.

extern "C" {

KORVEX_API void ANAFUN(double* x, double* f) { korvex::callAnalysis(korvex::defaultContext().bridge, x, f); }

KORVEX_API void GRGFUN(const int* evalMode, const int* objIndex, const int* n, double* x, double* f) {
  korvex::evaluateGrgPoint(korvex::defaultContext(), *evalMode, *objIndex, *n, x, f);
}

KORVEX_API void SQPFUN(const int* n, double* x, double* f) {
  korvex::evaluateAtScaledPoint(korvex::defaultContext(), *n, x, f);
}

}  // extern "C"
