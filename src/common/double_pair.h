// Two doubles operated on together, one per lane of a vector register (SSE2 on x86-64). Every lane is rounded
// exactly as the same scalar operation would be, so loops that do the same work for two neighbouring elements can
// use it without changing one bit of their results. The same holds for four and eight (AVX2 and AVX-512F), in
// functions compiled for those vectors (see common/vector_width.h).
#pragma once

#include <cstring>

namespace korvex {

using DoublePair = double __attribute__((vector_size(16)));
using DoubleQuad = double __attribute__((vector_size(32)));
using DoubleOctet = double __attribute__((vector_size(64)));

// Elements p[0] and p[1].
inline DoublePair loadPair(const double* p) {
  DoublePair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void storePair(double* p, DoublePair v) { std::memcpy(p, &v, sizeof v); }

}  // namespace korvex
