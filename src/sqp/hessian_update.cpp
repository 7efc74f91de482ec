// QHESS: the damped BFGS update of the Hessian approximation of the Lagrangian. With r = theta*y + (1 - theta)*B*s,
// where theta = 1 when s'y >= 0.2*s'Bs and 0.8*s'Bs / (s'Bs - s'y) otherwise,
//   B <- B - (B s)(B s)' / s'Bs + r r' / s'r,
// which keeps B positive definite (s'r >= 0.2*s'Bs > 0). The update is skipped when s'Bs, s'Bs - s'y or s'r is
// too small to divide by.
#include <cmath>
#include <cstring>

#include "common/double_pair.h"
#include "common/finite.h"
#include "common/logical.h"
#include "common/vector_width.h"
#include "common/views.h"
#include "korvex/routines/hessian.h"
#include "sqp/hessian_lagrangian.h"

namespace korvex {
namespace {

// The algorithm's constants are single-precision values.
constexpr double kSkipThreshold = double(1e-6f);  // 9.999999974752427e-7
constexpr double kDamping = double(0.2f);         // enough curvature: s'y >= 0.2 s'Bs
constexpr double kDampedShare = double(0.8f);     // theta = 0.8 s'Bs / (s'Bs - s'y)

double dot(Vec<const double> a, Vec<const double> b) {
  double sum = 0.0;
  for (int i = 1; i <= a.length(); ++i) sum += a(i) * b(i);
  return sum;
}

// work2 = B s by columns, work2(i) = sum over j of B(j, i) s(j), each sum in increasing j; four columns side by side.
void productByColumns(Mat<double> b, Vec<const double> s, Vec<double> work2) {
  const int n = s.length();
  int i = 1;
  for (; i + 3 <= n; i += 4) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    for (int j = 1; j <= n; ++j) {
      const double sj = s(j);
      s0 += b(j, i) * sj;
      s1 += b(j, i + 1) * sj;
      s2 += b(j, i + 2) * sj;
      s3 += b(j, i + 3) * sj;
    }
    work2(i) = s0;
    work2(i + 1) = s1;
    work2(i + 2) = s2;
    work2(i + 3) = s3;
  }
  for (; i <= n; ++i) {
    double sum = 0.0;
    for (int j = 1; j <= n; ++j) sum += b(j, i) * s(j);
    work2(i) = sum;
  }
}

// Rows i.. of work1 = B s by rows, N vectors V of neighbouring rows side by side at a time while they fit, each
// row's sum in increasing j; returns the first row left.
template <typename V, int N>
[[gnu::always_inline]] inline int productRowsSideBySide(Mat<double> b, Vec<const double> s, Vec<double> work1, int i) {
  constexpr int K = static_cast<int>(sizeof(V) / sizeof(double));
  const int n = s.length();
  for (; i + N * K - 1 <= n; i += N * K) {
    V sums[N] = {};
    for (int j = 1; j <= n; ++j) {
      const double sj = s(j);
      const double* column = &b(i, j);
      for (int p = 0; p < N; ++p) {
        V c;
        std::memcpy(&c, column + p * K, sizeof c);
        sums[p] += c * sj;
      }
    }
    for (int p = 0; p < N; ++p) std::memcpy(&work1(i + p * K), &sums[p], sizeof(V));
  }
  return i;
}

#ifdef KORVEX_WIDE_VECTORS
[[gnu::target("avx2")]] int productRowsWithAvx2(Mat<double> b, Vec<const double> s, Vec<double> work1) {
  return productRowsSideBySide<DoubleQuad, 2>(b, s, work1, productRowsSideBySide<DoubleQuad, 4>(b, s, work1, 1));
}
[[gnu::target("avx512f")]] int productRowsWithAvx512(Mat<double> b, Vec<const double> s, Vec<double> work1) {
  return productRowsSideBySide<DoubleOctet, 1>(b, s, work1, productRowsSideBySide<DoubleOctet, 2>(b, s, work1, 1));
}
#endif

// work1 = B s by rows, work1(i) = sum over j of B(i, j) s(j), each sum in increasing j: sixteen or eight rows side
// by side in the machine's wide vectors, then eight rows in four pairs while the columns go by, then two rows, then
// one.
void productByRows(Mat<double> b, Vec<const double> s, Vec<double> work1) {
  const int n = s.length();
  int i = 1;
#ifdef KORVEX_WIDE_VECTORS
  switch (vectorsInUse()) {
    case VectorWidth::k512: i = productRowsWithAvx512(b, s, work1); break;
    case VectorWidth::k256: i = productRowsWithAvx2(b, s, work1); break;
    default: break;
  }
#endif
  i = productRowsSideBySide<DoublePair, 4>(b, s, work1, i);
  for (; i + 1 <= n; i += 2) {
    DoublePair sum = {0.0, 0.0};
    for (int j = 1; j <= n; ++j) sum += loadPair(&b(i, j)) * s(j);
    storePair(&work1(i), sum);
  }
  for (; i <= n; ++i) {
    double sum = 0.0;
    for (int j = 1; j <= n; ++j) sum += b(i, j) * s(j);
    work1(i) = sum;
  }
}

// B(i, j) = B(i, j) - work2(j) work1(i) / sBs + r(j) r(i) / sr, two rows i at a time.
void rankTwoUpdate(Mat<double> b, Vec<const double> work2, Vec<const double> work1, Vec<const double> r, double sBs,
                   double sr) {
  const int n = work1.length();
  for (int j = 1; j <= n; ++j) {
    const double w2 = work2(j), rj = r(j);
    int i = 1;
    for (; i + 1 <= n; i += 2) {
      const DoublePair bij = loadPair(&b(i, j));
      storePair(&b(i, j), bij - w2 * loadPair(&work1(i)) / sBs + rj * loadPair(&r(i)) / sr);
    }
    for (; i <= n; ++i) b(i, j) = b(i, j) - w2 * work1(i) / sBs + rj * r(i) / sr;
  }
}

// Whether B equals its transpose bit for bit. Then B s by rows and by columns are the same sums of the same
// products, and so is every element of the update and its mirror (each product's factors only change places):
// the update keeps B symmetric, and only one triangle needs to be formed.
bool bitwiseSymmetric(Mat<const double> b, int n) {
  for (int j = 1; j <= n; ++j) {
    for (int i = j + 1; i <= n; ++i) {
      if (!sameBits(b(i, j), b(j, i))) return false;
    }
  }
  return true;
}

// Rows j..j+3 of B above the diagonal copied from columns j..j+3 below it: B(c, i) = B(i, c) for c = j..j+3 and
// i > c. Beyond the four columns, two rows i at a time: a pair from each column, four values of row i and four of
// row i + 1 stored together (they lie next to each other in column i and i + 1).
void mirrorFourColumns(Mat<double> b, int j, int n) {
  for (int c = j; c < j + 3; ++c) {
    for (int i = c + 1; i < j + 4; ++i) b(c, i) = b(i, c);
  }
  int i = j + 4;
  for (; i + 1 <= n; i += 2) {
    const DoublePair c0 = loadPair(&b(i, j)), c1 = loadPair(&b(i, j + 1));
    const DoublePair c2 = loadPair(&b(i, j + 2)), c3 = loadPair(&b(i, j + 3));
    storePair(&b(j, i), DoublePair{c0[0], c1[0]});
    storePair(&b(j + 2, i), DoublePair{c2[0], c3[0]});
    storePair(&b(j, i + 1), DoublePair{c0[1], c1[1]});
    storePair(&b(j + 2, i + 1), DoublePair{c2[1], c3[1]});
  }
  for (; i <= n; ++i) {
    for (int c = j; c < j + 4; ++c) b(c, i) = b(i, c);
  }
}

// Column j of a symmetric B on and below the diagonal, B(i, j) = B(i, j) - work(j) work(i) / sBs + r(j) r(i) / sr
// for i = j..n, as rankTwoUpdate forms each element: V holds neighbouring i side by side, then pairs, then one.
template <typename V>
[[gnu::always_inline]] inline void updateLowerColumn(Mat<double> b, Vec<const double> work, Vec<const double> r,
                                                     double sBs, double sr, int j) {
  constexpr int K = static_cast<int>(sizeof(V) / sizeof(double));
  const int n = work.length();
  const double wj = work(j), rj = r(j);
  int i = j;
  for (; i + K - 1 <= n; i += K) {
    V bij, wi, ri;
    std::memcpy(&bij, &b(i, j), sizeof bij);
    std::memcpy(&wi, &work(i), sizeof wi);
    std::memcpy(&ri, &r(i), sizeof ri);
    bij = bij - wj * wi / sBs + rj * ri / sr;
    std::memcpy(&b(i, j), &bij, sizeof bij);
  }
  for (; i + 1 <= n; i += 2) {
    const DoublePair bij = loadPair(&b(i, j));
    storePair(&b(i, j), bij - wj * loadPair(&work(i)) / sBs + rj * loadPair(&r(i)) / sr);
  }
  for (; i <= n; ++i) b(i, j) = b(i, j) - wj * work(i) / sBs + rj * r(i) / sr;
}

template <typename V>
[[gnu::always_inline]] inline void updateLowerTriangle(Mat<double> b, Vec<const double> work, Vec<const double> r,
                                                       double sBs, double sr) {
  for (int j = 1; j <= work.length(); ++j) updateLowerColumn<V>(b, work, r, sBs, sr, j);
}

#ifdef KORVEX_WIDE_VECTORS
[[gnu::target("avx2")]] void updateLowerTriangleWithAvx2(Mat<double> b, Vec<const double> work, Vec<const double> r,
                                                         double sBs, double sr) {
  updateLowerTriangle<DoubleQuad>(b, work, r, sBs, sr);
}
[[gnu::target("avx512f")]] void updateLowerTriangleWithAvx512(Mat<double> b, Vec<const double> work,
                                                              Vec<const double> r, double sBs, double sr) {
  updateLowerTriangle<DoubleOctet>(b, work, r, sBs, sr);
}
#endif

// The update of a symmetric B: the elements on and below the diagonal as in rankTwoUpdate (work1 = work2 here),
// as wide as the machine's vectors go (each element's divisions are most of the work), each then copied to its
// mirror above the diagonal, four columns at a time.
void symmetricRankTwoUpdate(Mat<double> b, Vec<const double> work, Vec<const double> r, double sBs, double sr) {
  const int n = work.length();
#ifdef KORVEX_WIDE_VECTORS
  switch (vectorsInUse()) {
    case VectorWidth::k512: updateLowerTriangleWithAvx512(b, work, r, sBs, sr); break;
    case VectorWidth::k256: updateLowerTriangleWithAvx2(b, work, r, sBs, sr); break;
    default: updateLowerTriangle<DoublePair>(b, work, r, sBs, sr); break;
  }
#else
  updateLowerTriangle<DoublePair>(b, work, r, sBs, sr);
#endif
  int j = 1;
  for (; j + 3 <= n; j += 4) mirrorFourColumns(b, j, n);
  for (; j <= n; ++j) {
    for (int i = j + 1; i <= n; ++i) b(j, i) = b(i, j);
  }
}

}  // namespace

