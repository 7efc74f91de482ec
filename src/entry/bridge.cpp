#include "entry/bridge.h"

#include <algorithm>

#include "entry/context.h"
#include "korvex/routines/entry.h"

namespace korvex {

void toCallerUnits(const AnalysisBridge& bridge, int n, double* x) {
  const int count = std::min(n, kMaxVariables);
  for (int i = 0; i < count; ++i) {
    const double l = bridge.lower[i];
    const double u = bridge.upper[i];
    x[i] = ((u - l) * x[i] + (u + l)) * 0.5;
  }
}

void toScaledUnits(const AnalysisBridge& bridge, int n, double* x) {
  const int count = std::min(n, kMaxVariables);
  for (int i = 0; i < count; ++i) {
    const double l = bridge.lower[i];
    const double u = bridge.upper[i];
    x[i] = (x[i] - (u + l) / 2) / ((u - l) / 2);
  }
}

void callAnalysis(const AnalysisBridge& bridge, double* x, double* f) {
  if (bridge.callback == nullptr) return;
  bridge.callback(bridge.userData, x, f, f + 1, f + 1 + bridge.nEq);
}

void evaluateAtScaledPoint(Context& ctx, int n, double* x, double* f) {
  ctx.settings.nFunEval += 1;
  toCallerUnits(ctx.bridge, n, x);
  callAnalysis(ctx.bridge, x, f);
  toScaledUnits(ctx.bridge, n, x);
}

void evaluateGrgPoint(Context& ctx, int evalMode, int objIndex, int n, double* x, double* f) {
  evaluateAtScaledPoint(ctx, n, x, f);
  if (evalMode == 3) f[objIndex - 1] = -f[objIndex - 1];
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
