#include "entry/settings.h"

#include "common/stream.h"
#include "entry/result_text.h"
#include "korvex/korvex.h"

namespace korvex {

Settings settings{};  // all zero until KVW_setDefaults

void restoreDefaults() {
  const int latestRestorationIterations = settings.nNRIter;  // the defaults leave it alone
  settings = Settings{};
  settings.stop = 0;
  settings.print = 0;
  settings.diffMeth = 1;
  settings.diffPert = 0.0001;
  settings.convTol = 0.001;
  settings.feasTol = 0.001;
  settings.maxSearchLength = 1.0;
  settings.constraintFraction = 1.0;
  settings.tinyTol = 1e-7;
  settings.bigValue = 1e30;
  settings.errorFlag = 0;
  settings.nIter = 0;
  settings.nFunEval = 0;
  settings.intPoolSize = kIntPoolCapacity;
  settings.dblPoolSize = kDblPoolCapacity;
  settings.intPoolTop = 0;
  settings.dblPoolTop = 0;
  settings.initStep = 0.02;
  settings.minStep = 0.0001;
  settings.nGradEval = 0;
  settings.nNRCalls = 0;
  settings.nNRTotal = 0;
  settings.nNRIter = latestRestorationIterations;
}

}  // namespace korvex

extern "C" {

KORVEX_API void KVW_setDefaults(void) { korvex::restoreDefaults(); }
KORVEX_API void KVW_set_stop(int value) { korvex::settings.stop = value; }
KORVEX_API void KVW_set_print(int value) { korvex::settings.print = value; }
KORVEX_API void KVW_set_diffMeth(int value) { korvex::settings.diffMeth = value; }
KORVEX_API void KVW_set_diffPert(double value) { korvex::settings.diffPert = value; }
KORVEX_API void KVW_set_convTol(double value) {
  korvex::settings.convTol = value;
  korvex::settings.feasTol = value;
}
KORVEX_API int KVW_get_nIter(void) { return korvex::settings.nIter; }
KORVEX_API int KVW_get_nFunEval(void) { return korvex::settings.nFunEval; }

KORVEX_API void KVW_set_diagFile(const char* path) {
  try {
    korvex::setDiagnosticFile(path);
  } catch (...) {
    // Out of memory for the path: the stream keeps its previous destination.
  }
}

KORVEX_API void KVW_set_diagCallback(DiagnosticLineCallback callback, void* user) {
  try {
    korvex::setDiagnosticCallback(callback, user);
  } catch (...) {
  }
}

KORVEX_API const char* KVW_resultText(int method, int resultCode) { return korvex::resultText(method, resultCode); }

}  // extern "C"
