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

class GrgPrintingTest : public KorvexTest {
 protected:
  int run(AnalysisCallback analysis, int nIneq, int level) {
    KVW_setDefaults();
    KVW_set_print(level);
    clearLines();
    double x = 0.5, lower = 0.0, upper = 1.0, f[2] = {0.0, 0.0};
    return KVW_grg(10, 1, &x, &lower, &upper, 0, nIneq, analysis, nullptr, f);
  }
};

using Lines = std::vector<std::string>;

const Lines kHeading{"  ", " BEGINNING ITERATION    1", " DV", "  0.00000E+00", " DF"};
const Lines kDirection2{" HESSIAN INITIALIZED ", " LISDF"};
const std::string kDerivative = " DIRECT DERIV   -0.62500E-09    LENGTH SEARCH VEC    0.25000E-04";

Lines join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST_F(GrgPrintingTest, OptimisationPhaseAtEachLevel) {
  EXPECT_EQ(run(atMinimum, 0, 0), KVW_GRG_CONVERGED_DERIVATIVE);
  EXPECT_TRUE(lines().empty());

  const Lines level1 = join({kHeading, {"  0.00000E+00", " NO. ANALYSIS CALLS    1"}});
  EXPECT_EQ(run(atMinimum, 0, 1), KVW_GRG_CONVERGED_DERIVATIVE);
  EXPECT_EQ(lines(), level1);

  const Lines gradients{"         1", " GRADD", "   2.50000E-05", " GRADOB", "  2.50000E-05"};
  EXPECT_EQ(run(atMinimum, 0, 2), KVW_GRG_CONVERGED_DERIVATIVE);
  EXPECT_EQ(lines(), join({level1, kDirection2, gradients, {kDerivative}}));
  EXPECT_EQ(kDerivative.size(), 64u);

  EXPECT_EQ(run(atMinimum, 0, 3), KVW_GRG_CONVERGED_DERIVATIVE);
  EXPECT_EQ(lines(), join({level1, kDirection2, gradients,
                           {" HESSIAN", "   1.00000E+00", " IACT", "", " XLAG", "", kDerivative}}));
}

TEST_F(GrgPrintingTest, FeasibilityPhaseAtEachLevel) {
  EXPECT_EQ(run(unsatisfiable, 1, 0), KVW_GRG_INFEASIBLE);
  EXPECT_TRUE(lines().empty());

  const Lines level1 = join({kHeading,
                             {"  5.00000E-01  1.00000E+00", " NO. ANALYSIS CALLS    1",
                              " SEARCHING FOR FEASIBLE STARTING POINT", " TEMPORARY OBJECTIVE IS FUNCTION   2 "}});
  EXPECT_EQ(run(unsatisfiable, 1, 1), KVW_GRG_INFEASIBLE);
  EXPECT_EQ(lines(), level1);

  // The objective has no column; the temporary objective (function 2) has the only one.
  const Lines gradients{"         0         1", " GRADD", "   2.50000E-05", " GRADOB", "  2.50000E-05"};
  EXPECT_EQ(run(unsatisfiable, 1, 2), KVW_GRG_INFEASIBLE);
  EXPECT_EQ(lines(), join({level1, kDirection2, gradients, {kDerivative}}));

  EXPECT_EQ(run(unsatisfiable, 1, 3), KVW_GRG_INFEASIBLE);
  EXPECT_EQ(lines(), join({level1, {" MGRGIN FOR INFEASIBLE", ""}, kDirection2, gradients,
                           {" HESSIAN", "   1.00000E+00", " IACT", "", " XLAG", "", kDerivative}}));
}

}  // namespace
}  // namespace korvex::testing
