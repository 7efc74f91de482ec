// What the QP solver keeps instead of forming it again must be the same bits as the plain kernels give: the row
// solves formed side by side (and their negations), the sums that leave out the zero terms of sparse rows, the
// factor of the active rows' matrix that additions and drops form from what the directions leave, and the marks of
// the passed-over rows kept up to date through additions and drops.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
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
      if (std::all_of(t.v.begin(), t.v.end(), [](double e) { return std::isfinite(e); })) {
        EXPECT_TRUE(sameBits(full.dot(j + 1, v), sparse.dot(j + 1, v, true))) << "dot of row " << j + 1;
      }
    }
  }
}

// Patterns that fill the room for entries: the columns that no longer fit are summed in full, with the same bits.
TEST_F(QpReuse, PatternsBeyondTheirRoomLeaveTheSumsAsTheyAre) {
  const int n = 100, nc = 340;  // 50 nonzero entries per column: 16,384 entries hold 327 such columns
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Vector a(static_cast<size_t>(n * nc));
  for (int k = 0; k < nc; ++k) {
    for (int i = 0; i < n; ++i) a[static_cast<size_t>(k * n + i)] = (i + k) % 2 == 0 ? u(rng) : (k % 3 == 0 ? -0.0 : 0.0);
  }
  const std::vector<int> itype(static_cast<size_t>(n), 0);
  const auto patterns = std::make_unique<qp::RowPatterns>();
  patterns->build(Mat<const double>(a.data(), n, nc), n, nc);
  EXPECT_EQ(patterns->count(1), 50);
  EXPECT_EQ(patterns->count(nc), -1);
  qp::Rows full(n, nc, nc, 0, a.data(), n, itype.data());
  qp::Rows sparse = full;
  sparse.usePatterns(patterns.get());
  Vector v(static_cast<size_t>(n));
  for (double& e : v) e = u(rng);
  std::vector<int> list(static_cast<size_t>(nc));
  for (int k = 1; k <= nc; ++k) list[static_cast<size_t>(k - 1)] = k;
  Vector d1(static_cast<size_t>(nc)), d2(d1);
  full.dots(Vec<const int>(list.data(), nc), nc, Vec<const double>(v.data(), n), Vec<double>(d1.data(), nc));
  sparse.dots(Vec<const int>(list.data(), nc), nc, Vec<const double>(v.data(), n), Vec<double>(d2.data(), nc));
  for (int k = 0; k < nc; ++k) EXPECT_TRUE(sameBits(d1[static_cast<size_t>(k)], d2[static_cast<size_t>(k)])) << k + 1;
}

// The step length against its plain definition: the partial step is the last position with the least ratio
// -xlag/r over the decreasing multipliers (r < -tinyTol), one at a time, through every block of ratios.
TEST_F(QpReuse, StepLengthIsThePlainLastLeastRatio) {
  const double tiny = settings.tinyTol, big = settings.bigValue;
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  const double rates[] = {-1.0, -2.0, -tiny, -2 * tiny, 0.0, -0.0, 1.0, -0.5, -inf, nan};
  const double multipliers[] = {0.0, -0.0, 1.0, 2.0, 1.0, 0.5, nan, -1e-300, big, 4.0};
  const int counts[] = {1, 2, 3, 31, 32, 33, 65, 70};
  const double a[] = {1.0, -2.0, 0.0};
  const std::vector<int> itype = {1, 1};
  qp::Rows rows(2, 1, 1, 4, a, 2, itype.data());
  const double z[] = {0.25, 0.5}, c[] = {3.0, 0, 0, 0, 0};
  std::mt19937 rng(3);
  for (const int nact : counts) {
    for (int round = 0; round < 20; ++round) {
      Vector r(static_cast<size_t>(nact)), xlag(r);
      for (int k = 0; k < nact; ++k) {
        r[static_cast<size_t>(k)] = rates[rng() % std::size(rates)];
        xlag[static_cast<size_t>(k)] = multipliers[rng() % std::size(multipliers)];
      }
      double partial = big;
      int drop = 0;
      for (int k = 1; k <= nact; ++k) {
        const double rate = r[static_cast<size_t>(k - 1)];
        if (!(rate < -tiny)) continue;
        const double ratio = -xlag[static_cast<size_t>(k - 1)] / rate;
        if (ratio <= partial) partial = ratio, drop = k;
      }
      for (const bool zFinite : {false, true}) {
        const qp::StepChoice step = qp::stepLength(defaultContext(), rows, Vec<const double>(c, 5), 1, nact, 1.0,
                                                   Vec<const double>(z, 2), Vec<const double>(xlag.data(), nact),
                                                   Vec<const double>(r.data(), nact), zFinite);
        const double full = -3.0 / (1.0 * 0.25 + -2.0 * 0.5);
        const bool partialFirst = !(full <= partial);
        EXPECT_EQ(step.idx, partialFirst ? drop : nact + 1) << nact << " " << round;
        EXPECT_TRUE(sameBits(step.t, partialFirst ? partial : full)) << nact << " " << round;
      }
    }
  }
}

