// The GRG main iteration: its storage front end (run-array layout, capacity tests, overflow reports, pool
// restoration), the classification of the constraints at the top of each iteration, and the direction step (the
// subproblem's rows, bound distances and pool handling, the Hessian-update front end, and the identity restart of
// a Hessian that is not positive definite).
#include <algorithm>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "common/pool.h"
#include "entry/settings.h"
#include "grg/direction.h"
#include "grg/grg_problems.h"
#include "grg/iteration.h"
#include "korvex/routines.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

// nEq equalities (functions 2..) and nIneq inequalities after them; the lists have one spare entry to show that
// nothing is written past them.
struct Lists {
  int nEq, nIneq;
  std::vector<int> eq, ineq, MGRGIN, MBNDIN, MBNDEQ;
  std::vector<double> DF;
  int NCAND = -1, NBIN = -1, NBEQ = -1, ITOBJ = 0, IPHASE = 0;
  Lists(int e, int i, std::vector<double> values) : nEq(e), nIneq(i), DF(std::move(values)) {
    for (int k = 0; k < e + i; ++k) (k < e ? eq : ineq).push_back(2 + k);
    MGRGIN.assign(static_cast<size_t>(i) + 1, -7);
    MBNDIN.assign(static_cast<size_t>(i) + 1, -7);
    MBNDEQ.assign(static_cast<size_t>(e) + 1, -7);
  }
  double& f(int j) { return DF[static_cast<size_t>(j - 1)]; }
  void classify() {
    GRGCON(&nIneq, ineq.data(), &nEq, eq.data(), DF.data(), &NCAND, MGRGIN.data(), &NBIN, MBNDIN.data(), &NBEQ,
           MBNDEQ.data(), &ITOBJ, &IPHASE);
  }
};

using GrgIterationTest = KorvexTest;
using GrgDirectionTest = KorvexTest;

TEST_F(GrgIterationTest, ListsFollowListOrderAndFeasTolIsInclusive) {
  // Equalities 2, 3 satisfied (|2| = feasTol); inequalities 4 inactive, 5 and 6 binding at +-feasTol, 7 inactive.
  Lists l(2, 4, {0.0, 0.001, -0.0005, -0.5, 0.001, -0.001, -0.0011});
  l.classify();
  EXPECT_EQ(std::tuple(l.MGRGIN, l.MBNDIN, l.MBNDEQ),
            std::tuple(Ints{4, 5, 6, 7, -7}, Ints{5, 6, -7, -7, -7}, Ints{2, 3, -7}));
  EXPECT_EQ((Ints{l.NCAND, l.NBIN, l.NBEQ, l.ITOBJ, l.IPHASE}), (Ints{4, 2, 2, 0, 0}));
}

TEST_F(GrgIterationTest, TemporaryObjectiveIsTheFirstWorstAndIsKeptWhileViolated) {
  // Among violated inequalities the first of equal values wins; a strictly larger one beats the equality (ties go
  // to the equality: see the feasibility-phase run).
  Lists w(1, 3, {0.0, -2.0, 2.5, 3.0, 3.0});
  w.classify();
  EXPECT_EQ(std::tuple(w.ITOBJ, w.IPHASE, w.f(2)), std::tuple(4, 1, -2.0));

  // Inequality 4 stays the temporary objective while violated, even with a worse equality.
  Lists l(2, 1, {0.0, 5.0, 0.0, 0.5});
  l.ITOBJ = 4;
  l.IPHASE = 1;
  l.classify();
  EXPECT_EQ(l.ITOBJ, 4);
  l.f(4) = 0.0;  // satisfied: the worst remaining violation is chosen
  l.classify();
  EXPECT_EQ(std::tuple(l.ITOBJ, l.IPHASE), std::tuple(2, 2));
  // Equality 2 overshoots zero: phase 2 -> 3 and back, the stored value negated to positive each time.
  l.f(2) = -0.3;
  l.f(3) = 4.0;
  l.classify();
  EXPECT_EQ(std::tuple(l.ITOBJ, l.IPHASE, l.f(2)), std::tuple(2, 3, 0.3));
  l.f(2) = -0.2;
  l.classify();
  EXPECT_EQ(std::tuple(l.IPHASE, l.f(2)), std::tuple(2, 0.2));
  // Everything satisfied in phase 3: the stored value is negated back and the phase becomes 0.
  l.IPHASE = 3;
  l.f(2) = 0.0005;
  l.f(3) = 0.0;
  l.classify();
  EXPECT_EQ(std::tuple(l.IPHASE, l.f(2)), std::tuple(0, -0.0005));
}

