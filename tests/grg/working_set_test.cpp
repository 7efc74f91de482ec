// The GRG storage front end: run-array layout, capacity tests, overflow reports and pool restoration.
#include <string>
#include <vector>

#include "entry/settings.h"
#include "korvex/routines.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

void quadratic(void*, const double* x, double* objective, double*, double* inequalities) {
  *objective = (x[0] - 0.3) * (x[0] - 0.3);
  (void)inequalities;
}

// n variables, no constraints: one GRG run with the given iteration limit.
int runUnconstrained(int n, int maxIter, std::vector<double>& x) {
  x.assign(static_cast<size_t>(n), 0.5);
  std::vector<double> lower(static_cast<size_t>(n), 0.0), upper(static_cast<size_t>(n), 1.0), f(1, 0.0);
  return KVW_grg(maxIter, n, x.data(), lower.data(), upper.data(), 0, 0, quadratic, nullptr, f.data());
}

using GrgWorkingSetTest = KorvexTest;

// With 100 variables and no constraints the run arrays end at slot 10800 (doubles) and 101 (integers); the new tops
// are one beyond. A capacity equal to the new top is accepted, one less is refused.
TEST_F(GrgWorkingSetTest, CapacityTestsUseTheNewTopOneBeyondTheArrays) {
  std::vector<double> x;
  KVW_set_print(1);
  settings.dblPoolSize = 10800;
  EXPECT_EQ(runUnconstrained(100, 5, x), KVW_GRG_STORAGE);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " ERROR:  DOUBLE PRECISION STORAGE EXCEEDED     10801");
  EXPECT_EQ(settings.dblPoolTop, 0);
  EXPECT_EQ(settings.intPoolTop, 0);
  EXPECT_EQ(settings.nFunEval, 1);  // only the start point

  KVW_setDefaults();
  KVW_set_print(1);
  clearLines();
  settings.dblPoolSize = 10801;
  settings.intPoolSize = 101;
  EXPECT_EQ(runUnconstrained(100, 5, x), KVW_GRG_STORAGE);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " ERROR:  INTEGER STORAGE EXCEEDED       102");
  EXPECT_EQ(settings.dblPoolTop, 0);
  EXPECT_EQ(settings.intPoolTop, 0);

  // At print level 0 the overflow is silent but still reaches the caller as 11.
  KVW_setDefaults();
  clearLines();
  settings.intPoolSize = 101;
  EXPECT_EQ(runUnconstrained(100, 5, x), KVW_GRG_STORAGE);
  EXPECT_TRUE(lines().empty());
}

// The integer arrays: MGRGIN nIneq, MBNDIN min(nIneq, NDV), MBNDEQ nEq, LISDF NDF, IACT NDV.
TEST_F(GrgWorkingSetTest, IntegerLayoutCountsTheBindingListAsMinOfInequalitiesAndVariables) {
  const int maxIter = 0, n = 2, NDF = 1 + 3 + 7, nEq = 3, nIneq = 7, objIndex = 1;
  std::vector<double> DV(2, 0.0), DVLB(2, -1.0), DVUB(2, 1.0), DF(NDF, 0.0);
  std::vector<int> eq{2, 3, 4}, ineq{5, 6, 7, 8, 9, 10, 11};
  int resultCode = -5;
  KVW_set_print(1);
  settings.intPoolTop = 10;
  settings.dblPoolTop = 20;
  // new integer top = 10 + 7 + min(7, 2) + 3 + 11 + 2 + 1 = 36
  settings.intPoolSize = 35;
  GRSALG(&maxIter, &n, DV.data(), DVLB.data(), DVUB.data(), &NDF, DF.data(), &objIndex, &nEq, eq.data(), &nIneq,
         ineq.data(), &resultCode);
  EXPECT_EQ(resultCode, -5);  // not written on the overflow path
  EXPECT_EQ(settings.errorFlag, -1);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " ERROR:  INTEGER STORAGE EXCEEDED        36");
  EXPECT_EQ(settings.intPoolTop, 10);
  EXPECT_EQ(settings.dblPoolTop, 20);

  settings.errorFlag = 0;
  settings.intPoolSize = 36;
  // new double top = 20 + 4 + 16 + 1 = 41
  settings.dblPoolSize = 40;
  clearLines();
  GRSALG(&maxIter, &n, DV.data(), DVLB.data(), DVUB.data(), &NDF, DF.data(), &objIndex, &nEq, eq.data(), &nIneq,
         ineq.data(), &resultCode);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " ERROR:  DOUBLE PRECISION STORAGE EXCEEDED        41");

  settings.errorFlag = 0;
  settings.dblPoolSize = 41;
  GRSALG(&maxIter, &n, DV.data(), DVLB.data(), DVUB.data(), &NDF, DF.data(), &objIndex, &nEq, eq.data(), &nIneq,
         ineq.data(), &resultCode);
  EXPECT_EQ(resultCode, KVW_GRG_ITERATION_LIMIT);
  EXPECT_EQ(settings.errorFlag, 0);
  EXPECT_EQ(settings.intPoolTop, 10);
  EXPECT_EQ(settings.dblPoolTop, 20);
}

TEST_F(GrgWorkingSetTest, ZeroIterationLimitGivesSixWithoutIterating) {
  std::vector<double> x;
  settings.nIter = 42;
  KVW_set_print(3);
  EXPECT_EQ(runUnconstrained(2, 0, x), KVW_GRG_ITERATION_LIMIT);
  EXPECT_EQ(KVW_get_nIter(), 42);
  EXPECT_EQ(KVW_get_nFunEval(), 1);
  EXPECT_DOUBLE_EQ(x[0], 0.5);
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(runUnconstrained(2, -3, x), KVW_GRG_ITERATION_LIMIT);
}

TEST_F(GrgWorkingSetTest, StopRequestEndsTheFirstIterationWithTwelveBeforePrinting) {
  std::vector<double> x;
  KVW_set_print(3);
  KVW_set_stop(1);
  EXPECT_EQ(runUnconstrained(2, 10, x), KVW_GRG_STOPPED);
  EXPECT_EQ(KVW_get_nIter(), 1);
  EXPECT_EQ(KVW_get_nFunEval(), 1);
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(settings.dblPoolTop, 0);
}

}  // namespace
}  // namespace korvex::testing
