// How many doubles one vector register of the wide kernels holds: 2 (SSE2, every x86-64 processor), 4 (AVX2) or
// 8 (AVX-512F), the widest that both the processor and the operating system support, found once when the library
// is loaded. Every width does exactly the operations of the plain code in each lane (no fused multiply-add), so
// the width changes how fast a kernel runs, never one bit of what it gives.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#define KORVEX_WIDE_VECTORS 1  // the AVX2 and AVX-512F forms of the wide kernels are compiled (and chosen at run time)
#endif

#include <atomic>

namespace korvex {

enum class VectorWidth { k128 = 2, k256 = 4, k512 = 8 };

// The width in use, read by every kernel that has a wide form (inline, so that reading it costs no call).
extern std::atomic<VectorWidth> widthInUse;

// The widest vectors this machine has.
VectorWidth widestVectors();
// The width the kernels use: the widest unless useVectors() chose a narrower one.
inline VectorWidth vectorsInUse() { return widthInUse.load(std::memory_order_relaxed); }
// Makes the kernels use the given width, narrowed to the widest this machine has (the tests run every path).
void useVectors(VectorWidth width);

}  // namespace korvex
