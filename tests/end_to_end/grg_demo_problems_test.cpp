// The GRG method on the demo problem set: each problem is solved from its published start point to its known
// optimum within a tolerance of the objective, feasible within the constraint tolerance.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "../examples/problems.h"
#include "korvex/korvex.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using GrgDemoProblemsTest = KorvexTest;

TEST_F(GrgDemoProblemsTest, EachProblemReachesItsOptimum) {
  for (const auto& problem : korvex_examples::testProblems()) {
    KVW_setDefaults();
    std::vector<double> x(problem.start.begin(), problem.start.begin() + problem.n);
    std::vector<double> f(static_cast<size_t>(1 + problem.nEq + problem.nIneq), 0.0);
    const int result = KVW_grg(100, problem.n, x.data(), problem.lower.data(), problem.upper.data(), problem.nEq,
                               problem.nIneq, problem.analysis, nullptr, f.data());
    const double violation = korvex_examples::largestViolation(problem, f.data());
    const bool solved = (result == KVW_GRG_CONVERGED_DERIVATIVE || result == KVW_GRG_CONVERGED_OBJECTIVE ||
                         result == KVW_GRG_NO_STEP) &&
                        std::fabs(f[0] - problem.optimum) <= 0.01 * (1.0 + std::fabs(problem.optimum)) &&
                        violation <= 0.001;
    std::printf("%-12s result %2d  f %14.7g (optimum %14.7g)  violation %9.2e  iterations %3d  calls %5d\n",
                std::string(problem.name).c_str(), result, f[0], problem.optimum, violation, KVW_get_nIter(),
                KVW_get_nFunEval());
    EXPECT_TRUE(solved) << problem.name;
  }
}

}  // namespace
}  // namespace korvex::testing
