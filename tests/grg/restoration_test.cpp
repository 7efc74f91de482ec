// Feasibility restoration of trial points: new-constraint events, bound events, the plain case, the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "entry/settings.h"
#include "grg/line_search_problem.h"
#include "korvex/routines/entry.h"
#include "korvex/routines/grg_search.h"
#include "support/korvex_test.h"

namespace {

using korvex::settings;
using korvex::testing::SearchProblem;

constexpr int kTrue = -1;
constexpr int kFalse = 0;

class GrgRestoration : public korvex::testing::KorvexTest {};

// Every argument of GRGSAT, sized exactly (so that AddressSanitizer sees any access beyond them).
struct Restoration {
  int iphase = 0, itobj = 1;
  int ndv, ndf, nIneq, nbeq = 0, ncand = 0;
  std::vector<int> ineqList, mgrgin, mbndeq, ltrak, lisdf;
  int nddv = 0, nidv = 0;
  std::vector<int> mddv, midv;
  std::vector<double> dv, dvub, dvlb, df, gradd, bstdv, dvprv, bstdf, sdir;
  double stpbst = 0.0, stpprv = 0.0;
  int ldj = 1, njinv = 0;
  std::vector<int> mjinv;
  std::vector<double> xjinv, xjac;
  int idvbnd = 0;
  double stpbnd;
  double step = 0.0;
  int ifail = kFalse, endstp = kFalse;

