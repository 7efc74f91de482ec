// Feasibility restoration of trial points: new-constraint events, bound events, the plain case, the refusals.
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

using GrgRestoration = KorvexTest;
using Ints = std::vector<int>;
using Doubles = std::vector<double>;

// Every argument of GRSSAT on top of the problem arrays. By default every variable is independent and the basis
// is empty; a test that wants a basis sets its lists.
struct Restoration : SearchArrays {
  int iphase = 0, itobj = 1, nddv = 0, nidv, ldj, njinv = 0, idvbnd = 0, ifail = kFalse, endstp = kFalse;
  std::vector<int> ltrak = Ints(ndf), mddv = Ints(ndv), midv = Ints(ndv), mjinv = Ints(ndv);
  std::vector<double> bstdv = Doubles(ndv), dvprv = Doubles(ndv), bstdf = Doubles(ndf);
  std::vector<double> xjinv = Doubles(ldj * ldj), xjac = Doubles(ldj * ldj);
  double stpbst = 0.0, stpprv = 0.0, stpbnd = 0.0, step = 0.0;

  Restoration(int n, int nEq, int nIn, int ld) : SearchArrays(n, nEq, nIn), nidv(n), ldj(ld) {
    for (int i = 0; i < n; ++i) midv[i] = i + 1;
  }
  // Base point x at step 0 along d; the trial at step s: independent variables moved, dependent ones predicted.
  void trial(const std::vector<double>& x, const std::vector<double>& d, double s, const SearchProblem& problem) {
    bstdv = dvprv = dv = x;
    sdir = d;
    problem.evaluate(bstdv.data(), bstdf.data());
    step = s;
    for (int k = 0; k < nidv; ++k) {
      const int i = midv[k] - 1;
      dv[i] = std::min(dvub[i], std::max(dvlb[i], bstdv[i] + sdir[i] * (step - stpbst)));
    }
    GRGDDV(&nddv, mddv.data(), dvub.data(), dvlb.data(), &step, sdir.data(), dv.data(), bstdv.data(), dvprv.data(),
           &stpbst, &stpprv, &idvbnd, &stpbnd);
    problem.evaluate(dv.data(), df.data());
  }
  // Variable 2 dependent for the equality 2 with XJAC = XJINV = 1; variable 1 independent.
  void equalityBasis() {
    nidv = nddv = njinv = 1;
    midv = {1, 0};
    mddv = {2, 0};
    mjinv = {2, 0};
    xjac[0] = xjinv[0] = 1.0;
  }
  void run() {
    GRSSAT(&iphase, &itobj, &ncand, mgrgin.data(), &nIneq, ineqList.data(), ltrak.data(), &nbeq, mbndeq.data(), &nddv,
           mddv.data(), &nidv, midv.data(), &ndv, dv.data(), dvub.data(), dvlb.data(), &ndf, df.data(), lisdf.data(),
           gradd.data(), bstdv.data(), dvprv.data(), bstdf.data(), &stpbst, &stpprv, sdir.data(), &ldj, &njinv,
           mjinv.data(), xjinv.data(), xjac.data(), &idvbnd, &stpbnd, &step, &ifail, &endstp);
  }
};

TEST_F(GrgRestoration, NewConstraintShortensTheStepToWhereItBinds) {
  // Inequalities 2 and 3 identical (x1^2 - 0.25 <= 0): the first in the list is taken. No basis function: the
  // bordered system has the step length as its only unknown.
  SearchProblem problem(2, 0, [](const double* x, double* f) { f[0] = -x[0], f[1] = f[2] = x[0] * x[0] - 0.25; });
  Restoration r(2, 0, 2, 3);
  r.trial({0.0, 0.0}, {1.0, 0.0}, 1.0, problem);
  settings.print = 1;
  r.run();
  // NJINV back to its entry value; the new function stays in MJINV. The independent variable follows the step.
  EXPECT_EQ(std::tuple(r.ifail, r.endstp, r.njinv, r.mjinv[0], r.dv[0]), std::tuple(kFalse, kTrue, 0, 2, r.step));
  EXPECT_LE(std::fabs(r.df[1]), settings.feasTol);
  EXPECT_NEAR(r.dv[0], 0.5, 0.01);
  EXPECT_EQ(lines(), (std::vector<std::string>{" NEW CONSTRAINT   2", " NR ITERATIONS=  4"}));
}

