// The basis of a GRG line search and the linear algebra on it: the bordering step that extends an inverse by one row
// and column, the inverse of a whole matrix by repeated bordering, and the choice of the dependent variables with
// the basis inverse built while choosing. The Broyden updates are in grg/jacobian_update.h, the Newton-Raphson
// restoration in grg/newton_raphson.h; both work on the Basis below.
//
// No inverse is ever formed by elimination: every one is built or extended by bordering, and every pivot of a
// bordering step is compared with tinyTol.
#pragma once

#include "common/views.h"

namespace korvex {

struct Context;

// Read-only views of writable arrays.
template <typename T>
Vec<const T> readOnly(Vec<T> v) {
  return Vec<const T>(v.data(), v.length());
}
template <typename T>
Mat<const T> readOnly(Mat<T> m) {
  return Mat<const T>(m.data(), m.ld(), m.cols());
}

// The basis of a line search. Rows of XJAC/XJINV are the basis functions MJINV(1..NJINV), columns of XJAC the
// dependent variables MDDV(1..NDDV); MIDV(1..NIDV) are the independent variables. The lists' capacities are their
// view lengths; the matrices are LDJ x LDJ, LDJ being also the largest order they can hold.
struct Basis {
  int ldj = 0;
  Mat<double> xjinv;  // inverse of xjac
  Mat<double> xjac;   // (i, k): derivative of function MJINV(i) with respect to variable MDDV(k)
  Vec<int> mjinv;
  int njinv = 0;
  Vec<int> mddv;
  int nddv = 0;
  Vec<int> midv;
  int nidv = 0;
};

// The gradient matrix GRADD (NDV rows) with its column map LISDF (one entry per function number).
struct FunctionGradients {
  Mat<const double> gradd;
  Vec<const int> lisdf;

  // Derivative of function f with respect to variable v. A function without a column (LISDF entry 0) has no
  // gradient to offer; it reads as a zero gradient, so no pivot involving it is ever accepted.
  double derivative(int f, int v) const {
    const int column = lisdf(f);
    return column > 0 ? gradd(v, column) : 0.0;
  }
};

// The design variables with their bounds, NDV entries each.
struct DesignBox {
  Vec<double> dv;
  Vec<const double> lower;
  Vec<const double> upper;
  int count() const { return dv.length(); }
};

// The functions offered to the basis choice: the tracked inequalities, then the satisfied equalities.
struct BasisCandidates {
  Vec<const int> mtrak;
  int ntrak = 0;
  Vec<const int> mbndeq;
  int nbeq = 0;
};

// Work vectors of the basis choice, NDV entries each.
struct BasisWork {
  Vec<double> bcol;  // border column: derivatives of the placed functions with respect to the candidate
  Vec<double> brow;  // border row: derivatives of the function being placed with respect to the chosen variables
  Vec<double> fvec;  // pivot score of each candidate position
};

// ---- Bordering ---------------------------------------------------------------------------------------------------

// Bordering step of order K: the leading K x K block of ainv holds B = inverse of a matrix M; the inverse of M
// bordered by `row` (K entries), `column` (K entries) and `corner` replaces the leading (K+1) x (K+1) block. u and v
// are K-entry work vectors. Returns true (SINGUL) when the pivot d - r.B.c is at most tinyTol in magnitude; ainv is
// then unchanged. An order K + 1 beyond the leading dimension or the columns of ainv cannot be held: that step is
// refused in the same way, and nothing is written.
bool borderInverse(const Context& ctx, Mat<double> ainv, int order, double corner, Vec<const double> row,
                   Vec<const double> column, Vec<double> u, Vec<double> v);

enum class BorderResult { accepted, singular, overflow };

// The bordering step with its two work vectors (K + 1 entries each, first u then v) taken from the double pool.
// overflow: the standard report was made, errorFlag = -1 and nothing else changed.
BorderResult borderInverseWithPool(Context& ctx, Mat<double> ainv, int order, double corner, Vec<const double> row,
                                   Vec<const double> column);

// Inverse of the leading N x N block of a into ainv by bordering, starting from the leading element; roww and colw
// (N entries) receive the borders. `singular` is set false at the start and true when a pivot is refused (message
// at print >= 2; ainv then holds the inverse of a leading block only). The leading element is tested like every
// later pivot. An order beyond either leading dimension is refused (singular, nothing written, no message). A step
// whose pool storage is refused does nothing (errorFlag = -1) and the inversion goes on; callers test errorFlag.
void invertByBordering(Context& ctx, Mat<const double> a, int n, Mat<double> ainv, Vec<double> roww, Vec<double> colw,
                       bool& singular);

// The inversion with ROWW and COLW (N entries each) taken from the double pool. Returns false after an overflow
// report (then `singular` and ainv are untouched).
bool invertByBorderingWithPool(Context& ctx, Mat<const double> a, int n, Mat<double> ainv, bool& singular);

// ---- Basis choice ----------------------------------------------------------------------------------------------

// Chooses a dependent variable for each basis function (tracked inequalities, then satisfied equalities), building
// XJINV by bordering as it goes, drops the functions for which no variable gives a usable pivot, and forms XJAC.
// The basis holds at most min(NDV, LDJ, capacity of MJINV) functions: functions beyond that, in the order above,
// are left out of MJINV like dropped ones (silently), so neither the lists nor the matrices are ever overrun.
// Returns early after a pool overflow (errorFlag = -1, XJAC not formed).
void chooseBasis(Context& ctx, const BasisCandidates& candidates, const DesignBox& box, Vec<const double> sdir,
                 const FunctionGradients& gradients, Basis& basis, const BasisWork& work);

// The basis choice with BCOL, BROW, FVEC (NDV entries each) taken from the double pool. Returns false after an
// overflow report (errorFlag = -1, nothing chosen).
bool chooseBasisWithPool(Context& ctx, const BasisCandidates& candidates, const DesignBox& box, Vec<const double> sdir,
                         const FunctionGradients& gradients, Basis& basis);

// Score of a candidate variable at x in [lo, up] moving with direction component sigma: its relative distance from
// the bound it moves towards, weighted down near the far end of its range (times |derivative| gives FVEC).
double candidateWeight(double x, double lo, double up, double sigma);

// GRSJIA, GRSINV and GRSINJ on the arrays of their argument lists, for the given context: the pooled bordering
// step, the pooled inversion and the pooled basis choice, their outputs written only when the pool gave storage.
void borderInverseOnArrays(Context& ctx, const int* ld, const int* order, const double* corner, const double* row,
                           const double* column, double* ainv, int* singul);
void invertOnArrays(Context& ctx, const int* ld, const int* n, const double* a, double* ainv, int* singul);
void chooseBasisOnArrays(Context& ctx, const int* ntrak, const int* mtrak, const int* nbeq, const int* mbndeq,
                         const int* ndv, const double* dv, const double* dvlb, const double* dvub, const double* gradd,
                         const int* lisdf, const double* sdir, int* nidv, int* midv, int* nddv, int* mddv,
                         const int* ldj, int* njinv, int* mjinv, double* xjinv, double* xjac);

}  // namespace korvex
