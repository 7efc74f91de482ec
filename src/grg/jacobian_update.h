// Broyden ("good") updates of the basis Jacobian XJAC and of its inverse XJINV after a Newton-Raphson correction,
// so that the next correction uses a better Jacobian without new gradients.
//
// With s = DELDV the correction just applied and F = -RESID the basis function values after it: when s was the
// Newton step -XJINV.F0 and XJINV inverts XJAC, Broyden's update reduces to XJAC + F s^T / (s^T s), and its inverse
// (Sherman-Morrison) to XJINV - (XJINV F)(s^T XJINV) / (s^T (XJINV F + s)). The routines use only s and RESID and
// rely on their caller for the premises; both touch only the leading N x N block of their matrix.
#pragma once

#include "common/views.h"

namespace korvex {

struct Context;

// XJAC(i, k) -= DELDV(k) RESID(i) / sigma with sigma = |DELDV|^2; skipped silently when tinyTol >= |sigma|.
// Prints the block at print >= 3. An order N beyond the leading dimension cannot be held: the update is skipped.
void updateJacobian(Context& ctx, Mat<double> xjac, int n, Vec<const double> deldv, Vec<const double> resid);

// XJINV(i, j) -= p(i) q(j) / delta with p = XJINV.(-RESID), q = DELDV^T.XJINV, delta = DELDV.(p + DELDV), all from
// the old XJINV; skipped silently when |delta| <= tinyTol. p and q are N-entry work vectors. Prints the block at
// print >= 3. An order N beyond the leading dimension is skipped, as above.
void updateInverse(Context& ctx, Mat<double> xjinv, int n, Vec<const double> resid, Vec<const double> deldv,
                   Vec<double> p, Vec<double> q);

// The inverse update with p and q taken from the double pool. Returns false after an overflow report
// (errorFlag = -1, XJINV unchanged).
bool updateInverseWithPool(Context& ctx, Mat<double> xjinv, int n, Vec<const double> resid,
                           Vec<const double> deldv);

}  // namespace korvex
