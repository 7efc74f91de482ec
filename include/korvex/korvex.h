/*
 * korvex: nonlinear constrained optimization.
 *
 * Minimizes an objective of at most 100 bounded design variables subject to equality constraints (value 0) and
 * inequality constraints (value <= 0), each within a tolerance. Derivatives are formed by finite differences through
 * one analysis callback. Two methods share one calling convention: KVW_grg (generalized reduced gradient) and
 * KVW_sqp (sequential quadratic programming).
 *
 * Usage: call KVW_setDefaults() once (the settings are all zero until then, pool capacities included), optionally
 * the KVW_set_* setters, then KVW_grg or KVW_sqp. These functions, and the exported routines of routines.h, work on
 * one process-wide default context. A context runs one run at a time: a run started while another is in progress
 * on it (from its callback or from another thread) is refused with KVW_RUN_IN_PROGRESS, and during a run its
 * defaults and setters do nothing. The callback may call KVW_set_stop(1), to end the run at the top of the next
 * iteration, and the getters.
 *
 * For runs side by side, create one context per run (KVW_ctx_create) and use the KVW_ctx_ functions: each context
 * holds all the state of its runs (settings, counters, work storage, diagnostics), so runs of different contexts
 * may proceed at the same time in different threads. One context runs one run at a time.
 */
#ifndef KORVEX_KORVEX_H
#define KORVEX_KORVEX_H

#include "korvex/export.h"

KORVEX_BEGIN_C

/*
 * The caller's analysis: given the n design variables in the caller's own units, write the objective into
 * *objective, the nEq equality values into equalities[0..nEq-1] and the nIneq inequality values into
 * inequalities[0..nIneq-1]. Change nothing else and do not keep the pointers. With nEq == 0 the two constraint
 * pointers are the same address.
 */
typedef void (*AnalysisCallback)(void* userData, const double* x, double* objective, double* equalities,
                                 double* inequalities);

/* Result codes of a run. */
enum {
  KVW_SQP_CONVERGED = 1,          /* SQP: feasible within feasTol and no descent left along the search vector */
  KVW_SQP_ITERATION_LIMIT = 2,    /* SQP: maxIter iterations done (also when maxIter < 1) */
  KVW_SQP_QP_INFEASIBLE = 4,      /* SQP: the QP subproblem had no solution, also after its reformulation */
  KVW_SQP_QP_NOT_CONVEX = 5,      /* SQP: the QP matrix was not positive definite, also after a Hessian reset */
  KVW_SQP_QP_FAILED = 6,          /* SQP: the QP solver reported a failure */
  KVW_SQP_STORAGE = 7,            /* SQP: work storage exhausted (or the error flag was set) */
  KVW_SQP_STOPPED = 8,            /* SQP: stopped by KVW_set_stop(1) */
  KVW_SQP_MERIT_STALLED = 9,      /* SQP: the merit function did not change by feasTol over three iterations */

  KVW_GRG_CONVERGED_DERIVATIVE = 1, /* GRG: directional derivative below convTol */
  KVW_GRG_NO_STEP = 2,            /* GRG: the line search found no step of at least minStep */
  KVW_GRG_CONVERGED_OBJECTIVE = 3, /* GRG: objective changed by at most convTol over two line searches */
  KVW_GRG_INFEASIBLE = 4,         /* GRG: no feasible point found (no descent for the violated constraint) */
  KVW_GRG_INFEASIBLE_STALLED = 5, /* GRG: no feasible point found (violation no longer changes) */
  KVW_GRG_ITERATION_LIMIT = 6,    /* GRG: maxIter iterations done (also when maxIter < 1) */
  KVW_GRG_QP_INFEASIBLE = 8,      /* GRG: the direction subproblem has no feasible point */
  KVW_GRG_QP_FAILED = 10,         /* GRG: the direction subproblem failed */
  KVW_GRG_STORAGE = 11,           /* GRG: work storage exhausted (or the error flag was set) */
  KVW_GRG_STOPPED = 12,           /* GRG: stopped by KVW_set_stop(1) */