// 30 inequalities: 4 binding, 20 inactive, 6 violated; fraction 0.5 keeps the 4 binding ones first, then the 10
// inactive ones with the largest values.
TEST_F(GrgIterationTest, CandidateCutKeepsBindingFirstThenTheLargestInactive) {
  Lists l(0, 30, std::vector<double>(31, 0.0));
  Ints inactive;
  for (int j = 2; j <= 31; ++j) {
    if (j % 5 == 0) {
      l.f(j) = j <= 20 ? 0.00002 * j : 1.0 + j;  // 5, 10, 15, 20 binding; 25, 30 violated
    } else if (j % 7 == 0) {
      l.f(j) = 2.0 + j;  // 7, 14, 21, 28 violated
    } else {
      l.f(j) = -0.01 * ((j * 37) % 41 + 1);  // inactive, in no particular order
      inactive.push_back(j);
    }
  }
  ASSERT_EQ(inactive.size(), 20u);
  settings.constraintFraction = 0.5;
  l.classify();
  ASSERT_EQ(std::tuple(l.NBIN, l.NCAND), std::tuple(4, 14));
  std::sort(inactive.begin(), inactive.end(), [&](int a, int b) { return l.f(a) > l.f(b); });
  inactive.insert(inactive.begin(), {20, 15, 10, 5});
  EXPECT_EQ(Ints(l.MGRGIN.begin(), l.MGRGIN.begin() + 14), Ints(inactive.begin(), inactive.begin() + 14));

  // Fraction above 0.99, or fewer than 26 inequalities: no cut, list order kept. With 26 the cut applies.
  settings.constraintFraction = 0.995;
  l.classify();
  EXPECT_TRUE(l.NCAND == 24 && std::is_sorted(l.MGRGIN.begin(), l.MGRGIN.begin() + 24));
  settings.constraintFraction = 0.5;
  Lists small(0, 25, std::vector<double>(26, -1.0)), least(0, 26, std::vector<double>(27, -1.0));
  small.classify();
  least.classify();
  EXPECT_EQ(std::tuple(small.NCAND, least.NCAND), std::tuple(25, 13));
}

// The main iteration's binding list has room for min(nIneq, NDV) entries: extra binding inequalities stay
// candidates but are not listed as binding, and nothing is written past the list.
TEST_F(GrgIterationTest, MoreBindingInequalitiesThanTheListHoldsAreCappedNotOverwritten) {
  Ints ineq{2, 3, 4, 5}, MGRGIN(4, 0), MBNDIN{-7, -7, -9};
  std::vector<double> DF{0.0, 0.0, -0.5, 0.0, 0.0};
  grg::ConstraintClasses classes{Vec<int>(MGRGIN.data(), 4), Vec<int>(MBNDIN.data(), 2), Vec<int>(nullptr, 0)};
  int temp = 0, IPHASE = 0;
  grg::classifyConstraints(settings, Vec<const int>(ineq.data(), 4), Vec<const int>(nullptr, 0),
                           Vec<double>(DF.data(), 5), classes, temp, IPHASE);
  EXPECT_EQ(std::tuple(classes.NBIN, MBNDIN), std::tuple(2, Ints{2, 4, -9}));
  EXPECT_EQ(std::tuple(classes.NCAND, MGRGIN), std::tuple(4, Ints{2, 3, 4, 5}));
}

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
TEST_F(GrgIterationTest, RunArraysTakeTheStatedTopsAndOverflowsAreReported) {
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
    setPool(c.dblTop, c.intTop, c.dblSize, c.intSize);
    const bool fits = c.report.empty();
    EXPECT_EQ(runFrontEnd(c.n, c.nEq, c.nIneq), fits ? KVW_GRG_ITERATION_LIMIT : -5) << c.dblSize;
    EXPECT_EQ(std::tuple(lines(), settings.errorFlag, workPool.dblPoolTop, workPool.intPoolTop),
              std::tuple(fits ? Lines{} : Lines{c.report}, fits ? 0 : -1, c.dblTop, c.intTop));
  }
}

