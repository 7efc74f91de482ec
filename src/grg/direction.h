// The GRG direction step: gradients, Hessian reset or update, and the direction subproblem.
#pragma once

#include "grg/working_set.h"

namespace korvex::grg {

// GRADD as the iteration leaves it: NDV rows, NCOL columns, from the slot after gradientBase of the double pool.
Mat<double> gradientMatrix(const Context& ctx, int gradientBase, int NDV, int NCOL);

// One direction step of the main iteration. GRADD is taken from the slot after gradientBase (the double pool top
// when the main iteration began), so the previous iteration's columns are still there for the update branch.
// Returns false when the run ends: errorFlag set (pool overflow), or resultCode 8 or 10. On true, SDIR holds the
// unnormalised direction and the double pool top is the end of GRADD.
bool directionStep(Context& ctx, const Problem& problem, const RunArrays& run, WorkingSet& ws, int gradientBase,
                   int& resultCode);

}  // namespace korvex::grg
