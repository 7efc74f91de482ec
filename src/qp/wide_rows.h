// The QP's bookkeeping after each step on the widest vectors in use (see vectorsInUse()): the row values, the choice
// of the row to add and the ranking of the next ones, the step length and the step, and the nonzero places of the
// general rows. Every lane does the operation of the plain loop for its element (no fused multiply-add), and the
// choices are made by the same comparisons, so the width changes how fast they run, never what they give. Arrays
// are 0-based here.
#pragma once

namespace korvex::qp {

// True when no v[0..count-1] is an infinity or a NaN.
bool allFiniteWide(const double* v, int count);

// True when no element of the leading parts of the columns is an infinity or a NaN: column j = 0..columns-1 starts
// at a + j ld and its first length + j growth elements are tested (growth 0 for whole columns of a matrix, 1 with
// length 1 for the upper triangle).
bool columnsFinite(const double* a, int ld, int columns, int length, int growth);

// out[2i] = x[i] - xu[i] and out[2i+1] = xl[i] - x[i] for i = 0..n-1: the bound rows of boxed variables in turn.
void boxedBoundValues(const double* x, const double* xl, const double* xu, int n, double* out);

// to[i] = -from[i] for i = 0..count-1 (the arrays do not overlap).
void negateInto(const double* from, double* to, int count);

// The first j (0-based) with the greatest value c[j] + shift[j] of j = 0..count-1 when that value is above tiny,
// -1 otherwise. A NaN value is never the greatest.
int firstGreatestShifted(double tiny, const double* c, const double* shift, int count);

// The last k of 0..count-1 with rate[k] < -tiny whose ratio -multiplier[k] / rate[k] is the least of those ratios
// and of least, -1 when no ratio is at most least; least becomes that ratio (its own bits). A NaN ratio is never
// the least. Two lanes on every width.
int lastLeastRatio(double tiny, const double* rate, const double* multiplier, int count, double& least);

// The rows j + 1 (j = 0..total-1) with a value c[j] above zero that are not passed over (shift[j] = +0; a row passed
// over has shift[j] = -infinity), leaving out j = skip, by decreasing value, the first found first on equal values:
// the first capacity of them (at most kMostRanked) into ranked[0..], returning how many.
constexpr int kMostRanked = 16;
int rankByValue(const double* c, const double* shift, int total, int skip, int capacity, int* ranked);

// The places i + 1 (i = 0..n-1, in increasing order) where column[i] is not zero (a NaN is not zero) into
// place[0..] and the entries there into entry[0..], at most room of them; returns how many there are in all.
int nonzeroEntries(const double* column, int n, int* place, double* entry, int room);

// v[i] = v[i] + t w[i] for i = 0..count-1 (the arrays do not overlap).
void addScaled(double* v, double t, const double* w, int count);

}  // namespace korvex::qp