// One way of carrying the active rows through directions, additions and drops: plainly, or with the reuse the
// solver keeps for few variables (no substituted rows) or for many.
struct ActiveRows {
  ActiveRows(int n, bool reusing, bool substituting)
      : reusing(reusing),
        iact(static_cast<size_t>(n)),
        xlag(static_cast<size_t>(n)),
        z(static_cast<size_t>(n)),
        r(static_cast<size_t>(n)),
        actmat(static_cast<size_t>(qp::packedLength(n))),
        unfactored(actmat),
        substituted(actmat),
        sums(static_cast<size_t>(n)),
        hinvn(static_cast<size_t>(n * n)) {
    if (!reusing) return;
    reuse.unfactored = Vec<double>(unfactored.data(), qp::packedLength(n));
    reuse.sums = Vec<double>(sums.data(), n);
    if (substituting) reuse.substituted = Vec<double>(substituted.data(), qp::packedLength(n));
  }
  bool reusing;
  int nact = 0;
  std::vector<int> iact;
  Vector xlag, z, r, actmat, unfactored, substituted, sums, hinvn;
  qp::Reuse reuse;
};

TEST_F(QpReuse, FactorOfTheActiveRowsIsTheBitsOfFormingItAgain) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  struct Step {
    int kv;    // the direction is for row kv
    int drop;  // then active position drop is dropped, or (0) row kv is added
  };
  struct Case {
    int n, nc;
    Vector a;  // column-major n x nc; empty: dense random
    bool identity;  // H = I, else I + M M'/n
    std::vector<Step> steps;
  };
  // Every variable has both bound rows: nc + 2i - 1 is x_i <= XU_i (gradient e_i), nc + 2i is XL_i <= x_i (-e_i).
  const Case cases[] = {
      // H = I, a = e1 + e2, e1 + e3, e2 + e4. Adding row 2 after rows 4 (e1) and 1: sums -1, -1 forward-substitute
      // to -1, +0, whose negation has the wrong sign. Bound rows give sums of +0 and -0 (row 5: -z1 with z1 = +0).
      {4, 3, {1, 1, 0, 0, 1, 0, 1, 0, 0, 1, 0, 1}, true,
       {{4, 0}, {1, 0}, {2, 0}, {11, 0}, {9, 3}, {9, 0}, {3, 1}, {3, 0}}},
      {4, 3, {1, 1, 0, 0, 1, 0, 1, 0, 0, 1, 0, 1}, true, {{5, 0}, {6, 0}, {2, 0}, {3, 0}}},
      // A NaN in a gradient: its sums, its row of M and every later substituted sum are NaN.
      {5, 2, {1, nan, 0, 2, 0, 1, 1, 1, 1, 1}, false, {{5, 0}, {1, 0}, {2, 0}, {10, 0}, {7, 1}, {7, 0}}},
      // Dense rows, whose substituted sums are taken negated, up to more than 40 active rows (substituted eight
      // rows side by side).
      {60, 45, {}, false, {}},
  };
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (const Case& t : cases) {
    const int n = t.n;
    Vector h(static_cast<size_t>(n * n), 0.0), m(static_cast<size_t>(n * n));
    for (double& v : m) v = u(rng);
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        double sum = i == j ? 1.0 : 0.0;
        for (int k = 0; k < n && !t.identity; ++k) sum += m[i * n + k] * m[j * n + k] / n;
        h[static_cast<size_t>(i + j * n)] = sum;
      }
    }
    Vector hfac(static_cast<size_t>(qp::packedLength(n))), g(static_cast<size_t>(n), 0.0), x(g);
    ASSERT_TRUE(qp::start(defaultContext(), n, Mat<const double>(h.data(), n, n),
                          Vec<double>(hfac.data(), qp::packedLength(n)), Vec<const double>(g.data(), n),
                          Vec<double>(x.data(), n)));
    const Vector a = t.a.empty() ? constraintMatrix(rng, n, t.nc, false) : t.a;
    const std::vector<int> itype(static_cast<size_t>(n), qp::kBothBounds);
    const qp::Rows rows(n, t.nc, t.nc, 2 * n, a.data(), n, itype.data());
    std::vector<Step> steps = t.steps;
    if (steps.empty()) {  // every general row and a bound row of every third variable, a drop now and then
      for (int k = 1; k <= t.nc; ++k) {
        steps.push_back({k, 0});
        if (k % 3 == 0) steps.push_back({t.nc + 2 * k - 1, 0});
        if (k % 7 == 0) steps.push_back({k + 1, k / 2});
      }
    }

    const int length = qp::packedLength(n);
    const Vec<const double> f(hfac.data(), length);
    ActiveRows ways[] = {{n, false, false}, {n, true, false}, {n, true, true}};
    for (size_t s = 0; s < steps.size(); ++s) {
      const Step step = steps[s];
      for (ActiveRows& w : ways) {
        const Vec<double> z(w.z.data(), n), r(w.r.data(), n), actmat(w.actmat.data(), length);
        const Mat<double> hinvn(w.hinvn.data(), n, n);
        const Vec<const int> iact(w.iact.data(), n);
        if (w.reusing) {
          qp::directionReusing(rows, w.nact, iact, z, r, qp::readOnly(actmat), hinvn, f, step.kv, w.reuse);
        } else {
          qp::direction(rows, w.nact, iact, z, r, qp::readOnly(actmat), qp::readOnly(hinvn), f, step.kv);
        }
        ASSERT_TRUE(qp::addOrDrop(defaultContext(), rows, w.nact, Vec<int>(w.iact.data(), n),
                                  Vec<double>(w.xlag.data(), n), actmat, hinvn, f,
                                  step.drop == 0 ? w.nact + 1 : step.drop, step.kv, 1.0,
                                  w.reusing ? &w.reuse : nullptr))
            << "n " << n << " step " << s;
      }
      const ActiveRows& plain = ways[0];
      for (size_t q = 1; q < std::size(ways); ++q) {
        const ActiveRows& w = ways[q];
        ASSERT_EQ(w.nact, plain.nact);
        for (int i = 0; i < n; ++i) {
          ASSERT_TRUE(sameBits(w.z[static_cast<size_t>(i)], plain.z[static_cast<size_t>(i)])) << "z " << i + 1;
        }
        for (int k = 0; k < qp::packedLength(plain.nact); ++k) {
          ASSERT_TRUE(sameBits(w.actmat[static_cast<size_t>(k)], plain.actmat[static_cast<size_t>(k)]))
              << "n " << n << " way " << q << " step " << s << ": factor entry " << k + 1 << " is "
              << w.actmat[static_cast<size_t>(k)] << " for " << plain.actmat[static_cast<size_t>(k)];
        }
      }
    }
  }
}

