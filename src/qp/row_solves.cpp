#include "qp/row_solves.h"

#include <algorithm>
#include <bitset>
#include <cstdint>
#include <cstring>

#include "common/vector_width.h"
#include "qp/side_by_side.h"
#include "qp/wide_rows.h"

namespace korvex::qp {

namespace {

// The side-by-side solve with N vectors of type V per element (N = 1..8), vector p from its row firsts[p] on.
template <typename V>
[[gnu::always_inline]] inline void solveVectorsWith(Vec<const double> f, double* v, int vectors, int n,
                                                    const int* firsts, size_t stride, std::uint64_t* zeroOrNan) {
  switch (vectors) {
    case 1: solveSideBySideWith<V, 1>(f, v, n, firsts, stride, zeroOrNan); break;
    case 2: solveSideBySideWith<V, 2>(f, v, n, firsts, stride, zeroOrNan); break;
    case 3: solveSideBySideWith<V, 3>(f, v, n, firsts, stride, zeroOrNan); break;
    case 4: solveSideBySideWith<V, 4>(f, v, n, firsts, stride, zeroOrNan); break;
    case 5: solveSideBySideWith<V, 5>(f, v, n, firsts, stride, zeroOrNan); break;
    case 6: solveSideBySideWith<V, 6>(f, v, n, firsts, stride, zeroOrNan); break;
    case 7: solveSideBySideWith<V, 7>(f, v, n, firsts, stride, zeroOrNan); break;
    default: solveSideBySideWith<V, 8>(f, v, n, firsts, stride, zeroOrNan); break;
  }
}

constexpr int kMaxVectors = 8;  // vectors solved side by side in one pass

#ifdef KORVEX_WIDE_VECTORS
// Without "fma" in the targets: no product is ever fused with the subtraction that follows it.
[[gnu::target("avx2")]] void solveWithAvx2(Vec<const double> f, double* v, int vectors, int n, const int* firsts,
                                           size_t stride, std::uint64_t* zeroOrNan) {
  solveVectorsWith<DoubleQuad>(f, v, vectors, n, firsts, stride, zeroOrNan);
}

[[gnu::target("avx512f")]] void solveWithAvx512(Vec<const double> f, double* v, int vectors, int n,
                                                const int* firsts, size_t stride, std::uint64_t* zeroOrNan) {
  solveVectorsWith<DoubleOctet>(f, v, vectors, n, firsts, stride, zeroOrNan);
}
#endif

void solveWithSse2(Vec<const double> f, double* v, int vectors, int n, const int* firsts, size_t stride,
                   std::uint64_t* zeroOrNan) {
  solveVectorsWith<DoublePair>(f, v, vectors, n, firsts, stride, zeroOrNan);
}

// to[k](0..n-1) = lane k of the panel of width lanes per element, k = 0..count-1.
void copyLanesOneByOne(const double* panel, int width, int n, int from, int count, double* const* to) {
  for (int lane = from; lane < count; ++lane) {
    double* const out = to[lane];
    for (int i = 0; i < n; ++i) out[i] = panel[static_cast<size_t>(i) * static_cast<size_t>(width) + lane];
  }
}

#ifdef KORVEX_WIDE_VECTORS
// copyLanes for whole groups of eight lanes, eight elements at a time: the 8 x 8 block of a group's lanes and eight
// elements is transposed in registers, so each lane's eight elements leave in one store.
[[gnu::target("avx512f")]] void copyLanesWithAvx512(const double* panel, int width, int n, int count,
                                                    double* const* to) {
  const int groups = count / 8;
  for (int group = 0; group < groups; ++group) {
    double* const* const out = to + 8 * group;
    int i = 0;
    for (; i + 8 <= n; i += 8) {
      const double* from[8];
      double* into[8];
      for (int e = 0; e < 8; ++e) {
        from[e] = panel + static_cast<size_t>(i + e) * width + 8 * group;
        into[e] = out[e] + i;
      }
      transposeEight(from, into);
    }
    for (; i < n; ++i) {
      for (int lane = 0; lane < 8; ++lane) out[lane][i] = panel[static_cast<size_t>(i) * width + 8 * group + lane];
    }
  }
}
#endif

#ifdef KORVEX_WIDE_VECTORS
// Fills lanes 0..7 of the panel (width lanes per element) with signs[k] columns[k](0..n-1), eight elements at a
// time, each product formed as the scalar one and the 8 x 8 block transposed in registers; returns the row where
// the group's forward substitution may start (the first row where some lane is not +0, 1 after a -0 anywhere).
[[gnu::target("avx512f")]] int fillGroupWithAvx512(double* panel, int width, int n, const double* const* columns,
                                                   const double* signs) {
  const __m512i minusZero = _mm512_set1_epi64(static_cast<long long>(std::uint64_t{1} << 63));
  bool anyMinusZero = false;
  int first = 0;
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    __m512d r[8];
    unsigned nonzero = 0;  // by lane k of this block's elements: some lane holds anything but a zero there
    for (int k = 0; k < 8; ++k) {
      r[k] = _mm512_mul_pd(_mm512_set1_pd(signs[k]), _mm512_loadu_pd(columns[k] + i));
      anyMinusZero |= _mm512_cmpeq_epi64_mask(_mm512_castpd_si512(r[k]), minusZero) != 0;
      nonzero |= _mm512_cmp_pd_mask(r[k], _mm512_setzero_pd(), _CMP_NEQ_UQ);
    }
    if (first == 0 && nonzero != 0) first = i + __builtin_ctz(nonzero) + 1;
    // r[k] holds elements i..i+7 of lane k; the panel wants element i+e of every lane together.
    DoubleOctet lanes[8], elements[8];
    for (int k = 0; k < 8; ++k) lanes[k] = static_cast<DoubleOctet>(r[k]);
    transposeEight(lanes, elements);
    for (int e = 0; e < 8; ++e) {
      std::memcpy(panel + static_cast<size_t>(i + e) * static_cast<size_t>(width), &elements[e], sizeof elements[e]);
    }
  }
  for (; i < n; ++i) {
    for (int k = 0; k < 8; ++k) {
      const double y = signs[k] * columns[k][i];
      panel[static_cast<size_t>(i) * static_cast<size_t>(width) + static_cast<size_t>(k)] = y;
      anyMinusZero |= __builtin_bit_cast(std::uint64_t, y) == std::uint64_t{1} << 63;
      if (first == 0 && y != 0.0) first = i + 1;
    }
  }
  return anyMinusZero ? 1 : first == 0 ? n : first;
}
#endif

// to[k](0..n-1) = lane k of the panel (width lanes per element), k = 0..count-1: the solutions leave the panel. On
// vectors of eight with width a multiple of eight, whole groups of eight lanes go, so to[count..] up to the next
// multiple of eight must have room too.
void copyLanes(const double* panel, int width, int n, int count, double* const* to) {
#ifdef KORVEX_WIDE_VECTORS
  if (vectorsInUse() == VectorWidth::k512 && width % 8 == 0) {
    copyLanesWithAvx512(panel, width, n, (count + 7) / 8 * 8, to);
    return;
  }
#endif
  copyLanesOneByOne(panel, width, n, 0, count, to);
}

}  // namespace

