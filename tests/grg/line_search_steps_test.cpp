// The small rules of the GRG line search: bracketing, parabolas, step growth, tracking, the independent move.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "entry/settings.h"
#include "korvex/routines/grg_search.h"
#include "support/korvex_test.h"

namespace {

using korvex::settings;

class GrgSearchSteps : public korvex::testing::KorvexTest {
 protected:
  // The Newton-Raphson counter of the latest restoration is not touched by the defaults.
  void SetUp() override {
    KorvexTest::SetUp();
    settings.nNRIter = 0;
  }
};

constexpr int kTrue = -1;
constexpr int kFalse = 0;

TEST_F(GrgSearchSteps, BracketKeepsThreeSortedPairsAndReportsALostBracketOnStandardOutput) {
  double stppt[4] = {}, objpt[4] = {};
  auto add = [&](int brackt, int k, double obj, double step) { GRGS34(&brackt, &k, &obj, &step, objpt, stppt); };
  add(kFalse, 0, 5.0, 0.0);
  add(kFalse, 1, 4.0, 0.06);
  add(kFalse, 2, 3.0, 0.02);  // sorted in by step, objective travels with it
  EXPECT_EQ(stppt[1], 0.02);
  EXPECT_EQ(objpt[1], 3.0);
  EXPECT_EQ(stppt[2], 0.06);
  add(kFalse, 3, 2.0, 0.18);  // fourth pair without a bracket: the first is dropped
  EXPECT_EQ(stppt[0], 0.02);
  EXPECT_EQ(stppt[1], 0.06);
  EXPECT_EQ(stppt[2], 0.18);
  EXPECT_EQ(objpt[2], 2.0);

  // Bracketed, smallest objective in the middle: the three pairs stay as they are.
  double s1[4] = {0.0, 0.1, 0.2, 0.0}, o1[4] = {3.0, 1.0, 2.0, 0.0};
  int brackt = kTrue, k = 7;
  double obj = 2.5, step = 0.3;
  GRGS34(&brackt, &k, &obj, &step, o1, s1);
  EXPECT_EQ(s1[0], 0.0);
  EXPECT_EQ(s1[2], 0.2);
  // Bracketed, smallest objective at position 3: shift down.
  double s2[4] = {0.0, 0.1, 0.2, 0.0}, o2[4] = {3.0, 2.0, 1.0, 0.0};
  GRGS34(&brackt, &k, &obj, &step, o2, s2);
  EXPECT_EQ(s2[0], 0.1);
  EXPECT_EQ(s2[2], 0.3);
  EXPECT_EQ(o2[2], 2.5);

  // Bracketed, new pair below all three: one line on the standard output at print 0, nothing else changes.
  double s3[4] = {0.0, 0.1, 0.2, 0.0}, o3[4] = {3.0, 2.0, 1.0, 0.0};
  obj = 0.5;
  ::testing::internal::CaptureStdout();
  GRGS34(&brackt, &k, &obj, &step, o3, s3);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), " ERROR IN BRACKET, GRGS34\n");
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(s3[0], 0.0);
  EXPECT_EQ(s3[2], 0.2);
  EXPECT_EQ(o3[2], 1.0);
}

TEST_F(GrgSearchSteps, TwoPointParabolaUsesTheStartSlope) {
  // f(t) = 1 - 2t + 4t^2: slope -2 at 0, vertex at 0.25.
  const int n = 2;
  const double gradob[2] = {-2.0 * std::sqrt(0.5), -2.0 * std::sqrt(0.5)};
  const double sdir[2] = {std::sqrt(0.5), std::sqrt(0.5)};
  double stppt[4] = {0.0, 0.5}, objpt[4] = {1.0, 1.0 - 1.0 + 1.0};
  double step = -1.0;
  GRGPR2(stppt, objpt, &n, gradob, sdir, &step);
  EXPECT_NEAR(step, 0.25, 1e-12);

  // Positive slope: the vertex is negative and the step becomes 0, silently.
  const double up[2] = {2.0 * std::sqrt(0.5), 2.0 * std::sqrt(0.5)};
  objpt[1] = 1.0 + 1.0 + 1.0;
  settings.print = 2;
  GRGPR2(stppt, objpt, &n, up, sdir, &step);
  EXPECT_EQ(step, 0.0);
  EXPECT_TRUE(lines().empty());

  // Opening downward: step 0 and the message at print 2 only.
  objpt[1] = 0.0 - 1.0;  // below the tangent line 1 - t at t = 0.5
  settings.print = 1;
  GRGPR2(stppt, objpt, &n, gradob, sdir, &step);
  EXPECT_EQ(step, 0.0);
  EXPECT_TRUE(lines().empty());
  settings.print = 2;
  GRGPR2(stppt, objpt, &n, gradob, sdir, &step);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " C = 0 IN GRGPR2");

  // Two pairs at the same step (a trial shortened back to the start): no division, step 0.
  clearLines();
  double same[4] = {0.0, 0.0};
  step = 1.0;
  GRGPR2(same, objpt, &n, gradob, sdir, &step);
  EXPECT_EQ(step, 0.0);
}

