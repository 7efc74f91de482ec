// Every vector width the processor offers gives the bits of the plain kernels: the side-by-side row solves, the
// factor of H, the directions with their sums and norms, and the row values, choices and steps.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/vector_width.h"
#include "qp/kernels.h"
#include "qp/row_solves.h"
#include "qp/wide_rows.h"
#include "qp_test_data.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using QpVectorWidths = KorvexTest;

// Every vector width the machine has gives the bits of the plain solve, lane by lane, for every lane count (panels
// of more vectors than one pass takes among them) and for orders around the row blocks of the forward
// substitution; the right-hand sides hold zeros of both signs, infinities and NaNs, and the lanes start late, each
// group of eight from its own first row (rows before it +0 in every lane of the group). The lanes said to end with a
// zero or a NaN are those that do.
TEST_F(QpVectorWidths, SideBySideSolvesOnEveryVectorWidthAreTheBitsOfOneSolveAtATime) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const double nan = std::nan("");
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
  for (const VectorWidth width : EachVectorWidth()) {
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
      for (int count = 1; count <= qp::RowSolves::kMaxRunLanes; count += count < 17 ? 1 : 7) {
        const int lanes = count <= 2 ? 2 : count <= 4 ? 4 : (count + 7) / 8 * 8;
        // Plain numbers only (rows may then be left out before the first nonzero), or any entries.
        for (const bool awkward : {false, true}) {
          Vector panel(static_cast<size_t>(n * lanes), 0.0);
          std::vector<Vector> plain(static_cast<size_t>(count), Vector(static_cast<size_t>(n)));
          std::vector<int> firsts(static_cast<size_t>((lanes + 7) / 8), n);
          for (int k = 0; k < count; ++k) {
            const int start = 1 + static_cast<int>(rng() % static_cast<unsigned>(n));  // the lane's first entry
            Vector& v = plain[static_cast<size_t>(k)];
            for (int i = 1; i <= n; ++i) {
              const double x = i < start ? 0.0 : awkward ? draw(static_cast<int>(rng() % 10)) : 0.5 + u(rng);
              v[static_cast<size_t>(i - 1)] = panel[static_cast<size_t>((i - 1) * lanes + k)] = x;
            }
            int& first = firsts[static_cast<size_t>(k / 8)];
            first = awkward ? 1 : std::min(first, start);
          }
          const std::uint64_t zeroOrNan = qp::solveSideBySide(f, panel.data(), lanes, n, firsts.data());
          for (int k = 0; k < count; ++k) {
            Vector& v = plain[static_cast<size_t>(k)];
            qp::solve(f, Vec<double>(v.data(), n), n);
            const bool holds = std::any_of(v.begin(), v.end(), [](double y) { return y == 0.0 || std::isnan(y); });
            ASSERT_EQ((zeroOrNan >> k) & 1, holds ? 1u : 0u)
                << "width " << static_cast<int>(width) << " n " << n << " lanes " << count << " lane " << k;
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
TEST_F(QpVectorWidths, FactorOnEveryVectorWidthIsTheBitsOfRowByRowFactoring) {
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
      for (const VectorWidth width : EachVectorWidth()) {
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

// A direction on every vector width is the bits of the plain solves and sums: z = -H^-1 n_kv, r = -M^-1 N'z,
// z -= HINVN r with each z(i) taking its terms in increasing k, and |z| from the squares in increasing i. With the
// solver's pairs of solves, the columns after the active ones also hold the solves of both signs of row kv and of
// the runner-up, two pairs whose first nonzero rows differ (bound rows, general rows led by +0). The gradients and
// HINVN hold zeros of both signs, infinities and NaNs; orders and active counts fall around the vectors' widths.
// A NaN stands for any NaN: which of two NaN factors a product passes on follows the order of its operands in the
// machine code, which the compiler may swap (a product is commutative), in the plain loops as anywhere.
TEST_F(QpVectorWidths, DirectionsOnEveryVectorWidthAreTheBitsOfThePlainSolvesAndSums) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  struct Case {
    int n, nact;
    int kvBound, runnerUpBound;  // the upper bound row of this variable, or (0) the general row nact+1 or nact+2
    bool awkward;                // gradients and HINVN hold +0, -0, infinities and NaNs
  };
  const Case cases[] = {{1, 0, 0, 0, false}, {2, 1, 2, 0, true},    {6, 2, 0, 0, false},   {9, 5, 3, 0, true},
                        {9, 4, 0, 7, false}, {17, 4, 9, 2, true},   {17, 13, 0, 0, true},  {33, 9, 0, 30, false},
                        {35, 8, 20, 5, true}, {50, 21, 40, 0, true}, {50, 46, 0, 0, false}, {130, 40, 3, 100, true}};
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

    for (const VectorWidth width : EachVectorWidth()) {
      for (const bool reusing : {false, true}) {
        Vector zw(static_cast<size_t>(n)), rw(zw), hw(hinvn), sums(zw), fw(actmat);
        qp::Reuse reuse;
        reuse.solvesPairs = true;
        reuse.runnerUp = runnerUp;
        reuse.sums = Vec<double>(sums.data(), n);
        const Vec<double> zv(zw.data(), n), rv(rw.data(), n);
        const Mat<double> hv(hw.data(), n, n);
        const Vec<double> factorCopy(fw.data(), length);
        const double got = reusing ? qp::directionReusing(rows, nact, active, zv, rv, factorCopy, hv, f, kv, reuse)
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

// The kernels of the row values, the choice of a row, the step and the nonzero places of the general rows on every
// vector width against their plain loops, for lengths around every block edge, on values drawn with ties, zeros of
// both signs, infinities and NaNs, and rows passed over (a shift of -infinity) among them.
TEST_F(QpVectorWidths, RowValuesChoicesAndStepsOnEveryVectorWidthAreThePlainLoops) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const double nan = std::nan("");
  const double tiny = settings.tinyTol;
  const double pool[] = {0.0, -0.0, inf, -inf, nan, tiny, 2 * tiny, 0.5, 0.5, 3.0, 3.0, -1.0, 1e-310, -2.5};
  std::mt19937 rng(5);
  const auto draw = [&](bool awkward) {
    return awkward ? pool[rng() % std::size(pool)] : pool[5 + rng() % 5];
  };
  const int lengths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17, 23, 24, 25, 33};
  for (const VectorWidth width : EachVectorWidth()) {
    for (const int count : lengths) {
      // One infinity or NaN anywhere in a matrix of order count (columns count + 3 apart) is seen exactly where the
      // leading parts of its columns reach: the upper triangle, or the first count - 2 elements of every column.
      const int ld = count + 3, part = std::max(count - 2, 0);
      for (int at = 0; at < count * ld; ++at) {
        Vector m(static_cast<size_t>(count * ld), 1.0);
        m[static_cast<size_t>(at)] = at % 2 == 0 ? inf : nan;
        const int i = at % ld, j = at / ld;
        const std::string where = "width " + std::to_string(static_cast<int>(width)) + " order " +
                                  std::to_string(count) + " place " + std::to_string(i) + ", " + std::to_string(j);
        EXPECT_EQ(qp::columnsFinite(m.data(), ld, count, 1, 1), i > j) << where;
        EXPECT_EQ(qp::columnsFinite(m.data(), ld, count, part, 0), i >= part) << where;
      }
      for (int round = 0; round < 30; ++round) {
        const bool awkward = round % 3 != 0;
        const auto size = static_cast<size_t>(count);
        Vector x(size), xl(size), xu(size), c(size), shift(size), w(size);
        for (size_t i = 0; i < size; ++i) {
          x[i] = draw(awkward), xl[i] = draw(awkward), xu[i] = draw(awkward), w[i] = draw(awkward);
          c[i] = draw(true);
          shift[i] = rng() % 4 == 0 ? -inf : 0.0;
        }
        const std::string where =
            "width " + std::to_string(static_cast<int>(width)) + " length " + std::to_string(count);

        bool finite = true;
        for (const double v : x) finite = finite && std::isfinite(v);
        EXPECT_EQ(qp::allFiniteWide(x.data(), count), finite) << where;
        for (size_t at = 0; at < size; ++at) {  // one infinity or NaN at each place in turn
          Vector one(size, 1.0);
          one[at] = at % 2 == 0 ? -inf : nan;
          EXPECT_FALSE(qp::allFiniteWide(one.data(), count)) << where << " place " << at;
          EXPECT_TRUE(qp::allFiniteWide(one.data(), static_cast<int>(at))) << where << " place " << at;
        }

        Vector bounds(2 * size + 1, 7.0), negated(size + 1, 7.0);
        qp::boxedBoundValues(x.data(), xl.data(), xu.data(), count, bounds.data());
        qp::negateInto(x.data(), negated.data(), count);
        for (size_t i = 0; i < size; ++i) {
          EXPECT_TRUE(sameBits(bounds[2 * i], x[i] - xu[i])) << where << " variable " << i;
          EXPECT_TRUE(sameBits(bounds[2 * i + 1], xl[i] - x[i])) << where << " variable " << i;
          EXPECT_TRUE(sameBits(negated[i], -x[i])) << where << " entry " << i;
        }
        EXPECT_EQ(bounds[2 * size], 7.0) << where;  // nothing written beyond
        EXPECT_EQ(negated[size], 7.0) << where;

        // The first of the greatest shifted values above tinyTol.
        int first = -1;
        double greatest = tiny;
        for (int j = 0; j < count; ++j) {
          const double value = c[static_cast<size_t>(j)] + shift[static_cast<size_t>(j)];
          if (value > greatest) greatest = value, first = j;
        }
        EXPECT_EQ(qp::firstGreatestShifted(tiny, c.data(), shift.data(), count), first) << where;

        // The nonzero entries of x (a NaN is not zero, -0 is), as many as there is room for.
        std::vector<int> places;
        for (int i = 0; i < count; ++i) {
          if (x[static_cast<size_t>(i)] != 0.0) places.push_back(i + 1);
        }
        for (const int room : {0, count / 2, count}) {
          std::vector<int> place(size + 1, -7);
          Vector entry(size + 1, 7.0);
          EXPECT_EQ(qp::nonzeroEntries(x.data(), count, place.data(), entry.data(), room),
                    static_cast<int>(places.size()))
              << where;
          for (size_t q = 0; q <= size; ++q) {
            const bool kept = q < places.size() && q < static_cast<size_t>(room);
            EXPECT_EQ(place[q], kept ? places[q] : -7) << where << " room " << room << " entry " << q;
            EXPECT_TRUE(sameBits(entry[q], kept ? x[static_cast<size_t>(places[q] - 1)] : 7.0)) << where;
          }
        }

        const double t = round % 5 == 0 ? -0.0 : draw(awkward);
        Vector moved(x);
        moved.push_back(7.0);
        qp::addScaled(moved.data(), t, w.data(), count);
        for (size_t i = 0; i < size; ++i) {
          // Of two NaN operands of a sum or a product, which one the result carries depends on the order the compiler
          // gives the operands, which it may swap: then only a NaN is asked for.
          const bool twoNans = (std::isnan(t) && std::isnan(w[i])) || (std::isnan(x[i]) && std::isnan(t * w[i]));
          EXPECT_TRUE(twoNans ? std::isnan(moved[i]) : sameBits(moved[i], x[i] + t * w[i])) << where << " entry " << i;
        }
        EXPECT_EQ(moved[size], 7.0) << where;
      }
    }
  }
}

}  // namespace
}  // namespace korvex::testing
