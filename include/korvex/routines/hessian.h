/* The quasi-Newton Hessian update and the Lagrangian gradient shared by both methods. Neither prints, evaluates
   functions or uses the work storage pool. */
#ifndef KORVEX_ROUTINES_HESSIAN_H
#define KORVEX_ROUTINES_HESSIAN_H

#include "korvex/export.h"

KORVEX_BEGIN_C

/* Damped BFGS update of the symmetric n x n matrix B (leading dimension *n) from the step s and the gradient change
   y. *updated = -1 when B was changed, 0 when the update was skipped (s'Bs, s'Bs - s'y or s'r too small). work1, r
   and work2 are work vectors of *n doubles. */
KORVEX_API void QHESS(const int* n, const double* s, const double* y, double* B, int* updated, double* work1,
                      double* r, double* work2);

/* Gradient of the Lagrangian: gradL = gobj + sum over the active QP rows k of XLAG(k) * gradient of row IACT(k).
   QP rows 1..p are the functions list1(1..p), rows p+1..p+q the functions list2(1..q), row p+q+2i-1 is +e_i and row
   p+q+2i is -e_i. Function gradients are the columns ICOL(function) of G (leading dimension *n). A first-group row
   whose function has no column (ICOL = 0) gets XLAG(k) = 0 and is reported in *missing (0 when there is none); a
   second-group row without a column contributes nothing. */
KORVEX_API void QLAG(const int* n, const int* p, const int* list1, const int* q, const int* list2, const int* ICOL,
                     const int* IACT, const int* NACT, double* XLAG, const double* gobj, const double* G,
                     double* gradL, int* missing);

KORVEX_END_C

#endif
