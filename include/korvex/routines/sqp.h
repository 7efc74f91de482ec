#ifndef KORVEX_ROUTINES_SQP_H
#define KORVEX_ROUTINES_SQP_H

#include "korvex/export.h"

KORVEX_BEGIN_C

/* The SQP storage front end: carves the method's arrays from the work pool and runs the SQP iteration. Arguments
   as the problem driver passes them (the same thirteen as GRSALG). Result 7 when the pool is too small. */
KORVEX_API void SQSALG(const int* maxIter, const int* n, double* x, double* lower, double* upper,
                       const int* maxFunctions, double* f, const int* objIndex, const int* nEq, int* eqList,
                       const int* nIneq, int* ineqList, int* resultCode);

KORVEX_END_C

#endif
