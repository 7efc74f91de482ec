// Tests on the bits of doubles that the kernels and the analysis bridge share.
#pragma once

#include <bit>
#include <cstdint>

namespace korvex {

// The bits of a double.
inline std::uint64_t bitsOf(double a) { return std::bit_cast<std::uint64_t>(a); }

// True when no v[0..count-1] is an infinity or a NaN, whose exponent bits are all ones: adding one to the exponent
// field carries into the sign bit exactly for those, so one OR over every element tells (without a branch). Eight
// elements go by at a time, into eight separate ORs.
inline bool allFinite(const double* v, int count) {
  constexpr std::uint64_t kExponent = 0x7ff0000000000000u, kExponentUnit = 0x0010000000000000u;
  std::uint64_t carried[8] = {};
  int i = 0;
  for (; i + 7 < count; i += 8) {
    for (int j = 0; j < 8; ++j) carried[j] |= (bitsOf(v[i + j]) & kExponent) + kExponentUnit;
  }
  std::uint64_t all = 0;  // the rest apart, so that the eight ORs stay in registers
  for (; i < count; ++i) all |= (bitsOf(v[i]) & kExponent) + kExponentUnit;
  for (const std::uint64_t c : carried) all |= c;
  return (all >> 63) == 0;
}

// a and b are the same double to the last bit (so +0 and -0 differ, and a NaN equals only its own bits).
inline bool sameBits(double a, double b) { return bitsOf(a) == bitsOf(b); }

}  // namespace korvex
