// Newton-Raphson restoration of the basis functions: quasi-Newton corrections of the dependent variables (and of the
// step length, for a row that solves for it) until every basis function is within feasTol, with one evaluation per
// correction and Broyden updates of XJAC and XJINV in place of new gradients.
#pragma once

#include "common/views.h"
#include "grg/basis.h"

namespace korvex {

struct Context;

// How the restoration runs.
struct NewtonControl {
  int iphase = 0;      // 3: the current objective's value is negated after each evaluation
  int itobj = 0;       // function number of the current objective
  bool updjac = true;  // apply the Broyden updates after each evaluation
  int maxnr = 0;       // iteration limit
  int idvbnd = 0;      // dependent variable held at its bound whose row solves for STEP, or 0
};

// The line along which the independent variables follow the step length: from BSTDV (at STPBST) along SDIR, the
// dependent variables extrapolated along SDIR or along the secant from DVPRV (at STPPRV). NDV entries each.
struct StepLine {
  Vec<const double> sdir;
  Vec<const double> bstdv;
  Vec<const double> dvprv;
  double stpbst = 0.0;
  double stpprv = 0.0;
  double step = 0.0;    // in/out: the current step length
  bool endstp = false;  // in/out: set when every independent variable is at a bound; never cleared
};

// NRCONV and NRITER.
struct NewtonOutcome {
  bool converged = false;
  int iterations = 0;
};

// The restoration (quantities i = 1..NJINV: the step length when i > NDDV or MDDV(i) = IDVBND, otherwise dependent
// variable MDDV(i)). DELDV and RESID need max(NDV, NJINV) entries: a system with a step-length row can have one
// row more than there are variables. A system that the vectors or the LDJ x LDJ matrices cannot hold (NJINV or
// NDDV beyond LDJ, NJINV or NDDV beyond the vectors) is not worked on: unless it is already satisfied, the routine
// returns at once not converged with NRITER = 1 and nothing changed. Counters nNRCalls, nNRTotal, nNRIter as
// described in the settings block. An overflow of the inverse update's storage returns not converged (errorFlag -1).
void restoreBasisFunctions(Context& ctx, const NewtonControl& control, Basis& basis, DesignBox& box, Vec<double> df,
                           StepLine& line, Vec<double> deldv, Vec<double> resid, NewtonOutcome& outcome);

// The restoration with DELDV and RESID (max(NDV, NJINV) entries each; 2 NDV + 1 slots when NJINV <= NDV) taken from
// the double pool. When they fit, errorFlag is cleared and the restoration runs; after an overflow report
// (errorFlag = -1) it returns false with `outcome` untouched.
bool restoreBasisFunctionsWithPool(Context& ctx, const NewtonControl& control, Basis& basis, DesignBox& box,
                                   Vec<double> df, StepLine& line, NewtonOutcome& outcome);

// GRSNR on the arrays of its argument list, for the given context: the pooled restoration, STEP, ENDSTP, NRCONV
// and NRITER written back only when the pool gave storage.
void restoreBasisFunctionsOnArrays(Context& ctx, const int* iphase, const int* updjac, const int* maxnr, const int* ldj,
                                   const int* njinv, const int* mjinv, double* xjinv, double* xjac, const int* idvbnd,
                                   const int* nidv, const int* midv, const int* nddv, const int* mddv,
                                   const double* sdir, const int* ndv, double* dv, const double* dvlb,
                                   const double* dvub, const int* ndf, double* df, const int* itobj,
                                   const double* bstdv, const double* dvprv, const double* stpbst,
                                   const double* stpprv, double* step, int* endstp, int* nrconv, int* nriter);

}  // namespace korvex
