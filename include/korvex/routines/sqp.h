#ifndef KORVEX_ROUTINES_SQP_H
#define KORVEX_ROUTINES_SQP_H

#include "korvex/export.h"

KORVEX_BEGIN_C

/* The SQP storage front end: carves the method's arrays from the work pool and runs the SQP iteration. Arguments
   as the problem driver passes them (the same thirteen as GRSALG). Result 7 when the pool is too small. */
KORVEX_API void SQSALG(const int* maxIter, const int* n, double* x, double* lower, double* upper,
                       const int* maxFunctions, double* f, const int* objIndex, const int* nEq, int* eqList,
                       const int* nIneq, int* ineqList, int* resultCode);

/* The SQP iteration. x: n scaled variables; f: maxFunctions function values (objective at objIndex); the
   inequality pair comes before the equality pair. K receives the number of QP rows nIneq + nEq + 2n. The twenty
   double arrays, in order: row multipliers (K), penalty weights xmu (K), previous row multipliers (K), Gradd
   (n x maxFunctions), constraint values (nIneq + nEq), Hessian B (n x n), then of n each: search vector, Gobj,
   Lagrangian gradient at the new point, at the previous point, Gradel (y), base point, previous point, Dvdel (s),
   three Hessian-update work arrays, upper step bounds, lower step bounds, XLAG. The integer arrays: IACT (K),
   ICOL (maxFunctions), ITYPE (n). Result codes 1, 2, 4, 5, 6, 8, 9. */
KORVEX_API void SQPALG(const int* maxIter, const int* n, double* x, const int* maxFunctions, double* f,
                       const int* objIndex, const int* nIneq, int* ineqList, const int* nEq, int* eqList, int* K,
                       double* rowMult, double* xmu, double* prevRowMult, double* Gradd, double* conValues,
                       double* B, double* d, double* Gobj, double* gradLNew, double* gradLOld, double* Gradel,
                       double* basePoint, double* prevPoint, double* Dvdel, double* work15, double* work16,
                       double* work17, double* upperStep, double* lowerStep, double* XLAG, int* IACT, int* ICOL,
                       int* ITYPE, double* lower, double* upper, int* resultCode);

/* Hessian initialisation: B (n x n) = h*I with h = max(sum |gobj(i)| / n, 0.001). */
KORVEX_API void SQPHIN(const int* n, const double* gobj, double* B);

/* Step of the parabola through (a, fa) with slope `slope` at a and through (b, fb), kept within [0, b];
   0 when the curvature term is at most tinyTol in magnitude. */
KORVEX_API void SQPPR2(const double* a, const double* b, const double* fa, const double* fb, const double* slope,
                       double* t);

KORVEX_END_C

#endif
