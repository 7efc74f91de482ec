// Inversion by bordering, the bordering's pivot test, the basis choice and the Broyden updates of the basis Jacobian
// and its inverse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "common/logical.h"
#include "entry/settings.h"
#include "grg/basis.h"
#include "grg/grg_problems.h"
#include "korvex/routines/grg_basis.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using GrgBasisTest = KorvexTest;

// A matrix that is not symmetric, so that rows and columns cannot be confused.
TEST_F(GrgBasisTest, WholeInversionGivesTheInverse) {
  constexpr int kLd = 5;
  const double m[4][4] = {{4, 1, -2, 0.5}, {1, 3, 0, 1}, {-1, 0.5, 5, 2}, {0, 2, 1, 6}};
  double a[kLd * 4] = {};
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) a[i + j * kLd] = m[i][j];
  }
  double inverse[kLd * kLd] = {};
  int singul = kTrue;
  const int n = 4;
  GRSINV(&kLd, &n, a, inverse, &singul);
  EXPECT_TRUE(singul == kFalse && identityError(inverse, a, kLd, 4) < 1e-13);
  EXPECT_EQ(workPool.dblPoolTop, 0);
}

// The pivot test is tinyTol >= |s|. Orders that the matrix cannot hold are refused without writing (the bounds
// checks would abort otherwise).
TEST_F(GrgBasisTest, PivotTestsAndOrdersThatCannotBeHeld) {
  const int ld = 2, zero = 0, one = 1, two = 2, three = 3;
  double ainv[4] = {9, 9, 9, 9}, u[2], v[2];
  const double tiny = -1e-7, half = 0.5, corner = 2, border[2] = {1, 1};
  int singul = kFalse;
  GRGJIA(&ld, &zero, &tiny, nullptr, nullptr, ainv, &singul, u, v);
  EXPECT_EQ(std::tuple(singul, ainv[0]), std::tuple(kTrue, 9.0));
  GRGJIA(&ld, &zero, &half, nullptr, nullptr, ainv, &singul, u, v);  // K = 0 inverts the corner
  EXPECT_EQ(std::tuple(singul, ainv[0]), std::tuple(kFalse, 2.0));
  GRGJIA(&ld, &two, &corner, border, border, ainv, &singul, u, v);  // order 3, leading dimension 2
  EXPECT_EQ(singul, kTrue);

  double a1 = 4, inv1 = 0, roww[3], colw[3];
  GRGINV(&one, &one, &a1, &inv1, roww, colw, &singul);
  EXPECT_EQ(std::tuple(singul, inv1), std::tuple(kFalse, 0.25));
  // A singular second pivot, and a zero leading element (tested like every later pivot): the message only at
  // print >= 2; AINV keeps the inverse of the leading block.
  const double singular[4] = {1, 2, 2, 4}, zeroLead[4] = {0, 1, 1, 0};
  double inv2[4] = {};
  for (const int level : {1, 2}) {
    KVW_set_print(level);
    for (const double* a : {singular, zeroLead}) {
      singul = kFalse;
      GRGINV(&ld, &two, a, inv2, roww, colw, &singul);
      EXPECT_EQ(singul, kTrue);
    }
  }
  singul = kFalse;
  GRGINV(&ld, &three, singular, inv2, roww, colw, &singul);  // N beyond the leading dimension: no message
  EXPECT_EQ(std::tuple(inv2[0], singul, lines()), std::tuple(1.0, kTrue, Lines(2, " ERROR IN GRGIJI, SINGULAR")));
}

TEST_F(GrgBasisTest, CandidateWeightUsesTheWidenedSinglePrecisionOffset) {
  EXPECT_EQ(candidateWeight(0.0, -1.0, 1.0, 1e-5), 0.5);  // no motion: nearer bound, middle of the range
  EXPECT_EQ(candidateWeight(-0.5, -1.0, 1.0, 1e-5), 0.25);
  EXPECT_EQ(candidateWeight(0.5, -1.0, 1.0, -1e-5), 0.25);
  EXPECT_EQ(candidateWeight(1.0, -1.0, 1.0, 2e-5), 0.0);  // at the bound it moves towards
  EXPECT_EQ(candidateWeight(-0.4, -1.0, 1.0, -1.0), 0.3);  // rising branch: rho itself
  EXPECT_EQ(candidateWeight(0.8, -1.0, 1.0, -1.0), 0.9 + 4.75 * (1.0 - 0.9) - 0.949999988079071);
  EXPECT_EQ(candidateWeight(1.0, -1.0, 1.0, -1.0), 1.0 - 0.949999988079071);  // far end: about 0.05
}

