// What the QP solver keeps instead of forming it again must be the same bits as the plain kernels give: the row
// solves formed side by side (and their negations), and the sums that leave out the zero terms of sparse rows.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "common/vector_width.h"
#include "qp/kernels.h"
#include "qp/row_solves.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using QpReuse = KorvexTest;
using Vector = std::vector<double>;

bool sameBits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// Column k of a: dense random entries, or three nonzero entries (the rest +0 or, for odd k, -0).
Vector constraintMatrix(std::mt19937& rng, int n, int nc, bool sparse) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Vector a(static_cast<size_t>(n * nc));
  for (int k = 0; k < nc; ++k) {
    for (int i = 0; i < n; ++i) {
      const bool nonzero = !sparse || (i >= k % n && i < k % n + 3);
      a[static_cast<size_t>(k * n + i)] = nonzero ? u(rng) : (k % 2 == 1 ? -0.0 : 0.0);
    }
  }
  return a;
}

TEST_F(QpReuse, RowSolvesAreTheBitsOfOneSolveAtATime) {
  struct Case {
    int n, nc, nineq;
    bool sparse;
    bool diagonal;  // H diagonal: the solves are full of zeros, so both signs are formed
  };
  const Case cases[] = {{7, 3, 1, false, false}, {12, 6, 2, true, false}, {12, 6, 2, true, true},
                        {40, 20, 0, true, false}, {33, 5, 5, false, true}, {50, 12, 3, true, true},
                        {100, 49, 0, true, false}};
  struct Restore {
    ~Restore() { useVectors(widestVectors()); }
  } restore;
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  // Every vector width the machine has: the runs' panels are filled, solved and read on it.
  for (const VectorWidth width : {VectorWidth::k128, VectorWidth::k256, VectorWidth::k512}) {
    if (width > widestVectors()) continue;
    useVectors(width);
    for (const Case& t : cases) {
      const int n = t.n;
      Vector h(static_cast<size_t>(n * n), 0.0);  // I (scaled) or I + M M'/n
      Vector m(static_cast<size_t>(n * n));
      for (double& v : m) v = u(rng);
      for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
          double sum = i == j ? 1.0 + 0.5 * i : 0.0;
          for (int k = 0; k < n && !t.diagonal; ++k) sum += m[i * n + k] * m[j * n + k] / n;
          h[static_cast<size_t>(i + j * n)] = sum;
        }
      }
      Vector hfac(static_cast<size_t>(qp::packedLength(n))), g(static_cast<size_t>(n), 0.0), x(g);
      ASSERT_TRUE(qp::start(defaultContext(), n, Mat<const double>(h.data(), n, n),
                            Vec<double>(hfac.data(), qp::packedLength(n)), Vec<const double>(g.data(), n),
                            Vec<double>(x.data(), n)));
      const Vector a = constraintMatrix(rng, n, t.nc, t.sparse);
      std::vector<int> itype(static_cast<size_t>(n));
      for (int i = 0; i < n; ++i) itype[static_cast<size_t>(i)] = i % 4;  // both, lower, upper and no bound
      const int nb = qp::countBoundRows(Vec<const int>(itype.data(), n));
      const qp::Rows rows(n, t.nc, t.nineq, nb, a.data(), n, itype.data());
      const Vec<const double> f(hfac.data(), qp::packedLength(n));

      qp::RowSolves solves;
      ASSERT_TRUE(solves.begin(rows));
      std::vector<int> order(static_cast<size_t>(rows.total()));
      for (int j = 1; j <= rows.total(); ++j) order[static_cast<size_t>(j - 1)] = j;
      std::shuffle(order.begin(), order.end(), rng);
      Vector kept(static_cast<size_t>(n)), plain(static_cast<size_t>(n));
      for (size_t q = 0; q < order.size(); ++q) {
        const int j = order[q];
        // The next rows of the order are offered as the likeliest to follow, so most rows come from earlier runs.
        const int offered = static_cast<int>(std::min<size_t>(qp::RowSolves::kLanes - 1, order.size() - q - 1));
        ASSERT_TRUE(solves.provide(rows, f, j, Vec<const int>(order.data() + q + 1, offered), offered));
        for (const double sign : {1.0, -1.0}) {
          solves.fetch(rows, j, sign, Vec<double>(kept.data(), n));
          rows.gradient(j, sign, Vec<double>(plain.data(), n));
          qp::solve(f, Vec<double>(plain.data(), n), n);
          for (int i = 0; i < n; ++i) {
            ASSERT_TRUE(sameBits(kept[static_cast<size_t>(i)], plain[static_cast<size_t>(i)]))
                << "width " << static_cast<int>(width) << " n " << n << " row " << j << " sign " << sign << " entry "
                << i + 1 << ": " << kept[static_cast<size_t>(i)] << " for " << plain[static_cast<size_t>(i)];
          }
        }
      }
    }
  }
}

