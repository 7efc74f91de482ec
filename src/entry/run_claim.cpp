#include "entry/run_claim.h"

#include <atomic>

namespace korvex {
namespace {

std::atomic<bool> inProgress{false};

bool take() {
  bool expected = false;
  return inProgress.compare_exchange_strong(expected, true, std::memory_order_acquire, std::memory_order_relaxed);
}

}  // namespace

LibraryClaim::LibraryClaim() : held_(take()) {}

LibraryClaim::~LibraryClaim() {
  if (held_) inProgress.store(false, std::memory_order_release);
}

}  // namespace korvex
