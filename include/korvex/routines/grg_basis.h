/* GRG basis: the bordering step and the inverse by bordering, the choice of the dependent variables with the basis
   inverse, the Broyden updates of the basis Jacobian and of its inverse, and the Newton-Raphson restoration of the
   basis functions. All arguments by reference; matrices by columns with the given leading dimension; logicals are
   ints, -1 true and 0 false, only the lowest bit tested. */
#ifndef KORVEX_ROUTINES_GRG_BASIS_H
#define KORVEX_ROUTINES_GRG_BASIS_H

#include "korvex/export.h"

KORVEX_BEGIN_C

/* Bordering step: the leading K x K block of AINV holds the inverse B of a matrix; the matrix bordered by the row r,
   the column c and the corner d has the inverse written into the leading (K+1) x (K+1) block, unless the pivot
   d - r.B.c is at most tinyTol in magnitude (SINGUL true, AINV unchanged). Two work vectors u, v of K entries.
   An order K + 1 beyond the leading dimension is refused like a singular pivot (nothing is written). */
KORVEX_API void GRGJIA(const int* ld, const int* order, const double* corner, const double* row, const double* column,
                       double* ainv, int* singul, double* u, double* v);

/* The bordering step with its two work vectors (K + 1 entries each) taken from the double pool. */
KORVEX_API void GRSJIA(const int* ld, const int* order, const double* corner, const double* row, const double* column,
                       double* ainv, int* singul);

/* Inverse of the N x N matrix A into AINV by repeated bordering; ROWW and COLW are N-entry copies of the borders.
   SINGUL true when a pivot is refused, the leading element included (AINV then holds the inverse of a leading block
   only), and when N exceeds the leading dimension (nothing written). */
KORVEX_API void GRGINV(const int* ld, const int* n, const double* a, double* ainv, double* roww, double* colw,
                       int* singul);

/* The inversion with ROWW and COLW taken from the double pool. */
KORVEX_API void GRSINV(const int* ld, const int* n, const double* a, double* ainv, int* singul);

/* Basis choice: dependent variables MDDV for the basis functions MTRAK then MBNDEQ, the rest in MIDV, the inverse
   XJINV built by bordering and the Jacobian XJAC (leading dimension LDJ). Note: lower bounds before upper bounds.
   BCOL, BROW, FVEC: NDV-entry work vectors. A basis function whose LISDF entry is 0 counts as having a zero gradient.
   At most min(NDV, LDJ) basis functions are kept. */
KORVEX_API void GRGINJ(const int* ntrak, const int* mtrak, const int* nbeq, const int* mbndeq, const int* ndv,
                       const double* dv, const double* dvlb, const double* dvub, const double* gradd,
                       const int* lisdf, const double* sdir, int* nidv, int* midv, int* nddv, int* mddv,
                       const int* ldj, int* njinv, int* mjinv, double* xjinv, double* xjac, double* bcol, double* brow,
                       double* fvec);

/* The basis choice with BCOL, BROW, FVEC taken from the double pool; the caller tests errorFlag afterwards. */
KORVEX_API void GRSINJ(const int* ntrak, const int* mtrak, const int* nbeq, const int* mbndeq, const int* ndv,
                       const double* dv, const double* dvlb, const double* dvub, const double* gradd,
                       const int* lisdf, const double* sdir, int* nidv, int* midv, int* nddv, int* mddv,
                       const int* ldj, int* njinv, int* mjinv, double* xjinv, double* xjac);

/* Broyden update of the leading N x N block of XJAC after the correction DELDV with residual RESID (note the order:
   DELDV before RESID). */
KORVEX_API void GRGJUP(const int* ldj, const int* n, double* xjac, const double* deldv, const double* resid);

/* The same update applied to the inverse XJINV in Sherman-Morrison form (RESID before DELDV); P, Q: N-entry work. */
KORVEX_API void GRGBUP(const int* ldj, const int* n, double* xjinv, const double* resid, const double* deldv,
                       double* p, double* q);

/* The inverse update with P and Q taken from the double pool. */
KORVEX_API void GRSBUP(const int* ldj, const int* n, double* xjinv, const double* resid, const double* deldv);

/* Newton-Raphson restoration of the basis functions MJINV(1..NJINV) within feasTol by corrections of the dependent
   variables (and of STEP for a step-length row), with Broyden updates. DELDV and RESID hold max(NDV, NJINV)
   entries each. A system larger than LDJ is not worked on: unless already satisfied it returns not converged with
   NRITER = 1 and nothing changed. Note: lower bounds before upper bounds. */
KORVEX_API void GRGNR(const int* iphase, const int* updjac, const int* maxnr, const int* ldj, const int* njinv,
                      const int* mjinv, double* xjinv, double* xjac, const int* idvbnd, const int* nidv,
                      const int* midv, const int* nddv, const int* mddv, const double* sdir, const int* ndv,
                      double* dv, const double* dvlb, const double* dvub, const int* ndf, double* df,
                      const int* itobj, const double* bstdv, const double* dvprv, const double* stpbst,
                      const double* stpprv, double* step, int* endstp, int* nrconv, int* nriter, double* deldv,
                      double* resid);

/* The restoration with DELDV and RESID taken from the double pool; clears errorFlag when they fit. */
KORVEX_API void GRSNR(const int* iphase, const int* updjac, const int* maxnr, const int* ldj, const int* njinv,
                      const int* mjinv, double* xjinv, double* xjac, const int* idvbnd, const int* nidv,
                      const int* midv, const int* nddv, const int* mddv, const double* sdir, const int* ndv,
                      double* dv, const double* dvlb, const double* dvub, const int* ndf, double* df,
                      const int* itobj, const double* bstdv, const double* dvprv, const double* stpbst,
                      const double* stpprv, double* step, int* endstp, int* nrconv, int* nriter);

KORVEX_END_C

#endif