bool dampedBfgsUpdate(int n, const double* sData, const double* yData, double* bData, double* work1Data,
                      double* rData, double* work2Data, bool knownSymmetric) {
  if (n < 0) n = 0;
  const Vec<const double> s(sData, n), y(yData, n);
  const Mat<double> b(bData, n, n);
  const Vec<double> work1(work1Data, n), r(rData, n), work2(work2Data, n);

  // B s is formed by rows when B is symmetric (the same sums, and the faster loop), by columns otherwise.
  const bool symmetric = knownSymmetric || bitwiseSymmetric(Mat<const double>(bData, n, n), n);
  if (symmetric) {
    productByRows(b, s, work2);
  } else {
    productByColumns(b, s, work2);
  }
  const double sBs = dot(s, Vec<const double>(work2.data(), n));
  const double sy = dot(s, y);
  if (std::abs(sBs) < kSkipThreshold) return false;
  if (std::abs(sBs - sy) < kSkipThreshold) return false;

  const double theta = sy >= kDamping * sBs ? 1.0 : kDampedShare * sBs / (sBs - sy);

  // r = theta y + (1 - theta) B s.
  if (symmetric) {
    for (int i = 1; i <= n; ++i) work1(i) = work2(i);
  } else {
    productByRows(b, s, work1);
  }
  for (int i = 1; i <= n; ++i) r(i) = theta * y(i) + (1.0 - theta) * work1(i);
  const double sr = dot(s, Vec<const double>(r.data(), n));
  if (std::abs(sr) < kSkipThreshold) return false;

  if (symmetric) {
    symmetricRankTwoUpdate(b, Vec<const double>(work1.data(), n), Vec<const double>(r.data(), n), sBs, sr);
  } else {
    rankTwoUpdate(b, Vec<const double>(work2.data(), n), Vec<const double>(work1.data(), n),
                  Vec<const double>(r.data(), n), sBs, sr);
  }
  return true;
}

}  // namespace korvex

extern "C" KORVEX_API void QHESS(const int* n, const double* s, const double* y, double* B, int* updated,
                                 double* work1, double* r, double* work2) {
  *updated = korvex::dampedBfgsUpdate(*n, s, y, B, work1, r, work2) ? korvex::kTrue : korvex::kFalse;
}
