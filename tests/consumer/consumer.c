/* A C program built against an installed korvex: the headers and the version it was built with, one SQP and one
 * GRG run of a small problem with a known solution. Exits with 0 when both runs find it. */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <korvex/korvex.h>
#include <korvex/version.h>

#ifndef KORVEX_EXPECTED_VERSION
#error "build with -DKORVEX_EXPECTED_VERSION=\"<the version the build system found>\""
#endif

/* minimize (x1 - 1)^2 + (x2 - 2)^2 subject to x1 + x2 <= 2: the solution is (0.5, 1.5), the objective 0.5 */
static void analysis(void* userData, const double* x, double* objective, double* equalities, double* inequalities) {
  (void)userData;
  (void)equalities;
  *objective = (x[0] - 1.0) * (x[0] - 1.0) + (x[1] - 2.0) * (x[1] - 2.0);
  inequalities[0] = x[0] + x[1] - 2.0;
}

static int solves(const char* name, int (*run)(int, int, double*, const double*, const double*, int, int,
                                               AnalysisCallback, void*, double*), int method, int converged) {
  double x[2] = {0.0, 0.0};
  const double lower[2] = {-5.0, -5.0};
  const double upper[2] = {5.0, 5.0};
  double f[2];
  KVW_setDefaults();
  int result = run(100, 2, x, lower, upper, 0, 1, analysis, NULL, f);
  int ok = result == converged && fabs(x[0] - 0.5) < 1e-3 && fabs(x[1] - 1.5) < 1e-3 && fabs(f[0] - 0.5) < 1e-3;
  printf("%s: %d (%s), x = (%.6f, %.6f), f = %.6f, %d analyses\n", name, result, KVW_resultText(method, result),
         x[0], x[1], f[0], KVW_get_nFunEval());
  return ok;
}

int main(void) {
  if (strcmp(KORVEX_VERSION_STRING, KORVEX_EXPECTED_VERSION) != 0) {
    printf("headers of korvex %s, but the build system found %s\n", KORVEX_VERSION_STRING, KORVEX_EXPECTED_VERSION);
    return 1;
  }
  printf("korvex %s\n", KORVEX_VERSION_STRING);
  int ok = solves("sqp", KVW_sqp, 0, KVW_SQP_CONVERGED);
  ok = solves("grg", KVW_grg, 1, KVW_GRG_CONVERGED_DERIVATIVE) && ok;
  return ok ? 0 : 1;
}
