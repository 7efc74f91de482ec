// Whole GRG line searches on small problems with real analysis callbacks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "entry/settings.h"
#include "grg/line_search_problem.h"
#include "korvex/routines/grg_search.h"
#include "support/korvex_test.h"

namespace {

using korvex::settings;
using korvex::testing::SearchProblem;

constexpr int kFalse = 0;

class GrgLineSearch : public korvex::testing::KorvexTest {
 protected:
  void SetUp() override {
    KorvexTest::SetUp();
    settings.nNRIter = 0;  // not touched by the defaults
  }
  // The "STEP LENGTH" values printed, in order.
  std::vector<std::string> stepLines() const {
    std::vector<std::string> steps;
    for (const auto& line : lines()) {
      if (line.rfind(" STEP LENGTH ", 0) == 0) steps.push_back(line.substr(13));
    }
    return steps;
  }
};

// Every argument of GRSSTE. Functions: objective 1, equalities 2..nEq+1, then inequalities; every inequality is a
// candidate with its own gradient column (column j for function j).
struct Search {
  int iphase = 0, reseth = kFalse;
  double slen = 1.0;
  int nIneq, ncand, nbeq, nbin = 0, itobj = 1, ndv, ndf, resultCode = -5;
  std::vector<int> ineqList, mgrgin, mbndeq, mbndin, lisdf;
  std::vector<double> dv, dvub, dvlb, df, gradd, gradob, sdir;

