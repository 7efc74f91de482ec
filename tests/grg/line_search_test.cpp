// The GRG line search: its small rules (bracketing, parabolas, step growth, tracking) and whole searches on small
// problems with real analysis callbacks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "common/logical.h"
#include "entry/settings.h"
#include "grg/grg_problems.h"
#include "korvex/routines/grg_search.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

class GrgLineSearch : public KorvexTest {
 protected:
  void SetUp() override {
    KorvexTest::SetUp();
    settings.nNRIter = 0;  // the defaults leave the latest restoration's count alone
  }
};

using Pairs = Doubles;

// Three bracketed pairs with the smallest objective last; a new pair below all three loses the bracket: an error on
// the standard output, at print 0, and the three pairs stay as they are.
TEST_F(GrgLineSearch, ALostBracketIsReportedOnStandardOutput) {
  Pairs stppt{0.0, 0.1, 0.2, 0.0}, objpt{3.0, 2.0, 1.0, 0.0};
  const int brackt = kTrue, k = 7;
  const double obj = 0.5, step = 0.3;
  ::testing::internal::CaptureStdout();
  GRGS34(&brackt, &k, &obj, &step, objpt.data(), stppt.data());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), " ERROR IN BRACKET, GRGS34\n");
  EXPECT_EQ(Pairs(stppt.begin(), stppt.begin() + 3), (Pairs{0.0, 0.1, 0.2}));
  EXPECT_TRUE(lines().empty());
}

// Parabolas that give no step: through two points with the start slope, a positive slope puts the vertex below 0
// (step 0, no message); one opening downward, or two pairs at the same step (a trial shortened back to the start),
// gives step 0 and a message at level 2, without dividing. Three collinear points: IFAIL, the step unchanged and a
// message at level 1.
TEST_F(GrgLineSearch, ParabolasWithoutAUsableVertex) {
  const int n = 2;
  const double r2 = std::sqrt(0.5);
  const double down[2] = {-2.0 * r2, -2.0 * r2}, up[2] = {2.0 * r2, 2.0 * r2}, sdir[2] = {r2, r2};
  double stppt[4] = {0.0, 0.5}, objpt[4] = {1.0, 1.0};
  double step = 1.0;
  settings.print = 2;
  struct Case {
    double stppt1, objpt1;
    const double* slope;
    bool flat;  // " C = 0 IN GRGPR2"
  };
  for (const Case& c : {Case{0.5, 3.0, up, false}, {0.5, -1.0, down, true}, {0.0, -1.0, down, true}}) {
    stppt[1] = c.stppt1;
    objpt[1] = c.objpt1;
    step = 1.0;
    clearLines();
    GRGPR2(stppt, objpt, &n, c.slope, sdir, &step);
    EXPECT_EQ(std::tuple(step, lines()), std::tuple(0.0, c.flat ? Lines{" C = 0 IN GRGPR2"} : Lines{}));
  }

  const double t3[4] = {0.0, 0.2, 0.5}, line[4] = {1.0, 0.8, 0.5};
  int ifail = kFalse;
  clearLines();
  settings.print = 1;
  step = 0.7;
  GRGPR3(t3, line, &step, &ifail);
  EXPECT_EQ(std::tuple(ifail, step, lines()), std::tuple(kTrue, 0.7, Lines{" ERROR IN GRGPR3, ZERO DENOM"}));
}

// Arguments of GRGSTP for two variables and three functions (inequality 3 a candidate when NCAND = 1).
struct Growth {
  int iphase = 0, itobj = 1, slownr = kFalse, ntrak = 0, nbeq = 0, ltrak[3] = {0, 0, 0}, ncand = 0, mgrgin[1] = {3};
  int nddv = 0, mddv[1] = {2};
  double bstdv[2] = {0.0, 0.0}, dvprv[2] = {0.0, 0.0}, bstdf[3] = {}, dfprv[3] = {};
  double stpbst = 0.0, stpprv = 0.0, dvlb[2] = {-1.0, -1.0}, dvub[2] = {1.0, 1.0}, sdir[2] = {1.0, 0.0};
  double next(double step) {
    GRGSTP(&iphase, &itobj, &slownr, &ntrak, &nbeq, ltrak, &ncand, mgrgin, &nddv, mddv, bstdv, dvprv, bstdf, dfprv,
           &stpbst, &stpprv, dvlb, dvub, sdir, &step);
    return step;
  }
};

