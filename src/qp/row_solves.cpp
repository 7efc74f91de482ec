#include "qp/row_solves.h"

#include <algorithm>
#include <bitset>

#include "common/vector_width.h"
#include "qp/side_by_side.h"
#include "qp/wide_rows.h"

namespace korvex::qp {

namespace {

// What the run needs to know of the numbers in a panel of n elements of width lanes.
struct PanelSigns {
  int first;                                      // the first element where a lane holds anything but a zero
  bool minusZero;                                 // some lane holds a -0
  std::array<bool, RowSolves::kLanes> zeroOrNan;  // by lane: it holds a zero or a NaN
};

// panelSigns with N vectors of type V per element, all lanes side by side.
template <typename V, int N>
[[gnu::always_inline]] inline PanelSigns panelSignsWith(const double* panel, int n) {
  constexpr int K = static_cast<int>(sizeof(V) / sizeof(double));
  using Mask = decltype(V{} == V{});  // per lane all ones (true) or zero
  const V zero = {};
  const Mask none = {};
  const auto any = [&](const Mask& m) {
    long long bits = 0;
    for (int k = 0; k < K; ++k) bits |= m[k];
    return bits != 0;
  };
  Mask minusZero = none, zeroOrNan[N];
  for (int p = 0; p < N; ++p) zeroOrNan[p] = none;
  int first = 0;
  for (int i = 1; i <= n; ++i) {
    V x[N];
    loadVectors(x, panel + static_cast<size_t>(i - 1) * (N * K));
    Mask nonzero = none;
    for (int p = 0; p < N; ++p) {
      const Mask isZero = x[p] == zero;
      nonzero |= ~isZero;
      minusZero |= isZero & (__builtin_bit_cast(Mask, x[p]) < none);
      zeroOrNan[p] |= isZero | (x[p] != x[p]);
    }
    if (first == 0 && any(nonzero)) first = i;
  }
  PanelSigns signs{first == 0 ? n : first, any(minusZero), {}};
  for (int lane = 0; lane < N * K; ++lane) {
    signs.zeroOrNan[static_cast<size_t>(lane)] = zeroOrNan[lane / K][lane % K] != 0;
  }
  return signs;
}

#ifdef KORVEX_WIDE_VECTORS
// Without "fma" in the targets: no product is ever fused with the subtraction that follows it.
[[gnu::target("avx2")]] void solveWithAvx2(Vec<const double> f, double* v, int vectors, int n, int first) {
  switch (vectors) {
    case 1: solveSideBySideWith<DoubleQuad, 1>(f, v, n, first); break;
    case 2: solveSideBySideWith<DoubleQuad, 2>(f, v, n, first); break;
    default: solveSideBySideWith<DoubleQuad, 4>(f, v, n, first); break;
  }
}

[[gnu::target("avx2")]] PanelSigns panelSignsWithAvx2(const double* panel, int vectors, int n) {
  switch (vectors) {
    case 1: return panelSignsWith<DoubleQuad, 1>(panel, n);
    case 2: return panelSignsWith<DoubleQuad, 2>(panel, n);
    default: return panelSignsWith<DoubleQuad, 4>(panel, n);
  }
}

[[gnu::target("avx512f")]] void solveWithAvx512(Vec<const double> f, double* v, int vectors, int n, int first) {
  switch (vectors) {
    case 1: solveSideBySideWith<DoubleOctet, 1>(f, v, n, first); break;
    default: solveSideBySideWith<DoubleOctet, 2>(f, v, n, first); break;
  }
}
[[gnu::target("avx512f")]] PanelSigns panelSignsWithAvx512(const double* panel, int vectors, int n) {
  return vectors == 1 ? panelSignsWith<DoubleOctet, 1>(panel, n) : panelSignsWith<DoubleOctet, 2>(panel, n);
}
#endif

// The first element of the n of a panel of width lanes where a lane holds anything but a zero (n if none), whether
// some lane holds a -0, and by lane whether it holds a zero or a NaN.
PanelSigns panelSigns(const double* panel, int width, int n) {
#ifdef KORVEX_WIDE_VECTORS
  const VectorWidth vectors = vectorsInUse();
  if (vectors == VectorWidth::k512 && width >= 16) return panelSignsWithAvx512(panel, width / 8, n);
  if (vectors >= VectorWidth::k256 && width >= 4) return panelSignsWithAvx2(panel, width / 4, n);
#endif
  switch (width) {
    case 2: return panelSignsWith<DoublePair, 1>(panel, n);
    case 4: return panelSignsWith<DoublePair, 2>(panel, n);
    case 8: return panelSignsWith<DoublePair, 4>(panel, n);
    default: return panelSignsWith<DoublePair, 8>(panel, n);
  }
}

}  // namespace

void solveSideBySide(Vec<const double> f, double* panel, int width, int n, int first) {
#ifdef KORVEX_WIDE_VECTORS
  const VectorWidth vectors = vectorsInUse();
  // Eight lanes run faster as two vectors of four than as one of eight: the forward substitution's blocks of rows
  // then hold twice the sums in registers.
  if (vectors == VectorWidth::k512 && width >= 16) return solveWithAvx512(f, panel, width / 8, n, first);
  if (vectors >= VectorWidth::k256 && width >= 4) return solveWithAvx2(f, panel, width / 4, n, first);
#endif
  switch (width) {
    case 2: solveSideBySideWith<DoublePair, 1>(f, panel, n, first); break;
    case 4: solveSideBySideWith<DoublePair, 2>(f, panel, n, first); break;
    case 8: solveSideBySideWith<DoublePair, 4>(f, panel, n, first); break;
    default: solveSideBySideWith<DoublePair, 8>(f, panel, n, first); break;
  }
}

bool RowSolves::begin(const Rows& rows) {
  n_ = rows.n();
  bases_ = rows.nc() + rows.n();
  if (n_ > kMaxOrder || n_ < 1 || bases_ > kMaxBases) {
    capacity_ = 0;
    return false;
  }
  capacity_ = kStoredDoubles / n_;
  // Halve the lanes when the last solve used fewer than three quarters of its solves, double them when it used
  // most. On vectors of eight, a run of all the lanes costs about what one of eight costs (two vectors wait on each
  // subtraction of the back substitution as one does), so there it always fills them.
  if (n_ < kSideBySideOrder) {
    lanes_ = 2;
  } else if (vectorsInUse() == VectorWidth::k512) {
    lanes_ = kLanes;
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
  // The right-hand sides, exactly as the row gradients give them.
  for (int lane = 0; lane < count; ++lane) {
    const Job job = jobs[static_cast<size_t>(lane)];
    double* const to = panel + lane;
    if (job.base > rows.nc()) {
      to[static_cast<size_t>(job.base - rows.nc() - 1) * width] = job.sign * 1.0;
      continue;
    }
    const double* const a = rows.a().column(job.base).data();
    for (int i = 0; i < n; ++i) to[static_cast<size_t>(i) * width] = job.sign * a[i];
  }
  const PanelSigns signs = panelSigns(panel, static_cast<int>(width), n);
  solveSideBySide(hfac, panel, static_cast<int>(width), n, signs.minusZero ? 1 : signs.first);
  const PanelSigns solved = panelSigns(panel, static_cast<int>(width), n);
  for (int lane = 0; lane < count; ++lane) {
    const Job job = jobs[static_cast<size_t>(lane)];
    const int number = ++used_;
    double* const out = stored(number);
    const double* const from = panel + lane;
    for (int i = 0; i < n; ++i) out[i] = from[static_cast<size_t>(i) * width];
    slot(job.base, job.sign) = number;
    if (job.sign > 0.0) {
      const bool zeroOrNan = solved.zeroOrNan[static_cast<size_t>(lane)];
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
  static_assert(RowSolves::kLanes <= kMostRanked);
  const int capacity = std::min(ranked.length(), RowSolves::kLanes);
  const int total = rows.total();
  if (!passedOver.marked() || capacity < 1 || total < 1) return 0;
  return rankByValue(c.sub(1, total).data(), passedOver.shifts() + 1, passedOver.marks() + 1, total, skip - 1,
                     capacity, ranked.sub(1, capacity).data());
}

}  // namespace korvex::qp
