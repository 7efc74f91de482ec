// Kernels that work on many right-hand sides held side by side, one lane each, on vectors of 2, 4 or 8 doubles
// (one register of SSE2, AVX2 or AVX-512F). Each lane takes exactly the operations, in the same order, of the one
// right-hand side kernel it stands for. They are always inlined into a function compiled for its vectors.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/double_pair.h"
#include "common/vector_width.h"
#include "common/views.h"
#include "qp/kernels.h"

#ifdef KORVEX_WIDE_VECTORS
#include <immintrin.h>
#endif

namespace korvex::qp {

// The N vectors of one element, one unaligned load or store each.
template <typename V, int N>
[[gnu::always_inline]] inline void loadVectors(V (&y)[N], const double* from) {
#pragma GCC unroll 16
  for (int p = 0; p < N; ++p) std::memcpy(&y[p], from + p * static_cast<int>(sizeof(V) / sizeof(double)), sizeof(V));
}
template <typename V, int N>
[[gnu::always_inline]] inline void storeVectors(double* to, const V (&y)[N]) {
#pragma GCC unroll 16
  for (int p = 0; p < N; ++p) std::memcpy(to + p * static_cast<int>(sizeof(V) / sizeof(double)), &y[p], sizeof(V));
}

// The 8 x 8 block in[0..7] transposed: element e of out[k] is element k of in[e]. Two vectors interleaved, then
// pairs and quadruples of 128-bit parts moved, all in registers.
[[gnu::always_inline]] inline void transposeEight(const DoubleOctet (&in)[8], DoubleOctet (&out)[8]) {
  DoubleOctet t[8], u[8];
  for (int e = 0; e < 8; e += 2) {  // elements 0, 2, 4, 6 of rows e and e+1 interleaved, then elements 1, 3, 5, 7
    t[e] = __builtin_shufflevector(in[e], in[e + 1], 0, 8, 2, 10, 4, 12, 6, 14);
    t[e + 1] = __builtin_shufflevector(in[e], in[e + 1], 1, 9, 3, 11, 5, 13, 7, 15);
  }
  for (int e = 0; e < 8; e += 4) {  // the even and the odd 128-bit parts of two vectors
    u[e] = __builtin_shufflevector(t[e], t[e + 2], 0, 1, 4, 5, 8, 9, 12, 13);  // elements 0 and 4 of rows e..e+3
    u[e + 1] = __builtin_shufflevector(t[e], t[e + 2], 2, 3, 6, 7, 10, 11, 14, 15);  // elements 2 and 6
    u[e + 2] = __builtin_shufflevector(t[e + 1], t[e + 3], 0, 1, 4, 5, 8, 9, 12, 13);  // elements 1 and 5
    u[e + 3] = __builtin_shufflevector(t[e + 1], t[e + 3], 2, 3, 6, 7, 10, 11, 14, 15);  // elements 3 and 7
  }
  for (int q = 0; q < 4; ++q) {
    const int k = (q & 1) * 2 + (q >> 1);  // u[q] and u[q + 4] hold elements k and k + 4
    out[k] = __builtin_shufflevector(u[q], u[q + 4], 0, 1, 4, 5, 8, 9, 12, 13);
    out[k + 4] = __builtin_shufflevector(u[q], u[q + 4], 2, 3, 6, 7, 10, 11, 14, 15);
  }
}

// transposeEight from the eight rows at from[0..7] to the eight rows at to[0..7], unaligned.
[[gnu::always_inline]] inline void transposeEight(const double* const* from, double* const* to) {
  DoubleOctet in[8], out[8];
  for (int k = 0; k < 8; ++k) std::memcpy(&in[k], from[k], sizeof in[k]);
  transposeEight(in, out);
  for (int k = 0; k < 8; ++k) std::memcpy(to[k], &out[k], sizeof out[k]);
}

// Bit k set where lane k of y is a zero or a NaN (compares equal to zero or unordered), in one comparison.
#ifdef KORVEX_WIDE_VECTORS
[[gnu::target("avx512f")]] inline unsigned zeroOrNanLanes(const DoubleOctet& y) {
  return _mm512_cmp_pd_mask(static_cast<__m512d>(y), _mm512_setzero_pd(), _CMP_EQ_UQ);
}
[[gnu::target("avx2")]] inline unsigned zeroOrNanLanes(const DoubleQuad& y) {
  return static_cast<unsigned>(
      _mm256_movemask_pd(_mm256_cmp_pd(static_cast<__m256d>(y), _mm256_setzero_pd(), _CMP_EQ_UQ)));
}
[[gnu::always_inline]] inline unsigned zeroOrNanLanes(DoublePair y) {
  const __m128d v = static_cast<__m128d>(y);
  return static_cast<unsigned>(_mm_movemask_pd(_mm_or_pd(_mm_cmpeq_pd(v, _mm_setzero_pd()), _mm_cmpunord_pd(v, v))));
}
#else
template <typename V>
inline unsigned zeroOrNanLanes(V y) {
  unsigned bits = 0;
  for (int k = 0; k < static_cast<int>(sizeof(V) / sizeof(double)); ++k) {
    bits |= !(y[k] != 0.0 && y[k] == y[k]) ? 1u << k : 0u;
  }
  return bits;
}
#endif

// Forward substitution with the unit factor of the packed f for rows first+1..n of the right-hand sides side by
// side, N vectors of V per element (lane k of element i at v[(i-1) stride + k], K doubles per vector, stride N K
// unless given); each row's terms in increasing column. Rows before first are +0 in every lane and no lane holds
// a -0 (else first is 1). With from, the rows before from are final already: rows from..n take their terms.
template <typename V, int N>
[[gnu::always_inline]] inline void forwardSubstituteSideBySide(Vec<const double> f, double* v, int n, int first,
                                                               size_t stride = N * sizeof(V) / sizeof(double),
                                                               int from = 0) {
  const auto at = [&](int i) { return v + static_cast<size_t>(i - 1) * stride; };
  // Forward substitution, B rows at a time so that at least eight sums run side by side: their terms over the
  // columns before the block first, then the small triangle inside the block, each row in increasing column.
  constexpr int B = N >= 8 ? 1 : 8 / N;
  int r = std::max(first + 1, from);
  for (; r + B - 1 <= n; r += B) {
    V y[B][N];
    int row[B];
  #pragma GCC unroll 16
    for (int q = 0; q < B; ++q) {
      row[q] = packed(r + q, 0);
      loadVectors(y[q], at(r + q));
    }
    for (int c = first; c < r; ++c) {
      V yc[N];
      loadVectors(yc, at(c));
    #pragma GCC unroll 16
      for (int q = 0; q < B; ++q) {
        const double l = f(row[q] + c);
      #pragma GCC unroll 16
        for (int p = 0; p < N; ++p) y[q][p] -= l * yc[p];
      }
    }
    for (int q = 1; q < B; ++q) {
      for (int e = 0; e < q; ++e) {
        const double l = f(row[q] + r + e);
      #pragma GCC unroll 16
        for (int p = 0; p < N; ++p) y[q][p] -= l * y[e][p];
      }
    }
  #pragma GCC unroll 16
    for (int q = 0; q < B; ++q) storeVectors(at(r + q), y[q]);
  }
  for (; r <= n; ++r) {
    const int row = packed(r, 0);
    V y[N];
    loadVectors(y, at(r));
    for (int c = first; c < r; ++c) {
      const double l = f(row + c);
      V yc[N];
      loadVectors(yc, at(c));
    #pragma GCC unroll 16
      for (int p = 0; p < N; ++p) y[p] -= l * yc[p];
    }
    storeVectors(at(r), y);
  }
}

// Division by the diagonal and back substitution (terms in increasing row) of the forward-substituted right-hand
// sides side by side (N vectors of V per element, lane k of element i at v[(i-1) stride + k]): each lane takes
// y_r = v_r / D_r - L(r+1, r) y_(r+1) - ... - L(n, r) y_n, as solve() does. Each row waits for the one below, so
// the lanes' chains of subtractions run in step; the quotient of the next row is formed a row ahead (it waits on
// nothing, and a division takes longer than a subtraction), and the row just finished feeds the first term of the
// next from registers.
//
// With zeroOrNan, bit (p K + k) of *zeroOrNan tells whether lane k of vector p ends with a zero or a NaN anywhere.
template <typename V, int N>
[[gnu::always_inline]] inline void divideAndBackSubstituteSideBySide(Vec<const double> f, double* v, int n,
                                                                     size_t stride,
                                                                     std::uint64_t* zeroOrNan = nullptr) {
  if (n < 1) return;
  constexpr int K = static_cast<int>(sizeof(V) / sizeof(double));
  unsigned found[N];
  const auto at = [&](int i) { return v + static_cast<size_t>(i - 1) * stride; };
  V below[N], ahead[N];
  loadVectors(below, at(n));
  const double dn = f(packed(n, n));
#pragma GCC unroll 16
  for (int p = 0; p < N; ++p) {
    below[p] /= dn;
    found[p] = zeroOrNanLanes(below[p]);
  }
  storeVectors(at(n), below);
  if (n > 1) {
    loadVectors(ahead, at(n - 1));
    const double d = f(packed(n - 1, n - 1));
  #pragma GCC unroll 16
    for (int p = 0; p < N; ++p) ahead[p] /= d;
  }
  for (int r = n - 1; r >= 1; --r) {
    V y[N];
  #pragma GCC unroll 16
    for (int p = 0; p < N; ++p) y[p] = ahead[p];
    if (r > 1) {
      loadVectors(ahead, at(r - 1));
      const double d = f(packed(r - 1, r - 1));
    #pragma GCC unroll 16
      for (int p = 0; p < N; ++p) ahead[p] /= d;
    }
    // L(c, r) down column r: consecutive rows of the packed array are c entries apart.
    int position = packed(r + 1, r);
    {
      const double l = f(position);
    #pragma GCC unroll 16
      for (int p = 0; p < N; ++p) y[p] -= l * below[p];
    }
    position += r + 1;
    for (int c = r + 2; c <= n; position += c, ++c) {
      const double l = f(position);
      V yc[N];
      loadVectors(yc, at(c));
    #pragma GCC unroll 16
      for (int p = 0; p < N; ++p) y[p] -= l * yc[p];
    }
    storeVectors(at(r), y);
  #pragma GCC unroll 16
    for (int p = 0; p < N; ++p) {
      found[p] |= zeroOrNanLanes(y[p]);
      below[p] = y[p];
    }
  }
  if (zeroOrNan != nullptr) {
    std::uint64_t bits = 0;
    for (int p = 0; p < N; ++p) bits |= std::uint64_t{found[p]} << (p * K);
    *zeroOrNan = bits;
  }
}

// forwardSubstituteSideBySide, division by the diagonal, back substitution (terms in increasing row): solve() in
// every lane.
template <typename V, int N>
[[gnu::always_inline]] inline void solveSideBySideWith(Vec<const double> f, double* v, int n, int first) {
  constexpr size_t stride = N * sizeof(V) / sizeof(double);
  forwardSubstituteSideBySide<V, N>(f, v, n, first, stride);
  divideAndBackSubstituteSideBySide<V, N>(f, v, n, stride);
}

// The same for N vectors per element at the given stride (in doubles), each vector p forward-substituted from its
// own first row firsts[p]; with the lanes that end with a zero or a NaN in *zeroOrNan (bit p K + k for lane k of
// vector p).
template <typename V, int N>
[[gnu::always_inline]] inline void solveSideBySideWith(Vec<const double> f, double* v, int n, const int* firsts,
                                                       size_t stride, std::uint64_t* zeroOrNan) {
  constexpr int K = static_cast<int>(sizeof(V) / sizeof(double));
  for (int p = 0; p < N; ++p) forwardSubstituteSideBySide<V, 1>(f, v + p * K, n, firsts[p], stride);
  divideAndBackSubstituteSideBySide<V, N>(f, v, n, stride, zeroOrNan);
}

}  // namespace korvex::qp