int runLanes() {
  switch (vectorsInUse()) {
    case VectorWidth::k512: return 48;  // six vectors of eight
    case VectorWidth::k256: return 16;  // four of four
    default: return 16;                 // eight of two
  }
}

std::uint64_t solveSideBySide(Vec<const double> f, double* panel, int width, int n, const int* firsts) {
  const VectorWidth vectors = vectorsInUse();
  const int lanesPerVector = vectors == VectorWidth::k512 && width % 8 == 0   ? 8
                             : vectors != VectorWidth::k128 && width % 4 == 0 ? 4
                                                                              : 2;
  const int count = width / lanesPerVector;
  int vectorFirsts[RowSolves::kMaxRunLanes / 2];
  for (int p = 0; p < count; ++p) vectorFirsts[p] = firsts[width < 8 ? 0 : p * lanesPerVector / 8];
  const auto stride = static_cast<size_t>(width);
  std::uint64_t zeroOrNan = 0;
  for (int p = 0; p < count; p += kMaxVectors) {
    const int chunk = std::min(kMaxVectors, count - p);
    double* const v = panel + p * lanesPerVector;
    std::uint64_t found = 0;
#ifdef KORVEX_WIDE_VECTORS
    if (lanesPerVector == 8) {
      solveWithAvx512(f, v, chunk, n, vectorFirsts + p, stride, &found);
    } else if (lanesPerVector == 4) {
      solveWithAvx2(f, v, chunk, n, vectorFirsts + p, stride, &found);
    } else {
      solveWithSse2(f, v, chunk, n, vectorFirsts + p, stride, &found);
    }
#else
    solveWithSse2(f, v, chunk, n, vectorFirsts + p, stride, &found);
#endif
    zeroOrNan |= found << (p * lanesPerVector);
  }
  return zeroOrNan;
}