// Growth stops short of where a temporary objective or a dependent variable gets.
TEST_F(GrgLineSearch, StepGrowthAndItsLimits) {
  // Equality 2 as temporary objective: 0.4 at 0.1, 0.2 at 0.2, zero at 0.3: min(1.1 * 0.3, 0.35).
  Growth e{.iphase = 2, .itobj = 2, .bstdf = {0, 0.2, 0}, .dfprv = {0, 0.4, 0}, .stpbst = 0.2, .stpprv = 0.1};
  EXPECT_NEAR(e.next(0.2), 0.33, 1e-12);

  // Dependent variable 2 at 0.5 along the tangent (SDIR 0.5) meets its bound at 0.2 + 1.0: min(1.02 * 1.2, 1.21).
  Growth d{.ntrak = 1, .nddv = 1, .bstdv = {0, 0.5}, .stpbst = 0.2, .stpprv = 0.2, .sdir = {1.0, 0.5}};
  EXPECT_NEAR(d.next(1.0), 1.21, 1e-12);
  // Secant from -0.2 at 0.1 to 0.0 at 0.2, slope 2, reaches 1 at 0.7: min(1.02 * 0.7, 0.71).
  d.stpprv = 0.1;
  d.dvprv[1] = -0.2;
  d.bstdv[1] = 0.0;
  EXPECT_NEAR(d.next(1.0), 0.71, 1e-12);
}

TEST_F(GrgLineSearch, TrackingKeepsTangentAndOutwardBindingInequalities) {
  // Three variables; binding inequalities 2, 3, 4 in columns 2, 3, 4 of GRADD.
  const int ndf = 4, nbin = 3, ndv = 3, mbndin[3] = {2, 3, 4}, lisdf[4] = {1, 2, 3, 4};
  const double sdir[3] = {1.0, 0.0, 0.0};
  const double gradd[12] = {0,    0,   0,     // objective
                            -2.0, 0.0, 0.0,   // enters the feasible side: left free
                            0.0,  3.0, 0.0,   // tangent: tracked
                            1.0,  1.0, 0.0};  // leaves at 45 degrees: tracked, RESETH
  int reseth = kFalse, ntrak = -1, mtrak[8] = {}, ltrak[4] = {9, 9, 9, 9};
  settings.print = 2;
  GRGTRK(&reseth, &ndf, &nbin, mbndin, &ndv, sdir, lisdf, gradd, &ntrak, mtrak, ltrak);
  EXPECT_EQ(std::tuple(ntrak, reseth, Ints(mtrak, mtrak + 2), Ints(ltrak, ltrak + 4)),
            std::tuple(2, kTrue, Ints{3, 4}, Ints{0, 0, 1, 1}));
  EXPECT_EQ(lines(), (Lines{" SEARCH DIRECTION OUTSIDE TANGENT ", " BINDING DF#    4  DOTP=   0.70711E+00 "}));
  const int zero = 0;
  EXPECT_EQ(std::tuple(GRGNRM(&ndv, &gradd[9]), GRGNRM(&zero, gradd)), std::tuple(std::sqrt(2.0), 0.0));
}

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