TEST_F(GrgSearchSteps, ThreePointParabolaFindsTheVertexOrFails) {
  double stppt[4] = {0.0, 0.2, 0.5}, objpt[4];
  for (int i = 0; i < 3; ++i) objpt[i] = 2.0 * (stppt[i] - 0.3) * (stppt[i] - 0.3) + 1.0;
  double step = 0.0;
  int ifail = kFalse;
  GRGPR3(stppt, objpt, &step, &ifail);
  EXPECT_NEAR(step, 0.3, 1e-12);
  EXPECT_EQ(ifail, kFalse);

  // Collinear points: IFAIL set, step unchanged, message at print 1.
  settings.print = 1;
  double line[4] = {1.0, 0.8, 0.5};
  step = 0.7;
  GRGPR3(stppt, line, &step, &ifail);
  EXPECT_EQ(ifail, kTrue);
  EXPECT_EQ(step, 0.7);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " ERROR IN GRGPR3, ZERO DENOM");
}

// Arguments of GRGSTP for a problem of two variables and three functions.
struct GrowthCase {
  int iphase = 0, itobj = 1, slownr = kFalse, ntrak = 0, nbeq = 0;
  int ltrak[3] = {0, 0, 0};
  int ncand = 0, mgrgin[2] = {3, 0};
  int nddv = 0, mddv[2] = {2, 1};
  double bstdv[2] = {0.0, 0.0}, dvprv[2] = {0.0, 0.0};
  double bstdf[3] = {0.0, 0.0, 0.0}, dfprv[3] = {0.0, 0.0, 0.0};
  double stpbst = 0.0, stpprv = 0.0;
  double dvlb[2] = {-1.0, -1.0}, dvub[2] = {1.0, 1.0};
  double sdir[2] = {1.0, 0.0};
  double next(double step) {
    GRGSTP(&iphase, &itobj, &slownr, &ntrak, &nbeq, ltrak, &ncand, mgrgin, &nddv, mddv, bstdv, dvprv, bstdf, dfprv,
           &stpbst, &stpprv, dvlb, dvub, sdir, &step);
    return step;
  }
};

TEST_F(GrgSearchSteps, StepGrowthWithoutBasisFunctions) {
  GrowthCase c;
  const double expected[] = {0.06, 0.18, 0.54, 0.94, 1.34};
  double step = 0.02;
  for (double e : expected) {
    step = c.next(step);
    EXPECT_NEAR(step, e, 1e-15);
  }
}

TEST_F(GrgSearchSteps, StepGrowthWithBasisFunctionsAndSlowRestorations) {
  GrowthCase c;
  c.ntrak = 1;
  EXPECT_NEAR(c.next(0.1), 0.2, 1e-15);
  EXPECT_NEAR(c.next(0.3), 0.55, 1e-15);
  settings.nNRIter = 3;  // the latest restoration needed three corrections
  EXPECT_NEAR(c.next(0.3), 0.45, 1e-15);
  EXPECT_EQ(c.slownr & 1, 1);
  settings.nNRIter = 0;  // stays slow for the rest of the search
  EXPECT_NEAR(c.next(0.3), 0.45, 1e-15);
}

TEST_F(GrgSearchSteps, StepGrowthStopsShortOfConstraintsBoundsAndTheZeroOfAnEquality) {
  // Candidate inequality 3 went from -0.5 at 0.1 to -0.3 at 0.2: the line reaches 0 at 0.35; limit min(1.1*0.35, 0.35 + 0.05).
  GrowthCase c;
  c.ncand = 1;
  c.stpprv = 0.1;
  c.stpbst = 0.2;
  c.dfprv[2] = -0.5;
  c.bstdf[2] = -0.3;
  EXPECT_NEAR(c.next(0.2), 0.385, 1e-12);
  c.ltrak[2] = 1;  // tracked inequalities are not limits
  EXPECT_NEAR(c.next(0.2), 0.6, 1e-12);
  c.ltrak[2] = 0;
  EXPECT_NEAR(c.next(0.4), 0.8, 1e-12);  // zero at 0.35 lies behind the current step: no limit

  // Equality 2 as temporary objective (phase 2): 0.4 at 0.1, 0.2 at 0.2, zero at 0.3; min(1.1*0.3, 0.35).
  GrowthCase e;
  e.iphase = 2;
  e.itobj = 2;
  e.stpprv = 0.1;
  e.stpbst = 0.2;
  e.dfprv[1] = 0.4;
  e.bstdf[1] = 0.2;
  EXPECT_NEAR(e.next(0.2), 0.33, 1e-12);

  // Dependent variable 2 at 0.5 moving up along the tangent (SDIR 0.5): bound at 0.2 + 1.0; min(1.02*1.2, 1.21).
  GrowthCase d;
  d.ntrak = 1;
  d.nddv = 1;
  d.stpbst = d.stpprv = 0.2;
  d.bstdv[1] = 0.5;
  d.sdir[1] = 0.5;
  EXPECT_NEAR(d.next(1.0), 1.21, 1e-12);
  // Secant: from -0.2 at 0.1 to 0.0 at 0.2, slope 2, reaches 1 at 0.7; min(1.02*0.7, 0.71) = 0.71.
  d.stpprv = 0.1;
  d.dvprv[1] = -0.2;
  d.bstdv[1] = 0.0;
  EXPECT_NEAR(d.next(1.0), 0.71, 1e-12);
}