  Restoration(int n, int nf, int nEqualities, int ld) : ndv(n), ndf(nf), nIneq(nf - 1 - nEqualities), ldj(ld) {
    for (int f = nEqualities + 2; f <= nf; ++f) ineqList.push_back(f);
    ltrak.assign(nf, 0);
    lisdf.assign(nf, 0);
    mddv.assign(n, 0);
    midv.assign(n, 0);
    dv.assign(n, 0.0);
    dvub.assign(n, 1.0);
    dvlb.assign(n, -1.0);
    df.assign(nf, 0.0);
    gradd.assign(static_cast<size_t>(n) * nf, 0.0);
    bstdv.assign(n, 0.0);
    dvprv.assign(n, 0.0);
    bstdf.assign(nf, 0.0);
    sdir.assign(n, 0.0);
    mjinv.assign(n, 0);
    xjinv.assign(static_cast<size_t>(ld) * ld, 0.0);
    xjac.assign(static_cast<size_t>(ld) * ld, 0.0);
    stpbnd = settings.bigValue;
  }
  // The trial point at `step`: independent variables along SDIR from BSTDV, dependent ones predicted, evaluated.
  void trialAt(double s, const SearchProblem& problem) {
    step = s;
    for (int k = 0; k < nidv; ++k) {
      const int i = midv[k] - 1;
      dv[i] = std::min(dvub[i], std::max(dvlb[i], bstdv[i] + sdir[i] * (step - stpbst)));
    }
    GRGDDV(&nddv, mddv.data(), dvub.data(), dvlb.data(), &step, sdir.data(), dv.data(), bstdv.data(), dvprv.data(),
           &stpbst, &stpprv, &idvbnd, &stpbnd);
    problem.evaluate(dv.data(), df.data());
  }
  void baseAt(const std::vector<double>& x, const SearchProblem& problem) {
    bstdv = x;
    dvprv = x;
    problem.evaluate(bstdv.data(), bstdf.data());
  }
  void run() {
    GRSSAT(&iphase, &itobj, &ncand, mgrgin.data(), &nIneq, ineqList.data(), ltrak.data(), &nbeq, mbndeq.data(), &nddv,
           mddv.data(), &nidv, midv.data(), &ndv, dv.data(), dvub.data(), dvlb.data(), &ndf, df.data(),
           lisdf.data(), gradd.data(), bstdv.data(), dvprv.data(), bstdf.data(), &stpbst, &stpprv, sdir.data(),
           &ldj, &njinv, mjinv.data(), xjinv.data(), xjac.data(), &idvbnd, &stpbnd, &step, &ifail, &endstp);
  }
};

TEST_F(GrgRestoration, NothingToDoEvaluatesNothing) {
  SearchProblem problem(0, [](const double* x, double* f) {
    f[0] = -x[0];
    f[1] = x[0] - 0.5;
  });
  Restoration r(1, 2, 0, 1);
  r.nidv = 1;
  r.midv = {1};
  r.sdir = {1.0};
  r.baseAt({0.0}, problem);
  r.trialAt(0.3, problem);
  r.run();
  EXPECT_EQ(problem.calls, 0);
  EXPECT_EQ(r.ifail, kFalse);
  EXPECT_EQ(r.endstp, kFalse);
  EXPECT_EQ(r.step, 0.3);
  EXPECT_EQ(settings.dblPoolTop, 0);
}

TEST_F(GrgRestoration, NewConstraintShortensTheStepToWhereItBinds) {
  // Inequalities 2 and 3 identical (x1^2 - 0.25 <= 0); the first in the list is taken. No basis function: the
  // bordered system has the step length as its only unknown.
  SearchProblem problem(0, [](const double* x, double* f) {
    f[0] = -x[0];
    f[1] = x[0] * x[0] - 0.25;
    f[2] = x[0] * x[0] - 0.25;
  });
  Restoration r(2, 3, 0, 3);
  r.nidv = 2;
  r.midv = {1, 2};
  r.sdir = {1.0, 0.0};
  r.lisdf = {1, 2, 3};
  r.baseAt({0.0, 0.0}, problem);
  r.trialAt(1.0, problem);
  settings.print = 1;
  r.run();
  EXPECT_EQ(settings.errorFlag, 0);
  EXPECT_EQ(r.ifail, kFalse);
  EXPECT_EQ(r.endstp, kTrue);
  EXPECT_LE(std::fabs(r.df[1]), settings.feasTol);
  EXPECT_NEAR(r.dv[0], 0.5, 0.01);
  EXPECT_EQ(r.dv[0], r.step);  // the independent variable follows the step exactly
  EXPECT_EQ(r.njinv, 0);       // back to its entry value; the extra function stays in MJINV
  EXPECT_EQ(r.mjinv[0], 2);
  EXPECT_TRUE(printed(" NEW CONSTRAINT   2"));
  EXPECT_FALSE(printed("NEW CONSTRAINT   3"));
  EXPECT_EQ(settings.dblPoolTop, 0);
  EXPECT_EQ(settings.intPoolTop, 0);
}

TEST_F(GrgRestoration, NewConstraintCloseToTheStepGoesBackByTheMinimumAmount) {
  SearchProblem problem(0, [](const double* x, double* f) {
    f[0] = -x[0];
    f[1] = x[0] - 0.5;
  });
  Restoration r(1, 2, 0, 2);
  r.nidv = 1;
  r.midv = {1};
  r.sdir = {1.0};
  r.lisdf = {1, 2};
  r.baseAt({0.0}, problem);
  r.trialAt(0.5015, problem);  // crossing at 0.501, only 0.0005 behind
  r.run();
  EXPECT_EQ(r.ifail, kFalse);
  EXPECT_EQ(r.step, 0.5015 - 0.001);
  EXPECT_EQ(problem.calls, 1);  // the point at the shortened step already satisfies the constraint

  // A trial below 0.001 goes back to 0, the base point itself.
  SearchProblem steep(0, [](const double* x, double* f) {
    f[0] = -x[0];
    f[1] = 10.0 * (x[0] - 0.5);
  });
  Restoration z(1, 2, 0, 2);
  z.nidv = 1;
  z.midv = {1};
  z.sdir = {1.0};
  z.lisdf = {1, 2};
  z.baseAt({0.4999}, steep);
  z.trialAt(0.0008, steep);
  z.run();
  EXPECT_EQ(z.ifail, kFalse);
  EXPECT_EQ(z.step, 0.0);
  EXPECT_EQ(z.dv[0], 0.4999);

  // A trial at step 0 that still reports a violation (inconsistent data from a direct call) has no step-length
  // difference for the corner of the bordered inverse: refused.
  Restoration w(1, 2, 0, 2);
  w.nidv = 1;
  w.midv = {1};
  w.sdir = {1.0};
  w.lisdf = {1, 2};
  w.stpbst = -1.0;
  w.bstdf = {0.0, -0.5};
  w.df = {0.0, 0.5};
  w.step = 0.0;
  w.run();
  EXPECT_EQ(w.ifail, kTrue);
  EXPECT_EQ(w.step, 0.0);
}

TEST_F(GrgRestoration, TemporaryObjectiveCrossingIsInterpolatedToFeasTol) {
  // Phase 2: equality 2 (x1 - 0.5) is the temporary objective, positive at the base point and negative at the
  // trial. Binary fractions keep the arithmetic exact: feasTol 0.125 is reached at step 0.375 (zero at 0.5).
  SearchProblem problem(1, [](const double* x, double* f) {
    f[0] = 0.0;
    f[1] = x[0] - 0.5;
  });
  settings.feasTol = 0.125;
  Restoration r(1, 2, 1, 2);
  r.iphase = 2;
  r.itobj = 2;
  r.nidv = 1;
  r.midv = {1};
  r.sdir = {-1.0};
  r.lisdf = {0, 1};
  r.baseAt({1.0}, problem);
  r.trialAt(0.75, problem);
  settings.print = 2;
  r.run();
  EXPECT_EQ(r.ifail, kFalse);
  EXPECT_EQ(r.step, 0.375);
  EXPECT_EQ(r.dv[0], 0.625);
  EXPECT_EQ(r.df[1], 0.125);
  EXPECT_EQ(r.endstp, kTrue);
  EXPECT_EQ(r.mjinv[0], 2);
  // The secant from the trial point has the wrong sign for a corner; so has the one from the base point, which
  // replaces it: the bordered inverse is 1 / (-1).
  EXPECT_TRUE(printed(" NEW CONSTRAINT   2"));
  EXPECT_TRUE(printed(" ACORN NEGATIVE"));
  EXPECT_EQ(r.xjinv[0], -1.0);
  EXPECT_EQ(problem.calls, 1);
}

TEST_F(GrgRestoration, DependentVariableAtItsBoundHandsItsColumnToTheStepLength) {
  // Equality 2: x2 - x1 = 0, x2 dependent, upper bound of x2 at 0.5; the direction runs along the equality.
  SearchProblem problem(1, [](const double* x, double* f) {
    f[0] = -x[0] - x[1];
    f[1] = x[1] - x[0];
  });
  const double r2 = std::sqrt(0.5);
  Restoration r(2, 2, 1, 2);
  r.nbeq = 1;
  r.mbndeq = {2};
  r.nidv = 1;
  r.midv = {1, 0};
  r.nddv = 1;
  r.mddv = {2, 1};
  r.njinv = 1;
  r.mjinv = {2, 0};
  r.xjac[0] = 1.0;
  r.xjinv[0] = 1.0;
  r.lisdf = {1, 2};
  r.dvub = {1.0, 0.5};
  r.sdir = {r2, r2};
  r.baseAt({0.0, 0.0}, problem);
  r.trialAt(1.0, problem);
  ASSERT_EQ(r.idvbnd, 2);
  EXPECT_NEAR(r.stpbnd, 0.5 / r2, 1e-12);
  settings.print = 2;
  r.run();
  EXPECT_EQ(settings.errorFlag, 0);
  EXPECT_EQ(r.ifail, kFalse);
  EXPECT_EQ(r.endstp, kTrue);
  EXPECT_NEAR(r.step, 0.5 / r2, 1e-12);
  EXPECT_NEAR(r.dv[0], 0.5, 1e-12);
  EXPECT_EQ(r.dv[1], 0.5);
  // The column is now the derivative of the equality along the step: -SDIR(1); its inverse is consistent.
  EXPECT_NEAR(r.xjac[0], -r2, 1e-9);
  EXPECT_NEAR(r.xjinv[0] * r.xjac[0], 1.0, 1e-12);
  EXPECT_TRUE(printed("XJAC AFTER BND UPDATE"));
  EXPECT_TRUE(printed("XJINV AFTER BND UPDATE"));
  EXPECT_EQ(problem.calls, 1);

  // The bound step equal to the current step: nothing to difference with.
  Restoration same = r;
  same.baseAt({0.0, 0.0}, problem);
  same.xjac[0] = same.xjinv[0] = 1.0;
  same.trialAt(0.5 / r2, problem);
  same.stpbnd = same.step;
  same.idvbnd = 2;
  clearLines();
  settings.print = 1;
  same.run();
  EXPECT_EQ(same.ifail, kTrue);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " STPDEL ERROR IN GRGSAT, BND");
}

