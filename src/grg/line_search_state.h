// The working set of one GRG line search as its routines see it: the problem arrays, the lists of the iteration,
// the line-search arrays and the basis, plus the step-length quantities of the current trial. The exported routines
// fill these from their long argument lists; the internal routines take them by reference.
#pragma once

#include "common/logical.h"
#include "common/views.h"

namespace korvex {
struct Context;
}

namespace korvex::grg {

// Step lengths of the current trial, the best point and the point before it, the dependent variable that meets a
// bound first along the prediction, and the two end flags of a trial.
struct StepState {
  double step = 0.0;    // STEP: step length of the current trial
  double stpbst = 0.0;  // STPBST: step length of BSTDV
  double stpprv = 0.0;  // STPPRV: step length of DVPRV
  int idvbnd = 0;       // IDVBND: dependent variable held at a bound, 0 for none
  double stpbnd = 0.0;  // STPBND: step at which it reaches the bound
  int ifail = kFalse;   // IFAIL: restoration failed (or degenerate parabola)
  int endstp = kFalse;  // ENDSTP: the search ends after this trial if it improves
  bool notFinite = false;     // an evaluation of this trial (its restoration included) gave a non-finite value
  bool basisChanged = false;  // ... after the restoration had already changed the basis (bound column, border)
};

// Arrays are raw 1-based storage with their lengths given by the counts below; pointers that a routine does not
// use may stay null (the views then have length 0 and any access is caught by the bounds checks). The context
// gives the settings, the work pool, the analysis bridge and the diagnostic stream of the search.
struct SearchSet {
  explicit SearchSet(Context& context) : ctx(context) {}

  Context& ctx;
  int iphase = 0;  // IPHASE
  int itobj = 1;   // ITOBJ

  int nIneq = 0;
  const int* ineqList = nullptr;
  int ncand = 0;
  const int* mgrgin = nullptr;  // MGRGIN(1..NCAND)
  int nbeq = 0;
  const int* mbndeq = nullptr;  // MBNDEQ(1..NBEQ)
  int nbin = 0;
  const int* mbndin = nullptr;  // MBNDIN(1..NBIN)

  int ndv = 0;
  double* dv = nullptr;
  const double* dvlb = nullptr;
  const double* dvub = nullptr;
  int ndf = 0;
  double* df = nullptr;
  const int* lisdf = nullptr;   // NDF entries
  const double* gradd = nullptr;  // NDV rows, leading dimension NDV, at most NDF columns
  const double* sdir = nullptr;

  double* bstdv = nullptr;
  double* dvprv = nullptr;
  double* bstdf = nullptr;
  double* dfprv = nullptr;

  int ldj = 0;
  double* xjinv = nullptr;  // LDJ x LDJ
  double* xjac = nullptr;   // LDJ x LDJ
  int njinv = 0;
  int* mjinv = nullptr;     // NDV entries
  int ntrak = 0;
  int* mtrak = nullptr;     // NBIN + 5 entries
  int* ltrak = nullptr;     // NDF entries
  int nidv = 0;
  int* midv = nullptr;      // NDV entries
  int nddv = 0;
  int* mddv = nullptr;      // NDV entries

  // Lengths of the lists whose size the caller of an exported routine fixes (MTRAK: NBIN + 5, MJINV: NDV).
  int mtrakLength() const { return nbin + 5; }
};

}  // namespace korvex::grg