// A direction on every vector width is the bits of the plain solves and sums: z = -H^-1 n_kv, r = -M^-1 N'z,
// z -= HINVN r with each z(i) taking its terms in increasing k, and |z| from the squares in increasing i. With the
// solver's pairs of solves, the columns after the active ones also hold the solves of both signs of row kv and of
// the runner-up, two pairs whose first nonzero rows differ (bound rows, general rows led by +0). The gradients and
// HINVN hold zeros of both signs, infinities and NaNs; orders and active counts fall around the vectors' widths.
// A NaN stands for any NaN: which of two NaN factors a product passes on follows the order of its operands in the
// machine code, which the compiler may swap (a product is commutative), in the plain loops as anywhere.
TEST_F(QpReuse, DirectionsOnEveryVectorWidthAreTheBitsOfThePlainSolvesAndSums) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  struct Case {
    int n, nact;
    int kvBound, runnerUpBound;  // the upper bound row of this variable, or (0) the general row nact+1 or nact+2
    bool awkward;                // gradients and HINVN hold +0, -0, infinities and NaNs
  };
  const Case cases[] = {{1, 0, 0, 0, false}, {2, 1, 2, 0, true},    {6, 2, 0, 0, false},   {9, 5, 3, 0, true},
                        {9, 4, 0, 7, false}, {17, 4, 9, 2, true},   {17, 13, 0, 0, true},  {33, 9, 0, 30, false},
                        {35, 8, 20, 5, true}, {50, 21, 40, 0, true}, {50, 46, 0, 0, false}, {130, 40, 3, 100, true}};
  struct Restore {
    ~Restore() { useVectors(widestVectors()); }
  } restore;
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const auto same = [](double x, double y) { return sameBits(x, y) || (std::isnan(x) && std::isnan(y)); };
  const auto draw = [&](bool awkward) {
    switch (awkward ? rng() % 10 : 9) {
      case 0: return 0.0;
      case 1: return -0.0;
      case 2: return u(rng) < 0.0 ? -inf : inf;
      case 3: return std::nan("");
      default: return u(rng);
    }
  };
  for (const Case& t : cases) {
    const int n = t.n, nact = t.nact;
    Vector h(static_cast<size_t>(n * n));  // I + M M'/n
    Vector m(static_cast<size_t>(n * n));
    for (double& v : m) v = u(rng);
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        double sum = i == j ? 1.0 : 0.0;
        for (int k = 0; k < n; ++k) sum += m[static_cast<size_t>(i * n + k)] * m[static_cast<size_t>(j * n + k)] / n;
        h[static_cast<size_t>(i + j * n)] = sum;
      }
    }
    const int length = qp::packedLength(n);
    Vector hfac(static_cast<size_t>(length)), g(static_cast<size_t>(n), 0.0), x(g);
    ASSERT_TRUE(qp::start(defaultContext(), n, Mat<const double>(h.data(), n, n), Vec<double>(hfac.data(), length),
                          Vec<const double>(g.data(), n), Vec<double>(x.data(), n)));
    const Vec<const double> f(hfac.data(), length);
    // General row k (an inequality) leads with k % 5 entries +0; every variable has both bound rows.
    Vector a(static_cast<size_t>(n * n)), hinvn(a);
    for (int k = 0; k < n; ++k) {
      for (int i = 0; i < n; ++i) a[static_cast<size_t>(k * n + i)] = i < k % 5 ? 0.0 : draw(t.awkward);
    }
    for (double& v : hinvn) v = draw(t.awkward);
    const std::vector<int> itype(static_cast<size_t>(n), qp::kBothBounds);
    const qp::Rows rows(n, n, n, 2 * n, a.data(), n, itype.data());
    const auto row = [&](int bound, int general) { return bound != 0 ? n + 2 * bound - 1 : general; };
    const int kv = row(t.kvBound, nact + 1), runnerUp = row(t.runnerUpBound, std::min(nact + 2, n));
    std::vector<int> iact(static_cast<size_t>(n));
    for (int k = 1; k <= nact; ++k) iact[static_cast<size_t>(k - 1)] = k;
    Vector actmat(static_cast<size_t>(length));  // a unit lower factor and a diagonal of M
    for (int r = 1; r <= nact; ++r) {
      for (int c = 1; c <= r; ++c) actmat[static_cast<size_t>(qp::packed(r, c) - 1)] = c < r ? u(rng) : 1.5 + u(rng);
    }
    const Vec<const int> active(iact.data(), n);
    const Vec<const double> factor(actmat.data(), length);

    // The plain solves and sums.
    const auto solved = [&](int j, double sign) {
      Vector v(static_cast<size_t>(n));
      rows.gradient(j, sign, Vec<double>(v.data(), n));
      qp::solve(f, Vec<double>(v.data(), n), n);
      return v;
    };
    Vector z = solved(kv, -1.0), r(static_cast<size_t>(n));
    rows.dots(active, nact, Vec<const double>(z.data(), n), Vec<double>(r.data(), n));
    qp::solve(factor, Vec<double>(r.data(), n), nact);
    double squares = 0.0;
    for (int i = 0; i < n; ++i) {
      for (int k = 0; k < nact; ++k) z[static_cast<size_t>(i)] -= hinvn[static_cast<size_t>(k * n + i)] * r[static_cast<size_t>(k)];
      squares += z[static_cast<size_t>(i)] * z[static_cast<size_t>(i)];
    }
    const double norm = squares > 0.0 ? std::sqrt(squares) : 0.0;
    const Vector pairs[] = {solved(kv, 1.0), solved(kv, -1.0), solved(runnerUp, 1.0), solved(runnerUp, -1.0)};

    for (const VectorWidth width : {VectorWidth::k128, VectorWidth::k256, VectorWidth::k512}) {
      if (width > widestVectors()) continue;
      useVectors(width);
      for (const bool reusing : {false, true}) {
        Vector zw(static_cast<size_t>(n)), rw(zw), hw(hinvn), sums(zw);
        qp::Reuse reuse;
        reuse.solvesPairs = true;
        reuse.runnerUp = runnerUp;
        reuse.sums = Vec<double>(sums.data(), n);
        const Vec<double> zv(zw.data(), n), rv(rw.data(), n);
        const Mat<double> hv(hw.data(), n, n);
        const double got = reusing ? qp::directionReusing(rows, nact, active, zv, rv, factor, hv, f, kv, reuse)
                                   : qp::direction(rows, nact, active, zv, rv, factor, qp::readOnly(hv), f, kv);
        const std::string where = "width " + std::to_string(static_cast<int>(width)) + " n " + std::to_string(n) +
                                  " nact " + std::to_string(nact) + (reusing ? " reusing" : " plain");
        ASSERT_TRUE(same(got, norm)) << where << ": |z| " << got << " for " << norm;
        for (int i = 0; i < n; ++i) {
          ASSERT_TRUE(same(zw[static_cast<size_t>(i)], z[static_cast<size_t>(i)]))
              << where << " z " << i + 1 << ": " << zw[static_cast<size_t>(i)] << " for " << z[static_cast<size_t>(i)];
          ASSERT_TRUE(i >= nact || same(rw[static_cast<size_t>(i)], r[static_cast<size_t>(i)])) << where << " r";
        }
        // Columns nact+1.. hold H^-1 n_kv, -H^-1 n_kv, then the runner-up's two when all four fit.
        const int kept = !reusing ? 0 : nact + 4 <= n ? 4 : std::min(2, n - nact);
        ASSERT_EQ(reuse.spareRow, kept == 4 ? runnerUp : 0) << where;
        for (int q = 0; q < kept; ++q) {
          for (int i = 0; i < n; ++i) {
            const double side = hw[static_cast<size_t>((nact + q) * n + i)];
            ASSERT_TRUE(same(side, pairs[q][static_cast<size_t>(i)]))
                << where << " column " << nact + q + 1 << " entry " << i + 1 << ": " << side << " for "
                << pairs[q][static_cast<size_t>(i)];
          }
        }
      }
    }
  }
}