// Every vector width the machine has gives the bits of the plain solve, lane by lane, for every lane count and for
// orders around the row blocks of the forward substitution; the right-hand sides hold zeros of both signs,
// infinities and NaNs, and some lanes start late (rows before the first +0 in every lane).
TEST_F(QpReuse, SideBySideSolvesOnEveryVectorWidthAreTheBitsOfOneSolveAtATime) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const double nan = std::nan("");
  struct Restore {
    ~Restore() { useVectors(widestVectors()); }
  } restore;
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const auto draw = [&](int kind) {  // kind 0..9: mostly numbers, now and then +0, -0, an infinity or a NaN
    switch (kind) {
      case 0: return 0.0;
      case 1: return -0.0;
      case 2: return u(rng) < 0.0 ? -inf : inf;
      case 3: return nan;
      default: return u(rng);
    }
  };
  const int orders[] = {1, 2, 3, 4, 5, 7, 8, 9, 10, 16, 17, 31, 50};
  for (const VectorWidth width : {VectorWidth::k128, VectorWidth::k256, VectorWidth::k512}) {
    if (width > widestVectors()) continue;
    useVectors(width);
    for (const int n : orders) {
      // A factor with zero multipliers of both signs and a tiny pivot.
      Vector hfac(static_cast<size_t>(qp::packedLength(n)));
      for (int r = 1; r <= n; ++r) {
        for (int c = 1; c < r; ++c) {
          hfac[static_cast<size_t>(qp::packed(r, c) - 1)] = draw(static_cast<int>(rng() % 2) * 9);
        }
        hfac[static_cast<size_t>(qp::packed(r, r) - 1)] = r == n / 2 + 1 ? 1e-300 : 1.5 + u(rng);
      }
      const Vec<const double> f(hfac.data(), qp::packedLength(n));
      for (int count = 1; count <= qp::RowSolves::kLanes; ++count) {
        const int lanes = count <= 2 ? 2 : count <= 4 ? 4 : count <= 8 ? 8 : 16;
        // Plain numbers only (rows may then be left out before the first nonzero), or any entries.
        for (const bool awkward : {false, true}) {
          Vector panel(static_cast<size_t>(n * lanes), 0.0);
          std::vector<Vector> plain(static_cast<size_t>(count), Vector(static_cast<size_t>(n)));
          int first = n;
          for (int k = 0; k < count; ++k) {
            const int start = 1 + static_cast<int>(rng() % static_cast<unsigned>(n));  // the lane's first entry
            Vector& v = plain[static_cast<size_t>(k)];
            for (int i = 1; i <= n; ++i) {
              const double x = i < start ? 0.0 : awkward ? draw(static_cast<int>(rng() % 10)) : 0.5 + u(rng);
              v[static_cast<size_t>(i - 1)] = panel[static_cast<size_t>((i - 1) * lanes + k)] = x;
            }
            first = std::min(first, start);
          }
          if (awkward) first = 1;
          qp::solveSideBySide(f, panel.data(), lanes, n, first);
          for (int k = 0; k < count; ++k) {
            Vector& v = plain[static_cast<size_t>(k)];
            qp::solve(f, Vec<double>(v.data(), n), n);
            for (int i = 1; i <= n; ++i) {
              const double side = panel[static_cast<size_t>((i - 1) * lanes + k)];
              ASSERT_TRUE(sameBits(side, v[static_cast<size_t>(i - 1)]))
                  << "width " << static_cast<int>(width) << " n " << n << " lanes " << count << " lane " << k
                  << " entry " << i << ": " << side << " for " << v[static_cast<size_t>(i - 1)];
            }
          }
        }
      }
    }
  }
}

