// Bordering, inversion by bordering and the basis choice.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/logical.h"
#include "common/views.h"
#include "entry/settings.h"
#include "grg/basis.h"
#include "korvex/routines/grg_basis.h"
#include "support/korvex_test.h"

namespace korvex {
namespace {

class GrgBasisTest : public testing::KorvexTest {
 protected:
  // max |(A.B - I)(i, j)| over the leading n x n blocks (both with leading dimension ld).
  static double identityError(const double* a, const double* b, int ld, int n) {
    double worst = 0.0;
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        double sum = 0.0;
        for (int k = 0; k < n; ++k) sum += a[i + k * ld] * b[k + j * ld];
        worst = std::max(worst, std::fabs(sum - (i == j ? 1.0 : 0.0)));
      }
    }
    return worst;
  }
  int count(const std::string& text) const {
    return static_cast<int>(std::count(lines().begin(), lines().end(), text));
  }
};

constexpr int kLd = 5;
// A well-conditioned 4 x 4 matrix stored with leading dimension 5.
const double kM[4][4] = {{4, 1, -2, 0.5}, {1, 3, 0, 1}, {-1, 0.5, 5, 2}, {0, 2, 1, 6}};

TEST_F(GrgBasisTest, BorderingGivesTheInverseInAnyOrderAndInvertsWholeMatrices) {
  const int orders[3][4] = {{0, 1, 2, 3}, {3, 1, 0, 2}, {2, 3, 1, 0}};
  for (const auto& p : orders) {
    // Permuted matrix P = M(p, p) with leading dimension 5; AINV grows one border at a time.
    double pm[kLd * 4] = {};
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) pm[i + j * kLd] = kM[p[i]][p[j]];
    double ainv[kLd * kLd] = {};
    for (int k = 0; k < 4; ++k) {
      double row[4], column[4];
      for (int j = 0; j < k; ++j) {
        row[j] = pm[k + j * kLd];
        column[j] = pm[j + k * kLd];
      }
      int singul = 7;
      GRSJIA(&kLd, &k, &pm[k + k * kLd], row, column, ainv, &singul);
      ASSERT_EQ(singul, kFalse);
      EXPECT_LT(identityError(ainv, pm, kLd, k + 1), 1e-13);
    }
    double whole[kLd * kLd] = {};
    int singul = kTrue;
    const int n = 4;
    GRSINV(&kLd, &n, pm, whole, &singul);
    EXPECT_EQ(singul, kFalse);
    EXPECT_LT(identityError(whole, pm, kLd, 4), 1e-13);
  }
  EXPECT_EQ(settings.dblPoolTop, 0);
}

TEST_F(GrgBasisTest, PivotTestsAndOrdersThatCannotBeHeld) {
  // |s| equal to tinyTol is refused and leaves AINV alone; K = 0 inverts the corner.
  double ainv[4] = {9, 9, 9, 9};
  int singul = kFalse;
  const int ld = 2, zero = 0, one = 1;
  double u[2], v[2];
  const double tiny = -1e-7, half = 0.5;
  GRGJIA(&ld, &zero, &tiny, nullptr, nullptr, ainv, &singul, u, v);
  EXPECT_EQ(singul, kTrue);
  EXPECT_EQ(ainv[0], 9);
  GRGJIA(&ld, &zero, &half, nullptr, nullptr, ainv, &singul, u, v);
  EXPECT_EQ(singul, kFalse);
  EXPECT_EQ(ainv[0], 2.0);
  // Bordering [0.5] by row 1, column 1 and corner 2: s = 2 - 1*2*1 = 0.
  const double r = 1, c = 1, two = 2;
  GRGJIA(&ld, &one, &two, &r, &c, ainv, &singul, u, v);
  EXPECT_EQ(singul, kTrue);
  // Order 2 bordered to 3 with leading dimension 2: refused, nothing written (checked under bounds checks).
  const int two_order = 2;
  double row[2] = {1, 1}, column[2] = {1, 1};
  GRGJIA(&ld, &two_order, &two, row, column, ainv, &singul, u, v);
  EXPECT_EQ(singul, kTrue);

  // Inversion: a 1 x 1 matrix; a singular 2 x 2 (message at print >= 2 only); a zero leading element; N > ld.
  double a1[1] = {4}, inv1[1] = {0}, roww[3], colw[3];
  GRGINV(&one, &one, a1, inv1, roww, colw, &singul);
  EXPECT_EQ(singul, kFalse);
  EXPECT_EQ(inv1[0], 0.25);
  double a2[4] = {1, 2, 2, 4}, inv2[4] = {};
  KVW_set_print(1);
  GRGINV(&ld, &ld, a2, inv2, roww, colw, &singul);
  EXPECT_EQ(singul, kTrue);
  EXPECT_TRUE(lines().empty());
  KVW_set_print(2);
  GRGINV(&ld, &ld, a2, inv2, roww, colw, &singul);
  double lead0[4] = {0, 1, 1, 0};
  GRGINV(&ld, &ld, lead0, inv2, roww, colw, &singul);
  EXPECT_EQ(singul, kTrue);
  EXPECT_EQ(lines(), (std::vector<std::string>{" ERROR IN GRGIJI, SINGULAR", " ERROR IN GRGIJI, SINGULAR"}));
  const int three = 3;
  GRGINV(&ld, &three, a2, inv2, roww, colw, &singul);
  EXPECT_EQ(singul, kTrue);
}