TEST_F(GrgRestoration, NewConstraintGoesBackByAtLeastTheMinimumAmountAndNeverBelowZero) {
  double slope = 1.0;
  SearchProblem problem(1, 0, [&slope](const double* x, double* f) { f[0] = -x[0], f[1] = slope * (x[0] - 0.5); });
  // Crossing at 0.501, only 0.0005 behind the trial: back by 0.001; that point satisfies the constraint.
  Restoration r(1, 0, 1, 2);
  r.trial({0.0}, {1.0}, 0.5015, problem);
  r.run();
  EXPECT_EQ(std::tuple(r.ifail, r.step, problem.calls()), std::tuple(kFalse, 0.5015 - 0.001, 1));
  // A trial below 0.001 goes back to 0, the base point itself.
  slope = 10.0;
  Restoration z(1, 0, 1, 2);
  z.trial({0.4999}, {1.0}, 0.0008, problem);
  z.run();
  EXPECT_EQ(std::tuple(z.ifail, z.step, z.dv[0]), std::tuple(kFalse, 0.0, 0.4999));
  // A trial at step 0 that still reports a violation (inconsistent data from a direct call) leaves no step
  // difference for the corner of the bordered inverse: refused.
  Restoration w(1, 0, 1, 2);
  w.stpbst = -1.0;
  w.bstdf = {0.0, -0.5};
  w.df = {0.0, 0.5};
  w.run();
  EXPECT_EQ(std::tuple(w.ifail, w.step), std::tuple(kTrue, 0.0));
}

TEST_F(GrgRestoration, TemporaryObjectiveCrossingIsInterpolatedToFeasTol) {
  // Phase 2: equality 2 (x1 - 0.5) is the temporary objective, positive at the base point, negative at the trial.
  // Binary fractions keep the arithmetic exact: feasTol 0.125 is reached at step 0.375 (zero at 0.5).
  SearchProblem problem(1, 1, [](const double* x, double* f) { f[0] = 0.0, f[1] = x[0] - 0.5; });
  settings.feasTol = 0.125;
  Restoration r(1, 1, 0, 2);
  r.iphase = r.itobj = 2;
  r.nbeq = 0;
  r.lisdf = {0, 1};
  r.trial({1.0}, {-1.0}, 0.75, problem);
  settings.print = 2;
  r.run();
  EXPECT_EQ(std::tuple(r.ifail, r.endstp, r.step, r.dv[0], r.df[1]), std::tuple(kFalse, kTrue, 0.375, 0.625, 0.125));
  // The secants from the trial point and from the base point both have the wrong sign for a corner; the second
  // one is used: the bordered inverse is 1 / (-1).
  EXPECT_EQ(std::tuple(r.mjinv[0], r.xjinv[0], problem.calls()), std::tuple(2, -1.0, 1));
  EXPECT_TRUE(printed(" NEW CONSTRAINT   2"));
  EXPECT_TRUE(printed(" ACORN NEGATIVE"));
}

TEST_F(GrgRestoration, DependentVariableAtItsBoundHandsItsColumnToTheStepLength) {
  // Equality 2: x2 - x1 = 0 with x2 dependent and bounded by 0.5; the direction runs along the equality.
  // Inequality 3, x1 - c <= 0, is out of the way with c = 5.
  double c = 5.0;
  SearchProblem problem(2, 1, [&c](const double* x, double* f) {
    f[0] = -x[0] - x[1];
    f[1] = x[1] - x[0];
    f[2] = x[0] - c;
  });
  const double r2 = std::sqrt(0.5);
  Restoration base(2, 1, 1, 3);
  base.equalityBasis();
  base.dvub = {1.0, 0.5};
  Restoration r = base, tie = base;
  r.trial({0.0, 0.0}, {r2, r2}, 1.0, problem);
  ASSERT_EQ(r.idvbnd, 2);
  Restoration same = r;
  settings.print = 2;
  r.run();
  EXPECT_EQ(std::tuple(r.ifail, r.endstp, r.dv[1], problem.calls()), std::tuple(kFalse, kTrue, 0.5, 1));
  EXPECT_NEAR(r.step, 0.5 / r2, 1e-12);
  EXPECT_NEAR(r.dv[0], 0.5, 1e-12);
  // The column is now the derivative of the equality along the step, -SDIR(1), and its inverse consistent.
  EXPECT_NEAR(r.xjac[0], -r2, 1e-9);
  EXPECT_TRUE(printed(" XJAC AFTER BND UPDATE") && printed(" XJINV AFTER BND UPDATE"));
  EXPECT_NEAR(r.xjinv[0] * r.xjac[0], 1.0, 1e-12);

  // The bound step equal to the current step: nothing to difference with.
  same.step = same.stpbnd;
  clearLines();
  settings.print = 1;
  same.run();
  EXPECT_EQ(same.ifail, kTrue);
  EXPECT_EQ(lines(), (std::vector<std::string>{" STPDEL ERROR IN GRGSAT, BND"}));

  // Along SDIR (1, 1) the inequality with c = 0.25 reaches feasTol = 0.25 at step 0.5, exactly where x2 reaches
  // its bound: a bound event, not a new constraint.
  c = 0.25;
  settings.feasTol = 0.25;
  tie.trial({0.0, 0.0}, {1.0, 1.0}, 1.0, problem);
  ASSERT_EQ(tie.stpbnd, 0.5);
  tie.run();
  EXPECT_EQ(std::tuple(tie.ifail, tie.endstp, tie.step, tie.idvbnd, tie.njinv),
            std::tuple(kFalse, kTrue, 0.5, 2, 1));
  EXPECT_EQ(tie.dv, (Doubles{0.5, 0.5}));
  EXPECT_FALSE(printed("NEW CONSTRAINT"));
}

