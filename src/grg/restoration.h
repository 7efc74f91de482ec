// Feasibility restoration of a GRG trial point: crossing steps of newly violated constraints, prediction of the
// dependent variables, bound events (the step length takes the place of a dependent variable held at its bound),
// new-constraint events (the basis inverse bordered by the constraint's row and the step-length column), and the
// Newton-Raphson restoration with the final feasibility check.
#pragma once

#include "common/views.h"
#include "grg/line_search_state.h"

namespace korvex::grg {

// Work arrays of one restoration: ACOL, AROW (NDV each) and DFSAVE (NDF).
struct RestorationWork {
  double* acol = nullptr;
  double* arow = nullptr;
  double* dfsave = nullptr;
};

// Crossing step of function f: where it reaches feasTol between BSTDF(f) at STPBST and DF(f) at STEP. Returns
// false (with the message at print > 0) when f did not change or the crossing lies outside the interval.
bool crossingStep(Context& ctx, const StepState& state, int f, Vec<const double> bstdf, Vec<const double> df,
                  double& crossing);

// Dependent variables of DV predicted at state.step (tangent or secant), set onto a bound when within tinyTol of it;
// state.idvbnd / state.stpbnd: the variable set onto a bound whose prediction reaches it first.
void predictDependentVariables(const SearchSet& set, StepState& state);

// The restoration of one trial point (at most two passes). set.njinv, state.step, idvbnd, stpbnd, ifail, endstp
// and DV, DF may change. The caller tests errorFlag first.
void restoreTrialPoint(SearchSet& set, StepState& state, const RestorationWork& work);

// The same with ACOL, AROW, DFSAVE taken from the double pool (new top = old top + 2 NDV + NDF + 1). Returns false
// after a pool overflow (reported, errorFlag = -1).
bool restoreTrialPointPooled(SearchSet& set, StepState& state);

}  // namespace korvex::grg
