// A C++17 program built against an installed korvex through korvex.hpp: the version it was built with, and one
// solve of a small problem with a known solution by each method. Exits with 0 when both find it.
#include <cmath>
#include <cstdio>
#include <string_view>

#include <korvex/korvex.hpp>
#include <korvex/version.h>

#ifndef KORVEX_EXPECTED_VERSION
#error "build with -DKORVEX_EXPECTED_VERSION=\"<the version the build system found>\""
#endif

int main() {
  // minimize (x1 - 1)^2 + (x2 - 2)^2 subject to x1 + x2 <= 2: the solution is (0.5, 1.5)
  const auto analysis = [](korvex::ConstVector x, double& objective, korvex::Vector, korvex::Vector inequalities) {
    objective = (x[0] - 1.0) * (x[0] - 1.0) + (x[1] - 2.0) * (x[1] - 2.0);
    inequalities[0] = x[0] + x[1] - 2.0;
  };
  const double x0[] = {0.0, 0.0}, lower[] = {-5.0, -5.0}, upper[] = {5.0, 5.0};
  bool ok = std::string_view(KORVEX_VERSION_STRING) == KORVEX_EXPECTED_VERSION;
  for (korvex::Method method : {korvex::Method::sqp, korvex::Method::grg}) {
    korvex::Solver solver;
    solver.options().method = method;
    const korvex::Result r = solver.solve(analysis, x0, lower, upper, 0, 1);
    std::printf("korvex %s (C++): %d (%s), x = (%.6f, %.6f)\n", KORVEX_VERSION_STRING, r.code, r.text.c_str(),
                r.x[0], r.x[1]);
    ok = ok && r.converged() && std::fabs(r.x[0] - 0.5) + std::fabs(r.x[1] - 1.5) < 1e-3;
  }
  return ok ? 0 : 1;
}