// One basis choice: n variables in the middle of [-1, 1] without motion, GRADD given by columns.
struct Choice {
  int ndv;
  std::vector<double> dv, lower, upper, sdir, gradd;
  Ints lisdf, mtrak, mbndeq;
  int ldj;
  Ints midv, mddv, mjinv;
  std::vector<double> xjinv, xjac;
  int nidv = -1, nddv = -1, njinv = -1;

  Choice(int n, std::vector<double> columns, Ints map, Ints tracked, Ints equalities, int ld)
      : ndv(n), dv(n, 0.0), lower(n, -1.0), upper(n, 1.0), sdir(n, 0.0), gradd(std::move(columns)),
        lisdf(std::move(map)), mtrak(std::move(tracked)), mbndeq(std::move(equalities)), ldj(ld), midv(n), mddv(n),
        mjinv(n), xjinv(ld * ld), xjac(ld * ld) {}

  void run() {
    const int ntrak = static_cast<int>(mtrak.size()), nbeq = static_cast<int>(mbndeq.size());
    GRSINJ(&ntrak, mtrak.data(), &nbeq, mbndeq.data(), &ndv, dv.data(), lower.data(), upper.data(), gradd.data(),
           lisdf.data(), sdir.data(), &nidv, midv.data(), &nddv, mddv.data(), &ldj, &njinv, mjinv.data(), xjinv.data(),
           xjac.data());
  }
};

// Scores are 0.5 |derivative| here. Only a strictly greater later score is exchanged.
TEST_F(GrgBasisTest, CandidatesAreTriedInDecreasingScoreOrder) {
  Choice three(3, {4, 4, 6}, {0, 1}, {2}, {}, 2);  // scores 2, 2, 3
  three.run();
  EXPECT_EQ(std::tuple(three.mddv, three.midv[0], three.midv[1]), std::tuple(Ints{3, 2, 1}, 1, 2));
  Choice two(2, {4, 4}, {0, 1}, {}, {2}, 2);  // scores 2, 2
  two.run();
  EXPECT_EQ(std::tuple(two.mddv, two.xjinv[0], two.xjac[0]), std::tuple(Ints{1, 2}, 0.25, 4.0));
  Choice atBound(2, {5, 1}, {0, 1}, {2}, {}, 2);  // variable 1 exactly at the bound it moves towards: score 0
  atBound.dv[0] = atBound.sdir[0] = 1.0;
  atBound.run();
  EXPECT_EQ(atBound.mddv[0], 2);
  Choice none(3, {}, {0}, {}, {}, 1);  // no basis function: every variable independent
  none.run();
  EXPECT_EQ(std::tuple(none.njinv, none.nddv, none.nidv, none.midv), std::tuple(0, 0, 3, Ints{1, 2, 3}));
}

// f2 = (1, 1, 0) takes variable 1; for f3 = (1, 1, 0.5) candidate 2 gives a zero pivot and goes to the end, 3 is
// taken. f4 has no gradient column: it reads as a zero gradient, fails with the one candidate left and is dropped.
TEST_F(GrgBasisTest, RefusedCandidatesRotateAndUnusableFunctionsAreDropped) {
  Choice c(3, {1, 1, 0, 1, 1, 0.5}, {0, 1, 2, 0}, {2, 3}, {4}, 4);
  KVW_set_print(2);
  c.run();
  EXPECT_EQ(std::tuple(c.njinv, c.nddv, c.nidv, c.mjinv[1], c.midv[0], c.mddv),
            std::tuple(2, 2, 1, 3, 2, Ints{1, 3, 2}));
  EXPECT_LT(identityError(c.xjinv.data(), c.xjac.data(), 4, 2), 1e-15);
  EXPECT_EQ(lines(), (Lines{" SINGULAR MATRIX", " SINGULAR MATRIX", " JUNK FUNCTION"}));
  clearLines();
  KVW_set_print(3);
  c.run();
  for (const char* label : {" F VECTOR (DISTANCE FROM BOUNDS)", " MDDV AFTER SORT", " MDDV AFTER SWAP",
                            " MJINV AFTER DELETE", " XJINV", " MIDV AFTER SUBTRACT"}) {
    EXPECT_NE(std::find(lines().begin(), lines().end(), label), lines().end()) << label;
  }

  // One function with every derivative within tinyTol: NDV trials, then dropped.
  clearLines();
  KVW_set_print(2);
  Choice flat(3, {1e-8, 0, -1e-7}, {0, 1}, {}, {2}, 2);
  flat.run();
  EXPECT_EQ(std::tuple(flat.njinv, flat.nddv, flat.nidv, lines()),
            std::tuple(0, 0, 3, Lines{" SINGULAR MATRIX", " SINGULAR MATRIX", " SINGULAR MATRIX", " JUNK FUNCTION"}));
}

