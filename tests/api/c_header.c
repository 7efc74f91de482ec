/* The public headers compile as C, and a C caller reaches the library through them. */
#include "korvex/routines.h"

static void quadratic(void* userData, const double* x, double* objective, double* equalities, double* inequalities) {
  (void)equalities;
  (void)inequalities;
  *(int*)userData += 1;
  *objective = (x[0] - 1.0) * (x[0] - 1.0);
}

/* Runs the library from C with more than 100 variables, through the default context (SQP) or a context of its own
 * (GRG): nothing may happen but the result 99. */
int korvexCallerRejectsTooManyVariables(int* calls, int onContext) {
  double x[101] = {0};
  double lower[101] = {0};
  double upper[101] = {0};
  double f[1] = {0};
  int result;
  KVW_Context* ctx;
  if (!onContext) {
    KVW_setDefaults();
    return KVW_sqp(10, 101, x, lower, upper, 0, 0, quadratic, calls, f);
  }
  ctx = KVW_ctx_create();
  if (ctx == 0) return -1;
  result = KVW_ctx_grg(ctx, 10, 101, x, lower, upper, 0, 0, quadratic, calls, f);
  KVW_ctx_free(ctx);
  return result;
}