  Search(int n, int nEq, int nIn) : nIneq(nIn), ncand(nIn), nbeq(nEq), ndv(n), ndf(1 + nEq + nIn) {
    for (int f = 2; f <= nEq + 1; ++f) mbndeq.push_back(f);
    for (int f = nEq + 2; f <= ndf; ++f) ineqList.push_back(f);
    mgrgin = ineqList;
    mbndin.assign(std::max(1, std::min(nIn, n)), 0);
    for (int f = 1; f <= ndf; ++f) lisdf.push_back(f);
    dv.assign(n, 0.0);
    dvub.assign(n, 1.0);
    dvlb.assign(n, -1.0);
    df.assign(ndf, 0.0);
    gradd.assign(static_cast<size_t>(n) * ndf, 0.0);
    gradob.assign(n, 0.0);
    sdir.assign(n, 0.0);
  }
  double& grad(int variable, int function) { return gradd[(variable - 1) + static_cast<size_t>(function - 1) * ndv]; }
  void start(const std::vector<double>& x, const SearchProblem& problem) {
    dv = x;
    problem.evaluate(dv.data(), df.data());
    for (int i = 1; i <= ndv; ++i) gradob[i - 1] = grad(i, itobj);
  }
  void run() {
    if (mbndin.empty()) mbndin.push_back(0);
    GRSSTE(&iphase, &reseth, &slen, &nIneq, ineqList.data(), &ncand, mgrgin.data(), &nbeq, mbndeq.data(), &nbin,
           mbndin.data(), &itobj, &ndv, dv.data(), dvub.data(), dvlb.data(), &ndf, df.data(), lisdf.data(),
           gradd.data(), gradob.data(), sdir.data(), &resultCode);
  }
};


TEST_F(GrgLineSearch, StepsGrowThreefoldUpToPointFourWithoutBasisFunctions) {
  SearchProblem problem(0, [](const double* x, double* f) { f[0] = -x[0]; });
  Search s(1, 0, 0);
  s.grad(1, 1) = -1.0;
  s.sdir = {1.0};
  s.start({-1.0}, problem);
  settings.print = 1;
  s.run();
  const std::vector<std::string> expected = {"  0.2000E-01", "  0.6000E-01", "  0.1800E+00", "  0.5400E+00",
                                             "  0.9400E+00", "  0.1340E+01", "  0.1740E+01", "  0.2140E+01"};
  EXPECT_EQ(stepLines(), expected);
  // Each step is preceded by a line holding one blank; nothing else is printed at level 1.
  ASSERT_EQ(lines().size(), 2 * expected.size());
  EXPECT_EQ(lines()[0], "  ");
  // The eighth trial takes the only independent variable past its bound: clipped, improving, the search ends.
  EXPECT_EQ(problem.calls, 8);
  EXPECT_EQ(s.dv[0], 1.0);
  EXPECT_EQ(s.df[0], -1.0);
  EXPECT_EQ(s.resultCode, -5);
  EXPECT_EQ(settings.dblPoolTop, 0);
  EXPECT_EQ(settings.intPoolTop, 0);
}

TEST_F(GrgLineSearch, AtMostFiftyTrials) {
  SearchProblem problem(0, [](const double* x, double* f) { f[0] = -x[0]; });
  Search s(1, 0, 0);
  s.grad(1, 1) = -1.0;
  s.sdir = {1.0};
  s.dvub = {1e6};
  s.dvlb = {-1e6};
  s.start({0.0}, problem);
  s.run();
  EXPECT_EQ(problem.calls, 50);
  double step = 0.02;
  for (int k = 2; k <= 50; ++k) step = std::min(3.0 * step, step + 0.4);
  EXPECT_NEAR(s.dv[0], step, 1e-9);
  EXPECT_EQ(s.resultCode, -5);
}

TEST_F(GrgLineSearch, WorseFirstTrialEndsWithTheMinimumStepResult) {
  // Uphill direction: the two-point parabola with the start slope has no positive vertex, the next step is 0.
  for (int iphase : {0, 1}) {
    SearchProblem problem(0, [](const double* x, double* f) { f[0] = x[0]; });
    Search s(1, 0, 0);
    s.iphase = iphase;
    s.grad(1, 1) = 1.0;
    s.sdir = {1.0};
    s.start({0.25}, problem);
    clearLines();
    settings.print = 1;
    s.run();
    EXPECT_EQ(problem.calls, 1);
    EXPECT_EQ(s.resultCode, iphase == 0 ? 2 : 4);
    EXPECT_EQ(s.dv[0], 0.25);
    EXPECT_EQ(s.df[0], 0.25);
    EXPECT_TRUE(printed(" FITTING PARABOLA WORSE"));
    EXPECT_EQ(stepLines().back(), "  0.0000E+00");
  }

  // A direction shorter than minStep: no evaluation at all.
  SearchProblem problem(0, [](const double* x, double* f) { f[0] = -x[0]; });
  Search s(1, 0, 0);
  s.sdir = {1.0};
  s.slen = 0.00009;
  s.start({0.0}, problem);
  s.run();
  EXPECT_EQ(problem.calls, 0);
  EXPECT_EQ(s.resultCode, 2);
}

TEST_F(GrgLineSearch, NewConstraintEndsTheSearchWhereItBinds) {
  SearchProblem problem(0, [](const double* x, double* f) {
    f[0] = -x[0] - 0.1 * x[1];
    f[1] = x[0] - 0.5;
  });
  Search s(2, 0, 1);
  s.grad(1, 1) = -1.0;
  s.grad(2, 1) = -0.1;
  s.grad(1, 2) = 1.0;
  s.sdir = {1.0, 0.0};
  s.start({0.0, 0.0}, problem);
  settings.print = 1;
  s.run();
  // Trials at 0.02, 0.06, 0.18, 0.54; the last crosses at 0.501 and is pulled back there.
  EXPECT_EQ(stepLines().size(), 4u);
  EXPECT_TRUE(printed(" NEW CONSTRAINT   2"));
  EXPECT_NEAR(s.dv[0], 0.5005, 0.0006);  // within rounding of 0.501 the restoration may still correct
  EXPECT_LE(s.df[1], settings.feasTol);
  EXPECT_EQ(s.resultCode, -5);
  EXPECT_EQ(settings.dblPoolTop, 0);
}

TEST_F(GrgLineSearch, EqualityStaysSatisfiedAlongTheSearch) {
  // Minimize -x1 - x2 on x2 = x1 (equality 2); the direction runs along the equality.
  SearchProblem problem(1, [](const double* x, double* f) {
    f[0] = -x[0] - x[1];
    f[1] = x[1] - x[0] + 0.1 * x[0] * x[0];
  });
  const double r2 = std::sqrt(0.5);
  Search s(2, 1, 0);
  s.grad(1, 1) = -1.0;
  s.grad(2, 1) = -1.0;
  s.grad(1, 2) = -1.0;
  s.grad(2, 2) = 1.0;
  s.sdir = {r2, r2};
  s.start({0.0, 0.0}, problem);
  settings.print = 2;
  s.run();
  EXPECT_EQ(settings.errorFlag, 0);
  EXPECT_LE(std::fabs(s.df[1]), settings.feasTol);
  EXPECT_LT(s.df[0], -1.0);
  for (double x : s.dv) {
    EXPECT_LE(x, 1.0);
    EXPECT_GE(x, -1.0);
  }
  EXPECT_TRUE(printed("MDDV"));
  EXPECT_TRUE(printed("BSTDV"));
  EXPECT_EQ(settings.dblPoolTop, 0);
  EXPECT_EQ(settings.intPoolTop, 0);
}

TEST_F(GrgLineSearch, TangentBindingInequalityIsTrackedAndKeptBinding) {
  // Minimize -x1 with x1 + x2 - 1 <= 0 binding at (0.5, 0.5); the direction runs along it.
  SearchProblem problem(0, [](const double* x, double* f) {
    f[0] = -x[0];
    f[1] = x[0] + x[1] - 1.0 + 0.2 * (x[0] - 0.5) * (x[0] - 0.5);
  });
  const double r2 = std::sqrt(0.5);
  Search s(2, 0, 1);
  s.nbin = 1;
  s.mbndin = {2};
  s.grad(1, 1) = -1.0;
  s.grad(1, 2) = 1.0;
  s.grad(2, 2) = 1.0;
  s.sdir = {r2, -r2};
  s.start({0.5, 0.5}, problem);
  s.run();
  EXPECT_EQ(settings.errorFlag, 0);
  EXPECT_EQ(s.reseth, kFalse);
  EXPECT_LE(std::fabs(s.df[1]), settings.feasTol);  // still binding
  EXPECT_LT(s.df[0], -0.6);
}

TEST_F(GrgLineSearch, FrontEndRestoresThePoolTopsAndReportsOverflow) {
  SearchProblem problem(0, [](const double* x, double* f) { f[0] = -x[0]; });
  Search s(1, 0, 0);
  s.sdir = {1.0};
  s.start({0.0}, problem);
  settings.dblPoolTop = 10;
  settings.intPoolTop = 20;
  settings.intPoolSize = 20 + 3 + 0 + 5 + 1;  // new integer top 20 + 3 NDV + NBIN + 5 + NDF + 1 = 30 is refused
  settings.print = 1;
  s.run();
  EXPECT_EQ(settings.errorFlag, -1);
  EXPECT_EQ(problem.calls, 0);
  EXPECT_EQ(settings.dblPoolTop, 10);
  EXPECT_EQ(settings.intPoolTop, 20);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " ERROR:  INTEGER STORAGE EXCEEDED        30");
}

}  // namespace
