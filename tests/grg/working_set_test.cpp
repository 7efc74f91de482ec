// The GRG storage front end: run-array layout, capacity tests, overflow reports and pool restoration.
#include <string>
#include <tuple>
#include <vector>

#include "entry/settings.h"
#include "korvex/routines.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using GrgWorkingSetTest = KorvexTest;

// The front end on n variables at 0 with nEq equalities and nIneq inequalities, all of value 0, and an iteration
// limit of 0, so that the main iteration returns 6 at once when the storage fits.
int runFrontEnd(int n, int nEq, int nIneq) {
  const int maxIter = 0, NDF = 1 + nEq + nIneq, objIndex = 1;
  std::vector<double> DV(n, 0.0), DVLB(n, -1.0), DVUB(n, 1.0), DF(NDF, 0.0);
  std::vector<int> eq(nEq), ineq(nIneq);
  for (int i = 0; i < nEq; ++i) eq[i] = 2 + i;
  for (int i = 0; i < nIneq; ++i) ineq[i] = 2 + nEq + i;
  int resultCode = -5;
  GRSALG(&maxIter, &n, DV.data(), DVLB.data(), DVUB.data(), &NDF, DF.data(), &objIndex, &nEq, eq.data(), &nIneq,
         ineq.data(), &resultCode);
  return resultCode;
}

// New tops one slot beyond the arrays: doubles T + n n + 8 n + 1, integers I + nIneq + min(nIneq, n) + nEq + NDF
// + n + 1. A capacity equal to the new top is accepted, one less is refused (doubles first), resultCode is not
// written on an overflow, and both tops come back on every path.
TEST_F(GrgWorkingSetTest, RunArraysTakeTheStatedTopsAndOverflowsAreReported) {
  struct Case {
    int n, nEq, nIneq, dblTop, intTop, dblSize, intSize;
    std::string report;
  };
  const Case cases[] = {
      {100, 0, 0, 0, 0, 10800, 5000, " ERROR:  DOUBLE PRECISION STORAGE EXCEEDED     10801"},
      {100, 0, 0, 0, 0, 10801, 101, " ERROR:  INTEGER STORAGE EXCEEDED       102"},
      {100, 0, 0, 0, 0, 10801, 102, ""},
      // 20 + 4 + 16 + 1 = 41 doubles; 10 + 7 + 2 + 3 + 11 + 2 + 1 = 36 integers
      {2, 3, 7, 20, 10, 40, 35, " ERROR:  DOUBLE PRECISION STORAGE EXCEEDED        41"},
      {2, 3, 7, 20, 10, 41, 35, " ERROR:  INTEGER STORAGE EXCEEDED        36"},
      {2, 3, 7, 20, 10, 41, 36, ""},
  };
  KVW_set_print(1);
  for (const Case& c : cases) {
    clearLines();
    settings.errorFlag = 0;
    settings.dblPoolTop = c.dblTop;
    settings.intPoolTop = c.intTop;
    settings.dblPoolSize = c.dblSize;
    settings.intPoolSize = c.intSize;
    const bool fits = c.report.empty();
    EXPECT_EQ(runFrontEnd(c.n, c.nEq, c.nIneq), fits ? KVW_GRG_ITERATION_LIMIT : -5) << c.dblSize;
    EXPECT_EQ(lines(), fits ? std::vector<std::string>{} : std::vector<std::string>{c.report});
    EXPECT_EQ(std::tuple(settings.errorFlag, settings.dblPoolTop, settings.intPoolTop),
              std::tuple(fits ? 0 : -1, c.dblTop, c.intTop));
  }
}

}  // namespace
}  // namespace korvex::testing