TEST_F(GrgBasisTest, InversionStorageOverflowIsReportedAndGivesBothTopsBack) {
  KVW_set_print(1);
  settings.dblPoolSize = 4;  // GRSINV of order 2 needs a top of 5
  double a[4] = {2, 0, 0, 2}, ainv[4] = {7, 7, 7, 7};
  int singul = 5;
  const int two = 2;
  GRSINV(&two, &two, a, ainv, &singul);
  EXPECT_EQ(singul, 5);
  EXPECT_EQ(ainv[0], 7);
  EXPECT_EQ(settings.errorFlag, -1);
  EXPECT_EQ(settings.dblPoolTop, 0);
  EXPECT_EQ(lines(), (std::vector<std::string>{" ERROR:  DOUBLE PRECISION STORAGE EXCEEDED         5"}));
}

TEST_F(GrgBasisTest, CandidateWeightUsesTheWidenedSinglePrecisionOffset) {
  EXPECT_EQ(candidateWeight(0.0, -1.0, 1.0, 1e-5), 0.5);   // no motion: nearer bound, middle of the range
  EXPECT_EQ(candidateWeight(1.0, -1.0, 1.0, 2e-5), 0.0);   // at the bound it moves towards
  EXPECT_EQ(candidateWeight(0.0, -1.0, 1.0, -1.0), 0.5);
  EXPECT_EQ(candidateWeight(1.0, -1.0, 1.0, -1.0), 1.0 - 0.949999988079071);  // far end: about 0.05
  EXPECT_EQ(candidateWeight(0.8, -1.0, 1.0, -1.0), 0.9 + 4.75 * (1.0 - 0.9) - 0.949999988079071);
  EXPECT_EQ(candidateWeight(-0.4, -1.0, 1.0, -1.0), 0.3);  // rising branch: rho itself
}

// One basis choice on a small problem: NDV variables in the middle of [-1, 1], no motion, gradients by column.
struct Choice {
  int ndv;
  std::vector<double> dv, lower, upper, sdir, gradd;
  std::vector<int> lisdf, mtrak, mbndeq;
  int ldj;
  std::vector<int> midv, mddv, mjinv;
  std::vector<double> xjinv, xjac;
  int nidv = -1, nddv = -1, njinv = -1;

  Choice(int n, std::vector<double> columns, std::vector<int> map, std::vector<int> tracked, std::vector<int> eqs,
         int ld)
      : ndv(n), dv(n, 0.0), lower(n, -1.0), upper(n, 1.0), sdir(n, 0.0), gradd(std::move(columns)),
        lisdf(std::move(map)), mtrak(std::move(tracked)), mbndeq(std::move(eqs)), ldj(ld), midv(n), mddv(n), mjinv(n),
        xjinv(ld * ld), xjac(ld * ld) {}

  void run() {
    const int ntrak = static_cast<int>(mtrak.size()), nbeq = static_cast<int>(mbndeq.size());
    GRSINJ(&ntrak, mtrak.data(), &nbeq, mbndeq.data(), &ndv, dv.data(), lower.data(), upper.data(), gradd.data(),
           lisdf.data(), sdir.data(), &nidv, midv.data(), &nddv, mddv.data(), &ldj, &njinv, mjinv.data(), xjinv.data(),
           xjac.data());
  }
};

TEST_F(GrgBasisTest, NoBasisFunctionsLeavesEveryVariableIndependent) {
  Choice c(3, {}, {0}, {}, {}, 1);
  c.run();
  EXPECT_EQ(c.njinv, 0);
  EXPECT_EQ(c.nddv, 0);
  EXPECT_EQ(c.nidv, 3);
  EXPECT_EQ(c.midv, (std::vector<int>{1, 2, 3}));
}

