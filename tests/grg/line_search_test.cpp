// Whole GRG line searches on small problems with real analysis callbacks.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/logical.h"
#include "entry/settings.h"
#include "grg/line_search_problem.h"
#include "korvex/routines/grg_search.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

// Every argument of GRSSTE on top of the problem arrays; the search starts at x along the unit direction d.
struct Search : SearchArrays {
  int iphase = 0, reseth = kFalse, nbin = 0, itobj = 1, resultCode = -5;
  double slen = 1.0;
  std::vector<int> mbndin{0};
  std::vector<double> gradob;
  Search(int n, int nEq, int nIn) : SearchArrays(n, nEq, nIn) {}
  void run(const std::vector<double>& x, const std::vector<double>& d, const SearchProblem& problem) {
    dv = x;
    sdir = d;
    problem.evaluate(dv.data(), df.data());
    gradob.assign(gradd.begin(), gradd.begin() + ndv);
    GRSSTE(&iphase, &reseth, &slen, &nIneq, ineqList.data(), &ncand, mgrgin.data(), &nbeq, mbndeq.data(), &nbin,
           mbndin.data(), &itobj, &ndv, dv.data(), dvub.data(), dvlb.data(), &ndf, df.data(), lisdf.data(),
           gradd.data(), gradob.data(), sdir.data(), &resultCode);
  }
};

class GrgLineSearch : public KorvexTest {
 protected:
  void SetUp() override {
    KorvexTest::SetUp();
    settings.nNRIter = 0;  // the defaults leave the latest restoration's count alone
  }
  // The printed "STEP LENGTH" values, in order.
  std::vector<std::string> steps() const {
    std::vector<std::string> values;
    for (const auto& line : lines()) {
      if (line.rfind(" STEP LENGTH ", 0) == 0) values.push_back(line.substr(13));
    }
    return values;
  }
};

TEST_F(GrgLineSearch, StepsGrowWithoutBasisFunctionsUntilClippedOrFiftyTrials) {
  SearchProblem problem(0, [](const double* x, double* f) { f[0] = -x[0]; });
  Search s(1, 0, 0);
  s.grad(1, 1) = -1.0;
  settings.print = 1;
  s.run({-1.0}, {1.0}, problem);
  // Each trial is a line holding one blank and its step; nothing else is printed at level 1. The eighth trial
  // takes the only independent variable past its bound: clipped, improving, the search ends there.
  EXPECT_EQ(steps(), (std::vector<std::string>{"  0.2000E-01", "  0.6000E-01", "  0.1800E+00", "  0.5400E+00",
                                               "  0.9400E+00", "  0.1340E+01", "  0.1740E+01", "  0.2140E+01"}));
  EXPECT_EQ(lines().size(), 16u);
  EXPECT_EQ(lines()[0], "  ");
  EXPECT_EQ(problem.calls, 8);
  EXPECT_EQ(s.dv[0], 1.0);
  EXPECT_EQ(s.df[0], -1.0);
  EXPECT_EQ(s.resultCode, -5);

  // Far bounds: the search ends after its fiftieth trial, at that trial's point.
  Search far(1, 0, 0);
  far.grad(1, 1) = -1.0;
  far.dvub = {1e6};
  far.dvlb = {-1e6};
  far.run({0.0}, {1.0}, problem);
  EXPECT_EQ(problem.calls, 8 + 50);
  double step = 0.02;
  for (int k = 2; k <= 50; ++k) step = std::min(3.0 * step, step + 0.4);
  EXPECT_NEAR(far.dv[0], step, 1e-9);
  EXPECT_EQ(settings.dblPoolTop, 0);
  EXPECT_EQ(settings.intPoolTop, 0);
}

// Uphill: the first trial is worse, the two-point parabola with the start slope gives step 0. At level 2 the
// search prints its basis, each trial and its end point; at level 1 only the trials and the parabola notice.
TEST_F(GrgLineSearch, NoStepOfMinimumLengthGivesTwoOrFourAtTheStartPoint) {
  SearchProblem problem(0, [](const double* x, double* f) { f[0] = x[0]; });
  for (int iphase : {0, 1}) {
    Search s(1, 0, 0);
    s.iphase = iphase;
    s.grad(1, 1) = 1.0;
    clearLines();
    settings.print = 2 - iphase;
    s.run({0.25}, {1.0}, problem);
    EXPECT_EQ(s.resultCode, iphase == 0 ? 2 : 4);
    EXPECT_EQ(s.dv[0], 0.25);
    EXPECT_EQ(s.df[0], 0.25);
    const std::string trials = "  \n STEP LENGTH   0.2000E-01\n";
    const std::string level1 = trials + " FITTING PARABOLA WORSE\n  \n STEP LENGTH   0.0000E+00\n";
    const std::string level2 = " MTRAK\n\n LTRAK\n         0\n MIDV\n         1\n MDDV\n\n XJINV\n XJAC\n" + trials +
                               " DV AFTER STEP\n  2.70000E-01\n DF AFTER STEP\n  2.70000E-01\n"
                               " FITTING PARABOLA WORSE\n C = 0 IN GRGPR2\n  \n STEP LENGTH   0.0000E+00\n"
                               " TERMINATE: MINIMUM STEPLENGTH\n BSTDV\n  2.50000E-01\n BSTDF\n  2.50000E-01\n";
    EXPECT_EQ(transcript(), iphase == 0 ? level2 : level1);
  }
  EXPECT_EQ(problem.calls, 2);
  // A direction shorter than minStep: no evaluation at all.
  Search s(1, 0, 0);
  s.slen = 0.00009;
  s.run({0.0}, {1.0}, problem);
  EXPECT_EQ(problem.calls, 2);
  EXPECT_EQ(s.resultCode, 2);
}

TEST_F(GrgLineSearch, FrontEndRestoresThePoolTopsAndReportsOverflow) {
  SearchProblem problem(0, [](const double* x, double* f) { f[0] = -x[0]; });
  Search s(1, 0, 0);
  settings.dblPoolTop = 10;
  settings.intPoolTop = 20;
  settings.intPoolSize = 29;  // new integer top 20 + 3 NDV + NBIN + 5 + NDF + 1 = 30 is refused
  settings.print = 1;
  s.run({0.0}, {1.0}, problem);
  EXPECT_EQ(settings.errorFlag, -1);
  EXPECT_EQ(problem.calls, 0);
  EXPECT_EQ(settings.dblPoolTop, 10);
  EXPECT_EQ(settings.intPoolTop, 20);
  EXPECT_EQ(lines(), (std::vector<std::string>{" ERROR:  INTEGER STORAGE EXCEEDED        30"}));
}

}  // namespace
}  // namespace korvex::testing