// The factor of H (and the unconstrained minimum after it) on every vector width is the bits of row-by-row factoring,
// for orders around the blocks of four and eight rows and beyond the rows factored side by side; H holds zeros of
// both signs, an infinity, a NaN or a pivot too small, where factoring must fail alike.
TEST_F(QpReuse, FactorOnEveryVectorWidthIsTheBitsOfRowByRowFactoring) {
  struct Restore {
    ~Restore() { useVectors(widestVectors()); }
  } restore;
  enum Entry { kNumbers, kSignedZeros, kInfinity, kNan, kSmallPivot };
  std::mt19937 rng(13);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const int orders[] = {1, 2, 5, 9, 16, 19, 20, 21, 23, 24, 25, 28, 29, 33, 50, 150};
  for (const int n : orders) {
    for (const Entry entry : {kNumbers, kSignedZeros, kInfinity, kNan, kSmallPivot}) {
      Vector h(static_cast<size_t>(n * n));  // I + M M'/n, both triangles
      Vector m(static_cast<size_t>(n * n));
      for (double& v : m) v = u(rng);
      for (int i = 0; i < n; ++i) {
        for (int j = 0; j <= i; ++j) {
          double sum = i == j ? 1.0 : 0.0;
          for (int k = 0; k < n; ++k) sum += m[static_cast<size_t>(i * n + k)] * m[static_cast<size_t>(j * n + k)] / n;
          if (entry == kSignedZeros && (i + j) % 3 == 0 && i != j) sum = (i % 2 == 0) ? 0.0 : -0.0;
          h[static_cast<size_t>(i + j * n)] = h[static_cast<size_t>(j + i * n)] = sum;
        }
      }
      const int late = n - 1 - static_cast<int>(rng() % static_cast<unsigned>(std::min(n, 9)));  // a late row
      if (entry == kInfinity) h[static_cast<size_t>(late + (late / 2) * n)] = std::numeric_limits<double>::infinity();
      if (entry == kNan) h[static_cast<size_t>(late * (n + 1))] = std::nan("");
      if (entry == kSmallPivot) h[static_cast<size_t>(late * (n + 1))] = 1e-30;
      Vector g(static_cast<size_t>(n));
      for (double& v : g) v = u(rng);
      const int length = qp::packedLength(n);
      Vector rowByRow(static_cast<size_t>(length)), xRowByRow(static_cast<size_t>(n));
      const bool factored = qp::start(defaultContext(), n, Mat<const double>(h.data(), n, n),
                                      Vec<double>(rowByRow.data(), length), Vec<const double>(g.data(), n),
                                      Vec<double>(xRowByRow.data(), n), false);
      for (const VectorWidth width : {VectorWidth::k128, VectorWidth::k256, VectorWidth::k512}) {
        if (width > widestVectors()) continue;
        useVectors(width);
        Vector hfac(static_cast<size_t>(length)), x(static_cast<size_t>(n));
        ASSERT_EQ(qp::start(defaultContext(), n, Mat<const double>(h.data(), n, n), Vec<double>(hfac.data(), length),
                            Vec<const double>(g.data(), n), Vec<double>(x.data(), n), true),
                  factored)
            << "width " << static_cast<int>(width) << " n " << n << " entries " << entry;
        if (!factored) continue;
        for (int k = 0; k < length; ++k) {
          ASSERT_TRUE(sameBits(hfac[static_cast<size_t>(k)], rowByRow[static_cast<size_t>(k)]))
              << "width " << static_cast<int>(width) << " n " << n << " entries " << entry << " packed entry "
              << k + 1 << ": " << hfac[static_cast<size_t>(k)] << " for " << rowByRow[static_cast<size_t>(k)];
        }
        for (int i = 0; i < n; ++i) {
          ASSERT_TRUE(sameBits(x[static_cast<size_t>(i)], xRowByRow[static_cast<size_t>(i)]))
              << "width " << static_cast<int>(width) << " n " << n << " entries " << entry << " x " << i + 1;
        }
      }
    }
  }
}