// The choice of a row to add and the ranking of the candidates, made from marks kept up to date through a run of
// additions and drops, against plain definitions that look each row up in IACT. The values are drawn with ties,
// NaNs, zeros of both signs and values at exactly tinyTol; rows passed over keep values far above the others.
TEST_F(QpReuse, RowChoiceFromKeptMarksIsTheChoiceFromTheActiveRows) {
  struct Case {
    int n, nc, nineq;
    bool boxed;  // bound type 1 for every variable (else types 1, 2, 3 and none in turn)
  };
  const Case cases[] = {{6, 4, 1, false}, {50, 49, 0, true}, {9, 5, 5, true}, {3, 600, 0, false}};
  const double tiny = settings.tinyTol;
  const double pool[] = {tiny, 2 * tiny, 0.5, 0.5, 1.0, -0.0, 0.0, -1.0, std::nan(""), 3.0, 3.0};
  std::mt19937 rng(11);
  for (const Case& t : cases) {
    std::vector<int> itype(static_cast<size_t>(t.n));
    for (int i = 0; i < t.n; ++i) itype[static_cast<size_t>(i)] = t.boxed ? 1 : i % 4;
    const int nb = qp::countBoundRows(Vec<const int>(itype.data(), t.n));
    const Vector a = constraintMatrix(rng, t.n, t.nc, true);
    qp::Rows rows(t.n, t.nc, t.nineq, nb, a.data(), t.n, itype.data());
    const auto patterns = std::make_unique<qp::RowPatterns>();
    if (t.n >= 40) {  // sums over the nonzero entries, as the solver forms them for such problems
      patterns->build(Mat<const double>(a.data(), t.n, t.nc), t.n, t.nc);
      rows.usePatterns(patterns.get());
    }
    const int total = rows.total();
    const auto twin = [&](int j) {
      return rows.isMirror(j) ? rows.equalityOf(j) : rows.isEquality(j) ? rows.mirrorOf(j) : 0;
    };
    std::vector<int> iact(static_cast<size_t>(t.n), 0);
    int nact = 0;
    const auto passedOver = [&](int j) {
      for (int k = 0; k < nact; ++k) {
        if (iact[static_cast<size_t>(k)] == j || (twin(j) != 0 && iact[static_cast<size_t>(k)] == twin(j))) {
          return true;
        }
      }
      return false;
    };
    qp::PassedOver kept(rows, nact, Vec<const int>(iact.data(), t.n));
    std::uniform_int_distribution<size_t> pick(0, std::size(pool) - 1);
    for (int round = 0; round < 40; ++round) {
      // Add a row that is not passed over, or drop an active one.
      std::uniform_int_distribution<int> row(1, total);
      if (nact < t.n && (nact == 0 || round % 3 != 2)) {
        int j = row(rng);
        while (passedOver(j)) j = row(rng);
        iact[static_cast<size_t>(nact++)] = j;
        kept.add(j);
      } else {
        const int k = std::uniform_int_distribution<int>(0, nact - 1)(rng);
        const int j = iact[static_cast<size_t>(k)];
        iact.erase(iact.begin() + k);
        iact.push_back(0);
        --nact;
        kept.drop(j);
      }
      Vector c(static_cast<size_t>(total));
      for (int j = 1; j <= total; ++j) c[static_cast<size_t>(j - 1)] = passedOver(j) ? 1e300 : pool[pick(rng)];
      const Vec<const double> values(c.data(), total);

      // Plain definitions: the first of the greatest values above tinyTol, and the runner-up as one pass with its
      // threshold at the second place finds it.
      int kv = 0, second = 0;
      double worst = tiny, secondWorst = tiny;
      for (int j = 1; j <= total; ++j) {
        const double v = c[static_cast<size_t>(j - 1)];
        if (passedOver(j)) continue;
        if (v > worst) {
          second = kv, secondWorst = worst, kv = j, worst = v;
        } else if (v > secondWorst) {
          second = j, secondWorst = v;
        }
      }
      int runnerUp = -1;
      EXPECT_EQ(qp::mostViolated(defaultContext(), rows, values, kept), kv) << "round " << round;
      EXPECT_EQ(qp::mostViolated(defaultContext(), rows, values, kept, &runnerUp), kv) << "round " << round;
      EXPECT_EQ(runnerUp, second) << "round " << round;
      EXPECT_EQ(qp::mostViolated(defaultContext(), rows, values, nact, Vec<const int>(iact.data(), nact)), kv);
      for (const int capacity : {1, 3, 15}) {
        // Insertion by decreasing value behind every row of equal value (a NaN stops the rows behind it).
        std::vector<int> expected;
        for (int j = 1; j <= total; ++j) {
          if (passedOver(j) || j == kv) continue;
          size_t place = expected.size();
          while (place > 0 && c[static_cast<size_t>(j - 1)] > c[static_cast<size_t>(expected[place - 1] - 1)]) --place;
          if (place >= static_cast<size_t>(capacity)) continue;
          expected.insert(expected.begin() + static_cast<std::ptrdiff_t>(place), j);
          if (expected.size() > static_cast<size_t>(capacity)) expected.pop_back();
        }
        std::vector<int> ranked(static_cast<size_t>(capacity), 0);
        const int count = qp::rankCandidates(rows, values, kept, kv, Vec<int>(ranked.data(), capacity));
        if (!kept.marked()) {
          EXPECT_EQ(count, 0);
          continue;
        }
        EXPECT_EQ(std::vector<int>(ranked.begin(), ranked.begin() + count), expected) << "round " << round;
      }

      // The values the choice after a step reads are those of rowValues, to the bit.
      Vector x(static_cast<size_t>(t.n)), xl(x), xu(x), bc(static_cast<size_t>(t.nc));
      std::uniform_real_distribution<double> u(-2.0, 2.0);
      for (int i = 0; i < t.n; ++i) {
        x[static_cast<size_t>(i)] = u(rng);
        xl[static_cast<size_t>(i)] = -1.0 + u(rng) / 4;
        xu[static_cast<size_t>(i)] = 1.0 + u(rng) / 4;
      }
      for (double& b : bc) b = u(rng);
      Vector all(static_cast<size_t>(total)), formed(c);
      qp::rowValues(rows, Vec<const double>(bc.data(), t.nc), Vec<const double>(x.data(), t.n),
                    Vec<const double>(xl.data(), t.n), Vec<const double>(xu.data(), t.n),
                    Vec<double>(all.data(), total));
      const int chosen = qp::rowValuesAndMostViolated(
          defaultContext(), rows, Vec<const double>(bc.data(), t.nc), Vec<const double>(x.data(), t.n),
          Vec<const double>(xl.data(), t.n), Vec<const double>(xu.data(), t.n),
          Vec<double>(formed.data(), total), kept);
      for (int j = 1; j <= total; ++j) {
        if (passedOver(j)) continue;
        EXPECT_TRUE(sameBits(all[static_cast<size_t>(j - 1)], formed[static_cast<size_t>(j - 1)])) << "row " << j;
      }
      EXPECT_EQ(chosen, qp::mostViolated(defaultContext(), rows, Vec<const double>(all.data(), total), nact,
                                         Vec<const int>(iact.data(), nact)));
      if (t.boxed) {  // the bound rows of boxed variables: x - xu and xl - x in turn
        for (size_t i = 0; i < static_cast<size_t>(t.n); ++i) {
          EXPECT_TRUE(sameBits(all[static_cast<size_t>(t.nc) + 2 * i], x[i] - xu[i])) << "variable " << i + 1;
          EXPECT_TRUE(sameBits(all[static_cast<size_t>(t.nc) + 2 * i + 1], xl[i] - x[i])) << "variable " << i + 1;
        }
      }
    }
  }
}

}  // namespace
}  // namespace korvex::testing
