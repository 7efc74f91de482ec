#ifndef KORVEX_ROUTINES_GRG_ITERATION_H
#define KORVEX_ROUTINES_GRG_ITERATION_H

#include "korvex/export.h"

KORVEX_BEGIN_C

/* The GRG storage front end: carves the run arrays from the work pool and runs the main iteration. Arguments as
   the problem driver passes them: scaled variables DV with bounds DVLB and DVUB, NDF = 1 + nEq + nIneq function
   values DF at DV, objIndex (1), the equality and inequality lists of function numbers, and the result code. */
KORVEX_API void GRSALG(const int* maxIter, const int* NDV, double* DV, double* DVLB, double* DVUB, const int* NDF,
                       double* DF, const int* objIndex, const int* nEq, int* eqList, const int* nIneq, int* ineqList,
                       int* resultCode);

KORVEX_END_C

#endif
