// Finite-difference gradients of both flavours, driven through the real analysis bridge.
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "common/pool.h"
#include "entry/bridge.h"
#include "entry/settings.h"
#include "korvex/routines/derivatives.h"
#include "support/korvex_test.h"

namespace korvex {
namespace {

constexpr int kNdv = 3;
constexpr int kNdf = 4;
using Point = std::array<double, kNdv>;
constexpr Point kBase{0.25, -0.5, 0.75};

// Functions in the caller's units: f1 = c*(3x1 - 2x2 + x3), f2 = x1^2 - 1 (equality), f3 = 5x2, f4 = x1 + x2 + x3.
struct Problem {
  double objectiveScale = 1.0;
  std::vector<Point> seen;         // every point the callback receives
  std::vector<int> topsSeen;       // double pool top at each call
  std::vector<int> intTopsSeen;
  std::vector<std::vector<double>> poolSeen;  // double pool slots 1..20 at each call
};

void analysis(void* user, const double* x, double* obj, double*, double*) {
  auto* p = static_cast<Problem*>(user);
  p->seen.push_back({x[0], x[1], x[2]});
  p->topsSeen.push_back(settings.dblPoolTop);
  p->intTopsSeen.push_back(settings.intPoolTop);
  p->poolSeen.emplace_back(dblPool + 1, dblPool + 21);
  obj[0] = p->objectiveScale * (3 * x[0] - 2 * x[1] + x[2]);  // the vector is contiguous: obj[1..3] follow
  obj[1] = x[0] * x[0] - 1.0;
  obj[2] = 5 * x[1];
  obj[3] = x[0] + x[1] + x[2];
}

class DerivativesTest : public korvex::testing::KorvexTest {
 protected:
  void SetUp() override {
    KorvexTest::SetUp();
    saved_ = bridge;
    bridge.callback = analysis;
    bridge.userData = &problem;
    bridge.nEq = 1;
    setBounds({-1, -1, -1}, {1, 1, 1});  // identity scaling
  }
  void TearDown() override {
    bridge = saved_;
    KorvexTest::TearDown();
  }
  void setBounds(Point lower, Point upper) {
    for (int i = 0; i < kNdv; ++i) bridge.lower[i] = lower[i], bridge.upper[i] = upper[i];
    dfAt(dv, df);
  }
  // The function values at a scaled point, without counting.
  void dfAt(Point s, double* f) {
    toCallerUnits(kNdv, s.data());
    callAnalysis(s.data(), f);
    problem.seen.clear(), problem.topsSeen.clear(), problem.intTopsSeen.clear(), problem.poolSeen.clear();
  }
  bool dfUnchanged() const { return std::memcmp(df, dfEntry, sizeof df) == 0; }

  Problem problem;
  Point dv = kBase;
  double df[kNdf] = {};
  double dfEntry[kNdf] = {};
  double grad[5 * kNdf];  // leading dimension 5 > NDV: rows 4 and 5 must stay untouched
  static constexpr double kSentinel = 12345.0;

