// Two families of test problems whose size grows with the number of variables n, shared by the overhead benchmark
// (bench/nlopt_comparison.cpp) and the run checksums (tests/end_to_end/run_checksums_test.cpp). Both have a cheap
// analysis, so that a run's time is mostly the library's own work.
//
//   dense_qp      minimise 1/2 x'Qx + c'x, Q = I + M M'/n with M dense, subject to n/2 dense linear inequalities
//                 a_k'x <= b_k (satisfied with margin 0.1 at a point inside the box), box [-10, 10], start x = 0.
//   chained_rosen minimise sum_i 100 (x_(i+1) - x_i^2)^2 + (1 - x_i)^2 (the chained Rosenbrock function) subject to
//                 the n/2 - 1 chained equalities x_(2j-1)^2 + x_(2j)^3 + 2 x_(2j+1) - 4 + sin(x_(2j-1) - x_(2j+1)) = 0,
//                 box [-4, 4], start x = 0.5 (the feasible point x = 1 is the minimiser).
//
// The random data come from a fixed integer generator turned into doubles exactly, and the sine is computed from the
// basic operations, so every platform builds and evaluates bit-identical problems.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "korvex/korvex.h"

namespace korvex_bench {

// splitmix64, mapped onto [-1, 1) through a 53-bit integer (exact in a double).
class UniformSource {
 public:
  explicit UniformSource(std::uint64_t seed) : state_(seed) {}
  double next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-52 - 1.0;
  }

 private:
  std::uint64_t state_;
};

// sin(x) from +, -, * and exact rounding to an integer alone, so that every platform computes the same bits (the C
// run-times' sin functions differ in the last place). x is reduced by the nearest multiple k of pi/2 in two parts
// (k * kHalfPiHigh is exact for |k| < 2^20), then the Taylor series of sin or cos on [-pi/4, pi/4], whose first
// left-out term is below 2^-53 relative. Within about an ulp of sin for |x| below 10^5.
inline double portableSin(double x) {
  constexpr double kTwoOverPi = 0.6366197723675814;
  constexpr double kHalfPiHigh = 1.5707963267341256;  // pi/2 to 32 bits
  constexpr double kHalfPiLow = 6.077100506506192e-11;
  const double k = std::round(x * kTwoOverPi);
  const double r = (x - k * kHalfPiHigh) - k * kHalfPiLow;
  const double r2 = r * r;
  const double sine =
      r + r * r2 * (-1.0 / 6 + r2 * (1.0 / 120 + r2 * (-1.0 / 5040 + r2 * (1.0 / 362880 + r2 * (-1.0 / 39916800 +
      r2 * (1.0 / 6227020800 + r2 * (-1.0 / 1307674368000)))))));
  const double cosine =
      1.0 + r2 * (-0.5 + r2 * (1.0 / 24 + r2 * (-1.0 / 720 + r2 * (1.0 / 40320 + r2 * (-1.0 / 3628800 +
      r2 * (1.0 / 479001600 + r2 * (-1.0 / 87178291200 + r2 * (1.0 / 20922789888000))))))));
  switch (static_cast<long long>(k) & 3) {
    case 0: return sine;
    case 1: return cosine;
    case 2: return -sine;
    default: return -cosine;
  }
}

// One problem instance: what KVW_sqp and KVW_grg take, with the callback's user data (the problem itself).
struct ScalableProblem {
  std::string family;
  int n = 0;
  int nEq = 0;
  int nIneq = 0;
  std::vector<double> start, lower, upper;
  AnalysisCallback analysis = nullptr;
  void* user = nullptr;  // the callback's user data: the derived problem object

  ScalableProblem() = default;
  ScalableProblem(const ScalableProblem&) = delete;
  ScalableProblem& operator=(const ScalableProblem&) = delete;
  virtual ~ScalableProblem() = default;
  std::string name() const { return family + "/" + std::to_string(n); }
  // Objective, equalities, inequalities into f (1 + nEq + nIneq values), without going through the library.
  void evaluate(const double* x, double* f) const { analysis(user, x, f, f + 1, f + 1 + nEq); }
};

