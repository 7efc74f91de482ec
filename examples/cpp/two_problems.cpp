// Two of the demo's problems solved through the C++ interface (korvex.hpp), as a C++17 program: Hock-Schittkowski
// 71 with SQP, and Rosen-Suzuki (Hock-Schittkowski 43) with GRG and central differences, its diagnostic lines handed
// to a lambda that shows the iteration headings. Exits with 0 when both runs reach the known optima.
#include <cmath>
#include <cstdio>
#include <string_view>
#include <vector>

#include "korvex/korvex.hpp"

namespace {

bool report(const char* name, const korvex::Result& r, double knownOptimum) {
  std::printf("%s: %d (%s)\n  f = %.8f (known %.8f), %d iterations, %d analyses\n  x =", name, r.code,
              r.text.c_str(), r.f, knownOptimum, r.iterations, r.analysisCalls);
  for (double v : r.x) std::printf(" %.6f", v);
  std::printf("\n");
  return r.converged() && std::fabs(r.f - knownOptimum) <= 1e-4 * (1.0 + std::fabs(knownOptimum));
}

}  // namespace

int main() {
  korvex::Solver solver;  // SQP, forward differences, tolerance 1e-3, no diagnostics
  solver.options().tolerance = 1e-5;

  // Hock-Schittkowski 71: minimize x1 x4 (x1 + x2 + x3) + x3
  // subject to x1^2 + x2^2 + x3^2 + x4^2 = 40, x1 x2 x3 x4 >= 25 and 1 <= x <= 5.
  const std::vector<double> start71{1, 5, 5, 1}, lower71(4, 1.0), upper71(4, 5.0);
  const korvex::Result hs71 = solver.solve(
      [](korvex::ConstVector x, double& objective, korvex::Vector equalities, korvex::Vector inequalities) {
        objective = x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2];
        equalities[0] = x[0] * x[0] + x[1] * x[1] + x[2] * x[2] + x[3] * x[3] - 40.0;
        inequalities[0] = 25.0 - x[0] * x[1] * x[2] * x[3];  // >= 25, written as a value <= 0
      },
      start71, lower71, upper71, 1, 1);
  const bool solved71 = report("hs71, SQP", hs71, 17.0140173);

  // Rosen-Suzuki: minimize x1^2 + x2^2 + 2 x3^2 + x4^2 - 5 x1 - 5 x2 - 21 x3 + 7 x4 under three quadratic
  // inequalities, -5 <= x <= 5.
  solver.options().method = korvex::Method::grg;
  solver.options().differences = korvex::Differences::central;
  solver.options().printLevel = 1;
  int lines = 0;
  solver.options().diagnostics = [&lines](std::string_view line) {
    ++lines;
    if (line.find("BEGINNING ITERATION") != std::string_view::npos) {
      std::printf("  grg|%.*s\n", static_cast<int>(line.size()), line.data());
    }
  };
  const double start43[4] = {0, 0, 0, 0}, lower43[4] = {-5, -5, -5, -5}, upper43[4] = {5, 5, 5, 5};
  const korvex::Result hs43 = solver.solve(
      [](korvex::ConstVector x, double& objective, korvex::Vector, korvex::Vector g) {
        objective = x[0] * x[0] + x[1] * x[1] + 2 * x[2] * x[2] + x[3] * x[3] - 5 * x[0] - 5 * x[1] - 21 * x[2] +
                    7 * x[3];
        g[0] = x[0] * x[0] + x[1] * x[1] + x[2] * x[2] + x[3] * x[3] + x[0] - x[1] + x[2] - x[3] - 8;
        g[1] = x[0] * x[0] + 2 * x[1] * x[1] + x[2] * x[2] + 2 * x[3] * x[3] - x[0] - x[3] - 10;
        g[2] = 2 * x[0] * x[0] + x[1] * x[1] + x[2] * x[2] + 2 * x[0] - x[1] - x[3] - 5;
      },
      start43, lower43, upper43, 0, 3);
  const bool solved43 = report("hs43, GRG", hs43, -44.0);
  std::printf("  (%d diagnostic lines at print level 1)\n", lines);

  return solved71 && solved43 ? 0 : 1;
}
