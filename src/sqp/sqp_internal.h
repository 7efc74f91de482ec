// Internal pieces of the SQP method: Hessian initialisation, the exact-penalty merit function with its line search,
// and the iteration itself. The exported routines SQSALG, SQPALG, SQPHIN and SQPPR2 are thin adapters around them.
#pragma once

#include "common/views.h"

namespace korvex {
struct Context;
}

namespace korvex::sqp {

// Penalty weights start at 0.01 held in single precision.
constexpr double kInitialPenaltyWeight = double(0.01f);

// B = h*I with h = max(sum |gobj(i)| / n, 0.001).
void initialiseHessian(int n, const double* gobj, double* b);

// Minimiser of the parabola through (a, fa) with slope `slope` at a and through (b, fb), kept within [0, b]:
// with c = (fb - fa + (a - b)*slope) / (a - b)^2, 0 when |c| <= tinyTol, else max(0, a - slope/(2c)) cut at b.
double interpolateStep(double a, double b, double fa, double fb, double slope, double tinyTol);

// Everything the merit function and the line search read and change. Constraints are in SQP order: the nIneq
// inequalities first, then the nEq equalities; column k of gradd belongs to constraint k.
struct MeritSearch {
  int n = 0;
  int nIneq = 0;
  int nEq = 0;
  int objIndex = 1;
  Vec<double> x;            // current point; the accepted point on return, or the base point after a failure
  Vec<double> basePoint;    // x at the top of the iteration
  Vec<double> d;            // search vector (already clipped)
  Mat<double> gradd;        // n x (nCon + 1) gradients, leading dimension n
  Vec<double> conValues;    // constraint values at x, refreshed after every evaluation
  Vec<double> rowMult;      // row multipliers of the latest QP (first nCon entries: the constraints)
  Vec<double> xmu;          // penalty weights (first nCon entries used), kept across iterations
  Vec<double> lower;        // variable bounds
  Vec<double> upper;
  Vec<double> f;            // function vector
  Vec<int> ineqList;        // function numbers of the constraints
  Vec<int> eqList;
  double dderiv = 0.0;      // Gobj . d
  double meritPrev1 = 0.0;  // merit at the base point of the previous and of the second previous iteration
  double meritPrev2 = 0.0;

  int nCon() const { return nIneq + nEq; }
};

enum class SearchOutcome {
  Accepted,      // x holds a point whose merit is no larger than at the base point
  Failed,        // five trials rejected: x, f and the constraint values are back at the base point
  MeritStalled,  // the merit changed by less than feasTol over three iterations: result 9
  NotFinite,     // the last trial, or the base point evaluated again, gave a value that is not finite: result 95
};

// Constraint values in SQP order taken from the function vector. A list entry outside the function vector gives
// the value 0 (the driver never builds one).
void refreshConstraintValues(const MeritSearch& s);

// xmu(k) = max(|lambda(k)|, (xmu(k) + |lambda(k)|) * 0.5) for every constraint.
void updatePenaltyWeights(const MeritSearch& s);

// f(objective) + sum over inequalities of xmu*max(0, c) + sum over equalities of xmu*|c|.
double meritValue(const MeritSearch& s);

// Dderiv + sum over violated inequalities and all equalities of xmu(k) * (column k of gradd . d).
double meritSlope(const MeritSearch& s);

// Penalty weights, merit at the base point, termination test and the interpolating line search along d.
SearchOutcome meritLineSearch(Context& ctx, MeritSearch& s);

// The storage front end (SQSALG): the iteration's twenty double and three integer arrays from the work pool, then
// the iteration. resultCode 7 when the pool is too small (reported whatever the print level, errorFlag untouched).
void runFrontEnd(Context& ctx, int maxIter, int n, double* x, double* lower, double* upper, int maxFunctions,
                 double* f, int objIndex, int nEq, int* eqList, int nIneq, int* ineqList, int& resultCode);

// The twenty double arrays and three integer arrays of one run, as the front end carves them.
struct Arrays {
  double* rowMult;      // 1: multiplier of every QP row
  double* xmu;          // 2: penalty weights
  double* prevRowMult;  // 3: previous row multipliers
  double* gradd;        // 4: n x m gradients
  double* conValues;    // 5: constraint values in SQP order
  double* hessian;      // 6: B
  double* d;            // 7: search vector
  double* gobj;         // 8: objective gradient
  double* gradLNew;     // 9: Lagrangian gradient at the new point
  double* gradLOld;     // 10: Lagrangian gradient at the previous point
  double* gradel;       // 11: y
  double* basePoint;    // 12: x at the top of the iteration
  double* prevPoint;    // 13: x after the previous Hessian update
  double* dvdel;        // 14: s
  double* work15;       // 15-17: Hessian update work (r, B*s by columns, B*s by rows)
  double* work16;
  double* work17;
  double* upperStep;    // 18
  double* lowerStep;    // 19
  double* xlag;         // 20: multipliers of the active rows
  int* iact;
  int* icol;
  int* itype;
};

struct Problem {
  int maxIter;
  int n;
  double* x;
  int m;  // maxFunctions
  double* f;
  int objIndex;
  int nIneq;
  int* ineqList;
  int nEq;
  int* eqList;
  double* lower;
  double* upper;
};

// The SQP iteration (SQPALG); kRows receives the number of QP rows. Returns the result code.
int iterate(Context& ctx, const Problem& p, const Arrays& a, int& kRows);

}  // namespace korvex::sqp
