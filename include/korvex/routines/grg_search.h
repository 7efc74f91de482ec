/* The GRG line search and the feasibility restoration of its trial points. */
#ifndef KORVEX_ROUTINES_GRG_SEARCH_H
#define KORVEX_ROUTINES_GRG_SEARCH_H

#include "korvex/export.h"

KORVEX_BEGIN_C

/* ---- Line search ---------------------------------------------------------------------------------------------- */

/* Storage front end of the line search: carves BSTDV, DVPRV (NDV each), BSTDF, DFPRV (NDF each), XJINV, XJAC
   (LDJ*LDJ each, LDJ = NBEQ + NBIN + 1) from the double pool and MJINV, MTRAK (NBIN + 5), LTRAK (NDF), MIDV, MDDV
   from the integer pool, then runs GRGSTE. Standard overflow report, errorFlag = -1. Note DVUB before DVLB. */
KORVEX_API void GRSSTE(const int* IPHASE, int* RESETH, const double* SLEN, const int* nIneq, const int* ineqList,
                       const int* NCAND, const int* MGRGIN, const int* NBEQ, const int* MBNDEQ, const int* NBIN,
                       const int* MBNDIN, const int* ITOBJ, const int* NDV, double* DV, const double* DVUB,
                       const double* DVLB, const int* NDF, double* DF, const int* LISDF, const double* GRADD,
                       const double* GRADOB, const double* SDIR, int* resultCode);

/* One line search from (DV, DF) along the unit direction SDIR. On return DV and DF hold the best point; RESETH may
   be set true; resultCode 2 / 4 (step below minStep, optimisation / feasibility phase) or 7 (degenerate parabola),
   otherwise unchanged. */
KORVEX_API void GRGSTE(const int* IPHASE, int* RESETH, const double* SLEN, const int* nIneq, const int* ineqList,
                       const int* NCAND, const int* MGRGIN, const int* NBEQ, const int* MBNDEQ, const int* NBIN,
                       const int* MBNDIN, const int* ITOBJ, const int* NDV, double* DV, const double* DVUB,
                       const double* DVLB, const int* NDF, double* DF, const int* LISDF, const double* GRADD,
                       const double* GRADOB, const double* SDIR, int* resultCode, double* BSTDV, double* DVPRV,
                       double* BSTDF, double* DFPRV, const int* LDJ, double* XJINV, double* XJAC, int* MJINV,
                       int* MTRAK, int* LTRAK, int* MIDV, int* MDDV);

/* Tracking: MTRAK/LTRAK receive the binding inequalities along which SDIR does not enter the feasible side by more
   than about one degree; RESETH set true when SDIR points clearly outside one of them. */
KORVEX_API void GRGTRK(int* RESETH, const int* NDF, const int* NBIN, const int* MBNDIN, const int* NDV,
                       const double* SDIR, const int* LISDF, const double* GRADD, int* NTRAK, int* MTRAK, int* LTRAK);

/* Move of the independent variables to STEP along SDIR from BSTDV (at STPBST), clipped to the bounds; ENDSTP set
   true when every one of them was clipped. */
KORVEX_API void GRGIDV(const int* NIDV, const int* MIDV, const double* DVUB, const double* DVLB, const double* STEP,
                       const double* SDIR, double* DV, const double* BSTDV, const double* STPBST, int* ENDSTP);

/* BSTDV = DV, BSTDF = DF. */
KORVEX_API void GRGCOP(const int* NDV, const double* DV, const int* NDF, const double* DF, double* BSTDV,
                       double* BSTDF);

/* Euclidean norm of V(1..N); 0 for N < 1. */
KORVEX_API double GRGNRM(const int* N, const double* V);

/* Bracketing rule: registers (step, obj) as the pair after the K already registered, keeps at most three pairs
   sorted by step. */
KORVEX_API void GRGS34(const int* BRACKT, const int* K, const double* obj, const double* step, double* OBJPT,
                       double* STPPT);