  KVW_RUN_IN_PROGRESS = 94,       /* both: another run was in progress; refused at once, nothing read or written */
  KVW_NON_FINITE_ANALYSIS = 95,   /* both: the analysis returned a non-finite value where the method cannot go on
                                     (start point, difference point, no finite step left); x and f hold the last
                                     accepted point and its values */
  KVW_INVALID_ARGUMENT = 96,      /* both: a null callback, x or f (or bounds with n > 0), n < 0, a negative or too
                                     large constraint count, lower > upper, a non-finite bound or start value, a box
                                     that cannot be scaled, diffPert or convTol not positive and finite; nothing was
                                     done */
  KVW_CALLBACK_EXCEPTION = 97,    /* both: the analysis callback threw a C++ exception; the run ended there */
  KVW_OUT_OF_MEMORY = 98,         /* both: the driver could not allocate its scratch arrays; nothing was evaluated */
  KVW_TOO_MANY_VARIABLES = 99     /* both: n exceeds 100; nothing was done */
};

/* A short English text for a result code of the given method (method 1: GRG, 0: SQP). Never null. */
KORVEX_API const char* KVW_resultText(int method, int resultCode);

/*
 * Run an optimization. x holds the start point on entry and the result on return (caller's units); lower and upper
 * the bounds (lower[i] == upper[i] fixes variable i at that value); f receives 1 + nEq + nIneq function values: the
 * objective, then the equalities, then the inequalities. On return x holds the last accepted point and f the
 * analysis values at it, whatever the result code. Returns the result code.
 */
KORVEX_API int KVW_grg(int maxIter, int n, double* x, const double* lower, const double* upper, int nEq, int nIneq,
                       AnalysisCallback analysis, void* userData, double* f);
KORVEX_API int KVW_sqp(int maxIter, int n, double* x, const double* lower, const double* upper, int nEq, int nIneq,
                       AnalysisCallback analysis, void* userData, double* f);

/* Restore every setting to its default and zero the counters, the error flag and the pool tops. */
KORVEX_API void KVW_setDefaults(void);
/* stop = value; only the value 1 ends a run (result 12 GRG, 8 SQP). A run never clears it. */
KORVEX_API void KVW_set_stop(int value);
/* Print level of the diagnostic stream: 0 nothing, 1 errors and headings, 2 progress, 3 vector and matrix dumps. */
KORVEX_API void KVW_set_print(int value);
/* Finite differences: 1 forward, anything else central. */
KORVEX_API void KVW_set_diffMeth(int value);
/* Finite-difference step in the scaled variables (each variable's range maps to [-1, 1]). */
KORVEX_API void KVW_set_diffPert(double value);
/* Sets both the convergence tolerance and the constraint tolerance. */
KORVEX_API void KVW_set_convTol(double value);
/* Number of the iteration most recently begun. */
KORVEX_API int KVW_get_nIter(void);
/* Analysis calls since the last KVW_setDefaults. */
KORVEX_API int KVW_get_nFunEval(void);

/*
 * The diagnostic stream. By default lines go to the file "fort.80" in the current working directory, created by
 * the first line written in the process and appended to afterwards. KVW_set_diagFile sends the lines to the named
 * file instead (created, or emptied, by the first line written to it); KVW_set_diagCallback hands each line, without
 * its line end, to a function of the caller. Either call with null restores the default. KVW_setDefaults does not
 * change the destination. The stream is flushed at least at the end of every run.
 */
typedef void (*DiagnosticLineCallback)(void* user, const char* line, int length);
KORVEX_API void KVW_set_diagFile(const char* path);
KORVEX_API void KVW_set_diagCallback(DiagnosticLineCallback callback, void* user);

/*
 * Contexts. A context holds all the state of its runs: settings, counters, the stop request, work storage and the
 * diagnostic stream. KVW_ctx_create allocates one (its work storage included, once) and returns null when memory
 * runs out; it starts with the default settings, as after KVW_ctx_setDefaults. KVW_ctx_free releases it (null is
 * ignored); it must not be running. Runs of different contexts may proceed at the same time in different threads;
 * one context runs one run at a time, and its settings must not change during its run, except the stop request:
 * KVW_ctx_set_stop may be called from any thread at any time (a GUI or a time-out cancelling the run), and takes
 * effect at the top of the next iteration.
 *
 * Diagnostics of a new context go nowhere until KVW_ctx_set_diagFile or KVW_ctx_set_diagCallback names a
 * destination (null restores "nowhere"); the lines of one context never mix with another's. Give two contexts that
 * may print at the same time different files (or line callbacks): two streams on one file would write over each
 * other's lines.
 *
 * Every function below behaves as its counterpart without ctx, on that context. With a null ctx, runs return
 * KVW_INVALID_ARGUMENT, setters do nothing and getters return 0.
 */
