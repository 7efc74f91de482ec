#include "qp/wide_rows.h"

#include <algorithm>
#include <cstring>

#include "common/double_pair.h"
#include "common/finite.h"
#include "common/vector_width.h"
#include "qp/side_by_side.h"

namespace korvex::qp {

namespace {

template <typename V>
constexpr int kLanes = static_cast<int>(sizeof(V) / sizeof(double));

// Vectors are loaded into a variable (a vector returned by value would pass differently on each width).
template <typename V>
[[gnu::always_inline]] inline void load(V& v, const double* from) {
  std::memcpy(&v, from, sizeof v);
}
template <typename V>
[[gnu::always_inline]] inline void store(double* to, const V& v) {
  std::memcpy(to, &v, sizeof v);
}

// Per lane all ones (true) or zero, as the comparisons of V give it.
template <typename V>
using Mask = decltype(V{} < V{});

// The lanes of a mask as the bits of a number, lane q at bit q: one instruction where the processor has it.
#ifdef KORVEX_WIDE_VECTORS
[[gnu::always_inline]] inline unsigned laneBits(const Mask<DoublePair>& m) {
  return static_cast<unsigned>(_mm_movemask_pd(reinterpret_cast<__m128d>(m)));
}
[[gnu::target("avx2")]] inline unsigned laneBits(const Mask<DoubleQuad>& m) {
  return static_cast<unsigned>(_mm256_movemask_pd(reinterpret_cast<__m256d>(m)));
}
[[gnu::target("avx512f")]] inline unsigned laneBits(const Mask<DoubleOctet>& m) {
  const __m512i bits = reinterpret_cast<__m512i>(m);
  return static_cast<unsigned>(_mm512_test_epi64_mask(bits, bits));
}
#else
template <typename M>
[[gnu::always_inline]] inline unsigned laneBits(const M& m) {
  unsigned bits = 0;
  for (int q = 0; q < static_cast<int>(sizeof(M) / sizeof(m[0])); ++q) bits |= static_cast<unsigned>(m[q] & 1) << q;
  return bits;
}
#endif

// The same bits as unsigned integers, whose sums wrap.
template <typename V>
struct BitsOf;
template <>
struct BitsOf<DoublePair> {
  using type = unsigned long long __attribute__((vector_size(16)));
};
template <>
struct BitsOf<DoubleQuad> {
  using type = unsigned long long __attribute__((vector_size(32)));
};
template <>
struct BitsOf<DoubleOctet> {
  using type = unsigned long long __attribute__((vector_size(64)));
};

// allFinite (common/finite.h) over the leading parts of columns, column j (0-based, ld apart) its first
// length + j growth elements, K elements at a time: adding one to the exponent field carries into the sign bit
// exactly for an infinity or a NaN. The last K elements of a column end it, some of them tested twice; a column
// shorter than K goes to allFinite. One OR gathers every long column, looked at once at the end.
template <typename V>
[[gnu::always_inline]] inline bool columnsFiniteWith(const double* a, size_t ld, int columns, int length,
                                                     int growth) {
  constexpr int K = kLanes<V>;
  using Bits = typename BitsOf<V>::type;
  Bits exponent, unit, carried = {};
  for (int q = 0; q < K; ++q) exponent[q] = 0x7ff0000000000000u, unit[q] = 0x0010000000000000u;
  const auto test = [&](const double* at) {
    V values;
    load(values, at);
    carried |= (__builtin_bit_cast(Bits, values) & exponent) + unit;
  };
  for (int j = 0; j < columns; ++j) {
    const double* const v = a + static_cast<size_t>(j) * ld;
    const int count = length + j * growth;
    if (count < K) {
      if (!allFinite(v, count)) return false;
      continue;
    }
    for (int i = 0; i + K < count; i += K) test(v + i);
    test(v + count - K);
  }
  unsigned long long any = 0;
  for (int q = 0; q < K; ++q) any |= carried[q];
  return (any >> 63) == 0;
}

// The bound rows of boxed variables, K variables at a time: their upper and lower rows interleaved into 2K values.
// The last K variables end it, some of their values formed and written twice.
template <typename V>
[[gnu::always_inline]] inline void boxedBoundValuesWith(const double* x, const double* xl, const double* xu, int n,
                                                        double* out) {
  constexpr int K = kLanes<V>;
  if (n < K) {
    for (int i = 0; i < n; ++i) {
      out[2 * i] = x[i] - xu[i];
      out[2 * i + 1] = xl[i] - x[i];
    }
    return;
  }
  // The upper and lower rows of the first K/2 variables of a block interleaved, then those of the last K/2.
  const auto form = [&](int i) {
    V xi, upper, lower;
    load(xi, x + i), load(upper, xu + i), load(lower, xl + i);
    upper = xi - upper;
    lower = lower - xi;
    if constexpr (K == 2) {
      store(out + 2 * i, __builtin_shufflevector(upper, lower, 0, 2));
      store(out + 2 * i + K, __builtin_shufflevector(upper, lower, 1, 3));
    } else if constexpr (K == 4) {
      store(out + 2 * i, __builtin_shufflevector(upper, lower, 0, 4, 1, 5));
      store(out + 2 * i + K, __builtin_shufflevector(upper, lower, 2, 6, 3, 7));
    } else {
      store(out + 2 * i, __builtin_shufflevector(upper, lower, 0, 8, 1, 9, 2, 10, 3, 11));
      store(out + 2 * i + K, __builtin_shufflevector(upper, lower, 4, 12, 5, 13, 6, 14, 7, 15));
    }
  };
  for (int i = 0; i + K < n; i += K) form(i);
  form(n - K);
}

// The last K elements end it, some of them negated and written twice.
template <typename V>
[[gnu::always_inline]] inline void negateIntoWith(const double* from, double* to, int count) {
  constexpr int K = kLanes<V>;
  if (count < K) {
    for (int i = 0; i < count; ++i) to[i] = -from[i];
    return;
  }
  const auto negate = [&](int i) {
    V v;
    load(v, from + i);
    store(to + i, -v);
  };
  for (int i = 0; i + K < count; i += K) negate(i);
  negate(count - K);
}

// Lane q of a chain of firstGreatestShiftedWith: the greatest value so far and the element that has it.
template <typename V>
struct GreatestLanes {
  V value;
  V at;
};

// The K elements at c + j, shift + j taking the lanes where they are strictly greater; position holds j + q.
template <typename V>
[[gnu::always_inline]] inline void keepGreater(GreatestLanes<V>& kept, const double* c, const double* shift, int j,
                                               const V& position) {
  V value, add;
  load(value, c + j), load(add, shift + j);
  value = value + add;
  const Mask<V> takes = value > kept.value;
  kept.value = takes ? value : kept.value;
  kept.at = takes ? position : kept.at;
}

// One pass, K lanes side by side, four vectors at a time so that their chains of comparisons overlap: lane q keeps
// the greatest value above tiny of its elements and the first element that has it (a value takes the lane only when
// strictly greater, so never a NaN). The greatest of the lanes' values is the greatest whatever the order, and the
// first element with it is the least element among the lanes that hold it.
template <typename V>
[[gnu::always_inline]] inline int firstGreatestShiftedWith(double tiny, const double* c, const double* shift,
                                                           int count) {
  constexpr int K = kLanes<V>;
  if (count < K) {
    int first = -1;
    double worst = tiny;
    for (int j = 0; j < count; ++j) {
      const double value = c[j] + shift[j];
      if (value > worst) worst = value, first = j;
    }
    return first;
  }
  V lanes;
  for (int q = 0; q < K; ++q) lanes[q] = q;
  const V none = V{} - 1.0;
  GreatestLanes<V> chain0{V{} + tiny, none}, chain1 = chain0, chain2 = chain0, chain3 = chain0;
  int j = 0;
  for (; j + 4 * K <= count; j += 4 * K) {
    const V at = lanes + static_cast<double>(j);
    keepGreater(chain0, c, shift, j, at);
    keepGreater(chain1, c, shift, j + K, at + static_cast<double>(K));
    keepGreater(chain2, c, shift, j + 2 * K, at + static_cast<double>(2 * K));
    keepGreater(chain3, c, shift, j + 3 * K, at + static_cast<double>(3 * K));
  }
  for (; j + K <= count; j += K) keepGreater(chain1, c, shift, j, lanes + static_cast<double>(j));
  if (j < count) keepGreater(chain2, c, shift, count - K, lanes + static_cast<double>(count - K));  // some twice
  // The greatest value, then the least position among the lanes that hold it, each folded in halves.
  V most = chain0.value;
  for (const GreatestLanes<V>* chain : {&chain1, &chain2, &chain3}) most = chain->value > most ? chain->value : most;
  double lane[K];
  store(lane, most);
  for (int half = K / 2; half >= 1; half /= 2) {
    for (int q = 0; q < half; ++q) lane[q] = lane[q + half] > lane[q] ? lane[q + half] : lane[q];
  }
  const double worst = lane[0];
  if (!(worst > tiny)) return -1;
  const V beyond = V{} + static_cast<double>(count);
  V first = beyond;
  for (const GreatestLanes<V>* chain : {&chain0, &chain1, &chain2, &chain3}) {
    const V at = chain->value == worst ? chain->at : beyond;
    first = at < first ? at : first;
  }
  store(lane, first);
  for (int half = K / 2; half >= 1; half /= 2) {
    for (int q = 0; q < half; ++q) lane[q] = lane[q + half] < lane[q] ? lane[q + half] : lane[q];
  }
  return static_cast<int>(lane[0]);
}

// See rankByValue. The list takes the rows one at a time in increasing order, each by insertion behind every row of
// equal value: after the last row whose value the new one does not exceed, found from the end while the rows it
// exceeds move one place down. A row counts only with a value above the floor: above zero, and once the list is full
// above its last value, which the row then drops. One pass over the rows, K at a time: the lanes above the floor
// when their block is reached are looked at in order, each against the floor of that moment (a row passed over has
// the value -infinity or NaN after its shift, and a NaN is above nothing).
template <typename V>
[[gnu::always_inline]] inline int rankByValueWith(const double* c, const double* shift, int total, int skip,
                                                  int capacity, int* ranked) {
  constexpr int K = kLanes<V>;
  double listValue[kMostRanked];
  int count = 0;
  double floor = 0.0;
  const auto consider = [&](int j) {
    if (j == skip || !(c[j] + shift[j] > floor)) return;
    const double value = c[j];
    int place = count < capacity ? count++ : capacity - 1;
    for (; place > 0 && value > listValue[place - 1]; --place) {
      listValue[place] = listValue[place - 1];
      ranked[place] = ranked[place - 1];
    }
    listValue[place] = value;
    ranked[place] = j + 1;
    if (count == capacity) floor = listValue[capacity - 1];
  };
  int j = 0;
  for (; j + K <= total; j += K) {
    V value, by;
    load(value, c + j), load(by, shift + j);
    for (unsigned bits = laneBits(value + by > floor); bits != 0; bits &= bits - 1) consider(j + __builtin_ctz(bits));
  }
  for (; j < total; ++j) consider(j);
  return count;
}

// One pass, K lanes side by side: lane q keeps the least ratio of its elements q, q+K, ... (a ratio at most the
// least so far takes its place, so the lane keeps the last element that has it) and where it was found; a multiplier
// that does not decrease divides by -1 (which raises no exception) and is then left out. The least of the lanes'
// ratios is the least whatever the order; the last element with it is the last among the lanes that hold it.
template <typename V>
[[gnu::always_inline]] inline int lastLeastRatioWith(double tiny, const double* rate, const double* multiplier,
                                                     int count, double& least) {
  constexpr int K = kLanes<V>;
  V lanesLeast, at, position, limit, minusOne;
  for (int q = 0; q < K; ++q) {
    lanesLeast[q] = least, at[q] = -1.0, position[q] = q, limit[q] = -tiny, minusOne[q] = -1.0;
  }
  int k = 0;
  for (; k + K <= count; k += K) {
    V rates, multipliers;
    load(rates, rate + k), load(multipliers, multiplier + k);
    const Mask<V> decreasing = rates < limit;
    const V ratio = -multipliers / (decreasing ? rates : minusOne);
    const Mask<V> takes = decreasing & (ratio <= lanesLeast);
    lanesLeast = takes ? ratio : lanesLeast;
    at = takes ? position : at;
    position += static_cast<double>(K);
  }
  double leastOf[K], atOf[K];
  for (int q = 0; q < K; ++q) leastOf[q] = lanesLeast[q], atOf[q] = at[q];
  for (; k < count; ++k) {  // after every element of lane 0, so they join it
    if (!(rate[k] < -tiny)) continue;
    const double ratio = -multiplier[k] / rate[k];
    if (ratio <= leastOf[0]) leastOf[0] = ratio, atOf[0] = k;
  }
  double smallest = leastOf[0];
  for (int q = 1; q < K; ++q) smallest = leastOf[q] < smallest ? leastOf[q] : smallest;
  int last = -1;
  for (int q = 0; q < K; ++q) {
    if (leastOf[q] == smallest && atOf[q] > last) last = static_cast<int>(atOf[q]), least = leastOf[q];
  }
  return last;
}

// K entries tested at a time; most blocks of a sparse column have no nonzero entry.
template <typename V>
[[gnu::always_inline]] inline int nonzeroEntriesWith(const double* column, int n, int* place, double* entry,
                                                     int room) {
  constexpr int K = kLanes<V>;
  const V zero = {};
  int count = 0;
  const auto keep = [&](int i) {
    if (count < room) place[count] = i + 1, entry[count] = column[i];
    ++count;
  };
  int i = 0;
  for (; i + K <= n; i += K) {
    V values;
    load(values, column + i);
    for (unsigned bits = laneBits(values != zero); bits != 0; bits &= bits - 1) keep(i + __builtin_ctz(bits));
  }
  for (; i < n; ++i) {
    if (column[i] != 0.0) keep(i);
  }
  return count;
}

// K elements at a time; from K elements on, the last K end it, read before any element is written, so that the
// elements they share with the vector before are formed twice from the same values (and the count's remainder takes
// no branch).
template <typename V>
[[gnu::always_inline]] inline void addScaledWith(double* v, double t, const double* w, int count) {
  constexpr int K = kLanes<V>;
  if (count < K) {
    for (int i = 0; i < count; ++i) v[i] = v[i] + t * w[i];
    return;
  }
  V lastY, lastStep;
  load(lastY, v + count - K), load(lastStep, w + count - K);
  for (int i = 0; i + K < count; i += K) {
    V y, step;
    load(y, v + i), load(step, w + i);
    store(v + i, y + t * step);
  }
  store(v + count - K, lastY + t * lastStep);
}

#ifdef KORVEX_WIDE_VECTORS
// Without "fma" in the targets: no product is ever fused with the addition that follows it.
[[gnu::target("avx2")]] bool columnsFiniteAvx2(const double* a, size_t ld, int columns, int length, int growth) {
  return columnsFiniteWith<DoubleQuad>(a, ld, columns, length, growth);
}
[[gnu::target("avx512f")]] bool columnsFiniteAvx512(const double* a, size_t ld, int columns, int length,
                                                    int growth) {
  return columnsFiniteWith<DoubleOctet>(a, ld, columns, length, growth);
}
[[gnu::target("avx2")]] void boxedBoundValuesAvx2(const double* x, const double* xl, const double* xu, int n,
                                                  double* out) {
  boxedBoundValuesWith<DoubleQuad>(x, xl, xu, n, out);
}
[[gnu::target("avx512f")]] void boxedBoundValuesAvx512(const double* x, const double* xl, const double* xu, int n,
                                                       double* out) {
  boxedBoundValuesWith<DoubleOctet>(x, xl, xu, n, out);
}
[[gnu::target("avx2")]] void negateIntoAvx2(const double* from, double* to, int count) {
  negateIntoWith<DoubleQuad>(from, to, count);
}
[[gnu::target("avx512f")]] void negateIntoAvx512(const double* from, double* to, int count) {
  negateIntoWith<DoubleOctet>(from, to, count);
}
[[gnu::target("avx2")]] int firstGreatestShiftedAvx2(double tiny, const double* c, const double* shift, int count) {
  return firstGreatestShiftedWith<DoubleQuad>(tiny, c, shift, count);
}
[[gnu::target("avx512f")]] int firstGreatestShiftedAvx512(double tiny, const double* c, const double* shift,
                                                          int count) {
  return firstGreatestShiftedWith<DoubleOctet>(tiny, c, shift, count);
}
[[gnu::target("avx2")]] int rankByValueAvx2(const double* c, const double* shift, int total, int skip, int capacity,
                                            int* ranked) {
  return rankByValueWith<DoubleQuad>(c, shift, total, skip, capacity, ranked);
}
[[gnu::target("avx512f")]] int rankByValueAvx512(const double* c, const double* shift, int total, int skip,
                                                 int capacity, int* ranked) {
  return rankByValueWith<DoubleOctet>(c, shift, total, skip, capacity, ranked);
}
[[gnu::target("avx2")]] int nonzeroEntriesAvx2(const double* column, int n, int* place, double* entry, int room) {
  return nonzeroEntriesWith<DoubleQuad>(column, n, place, entry, room);
}
[[gnu::target("avx512f")]] int nonzeroEntriesAvx512(const double* column, int n, int* place, double* entry,
                                                    int room) {
  return nonzeroEntriesWith<DoubleOctet>(column, n, place, entry, room);
}
[[gnu::target("avx2")]] void addScaledAvx2(double* v, double t, const double* w, int count) {
  addScaledWith<DoubleQuad>(v, t, w, count);
}
[[gnu::target("avx512f")]] void addScaledAvx512(double* v, double t, const double* w, int count) {
  addScaledWith<DoubleOctet>(v, t, w, count);
}
#endif

}  // namespace

bool allFiniteWide(const double* v, int count) { return columnsFinite(v, 0, 1, count, 0); }

bool columnsFinite(const double* a, int ld, int columns, int length, int growth) {
  const auto stride = static_cast<size_t>(std::max(ld, 0));
#ifdef KORVEX_WIDE_VECTORS
  switch (vectorsInUse()) {
    case VectorWidth::k512: return columnsFiniteAvx512(a, stride, columns, length, growth);
    case VectorWidth::k256: return columnsFiniteAvx2(a, stride, columns, length, growth);
    default: break;
  }
#endif
  return columnsFiniteWith<DoublePair>(a, stride, columns, length, growth);
}

void boxedBoundValues(const double* x, const double* xl, const double* xu, int n, double* out) {
#ifdef KORVEX_WIDE_VECTORS
  switch (vectorsInUse()) {
    case VectorWidth::k512: return boxedBoundValuesAvx512(x, xl, xu, n, out);
    case VectorWidth::k256: return boxedBoundValuesAvx2(x, xl, xu, n, out);
    default: break;
  }
#endif
  boxedBoundValuesWith<DoublePair>(x, xl, xu, n, out);
}

void negateInto(const double* from, double* to, int count) {
#ifdef KORVEX_WIDE_VECTORS
  switch (vectorsInUse()) {
    case VectorWidth::k512: return negateIntoAvx512(from, to, count);
    case VectorWidth::k256: return negateIntoAvx2(from, to, count);
    default: break;
  }
#endif
  negateIntoWith<DoublePair>(from, to, count);
}

int firstGreatestShifted(double tiny, const double* c, const double* shift, int count) {
#ifdef KORVEX_WIDE_VECTORS
  switch (vectorsInUse()) {
    case VectorWidth::k512: return firstGreatestShiftedAvx512(tiny, c, shift, count);
    case VectorWidth::k256: return firstGreatestShiftedAvx2(tiny, c, shift, count);
    default: break;
  }
#endif
  return firstGreatestShiftedWith<DoublePair>(tiny, c, shift, count);
}

// Two lanes on every width: with wider vectors the divisions took longer than all they spare (measured on an
// AVX-512 processor, where the 512-bit kernel took nine times as long).
int lastLeastRatio(double tiny, const double* rate, const double* multiplier, int count, double& least) {
  return lastLeastRatioWith<DoublePair>(tiny, rate, multiplier, count, least);
}

int rankByValue(const double* c, const double* shift, int total, int skip, int capacity, int* ranked) {
  capacity = std::min(capacity, kMostRanked);
  if (capacity < 1) return 0;
#ifdef KORVEX_WIDE_VECTORS
  switch (vectorsInUse()) {
    case VectorWidth::k512: return rankByValueAvx512(c, shift, total, skip, capacity, ranked);
    case VectorWidth::k256: return rankByValueAvx2(c, shift, total, skip, capacity, ranked);
    default: break;
  }
#endif
  return rankByValueWith<DoublePair>(c, shift, total, skip, capacity, ranked);
}

int nonzeroEntries(const double* column, int n, int* place, double* entry, int room) {
#ifdef KORVEX_WIDE_VECTORS
  switch (vectorsInUse()) {
    case VectorWidth::k512: return nonzeroEntriesAvx512(column, n, place, entry, room);
    case VectorWidth::k256: return nonzeroEntriesAvx2(column, n, place, entry, room);
    default: break;
  }
#endif
  return nonzeroEntriesWith<DoublePair>(column, n, place, entry, room);
}

void addScaled(double* v, double t, const double* w, int count) {
#ifdef KORVEX_WIDE_VECTORS
  switch (vectorsInUse()) {
    case VectorWidth::k512: return addScaledAvx512(v, t, w, count);
    case VectorWidth::k256: return addScaledAvx2(v, t, w, count);
    default: break;
  }
#endif
  addScaledWith<DoublePair>(v, t, w, count);
}


}  // namespace korvex::qp
