// Data and comparisons shared by the QP kernel tests that check kept or wide results against the plain kernels.
#pragma once

#include <bit>
#include <cstdint>
#include <random>
#include <vector>

namespace korvex::testing {

using Vector = std::vector<double>;

inline bool sameBits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// Column k of a: dense random entries, or three nonzero entries (the rest +0 or, for odd k, -0).
inline Vector constraintMatrix(std::mt19937& rng, int n, int nc, bool sparse) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Vector a(static_cast<size_t>(n * nc));
  for (int k = 0; k < nc; ++k) {
    for (int i = 0; i < n; ++i) {
      const bool nonzero = !sparse || (i >= k % n && i < k % n + 3);
      a[static_cast<size_t>(k * n + i)] = nonzero ? u(rng) : (k % 2 == 1 ? -0.0 : 0.0);
    }
  }
  return a;
}

}  // namespace korvex::testing