// Two variables at DV = (0.5, -0.9) in [-1, 1]; objective gradient (-4, 3) with HESSIAN = I; one candidate
// inequality (function 3) and one satisfied equality (function 2); GRADD columns 1 and 2 are their gradients.
struct Subproblem {
  int NCAND = 1, NBEQ = 1, NDV = 2, NACT = -1;
  std::vector<int> MGRGIN{3}, MBNDEQ{2}, IACT{0, 0};
  std::vector<double> DV{0.5, -0.9}, DVLB{-1, -1}, DVUB{1, 1}, DF{10.0, 0.0, -0.2};
  std::vector<double> GRADOB{-4, 3}, HESSIAN{1, 0, 0, 1};
  std::vector<double> GRADD{1,  0,  // inequality: d1 <= 0.2
                            0,  1,  // equality: d2 = 0
                            -4, 3};
  std::vector<double> XLAG{0, 0}, SDIR{9, 9};
  int resultCode = 7;
  void solve() {
    GRSQP(&NCAND, MGRGIN.data(), &NBEQ, MBNDEQ.data(), &NDV, DV.data(), DVLB.data(), DVUB.data(), DF.data(),
          GRADOB.data(), GRADD.data(), HESSIAN.data(), IACT.data(), &NACT, XLAG.data(), SDIR.data(), &resultCode);
  }
};

TEST_F(GrgDirectionTest, RowsAreTheLinearizedConstraints) {
  Subproblem qp;
  qp.solve();
  EXPECT_EQ(qp.resultCode, 7);  // all flags clear: left as it was
  // Unconstrained minimum (4, -3); d1 <= -DF(3) = 0.2 and d2 = -DF(2) = 0 bind.
  expectNear(qp.SDIR, {0.2, 0.0}, 1e-12);
  ASSERT_EQ(qp.NACT, 2);
  // Stationarity: GRADOB + H d + sum XLAG(k) n_IACT(k) = 0 (rows 1 and 2 are GRADD columns 1 and 2).
  double r1 = qp.GRADOB[0] + qp.SDIR[0], r2 = qp.GRADOB[1] + qp.SDIR[1];
  for (int k = 0; k < qp.NACT; ++k) {
    r1 += qp.XLAG[k] * qp.GRADD[static_cast<size_t>(2 * (qp.IACT[k] - 1))];
    r2 += qp.XLAG[k] * qp.GRADD[static_cast<size_t>(2 * (qp.IACT[k] - 1) + 1)];
  }
  expectNear({r1, r2}, {0.0, 0.0}, 1e-12);
}

// The solver's flags are seen through whole runs (results 8 and 10) and the restart below (9).
TEST_F(GrgDirectionTest, FrontEndChecksDoublesFirstAndGivesThePoolBack) {
  // Front end from tops 3 and 4: BC, XU, XL give double top 3 + 6 + 1 = 10, the bound types integer top 4 + 2 + 1.
  KVW_set_print(1);
  Subproblem qp;
  setPool(3, 4, 9, 6);
  qp.solve();
  EXPECT_EQ(std::tuple(settings.errorFlag, qp.resultCode, qp.SDIR), std::tuple(-1, 7, Doubles{9, 9}));
  workPool.dblPoolSize = 10;
  qp.solve();
  EXPECT_EQ(lines(), (Lines{" ERROR:  DOUBLE PRECISION STORAGE EXCEEDED        10",
                            " ERROR:  INTEGER STORAGE EXCEEDED         7"}));
  EXPECT_EQ(std::tuple(workPool.dblPoolTop, workPool.intPoolTop), std::tuple(3, 4));
}