// The exchange sort written out plainly: pass i exchanges the score standing at position i with every later score
// that is strictly greater. The reference for the basis choice's sort, which skips positions that cannot take part.
void plainExchangeSort(std::vector<double>& score, Ints& order, int first) {
  const int n = static_cast<int>(score.size());
  for (int i = first; i < n; ++i) {
    for (int j = i + 1; j < n; ++j) {
      if (score[j] > score[i]) {
        std::swap(score[i], score[j]);
        std::swap(order[i], order[j]);
      }
    }
  }
}

// Whole basis choices, one sort per function placed, against the plain sort: ties, zeros of both signs (negative
// weights outside the box), NaN and infinite scores, a least score that is not zero, and more variables than the
// choice keeps weights for. Every function's best candidate gives a usable pivot, so the orders are the sorts'.
TEST_F(GrgBasisTest, SortedCandidatesEqualThePlainExchangeSort) {
  const double nan = std::nan(""), inf = HUGE_VAL;
  struct Case {
    const char* name;
    std::vector<std::vector<double>> gradients;  // one column per basis function, NDV entries each
    Ints outside;                                // variables outside their box: weight -0.5 instead of 0.5
  };
  std::vector<double> wide(101, 0.0), second(101, 0.0);
  for (int i = 0; i < 101; i += 3) wide[i] = 1.0 + (i * 7) % 5;  // zeros and ties
  for (int i = 0; i < 101; i += 2) second[i] = std::cos(0.1 * i);
  wide[100] = 9.0;
  wide[50] = nan;
  const std::vector<Case> cases = {
      {"ties and zeros", {{1, 2, 2, 0, 2, 1, 0, 0, 3, 3, 0, 1}}, {}},
      {"signed zeros and a negative least", {{0, 1, 0, 2, 0, 0.5, 1}}, {1, 2, 3}},
      {"NaN and infinity", {{1, nan, 0, inf, 2, 0, nan, 3}}, {}},
      {"NaN standing first", {{nan, 0, 2, 1, 0, 3}}, {}},
      {"one score at the end", {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5}}, {}},
      {"no zero score", {{3, 1, 4, 1, 5, 9, 2, 6}, {2, 7, 1, 8, 2, 8, 1, 8}}, {}},
      {"two functions", {{0, 4, 0, 0, 1, 4, 0, 2, 0}, {1, 0, 0, 3, 0, 0, 3, 0, 5}}, {7}},
      {"beyond the kept weights", {wide, second}, {101}},
  };
  for (const Case& c : cases) {
    const int n = static_cast<int>(c.gradients[0].size()), m = static_cast<int>(c.gradients.size());
    Choice choice(n, {}, {0}, {}, {}, n);
    for (const auto& column : c.gradients) choice.gradd.insert(choice.gradd.end(), column.begin(), column.end());
    for (int f = 2; f <= m + 1; ++f) {
      choice.lisdf.push_back(f - 1);
      choice.mbndeq.push_back(f);
    }
    for (const int v : c.outside) choice.dv[v - 1] = 2.0;
    std::vector<double> bcol(n), brow(n), fvec(n);
    const int ntrak = 0, nbeq = m;
    GRGINJ(&ntrak, choice.mtrak.data(), &nbeq, choice.mbndeq.data(), &n, choice.dv.data(), choice.lower.data(),
           choice.upper.data(), choice.gradd.data(), choice.lisdf.data(), choice.sdir.data(), &choice.nidv,
           choice.midv.data(), &choice.nddv, choice.mddv.data(), &choice.ldj, &choice.njinv, choice.mjinv.data(),
           choice.xjinv.data(), choice.xjac.data(), bcol.data(), brow.data(), fvec.data());

    Ints order(n);
    for (int i = 0; i < n; ++i) order[i] = i + 1;
    std::vector<double> score(n);
    for (int k = 0; k < m; ++k) {
      for (int i = k; i < n; ++i) {
        const int v = order[i];
        score[i] = candidateWeight(choice.dv[v - 1], -1.0, 1.0, 0.0) * std::fabs(c.gradients[k][v - 1]);
      }
      plainExchangeSort(score, order, k);
    }
    EXPECT_TRUE(choice.nddv == m && choice.mddv == order &&
                std::memcmp(fvec.data(), score.data(), n * sizeof(double)) == 0)
        << c.name;
  }
}

