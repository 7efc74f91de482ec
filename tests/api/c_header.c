/* The public headers compile as C, and a C caller reaches the library through them. */
#include "korvex/routines.h"

static void quadratic(void* userData, const double* x, double* objective, double* equalities, double* inequalities) {
  (void)equalities;
  (void)inequalities;
  *(int*)userData += 1;
  *objective = (x[0] - 1.0) * (x[0] - 1.0);
}

/* Runs the library from C with more than 100 variables on a context of its own: nothing may happen but the result
 * 99. */
int korvexCallerRejectsTooManyVariables(int* calls) {
  double x[101] = {0}, lower[101] = {0}, upper[101] = {0}, f[1] = {0};
  KVW_Context* ctx = KVW_ctx_create();
  int result = ctx == 0 ? -1 : KVW_ctx_grg(ctx, 10, 101, x, lower, upper, 0, 0, quadratic, calls, f);
  KVW_ctx_free(ctx);
  return result;
}