TEST_F(GrgSearchSteps, TrackingKeepsTangentAndOutwardBindingInequalities) {
  // Three variables, functions 1..4; binding inequalities 2, 3, 4 in columns 2, 3, 4 of GRADD.
  const int ndf = 4, nbin = 3, ndv = 3;
  const int mbndin[3] = {2, 3, 4};
  const int lisdf[4] = {1, 2, 3, 4};
  const double sdir[3] = {1.0, 0.0, 0.0};
  const double gradd[12] = {0, 0, 0,          // objective
                            -2.0, 0.0, 0.0,   // enters the feasible side: left free
                            0.0, 3.0, 0.0,    // tangent: tracked
                            1.0, 1.0, 0.0};   // leaves at 45 degrees: tracked, RESETH
  int reseth = kFalse, ntrak = -1, mtrak[8] = {}, ltrak[4] = {9, 9, 9, 9};
  settings.print = 2;
  GRGTRK(&reseth, &ndf, &nbin, mbndin, &ndv, sdir, lisdf, gradd, &ntrak, mtrak, ltrak);
  EXPECT_EQ(ntrak, 2);
  EXPECT_EQ(mtrak[0], 3);
  EXPECT_EQ(mtrak[1], 4);
  EXPECT_EQ(ltrak[0], 0);
  EXPECT_EQ(ltrak[1], 0);
  EXPECT_EQ(ltrak[2], 1);
  EXPECT_EQ(ltrak[3], 1);
  EXPECT_EQ(reseth, kTrue);
  ASSERT_EQ(lines().size(), 2u);
  EXPECT_EQ(lines()[0], " SEARCH DIRECTION OUTSIDE TANGENT ");
  EXPECT_EQ(lines()[1], " BINDING DF#    4  DOTP=   0.70711E+00 ");
  EXPECT_EQ(lines()[1].size(), 39u);
}

TEST_F(GrgSearchSteps, IndependentMoveClipsAndEndsTheSearchWhenAllAreClipped) {
  const int nidv = 2;
  const int midv[2] = {1, 3};
  const double dvub[3] = {1.0, 1.0, 1.0}, dvlb[3] = {-1.0, -1.0, -1.0};
  const double sdir[3] = {0.6, 0.0, -0.8}, bstdv[3] = {0.5, 0.25, 0.0};
  double dv[3] = {0.0, 0.25, 0.0};
  double step = 0.5, stpbst = 0.25;
  int endstp = kFalse;
  GRGIDV(&nidv, midv, dvub, dvlb, &step, sdir, dv, bstdv, &stpbst, &endstp);
  EXPECT_DOUBLE_EQ(dv[0], 0.65);
  EXPECT_DOUBLE_EQ(dv[2], -0.2);
  EXPECT_EQ(dv[1], 0.25);
  EXPECT_EQ(endstp, kFalse);
  step = 2.0;  // variable 1 beyond its upper bound, variable 3 beyond its lower one
  GRGIDV(&nidv, midv, dvub, dvlb, &step, sdir, dv, bstdv, &stpbst, &endstp);
  EXPECT_EQ(dv[0], 1.0);
  EXPECT_EQ(dv[2], -1.0);
  EXPECT_EQ(endstp, kTrue);
  const int none = 0;
  int endNone = kFalse;
  GRGIDV(&none, midv, dvub, dvlb, &step, sdir, dv, bstdv, &stpbst, &endNone);
  EXPECT_EQ(endNone, kFalse);

  const double v[2] = {3.0, 4.0};
  const int two = 2, zero = 0;
  EXPECT_EQ(GRGNRM(&two, v), 5.0);
  EXPECT_EQ(GRGNRM(&zero, v), 0.0);
}

}  // namespace
