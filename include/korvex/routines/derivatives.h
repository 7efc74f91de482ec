/* Finite-difference gradients with respect to the scaled design variables. Every function of the function vector is
   evaluated at every perturbed point (one analysis call returns the whole vector); a column map decides which
   differences are stored and where. diffMeth = 1 selects forward differences (NDV analysis calls), any other value
   central differences (2*NDV calls); the step is diffPert. DF holds the functions at DV on entry and the same values,
   bit for bit, on return. */
#ifndef KORVEX_ROUTINES_DERIVATIVES_H
#define KORVEX_ROUTINES_DERIVATIVES_H

#include "korvex/export.h"

KORVEX_BEGIN_C

/* SQP flavour, worker. ICOL(j) > 0 stores the gradient of function j in column ICOL(j) of GRAD (leading dimension
   *LDG); ICOL(1) = -1 stores every function j in column j (the rest of ICOL is not read). DFSAVE and DFPLUS are
   scratch vectors of *NDF doubles. unused is never read. Adds 1 to nGradEval. */
KORVEX_API void DDBGRA(const int* NDV, double* DV, const int* NDF, double* DF, const void* unused, const int* ICOL,
                       const int* LDG, double* GRAD, double* DFSAVE, double* DFPLUS);

/* SQP flavour, storage front end of DDBGRA: the scratch vectors come from the double pool. On overflow: the message
   "Error:  Double precision b storage exceeded" when print > 0, errorFlag = -1, nothing evaluated. */
KORVEX_API void DDSGRA(const int* NDV, double* DV, const int* NDF, double* DF, const void* unused, const int* ICOL,
                       const int* LDG, double* GRAD);

/* The SQP iteration's gradients: DDSGRA with LDG = NDV and GRAD = Gradd, then Gobj = last column of Gradd (also after
   a pool overflow). */
KORVEX_API void SQPGRA(const int* NDV, const int* NDF, double* DV, double* DF, const int* ICOL, double* Gobj,
                       double* Gradd);

/* GRG flavour, worker. LISDF(j) != 0 stores the gradient of function j in column LISDF(j) of GRADD (leading
   dimension *NDV). With *IPHASE = 3 the entry DF(ITOBJ) of every evaluation is negated before the quotients are
   formed. nGradEval is not touched. */
KORVEX_API void GDBGRA(const int* IPHASE, const int* ITOBJ, const int* NDV, double* DV, const int* NDF, double* DF,
                       const int* LISDF, double* GRADD, double* DFSAVE, double* DFPLUS);

/* GRG flavour, storage front end of GDBGRA (standard overflow report). */
KORVEX_API void GDSGRA(const int* IPHASE, const int* ITOBJ, const int* NDV, double* DV, const int* NDF, double* DF,
                       const int* LISDF, double* GRADD);

/* The GRG iteration's gradients: builds LISDF (MGRGIN(k) -> k, MBNDEQ(k) -> NCAND + k, ITOBJ -> NCAND + NBEQ + 1),
   runs GDSGRA, then GRADOB = column LISDF(ITOBJ) of GRADD and GSCALE = max(1, sum |GRADOB(i)| / NDV) (also after a
   pool overflow). */
KORVEX_API void GRGGRA(const int* IPHASE, const int* NCAND, const int* MGRGIN, const int* NBEQ, const int* MBNDEQ,
                       const int* ITOBJ, const int* NDV, double* DV, const int* NDF, double* DF, int* LISDF,
                       double* GRADD, double* GRADOB, double* GSCALE);

KORVEX_END_C

#endif