typedef struct KVW_Context KVW_Context;
KORVEX_API KVW_Context* KVW_ctx_create(void);
KORVEX_API void KVW_ctx_free(KVW_Context* ctx);
KORVEX_API int KVW_ctx_grg(KVW_Context* ctx, int maxIter, int n, double* x, const double* lower, const double* upper,
                           int nEq, int nIneq, AnalysisCallback analysis, void* userData, double* f);
KORVEX_API int KVW_ctx_sqp(KVW_Context* ctx, int maxIter, int n, double* x, const double* lower, const double* upper,
                           int nEq, int nIneq, AnalysisCallback analysis, void* userData, double* f);
KORVEX_API void KVW_ctx_setDefaults(KVW_Context* ctx);
KORVEX_API void KVW_ctx_set_stop(KVW_Context* ctx, int value);
KORVEX_API void KVW_ctx_set_print(KVW_Context* ctx, int value);
KORVEX_API void KVW_ctx_set_diffMeth(KVW_Context* ctx, int value);
KORVEX_API void KVW_ctx_set_diffPert(KVW_Context* ctx, double value);
KORVEX_API void KVW_ctx_set_convTol(KVW_Context* ctx, double value);
KORVEX_API int KVW_ctx_get_nIter(const KVW_Context* ctx);
KORVEX_API int KVW_ctx_get_nFunEval(const KVW_Context* ctx);
KORVEX_API void KVW_ctx_set_diagFile(KVW_Context* ctx, const char* path);
KORVEX_API void KVW_ctx_set_diagCallback(KVW_Context* ctx, DiagnosticLineCallback callback, void* user);
KORVEX_API const char* KVW_ctx_resultText(const KVW_Context* ctx, int method, int resultCode);

/*
 * Groups of independent points. The finite-difference points of one gradient (n of them with forward differences,
 * 2n with central ones) do not depend on each other; a run hands them over as one group. Every other evaluation is
 * a group of one. The group may be evaluated in any order and concurrently: for a deterministic analysis every run
 * gives bit for bit the same x, f, result code, counters and printed lines as a run that evaluates one point after
 * another, whatever the thread count, with or without a batch callback, and whatever order the points are
 * evaluated in.
 *
 * A batch callback evaluates `count` points at once: x holds them one after another (count * n doubles, caller's
 * units), f receives each point's function vector one after another (count * (1 + nEq + nIneq) doubles: objective,
 * equalities, inequalities, as the run's f). While one is set, every evaluation of a run goes through it (groups of
 * one too) and the run's `analysis` argument may be null. Null removes it.
 *
 * KVW_set_threads(k) with k > 1 evaluates each group by calling the ordinary analysis callback from k threads at
 * once (the calling thread and k - 1 workers, started here and not inside a run); the callback must then be safe to
 * call concurrently. k = 1, the default, starts none; setting 1 or freeing the context joins them. A batch callback,
 * when set, takes precedence over the threads. Returns 0, KVW_INVALID_ARGUMENT for k < 1 or k > 64,
 * KVW_OUT_OF_MEMORY when the threads or the group storage could not be had, KVW_RUN_IN_PROGRESS during a run.
 *
 * A callback exception in any point of a group ends the run after the group with KVW_CALLBACK_EXCEPTION, x and f
 * at the iterate whose gradient was being formed. KVW_setDefaults leaves these settings alone.
 */
typedef void (*BatchAnalysisCallback)(void* userData, int count, int n, int nEq, int nIneq, const double* x,
                                      double* f);
KORVEX_API void KVW_set_batchCallback(BatchAnalysisCallback batch, void* userData);
KORVEX_API void KVW_ctx_set_batchCallback(KVW_Context* ctx, BatchAnalysisCallback batch, void* userData);
KORVEX_API int KVW_set_threads(int count);
KORVEX_API int KVW_ctx_set_threads(KVW_Context* ctx, int count);

/*
 * Called once at the top of every iteration of either method (after the stop test), with the iteration number, the
 * current iterate in the caller's units and the callback's own function values at exactly that point, and the
 * analysis calls so far. It may call KVW_ctx_set_stop(ctx, 1) to end the run there. Null removes it.
 */
typedef void (*IterationCallback)(void* userData, int iteration, int n, const double* x, const double* f,
                                  int nFunEval);
KORVEX_API void KVW_ctx_set_iterationCallback(KVW_Context* ctx, IterationCallback callback, void* userData);

KORVEX_END_C

#endif
