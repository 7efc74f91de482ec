/* The QP subproblem solver: minimise G'x + x'Hx/2 under general inequalities, general equalities and per-variable
   bounds, by a dual active-set method started from the unconstrained minimum.

   Constraint rows j = 1..MTOT, MTOT = 2*NC + NB - NINEQ, each satisfied when its value is <= 0:
     1..NC          general rows a_j'x - b_j (inequalities first, then equalities)
     NC+1..NC+NB    bound rows, variables in order; ITYPE 1 gives x_i - XU_i then XL_i - x_i, 3 the upper row only,
                    2 the lower row only, any other value none
     NC+NB+1..MTOT  mirror rows: row NC+NB+k is the negated equality row NINEQ+k.
   Packed symmetric storage: element (r, c), c <= r, at position r(r-1)/2 + c; a factored array holds the unit lower
   factor L below the diagonal and D on it (F = L D L'). Status outputs are logical ints: -1 reports the failure. */
#ifndef KORVEX_ROUTINES_QP_H
#define KORVEX_ROUTINES_QP_H

#include "korvex/export.h"

KORVEX_BEGIN_C

/* Solves the QP. On a normal return *INFEAS = *IHESS = *IERR = 0, X is the solution and IACT(1..*NACT) the active
   rows (numbered 1..NC+NB) with their multipliers XLAG(1..*NACT). *INFEAS = -1: the constraints are inconsistent;
   *IHESS = -1: H (upper triangle read) is not positive definite, X untouched; *IERR = -1: double pool too small or
   an internal failure. Working storage comes from the double pool and is given back before return. */
KORVEX_API void QPSOLV(const int* N, const int* NC, const int* NINEQ, const double* A, const int* LDA,
                       const double* BC, const double* HESS, const int* LDH, const double* G, const int* ITYPE,
                       const double* XL, const double* XU, double* X, double* XLAG, int* IACT, int* NACT,
                       int* INFEAS, int* IHESS, int* IERR);

/* Step direction for adding row *KV: Z = -(H^-1 - H^-1 N M^-1 N' H^-1) n_KV, *ZNORM = |Z|, R(1..*NACT) the rate of
   change of the active multipliers. */
KORVEX_API void QPSDIR(const int* NACT, const int* N, const int* NC, const int* NINEQ, const int* NB, const double* A,
                       const int* LDA, const int* ITYPE, const int* IACT, double* Z, double* ZNORM, double* R,
                       const double* ACTMAT, const double* HINVN, const int* LDHN, const double* HFAC,
                       const int* KV);

/* Factorizes H into the packed HFAC and sets X = -H^-1 G. *ISTAT = -1 (X untouched) when a pivot is below tinyTol,
   else 0. */
KORVEX_API void QPSINI(const int* N, const double* HESS, const int* LDH, double* HFAC, const double* G, double* X,
                       int* ISTAT);

/* All MTOT row values at X into C. */
KORVEX_API void QPSCON(const int* NC, const int* NINEQ, const int* NB, const int* N, const double* A, const int* LDA,
                       const double* BC, const int* ITYPE, const double* X, const double* XL, const double* XU,
                       double* C);

/* *VAL = component *I of the gradient of row *J. */
KORVEX_API void QPSGRA(const int* J, const int* I, double* VAL, const int* N, const int* NC, const int* NINEQ,
                       const int* NB, const double* A, const int* LDA, const int* ITYPE);

/* Solves F y = V in place, F a packed L D L' factor of order *N. */
KORVEX_API void QPSSOL(const double* F, double* V, const int* N);

/* Factorizes rows *NSTART..*NEND of the packed F in place (earlier rows already factored). *ISTAT = 0, or -1 at the
   first pivot below tinyTol. */
KORVEX_API void QPSTRI(double* F, const int* NEND, const int* NSTART, int* ISTAT);

/* *KV = the most violated row (value > tinyTol) that is neither active nor the twin of an active equality row;
   first row on ties; 0 when none. */
KORVEX_API void QPSVIO(const int* NC, const int* NINEQ, const int* NB, const double* C, const int* NACT,
                       const int* IACT, int* KV);

/* Step length *T along Z and what happens at its end: *IDX the active position dropped or *NACT+1 for adding row
   *KV; *KIND 1 multiplier step then drop, 2 step then drop, 3 step then add. *INFEAS = -1 when no step exists. */
KORVEX_API void QPSLEN(const int* N, const int* NC, const int* NINEQ, const int* NB, const double* A, const int* LDA,
                       const int* ITYPE, const double* C, const int* KV, const int* NACT, const double* ZNORM,
                       const double* Z, const double* XLAG, const double* R, double* T, int* IDX, int* KIND,
                       int* INFEAS);

/* Takes the step: XLAG += T R, *UPLUS += T, and for *KIND >= 2 also X += T Z. */
KORVEX_API void QPSSTP(const int* NACT, double* XLAG, double* UPLUS, const double* R, const int* N, double* X,
                       const double* Z, const double* T, const int* KIND);

/* Adds row *KV with multiplier *UPLUS as active number *NACT+1 when *K > *NACT, else drops active number *K; then
   updates HINVN and the packed factor ACTMAT. *IERR = -1 (with a message) on too many active rows or a pivot below
   tinyTol. */
KORVEX_API void QPSDOA(int* NACT, const int* N, const int* NC, const int* NINEQ, const int* NB, const double* A,
                       const int* LDA, const int* ITYPE, int* IACT, double* XLAG, double* ACTMAT, double* HINVN,
                       const int* LDHN, const double* HFAC, const int* K, const int* KV, const double* UPLUS,
                       int* IERR);

KORVEX_END_C

#endif