TEST_F(GrgBasisTest, ExchangeSortPutsTheHighestScoreFirstAndKeepsEqualScores) {
  // Scores 0.5 * |gradient|: 2, 2, 3 sort to c, b, a; 2, 2 stay a, b.
  Choice three(3, {4, 4, 6}, {0, 1}, {2}, {}, 2);
  KVW_set_print(3);
  three.run();
  EXPECT_EQ(three.mddv, (std::vector<int>{3, 2, 1}));
  EXPECT_TRUE(printed(" MDDV AFTER SORT"));
  EXPECT_TRUE(printed("         3         2         1"));
  EXPECT_TRUE(printed(" F VECTOR (DISTANCE FROM BOUNDS)"));
  EXPECT_EQ(three.midv[0], 1);
  EXPECT_EQ(three.midv[1], 2);
  Choice two(2, {4, 4}, {0, 1}, {}, {2}, 2);
  two.run();
  EXPECT_EQ(two.mddv, (std::vector<int>{1, 2}));
  EXPECT_EQ(two.xjinv[0], 0.25);
  EXPECT_EQ(two.xjac[0], 4.0);

  // A variable exactly at the bound it moves towards scores 0 and is tried after the positive ones.
  Choice atBound(2, {5, 1}, {0, 1}, {2}, {}, 2);
  atBound.dv[0] = 1.0;
  atBound.sdir[0] = 1.0;
  atBound.run();
  EXPECT_EQ(atBound.mddv[0], 2);
}

TEST_F(GrgBasisTest, RefusedCandidatesRotateAndUnusableFunctionsAreDropped) {
  // f2 = (1, 1, 0) takes variable 1; f3 = (1, 1, 0.5): candidate 2 gives a zero pivot, goes to the end, 3 is taken.
  // f4 has no gradient column: every candidate fails and it is dropped after the remaining trial.
  Choice c(3, {1, 1, 0, 1, 1, 0.5}, {0, 1, 2, 0}, {2, 3}, {4}, 4);
  KVW_set_print(2);
  c.run();
  EXPECT_EQ(c.njinv, 2);
  EXPECT_EQ(c.nddv, 2);
  EXPECT_EQ(c.nidv, 1);
  EXPECT_EQ(c.mjinv[0], 2);
  EXPECT_EQ(c.mjinv[1], 3);
  EXPECT_EQ(c.mddv, (std::vector<int>{1, 3, 2}));
  EXPECT_EQ(c.midv[0], 2);
  EXPECT_LT(identityError(c.xjinv.data(), c.xjac.data(), 4, 2), 1e-15);
  EXPECT_EQ(lines(), (std::vector<std::string>{" SINGULAR MATRIX", " SINGULAR MATRIX", " JUNK FUNCTION"}));

  // A single function with every derivative within tinyTol: NDV trials, then dropped.
  clearLines();
  Choice flat(3, {1e-8, 0, -1e-7}, {0, 1}, {}, {2}, 2);
  flat.run();
  EXPECT_EQ(flat.njinv, 0);
  EXPECT_EQ(flat.nddv, 0);
  EXPECT_EQ(flat.nidv, 3);
  EXPECT_EQ(count(" SINGULAR MATRIX"), 3);
  EXPECT_EQ(lines().back(), " JUNK FUNCTION");
}

TEST_F(GrgBasisTest, BasisNeverGrowsBeyondTheVariablesOrTheLeadingDimension) {
  // Three equalities on two variables (MJINV holds two entries), then two on LDJ = 1.
  Choice wide(2, {1, 0, 0, 1, 1, 1}, {0, 1, 2, 3}, {}, {2, 3, 4}, 3);
  wide.run();
  EXPECT_EQ(wide.njinv, 2);
  EXPECT_EQ(wide.nidv, 0);
  EXPECT_LT(identityError(wide.xjinv.data(), wide.xjac.data(), 3, 2), 1e-15);
  Choice narrow(2, {1, 0, 0, 1}, {0, 1, 2}, {2}, {3}, 1);
  narrow.run();
  EXPECT_EQ(narrow.njinv, 1);
  EXPECT_EQ(narrow.mjinv[0], 2);
  EXPECT_EQ(narrow.xjinv[0], 1.0);
}

TEST_F(GrgBasisTest, BasisChoiceStorageOverflowSetsTheErrorFlag) {
  KVW_set_print(1);
  settings.dblPoolSize = 6;  // 3 * NDV + 1 = 7 refused
  Choice c(2, {1, 0}, {0, 1}, {2}, {}, 2);
  c.run();
  EXPECT_EQ(settings.errorFlag, -1);
  EXPECT_EQ(c.njinv, -1);
  settings.dblPoolSize = 8;  // the choice fits, its first bordering step (top 10) does not
  settings.errorFlag = 0;
  c.run();
  EXPECT_EQ(settings.errorFlag, -1);
  EXPECT_EQ(settings.dblPoolTop, 0);
  EXPECT_EQ(lines().back(), " ERROR:  DOUBLE PRECISION STORAGE EXCEEDED        10");
}

}  // namespace
}  // namespace korvex