 private:
  AnalysisBridge saved_;
};

// Forward differences: one call per variable, each seeing exactly one variable raised by h; ICOL routes positive
// entries to their columns, and zero or negative entries store nothing.
TEST_F(DerivativesTest, SqpForwardCallsMappingAndRestore) {
  std::memcpy(dfEntry, df, sizeof df);
  std::fill(std::begin(grad), std::end(grad), kSentinel);
  const int icol[kNdf] = {3, 0, 1, -2};
  const int ndv = kNdv, ndf = kNdf, ldg = 5;
  settings.nFunEval = 10;
  DDBGRA(&ndv, dv.data(), &ndf, df, nullptr, icol, &ldg, grad, std::array<double, kNdf>{}.data(),
         std::array<double, kNdf>{}.data());

  EXPECT_EQ(settings.nFunEval, 13);
  EXPECT_EQ(settings.nGradEval, 1);
  ASSERT_EQ(problem.seen.size(), 3u);
  const Point base = kBase;
  for (int call = 0; call < 3; ++call) {
    for (int i = 0; i < kNdv; ++i) EXPECT_NEAR(problem.seen[call][i] - base[i], i == call ? 1e-4 : 0.0, 1e-15);
  }
  auto g = [&](int i, int c) { return grad[(i - 1) + (c - 1) * 5]; };
  for (int i = 1; i <= 3; ++i) {
    EXPECT_NEAR(g(i, 3), (Point{3.0, -2.0, 1.0}[i - 1]), 1e-9);  // f1
    EXPECT_NEAR(g(i, 1), i == 2 ? 5.0 : 0.0, 1e-9);                   // f3
    EXPECT_EQ(g(i, 2), kSentinel);                                    // no function maps here
  }
  EXPECT_EQ(g(4, 1), kSentinel);
  EXPECT_EQ(g(5, 3), kSentinel);
  EXPECT_TRUE(dfUnchanged());
  for (int i = 0; i < kNdv; ++i) EXPECT_NEAR(dv[i], base[i], 1e-15);
}

// Central differences for every diffMeth other than 1: +h then -h for each variable; ICOL(1) = -1 stores every
// function in its own column and reads no other ICOL entry (the map has length 1 here).
TEST_F(DerivativesTest, SqpCentralSequenceAndEveryColumnMode) {
  std::memcpy(dfEntry, df, sizeof df);
  for (int method : {0, 2, -7}) {
    settings.diffMeth = method;
    problem.seen.clear();
    const std::vector<int> icol{-1};
    const int ndv = kNdv, ndf = kNdf, ldg = 5;
    DDSGRA(&ndv, dv.data(), &ndf, df, nullptr, icol.data(), &ldg, grad);
    ASSERT_EQ(problem.seen.size(), 6u) << method;
    for (int call = 0; call < 6; ++call) {
      const int i = call / 2;
      EXPECT_NEAR(problem.seen[call][i] - kBase[i], call % 2 == 0 ? 1e-4 : -1e-4, 1e-15);
    }
    EXPECT_NEAR(grad[0 + 1 * 5], 0.5, 1e-9);  // d f2 / d x1 = 2 x1, exact for central differences
    EXPECT_NEAR(grad[1 + 2 * 5], 5.0, 1e-9);
    EXPECT_NEAR(grad[2 + 3 * 5], 1.0, 1e-9);
    EXPECT_TRUE(dfUnchanged());
  }
  EXPECT_EQ(settings.nFunEval, 18);
  EXPECT_EQ(settings.nGradEval, 3);
  EXPECT_EQ(settings.dblPoolTop, 0);
}

// Every call sees the whole vector in the caller's units, and the gradient is with respect to the scaled
// variables: the caller's gradient times half the range.
TEST_F(DerivativesTest, SqpGradientIsWithRespectToScaledVariables) {
  setBounds({0, 10, -5}, {2, 30, 5});
  double gobj[kNdv];
  double gradd[kNdv * kNdf];
  const int icol[kNdf] = {2, 0, 1, 0};  // objective last, as the SQP iteration lays it out
  const int ndv = kNdv, ndf = 2;
  SQPGRA(&ndv, &ndf, dv.data(), df, icol, gobj, gradd);
  ASSERT_EQ(problem.seen.size(), 3u);
  EXPECT_NEAR(problem.seen[1][0], 1.25, 1e-12);
  EXPECT_NEAR(problem.seen[1][1], 15.0 + 10 * 1e-4, 1e-10);
  EXPECT_NEAR(problem.seen[1][2], 3.75, 1e-12);
  const double expected[kNdv] = {3.0 * 1, -2.0 * 10, 1.0 * 5};
  for (int i = 0; i < kNdv; ++i) {
    EXPECT_NEAR(gradd[i + kNdv], expected[i], 1e-6);
    EXPECT_EQ(gobj[i], gradd[i + kNdv]);
  }
}

TEST_F(DerivativesTest, NoVariablesStillCountsOneGradient) {
  std::memcpy(dfEntry, df, sizeof df);
  const int icol[kNdf] = {1, 2, 3, 4};
  const int ndv = 0, ndf = kNdf, ldg = 1;
  DDSGRA(&ndv, dv.data(), &ndf, df, nullptr, icol, &ldg, grad);
  EXPECT_TRUE(problem.seen.empty());
  EXPECT_EQ(settings.nGradEval, 1);
  EXPECT_TRUE(dfUnchanged());
}

// The two pool layouts, seen from inside the analysis: DFSAVE at T+1..T+NDF; DFPLUS right after it (SQP) or after
// one unused slot (GRG); the top one slot beyond DFPLUS; the integer top untouched.
TEST_F(DerivativesTest, PoolLayoutsOfBothFlavours) {
  settings.diffMeth = 0;
  settings.dblPoolTop = 7;
  settings.intPoolTop = 3;
  const int icol[kNdf] = {1, 2, 3, 4};
  const int ndv = 1, ndf = kNdf, ldg = kNdv, zero = 0, one = 1;
  double plus[kNdf];
  Point up = dv;
  up[0] += 1e-4;
  dfAt(up, plus);

  DDSGRA(&ndv, dv.data(), &ndf, df, nullptr, icol, &ldg, grad);
  ASSERT_EQ(problem.topsSeen.size(), 2u);
  EXPECT_EQ(problem.topsSeen[1], 7 + 2 * kNdf + 1);
  EXPECT_EQ(problem.intTopsSeen[1], 3);
  for (int j = 0; j < kNdf; ++j) {
    EXPECT_EQ(problem.poolSeen[1][7 + j], df[j]);           // slot 8 + j
    EXPECT_EQ(problem.poolSeen[1][7 + kNdf + j], plus[j]);  // slot 12 + j
  }
  problem.topsSeen.clear(), problem.poolSeen.clear();

  GDSGRA(&zero, &one, &ndv, dv.data(), &ndf, df, icol, grad);
  ASSERT_EQ(problem.topsSeen.size(), 2u);
  EXPECT_EQ(problem.topsSeen[1], 7 + 2 * kNdf + 2);
  for (int j = 0; j < kNdf; ++j) {
    EXPECT_EQ(problem.poolSeen[1][7 + j], df[j]);
    EXPECT_EQ(problem.poolSeen[1][8 + kNdf + j], plus[j]);  // slot 13 + j
  }
  EXPECT_EQ(settings.dblPoolTop, 7);
  EXPECT_EQ(settings.intPoolTop, 3);
}

// SQP overflow: one test of T + 2*NDF + 1; a top equal to the capacity is accepted. The message appears only with
// print > 0; errorFlag is set either way; nothing is evaluated; SQPGRA still copies the last column.
TEST_F(DerivativesTest, SqpPoolOverflow) {
  const int icol[2] = {2, 1};
  const int ndv = kNdv, ndf = 2;
  double gradd[kNdv * 2] = {1, 2, 3, 4, 5, 6};
  double gobj[kNdv] = {};
  settings.dblPoolTop = 5;
  settings.dblPoolSize = 5 + 2 * 2;
  const Point before = dv;
  SQPGRA(&ndv, &ndf, dv.data(), df, icol, gobj, gradd);
  EXPECT_EQ(settings.errorFlag, -1);
  EXPECT_TRUE(lines().empty());
  EXPECT_TRUE(problem.seen.empty());
  EXPECT_EQ(settings.nFunEval + settings.nGradEval, 0);
  EXPECT_EQ(settings.dblPoolTop, 5);
  EXPECT_EQ(dv, before);
  EXPECT_EQ(gradd[0], 1.0);
  EXPECT_EQ(std::vector<double>(gobj, gobj + 3), (std::vector<double>{4, 5, 6}));

  settings.print = 1;
  const int ldg = kNdv;
  DDSGRA(&ndv, dv.data(), &ndf, df, nullptr, icol, &ldg, grad);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " Error:  Double precision b storage exceeded        10");

