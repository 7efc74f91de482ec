// What the QP solver keeps instead of forming it again must be the same bits as the plain kernels give: the row
// solves formed side by side (and their negations), the sums that leave out the zero terms of sparse rows, and the
// factor of the active rows' matrix that additions and drops form from what the directions leave.
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/vector_width.h"
#include "qp/kernels.h"
#include "qp/row_solves.h"
#include "qp_test_data.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using QpReuse = KorvexTest;

// Two QP solves in a row with the same rows: each starts with the unconstrained minimum formed side by side with
// the equality rows and the rows the one before added (the first adds half of the rows, the second all), and every
// solve fetched is the bits of solve(). g and the sparse rows hold zeros of both signs.
TEST_F(QpReuse, RowSolvesAreTheBitsOfOneSolveAtATime) {
  struct Case {
    int n, nc, nineq;
    bool sparse;
    bool diagonal;  // H diagonal: the solves are full of zeros, so both signs are formed
  };
  const Case cases[] = {{7, 3, 1, false, false}, {12, 6, 2, true, false}, {12, 6, 2, true, true},
                        {40, 20, 0, true, false}, {33, 5, 5, false, true}, {50, 12, 3, true, true},
                        {100, 49, 0, true, false}};
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const auto solves = std::make_unique<qp::RowSolves>();
  // Every vector width the machine has: the runs' panels are filled, solved and read on it.
  for (const VectorWidth width : EachVectorWidth()) {
    for (const Case& t : cases) {
      const int n = t.n;
      const std::string where = "width " + std::to_string(static_cast<int>(width)) + " n " + std::to_string(n);
      const Vector h = positiveDefinite(rng, n, 0.5, t.diagonal);  // I (scaled) or I + M M'/n
      Vector g(static_cast<size_t>(n));
      for (int i = 0; i < n; ++i) g[static_cast<size_t>(i)] = i % 5 == 1 ? 0.0 : i % 5 == 3 ? -0.0 : u(rng);
      if (t.sparse) std::fill_n(g.begin(), n / 2, 0.0);  // leading zeros: -g leads with -0
      Vector hfac(static_cast<size_t>(qp::packedLength(n))), x(g);
      ASSERT_TRUE(qp::start(defaultContext(), n, Mat<const double>(h.data(), n, n),
                            Vec<double>(hfac.data(), qp::packedLength(n)), Vec<const double>(g.data(), n),
                            Vec<double>(x.data(), n)));
      const Vector a = constraintMatrix(rng, n, t.nc, t.sparse);
      std::vector<int> itype(static_cast<size_t>(n));
      for (int i = 0; i < n; ++i) itype[static_cast<size_t>(i)] = i % 4;  // both, lower, upper and no bound
      const int nb = qp::countBoundRows(Vec<const int>(itype.data(), n));
      const qp::Rows rows(n, t.nc, t.nineq, nb, a.data(), n, itype.data());
      const Vec<const double> f(hfac.data(), qp::packedLength(n));

      std::vector<int> order(static_cast<size_t>(rows.total()));
      for (int j = 1; j <= rows.total(); ++j) order[static_cast<size_t>(j - 1)] = j;
      Vector kept(static_cast<size_t>(n)), plain(static_cast<size_t>(n));
      for (const size_t added : {order.size() / 2, order.size()}) {
        ASSERT_TRUE(solves->begin(rows)) << where;
        Vector ahead(static_cast<size_t>(n));
        solves->solveAhead(rows, f, Vec<const double>(g.data(), n), Vec<double>(ahead.data(), n));
        for (int i = 0; i < n; ++i) {
          ASSERT_TRUE(sameBits(ahead[static_cast<size_t>(i)], x[static_cast<size_t>(i)]))
              << where << " x " << i + 1 << ": " << ahead[static_cast<size_t>(i)] << " for " << x[static_cast<size_t>(i)];
        }
        std::shuffle(order.begin(), order.end(), rng);
        for (size_t q = 0; q < added; ++q) {
          const int j = order[q];
          // The next rows of the order are offered as the likeliest to follow, so most rows come from earlier runs.
          const int offered = static_cast<int>(std::min<size_t>(qp::RowSolves::kLanes - 1, added - q - 1));
          ASSERT_TRUE(solves->provide(rows, f, j, Vec<const int>(order.data() + q + 1, offered), offered));
          for (const double sign : {1.0, -1.0}) {
            solves->fetch(rows, j, sign, Vec<double>(kept.data(), n));
            rows.gradient(j, sign, Vec<double>(plain.data(), n));
            qp::solve(f, Vec<double>(plain.data(), n), n);
            for (int i = 0; i < n; ++i) {
              ASSERT_TRUE(sameBits(kept[static_cast<size_t>(i)], plain[static_cast<size_t>(i)]))
                  << where << " row " << j << " sign " << sign << " entry " << i + 1 << ": "
                  << kept[static_cast<size_t>(i)] << " for " << plain[static_cast<size_t>(i)];
            }
          }
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
      {{1, 2, 0.5, -4e15, -2.4e16, 3}, {0, 0, 0, 0}},  // terms 1, 1.2e16, -1.2e16: their order shows in the sum
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

// One way of carrying the active rows through directions, additions and drops: plainly, or with the reuse the
// solver keeps for few variables (no substituted rows) or for many, with or without the row solves kept (with them
// each direction forms its row's addition).
struct ActiveRows {
  ActiveRows(int n, bool reusing, bool substituting, bool solving = false)
      : reusing(reusing),
        solves(solving ? std::make_unique<qp::RowSolves>() : nullptr),
        iact(static_cast<size_t>(n)),
        xlag(static_cast<size_t>(n)),
        z(static_cast<size_t>(n)),
        r(static_cast<size_t>(n)),
        actmat(static_cast<size_t>(qp::packedLength(n))),
        unfactored(actmat),
        substituted(actmat),
        pivotSums(actmat),
        sums(static_cast<size_t>(n)),
        hinvn(static_cast<size_t>(n * n)) {
    if (!reusing) return;
    reuse.unfactored = Vec<double>(unfactored.data(), qp::packedLength(n));
    reuse.sums = Vec<double>(sums.data(), n);
    if (!substituting) return;
    reuse.substituted = Vec<double>(substituted.data(), qp::packedLength(n));
    reuse.pivotSums = Vec<double>(pivotSums.data(), qp::packedLength(n));
  }
  bool reusing;
  std::unique_ptr<qp::RowSolves> solves;
  int nact = 0;
  std::vector<int> iact;
  Vector xlag, z, r, actmat, unfactored, substituted, pivotSums, sums, hinvn;
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
  // Every vector width the machine has: the rows carried after a drop are substituted on it.
  for (const VectorWidth width : EachVectorWidth()) {
    std::mt19937 rng(11);
    for (const Case& t : cases) {
      const int n = t.n;
      const Vector h = positiveDefinite(rng, n, 0.0, t.identity);
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
      ActiveRows ways[] = {{n, false, false}, {n, true, false}, {n, true, true}, {n, true, true, true}};
      ASSERT_TRUE(ways[3].solves->begin(rows));
      for (size_t s = 0; s < steps.size(); ++s) {
        const Step step = steps[s];
        for (ActiveRows& w : ways) {
          if (w.solves != nullptr) {
            ASSERT_TRUE(w.solves->holdsRow(rows, step.kv) || w.solves->provide(rows, f, step.kv, {}, 0));
            w.reuse.solves = w.solves.get();
          }
          const Vec<double> z(w.z.data(), n), r(w.r.data(), n), actmat(w.actmat.data(), length);
          const Mat<double> hinvn(w.hinvn.data(), n, n);
          const Vec<const int> iact(w.iact.data(), n);
          if (w.reusing) {
            qp::directionReusing(rows, w.nact, iact, z, r, actmat, hinvn, f, step.kv, w.reuse);
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
                << "width " << static_cast<int>(width) << " n " << n << " way " << q << " step " << s
                << ": factor entry " << k + 1 << " is " << w.actmat[static_cast<size_t>(k)] << " for "
                << plain.actmat[static_cast<size_t>(k)];
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace korvex::testing