TEST_F(GrgRestoration, NewConstraintOnAFullBasisOrWithoutAGradientColumnIsRefused) {
  // One variable, dependent for the equality: the basis already holds NDV functions, no row is left.
  SearchProblem problem(1, 1, [](const double* x, double* f) { f[0] = -x[0], f[1] = 0.0, f[2] = x[0] - 0.2; });
  Restoration r(1, 1, 1, 3);
  r.nidv = 0;
  r.nddv = r.njinv = 1;
  r.mddv = {1};
  r.mjinv = {2};
  r.trial({0.0}, {1.0}, 0.5, problem);
  settings.print = 1;
  r.run();
  EXPECT_EQ(std::tuple(r.ifail, r.njinv, r.mjinv), std::tuple(kTrue, 1, Ints{2}));
  EXPECT_EQ(lines().back(), " SINGULAR JACOBIAN DURING AUGMENT");

  Restoration c(1, 1, 1, 3);
  c.lisdf = {1, 2, 0};
  c.trial({0.0}, {1.0}, 0.5, problem);
  c.run();
  EXPECT_EQ(c.ifail, kTrue);
}

TEST_F(GrgRestoration, NothingToDoEvaluatesNothingAndTheFrontEndGivesThePoolBack) {
  SearchProblem problem(1, 0, [](const double* x, double* f) { f[0] = -x[0], f[1] = x[0] - 0.5; });
  Restoration r(1, 0, 1, 1);
  r.trial({0.0}, {1.0}, 0.3, problem);
  settings.dblPoolTop = 100;
  settings.intPoolTop = 7;
  settings.dblPoolSize = 104;  // new top 100 + 2 NDV + NDF + 1 = 105 is refused
  settings.print = 1;
  r.step = 0.77;
  r.run();
  EXPECT_EQ(std::tuple(settings.errorFlag, r.step), std::tuple(-1, 0.77));  // nothing written back
  EXPECT_EQ(lines(), (std::vector<std::string>{" ERROR:  DOUBLE PRECISION STORAGE EXCEEDED       105"}));
  settings.errorFlag = 0;
  settings.dblPoolSize = 105;  // equal to the capacity is accepted
  r.step = 0.3;
  r.run();
  EXPECT_EQ(std::tuple(settings.errorFlag, r.ifail, r.endstp, r.step), std::tuple(0, kFalse, kFalse, 0.3));
  EXPECT_EQ(std::tuple(settings.dblPoolTop, settings.intPoolTop), std::tuple(100, 7));
  r.iphase = 1;  // in the feasibility phase the same trial ends the search
  r.run();
  EXPECT_EQ(std::tuple(r.endstp, problem.calls()), std::tuple(kTrue, 0));
}

TEST_F(GrgRestoration, DependentVariablesFollowTangentOrSecantAndReportTheFirstBound) {
  const double dvub[3] = {1.0, 1.0, 1.0}, dvlb[3] = {-1.0, -1.0, -1.0}, sdir[3] = {0.5, -0.5, 0.7071};
  const double bstdv[3] = {0.8, -0.8, 0.0}, dvprv[3] = {0.6, -0.7, 0.0}, stpbst = 0.2;
  const int nddv = 2, mddv[2] = {2, 1}, none = 0;
  double dv[3] = {9.0, 9.0, 9.0}, step = 0.6, stpprv = 0.2, stpbnd = 0.0;
  int idvbnd = -1;
  auto predict = [&](const int* count) {
    GRGDDV(count, mddv, dvub, dvlb, &step, sdir, dv, bstdv, dvprv, &stpbst, &stpprv, &idvbnd, &stpbnd);
  };
  // Tangent (STPBST = STPPRV): variables 1 and 2 both reach their bounds at 0.6; the first in MDDV is reported.
  predict(&nddv);
  EXPECT_EQ(std::tuple(Doubles(dv, dv + 3), idvbnd), std::tuple(Doubles{1.0, -1.0, 9.0}, 2));
  EXPECT_NEAR(stpbnd, 0.6, 1e-12);
  // Secant from DVPRV at 0.1: variable 1 slope 2 (bound at 0.3), variable 2 slope -1 (bound at 0.4).
  stpprv = 0.1;
  step = 0.25;
  predict(&nddv);
  EXPECT_NEAR(dv[0], 0.9, 1e-12);
  EXPECT_NEAR(dv[1], -0.85, 1e-12);
  EXPECT_EQ(std::tuple(idvbnd, stpbnd), std::tuple(0, settings.bigValue));
  step = 0.3 - 1e-8;  // within tinyTol of the bound counts as on it
  predict(&nddv);
  EXPECT_EQ(std::tuple(dv[0], idvbnd), std::tuple(1.0, 1));
  EXPECT_NEAR(stpbnd, 0.3, 1e-12);
  // No dependent variable: nothing moves.
  dv[0] = 0.1;
  predict(&none);
  EXPECT_EQ(std::tuple(idvbnd, dv[0]), std::tuple(0, 0.1));
}

}  // namespace
}  // namespace korvex::testing
