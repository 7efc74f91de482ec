// What a GRG run prints at each level, on one-variable problems that end in their first iteration (so the line
// search prints nothing): the optimisation phase at its minimiser, and the feasibility phase on an inequality that
// cannot be satisfied.
#include <string>
#include <vector>

#include "korvex/korvex.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

void atMinimum(void*, const double* x, double* f, double*, double*) { f[0] = (x[0] - 0.5) * (x[0] - 0.5); }

void unsatisfiable(void*, const double* x, double* f, double*, double* g) {
  f[0] = x[0];
  g[0] = (x[0] - 0.5) * (x[0] - 0.5) + 1.0;
}

using GrgPrintingTest = KorvexTest;
using Lines = std::vector<std::string>;

TEST_F(GrgPrintingTest, EachLevelAddsItsLinesInBothPhases) {
  struct Case {
    AnalysisCallback analysis;
    int nIneq, result;
    Lines afterHeading, infeasibleList;
    std::string columnMap;  // the objective has no column in the feasibility phase; function 2 has the only one
  };
  const Case cases[] = {
      {atMinimum, 0, KVW_GRG_CONVERGED_DERIVATIVE, {"  0.00000E+00", " NO. ANALYSIS CALLS    1"}, {}, "         1"},
      {unsatisfiable,
       1,
       KVW_GRG_INFEASIBLE,
       {"  5.00000E-01  1.00000E+00", " NO. ANALYSIS CALLS    1", " SEARCHING FOR FEASIBLE STARTING POINT",
        " TEMPORARY OBJECTIVE IS FUNCTION   2 "},
       {" MGRGIN FOR INFEASIBLE", ""},
       "         0         1"},
  };
  for (const Case& c : cases) {
    for (int level = 0; level <= 3; ++level) {
      Lines want;
      const auto add = [&want](const Lines& part) { want.insert(want.end(), part.begin(), part.end()); };
      if (level >= 1) add({"  ", " BEGINNING ITERATION    1", " DV", "  0.00000E+00", " DF"});
      if (level >= 1) add(c.afterHeading);
      if (level >= 3) add(c.infeasibleList);
      if (level >= 2) {
        add({" HESSIAN INITIALIZED ", " LISDF", c.columnMap, " GRADD", "   2.50000E-05", " GRADOB", "  2.50000E-05"});
      }
      if (level >= 3) add({" HESSIAN", "   1.00000E+00", " IACT", "", " XLAG", ""});
      if (level >= 2) add({" DIRECT DERIV   -0.62500E-09    LENGTH SEARCH VEC    0.25000E-04"});

      KVW_setDefaults();
      KVW_set_print(level);
      clearLines();
      double x = 0.5, lower = 0.0, upper = 1.0, f[2] = {0.0, 0.0};
      EXPECT_EQ(KVW_grg(10, 1, &x, &lower, &upper, 0, c.nIneq, c.analysis, nullptr, f), c.result);
      EXPECT_EQ(lines(), want) << "level " << level;
    }
  }
}

}  // namespace
}  // namespace korvex::testing
