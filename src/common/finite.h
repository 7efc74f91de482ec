// Tests on the bits of doubles that the kernels and the analysis bridge share.
#pragma once

#include <bit>
#include <cstdint>

namespace korvex {

// True when no v[0..count-1] is an infinity or a NaN, whose exponent bits are all ones: adding one to the exponent
// field carries into the sign bit exactly for those, so one OR over every element tells (without a branch).
inline bool allFinite(const double* v, int count) {
  constexpr std::uint64_t kExponent = 0x7ff0000000000000u, kExponentUnit = 0x0010000000000000u;
  std::uint64_t carried = 0;
  for (int i = 0; i < count; ++i) carried |= (std::bit_cast<std::uint64_t>(v[i]) & kExponent) + kExponentUnit;
  return (carried >> 63) == 0;
}

// a and b are the same double to the last bit (so +0 and -0 differ, and a NaN equals only its own bits).
inline bool sameBits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

}  // namespace korvex