// A Hessian carried into the direction step that is not positive definite, with a zero step since the last
// search (so the update is skipped and the matrix reaches the solver as it stands). A run cannot easily build
// one: after every reset the matrix is GSCALE >= 1 times the identity and the damped update keeps it positive
// definite, so only an extremely flat learned curvature would give a pivot below tinyTol.
TEST_F(GrgDirectionTest, HessianNotPositiveDefiniteRestartsFromTheIdentityInTheSameStep) {
  SearchProblem problem(
      2, 0, [](const double* x, double* f) { f[0] = (x[0] - 2.0) * (x[0] - 2.0) + (x[1] + 1.0) * (x[1] + 1.0); });
  std::vector<double> DV{0, 0}, DVLB{-1, -1}, DVUB{1, 1}, DF{5.0}, GRADOB(2), GRADLO(2), GRADL(2), XLAG(2);
  std::vector<double> HESSIAN{-1, 0, 0, 1}, DVOLD{0, 0}, DVDEL(2), GRADEL(2), SDIR(2);
  std::vector<int> LISDF{1}, IACT(2);
  auto vec = [](auto& v) { return Vec<std::remove_reference_t<decltype(v[0])>>(v.data(), int(v.size())); };
  const grg::Problem p{.NDV = 2, .NDF = 1, .DV = vec(DV), .DVLB = vec(DVLB), .DVUB = vec(DVUB), .DF = vec(DF),
                       .eqList = {}, .ineqList = {}};
  const grg::RunArrays run{vec(GRADOB), vec(GRADLO), vec(GRADL),  vec(XLAG), Mat<double>(HESSIAN.data(), 2, 2),
                           vec(DVOLD),  vec(DVDEL),  vec(GRADEL), vec(SDIR), {},
                           {},          {},          vec(LISDF),  vec(IACT)};
  grg::WorkingSet ws{.ITOBJ = 1, .RESETH = kFalse};
  workPool.dblPoolTop = 4;
  KVW_set_print(2);
  int resultCode = 0;
  ASSERT_TRUE(grg::directionStep(defaultContext(), p, run, ws, 4, resultCode));
  EXPECT_EQ(std::tuple(resultCode, problem.calls()), std::tuple(0, 4));  // a second gradient in the same step
  EXPECT_TRUE(printed(" HESSIAN NOT UPDATED") && printed(" HESSIAN NOT POS. DEFINITE") &&
              printed(" HESSIAN INITIALIZED"));
  // Gradient about (-4, 2): GSCALE = its mean absolute component, the restart's matrix GSCALE I, and the direction
  // -GRADOB / GSCALE, about (4/3, -2/3), cut at the bound d1 <= 1.
  const double gscale = (-GRADOB[0] + GRADOB[1]) / 2.0;
  EXPECT_NEAR(gscale, 3.0, 1e-4);
  EXPECT_EQ(HESSIAN, (Doubles{HESSIAN[0], 0, 0, HESSIAN[0]}));
  expectNear({HESSIAN[0], SDIR[0], SDIR[1]}, {gscale, 1.0, -GRADOB[1] / gscale}, 1e-12);
  // GRADD stays at its fixed slot after the base: one column, the objective's, and the pool top just beyond it.
  EXPECT_EQ(std::tuple(workPool.doubles[5], workPool.doubles[6], workPool.dblPoolTop),
            std::tuple(GRADOB[0], GRADOB[1], 4 + 2 + 1));
  EXPECT_FALSE(isTrue(ws.RESETH));
}

TEST_F(GrgDirectionTest, HessianUpdateFrontEndUpdatesOrReportsAndAlwaysGivesThePoolBack) {
  const int n = 2;
  std::vector<double> B{1, 0, 0, 1}, s{1, 0}, y{2, 0};
  int updated = 0;
  workPool.dblPoolTop = 7;
  GRSHES(&n, s.data(), y.data(), B.data(), &updated);
  // B - Bss'B/s'Bs + yy'/s'y with B = I, s = e1, y = 2e1: diag(2, 1).
  EXPECT_EQ(std::tuple(updated, B, workPool.dblPoolTop), std::tuple(-1, Doubles{2, 0, 0, 1}, 7));

  // Three vectors of n from slot 8: new top 7 + 6 + 1 = 14.
  settings.print = 1;
  workPool.dblPoolSize = 13;
  updated = 5;
  GRSHES(&n, s.data(), y.data(), B.data(), &updated);
  EXPECT_EQ(std::tuple(settings.errorFlag, updated, B, workPool.dblPoolTop), std::tuple(-1, 5, Doubles{2, 0, 0, 1}, 7));
  EXPECT_EQ(lines(), (Lines{" ERROR:  DOUBLE PRECISION STORAGE EXCEEDED        14"}));
}

}  // namespace
}  // namespace korvex::testing
