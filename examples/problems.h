// A set of classic constrained test problems with their known optima, shared by the demo program and the
// end-to-end tests. Each problem evaluates its objective, equality constraints (value 0 at a solution) and
// inequality constraints (value <= 0 at a solution) through the library's analysis callback signature.
// Sources: the Rosenbrock function, and problems of the Hock-Schittkowski test collection (numbers as published),
// with finite bounds added where the original has none, chosen wide enough not to be active at the solution.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <span>
#include <string_view>

#include "korvex/korvex.h"

namespace korvex_examples {

constexpr int kMaxProblemVariables = 5;
constexpr int kMaxProblemFunctions = 4;  // 1 + nEq + nIneq at most

struct TestProblem {
  std::string_view name;
  std::string_view kind;    // which constraints it has
  std::string_view source;
  int n;
  int nEq;
  int nIneq;
  std::array<double, kMaxProblemVariables> start;
  std::array<double, kMaxProblemVariables> lower;
  std::array<double, kMaxProblemVariables> upper;
  std::array<double, kMaxProblemVariables> solution;  // a known minimiser
  double optimum;                                     // the objective there
  AnalysisCallback analysis;
};

namespace detail {

inline double sq(double v) { return v * v; }

// Rosenbrock's banana valley with the upper bound x1 <= 0.5 active at the solution (0.5, 0.25).
inline void rosenbrockBounded(void*, const double* x, double* f, double*, double*) {
  f[0] = 100.0 * sq(x[1] - x[0] * x[0]) + sq(1.0 - x[0]);
}

// Hock-Schittkowski 21: convex quadratic, one linear inequality, the bound x1 >= 2 active.
inline void hs21(void*, const double* x, double* f, double*, double* g) {
  f[0] = 0.01 * x[0] * x[0] + x[1] * x[1] - 100.0;
  g[0] = 10.0 - 10.0 * x[0] + x[1];
}

// Hock-Schittkowski 35: convex quadratic with one linear inequality and x >= 0.
inline void hs35(void*, const double* x, double* f, double*, double* g) {
  f[0] = 9.0 - 8.0 * x[0] - 6.0 * x[1] - 4.0 * x[2] + 2.0 * x[0] * x[0] + 2.0 * x[1] * x[1] + x[2] * x[2] +
         2.0 * x[0] * x[1] + 2.0 * x[0] * x[2];
  g[0] = x[0] + x[1] + 2.0 * x[2] - 3.0;
}

// Hock-Schittkowski 6: one nonlinear equality.
inline void hs6(void*, const double* x, double* f, double* h, double*) {
  f[0] = sq(1.0 - x[0]);
  h[0] = 10.0 * (x[1] - x[0] * x[0]);
}

// Hock-Schittkowski 7: one nonlinear equality.
inline void hs7(void*, const double* x, double* f, double* h, double*) {
  f[0] = std::log(1.0 + x[0] * x[0]) - x[1];
  h[0] = sq(1.0 + x[0] * x[0]) + x[1] * x[1] - 4.0;
}

// Hock-Schittkowski 28: convex quadratic with one linear equality.
inline void hs28(void*, const double* x, double* f, double* h, double*) {
  f[0] = sq(x[0] + x[1]) + sq(x[1] + x[2]);
  h[0] = x[0] + 2.0 * x[1] + 3.0 * x[2] - 1.0;
}

// Hock-Schittkowski 48: five variables, two linear equalities.
inline void hs48(void*, const double* x, double* f, double* h, double*) {
  f[0] = sq(x[0] - 1.0) + sq(x[1] - x[2]) + sq(x[3] - x[4]);
  h[0] = x[0] + x[1] + x[2] + x[3] + x[4] - 5.0;
  h[1] = x[2] - 2.0 * (x[3] + x[4]) + 3.0;
}

// Hock-Schittkowski 12: one nonlinear inequality (an ellipse).
inline void hs12(void*, const double* x, double* f, double*, double* g) {
  f[0] = 0.5 * x[0] * x[0] + x[1] * x[1] - x[0] * x[1] - 7.0 * x[0] - 7.0 * x[1];
  g[0] = 4.0 * x[0] * x[0] + x[1] * x[1] - 25.0;
}

// Hock-Schittkowski 22: one linear and one nonlinear inequality, both active.
inline void hs22(void*, const double* x, double* f, double*, double* g) {
  f[0] = sq(x[0] - 2.0) + sq(x[1] - 1.0);
  g[0] = x[0] + x[1] - 2.0;
  g[1] = x[0] * x[0] - x[1];
}

// Hock-Schittkowski 43 (Rosen-Suzuki): three nonlinear inequalities.
inline void hs43(void*, const double* x, double* f, double*, double* g) {
  f[0] = x[0] * x[0] + x[1] * x[1] + 2.0 * x[2] * x[2] + x[3] * x[3] - 5.0 * x[0] - 5.0 * x[1] - 21.0 * x[2] +
         7.0 * x[3];
  g[0] = x[0] * x[0] + x[1] * x[1] + x[2] * x[2] + x[3] * x[3] + x[0] - x[1] + x[2] - x[3] - 8.0;
  g[1] = x[0] * x[0] + 2.0 * x[1] * x[1] + x[2] * x[2] + 2.0 * x[3] * x[3] - x[0] - x[3] - 10.0;
  g[2] = 2.0 * x[0] * x[0] + x[1] * x[1] + x[2] * x[2] + 2.0 * x[0] - x[1] - x[3] - 5.0;
}

// Hock-Schittkowski 65: one nonlinear inequality (a ball) with bounds.
inline void hs65(void*, const double* x, double* f, double*, double* g) {
  f[0] = sq(x[0] - x[1]) + sq(x[0] + x[1] - 10.0) / 9.0 + sq(x[2] - 5.0);
  g[0] = x[0] * x[0] + x[1] * x[1] + x[2] * x[2] - 48.0;
}

// Hock-Schittkowski 63: two equalities (a plane and a sphere), x >= 0.
inline void hs63(void*, const double* x, double* f, double* h, double*) {
  f[0] = 1000.0 - x[0] * x[0] - 2.0 * x[1] * x[1] - x[2] * x[2] - x[0] * x[1] - x[0] * x[2];
  h[0] = 8.0 * x[0] + 14.0 * x[1] + 7.0 * x[2] - 56.0;
  h[1] = x[0] * x[0] + x[1] * x[1] + x[2] * x[2] - 25.0;
}

// Hock-Schittkowski 32: one linear equality and one nonlinear inequality, x >= 0.
inline void hs32(void*, const double* x, double* f, double* h, double* g) {
  f[0] = sq(x[0] + 3.0 * x[1] + x[2]) + 4.0 * sq(x[0] - x[1]);
  h[0] = 1.0 - x[0] - x[1] - x[2];
  g[0] = x[0] * x[0] * x[0] - 6.0 * x[1] - 4.0 * x[2] + 3.0;
}

// Hock-Schittkowski 71: one equality (a sphere), one nonlinear inequality, bounds 1 <= x <= 5.
inline void hs71(void*, const double* x, double* f, double* h, double* g) {
  f[0] = x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2];
  h[0] = x[0] * x[0] + x[1] * x[1] + x[2] * x[2] + x[3] * x[3] - 40.0;
  g[0] = 25.0 - x[0] * x[1] * x[2] * x[3];
}

}  // namespace detail

