#include "qp/row_solves.h"

#include <algorithm>
#include <bitset>
#include <cmath>


namespace korvex::qp {

namespace {

// F y = v in place for the packed factor f of order n, for 2P right-hand sides held side by side (element i of pair
// p at v[(i-1) stride + p]), each lane with the operations of solve(): forward substitution with the unit factor
// (terms in increasing column), division by the diagonal, back substitution (terms in increasing row). Rows before
// first are +0 in every lane and no lane holds a -0, so those rows stay +0 and their terms change nothing.
template <int P>
void solveSideBySide(Vec<const double> f, double* v, int stride, int n, int first) {
  // Element i of pair p at v + 2 ((i-1) stride + p).
  const auto at = [&](int i) { return v + 2 * static_cast<size_t>(i - 1) * static_cast<size_t>(stride); };
  // Forward substitution, B rows at a time so that at least eight sums run side by side: their terms over the
  // columns before the block first, then the small triangle inside the block, each row in increasing column.
  constexpr int B = P >= 8 ? 1 : 8 / P;
  int r = first + 1;
  for (; r + B - 1 <= n; r += B) {
    DoublePair y[B][P];
    int row[B];
    for (int q = 0; q < B; ++q) {
      row[q] = packed(r + q, 0);
      for (int p = 0; p < P; ++p) y[q][p] = loadPair(at(r + q) + 2 * p);
    }
    for (int c = first; c < r; ++c) {
      const double* const vc = at(c);
      DoublePair yc[P];
      for (int p = 0; p < P; ++p) yc[p] = loadPair(vc + 2 * p);
      for (int q = 0; q < B; ++q) {
        const double l = f(row[q] + c);
        for (int p = 0; p < P; ++p) y[q][p] -= l * yc[p];
      }
    }
    for (int q = 1; q < B; ++q) {
      for (int e = 0; e < q; ++e) {
        const double l = f(row[q] + r + e);
        for (int p = 0; p < P; ++p) y[q][p] -= l * y[e][p];
      }
    }
    for (int q = 0; q < B; ++q) {
      for (int p = 0; p < P; ++p) storePair(at(r + q) + 2 * p, y[q][p]);
    }
  }
  for (; r <= n; ++r) {
    const int row = packed(r, 0);
    DoublePair y[P];
    double* const vr = at(r);
    for (int p = 0; p < P; ++p) y[p] = loadPair(vr + 2 * p);
    for (int c = first; c < r; ++c) {
      const double l = f(row + c);
      const double* const vc = at(c);
      for (int p = 0; p < P; ++p) y[p] -= l * loadPair(vc + 2 * p);
    }
    for (int p = 0; p < P; ++p) storePair(vr + 2 * p, y[p]);
  }
  for (int r = 1; r <= n; ++r) {
    const double d = f(packed(r, r));
    double* const vr = at(r);
    for (int p = 0; p < P; ++p) storePair(vr + 2 * p, loadPair(vr + 2 * p) / d);
  }
  for (int r = n - 1; r >= 1; --r) {
    DoublePair y[P];
    double* const vr = at(r);
    for (int p = 0; p < P; ++p) y[p] = loadPair(vr + 2 * p);
    // L(c, r) down column r: consecutive rows of the packed array are c entries apart.
    for (int c = r + 1, position = packed(r + 1, r); c <= n; position += c, ++c) {
      const double l = f(position);
      const double* const vc = at(c);
      for (int p = 0; p < P; ++p) y[p] -= l * loadPair(vc + 2 * p);
    }
    for (int p = 0; p < P; ++p) storePair(vr + 2 * p, y[p]);
  }
}

}  // namespace

bool RowSolves::begin(const Rows& rows) {
  n_ = rows.n();
  bases_ = rows.nc() + rows.n();
  if (n_ > kMaxOrder || n_ < 1 || bases_ > kMaxBases) {
    capacity_ = 0;
    return false;
  }
  capacity_ = kStoredDoubles / n_;
  // Halve the lanes when the last solve used fewer than half of its solves, double them when it used most.
  if (n_ < kSideBySideOrder) {
    lanes_ = 2;
  } else if (solvedCount_ > 0) {
    if (4 * usedCount_ < 3 * solvedCount_ && lanes_ > 2) lanes_ /= 2;
    if (10 * usedCount_ > 9 * solvedCount_ && lanes_ < kLanes) lanes_ *= 2;
  }
  solvedCount_ = usedCount_ = 0;
  bothSigns_ = false;
  forget();
  return true;
}

void RowSolves::forget() {
  std::fill_n(slots_.begin(), 2 * (bases_ + 1), 0);
  std::fill_n(fetched_.begin(), used_ + 1, false);
  used_ = 0;
}

RowSolves::Base RowSolves::baseOf(const Rows& rows, int j) const {
  if (j >= 1 && j <= rows.nc()) return {j, 1.0};
  if (rows.isMirror(j)) return {rows.equalityOf(j), -1.0};
  const BoundRow bound = rows.boundRow(j);
  if (bound.variable != 0) return {rows.nc() + bound.variable, bound.sign};
  return {0, 0.0};
}

bool RowSolves::holds(int base, double sign) const {
  if (slot(base, sign) != 0) return true;
  return sign < 0.0 && slot(base, 1.0) != 0 && negates_[static_cast<size_t>(base)];
}

bool RowSolves::addJobs(int base, bool wantBoth, std::array<Job, kLanes>& jobs, int& count) const {
  const bool needPlus = slot(base, 1.0) == 0;
  const bool needMinus = needPlus ? (wantBoth || bothSigns_) : !holds(base, -1.0);
  const int needed = (needPlus ? 1 : 0) + (needMinus ? 1 : 0);
  if (count + needed > lanes_) return false;
  if (needPlus) jobs[static_cast<size_t>(count++)] = {base, 1.0};
  if (needMinus) jobs[static_cast<size_t>(count++)] = {base, -1.0};
  return true;
}

bool RowSolves::provide(const Rows& rows, Vec<const double> hfac, int kv, Vec<const int> ranked, int count) {
  const Base wanted = baseOf(rows, kv);
  if (wanted.index == 0) return false;
  while (!holdsBoth(wanted.index)) {
    if (capacity_ - used_ < kLanes) forget();  // the store is full: start again
    std::array<Job, kLanes> jobs;
    int jobCount = 0;
    addJobs(wanted.index, false, jobs, jobCount);
    // Then the rows likeliest to be added next: the most violated rows, or the nearest to a violation, and the
    // equality rows (every one of them is added in the end).
    std::bitset<kMaxBases + 1> taken;
    taken.set(static_cast<size_t>(wanted.index));
    const auto consider = [&](int base) {
      if (base == 0 || taken.test(static_cast<size_t>(base)) || slot(base, 1.0) != 0) return true;
      taken.set(static_cast<size_t>(base));
      return addJobs(base, false, jobs, jobCount) && jobCount < lanes_;
    };
    bool room = jobCount < lanes_;
    for (int k = 1; room && k <= count; ++k) room = consider(baseOf(rows, ranked(k)).index);
    for (int k = rows.nineq() + 1; room && k <= rows.nc(); ++k) room = consider(k);
    run(rows, hfac, jobs, jobCount);
  }
  return true;
}

void RowSolves::run(const Rows& rows, Vec<const double> hfac, const std::array<Job, kLanes>& jobs, int count) {
  const int n = n_;
  solvedCount_ += count;
  const int pairs = (count + 1) / 2;
  const int stride = pairs <= 1 ? 1 : pairs <= 2 ? 2 : pairs <= 4 ? 4 : kPairs;  // pairs per element
  const size_t width = 2 * static_cast<size_t>(stride);                          // lanes per element
  double* const panel = panel_.data();
  std::fill_n(panel, static_cast<size_t>(n) * width, 0.0);
  // The right-hand sides, exactly as the row gradients give them, and where their forward substitution may start.
  bool anyMinusZero = false;
  int first = n;
  for (int lane = 0; lane < count; ++lane) {
    const Job job = jobs[static_cast<size_t>(lane)];
    double* const to = panel + lane;
    if (job.base > rows.nc()) {
      const int i = job.base - rows.nc();
      to[static_cast<size_t>(i - 1) * width] = job.sign * 1.0;
      first = std::min(first, i);
      continue;
    }
    const double* const a = rows.a().column(job.base).data();
    int laneFirst = n;
    for (int i = n; i >= 1; --i) {
      const double x = job.sign * a[i - 1];
      to[static_cast<size_t>(i - 1) * width] = x;
      if (x != 0.0) laneFirst = i;
      anyMinusZero = anyMinusZero || (x == 0.0 && std::signbit(x));
    }
    first = std::min(first, laneFirst);
  }
  if (anyMinusZero) first = 1;
  switch (stride) {
    case 1: solveSideBySide<1>(hfac, panel, stride, n, first); break;
    case 2: solveSideBySide<2>(hfac, panel, stride, n, first); break;
    case 4: solveSideBySide<4>(hfac, panel, stride, n, first); break;
    default: solveSideBySide<kPairs>(hfac, panel, stride, n, first); break;
  }
  for (int lane = 0; lane < count; ++lane) {
    const Job job = jobs[static_cast<size_t>(lane)];
    const int number = ++used_;
    double* const out = stored(number);
    const double* const from = panel + lane;
    bool zeroOrNan = false;
    for (int i = 0; i < n; ++i) {
      const double x = from[static_cast<size_t>(i) * width];
      out[i] = x;
      zeroOrNan = zeroOrNan || !(x != 0.0 && x == x);
    }
    slot(job.base, job.sign) = number;
    if (job.sign > 0.0) {
      negates_[static_cast<size_t>(job.base)] = !zeroOrNan;
      if (zeroOrNan) bothSigns_ = true;
    }
  }
}

void RowSolves::fetch(const Rows& rows, int j, double sign, Vec<double> out) {
  const Base base = baseOf(rows, j);
  const double wanted = sign * base.sign;
  const int own = slot(base.index, wanted);
  const size_t read = static_cast<size_t>(own != 0 ? own : slot(base.index, 1.0));
  if (!fetched_[read]) {
    fetched_[read] = true;
    ++usedCount_;
  }
  if (own != 0) {
    const double* const from = stored(own);
    for (int i = 1; i <= n_; ++i) out(i) = from[i - 1];
  } else {  // the solve of -u as that of +u with every sign changed (it has no zero and no NaN)
    const double* const from = stored(slot(base.index, 1.0));
    for (int i = 1; i <= n_; ++i) out(i) = -from[i - 1];
  }
}

int rankCandidates(const Rows& rows, Vec<const double> c, const PassedOver& passedOver, int skip, Vec<int> ranked) {
  const int capacity = std::min(ranked.length(), RowSolves::kLanes);
  if (!passedOver.marked() || capacity < 1) return 0;
  const unsigned char* const passed = passedOver.marks();
  // The list by decreasing value, the values beside the rows.
  std::array<double, RowSolves::kLanes> listValue;
  std::array<int, RowSolves::kLanes> listRow;
  int count = 0;
  double last = 0.0;  // the value at the end of the list once it is full
  for (int j = 1, total = rows.total(); j <= total; ++j) {
    const double value = c(j);
    // A full list takes only a row of greater value than its last one. One branch on all the tests: the values of the
    // rows passed over are old ones, which a branch on the value alone would often mispredict.
    if (!(((count < capacity) | (value > last)) & (j != skip) & (passed[j] == 0))) continue;
    // Insert behind every row of equal value: after the last row whose value the new one does not exceed (so also
    // behind a NaN, which nothing exceeds), without a branch on each comparison.
    int place = 0;
    for (int q = 0; q < count; ++q) place = !(value > listValue[static_cast<size_t>(q)]) ? q + 1 : place;
    if (count < capacity) ++count;
    for (int q = count - 1; q > place; --q) {
      listValue[static_cast<size_t>(q)] = listValue[static_cast<size_t>(q - 1)];
      listRow[static_cast<size_t>(q)] = listRow[static_cast<size_t>(q - 1)];
    }
    listValue[static_cast<size_t>(place)] = value;
    listRow[static_cast<size_t>(place)] = j;
    if (count == capacity) last = listValue[static_cast<size_t>(capacity - 1)];
  }
  for (int q = 0; q < count; ++q) ranked(q + 1) = listRow[static_cast<size_t>(q)];
  return count;
}

}  // namespace korvex::qp
