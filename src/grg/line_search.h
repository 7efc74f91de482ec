// One GRG line search: tracking of the binding inequalities, the basis choice, then trial steps along SDIR with
// the independent variables moved, the dependent ones predicted and restored, step growth until a trial is worse
// than the best point, and parabola fits after that. DV and DF end at the best point found.
#pragma once

#include "grg/line_search_state.h"

namespace korvex::grg {

// The line search on a working set whose line-search arrays (BSTDV, DVPRV, BSTDF, DFPRV, XJINV, XJAC, MJINV,
// MTRAK, LTRAK, MIDV, MDDV) are in place. GRADOB is the objective gradient (NDV entries).
void runLineSearch(SearchSet& set, int& reseth, double slen, const double* gradob, int& resultCode);

// The same with the line-search arrays carved from the pools (doubles: BSTDV, DVPRV, BSTDF, DFPRV, XJINV, XJAC;
// integers: MJINV, MTRAK, LTRAK, MIDV, MDDV; LDJ = NBEQ + NBIN + 1). An overflow is reported, errorFlag = -1.
void runLineSearchPooled(SearchSet& set, int& reseth, double slen, const double* gradob, int& resultCode);

}  // namespace korvex::grg