TEST_F(QpReuse, SumsOverSparseRowsAreTheBitsOfTheFullSums) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const int n = 6, nc = 4, nineq = 2;
  // Columns: three nonzero entries with +0 elsewhere, with -0 elsewhere, a dense one, an all-zero one.
  const Vector a = {0, 0, 2, -3, 0.5, 0, -0.0, 1, -0.0, -0.0, 4, -1, 1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0};
  const std::vector<int> itype = {1, 1, 1, 1, 1, 1};
  struct Case {
    Vector v;
    Vector bc;
  };
  const Case cases[] = {
      {{1, 2, 3, 4, 5, 6}, {1, 0, -0.0, 0}},                     // right-hand sides +0, -0: starts -0, +0
      {{-0.0, -0.0, -0.0, -0.0, -0.0, -0.0}, {0, 0, 0, 0}},      // every term zero
      {{1e308, -1e308, 1e308, 1e308, -1e308, 1}, {0, 1, 2, 3}},  // overflow to infinities
      {{inf, 1, 2, 3, 4, 5}, {1, 1, 1, 1}},                      // an infinity where the sparse rows are zero
      {{1, 2, std::nan(""), 3, 4, 5}, {1, 1, 1, 1}},
  };
  qp::RowPatterns patterns;
  patterns.build(Mat<const double>(a.data(), n, nc), n, nc);
  const Vector xl(static_cast<size_t>(n), -1.0), xu(static_cast<size_t>(n), 1.0);
  for (const Case& t : cases) {
    qp::Rows full(n, nc, nineq, 2 * n, a.data(), n, itype.data());
    qp::Rows sparse = full;
    sparse.usePatterns(&patterns);
    const Vec<const double> v(t.v.data(), n), bc(t.bc.data(), nc);
    const int total = full.total();
    Vector c1(static_cast<size_t>(total)), c2(c1), d1(c1), d2(c1);
    qp::rowValues(full, bc, v, Vec<const double>(xl.data(), n), Vec<const double>(xu.data(), n),
                  Vec<double>(c1.data(), total));
    qp::rowValues(sparse, bc, v, Vec<const double>(xl.data(), n), Vec<const double>(xu.data(), n),
                  Vec<double>(c2.data(), total));
    std::vector<int> list(static_cast<size_t>(total));
    for (int j = 1; j <= total; ++j) list[static_cast<size_t>(total - j)] = j;
    full.dots(Vec<const int>(list.data(), total), total, v, Vec<double>(d1.data(), total));
    sparse.dots(Vec<const int>(list.data(), total), total, v, Vec<double>(d2.data(), total));
    for (int j = 0; j < total; ++j) {
      EXPECT_TRUE(sameBits(c1[static_cast<size_t>(j)], c2[static_cast<size_t>(j)])) << "value of row " << j + 1;
      EXPECT_TRUE(sameBits(d1[static_cast<size_t>(j)], d2[static_cast<size_t>(j)])) << "sum of row " << total - j;
      EXPECT_TRUE(sameBits(full.dot(j + 1, v), sparse.dot(j + 1, v))) << "dot of row " << j + 1;
    }
  }
}

}  // namespace
}  // namespace korvex::testing