// Functions beyond min(NDV, LDJ) are left out of the basis, so neither the lists nor the matrices are overrun.
TEST_F(GrgBasisTest, BasisNeverGrowsBeyondTheVariablesOrTheLeadingDimension) {
  Choice wide(2, {1, 0, 0, 1, 1, 1}, {0, 1, 2, 3}, {}, {2, 3, 4}, 3);  // three equalities, two variables
  wide.run();
  EXPECT_EQ(std::tuple(wide.njinv, wide.nidv), std::tuple(2, 0));
  EXPECT_LT(identityError(wide.xjinv.data(), wide.xjac.data(), 3, 2), 1e-15);
  Choice narrow(2, {1, 0, 0, 1}, {0, 1, 2}, {2}, {3}, 1);  // two functions, LDJ = 1
  KVW_set_print(2);
  narrow.run();  // left out silently, not tried
  EXPECT_EQ(std::tuple(narrow.njinv, narrow.mjinv[0], narrow.xjinv[0], lines()), std::tuple(1, 2, 1.0, Lines{}));
}

TEST_F(GrgBasisTest, StorageOverflowIsReportedAndBothTopsComeBack) {
  KVW_set_print(1);
  workPool.dblPoolSize = 4;  // the inversion of order 2 needs a top of 5
  double a[4] = {2, 0, 0, 2}, ainv[4] = {7, 7, 7, 7};
  int singul = 5;
  const int two = 2;
  GRSINV(&two, &two, a, ainv, &singul);
  EXPECT_EQ(std::tuple(singul, ainv[0]), std::tuple(5, 7.0));
  workPool.dblPoolSize = 6;  // the basis choice needs 3 NDV + 1 = 7
  Choice c(2, {1, 0}, {0, 1}, {2}, {}, 2);
  c.run();
  EXPECT_EQ(c.njinv, -1);
  workPool.dblPoolSize = 8;  // the choice fits, its first bordering step (top 7 + 3) does not
  c.run();
  EXPECT_EQ(std::tuple(settings.errorFlag, workPool.dblPoolTop), std::tuple(-1, 0));
  const std::string overflow = " ERROR:  DOUBLE PRECISION STORAGE EXCEEDED        ";
  EXPECT_EQ(lines(), (Lines{overflow + " 5", overflow + " 7", overflow + "10"}));
}

// Order 1: XJAC - RESID/DELDV, and XJINV - p q / delta with p = -XJINV RESID, q = DELDV XJINV. A sigma or a delta
// equal to tinyTol skips the update without printing; an order beyond the leading dimension is skipped too.
TEST_F(GrgBasisTest, BroydenUpdatesOfOrderOneAndTheirSkipsAndOverflow) {
  const int ld = 1, n = 1;
  double xjac = 2.0, xjinv = 0.5, p, q;
  const double deldv = 0.5, resid = 0.25, none = 0.0;
  GRGJUP(&ld, &n, &xjac, &deldv, &resid);
  EXPECT_EQ(xjac, 2.0 - 0.25 / 0.5);
  GRGBUP(&ld, &n, &xjinv, &resid, &deldv, &p, &q);
  EXPECT_EQ(std::tuple(p, q, xjinv), std::tuple(-0.5 * 0.25, 0.5 * 0.5, 0.5 - p * q / (0.5 * (p + 0.5))));

  KVW_set_print(3);
  settings.tinyTol = 0.25;
  xjac = 2.0;
  xjinv = 1.0;
  GRGJUP(&ld, &n, &xjac, &deldv, &resid);          // sigma = 0.25
  GRGBUP(&ld, &n, &xjinv, &none, &deldv, &p, &q);  // p = 0, delta = 0.25
  const int two = 2;
  const double pair[2] = {1, 1};
  GRGJUP(&ld, &two, &xjac, pair, pair);
  GRSBUP(&ld, &two, &xjinv, pair, pair);
  EXPECT_EQ(std::tuple(xjac, xjinv, lines()), std::tuple(2.0, 1.0, Lines{}));
  settings.tinyTol = 0.2499;
  GRGJUP(&ld, &n, &xjac, &deldv, &resid);
  GRGBUP(&ld, &n, &xjinv, &none, &deldv, &p, &q);
  EXPECT_EQ(lines(), (Lines{" UPDATED JACOBIAN", "   1.50000E+00", " UPDATED INVERSE JACOBIAN", "   1.00000E+00"}));

  clearLines();
  workPool.dblPoolSize = 4;  // p and q need 2 N + 1 = 5
  double inv[4] = {1, 0, 0, 1};
  GRSBUP(&two, &two, inv, pair, pair);
  EXPECT_EQ(std::tuple(inv[0], settings.errorFlag, lines()),
            std::tuple(1.0, -1, Lines{" ERROR:  DOUBLE PRECISION STORAGE EXCEEDED         5"}));
}

}  // namespace
}  // namespace korvex::testing
