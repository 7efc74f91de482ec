// The GRG working set as the main iteration sees it: the problem handed over by the driver, the run arrays carved
// by the storage front end, and the counts and phase of the current iteration. The exported routines keep their
// long argument lists; inside, these small structs travel instead.
#pragma once

#include <algorithm>

#include "common/logical.h"
#include "common/views.h"

namespace korvex {
struct Context;
}

namespace korvex::grg {

// The problem in scaled form: variables with bounds -1 and 1, the function vector (objective, equalities,
// inequalities) and the two lists of constraint function numbers.
struct Problem {
  int maxIter = 0;
  int NDV = 0;
  int NDF = 0;
  int objIndex = 1;
  int nEq = 0;
  int nIneq = 0;
  Vec<double> DV, DVLB, DVUB, DF;
  Vec<int> eqList, ineqList;
};

// Arrays that live for the whole run (D1-D9, I1-I5 of the run's pool carve-out).
struct RunArrays {
  Vec<double> GRADOB, GRADLO, GRADL, XLAG;
  Mat<double> HESSIAN;
  Vec<double> DVOLD, DVDEL, GRADEL, SDIR;
  Vec<int> MGRGIN, MBNDIN, MBNDEQ, LISDF, IACT;
};

// Counts and phase of the current iteration.
struct WorkingSet {
  int IPHASE = 0;      // 0 objective; 1 violated inequality; 2 / 3 violated equality, positive / negative value
  int ITOBJ = 0;       // function number of the current objective
  int NCAND = 0;       // entries of MGRGIN in use
  int NBIN = 0;        // entries of MBNDIN
  int NBEQ = 0;        // entries of MBNDEQ
  int NCOL = 1;        // columns of GRADD: NCAND + NBEQ + 1
  int NACT = 0;        // entries of IACT and XLAG
  int RESETH = kTrue;  // logical: start the Hessian from the identity at the next direction step
  double SLEN = 0.0;   // length of the QP direction before normalisation
};

// Room of the binding-inequality list: one entry per inequality, but never more than the variables.
inline int bindingListLength(int nIneq, int NDV) { return std::max(0, std::min(nIneq, NDV)); }

// The main iteration (GRGALG) on the run arrays D1-D9, I1-I5 given as raw storage.
struct RunStorage {
  double *GRADOB, *GRADLO, *GRADL, *XLAG, *HESSIAN, *DVOLD, *DVDEL, *GRADEL, *SDIR;
  int *MGRGIN, *MBNDIN, *MBNDEQ, *LISDF, *IACT;
};
void runMainIteration(Context& ctx, int maxIter, int NDV, double* DV, double* DVLB, double* DVUB, int NDF, double* DF,
                      int objIndex, int nEq, int* eqList, int nIneq, int* ineqList, const RunStorage& storage,
                      int& resultCode);

// The storage front end (GRSALG): the run arrays from the work pool, then the main iteration. An overflow is
// reported (errorFlag = -1) and resultCode is not written.
void runFrontEnd(Context& ctx, int maxIter, int NDV, double* DV, double* DVLB, double* DVUB, int NDF, double* DF,
                 int objIndex, int nEq, int* eqList, int nIneq, int* ineqList, int& resultCode);

}  // namespace korvex::grg