TEST_F(GrgRestoration, ConstraintCrossingAtTheBoundStepIsABoundEvent) {
  // Equality 2 (x2 - x1) with x2 dependent and bounded by 0.5; inequality 3 (x1 - 0.25) reaches feasTol = 0.25 at
  // step 0.5, exactly where x2 reaches its bound.
  SearchProblem problem(1, [](const double* x, double* f) {
    f[0] = -x[0];
    f[1] = x[1] - x[0];
    f[2] = x[0] - 0.25;
  });
  settings.feasTol = 0.25;
  Restoration r(2, 3, 1, 3);
  r.nbeq = 1;
  r.mbndeq = {2};
  r.nidv = 1;
  r.midv = {1, 0};
  r.nddv = 1;
  r.mddv = {2, 1};
  r.njinv = 1;
  r.mjinv = {2, 0};
  r.xjac[0] = r.xjinv[0] = 1.0;
  r.lisdf = {1, 2, 3};
  r.dvub = {1.0, 0.5};
  r.sdir = {1.0, 1.0};
  r.baseAt({0.0, 0.0}, problem);
  r.trialAt(1.0, problem);
  ASSERT_EQ(r.stpbnd, 0.5);
  settings.print = 1;
  r.run();
  EXPECT_EQ(r.ifail, kFalse);
  EXPECT_FALSE(printed("NEW CONSTRAINT"));
  EXPECT_EQ(r.step, 0.5);
  EXPECT_EQ(r.idvbnd, 2);
  EXPECT_EQ(r.endstp, kTrue);
  EXPECT_EQ(r.dv[0], 0.5);
  EXPECT_EQ(r.dv[1], 0.5);
  EXPECT_EQ(r.njinv, 1);
}