class DenseConvexQp : public ScalableProblem {
 public:
  explicit DenseConvexQp(int size) {
    family = "dense_qp";
    n = size;
    nIneq = size / 2;
    start.assign(n, 0.0);
    lower.assign(n, -10.0);
    upper.assign(n, 10.0);
    analysis = &DenseConvexQp::analyse;
    user = this;

    UniformSource u(0x5EED0000u + static_cast<std::uint64_t>(size));
    std::vector<double> m(static_cast<size_t>(n) * n);
    for (double& v : m) v = u.next();
    q_.assign(static_cast<size_t>(n) * n, 0.0);
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        double s = i == j ? 1.0 : 0.0;
        for (int k = 0; k < n; ++k) s += m[at(i, k)] * m[at(j, k)] / n;
        q_[at(i, j)] = s;
      }
    }
    c_.resize(n);
    for (double& v : c_) v = 5.0 * u.next();
    std::vector<double> inside(n);
    for (double& v : inside) v = 0.5 * u.next();
    a_.resize(static_cast<size_t>(nIneq) * n);
    for (double& v : a_) v = u.next();
    b_.resize(nIneq);
    for (int k = 0; k < nIneq; ++k) {
      double s = 0.1;
      for (int i = 0; i < n; ++i) s += a_[at(k, i)] * inside[i];
      b_[k] = s;
    }
  }

 private:
  size_t at(int row, int col) const { return static_cast<size_t>(row) * n + col; }

  static void analyse(void* user, const double* x, double* objective, double*, double* inequalities) {
    const auto& p = *static_cast<const DenseConvexQp*>(user);
    double f = 0.0;
    for (int i = 0; i < p.n; ++i) {
      double qx = 0.0;
      for (int j = 0; j < p.n; ++j) qx += p.q_[p.at(i, j)] * x[j];
      f += x[i] * (0.5 * qx + p.c_[i]);
    }
    *objective = f;
    for (int k = 0; k < p.nIneq; ++k) {
      double s = -p.b_[k];
      for (int i = 0; i < p.n; ++i) s += p.a_[p.at(k, i)] * x[i];
      inequalities[k] = s;
    }
  }

  std::vector<double> q_, c_, a_, b_;
};

class ChainedRosenbrock : public ScalableProblem {
 public:
  explicit ChainedRosenbrock(int size) {
    family = "chained_rosen";
    n = size;
    nEq = size / 2 - 1;
    start.assign(n, 0.5);
    lower.assign(n, -4.0);
    upper.assign(n, 4.0);
    analysis = &ChainedRosenbrock::analyse;
    user = this;
  }

 private:
  static void analyse(void* user, const double* x, double* objective, double* equalities, double*) {
    const auto& p = *static_cast<const ChainedRosenbrock*>(user);
    double f = 0.0;
    for (int i = 0; i + 1 < p.n; ++i) {
      const double valley = x[i + 1] - x[i] * x[i];
      const double slope = 1.0 - x[i];
      f += 100.0 * valley * valley + slope * slope;
    }
    *objective = f;
    // Equality j (1-based) couples x_(2j-1), x_(2j) and x_(2j+1): zero-based 2j-2, 2j-1 and 2j.
    for (int j = 1; j <= p.nEq; ++j) {
      const double a = x[2 * j - 2], b = x[2 * j - 1], c = x[2 * j];
      equalities[j - 1] = a * a + b * b * b + 2.0 * c - 4.0 + portableSin(a - c);
    }
  }
};

// Iteration limit of the benchmark's runs (and of their checksums).
constexpr int kMaxIterations = 500;

// The sizes both families are measured and checked at.
inline const std::vector<int>& benchmarkSizes() {
  static const std::vector<int> sizes{10, 20, 50, 100};
  return sizes;
}

}  // namespace korvex_bench
