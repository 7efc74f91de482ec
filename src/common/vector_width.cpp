#include "common/vector_width.h"

#include <algorithm>
#include <atomic>

namespace korvex {

namespace {

VectorWidth detectWidestVectors() {
#ifdef KORVEX_WIDE_VECTORS
  // The checks include the operating system's consent (the XGETBV register state), not only the CPUID bits.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return VectorWidth::k512;
  if (__builtin_cpu_supports("avx2")) return VectorWidth::k256;
#endif
  return VectorWidth::k128;
}

}  // namespace

std::atomic<VectorWidth> widthInUse{widestVectors()};

VectorWidth widestVectors() {
  static const VectorWidth widest = detectWidestVectors();
  return widest;
}

void useVectors(VectorWidth width) {
  widthInUse.store(std::min(width, widestVectors()), std::memory_order_relaxed);
}

}  // namespace korvex
