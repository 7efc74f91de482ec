// The default context, and the contexts a caller creates: each allocates its two pools once, at creation, so a
// run never allocates.
#include "entry/context.h"

#include <memory>
#include <new>

#include "entry/result_text.h"
#include "entry/run_claim.h"
#include "korvex/korvex.h"

namespace korvex {

void Context::restoreDefaults() {
  writeDefaults(settings);
  stop.store(0, std::memory_order_relaxed);
  pool.intPoolSize = kIntPoolCapacity;
  pool.dblPoolSize = kDblPoolCapacity;
  pool.intPoolTop = 0;
  pool.dblPoolTop = 0;
}

void Context::setBatchCallback(BatchAnalysisCallback batch, void* userData) {
  changeUnlessRunning(*this, [&] {
    // Without storage the callback stays recorded and the next run reports KVW_OUT_OF_MEMORY.
    if (batch != nullptr) groups.reserveStorage();
    groups.batch = batch;
    groups.batchUserData = userData;
  });
}

int Context::setThreads(int count) {
  const RunClaim claim(*this);
  if (!claim.held()) return KVW_RUN_IN_PROGRESS;
  return groups.setThreads(count);
}

void Context::setIterationCallback(IterationCallback callback, void* userData) {
  changeUnlessRunning(*this, [&] {
    iterationReport.callback = callback;
    iterationReport.userData = userData;
  });
}

Context& defaultContext() {
  static double doubles[kDblPoolCapacity + 1];
  static int ints[kIntPoolCapacity + 1];
  static Context* const instance = new Context(WorkPool{doubles, ints}, DiagnosticStream::Default::kFort80);
  return *instance;
}

namespace {

// Out of memory for the path: the stream keeps its previous destination.
void setDiagnosticFile(Context& ctx, const char* path) {
  changeUnlessRunning(ctx, [&] {
    try {
      ctx.diagnostics.setFile(path);
    } catch (...) {
    }
  });
}

// One of the context's setters applied (nothing for a null context), refused while a run is in progress on it.
template <typename... Args>
void setUnlessRunning(Context* ctx, void (Context::*set)(Args...), Args... args) {
  if (ctx != nullptr) changeUnlessRunning(*ctx, [&] { (ctx->*set)(args...); });
}

}  // namespace
}  // namespace korvex

extern "C" {

KORVEX_API KVW_Context* KVW_ctx_create(void) {
  std::unique_ptr<double[]> doubles(new (std::nothrow) double[korvex::kDblPoolCapacity + 1]());
  std::unique_ptr<int[]> ints(new (std::nothrow) int[korvex::kIntPoolCapacity + 1]());
  if (!doubles || !ints) return nullptr;
  KVW_Context* ctx = new (std::nothrow) KVW_Context(doubles.get(), ints.get());
  if (ctx == nullptr) return nullptr;
  ctx->ownedDoubles = std::move(doubles);
  ctx->ownedInts = std::move(ints);
  return ctx;
}

KORVEX_API void KVW_ctx_free(KVW_Context* ctx) { delete ctx; }

KORVEX_API void KVW_ctx_setDefaults(KVW_Context* ctx) {
  korvex::setUnlessRunning<>(ctx, &korvex::Context::restoreDefaults);
}
KORVEX_API void KVW_ctx_set_stop(KVW_Context* ctx, int value) {
  if (ctx != nullptr) ctx->setStop(value);
}
KORVEX_API void KVW_ctx_set_print(KVW_Context* ctx, int value) {
  korvex::setUnlessRunning(ctx, &korvex::Context::setPrint, value);
}
KORVEX_API void KVW_ctx_set_diffMeth(KVW_Context* ctx, int value) {
  korvex::setUnlessRunning(ctx, &korvex::Context::setDiffMeth, value);
}
KORVEX_API void KVW_ctx_set_diffPert(KVW_Context* ctx, double value) {
  korvex::setUnlessRunning(ctx, &korvex::Context::setDiffPert, value);
}
KORVEX_API void KVW_ctx_set_convTol(KVW_Context* ctx, double value) {
  korvex::setUnlessRunning(ctx, &korvex::Context::setConvTol, value);
}
KORVEX_API int KVW_ctx_get_nIter(const KVW_Context* ctx) { return ctx != nullptr ? ctx->settings.nIter : 0; }
KORVEX_API int KVW_ctx_get_nFunEval(const KVW_Context* ctx) { return ctx != nullptr ? ctx->settings.nFunEval : 0; }

KORVEX_API void KVW_ctx_set_diagFile(KVW_Context* ctx, const char* path) {
  if (ctx != nullptr) korvex::setDiagnosticFile(*ctx, path);
}

KORVEX_API void KVW_ctx_set_diagCallback(KVW_Context* ctx, DiagnosticLineCallback callback, void* user) {
  korvex::setUnlessRunning(ctx, &korvex::Context::setDiagCallback, callback, user);
}

KORVEX_API void KVW_ctx_set_batchCallback(KVW_Context* ctx, BatchAnalysisCallback batch, void* userData) {
  if (ctx != nullptr) ctx->setBatchCallback(batch, userData);
}
KORVEX_API int KVW_ctx_set_threads(KVW_Context* ctx, int count) {
  return ctx != nullptr ? ctx->setThreads(count) : KVW_INVALID_ARGUMENT;
}
KORVEX_API void KVW_ctx_set_iterationCallback(KVW_Context* ctx, IterationCallback callback, void* userData) {
  if (ctx != nullptr) ctx->setIterationCallback(callback, userData);
}

KORVEX_API const char* KVW_ctx_resultText(const KVW_Context* /*ctx*/, int method, int resultCode) {
  return korvex::resultText(method, resultCode);
}

// The same functions on the default context.

KORVEX_API void KVW_setDefaults(void) {
  korvex::setUnlessRunning<>(&korvex::defaultContext(), &korvex::Context::restoreDefaults);
}
KORVEX_API void KVW_set_stop(int value) { korvex::defaultContext().setStop(value); }
KORVEX_API void KVW_set_print(int value) {
  korvex::setUnlessRunning(&korvex::defaultContext(), &korvex::Context::setPrint, value);
}
KORVEX_API void KVW_set_diffMeth(int value) {
  korvex::setUnlessRunning(&korvex::defaultContext(), &korvex::Context::setDiffMeth, value);
}
KORVEX_API void KVW_set_diffPert(double value) {
  korvex::setUnlessRunning(&korvex::defaultContext(), &korvex::Context::setDiffPert, value);
}
KORVEX_API void KVW_set_convTol(double value) {
  korvex::setUnlessRunning(&korvex::defaultContext(), &korvex::Context::setConvTol, value);
}
KORVEX_API int KVW_get_nIter(void) { return korvex::defaultContext().settings.nIter; }
KORVEX_API int KVW_get_nFunEval(void) { return korvex::defaultContext().settings.nFunEval; }

KORVEX_API void KVW_set_diagFile(const char* path) { korvex::setDiagnosticFile(korvex::defaultContext(), path); }

KORVEX_API void KVW_set_diagCallback(DiagnosticLineCallback callback, void* user) {
  korvex::setUnlessRunning(&korvex::defaultContext(), &korvex::Context::setDiagCallback, callback, user);
}

KORVEX_API void KVW_set_batchCallback(BatchAnalysisCallback batch, void* userData) {
  korvex::defaultContext().setBatchCallback(batch, userData);
}
KORVEX_API int KVW_set_threads(int count) { return korvex::defaultContext().setThreads(count); }

KORVEX_API const char* KVW_resultText(int method, int resultCode) { return korvex::resultText(method, resultCode); }

}  // extern "C"
