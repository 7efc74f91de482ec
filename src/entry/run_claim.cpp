#include "entry/run_claim.h"

#include "entry/context.h"

namespace korvex {
namespace {

bool take(std::atomic<bool>& running) {
  bool expected = false;
  return running.compare_exchange_strong(expected, true, std::memory_order_acquire, std::memory_order_relaxed);
}

}  // namespace

RunClaim::RunClaim(Context& ctx) : ctx_(ctx), held_(take(ctx.running)) {}

RunClaim::~RunClaim() {
  if (held_) ctx_.running.store(false, std::memory_order_release);
}

}  // namespace korvex
