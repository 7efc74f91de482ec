/* The GRG working set and main iteration: the run's storage front end, the main iteration with its feasibility
   phase, the constraint classification, and the pieces of the direction step (identity start, the direction
   subproblem and the Hessian update with their storage front ends). All arguments by pointer, arrays 1-based,
   matrices by columns; logical values are ints, -1 true and 0 false, lowest bit tested. */
#ifndef KORVEX_ROUTINES_GRG_ITERATION_H
#define KORVEX_ROUTINES_GRG_ITERATION_H

#include "korvex/export.h"

KORVEX_BEGIN_C

/* The GRG storage front end: carves the run arrays from the work pool and runs the main iteration. Arguments as
   the problem driver passes them: scaled variables DV with bounds DVLB and DVUB, NDF = 1 + nEq + nIneq function
   values DF at DV, objIndex (1), the equality and inequality lists of function numbers, and the result code. On a
   pool overflow the standard report is made, errorFlag = -1 and resultCode is not written. */
KORVEX_API void GRSALG(const int* maxIter, const int* NDV, double* DV, double* DVLB, double* DVUB, const int* NDF,
                       double* DF, const int* objIndex, const int* nEq, int* eqList, const int* nIneq, int* ineqList,
                       int* resultCode);

/* The main iteration: the thirteen arguments of GRSALG, then the run arrays GRADOB, GRADLO, GRADL, XLAG, HESSIAN
   (NDV x NDV), DVOLD, DVDEL, GRADEL, SDIR (NDV doubles each) and MGRGIN (nIneq), MBNDIN (min(nIneq, NDV)), MBNDEQ
   (nEq), LISDF (NDF), IACT (NDV). Result codes 1, 2, 3, 4, 5, 6, 8, 10, 12; a run ended through errorFlag leaves
   resultCode as it was. */
KORVEX_API void GRGALG(const int* maxIter, const int* NDV, double* DV, double* DVLB, double* DVUB, const int* NDF,
                       double* DF, const int* objIndex, const int* nEq, int* eqList, const int* nIneq, int* ineqList,
                       int* resultCode, double* GRADOB, double* GRADLO, double* GRADL, double* XLAG, double* HESSIAN,
                       double* DVOLD, double* DVDEL, double* GRADEL, double* SDIR, int* MGRGIN, int* MBNDIN,
                       int* MBNDEQ, int* LISDF, int* IACT);

/* Classification at DF: candidate inequalities MGRGIN (*NCAND, possibly cut to constraintFraction), binding
   inequalities MBNDIN (*NBIN), satisfied equalities MBNDEQ (*NBEQ); choice of the temporary objective *ITOBJ (0 for
   none) and the phase *IPHASE (0 optimisation, 1 inequality, 2/3 equality with positive/negative value; with 3 the
   DF entry of the temporary objective is stored negated). Having no NDV argument, this routine lists every binding
   inequality: MBNDIN needs room for nIneq entries here. */
KORVEX_API void GRGCON(const int* nIneq, const int* ineqList, const int* nEq, const int* eqList, double* DF,
                       int* NCAND, int* MGRGIN, int* NBIN, int* MBNDIN, int* NBEQ, int* MBNDEQ, int* ITOBJ,
                       int* IPHASE);

/* A (N x N, leading dimension N) = v times the identity. Nothing for N < 1. */
KORVEX_API void GRGHIN(const int* N, const double* v, double* A);

/* Hessian update front end: three work vectors of NDV doubles from the double pool, then QHESS with the step DVDEL
   and the gradient change GRADEL. *updated = -1 when HESSIAN changed. Overflow: standard report, errorFlag = -1. */
KORVEX_API void GRSHES(const int* NDV, const double* DVDEL, const double* GRADEL, double* HESSIAN, int* updated);

/* Direction subproblem front end: takes BC (NCAND + NBEQ), XU, XL (NDV each) from the double pool and the bound
   types (NDV) from the integer pool, then does GRGQP's work. Overflow: standard report, errorFlag = -1. */
KORVEX_API void GRSQP(const int* NCAND, const int* MGRGIN, const int* NBEQ, const int* MBNDEQ, const int* NDV,
                      const double* DV, const double* DVLB, const double* DVUB, const double* DF,
                      const double* GRADOB, const double* GRADD, const double* HESSIAN, int* IACT, int* NACT,
                      double* XLAG, double* SDIR, int* resultCode);

/* Direction subproblem: minimise GRADOB'd + d'HESSIAN d/2 under the linearized candidate inequalities (rows
   1..NCAND), the linearized satisfied equalities (rows NCAND+1..NCAND+NBEQ), both taken from the columns of GRADD
   (NCAND + NBEQ + 1 columns, leading dimension NDV) in list order, and DVLB - DV <= d <= DVUB - DV. The solution
   goes to SDIR, the active rows to IACT/XLAG. resultCode = 8 (no feasible point), 9 (HESSIAN not positive
   definite) or 10 (solver failure), otherwise unchanged. BC, XU, XL, ITYPE are the caller's scratch. */
KORVEX_API void GRGQP(const int* NCAND, const int* MGRGIN, const int* NBEQ, const int* MBNDEQ, const int* NDV,
                      const double* DV, const double* DVLB, const double* DVUB, const double* DF,
                      const double* GRADOB, const double* GRADD, const double* HESSIAN, int* IACT, int* NACT,
                      double* XLAG, double* SDIR, int* resultCode, double* BC, double* XU, double* XL, int* ITYPE);

KORVEX_END_C

#endif
