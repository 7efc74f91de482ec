/* A C program built against an installed korvex: the headers and the version it was built with, and one SQP and
 * one GRG run of a small problem with a known solution. Exits with 0 when both runs find it. */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <korvex/korvex.h>
#include <korvex/version.h>

#ifndef KORVEX_EXPECTED_VERSION
#error "build with -DKORVEX_EXPECTED_VERSION=\"<the version the build system found>\""
#endif

/* minimize (x1 - 1)^2 + (x2 - 2)^2 subject to x1 + x2 <= 2: the solution is (0.5, 1.5) */
static void analysis(void* userData, const double* x, double* objective, double* equalities, double* inequalities) {
  (void)userData;
  (void)equalities;
  *objective = (x[0] - 1.0) * (x[0] - 1.0) + (x[1] - 2.0) * (x[1] - 2.0);
  inequalities[0] = x[0] + x[1] - 2.0;
}

int main(void) {
  const double lower[2] = {-5.0, -5.0}, upper[2] = {5.0, 5.0};
  double x[2] = {0.0, 0.0}, y[2] = {0.0, 0.0}, f[2];
  int sqp, grg;
  KVW_setDefaults();
  sqp = KVW_sqp(100, 2, x, lower, upper, 0, 1, analysis, NULL, f);
  grg = KVW_grg(100, 2, y, lower, upper, 0, 1, analysis, NULL, f);
  printf("korvex %s (expected %s): sqp %d, x = (%.6f, %.6f); grg %d, x = (%.6f, %.6f)\n", KORVEX_VERSION_STRING,
         KORVEX_EXPECTED_VERSION, sqp, x[0], x[1], grg, y[0], y[1]);
  return strcmp(KORVEX_VERSION_STRING, KORVEX_EXPECTED_VERSION) == 0 && sqp == KVW_SQP_CONVERGED &&
                 grg == KVW_GRG_CONVERGED_DERIVATIVE && fabs(x[0] - 0.5) + fabs(x[1] - 1.5) < 1e-3 &&
                 fabs(y[0] - 0.5) + fabs(y[1] - 1.5) < 1e-3
             ? 0
             : 1;
}