TEST_F(GrgLineSearch, StepsGrowWithoutBasisFunctionsUntilClippedOrFiftyTrials) {
  SearchProblem problem(1, 0, [](const double* x, double* f) { f[0] = -x[0]; });
  Search s(1, 0, 0);
  s.grad(1, 1) = -1.0;
  settings.print = 1;
  s.run({-1.0}, {1.0}, problem);
  // Each trial is a line holding one blank and its step (0.02, 0.06, 0.18, 0.54, 0.94, ... 2.14); nothing else is
  // printed at level 1. The eighth trial takes the only independent variable past its bound: clipped, improving,
  // the search ends there.
  EXPECT_EQ(std::tuple(lines().size(), lines()[1], lines()[15], transcriptHash()),
            std::tuple(16u, " STEP LENGTH   0.2000E-01", " STEP LENGTH   0.2140E+01", 0x6d4a7c05d99dad48u));
  EXPECT_EQ(std::tuple(problem.calls(), s.dv[0], s.df[0], s.resultCode), std::tuple(8, 1.0, -1.0, -5));

  // Far bounds: the search ends after its fiftieth trial, at that trial's point.
  Search far(1, 0, 0);
  far.grad(1, 1) = -1.0;
  far.dvub = {1e6};
  far.dvlb = {-1e6};
  far.run({0.0}, {1.0}, problem);
  EXPECT_EQ(problem.calls(), 8 + 50);
  double step = 0.02;
  for (int k = 2; k <= 50; ++k) step = std::min(3.0 * step, step + 0.4);
  EXPECT_NEAR(far.dv[0], step, 1e-9);
  EXPECT_EQ(std::tuple(workPool.dblPoolTop, workPool.intPoolTop), std::tuple(0, 0));
}

// Uphill: the first trial is worse, the two-point parabola with the start slope gives step 0. At level 2 the
// search prints its basis, each trial and its end point; at level 1 only the trials and the parabola notice.
TEST_F(GrgLineSearch, NoStepOfMinimumLengthGivesTwoOrFourAtTheStartPoint) {
  SearchProblem problem(1, 0, [](const double* x, double* f) { f[0] = x[0]; });
  for (int iphase : {0, 1}) {
    Search s(1, 0, 0);
    s.iphase = iphase;
    s.grad(1, 1) = 1.0;
    settings.print = 2 - iphase;
    clearLines();
    s.run({0.25}, {1.0}, problem);
    EXPECT_EQ(std::tuple(s.resultCode, s.dv[0], s.df[0]), std::tuple(iphase == 0 ? 2 : 4, 0.25, 0.25));
    // Level 2: 25 lines from " MTRAK" to the end point's " BSTDF  2.50000E-01", with " TERMINATE: MINIMUM
    // STEPLENGTH"; level 1: the trial, " FITTING PARABOLA WORSE" and the trial at step 0.
    using Printout = std::tuple<size_t, std::string, std::uint64_t>;
    EXPECT_EQ(Printout(lines().size(), lines().back(), transcriptHash()),
              iphase == 0 ? Printout(25u, "  2.50000E-01", 0x3aca04cd3f57a859u)
                          : Printout(5u, " STEP LENGTH   0.0000E+00", 0x5499490f515604e3u))
        << transcript();
  }
  EXPECT_EQ(problem.calls(), 2);
  // A direction shorter than minStep: no evaluation at all.
  Search s(1, 0, 0);
  s.slen = 0.00009;
  s.run({0.0}, {1.0}, problem);
  EXPECT_EQ(std::tuple(problem.calls(), s.resultCode), std::tuple(2, 2));
}

TEST_F(GrgLineSearch, FrontEndRestoresThePoolTopsAndReportsOverflow) {
  SearchProblem problem(1, 0, [](const double* x, double* f) { f[0] = -x[0]; });
  Search s(1, 0, 0);
  setPool(10, 20, -1, 29);  // new integer top 20 + 3 NDV + NBIN + 5 + NDF + 1 = 30 is refused
  settings.print = 1;
  s.run({0.0}, {1.0}, problem);
  EXPECT_EQ(std::tuple(settings.errorFlag, problem.calls(), workPool.dblPoolTop, workPool.intPoolTop),
            std::tuple(-1, 0, 10, 20));
  EXPECT_EQ(lines(), (Lines{" ERROR:  INTEGER STORAGE EXCEEDED        30"}));
}

}  // namespace
}  // namespace korvex::testing
