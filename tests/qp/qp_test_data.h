// Data and comparisons shared by the QP kernel tests that check kept or wide results against the plain kernels.
#pragma once

#include <random>
#include <vector>

#include "common/finite.h"

namespace korvex::testing {

using Vector = std::vector<double>;

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

// An n x n positive definite H, column-major: the diagonal 1 + diagonalStep i (i from 0), plus M M'/n for a random
// M unless diagonalOnly (M is drawn either way).
inline Vector positiveDefinite(std::mt19937& rng, int n, double diagonalStep, bool diagonalOnly) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Vector h(static_cast<size_t>(n * n), 0.0), m(static_cast<size_t>(n * n));
  for (double& v : m) v = u(rng);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      double sum = i == j ? 1.0 + diagonalStep * i : 0.0;
      for (int k = 0; k < n && !diagonalOnly; ++k) sum += m[i * n + k] * m[j * n + k] / n;
      h[static_cast<size_t>(i + j * n)] = sum;
    }
  }
  return h;
}

}  // namespace korvex::testing
