#include "qp/kernels.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "common/double_pair.h"
#include "common/message.h"
#include "common/vector_width.h"
#include "entry/context.h"
#include "qp/row_solves.h"
#include "qp/side_by_side.h"
#include "qp/wide_rows.h"

namespace korvex::qp {

namespace {

constexpr std::string_view kTooManyActive = "ERROR: TOO MANY ACTIVE CONSTRAINTS, SHOULD NOT HAPPEN";
constexpr std::string_view kNonPositiveActiveMatrix =
    "ERROR: NONPOSITIVE GRADGT*BINV*GRADV MATRIX, SHOULD NOT HAPPEN";

bool hasUpperRow(int type) { return type == kBothBounds || type == kUpperBound; }
bool hasLowerRow(int type) { return type == kBothBounds || type == kLowerBound; }

bool allFinite(Vec<const double> v, int n) { return n <= 0 || allFiniteWide(v.sub(1, n).data(), n); }

// Neither zero nor NaN, that is above or below zero: a number whose negation is determined by rounding alone.
// Formed without a branch.
bool hasSign(double v) { return (v < 0.0) | (v > 0.0); }

// The internal failures are reported whatever the print level.
void reportFailure(Context& ctx, std::string_view text) { ctx.messageText.clear().text(text).print(); }

}  // namespace

int countBoundRows(Vec<const int> itype) {
  int count = 0;
  for (int i = 1; i <= itype.length(); ++i) {
    if (hasUpperRow(itype(i))) ++count;
    if (hasLowerRow(itype(i))) ++count;
  }
  return count;
}

void RowPatterns::build(Mat<const double> a, int n, int nc) {
  rows_ = std::min(nc, kMaxRows);
  int used = 0;
  for (int k = 1; k <= rows_; ++k) {
    const size_t slot = static_cast<size_t>(k);
    const int room = std::min(n / 2, kMaxEntries - used);
    const size_t at = static_cast<size_t>(used);
    const int nonzero = n > 0 ? nonzeroEntries(a.column(k).data(), n, index_.data() + at, entry_.data() + at, room)
                              : 0;
    count_[slot] = -1;
    if (nonzero > room) continue;
    start_[slot] = used;
    count_[slot] = nonzero;
    used += nonzero;
  }
}

Rows::Rows(int n, int nc, int nineq, int nb, const double* a, int lda, const int* itype)
    : n_(std::max(n, 0)),
      nc_(std::max(nc, 0)),
      nineq_(std::clamp(nineq, 0, std::max(nc, 0))),
      nb_(std::max(nb, 0)),
      a_(a, lda, std::max(nc, 0)),
      itype_(itype, std::max(n, 0)),
      tabled_(nb_ <= kTabledBoundRows) {
  if (!tabled_) return;
  std::fill_n(boundVariable_.begin(), nb_, 0);
  int row = 0;  // bound rows counted from NC
  int bothBounds = 0;
  for (int i = 1; i <= n_ && row < nb_; ++i) {
    if (hasUpperRow(itype_(i)) && row < nb_) boundVariable_[static_cast<size_t>(row++)] = i;
    if (hasLowerRow(itype_(i)) && row < nb_) boundVariable_[static_cast<size_t>(row++)] = -i;
    bothBounds += itype_(i) == kBothBounds ? 1 : 0;
  }
  everyVariableBoxed_ = bothBounds == n_ && nb_ == 2 * n_;
}

BoundRow Rows::walkBoundRows(int j) const {
  int row = nc_;
  for (int i = 1; i <= n_; ++i) {
    if (hasUpperRow(itype_(i)) && ++row == j) return {i, 1.0};
    if (hasLowerRow(itype_(i)) && ++row == j) return {i, -1.0};
  }
  return {0, 0.0};  // NB larger than the bound types give: the missing rows have no gradient
}

double Rows::component(int j, int i) const {
  if (i < 1 || i > n_ || j < 1 || j > total()) return 0.0;
  if (j <= nc_) return a_(i, j);
  if (isMirror(j)) return -a_(i, equalityOf(j));
  const BoundRow bound = boundRow(j);
  return bound.variable == i ? bound.sign : 0.0;
}

double Rows::dot(int j, Vec<const double> v, bool vFinite) const {
  if (j < 1 || j > total()) return 0.0;
  double sum = 0.0;
  if (j <= nc_) {
    if (hasPattern(j) && (vFinite || allFinite(v, n_))) return patternSum(j, 1.0, 0.0, v);
    for (int i = 1; i <= n_; ++i) sum += a_(i, j) * v(i);
  } else if (isMirror(j)) {
    const int k = equalityOf(j);
    if (hasPattern(k) && (vFinite || allFinite(v, n_))) return patternSum(k, -1.0, 0.0, v);
    for (int i = 1; i <= n_; ++i) sum += (-a_(i, k)) * v(i);
  } else {
    const BoundRow bound = boundRow(j);
    if (bound.variable != 0) sum = bound.sign * v(bound.variable);
  }
  return sum;
}

// Four general or mirror rows at a time: their sums are independent, so they run side by side instead of one
// after the other, each still added up in increasing i. A mirror row's terms are (-a)v, formed here as (-1 a)v.
void Rows::dots(Vec<const int> list, int count, Vec<const double> v, Vec<double> out) const {
  int group[4];  // positions in list of general or mirror rows waiting for their sums
  int waiting = 0;
  const auto sumGroup = [&] {
    Vec<const double> column[4];
    double sign[4];
    for (int q = 0; q < 4; ++q) {
      const int j = list(group[q]);
      column[q] = a_.column(isMirror(j) ? equalityOf(j) : j);
      sign[q] = isMirror(j) ? -1.0 : 1.0;
    }
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    for (int i = 1; i <= n_; ++i) {
      const double vi = v(i);
      s0 += (sign[0] * column[0](i)) * vi;
      s1 += (sign[1] * column[1](i)) * vi;
      s2 += (sign[2] * column[2](i)) * vi;
      s3 += (sign[3] * column[3](i)) * vi;
    }
    out(group[0]) = s0;
    out(group[1]) = s1;
    out(group[2]) = s2;
    out(group[3]) = s3;
    waiting = 0;
  };
  const bool vFinite = patterns_ != nullptr && allFinite(v, n_);
  for (int k = 1; k <= count; ++k) {
    const int j = list(k);
    const bool general = j >= 1 && j <= nc_;
    if ((general || isMirror(j)) && vFinite && hasPattern(general ? j : equalityOf(j))) {
      out(k) = general ? patternSum(j, 1.0, 0.0, v) : patternSum(equalityOf(j), -1.0, 0.0, v);
    } else if (general || isMirror(j)) {
      group[waiting++] = k;
      if (waiting == 4) sumGroup();
    } else {
      const BoundRow bound = boundRow(j);
      out(k) = bound.variable != 0 ? bound.sign * v(bound.variable) : 0.0;
    }
  }
  for (int q = 0; q < waiting; ++q) out(group[q]) = dot(list(group[q]), v);
}

void Rows::gradient(int j, double scale, Vec<double> out) const {
  if (j >= 1 && j <= nc_) {
    for (int i = 1; i <= n_; ++i) out(i) = scale * a_(i, j);
  } else if (isMirror(j)) {
    const int k = equalityOf(j);
    for (int i = 1; i <= n_; ++i) out(i) = scale * (-a_(i, k));
  } else {
    for (int i = 1; i <= n_; ++i) out(i) = 0.0;
    const BoundRow bound = boundRow(j);
    if (bound.variable != 0) out(bound.variable) = scale * bound.sign;
  }
}

double Rows::value(int j, Vec<const double> bc, Vec<const double> x, Vec<const double> xl,
                   Vec<const double> xu) const {
  if (j < 1 || j > total()) return 0.0;
  if (isMirror(j)) return -value(equalityOf(j), bc, x, xl, xu);
  if (j <= nc_) return generalValue(j, -bc(j), x, patterns_ != nullptr && allFinite(x, n_));
  const BoundRow bound = boundRow(j);
  if (bound.variable == 0) return 0.0;
  const int i = bound.variable;
  return bound.sign > 0.0 ? x(i) - xu(i) : xl(i) - x(i);
}

namespace {

namespace {

// Rows r..r+B-1 of forwardSubstitute side by side: their sums over the columns before the block do not depend on
// each other; the small triangle inside the block follows, each row still taking its terms in increasing c.
template <int B>
void forwardSubstituteBlock(Vec<const double> f, Vec<double> v, int r) {
  int row[B];
  double y[B];
  for (int q = 0; q < B; ++q) {
    row[q] = packed(r + q, 0);
    y[q] = v(r + q);
  }
  for (int c = 1; c < r; ++c) {
    const double vc = v(c);
    for (int q = 0; q < B; ++q) y[q] -= f(row[q] + c) * vc;
  }
  for (int q = 1; q < B; ++q) {
    for (int p = 0; p < q; ++p) y[q] -= f(row[q] + r + p) * y[p];
  }
  for (int q = 0; q < B; ++q) v(r + q) = y[q];
}

}  // namespace

// v(r) = v(r) - sum over c < r of L(r, c) v(c) for r = first..count (entries before first are final), L the unit
// lower factor of the packed f, the terms subtracted in increasing c; eight rows at a time (from forty rows on:
// shorter rows leave too little to gain), then four, then one.
void forwardSubstitute(Vec<const double> f, Vec<double> v, int count, int first = 2) {
  constexpr int kEightRowsFrom = 40;
  int r = std::max(first, 2);
  if (count >= kEightRowsFrom) {
    for (; r + 7 <= count; r += 8) forwardSubstituteBlock<8>(f, v, r);
  }
  for (; r + 3 <= count; r += 4) forwardSubstituteBlock<4>(f, v, r);
  for (; r <= count; ++r) {
    const int row = packed(r, 0);
    double y = v(r);
    for (int c = 1; c < r; ++c) y -= f(row + c) * v(c);
    v(r) = y;
  }
}

// forwardSubstitute for two vectors, entries first..count of both (first >= 1): the two run as the lanes of one
// pair, each factor entry loaded once for both, four entries of each side by side, every entry taking its terms in
// increasing c.
[[gnu::always_inline]] inline void forwardSubstituteTwoWith(Vec<const double> f, Vec<double> u, Vec<double> v,
                                                            int count, int first) {
  int r = std::max(first, 2);
  for (; r + 3 <= count; r += 4) {
    int row[4];
    DoublePair y[4];
    for (int q = 0; q < 4; ++q) {
      row[q] = packed(r + q, 0);
      y[q] = DoublePair{u(r + q), v(r + q)};
    }
    for (int c = 1; c < r; ++c) {
      const DoublePair yc = {u(c), v(c)};
      for (int q = 0; q < 4; ++q) y[q] -= f(row[q] + c) * yc;
    }
    for (int q = 1; q < 4; ++q) {
      for (int p = 0; p < q; ++p) y[q] -= f(row[q] + r + p) * y[p];
    }
    for (int q = 0; q < 4; ++q) {
      u(r + q) = y[q][0];
      v(r + q) = y[q][1];
    }
  }
  for (; r <= count; ++r) {
    const int row = packed(r, 0);
    DoublePair y = {u(r), v(r)};
    for (int c = 1; c < r; ++c) y -= f(row + c) * DoublePair{u(c), v(c)};
    u(r) = y[0];
    v(r) = y[1];
  }
}

#ifdef KORVEX_WIDE_VECTORS
// The same with each factor entry broadcast to both lanes as it is loaded.
[[gnu::target("avx2")]] void forwardSubstituteTwoWithAvx2(Vec<const double> f, Vec<double> u, Vec<double> v,
                                                          int count, int first) {
  forwardSubstituteTwoWith(f, u, v, count, first);
}
#endif

void forwardSubstituteTwo(Vec<const double> f, Vec<double> u, Vec<double> v, int count, int first) {
#ifdef KORVEX_WIDE_VECTORS
  if (vectorsInUse() != VectorWidth::k128) {
    forwardSubstituteTwoWithAvx2(f, u, v, count, first);
    return;
  }
#endif
  forwardSubstituteTwoWith(f, u, v, count, first);
}

// v(r) = v(r) / D_r, last row first: the back substitution that follows starts from the last row.
void divideByDiagonal(Vec<const double> f, Vec<double> v, int n) {
  for (int r = n; r >= 1; --r) v(r) = v(r) / f(packed(r, r));
}

// The row n+1 of a factor of order n that adding a row takes when its entries forward-substituted are w_c = -y_c
// (see Reuse): the factors L_c = w_c / D_c, the pivot D = pivot - sum of w_c L_c in increasing c and its partial
// sums, each array from entry 1 of the row on (0-based).
struct AddedRow {
  const double* y;   // y_1..y_n
  double* w;         // w_1..w_n
  double* factors;   // L_1..L_n, then D
  double* partial;   // the pivot's partial sums after each term
  double pivot;      // M(n+1, n+1)
};

// divideByDiagonal, then v(r) = v(r) - sum over c > r of L(c, r) v(c) for r = n-1 down to 1, the terms subtracted in
// increasing c. Each row needs the row below it finished, so one vector's rows run strictly one after the other,
// each subtraction waiting on the one before; the divisions do not, and run meanwhile, each just before its row.
// The first term of each row takes v(r+1) as the row below left it in a register: read back from memory, it would
// wait for its store to reach the load, on every row of the chain.
//
// The chain leaves room for independent work: with added, the row it describes is formed too, one entry per row.
void divideAndBackSubstitute(Vec<const double> f, Vec<double> v, int n, AddedRow* added = nullptr) {
  double pivot = added != nullptr ? added->pivot : 0.0;
  double below = 0.0;  // v(r+1), final
  for (int r = n; r >= 1; --r) {
    double y = v(r) / f(packed(r, r));
    if (r < n) {
      // L(c, r) down column r: consecutive rows of the packed array are c entries apart.
      y -= f(packed(r + 1, r)) * below;
      for (int c = r + 2, position = packed(r + 2, r); c <= n; position += c, ++c) y -= f(position) * v(c);
    }
    v(r) = y;
    below = y;
    if (added != nullptr) {
      const int c = n + 1 - r;
      const double w = -added->y[c - 1];
      const double factor = w / f(packed(c, c));
      pivot -= w * factor;
      added->w[c - 1] = w;
      added->factors[c - 1] = factor;
      added->partial[c - 1] = pivot;
    }
  }
  if (added != nullptr) added->factors[n] = pivot;
}

// forwardSubstitute for two vectors at once, lane 0 for u and lane 1 for v.
//
// Entries 1..first-1 of both vectors must be +0 and no entry -0 (as in the gradient of a bound row): then every
// row before first stays +0 and every term of a column before first is a zero that leaves its row's value as it
// is, so both are left out.
void forwardSubstitutePair(Vec<const double> f, Vec<double> u, Vec<double> v, int count, int first = 1) {
  int r = first + 1;
  for (; r + 3 <= count; r += 4) {
    const int p0 = packed(r, 0), p1 = packed(r + 1, 0), p2 = packed(r + 2, 0), p3 = packed(r + 3, 0);
    DoublePair y0 = {u(r), v(r)}, y1 = {u(r + 1), v(r + 1)}, y2 = {u(r + 2), v(r + 2)}, y3 = {u(r + 3), v(r + 3)};
    for (int c = first; c < r; ++c) {
      const DoublePair yc = {u(c), v(c)};
      y0 -= f(p0 + c) * yc;
      y1 -= f(p1 + c) * yc;
      y2 -= f(p2 + c) * yc;
      y3 -= f(p3 + c) * yc;
    }
    y1 -= f(p1 + r) * y0;
    y2 -= f(p2 + r) * y0;
    y2 -= f(p2 + r + 1) * y1;
    y3 -= f(p3 + r) * y0;
    y3 -= f(p3 + r + 1) * y1;
    y3 -= f(p3 + r + 2) * y2;
    u(r) = y0[0], v(r) = y0[1];
    u(r + 1) = y1[0], v(r + 1) = y1[1];
    u(r + 2) = y2[0], v(r + 2) = y2[1];
    u(r + 3) = y3[0], v(r + 3) = y3[1];
  }
  for (; r <= count; ++r) {
    const int row = packed(r, 0);
    DoublePair y = {u(r), v(r)};
    for (int c = first; c < r; ++c) y -= f(row + c) * DoublePair{u(c), v(c)};
    u(r) = y[0], v(r) = y[1];
  }
}

// The first position where u or v holds anything but +0, when neither holds a -0 (1 otherwise): where their
// forward substitution may start.
int firstSubstitutedRow(Vec<const double> u, Vec<const double> v, int n) {
  const auto isPlusZero = [](double x) { return x == 0.0 && !std::signbit(x); };
  int first = 0;
  for (int i = 1; i <= n; ++i) {
    if ((u(i) == 0.0 && std::signbit(u(i))) || (v(i) == 0.0 && std::signbit(v(i)))) return 1;
    if (first == 0 && !(isPlusZero(u(i)) && isPlusZero(v(i)))) first = i;
  }
  return first == 0 ? 1 : first;
}

// backSubstitute for two vectors at once, the row below taken from registers (see divideAndBackSubstitute).
void backSubstitutePair(Vec<const double> f, Vec<double> u, Vec<double> v, int n) {
  if (n < 1) return;
  DoublePair below = {u(n), v(n)};
  for (int r = n - 1; r >= 1; --r) {
    DoublePair y = {u(r), v(r)};
    y -= f(packed(r + 1, r)) * below;
    for (int c = r + 2, position = packed(r + 2, r); c <= n; position += c, ++c) {
      y -= f(position) * DoublePair{u(c), v(c)};
    }
    u(r) = y[0], v(r) = y[1];
    below = y;
  }
}

// backSubstitutePair for two pairs of vectors at once: the two chains of dependent subtractions run side by side.
void backSubstituteTwoPairs(Vec<const double> f, Vec<double> u1, Vec<double> v1, Vec<double> u2, Vec<double> v2,
                            int n) {
  if (n < 1) return;
  DoublePair below1 = {u1(n), v1(n)}, below2 = {u2(n), v2(n)};
  for (int r = n - 1; r >= 1; --r) {
    DoublePair y1 = {u1(r), v1(r)}, y2 = {u2(r), v2(r)};
    const double first = f(packed(r + 1, r));
    y1 -= first * below1;
    y2 -= first * below2;
    for (int c = r + 2, position = packed(r + 2, r); c <= n; position += c, ++c) {
      const double l = f(position);
      y1 -= l * DoublePair{u1(c), v1(c)};
      y2 -= l * DoublePair{u2(c), v2(c)};
    }
    u1(r) = y1[0], v1(r) = y1[1];
    u2(r) = y2[0], v2(r) = y2[1];
    below1 = y1;
    below2 = y2;
  }
}

// Solves F u = u and F v = v in place, each exactly as solve() does.
void solvePair(Vec<const double> f, Vec<double> u, Vec<double> v, int n) {
  forwardSubstitutePair(f, u, v, n, firstSubstitutedRow(readOnly(u), readOnly(v), n));
  divideByDiagonal(f, u, n);
  divideByDiagonal(f, v, n);
  backSubstitutePair(f, u, v, n);
}

// The same for two pairs, each pair's forward substitution from its own first row (see forwardSubstitutePair).
void solveTwoPairsPairwise(Vec<const double> f, Vec<double> u1, Vec<double> v1, Vec<double> u2, Vec<double> v2,
                           int n, int first1, int first2) {
  forwardSubstitutePair(f, u1, v1, n, first1);
  forwardSubstitutePair(f, u2, v2, n, first2);
  divideByDiagonal(f, u1, n);
  divideByDiagonal(f, v1, n);
  divideByDiagonal(f, u2, n);
  divideByDiagonal(f, v2, n);
  backSubstituteTwoPairs(f, u1, v1, u2, v2, n);
}

#ifdef KORVEX_WIDE_VECTORS
// Two pairs of up to this many entries are solved as the four lanes of one 256-bit vector.
constexpr int kFourLaneOrder = 128;

// solveTwoPairsPairwise on four lanes, the pair whose first row comes first (the early pair) in lanes 0 and 1, the
// other in lanes 2 and 3. The early pair's rows take their terms of the columns before the late pair's first row on
// their own, two lanes wide; from there on all four lanes run side by side as one solve.
[[gnu::target("avx2")]] void solveTwoPairsWithAvx2(Vec<const double> f, Vec<double> u1, Vec<double> v1,
                                                   Vec<double> u2, Vec<double> v2, int n, int first1, int first2) {
  const bool pairOneEarly = first1 <= first2;
  const Vec<double> lanes[4] = {pairOneEarly ? u1 : u2, pairOneEarly ? v1 : v2, pairOneEarly ? u2 : u1,
                                pairOneEarly ? v2 : v1};
  const int early = std::min(first1, first2), late = std::max(first1, first2);
  double panel[kFourLaneOrder * 4];
  const auto at = [&](int i) { return panel + static_cast<size_t>(i - 1) * 4; };
  for (int i = 1; i <= n; ++i) {
    for (int lane = 0; lane < 4; ++lane) at(i)[lane] = lanes[lane](i);
  }
  for (int r = early + 1; r <= n; ++r) {
    const int row = packed(r, 0);
    DoublePair y = loadPair(at(r));
    for (int c = early, last = std::min(r, late); c < last; ++c) y -= f(row + c) * loadPair(at(c));
    storePair(at(r), y);
  }
  solveSideBySideWith<DoubleQuad, 1>(f, panel, n, late);
  for (int i = 1; i <= n; ++i) {
    for (int lane = 0; lane < 4; ++lane) lanes[lane](i) = at(i)[lane];
  }
}
#endif

// The same for two pairs.
void solveTwoPairs(Vec<const double> f, Vec<double> u1, Vec<double> v1, Vec<double> u2, Vec<double> v2, int n) {
  const int first1 = firstSubstitutedRow(readOnly(u1), readOnly(v1), n);
  const int first2 = firstSubstitutedRow(readOnly(u2), readOnly(v2), n);
#ifdef KORVEX_WIDE_VECTORS
  if (vectorsInUse() != VectorWidth::k128 && n <= kFourLaneOrder) {
    solveTwoPairsWithAvx2(f, u1, v1, u2, v2, n, first1, first2);
    return;
  }
#endif
  solveTwoPairsPairwise(f, u1, v1, u2, v2, n, first1, first2);
}

}  // namespace

namespace {

// Row r, its entries w already forward-substituted: L(r, c) = w_c / D_c and D_r = d - sum of w_c L(r, c). false when
// the pivot is below tinyTol.
bool finishRow(const Context& ctx, Vec<double> f, int r) {
  const int row = packed(r, 0);
  double d = f(row + r);
  for (int c = 1; c <= r - 1; ++c) {
    const double w = f(row + c);
    const double l = w / f(packed(c, c));
    d -= w * l;
    f(row + c) = l;
  }
  f(row + r) = d;
  return !(d < ctx.settings.tinyTol);
}

}  // namespace

// Row r holds w (entries 1..r-1) and d (entry r) of the matrix; it becomes L(r, 1..r-1) and D_r.
bool factorRow(const Context& ctx, Vec<double> f, int r) {
  // w_c -= sum over p < c of L(c, p) w_p: forward substitution with the unit factor of the rows above.
  forwardSubstitute(readOnly(f), f.sub(packed(r, 1), r - 1), r - 1);
  return finishRow(ctx, f, r);
}

bool factorRows(const Context& ctx, Vec<double> f, int first, int last) {
  for (int r = std::max(first, 1); r <= last; ++r) {
    if (!factorRow(ctx, f, r)) return false;
  }
  return true;
}

namespace {

// The factor f of M and what the solver keeps beside it (see Reuse): w, each row forward-substituted before its
// division by the diagonal, the partial sums of each row's pivot, and M unfactored.
struct KeptRows {
  Vec<double> f;
  Vec<double> w;
  Vec<double> pivotSums;
  Vec<const double> m;
};

// Rows r..r+W-1 of row-by-row factoring side by side, W = N K lanes (K doubles per vector of type V), with every
// number of factorRow: false when a pivot is below tinyTol. The rows' entries 1..r-1 are copied into panel (lane q
// of element c at panel[(c-1) W + q], room for (r-1) W doubles; on one vector of eight as much again for the
// factors, and again for the pivots' partial sums when carried) and forward-substituted there with the rows above
// r; each entry c then gives L(r+q, c) = w_c / D_c and its term of D_{r+q} = d - sum of w_c L(r+q, c), and the
// entries r..r+W-2 inside the block take their terms over c < r, all lanes side by side. What is left, the small
// triangle inside the block, goes column by column with the lanes still side by side.
//
// With carried (the rows after a drop at from, f being carried->f), the rows' entries are read from carried->w
// (carried before from, M's from from on), the entries before from are left as they are, and what the rows form is
// kept as factorRowCarrying keeps it.
template <typename V, int N>
[[gnu::always_inline]] inline bool factorRowsSideBySide(Vec<double> f, int r, double tinyTol, double* panel,
                                                        const KeptRows* carried = nullptr, int from = 1) {
  constexpr int W = N * static_cast<int>(sizeof(V) / sizeof(double));
  constexpr bool octets = W == 8 && sizeof(V) == 64;  // one vector of eight: the copies go by 8 x 8 blocks
  const int above = r - 1;
  const Vec<double> source = carried != nullptr ? carried->w : f;
  int copied = 0;
#ifdef KORVEX_WIDE_VECTORS
  if constexpr (octets) {
    for (; copied + 8 <= above; copied += 8) {
      const double* in[8];
      double* to[8];
      for (int q = 0; q < 8; ++q) {
        in[q] = source.data() + packed(r + q, copied + 1) - 1;
        to[q] = panel + static_cast<size_t>((copied + q) * W);
      }
      transposeEight(in, to);
    }
  }
#endif
  for (int q = 0; q < W; ++q) {
    const int row = packed(r + q, 0);
    for (int c = copied + 1; c <= above; ++c) panel[static_cast<size_t>((c - 1) * W + q)] = source(row + c);
  }
  forwardSubstituteSideBySide<V, N>(readOnly(f), panel, above, 1, W, from);
  double lanes[W];
  for (int q = 0; q < W; ++q) {
    const int row = packed(r + q, 0);
    lanes[q] = carried == nullptr ? f(row + r + q)
               : from > 1     ? carried->pivotSums(row + from - 1)
                              : carried->m(row + r + q);
  }
  V d[N];
  loadVectors(d, lanes);
  // L(r+q, c) by c on one vector of eight, then the pivots' partial sums by c when carried.
  double* const factors = octets ? panel + static_cast<size_t>(above * W) : panel;
  double* const partials = octets && carried != nullptr ? factors + static_cast<size_t>(above * W) : panel;
  for (int c = from; c <= above; ++c) {
    const double dc = f(packed(c, c));
    V w[N], l[N];
    loadVectors(w, panel + static_cast<size_t>((c - 1) * W));
    for (int p = 0; p < N; ++p) {
      l[p] = w[p] / dc;
      d[p] -= w[p] * l[p];
    }
    if constexpr (octets) {
      storeVectors(factors + static_cast<size_t>((c - 1) * W), l);
      if (carried != nullptr) storeVectors(partials + static_cast<size_t>((c - 1) * W), d);
    } else {
      storeVectors(lanes, l);
      for (int q = 0; q < W; ++q) f(packed(r + q, c)) = lanes[q];
      if (carried != nullptr) {
        storeVectors(lanes, d);
        for (int q = 0; q < W; ++q) carried->pivotSums(packed(r + q, c)) = lanes[q];
      }
    }
  }
  if constexpr (octets) {  // entry c of row r+q from lane q of element c of an area, for c = from..r-1
    const auto moveOut = [&](const double* area, Vec<double> to) {
      int c = from - 1;
#ifdef KORVEX_WIDE_VECTORS
      for (; c + 8 <= above; c += 8) {
        const double* in[8];
        double* into[8];
        for (int q = 0; q < 8; ++q) {
          in[q] = area + static_cast<size_t>((c + q) * W);
          into[q] = to.data() + packed(r + q, c + 1) - 1;
        }
        transposeEight(in, into);
      }
#endif
      for (; c < above; ++c) {
        for (int q = 0; q < W; ++q) to(packed(r + q, c + 1)) = area[static_cast<size_t>(c * W + q)];
      }
    };
    moveOut(factors, f);
    if (carried != nullptr) {
      moveOut(panel, carried->w);
      moveOut(partials, carried->pivotSums);
    }
  } else if (carried != nullptr) {
    for (int c = from; c <= above; ++c) {
      for (int q = 0; q < W; ++q) carried->w(packed(r + q, c)) = panel[static_cast<size_t>((c - 1) * W + q)];
    }
  }
  // Entry r+e of row r+q (q > e): w - sum over c < r of L(r+e, c) w_c, in lane q of inside[e].
  double inside[W - 1][W];
  for (int e = 0; e < W - 1; ++e) {
    for (int q = 0; q < W; ++q) inside[e][q] = q > e ? source(packed(r + q, r + e)) : 0.0;
  }
  {
    V sums[W - 1][N];
    for (int e = 0; e < W - 1; ++e) loadVectors(sums[e], inside[e]);
    for (int c = 1; c <= above; ++c) {
      V w[N];
      loadVectors(w, panel + static_cast<size_t>((c - 1) * W));
      for (int e = 0; e < W - 1; ++e) {
        const double l = f(packed(r + e, c));
        for (int p = 0; p < N; ++p) sums[e][p] -= l * w[p];
      }
    }
    for (int e = 0; e < W - 1; ++e) storeVectors(inside[e], sums[e]);
  }
  // The small triangle inside the block, column by column with the rows side by side: at step e the pivot of row
  // r+e is complete, and every row r+q below it (lane q > e) forms its entry r+e from the factors of row r+e found
  // at the steps before, then L(r+q, r+e) and that term of its pivot. Each row takes the operations of forming its
  // entries one after the other and then its pivot, in the same order; the lanes of the rows above a step (q <= e)
  // take numbers nothing reads.
  static_assert(N == 1, "one vector of rows");
  V& pivots = d[0];
  V entries[W - 1], factorsBelow[W - 1];  // by step e: lane q holds w_(r+q)(r+e) and L(r+q, r+e)
  // Unrolled, so that every lane is picked out of a register: with the lane number known only at run time, each
  // step's pivot and factors would go through memory, and the steps are one chain.
#pragma GCC unroll 8
  for (int e = 0; e < W; ++e) {
    const double pivot = pivots[e];
    f(packed(r + e, r + e)) = pivot;
    if (pivot < tinyTol) return false;
    if (e == W - 1) break;
    V y;
    std::memcpy(&y, inside[e], sizeof y);
  #pragma GCC unroll 8
    for (int p = 0; p < e; ++p) y -= factorsBelow[p][e] * entries[p];
    const V l = y / pivot;
    pivots -= y * l;
    entries[e] = y;
    factorsBelow[e] = l;
  #pragma GCC unroll 8
    for (int q = e + 1; q < W; ++q) {
      const int row = packed(r + q, 0);
      f(row + r + e) = l[q];
      if (carried != nullptr) {
        carried->w(row + r + e) = y[q];
        carried->pivotSums(row + r + e) = pivots[q];
      }
    }
  }
  return true;
}

// Rows from about this one on are factored side by side while they have at most kSideBySideFactorRows entries
// before the block (the panel lives on the stack).
constexpr int kSideBySideFactorFrom = 17;
constexpr int kSideBySideFactorRows = 128;

#ifdef KORVEX_WIDE_VECTORS

// Rows r..r+7 (AVX-512F) or r..r+3 (AVX2) of the factor after a drop at from, side by side: see
// factorRowsSideBySide.
[[gnu::target("avx512f")]] bool factorEightRowsCarrying(const KeptRows& kept, int r, int from, double tinyTol) {
  double panel[kSideBySideFactorRows * 24];  // the rows' entries, their factors, the pivots' partial sums
  return factorRowsSideBySide<DoubleOctet, 1>(kept.f, r, tinyTol, panel, &kept, from);
}
[[gnu::target("avx2")]] bool factorFourRowsCarrying(const KeptRows& kept, int r, int from, double tinyTol) {
  double panel[kSideBySideFactorRows * 4];
  return factorRowsSideBySide<DoubleQuad, 1>(kept.f, r, tinyTol, panel, &kept, from);
}

// Factors rows r, r+1, ... in blocks side by side while they fit: the first row left, or 0 after a failing pivot.
[[gnu::target("avx2")]] int factorRowsWithAvx2(Vec<double> f, int r, int n, double tinyTol) {
  double panel[kSideBySideFactorRows * 4];
  for (; r + 3 <= n && r - 1 <= kSideBySideFactorRows; r += 4) {
    if (!factorRowsSideBySide<DoubleQuad, 1>(f, r, tinyTol, panel)) return 0;
  }
  return r;
}

[[gnu::target("avx512f")]] int factorRowsWithAvx512(Vec<double> f, int r, int n, double tinyTol) {
  double panel[kSideBySideFactorRows * 16];  // the rows' entries, then their factors
  for (; r + 7 <= n && r - 1 <= kSideBySideFactorRows; r += 8) {
    if (!factorRowsSideBySide<DoubleOctet, 1>(f, r, tinyTol, panel)) return 0;
  }
  for (; r + 3 <= n && r - 1 <= kSideBySideFactorRows; r += 4) {
    if (!factorRowsSideBySide<DoubleQuad, 1>(f, r, tinyTol, panel)) return 0;
  }
  return r;
}
#endif

// Rows r and r+1 of row-by-row factoring: they are forward-substituted side by side with the rows above r, then
// row r is finished, then row r+1 takes its entry r from it.
bool factorTwoRows(const Context& ctx, Vec<double> f, int r) {
  const int row0 = packed(r, 0), row1 = packed(r + 1, 0);
  forwardSubstitutePair(readOnly(f), f.sub(row0 + 1, r - 1), f.sub(row1 + 1, r - 1), r - 1);
  if (!finishRow(ctx, f, r)) return false;
  double w = f(row1 + r);
  for (int p = 1; p < r; ++p) w -= f(row0 + p) * f(row1 + p);
  f(row1 + r) = w;
  return finishRow(ctx, f, r + 1);
}

// factorRows(f, 1, n) two rows at a time, on wide vectors four or eight at a time from about row
// kSideBySideFactorFrom (the rows before it are too short to pay for the panel): the blocks start where whole
// blocks of four reach row n, so that the last rows, the longest, are not left to go two at a time. Every number is
// the one of row-by-row factoring, but after a failing pivot the rows after it in the same block are partly changed
// (the solver then discards the factor).
bool factorAllRows(const Context& ctx, Vec<double> f, int n) {
  int r = 1;
#ifdef KORVEX_WIDE_VECTORS
  const VectorWidth vectors = vectorsInUse();
  if (vectors != VectorWidth::k128 && n >= kSideBySideFactorFrom + 3) {
    const int blocksFrom = n + 1 - (n + 1 - kSideBySideFactorFrom) / 4 * 4;
    if ((blocksFrom - 1) % 2 != 0) {  // an odd number of rows before the blocks: the first goes alone
      if (!factorRow(ctx, f, 1)) return false;
      r = 2;
    }
    for (; r < blocksFrom; r += 2) {
      if (!factorTwoRows(ctx, f, r)) return false;
    }
    r = vectors == VectorWidth::k512 ? factorRowsWithAvx512(f, r, n, ctx.settings.tinyTol)
                                     : factorRowsWithAvx2(f, r, n, ctx.settings.tinyTol);
    if (r == 0) return false;
  }
#endif
  for (; r + 1 <= n; r += 2) {
    if (!factorTwoRows(ctx, f, r)) return false;
  }
  return r > n || factorRow(ctx, f, r);
}

}  // namespace

void solve(Vec<const double> f, Vec<double> v, int n) {
  forwardSubstitute(f, v, n);
  divideAndBackSubstitute(f, v, n);
}

bool factorHessian(const Context& ctx, int n, Mat<const double> h, Vec<double> hfac, bool factorIsScratch) {
  for (int r = 1; r <= n; ++r) {
    for (int c = 1; c <= r; ++c) hfac(packed(r, c)) = h(c, r);
  }
  return factorIsScratch ? factorAllRows(ctx, hfac, n) : factorRows(ctx, hfac, 1, n);
}

bool start(const Context& ctx, int n, Mat<const double> h, Vec<double> hfac, Vec<const double> g, Vec<double> x,
           bool factorIsScratch) {
  if (!factorHessian(ctx, n, h, hfac, factorIsScratch)) return false;
  for (int i = 1; i <= n; ++i) x(i) = -g(i);
  solve(readOnly(hfac), x, n);
  return true;
}

namespace {

// C(k) = -b_k + sum over i of A(i, k) x_i for the general rows k = rowAt(0..count-1), each added up in increasing
// i: the rows with a pattern alone, the others four side by side.
template <typename RowAt>
void generalRowValues(const Rows& rows, Vec<const double> bc, Vec<const double> x, Vec<double> c, int count,
                      RowAt rowAt) {
  const int n = rows.n();
  const Mat<const double> a = rows.a();
  const bool xFinite = count > 0 && rows.hasPatterns() && allFinite(x, n);
  int group[4];
  int waiting = 0;
  for (int q = 0; q < count; ++q) {
    const int k = rowAt(q);
    const double start = -bc(k);
    if (rows.sumsByPattern(k, start, xFinite)) {
      c(k) = rows.generalValue(k, start, x, true);
      continue;
    }
    group[waiting++] = k;
    if (waiting < 4) continue;
    double v0 = -bc(group[0]), v1 = -bc(group[1]), v2 = -bc(group[2]), v3 = -bc(group[3]);
    for (int i = 1; i <= n; ++i) {
      const double xi = x(i);
      v0 += a(i, group[0]) * xi;
      v1 += a(i, group[1]) * xi;
      v2 += a(i, group[2]) * xi;
      v3 += a(i, group[3]) * xi;
    }
    c(group[0]) = v0;
    c(group[1]) = v1;
    c(group[2]) = v2;
    c(group[3]) = v3;
    waiting = 0;
  }
  for (int q = 0; q < waiting; ++q) c(group[q]) = rows.generalValue(group[q], -bc(group[q]), x, false);
}

// Each equality's mirror row value -c. (A mirror row is passed over exactly when its equality row is, so after a
// step that formed only the rows not passed over, the mirrors of the others take old values, which nothing reads.)
void mirrorRowValues(const Rows& rows, Vec<double> c) {
  const int equalities = rows.nc() - rows.nineq();
  if (equalities <= 0) return;
  negateInto(c.sub(rows.nineq() + 1, equalities).data(), c.sub(rows.nc() + rows.nb() + 1, equalities).data(),
             equalities);
}

// The most violated row j that passed(j) does not pass over; see mostViolated(). A row takes first place only with
// a strictly greater value, and second place likewise, so that on equal values the first row found keeps its place.
// Without a runner-up a row needs a value above the first place to count at all. Rows are looked at four at a time
// first: a block where no value exceeds the threshold changes nothing, and most blocks are such.
template <typename Passed>
int mostViolatedRow(double tiny, int total, Vec<const double> c, Passed passed, int* runnerUp) {
  int kv = 0, second = 0;
  double worst = tiny, secondWorst = tiny;
  const double& threshold = runnerUp != nullptr ? secondWorst : worst;
  const auto consider = [&](int j) {
    const double value = c(j);
    if (!(value > threshold) || passed(j)) return;
    if (value > worst) {
      second = kv;
      secondWorst = worst;
      kv = j;
      worst = value;
    } else {
      second = j;
      secondWorst = value;
    }
  };
  int j = 1;
  for (; j + 3 <= total; j += 4) {
    const double limit = threshold;
    const int above = int{c(j) > limit} | int{c(j + 1) > limit} | int{c(j + 2) > limit} | int{c(j + 3) > limit};
    if (above == 0) continue;
    for (int q = 0; q < 4; ++q) consider(j + q);
  }
  for (; j <= total; ++j) consider(j);
  if (runnerUp != nullptr) *runnerUp = second;
  return kv;
}

// mostViolatedRow() without a runner-up, the rows passed over left out by adding -infinity to their values (such a
// value is never above tinyTol, nor is a NaN): the first row of the greatest value.
int mostViolatedShifted(double tiny, int total, Vec<const double> c, const double* shift) {
  if (total <= 0) return 0;
  return firstGreatestShifted(tiny, c.sub(1, total).data(), shift + 1, total) + 1;
}

}  // namespace

void Rows::boundValues(Vec<const double> x, Vec<const double> xl, Vec<const double> xu, Vec<double> c) const {
  if (!tabled_) {
    int row = nc_;
    for (int i = 1; i <= n_; ++i) {
      const int type = itype_(i);
      if (hasUpperRow(type) && row < nc_ + nb_) c(++row) = x(i) - xu(i);
      if (hasLowerRow(type) && row < nc_ + nb_) c(++row) = xl(i) - x(i);
    }
    return;
  }
  if (everyVariableBoxed_) {
    if (n_ > 0) {
      boxedBoundValues(x.sub(1, n_).data(), xl.sub(1, n_).data(), xu.sub(1, n_).data(), n_, c.sub(nc_ + 1, nb_).data());
    }
    return;
  }
  for (int r = 1; r <= nb_; ++r) {
    const int entry = boundVariable_[static_cast<size_t>(r - 1)];
    if (entry > 0) c(nc_ + r) = x(entry) - xu(entry);
    if (entry < 0) c(nc_ + r) = xl(-entry) - x(-entry);
  }
}

void rowValues(const Rows& rows, Vec<const double> bc, Vec<const double> x, Vec<const double> xl,
               Vec<const double> xu, Vec<double> c) {
  generalRowValues(rows, bc, x, c, rows.nc(), [](int q) { return q + 1; });
  rows.boundValues(x, xl, xu, c);
  mirrorRowValues(rows, c);
}

PassedOver::PassedOver(const Rows& rows, const int& nact, Vec<const int> iact)
    : rows_(rows), nact_(nact), iact_(iact), marked_(rows.total() <= kMarkedRows) {
  if (!marked_) return;
  std::fill_n(mark_.begin(), rows.total() + 1, 0);
  std::fill_n(shift_.begin(), rows.total() + 1, 0.0);
  openCount_ = rows.nc();
  for (int k = 1; k <= rows.nc(); ++k) {
    open_[static_cast<size_t>(k - 1)] = k;
    openPlace_[static_cast<size_t>(k)] = k - 1;
  }
  for (int k = 1; k <= nact; ++k) add(iact(k));
}

void PassedOver::change(int j, int by) {
  if (!marked_ || j < 1 || j > rows_.total()) return;
  const auto mark = [&](int row) {
    const size_t at = static_cast<size_t>(row);
    const bool wasOpen = mark_[at] == 0;
    mark_[at] = static_cast<unsigned char>(mark_[at] + by);
    const bool open = mark_[at] == 0;
    shift_[at] = open ? 0.0 : -std::numeric_limits<double>::infinity();
    if (row > rows_.nc() || open == wasOpen) return;
    if (open) {  // a general row opened again goes to the end of the list
      openPlace_[at] = openCount_;
      open_[static_cast<size_t>(openCount_++)] = row;
    } else {  // the last row of the list takes its place
      const int place = openPlace_[at];
      const int last = open_[static_cast<size_t>(--openCount_)];
      open_[static_cast<size_t>(place)] = last;
      openPlace_[static_cast<size_t>(last)] = place;
    }
  };
  mark(j);
  if (rows_.isMirror(j)) mark(rows_.equalityOf(j));
  if (rows_.isEquality(j)) mark(rows_.mirrorOf(j));
}

bool PassedOver::lookUp(int j) const {
  const auto active = [&](int row) {
    for (int k = 1; k <= nact_; ++k) {
      if (iact_(k) == row) return true;
    }
    return false;
  };
  return active(j) || (rows_.isMirror(j) && active(rows_.equalityOf(j))) ||
         (rows_.isEquality(j) && active(rows_.mirrorOf(j)));
}

int mostViolated(const Context& ctx, const Rows& rows, Vec<const double> c, const PassedOver& passedOver,
                 int* runnerUp) {
  const double tiny = ctx.settings.tinyTol;
  if (!passedOver.marked()) {
    return mostViolatedRow(tiny, rows.total(), c, [&](int j) { return passedOver.test(j); }, runnerUp);
  }
  if (runnerUp == nullptr) return mostViolatedShifted(tiny, rows.total(), c, passedOver.shifts());
  const unsigned char* const mark = passedOver.marks();
  return mostViolatedRow(tiny, rows.total(), c, [mark](int j) { return mark[j] != 0; }, runnerUp);
}

int mostViolated(const Context& ctx, const Rows& rows, Vec<const double> c, int nact, Vec<const int> iact,
                 int* runnerUp) {
  return mostViolated(ctx, rows, c, PassedOver(rows, nact, iact), runnerUp);
}

int rowValuesAndMostViolated(const Context& ctx, const Rows& rows, Vec<const double> bc, Vec<const double> x,
                             Vec<const double> xl, Vec<const double> xu, Vec<double> c,
                             const PassedOver& passedOver, int* runnerUp) {
  if (!passedOver.marked()) {
    rowValues(rows, bc, x, xl, xu, c);
  } else {
    const int* const open = passedOver.openGeneralRows();
    generalRowValues(rows, bc, x, c, passedOver.openGeneralCount(), [open](int q) { return open[q]; });
    rows.boundValues(x, xl, xu, c);
    mirrorRowValues(rows, c);
  }
  return mostViolated(ctx, rows, readOnly(c), passedOver, runnerUp);
}

StepChoice stepLength(const Context& ctx, const Rows& rows, Vec<const double> c, int kv, int nact, double znorm,
                      Vec<const double> z, Vec<const double> xlag, Vec<const double> r, bool zFinite) {
  const Settings& settings = ctx.settings;
  const double tiny = settings.tinyTol;
  // Partial step: the first active multiplier to reach zero (the later one on equal ratios), that is the last
  // position whose ratio equals the least ratio, which gives that ratio's own bits (of +0 and -0, the later one).
  double partial = settings.bigValue;
  const int drop = nact > 0 ? lastLeastRatio(tiny, r.sub(1, nact).data(), xlag.sub(1, nact).data(), nact, partial) + 1
                            : 0;
  // Full step: row kv reaches zero along z.
  double full = settings.bigValue;
  int add = 0;
  if (znorm > tiny) {
    const double slope = rows.dot(kv, z, zFinite);
    if (std::fabs(slope) > tiny) {
      full = -c(kv) / slope;
      add = nact + 1;
    }
  }
  StepChoice step{full, add, 0};
  if (!(full <= partial)) step = {partial, drop, 0};
  if (step.idx != 0) step.kind = add == 0 ? kDropOnly : (step.idx == add ? kStepAndAdd : kStepAndDrop);
  return step;
}

void takeStep(int nact, Vec<double> xlag, double& uplus, Vec<const double> r, int n, Vec<double> x,
              Vec<const double> z, double t, int kind) {
  // v(i) + t w(i) in increasing i, side by side unless w starts just before v in the same array (then v(i) reads
  // the w(i) an earlier v has just become).
  const auto move = [t](Vec<double> v, Vec<const double> w, int count) {
    if (count <= 0) return;
    const auto at = [](const double* p) { return reinterpret_cast<std::uintptr_t>(p); };
    double* const to = v.sub(1, count).data();
    const double* const from = w.sub(1, count).data();
    if (at(from) < at(to) && at(from + count) > at(to)) {
      for (int i = 0; i < count; ++i) to[i] = to[i] + t * from[i];
    } else {
      addScaled(to, t, from, count);
    }
  };
  move(xlag, r, nact);
  uplus = uplus + t;
  if (kind >= kStepAndDrop) move(x, z, n);
}

namespace {

// After a drop at k, rows k..nact of M kept unfactored become the rows after them without their entry k. With the
// substituted rows kept, each row also takes its entries before k of w, of the factor and of the pivot's partial
// sums from the row below (they do not change, see factorRowCarrying), and its entries k..r-1 of w from its new row
// of M, to be forward-substituted. Rows go down in increasing order, each read before it is written. The pieces are
// short and of every length: the C library's block move, which takes each length with few branches, moves them
// faster than a loop of vectors and their tail.
void moveRowsDown(Vec<double> m, const KeptRows* kept, int k, int nact) {
  const auto down = [](Vec<double> v, int first, int count, int to) {
    if (count > 0) {
      std::memmove(v.sub(to, count).data(), v.sub(first, count).data(), sizeof(double) * static_cast<size_t>(count));
    }
  };
  for (int r = k; r <= nact; ++r) {
    const int row = packed(r, 0), below = packed(r + 1, 0);
    down(m, below + 1, k - 1, row + 1);
    down(m, below + k + 1, r + 1 - k, row + k);
    if (kept == nullptr) continue;
    down(kept->w, below + 1, k - 1, row + 1);
    down(kept->f, below + 1, k - 1, row + 1);
    down(kept->pivotSums, below + 1, k - 1, row + 1);
    std::copy_n(m.sub(row + k, r - k).data(), r - k, kept->w.sub(row + k, r - k).data());
  }
}

// Row r, its entries w(1..r-1) forward-substituted and its factors before from carried: L(r, c) = w_c / D_c from
// from on and the pivot D_r = M(r, r) - sum of w_c L(r, c), every term in increasing c, each partial sum kept. The
// partial sums before start are those the row already holds (the row it was before a drop at start formed them
// from the same terms). false when the pivot is below tinyTol.
bool finishRowCarrying(const Context& ctx, const KeptRows& kept, int r, int from, int start) {
  const Vec<double> f = kept.f, partial = kept.pivotSums;
  const Vec<const double> w = readOnly(kept.w);
  const int row = packed(r, 0);
  double d = start > 1 ? partial(row + start - 1) : kept.m(row + r);
  for (int c = start; c < r; ++c) {
    const double wc = w(row + c);
    const double l = c < from ? f(row + c) : wc / f(packed(c, c));
    d -= wc * l;
    f(row + c) = l;
    partial(row + c) = d;
  }
  f(row + r) = d;
  return !(d < ctx.settings.tinyTol);
}

// Row r of the factor of M from row r of m, M unfactored, keeping w, the row forward-substituted before its division
// by the diagonal, in the packed array of the same name. The row holds in w its entries from..r-1 of M and before
// them what it carried over after a drop at from (see moveRowsDown): rows of the factor before from do not change,
// so neither do those entries' substituted values, their factors nor the pivot's partial sums. The others are
// formed as factorRow forms them, and the pivot d = M(r, r) - sum of w_c L(r, c) takes every term in increasing c.
bool factorRowCarrying(const Context& ctx, const KeptRows& kept, int r, int from) {
  const int row = packed(r, 0);
  forwardSubstitute(readOnly(kept.f), kept.w.sub(row + 1, r - 1), r - 1, from);
  return finishRowCarrying(ctx, kept, r, from, from);
}

// Rows factored side by side after a drop on the vectors in use: 8 on AVX-512F, 4 on AVX2, 0 without either.
int carriedBlockRows() {
#ifdef KORVEX_WIDE_VECTORS
  switch (vectorsInUse()) {
    case VectorWidth::k512: return 8;
    case VectorWidth::k256: return 4;
    default: break;
  }
#endif
  return 0;
}

// factorRowCarrying for rows r..r+count-1 after a drop at from <= r (count from carriedBlockRows()), all factored side
// by side (see factorRowsSideBySide). Every number is the one of count calls in turn, but after a failing pivot the
// rows after it are partly changed (the solver then gives up the factor).
bool factorBlockCarrying(const Context& ctx, const KeptRows& kept, int r, int from, int count) {
#ifdef KORVEX_WIDE_VECTORS
  if (count == 8) return factorEightRowsCarrying(kept, r, from, ctx.settings.tinyTol);
  if (count == 4) return factorFourRowsCarrying(kept, r, from, ctx.settings.tinyTol);
#endif
  return false;
}

// factorRowCarrying for rows r and r+1 after a drop at from <= r: the entries from..r-1 of both rows are
// forward-substituted side by side (they need only the rows of the factor above r), then row r is finished, then row
// r+1 takes its entry r from it. Every number is the one of two calls in turn, but after a failing pivot of row r,
// row r+1 is partly changed (the solver then gives up the factor).
bool factorTwoRowsCarrying(const Context& ctx, const KeptRows& kept, int r, int from) {
  const int row0 = packed(r, 0), row1 = packed(r + 1, 0);
  forwardSubstituteTwo(readOnly(kept.f), kept.w.sub(row0 + 1, r - 1), kept.w.sub(row1 + 1, r - 1), r - 1, from);
  if (!finishRowCarrying(ctx, kept, r, from, from)) return false;
  forwardSubstitute(readOnly(kept.f), kept.w.sub(row1 + 1, r), r, r);
  return finishRowCarrying(ctx, kept, r + 1, from, from);
}

// Row r of M, M(r, c) = n_IACT(c)' H^-1 n_IACT(r) for c = 1..r, into out(1..r); on the addition of row IACT(r) from
// the direction's sums when they belong to it.
void formActiveRow(const Rows& rows, Vec<const int> iact, Mat<const double> hinvn, int r, const Reuse* reuse,
                   Vec<double> out) {
  const Vec<const double> column = readOnly(hinvn.column(r));
  if (reuse == nullptr || reuse->sumRow != iact(r) || reuse->sumCount != r - 1) {
    rows.dots(iact, r, column, out);
    return;
  }
  for (int c = 1; c < r; ++c) {
    const double sum = reuse->sums(c);
    out(c) = hasSign(sum) ? -sum : rows.dot(iact(c), column);
  }
  out(r) = rows.dot(iact(r), column);
}

// The reuse, when adding row kv at position r right after its direction may take the direction's forward-substituted
// sums, negated, as the new row of the factor forward-substituted (see Reuse); nullptr otherwise.
const Reuse* negatableSubstitutedSums(const Reuse* reuse, int kv, int r) {
  const bool negatable = reuse != nullptr && reuse->sumRow == kv && reuse->sumCount == r - 1 && reuse->sumsNegatable;
  return negatable ? reuse : nullptr;
}

}  // namespace

bool addOrDrop(Context& ctx, const Rows& rows, int& nact, Vec<int> iact, Vec<double> xlag, Vec<double> actmat,
               Mat<double> hinvn, Vec<const double> hfac, int k, int kv, double uplus, Reuse* reuse) {
  const int n = rows.n();
  const bool keepsUnfactored = reuse != nullptr && reuse->unfactored.length() > 0;
  // With the substituted rows kept, a row after a dropped one carries its entries before k over from the row below.
  const bool keepsSubstituted = keepsUnfactored && reuse->substituted.length() > 0 &&
                                reuse->pivotSums.length() == reuse->substituted.length();
  const KeptRows kept = keepsSubstituted ? KeptRows{actmat, reuse->substituted, reuse->pivotSums,
                                                    readOnly(reuse->unfactored)}
                                         : KeptRows{};
  const bool dropped = k <= nact;
  const Reuse* added = nullptr;  // the reuse when the added row comes from its direction's sums
  // The addition of kv formed by its direction: its column, its rows of M, of the factor, w and the partial sums.
  const bool formed = reuse != nullptr && k > nact && reuse->formedRow == kv;
  if (reuse != nullptr) reuse->formedRow = 0;
  if (k > nact) {
    if (nact >= n) {
      reportFailure(ctx, kTooManyActive);
      return false;
    }
    ++nact;
    xlag(nact) = uplus;
    iact(nact) = kv;
    if (formed) {
      reuse->solves->noteFetched(rows, kv, 1.0);
    } else if (reuse != nullptr && reuse->solves != nullptr) {
      reuse->solves->fetch(rows, kv, 1.0, hinvn.column(nact));
    } else if (reuse != nullptr && reuse->row == kv && reuse->plus != 0) {
      if (reuse->plus != nact) {
        for (int i = 1; i <= n; ++i) hinvn(i, nact) = hinvn(i, reuse->plus);
      }
    } else {
      rows.gradient(kv, 1.0, hinvn.column(nact));
      solve(hfac, hinvn.column(nact), n);
    }
    if (!formed) {
      const Vec<double> row = keepsUnfactored ? reuse->unfactored.sub(packed(nact, 1), nact)
                                              : actmat.sub(packed(nact, 1), nact);
      formActiveRow(rows, readOnly(iact), readOnly(hinvn), nact, reuse, row);
      added = negatableSubstitutedSums(reuse, kv, nact);
    }
    if (reuse != nullptr) {
      reuse->row = reuse->plus = reuse->minus = 0;
      reuse->sumRow = 0;
    }
    k = nact;  // a position beyond nact + 1 reads as nact + 1
  } else {
    if (reuse != nullptr) {  // the direction's sums of the rows left, and y before position k, are kept
      const bool kept = reuse->sumRow == kv && reuse->sumCount == nact && reuse->sums.length() >= nact;
      for (int p = k; kept && p < nact; ++p) reuse->sums(p) = reuse->sums(p + 1);
      reuse->sumCount = kept ? nact - 1 : 0;
      reuse->keptPrefix = kept ? k - 1 : -1;
    }
    --nact;
    for (int p = k; p <= nact; ++p) {
      iact(p) = iact(p + 1);
      xlag(p) = xlag(p + 1);
    }
    // Columns k+1..nact+1 of HINVN one column to the left; with no rows below n in a column they are one block.
    if (hinvn.ld() == n && k <= nact) {
      const double* const from = hinvn.column(k + 1).data();
      std::copy(from, from + static_cast<size_t>(nact - k + 1) * static_cast<size_t>(n), hinvn.column(k).data());
    } else {
      for (int p = k; p <= nact; ++p) {
        for (int i = 1; i <= n; ++i) hinvn(i, p) = hinvn(i, p + 1);
      }
    }
    // Rows k..nact of M from scratch, M(r, c) = n_IACT(c)' H^-1 n_IACT(r), or, when M is kept, as the rows after
    // the dropped one without their entry k.
    if (keepsUnfactored) {
      moveRowsDown(reuse->unfactored, keepsSubstituted ? &kept : nullptr, k, nact);
    } else {
      for (int r = k; r <= nact; ++r) {
        rows.dots(readOnly(iact), r, readOnly(hinvn.column(r)), actmat.sub(packed(r, 1), r));
      }
    }
  }
  if (formed) {  // the added row is in place: its pivot is tested as finishing it would
    if (actmat(packed(nact, nact)) < ctx.settings.tinyTol) {
      reportFailure(ctx, kNonPositiveActiveMatrix);
      return false;
    }
    return true;
  }
  // Rows k..nact refactored; earlier rows keep their factors.
  const int carried = dropped ? k : 1;
  const int blockRows = keepsSubstituted && dropped ? carriedBlockRows() : 0;
  for (int r = k; r <= nact; ++r) {
    if (blockRows > 0 && r + blockRows - 1 <= nact && r - 1 <= kSideBySideFactorRows) {
      if (!factorBlockCarrying(ctx, kept, r, carried, blockRows)) {
        reportFailure(ctx, kNonPositiveActiveMatrix);
        return false;
      }
      r += blockRows - 1;
      continue;
    }
    if (keepsSubstituted && dropped && r + 1 <= nact) {
      if (!factorTwoRowsCarrying(ctx, kept, r, carried)) {
        reportFailure(ctx, kNonPositiveActiveMatrix);
        return false;
      }
      ++r;
      continue;
    }
    if (keepsSubstituted) {
      if (!dropped) {  // an added row's entries of M go to w to be forward-substituted
        const int row = packed(r, 0);
        std::copy_n(kept.m.sub(row + 1, r - 1).data(), r - 1, kept.w.sub(row + 1, r - 1).data());
      }
      if (!factorRowCarrying(ctx, kept, r, carried)) {
        reportFailure(ctx, kNonPositiveActiveMatrix);
        return false;
      }
      continue;
    }
    if (keepsUnfactored) {
      for (int c = 1; c <= r; ++c) actmat(packed(r, c)) = reuse->unfactored(packed(r, c));
    }
    if (added != nullptr) {
      for (int c = 1; c < r; ++c) actmat(packed(r, c)) = -added->substitutedSums[static_cast<size_t>(c - 1)];
    }
    if (!(added != nullptr ? finishRow(ctx, actmat, r) : factorRow(ctx, actmat, r))) {
      reportFailure(ctx, kNonPositiveActiveMatrix);
      return false;
    }
  }
  return true;
}

namespace {

// Elements i.. of z, B vectors of V side by side (V may be a plain double) while B K are left: each z(i) takes all
// nact terms, z(i) -= h(i, k) r(k) in increasing k, and is then final: its square joins sum, in increasing i.
template <typename V, int B>
[[gnu::always_inline]] inline void subtractColumnsAndSquareBlocks(double* z, const double* h, size_t ld,
                                                                  const double* r, int nact, int& i, int n,
                                                                  double& sum) {
  constexpr int K = static_cast<int>(sizeof(V) / sizeof(double));
  for (; i + B * K <= n; i += B * K) {
    V y[B];
    for (int b = 0; b < B; ++b) std::memcpy(&y[b], z + i + b * K, sizeof(V));
    for (int k = 0; k < nact; ++k) {
      const double rk = r[k];
      const double* const column = h + static_cast<size_t>(k) * ld + i;
      for (int b = 0; b < B; ++b) {
        V c;
        std::memcpy(&c, column + b * K, sizeof c);
        y[b] = y[b] - c * rk;
      }
    }
    for (int b = 0; b < B; ++b) {
      std::memcpy(z + i + b * K, &y[b], sizeof(V));
      const V squares = y[b] * y[b];
      double lanes[K];
      std::memcpy(lanes, &squares, sizeof squares);
      for (int lane = 0; lane < K; ++lane) sum += lanes[lane];
    }
  }
}

// z(i) -= h(i, k) r(k) for k = 1..nact (h column-major, ld apart), each z(i) taking its terms in increasing k, then
// the sum of z(i)^2 in increasing i. The elements go by blocks of two vectors of type V (then one, then two
// elements, then one), each block taking every column before the next: the first elements are final early, so the
// chain of n dependent additions of the squares starts while the later blocks are still being formed.
template <typename V>
[[gnu::always_inline]] inline double subtractColumnsAndSquareWith(double* z, const double* h, size_t ld,
                                                                  const double* r, int n, int nact) {
  constexpr int K = static_cast<int>(sizeof(V) / sizeof(double));
  double sum = 0.0;
  int i = 0;
  subtractColumnsAndSquareBlocks<V, 2>(z, h, ld, r, nact, i, n, sum);
  subtractColumnsAndSquareBlocks<V, 1>(z, h, ld, r, nact, i, n, sum);
  if constexpr (K > 2) subtractColumnsAndSquareBlocks<DoublePair, 1>(z, h, ld, r, nact, i, n, sum);
  subtractColumnsAndSquareBlocks<double, 1>(z, h, ld, r, nact, i, n, sum);
  return sum;
}

#ifdef KORVEX_WIDE_VECTORS
[[gnu::target("avx2")]] double subtractColumnsAndSquareWithAvx2(double* z, const double* h, size_t ld,
                                                                const double* r, int n, int nact) {
  return subtractColumnsAndSquareWith<DoubleQuad>(z, h, ld, r, n, nact);
}
[[gnu::target("avx512f")]] double subtractColumnsAndSquareWithAvx512(double* z, const double* h, size_t ld,
                                                                    const double* r, int n, int nact) {
  return subtractColumnsAndSquareWith<DoubleOctet>(z, h, ld, r, n, nact);
}
#endif

double subtractColumnsAndSquare(double* z, const double* h, size_t ld, const double* r, int n, int nact) {
#ifdef KORVEX_WIDE_VECTORS
  switch (vectorsInUse()) {
    case VectorWidth::k512: return subtractColumnsAndSquareWithAvx512(z, h, ld, r, n, nact);
    case VectorWidth::k256: return subtractColumnsAndSquareWithAvx2(z, h, ld, r, n, nact);
    default: break;
  }
#endif
  return subtractColumnsAndSquareWith<DoublePair>(z, h, ld, r, n, nact);
}

// Where adding row kv at position nact+1 puts what it forms: the factor of M and HINVN themselves.
struct AdditionPlace {
  Vec<double> actmat;
  Mat<double> hinvn;
};

// The addition of kv at a = nact+1 as addOrDrop would form it, the sums negatable and the row solves kept: the column
// H^-1 n_kv into HINVN, the row of M (the sums negated, then n_kv' H^-1 n_kv), and where the back substitution is to
// put the row's factors, pivot and partial sums.
AddedRow formAddition(const Rows& rows, int nact, int kv, const Reuse& reuse, const AdditionPlace& place) {
  const int a = nact + 1, row = packed(a, 0);
  const Vec<double> column = place.hinvn.column(a);
  reuse.solves->copySolve(rows, kv, 1.0, column);
  const Vec<double> m = reuse.unfactored.sub(row + 1, a);
  for (int c = 1; c <= nact; ++c) m(c) = -reuse.sums(c);
  m(a) = rows.dot(kv, readOnly(column));
  return {reuse.substitutedSums.data(), reuse.substituted.sub(row + 1, nact).data(),
          place.actmat.sub(row + 1, a).data(), reuse.pivotSums.sub(row + 1, nact).data(), m(a)};
}

// From z = -H^-1 n_kv: r(1..nact) = -M^-1 N' H^-1 n_kv, then z -= HINVN r, which leaves N'z = 0. Returns |z|.
// With the solver's reuse the sums N'z are kept before they are solved, and with the place of the addition and
// the row solves the addition of kv is formed while r is (see Reuse).
double projectDirection(const Rows& rows, int nact, Vec<const int> iact, Vec<double> z, Vec<double> r,
                        Vec<const double> actmat, Mat<const double> hinvn, int kv, Reuse* reuse,
                        const AdditionPlace* place = nullptr) {
  const int n = rows.n();
  if (reuse != nullptr) reuse->formedRow = 0;
  const bool keepsSums = reuse != nullptr && reuse->sums.length() >= nact && nact <= Reuse::kMaxOrder;
  // After a drop, the sums kept for kv and y before the dropped position.
  const int keptPrefix = keepsSums && reuse->sumRow == kv && reuse->sumCount == nact ? reuse->keptPrefix : -1;
  if (reuse != nullptr) reuse->keptPrefix = -1;
  if (keptPrefix >= 0) {
    for (int k = 1; k <= nact; ++k) r(k) = k <= keptPrefix ? reuse->substitutedSums[static_cast<size_t>(k - 1)]
                                                           : reuse->sums(k);
  } else {
    rows.dots(iact, nact, readOnly(z), r);
    if (keepsSums) {
      for (int k = 1; k <= nact; ++k) reuse->sums(k) = r(k);
      reuse->sumRow = kv;
      reuse->sumCount = nact;
    }
  }
  // solve(actmat, r, nact), keeping the sums forward-substituted and, when adding kv may take them, forming the
  // addition.
  forwardSubstitute(actmat, r, nact, std::max(keptPrefix + 1, 2));
  AddedRow added{};
  AddedRow* formed = nullptr;
  if (keepsSums) {
    // Negatable: every number has a sign (tested without a branch on each element).
    const double* const y = r.sub(1, nact).data();
    const double* const sums = reuse->sums.sub(1, nact).data();
    bool negatable = true;
    for (int k = 0; k < nact; ++k) {
      reuse->substitutedSums[static_cast<size_t>(k)] = y[k];
      negatable &= hasSign(y[k]);
      negatable &= hasSign(sums[k]);
    }
    reuse->sumsNegatable = negatable;
    if (negatable && place != nullptr && reuse->solves != nullptr && reuse->substituted.length() > 0 && nact < n) {
      added = formAddition(rows, nact, kv, *reuse, *place);
      formed = &added;
      reuse->formedRow = kv;
    }
  }
  divideAndBackSubstitute(actmat, r, nact, formed);
  // z -= HINVN r, which leaves N'z = 0, and |z|^2.
  const double sum = subtractColumnsAndSquare(z.data(), hinvn.data(), static_cast<size_t>(hinvn.ld()), r.data(), n,
                                              nact);
  return sum > 0.0 ? std::sqrt(sum) : 0.0;
}

}  // namespace

double direction(const Rows& rows, int nact, Vec<const int> iact, Vec<double> z, Vec<double> r,
                 Vec<const double> actmat, Mat<const double> hinvn, Vec<const double> hfac, int kv) {
  rows.gradient(kv, -1.0, z);
  solve(hfac, z, rows.n());
  return projectDirection(rows, nact, iact, z, r, actmat, hinvn, kv, nullptr);
}

double directionReusing(const Rows& rows, int nact, Vec<const int> iact, Vec<double> z, Vec<double> r,
                        Vec<double> actmat, Mat<double> hinvn, Vec<const double> hfac, int kv, Reuse& reuse) {
  const int n = rows.n();
  if (reuse.solves != nullptr) {
    reuse.solves->fetch(rows, kv, -1.0, z);
    const AdditionPlace place{actmat, hinvn};
    return projectDirection(rows, nact, iact, z, r, readOnly(actmat), readOnly(hinvn), kv, &reuse, &place);
  }
  if (reuse.solvesPairs && reuse.row != kv && reuse.spareRow == kv) {  // the runner-up of an earlier row
    reuse.row = kv;
    reuse.plus = reuse.sparePlus;
    reuse.minus = reuse.spareMinus;
    reuse.spareRow = reuse.sparePlus = reuse.spareMinus = 0;
  }
  if (reuse.solvesPairs && reuse.row == kv && reuse.minus != 0) {
    for (int i = 1; i <= n; ++i) z(i) = hinvn(i, reuse.minus);
  } else if (reuse.solvesPairs && reuse.row != kv && nact < n) {
    reuse.row = kv;
    reuse.plus = nact + 1;
    reuse.minus = nact + 2 <= n ? nact + 2 : 0;
    reuse.spareRow = reuse.sparePlus = reuse.spareMinus = 0;  // the columns after the active ones are taken anew
    rows.gradient(kv, -1.0, z);
    rows.gradient(kv, 1.0, hinvn.column(reuse.plus));
    if (reuse.runnerUp != 0 && nact + 4 <= n) {
      reuse.spareRow = reuse.runnerUp;
      reuse.sparePlus = nact + 3;
      reuse.spareMinus = nact + 4;
      rows.gradient(reuse.spareRow, 1.0, hinvn.column(reuse.sparePlus));
      rows.gradient(reuse.spareRow, -1.0, hinvn.column(reuse.spareMinus));
      solveTwoPairs(hfac, hinvn.column(reuse.plus), z, hinvn.column(reuse.sparePlus), hinvn.column(reuse.spareMinus),
                    n);
    } else {
      solvePair(hfac, hinvn.column(reuse.plus), z, n);
    }
    if (reuse.minus != 0) {
      for (int i = 1; i <= n; ++i) hinvn(i, reuse.minus) = z(i);
    }
  } else {
    if (reuse.row != kv) reuse.row = reuse.plus = reuse.minus = 0;  // no free column: nothing is kept
    rows.gradient(kv, -1.0, z);
    solve(hfac, z, n);
  }
  return projectDirection(rows, nact, iact, z, r, readOnly(actmat), readOnly(hinvn), kv, &reuse);
}

}  // namespace korvex::qp
