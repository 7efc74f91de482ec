/* The analysis-call bridge. */
#ifndef KORVEX_ROUTINES_ENTRY_H
#define KORVEX_ROUTINES_ENTRY_H

#include "korvex/export.h"

KORVEX_BEGIN_C

/* Calls the most recently recorded analysis callback with x (caller's units) into the function vector f.
   Counts nothing and converts nothing; does nothing before the first run. */
KORVEX_API void ANAFUN(double* x, double* f);

/* One counted evaluation at the scaled point x: to caller's units, ANAFUN, back to scaled form. With *evalMode == 3
   the entry f(*objIndex) is negated afterwards. */
KORVEX_API void GRGFUN(const int* evalMode, const int* objIndex, const int* n, double* x, double* f);

/* The same evaluation without the negation. */
KORVEX_API void SQPFUN(const int* n, double* x, double* f);

KORVEX_END_C

#endif
