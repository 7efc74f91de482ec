// The quasi-Newton Hessian update and the Lagrangian gradient shared by both methods (QHESS and QLAG). Neither
// prints, evaluates functions or uses the work pool, so neither needs a context.
#pragma once

namespace korvex {

// Damped BFGS update of the n x n matrix B from the step s and the gradient change y; work1, r and work2 are work
// vectors of n doubles. Returns true when B was changed (false: s'Bs, s'Bs - s'y or s'r too small). B is tested
// for symmetry (to the last bit) unless the caller knows it is symmetric: formed by initialiseHessian and these
// updates alone, each of which keeps a symmetric B symmetric.
bool dampedBfgsUpdate(int n, const double* s, const double* y, double* B, double* work1, double* r, double* work2,
                      bool knownSymmetric = false);

// gradL = gobj + sum over the active QP rows k of xlag(k) * gradient of row iact(k); rows as QLAG documents them.
void lagrangianGradient(int n, int p, const int* list1, int q, const int* list2, const int* icol, const int* iact,
                        int nact, double* xlag, const double* gobj, const double* g, double* gradL, int& missing);

}  // namespace korvex
