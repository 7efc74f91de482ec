#include "entry/settings.h"

#include <atomic>

#include "common/stream.h"
#include "entry/result_text.h"
#include "entry/run_claim.h"
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

bool stopRequested() { return std::atomic_ref<int>(settings.stop).load(std::memory_order_relaxed) == 1; }

namespace {

// Makes the change unless a run, or another change, holds the library: then nothing happens.
template <typename Change>
void changeSettings(Change&& change) {
  const LibraryClaim claim;
  if (claim.held()) change();
}

}  // namespace
}  // namespace korvex

extern "C" {

KORVEX_API void KVW_setDefaults(void) { korvex::changeSettings([] { korvex::restoreDefaults(); }); }
// The stop request is the one setting a run's callback (or another thread) may change while the run goes on.
KORVEX_API void KVW_set_stop(int value) {
  std::atomic_ref<int>(korvex::settings.stop).store(value, std::memory_order_relaxed);
}
KORVEX_API void KVW_set_print(int value) { korvex::changeSettings([=] { korvex::settings.print = value; }); }
KORVEX_API void KVW_set_diffMeth(int value) { korvex::changeSettings([=] { korvex::settings.diffMeth = value; }); }
KORVEX_API void KVW_set_diffPert(double value) { korvex::changeSettings([=] { korvex::settings.diffPert = value; }); }
KORVEX_API void KVW_set_convTol(double value) {
  korvex::changeSettings([=] {
    korvex::settings.convTol = value;
    korvex::settings.feasTol = value;
  });
}
KORVEX_API int KVW_get_nIter(void) { return korvex::settings.nIter; }
KORVEX_API int KVW_get_nFunEval(void) { return korvex::settings.nFunEval; }

KORVEX_API void KVW_set_diagFile(const char* path) {
  korvex::changeSettings([=] {
    try {
      korvex::setDiagnosticFile(path);
    } catch (...) {
      // Out of memory for the path: the stream keeps its previous destination.
    }
  });
}

KORVEX_API void KVW_set_diagCallback(DiagnosticLineCallback callback, void* user) {
  korvex::changeSettings([=] {
    try {
      korvex::setDiagnosticCallback(callback, user);
    } catch (...) {
    }
  });
}

KORVEX_API const char* KVW_resultText(int method, int resultCode) { return korvex::resultText(method, resultCode); }

}  // extern "C"