// The problem set, in the order the demo lists it.
inline std::span<const TestProblem> testProblems() {
  using namespace detail;
  static const TestProblem problems[] = {
      {"rosenbrock", "bounds only", "Rosenbrock, x1 <= 0.5", 2, 0, 0,
       {-1.2, 1.0}, {-2.0, -1.0}, {0.5, 2.0}, {0.5, 0.25}, 0.25, rosenbrockBounded},
      {"hs21", "convex QP, inequality", "Hock-Schittkowski 21", 2, 0, 1,
       {10.0, -1.0}, {2.0, -50.0}, {50.0, 50.0}, {2.0, 0.0}, -99.96, hs21},
      {"hs35", "convex QP, inequality", "Hock-Schittkowski 35", 3, 0, 1,
       {0.5, 0.5, 0.5}, {0.0, 0.0, 0.0}, {5.0, 5.0, 5.0}, {4.0 / 3.0, 7.0 / 9.0, 4.0 / 9.0}, 1.0 / 9.0, hs35},
      {"hs6", "equality", "Hock-Schittkowski 6", 2, 1, 0,
       {-1.2, 1.0}, {-5.0, -5.0}, {5.0, 5.0}, {1.0, 1.0}, 0.0, hs6},
      {"hs7", "equality", "Hock-Schittkowski 7", 2, 1, 0,
       {2.0, 2.0}, {-5.0, -5.0}, {5.0, 5.0}, {0.0, std::sqrt(3.0)}, -std::sqrt(3.0), hs7},
      {"hs28", "convex QP, equality", "Hock-Schittkowski 28", 3, 1, 0,
       {-4.0, 1.0, 1.0}, {-10.0, -10.0, -10.0}, {10.0, 10.0, 10.0}, {0.5, -0.5, 0.5}, 0.0, hs28},
      {"hs48", "convex QP, 2 equalities", "Hock-Schittkowski 48", 5, 2, 0,
       {3.0, 5.0, -3.0, 2.0, -2.0}, {-10.0, -10.0, -10.0, -10.0, -10.0}, {10.0, 10.0, 10.0, 10.0, 10.0},
       {1.0, 1.0, 1.0, 1.0, 1.0}, 0.0, hs48},
      {"hs12", "inequality", "Hock-Schittkowski 12", 2, 0, 1,
       {0.0, 0.0}, {-10.0, -10.0}, {10.0, 10.0}, {2.0, 3.0}, -30.0, hs12},
      {"hs22", "2 inequalities", "Hock-Schittkowski 22", 2, 0, 2,
       {2.0, 2.0}, {-5.0, -5.0}, {5.0, 5.0}, {1.0, 1.0}, 1.0, hs22},
      {"hs43", "3 inequalities", "Hock-Schittkowski 43 (Rosen-Suzuki)", 4, 0, 3,
       {0.0, 0.0, 0.0, 0.0}, {-5.0, -5.0, -5.0, -5.0}, {5.0, 5.0, 5.0, 5.0}, {0.0, 1.0, 2.0, -1.0}, -44.0, hs43},
      {"hs65", "inequality, bounds", "Hock-Schittkowski 65", 3, 0, 1,
       {-4.5, 4.5, 0.0}, {-4.5, -4.5, -5.0}, {4.5, 4.5, 5.0}, {3.650461821, 3.65046168, 4.6204170507},
       0.9535288567, hs65},
      {"hs63", "2 equalities, bounds", "Hock-Schittkowski 63", 3, 2, 0,
       {2.0, 2.0, 2.0}, {0.0, 0.0, 0.0}, {10.0, 10.0, 10.0}, {3.512118414, 0.2169881741, 3.552174034},
       961.7151721, hs63},
      {"hs32", "equality and inequality", "Hock-Schittkowski 32", 3, 1, 1,
       {0.1, 0.7, 0.2}, {0.0, 0.0, 0.0}, {2.0, 2.0, 2.0}, {0.0, 0.0, 1.0}, 1.0, hs32},
      {"hs71", "equality and inequality", "Hock-Schittkowski 71", 4, 1, 1,
       {1.0, 5.0, 5.0, 1.0}, {1.0, 1.0, 1.0, 1.0}, {5.0, 5.0, 5.0, 5.0},
       {1.0, 4.742999644, 3.821149979, 1.379408293}, 17.0140173, hs71},
  };
  return problems;
}

inline const TestProblem* findProblem(std::string_view name) {
  for (const TestProblem& p : testProblems()) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

// Largest constraint violation of a function vector (objective, equalities, inequalities): |h| for equalities,
// max(0, g) for inequalities.
inline double largestViolation(const TestProblem& p, const double* f) {
  double worst = 0.0;
  for (int k = 1; k <= p.nEq; ++k) worst = std::max(worst, std::fabs(f[k]));
  for (int k = p.nEq + 1; k <= p.nEq + p.nIneq; ++k) worst = std::max(worst, f[k]);
  return worst;
}

// Evaluate a problem at x directly (not through the library, so no analysis call is counted).
inline void evaluate(const TestProblem& p, const double* x, double* f) {
  p.analysis(nullptr, x, f, f + 1, f + 1 + p.nEq);
}

}  // namespace korvex_examples