  settings.errorFlag = 0;
  settings.dblPoolSize = 5 + 2 * 2 + 1;
  SQPGRA(&ndv, &ndf, dv.data(), df, icol, gobj, gradd);
  EXPECT_EQ(settings.errorFlag, 0);
  EXPECT_EQ(problem.seen.size(), 3u);
}

// GRG overflow: T + NDF + 1 is tested first, then T + 2*NDF + 2; each refusal reports its own value.
TEST_F(DerivativesTest, GrgPoolOverflowTestsTwice) {
  settings.print = 1;
  settings.dblPoolTop = 5;
  const int lisdf[kNdf] = {1, 0, 0, 0};
  const int ndv = kNdv, ndf = kNdf, zero = 0, one = 1;
  for (int size : {5 + kNdf, 5 + 2 * kNdf + 1, 5 + 2 * kNdf + 2}) {
    settings.dblPoolSize = size;
    settings.errorFlag = 0;
    clearLines();
    GDSGRA(&zero, &one, &ndv, dv.data(), &ndf, df, lisdf, grad);
    EXPECT_EQ(settings.dblPoolTop, 5);
    if (size == 5 + 2 * kNdf + 2) {
      EXPECT_EQ(settings.errorFlag, 0);
      EXPECT_TRUE(lines().empty());
    } else {
      EXPECT_EQ(settings.errorFlag, -1);
      const std::string refused = size == 5 + kNdf ? "        10" : "        15";
      ASSERT_EQ(lines().size(), 1u);
      EXPECT_EQ(lines()[0], " ERROR:  DOUBLE PRECISION STORAGE EXCEEDED" + refused);
    }
  }
  EXPECT_EQ(problem.seen.size(), 3u);
  EXPECT_EQ(settings.nGradEval, 0);
}

// In the feasibility phase on a negative equality (IPHASE = 3) the caller holds that function negated; every
// evaluation negates it too, so its gradient is that of the negated function. Other phases negate nothing. A zero
// map entry and a negative one (not valid input) store nothing.
TEST_F(DerivativesTest, GrgNegationOfTheTemporaryObjective) {
  const int lisdf[kNdf] = {0, 1, -1, 2};
  const int ndv = kNdv, ndf = kNdf, itobj = 2;
  for (int method : {1, 0}) {
    settings.diffMeth = method;
    for (int phase : {3, 2}) {
      std::fill(std::begin(grad), std::end(grad), kSentinel);
      dfAt(dv, df);
      if (phase == 3) df[1] = -df[1];
      std::memcpy(dfEntry, df, sizeof df);
      double dfsave[kNdf], dfplus[kNdf];
      GDBGRA(&phase, &itobj, &ndv, dv.data(), &ndf, df, lisdf, grad, dfsave, dfplus);
      const double sign = phase == 3 ? -1.0 : 1.0;
      EXPECT_NEAR(grad[0], sign * 0.5 + (method == 1 ? sign * 1e-4 : 0.0), 1e-9) << phase;
      EXPECT_NEAR(grad[1], 0.0, 1e-9);
      EXPECT_NEAR(grad[3 + 0], 1.0, 1e-9);
      for (int k = 6; k < 5 * kNdf; ++k) EXPECT_EQ(grad[k], kSentinel);  // LDG is NDV: columns 1, 2 only
      EXPECT_TRUE(dfUnchanged());
    }
  }
  EXPECT_EQ(settings.nFunEval, 2 * 3 + 2 * 6);
  EXPECT_EQ(settings.nGradEval, 0);
}

// GRGGRA: the map sends MGRGIN(k) to k, MBNDEQ(k) to NCAND + k and ITOBJ to NCAND + NBEQ + 1 (winning over a list);
// GRADOB is the objective's column and GSCALE its mean absolute component, at least 1.
TEST_F(DerivativesTest, GrgGradientsMapObjectiveAndScale) {
  const int ndv = kNdv, ndf = kNdf, zero = 0, one = 1, phase = 1, four = 4;
  const int mgrgin[1] = {4}, mbndeq[1] = {2};
  int lisdf[kNdf];
  double gradob[kNdv], gscale = 0;
  GRGGRA(&zero, &one, mgrgin, &one, mbndeq, &one, &ndv, dv.data(), &ndf, df, lisdf, grad, gradob, &gscale);
  EXPECT_EQ(std::vector<int>(lisdf, lisdf + 4), (std::vector<int>{3, 2, 0, 1}));
  for (int i = 0; i < kNdv; ++i) EXPECT_EQ(gradob[i], grad[i + 2 * kNdv]);
  EXPECT_NEAR(gscale, 2.0, 1e-9);

  GRGGRA(&phase, &one, mgrgin, &one, mbndeq, &four, &ndv, dv.data(), &ndf, df, lisdf, grad, gradob, &gscale);
  EXPECT_EQ(std::vector<int>(lisdf, lisdf + 4), (std::vector<int>{0, 2, 0, 3}));

  problem.objectiveScale = 0.1;  // mean absolute component 0.2
  dfAt(dv, df);
  std::fill(std::begin(grad), std::end(grad), kSentinel);
  GRGGRA(&zero, &zero, mgrgin, &zero, mbndeq, &one, &ndv, dv.data(), &ndf, df, lisdf, grad, gradob, &gscale);
  EXPECT_EQ(std::vector<int>(lisdf, lisdf + 4), (std::vector<int>{1, 0, 0, 0}));
  EXPECT_EQ(gscale, 1.0);
  EXPECT_NEAR(gradob[1], -0.2, 1e-9);
  for (int k = kNdv; k < 5 * kNdf; ++k) EXPECT_EQ(grad[k], kSentinel);

  const int none = 0;
  GRGGRA(&zero, &zero, mgrgin, &zero, mbndeq, &one, &none, dv.data(), &ndf, df, lisdf, grad, gradob, &gscale);
  EXPECT_EQ(gscale, 1.0);
}

// On overflow GRGGRA has built the map and still extracts GRADOB and GSCALE from what GRADD held.
TEST_F(DerivativesTest, GrgGradientsOverflowStillExtractsObjective) {
  settings.dblPoolSize = kNdf;
  const int ndv = kNdv, ndf = kNdf, zero = 0, one = 1;
  const int mgrgin[1] = {3};
  int lisdf[kNdf] = {9, 9, 9, 9};
  double gradd[kNdv * 2] = {0, 0, 0, 4, -5, 6};
  double gradob[kNdv], gscale = 0;
  GRGGRA(&zero, &one, mgrgin, &zero, nullptr, &one, &ndv, dv.data(), &ndf, df, lisdf, gradd, gradob, &gscale);
  EXPECT_EQ(settings.errorFlag, -1);
  EXPECT_TRUE(lines().empty());
  EXPECT_TRUE(problem.seen.empty());
  EXPECT_EQ(std::vector<int>(lisdf, lisdf + 4), (std::vector<int>{2, 0, 1, 0}));
  EXPECT_EQ(std::vector<double>(gradob, gradob + 3), (std::vector<double>{4, -5, 6}));
  EXPECT_EQ(gscale, 5.0);
  EXPECT_EQ(settings.dblPoolTop, 0);
}

}  // namespace
}  // namespace korvex
