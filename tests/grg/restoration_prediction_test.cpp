// Crossing steps and the prediction of the dependent variables.
#include <gtest/gtest.h>

#include "entry/settings.h"
#include "korvex/routines/grg_search.h"
#include "support/korvex_test.h"

namespace {

using korvex::settings;

class GrgRestorationPrediction : public korvex::testing::KorvexTest {};

constexpr int kTrue = -1;
constexpr int kFalse = 0;

TEST_F(GrgRestorationPrediction, CrossingIsInterpolatedToFeasTolNotZero) {
  // Function 2 from -0.999 at step 0.1 to 1.001 at step 0.3: reaches feasTol = 0.001 half way, at 0.2.
  const double bstdf[2] = {0.0, -0.999}, df[2] = {0.0, 1.001};
  const double stpbst = 0.1, step = 0.3;
  const int f = 2;
  double crossing = -1.0;
  int ifail = kFalse;
  GRGINT(&stpbst, &step, &f, bstdf, df, &crossing, &ifail);
  EXPECT_NEAR(crossing, 0.2, 1e-12);
  EXPECT_EQ(ifail, kFalse);

  settings.print = 1;
  // Unchanged function: ERROR2, crossing untouched.
  const double same[2] = {0.0, -0.999};
  GRGINT(&stpbst, &step, &f, bstdf, same, &crossing, &ifail);
  EXPECT_EQ(ifail, kTrue);
  EXPECT_NEAR(crossing, 0.2, 1e-12);
  // Crossing outside the interval (already above feasTol at the best point): ERROR1.
  ifail = kFalse;
  const double above[2] = {0.0, 0.5}, higher[2] = {0.0, 0.9};
  GRGINT(&stpbst, &step, &f, above, higher, &crossing, &ifail);
  EXPECT_EQ(ifail, kTrue);
  ASSERT_EQ(lines().size(), 2u);
  EXPECT_EQ(lines()[0], " ERROR2 IN GRGINT");
  EXPECT_EQ(lines()[1], " ERROR1 IN GRGINT");
}

TEST_F(GrgRestorationPrediction, DependentVariablesFollowTangentOrSecantAndReportTheFirstBound) {
  const double dvub[3] = {1.0, 1.0, 1.0}, dvlb[3] = {-1.0, -1.0, -1.0};
  const double sdir[3] = {0.5, -0.5, 0.7071};
  const double bstdv[3] = {0.8, -0.8, 0.0}, dvprv[3] = {0.6, -0.7, 0.0};
  double dv[3] = {9.0, 9.0, 9.0};
  const int nddv = 2, mddv[2] = {2, 1};
  double step = 0.6, stpbst = 0.2, stpprv = 0.2;
  int idvbnd = -1;
  double stpbnd = 0.0;
  // Tangent (STPBST = STPPRV): variable 1 reaches 1 at 0.6, variable 2 reaches -1 at 0.6 as well: both are put
  // onto their bounds and the first in MDDV order (variable 2) is reported.
  GRGDDV(&nddv, mddv, dvub, dvlb, &step, sdir, dv, bstdv, dvprv, &stpbst, &stpprv, &idvbnd, &stpbnd);
  EXPECT_EQ(dv[0], 1.0);
  EXPECT_EQ(dv[1], -1.0);
  EXPECT_EQ(dv[2], 9.0);
  EXPECT_EQ(idvbnd, 2);
  EXPECT_NEAR(stpbnd, 0.6, 1e-12);

  // Secant from DVPRV at 0.1: variable 1 slope 2 (reaches 1 at 0.3), variable 2 slope -1 (reaches -1 at 0.4).
  stpprv = 0.1;
  step = 0.25;
  GRGDDV(&nddv, mddv, dvub, dvlb, &step, sdir, dv, bstdv, dvprv, &stpbst, &stpprv, &idvbnd, &stpbnd);
  EXPECT_NEAR(dv[0], 0.9, 1e-12);
  EXPECT_NEAR(dv[1], -0.85, 1e-12);
  EXPECT_EQ(idvbnd, 0);
  EXPECT_EQ(stpbnd, settings.bigValue);
  // Within tinyTol of the bound counts as on it.
  step = 0.3 - 1e-8;
  GRGDDV(&nddv, mddv, dvub, dvlb, &step, sdir, dv, bstdv, dvprv, &stpbst, &stpprv, &idvbnd, &stpbnd);
  EXPECT_EQ(dv[0], 1.0);
  EXPECT_EQ(idvbnd, 1);
  EXPECT_NEAR(stpbnd, 0.3, 1e-12);

  // No dependent variable: nothing moves.
  const int none = 0;
  double untouched[3] = {0.1, 0.2, 0.3};
  GRGDDV(&none, mddv, dvub, dvlb, &step, sdir, untouched, bstdv, dvprv, &stpbst, &stpprv, &idvbnd, &stpbnd);
  EXPECT_EQ(idvbnd, 0);
  EXPECT_EQ(stpbnd, settings.bigValue);
  EXPECT_EQ(untouched[0], 0.1);
  EXPECT_EQ(untouched[1], 0.2);
}

}  // namespace