TEST_F(GrgRestoration, NewConstraintOnAFullBasisIsRefused) {
  // One variable, dependent for the equality: the basis already holds NDV functions, there is no row for a new one.
  SearchProblem problem(1, [](const double* x, double* f) {
    f[0] = -x[0];
    f[1] = x[0] - x[0];
    f[2] = x[0] - 0.2;
  });
  Restoration r(1, 3, 1, 3);
  r.nbeq = 1;
  r.mbndeq = {2};
  r.nddv = 1;
  r.mddv = {1};
  r.njinv = 1;
  r.mjinv = {2};  // exactly NDV entries
  r.lisdf = {1, 2, 3};
  r.sdir = {1.0};
  r.baseAt({0.0}, problem);
  r.trialAt(0.5, problem);
  settings.print = 1;
  r.run();
  EXPECT_EQ(r.ifail, kTrue);
  EXPECT_EQ(r.njinv, 1);
  EXPECT_EQ(r.mjinv[0], 2);
  EXPECT_TRUE(printed(" SINGULAR JACOBIAN DURING AUGMENT"));

  // A new constraint without a gradient column is refused the same way.
  Restoration c(1, 2, 0, 2);
  SearchProblem single(0, [](const double* x, double* f) {
    f[0] = -x[0];
    f[1] = x[0] - 0.2;
  });
  c.nidv = 1;
  c.midv = {1};
  c.sdir = {1.0};
  c.lisdf = {1, 0};
  c.baseAt({0.0}, single);
  c.trialAt(0.5, single);
  c.run();
  EXPECT_EQ(c.ifail, kTrue);
}

TEST_F(GrgRestoration, FrontEndRestoresThePoolTopsAndReportsOverflow) {
  SearchProblem problem(0, [](const double* x, double* f) {
    f[0] = -x[0];
    f[1] = x[0] - 0.5;
  });
  Restoration r(1, 2, 0, 1);
  r.nidv = 1;
  r.midv = {1};
  r.sdir = {1.0};
  r.baseAt({0.0}, problem);
  r.trialAt(0.3, problem);
  settings.dblPoolTop = 100;
  settings.intPoolTop = 7;
  settings.dblPoolSize = 100 + 2 * 1 + 2;  // new top 100 + 2*NDV + NDF + 1 = 105 is refused
  settings.print = 1;
  r.step = 0.77;
  r.run();
  EXPECT_EQ(settings.errorFlag, -1);
  EXPECT_EQ(r.step, 0.77);  // nothing written back
  EXPECT_EQ(settings.dblPoolTop, 100);
  EXPECT_EQ(settings.intPoolTop, 7);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " ERROR:  DOUBLE PRECISION STORAGE EXCEEDED       105");
  settings.errorFlag = 0;
  settings.dblPoolSize = 105;  // equal to the capacity is accepted
  r.run();
  EXPECT_EQ(settings.errorFlag, 0);
  EXPECT_EQ(settings.dblPoolTop, 100);
}

}  // namespace
