#include "entry/bridge.h"

#include <algorithm>

#include "entry/settings.h"
#include "korvex/routines/entry.h"

namespace korvex {

AnalysisBridge bridge;

void toCallerUnits(int n, double* x) {
  const int count = std::min(n, kMaxVariables);
  for (int i = 0; i < count; ++i) {
    const double l = bridge.lower[i];
    const double u = bridge.upper[i];
    x[i] = ((u - l) * x[i] + (u + l)) * 0.5;
  }
}

void toScaledUnits(int n, double* x) {
  const int count = std::min(n, kMaxVariables);
  for (int i = 0; i < count; ++i) {
    const double l = bridge.lower[i];
    const double u = bridge.upper[i];
    x[i] = (x[i] - (u + l) / 2) / ((u - l) / 2);
  }
}

void callAnalysis(double* x, double* f) {
  if (bridge.callback == nullptr) return;
  bridge.callback(bridge.userData, x, f, f + 1, f + 1 + bridge.nEq);
}

void evaluateAtScaledPoint(int n, double* x, double* f) {
  settings.nFunEval += 1;
  toCallerUnits(n, x);
  callAnalysis(x, f);
  toScaledUnits(n, x);
}

}  // namespace korvex

extern "C" {

KORVEX_API void ANAFUN(double* x, double* f) { korvex::callAnalysis(x, f); }

KORVEX_API void GRGFUN(const int* evalMode, const int* objIndex, const int* n, double* x, double* f) {
  korvex::evaluateAtScaledPoint(*n, x, f);
  if (*evalMode == 3) f[*objIndex - 1] = -f[*objIndex - 1];
}

KORVEX_API void SQPFUN(const int* n, double* x, double* f) { korvex::evaluateAtScaledPoint(*n, x, f); }

}  // extern "C"