bool RowSolves::begin(const Rows& rows) {
  // What the previous QP solve added, kept for solveAhead() when this one has the same rows.
  const bool sameRows = rows.n() == shape_[0] && rows.nc() == shape_[1] && rows.nineq() == shape_[2];
  for (int k = 0; k < addedCount_; ++k) isAdded_[static_cast<size_t>(added_[static_cast<size_t>(k)])] = false;
  // The rows added before other than the equality rows (solveAhead takes all of those).
  addedBeforeCount_ = 0;
  for (int k = 0; sameRows && k < addedCount_; ++k) {
    const int base = added_[static_cast<size_t>(k)];
    if (base <= rows.nineq() || base > rows.nc()) addedBefore_[static_cast<size_t>(addedBeforeCount_++)] = base;
  }
  bothSignsBefore_ = sameRows && bothSigns_;
  addedCount_ = 0;
  shape_[0] = rows.n();
  shape_[1] = rows.nc();
  shape_[2] = rows.nineq();

  n_ = rows.n();
  bases_ = rows.nc() + rows.n();
  if (n_ > kMaxOrder || n_ < 1 || bases_ > kMaxBases) {
    capacity_ = 0;
    addedBeforeCount_ = 0;
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

bool RowSolves::addJobs(int base, bool wantBoth, Jobs& jobs, int& count, int lanes) const {
  const bool needPlus = slot(base, 1.0) == 0;
  const bool needMinus = needPlus ? (wantBoth || bothSigns_) : !holds(base, -1.0);
  const int needed = (needPlus ? 1 : 0) + (needMinus ? 1 : 0);
  if (count + needed > lanes) return false;
  if (needPlus) jobs[static_cast<size_t>(count++)] = {base, 1.0};
  if (needMinus) jobs[static_cast<size_t>(count++)] = {base, -1.0};
  return true;
}

void RowSolves::solveAhead(const Rows& rows, Vec<const double> hfac, Vec<const double> g, Vec<double> x) {
  // The jobs: -g, then every equality row and the other rows added before (both signs of each when the solves
  // before needed them), in runs of equal lanes, as few as the lanes of one run allow, within the store.
  const int equalities = rows.nc() - rows.nineq();
  const int signs = bothSignsBefore_ ? 2 : 1;
  const int total = 1 + std::min(signs * (equalities + addedBeforeCount_), capacity_ - used_);
  const auto job = [&](int t) -> Job {  // job t = 1..total-1
    const int q = (t - 1) / signs;
    const double sign = (t - 1) % signs == 0 ? 1.0 : -1.0;
    return {q < equalities ? rows.nineq() + 1 + q : addedBefore_[static_cast<size_t>(q - equalities)], sign};
  };
  const int runs = (total + runLanes() - 1) / runLanes();
  Jobs jobs;
  for (int done = 0, r = 0; r < runs; ++r) {
    const int count = (total - done + (runs - r) - 1) / (runs - r);
    for (int k = 0; k < count; ++k) jobs[static_cast<size_t>(k)] = done + k == 0 ? Job{0, 0.0} : job(done + k);
    run(rows, hfac, jobs, count, g, x);
    done += count;
  }
}

bool RowSolves::provide(const Rows& rows, Vec<const double> hfac, int kv, Vec<const int> ranked, int count) {
  const Base wanted = baseOf(rows, kv);
  if (wanted.index == 0) return false;
  while (!holdsBoth(wanted.index)) {
    if (capacity_ - used_ < kLanes) forget();  // the store is full: start again
    Jobs jobs;
    int jobCount = 0;
    addJobs(wanted.index, false, jobs, jobCount, lanes_);
    // Then the rows likeliest to be added next: the violated rows, most violated first, and the equality rows
    // (every one of them is added in the end), each with whatever of its solves is not held yet (the solve of -u
    // where that of +u cannot be negated).
    std::bitset<kMaxBases + 1> taken;
    taken.set(static_cast<size_t>(wanted.index));
    const auto consider = [&](int base) {
      if (base == 0 || taken.test(static_cast<size_t>(base)) || holdsBoth(base)) return true;
      taken.set(static_cast<size_t>(base));
      return addJobs(base, false, jobs, jobCount, lanes_) && jobCount < lanes_;
    };
    bool room = jobCount < lanes_;
    for (int k = 1; room && k <= count; ++k) room = consider(baseOf(rows, ranked(k)).index);
    for (int k = rows.nineq() + 1; room && k <= rows.nc(); ++k) room = consider(k);
    run(rows, hfac, jobs, jobCount);
  }
  return true;
}

int RowSolves::leadingZeros(const Rows& rows, int base) const {
  if (base == 0) return 0;
  if (base > rows.nc()) return base - rows.nc() - 1;
  const RowPatterns* const patterns = rows.patterns();
  return patterns != nullptr && patterns->count(base) > 0 ? patterns->positions(base)[0] - 1 : 0;
}

void RowSolves::run(const Rows& rows, Vec<const double> hfac, const Jobs& jobs, int count, Vec<const double> g,
                    Vec<double> x) {
  const int n = n_;
  solvedCount_ += count;
  // The lanes by the number of zeros their right-hand sides lead with (as far as the row patterns tell; -g none,
  // a bound row all up to its variable), in the order of the jobs on equal numbers: groups of eight that lead with
  // zeros start their forward substitution late, and the later the more alike their lanes are.
  std::array<int, kMaxRunLanes> order;
  std::array<int, kMaxRunLanes> zeros;
  for (int k = 0; k < count; ++k) {
    const int lead = leadingZeros(rows, jobs[static_cast<size_t>(k)].base);
    int place = k;
    for (; place > 0 && zeros[static_cast<size_t>(place - 1)] > lead; --place) {
      order[static_cast<size_t>(place)] = order[static_cast<size_t>(place - 1)];
      zeros[static_cast<size_t>(place)] = zeros[static_cast<size_t>(place - 1)];
    }
    order[static_cast<size_t>(place)] = k;
    zeros[static_cast<size_t>(place)] = lead;
  }
  const int width = count <= 2 ? 2 : count <= 4 ? 4 : (count + 7) / 8 * 8;  // lanes per element
  double* const panel = panel_.data();
  int firsts[kMaxRunLanes / 8];
  std::fill_n(firsts, kMaxRunLanes / 8, n);
#ifdef KORVEX_WIDE_VECTORS
  if (vectorsInUse() == VectorWidth::k512 && width % 8 == 0) {
    fillGroups(rows, jobs, order.data(), count, width, g, firsts);
  } else {
    fillLanes(rows, jobs, order.data(), count, width, g, firsts);
  }
#else
  fillLanes(rows, jobs, order.data(), count, width, g, firsts);
#endif
  const std::uint64_t zeroOrNan = solveSideBySide(hfac, panel, width, n, firsts);
  std::array<double*, kMaxRunLanes> to{};  // where each lane's solution goes; the lanes beyond count to scratch
  to.fill(scratch_.data());
  for (int lane = 0; lane < count; ++lane) {
    const Job job = jobs[static_cast<size_t>(order[static_cast<size_t>(lane)])];
    if (job.base == 0) {
      to[static_cast<size_t>(lane)] = x.data();
      continue;
    }
    const int number = ++used_;
    to[static_cast<size_t>(lane)] = stored(number);
    slot(job.base, job.sign) = number;
    if (job.sign > 0.0) {
      const bool changesSign = ((zeroOrNan >> lane) & 1) == 0;
      negates_[static_cast<size_t>(job.base)] = changesSign;
      if (!changesSign) bothSigns_ = true;
    }
  }
  copyLanes(panel, width, n, count, to.data());
}

void RowSolves::fillLanes(const Rows& rows, const Jobs& jobs, const int* order, int count, int width,
                          Vec<const double> g, int* firsts) {
  const int n = n_;
  const auto stride = static_cast<size_t>(width);
  double* const panel = panel_.data();
  std::fill_n(panel, static_cast<size_t>(n) * stride, 0.0);
  // The right-hand sides, exactly as the row gradients give them, and for each group of eight lanes the row where
  // its forward substitution may start (see solveSideBySide): the first entry that is not +0, or 1 after a -0.
  const auto fill = [&](double* to, auto entry) {
    bool minusZero = false;
    int first = 0;
    for (int i = 0; i < n; ++i) {
      const double y = entry(i);
      to[static_cast<size_t>(i) * stride] = y;
      minusZero |= __builtin_bit_cast(std::uint64_t, y) == std::uint64_t{1} << 63;
      if (first == 0 && y != 0.0) first = i + 1;
    }
    return minusZero ? 1 : first == 0 ? n : first;
  };
  for (int lane = 0; lane < count; ++lane) {
    const Job job = jobs[static_cast<size_t>(order[lane])];
    double* const to = panel + lane;
    int first;
    if (job.base > rows.nc()) {
      first = job.base - rows.nc();
      to[static_cast<size_t>(first - 1) * stride] = job.sign * 1.0;
    } else if (job.base == 0) {
      const double* const v = g.data();
      first = fill(to, [v](int i) { return -v[i]; });
    } else {
      const double* const a = rows.a().column(job.base).data();
      const double sign = job.sign;
      first = fill(to, [a, sign](int i) { return sign * a[i]; });
    }
    int& groupFirst = firsts[lane / 8];
    groupFirst = lane % 8 == 0 ? first : std::min(groupFirst, first);
  }
}

#ifdef KORVEX_WIDE_VECTORS
namespace {

// kMaxOrder - 1 zeros, the unit entry, kMaxOrder zeros: from entry kMaxOrder - i on, the unit column of variable i.
constexpr std::array<double, 2 * RowSolves::kMaxOrder> unitColumns(double unit) {
  std::array<double, 2 * RowSolves::kMaxOrder> column{};
  column[RowSolves::kMaxOrder - 1] = unit;
  return column;
}

}  // namespace

void RowSolves::fillGroups(const Rows& rows, const Jobs& jobs, const int* order, int count, int width,
                           Vec<const double> g, int* firsts) {
  // Every lane of every group is written, so the panel is not cleared first: a bound row's lane is a unit column
  // (+0 everywhere but +-1 at its variable, the sign in the column so that the zeros stay +0), a lane beyond count
  // a column of +0.
  static constexpr std::array<double, 2 * kMaxOrder> plusUnit = unitColumns(1.0), minusUnit = unitColumns(-1.0);
  for (int group = 0; group < width / 8; ++group) {
    const double* columns[8];
    double signs[8];
    for (int q = 0; q < 8; ++q) {
      const int lane = 8 * group + q;
      signs[q] = 1.0;
      if (lane >= count) {
        columns[q] = plusUnit.data() + kMaxOrder;  // kMaxOrder zeros follow the unit entry
        continue;
      }
      const Job job = jobs[static_cast<size_t>(order[lane])];
      if (job.base == 0) {
        columns[q] = g.data();
        signs[q] = -1.0;
      } else if (job.base > rows.nc()) {
        const int variable = job.base - rows.nc();
        columns[q] = (job.sign > 0.0 ? plusUnit : minusUnit).data() + (kMaxOrder - variable);
      } else {
        columns[q] = rows.a().column(job.base).data();
        signs[q] = job.sign;
      }
    }
    firsts[group] = fillGroupWithAvx512(panel_.data() + 8 * group, width, n_, columns, signs);
  }
}
#endif

void RowSolves::noteFetched(const Rows& rows, int j, double sign) {
  const Base base = baseOf(rows, j);
  const int own = slot(base.index, sign * base.sign);
  const size_t read = static_cast<size_t>(own != 0 ? own : slot(base.index, 1.0));
  if (fetched_[read]) return;
  fetched_[read] = true;
  ++usedCount_;
  if (!isAdded_[static_cast<size_t>(base.index)]) {
    isAdded_[static_cast<size_t>(base.index)] = true;
    added_[static_cast<size_t>(addedCount_++)] = base.index;
  }
}

void RowSolves::copySolve(const Rows& rows, int j, double sign, Vec<double> out) const {
  const Base base = baseOf(rows, j);
  const int own = slot(base.index, sign * base.sign);
  if (own != 0) {
    std::memcpy(out.sub(1, n_).data(), stored(own), sizeof(double) * static_cast<size_t>(n_));
  } else {  // the solve of -u as that of +u with every sign changed (it has no zero and no NaN)
    negateInto(stored(slot(base.index, 1.0)), out.sub(1, n_).data(), n_);
  }
}

int rankCandidates(const Rows& rows, Vec<const double> c, const PassedOver& passedOver, int skip, Vec<int> ranked) {
  static_assert(RowSolves::kLanes <= kMostRanked);
  const int capacity = std::min(ranked.length(), RowSolves::kLanes);
  const int total = rows.total();
  if (!passedOver.marked() || capacity < 1 || total < 1) return 0;
  return rankByValue(c.sub(1, total).data(), passedOver.shifts() + 1, total, skip - 1, capacity,
                     ranked.sub(1, capacity).data());
}

}  // namespace korvex::qp