/* Two-point parabola with the start slope GRADOB . SDIR (NDV entries each). */
KORVEX_API void GRGPR2(const double* STPPT, const double* OBJPT, const int* NDV, const double* GRADOB,
                       const double* SDIR, double* step);

/* Three-point parabola through the first three pairs; IFAIL set true when degenerate (step unchanged). */
KORVEX_API void GRGPR3(const double* STPPT, const double* OBJPT, double* step, int* IFAIL);

/* Step-growth rule: STEP in = current trial step, out = the next one. SLOWNR becomes true when the latest
   restoration needed more than two corrections. */
KORVEX_API void GRGSTP(const int* IPHASE, const int* ITOBJ, int* SLOWNR, const int* NTRAK, const int* NBEQ,
                       const int* LTRAK, const int* NCAND, const int* MGRGIN, const int* NDDV, const int* MDDV,
                       const double* BSTDV, const double* DVPRV, const double* BSTDF, const double* DFPRV,
                       const double* STPBST, const double* STPPRV, const double* DVLB, const double* DVUB,
                       const double* SDIR, double* STEP);

/* ---- Feasibility restoration ------------------------------------------------------------------------------------ */

/* Crossing step: where function f reaches feasTol, interpolated between BSTDF(f) at STPBST and DF(f) at STEP.
   IFAIL set true (and the crossing step left alone) when f did not change or the crossing is outside. */
KORVEX_API void GRGINT(const double* STPBST, const double* STEP, const int* f, const double* BSTDF, const double* DF,
                       double* crossing, int* IFAIL);

/* Prediction of the dependent variables at STEP (tangent or secant), kept within the bounds; IDVBND/STPBND: the
   dependent variable set onto a bound whose prediction reaches it first, and that step (0 / bigValue if none). */
KORVEX_API void GRGDDV(const int* NDDV, const int* MDDV, const double* DVUB, const double* DVLB, const double* STEP,
                       const double* SDIR, double* DV, const double* BSTDV, const double* DVPRV,
                       const double* STPBST, const double* STPPRV, int* IDVBND, double* STPBND);

/* Storage front end of the restoration: takes ACOL, AROW (NDV each) and DFSAVE (NDF) from the double pool and runs
   GRGSAT. The caller tests errorFlag before any other output. */
KORVEX_API void GRSSAT(const int* IPHASE, const int* ITOBJ, const int* NCAND, const int* MGRGIN, const int* nIneq,
                       const int* ineqList, const int* LTRAK, const int* NBEQ, const int* MBNDEQ, const int* NDDV,
                       const int* MDDV, const int* NIDV, const int* MIDV, const int* NDV, double* DV,
                       const double* DVUB, const double* DVLB, const int* NDF, double* DF, const int* LISDF,
                       const double* GRADD, const double* BSTDV, const double* DVPRV, const double* BSTDF,
                       const double* STPBST, const double* STPPRV, const double* SDIR, const int* LDJ, int* NJINV,
                       int* MJINV, double* XJINV, double* XJAC, int* IDVBND, double* STPBND, double* STEP,
                       int* IFAIL, int* ENDSTP);

/* Restoration of one trial point: new-constraint and bound events, Newton-Raphson restoration, feasibility check
   (at most two passes). */
KORVEX_API void GRGSAT(const int* IPHASE, const int* ITOBJ, const int* NCAND, const int* MGRGIN, const int* nIneq,
                       const int* ineqList, const int* LTRAK, const int* NBEQ, const int* MBNDEQ, const int* NDDV,
                       const int* MDDV, const int* NIDV, const int* MIDV, const int* NDV, double* DV,
                       const double* DVUB, const double* DVLB, const int* NDF, double* DF, const int* LISDF,
                       const double* GRADD, const double* BSTDV, const double* DVPRV, const double* BSTDF,
                       const double* STPBST, const double* STPPRV, const double* SDIR, const int* LDJ, int* NJINV,
                       int* MJINV, double* XJINV, double* XJAC, int* IDVBND, double* STPBND, double* STEP,
                       int* IFAIL, int* ENDSTP, double* ACOL, double* AROW, double* DFSAVE);

KORVEX_END_C

#endif
