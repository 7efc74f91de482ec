// The GRG direction step: the subproblem (rows, bound distances, pool handling), the Hessian-update front end and
// the identity restart of the Hessian when the solver finds it not positive definite.
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "common/pool.h"
#include "entry/settings.h"
#include "grg/direction.h"
#include "grg/grg_problems.h"
#include "korvex/routines.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using GrgDirectionTest = KorvexTest;
using Doubles = std::vector<double>;

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

TEST_F(GrgDirectionTest, RowsAreLinearizedConstraintsAndBoundDistances) {
  Subproblem qp;
  qp.solve();
  EXPECT_EQ(qp.resultCode, 7);  // all flags clear: left as it was
  // Unconstrained minimum (4, -3); d1 <= -DF(3) = 0.2 and d2 = -DF(2) = 0 bind.
  EXPECT_NEAR(qp.SDIR[0], 0.2, 1e-12);
  EXPECT_NEAR(qp.SDIR[1], 0.0, 1e-12);
  ASSERT_EQ(qp.NACT, 2);
  // Stationarity: GRADOB + H d + sum XLAG(k) n_IACT(k) = 0 (rows 1 and 2 are GRADD columns 1 and 2).
  double r1 = qp.GRADOB[0] + qp.SDIR[0], r2 = qp.GRADOB[1] + qp.SDIR[1];
  for (int k = 0; k < qp.NACT; ++k) {
    r1 += qp.XLAG[k] * qp.GRADD[static_cast<size_t>(2 * (qp.IACT[k] - 1))];
    r2 += qp.XLAG[k] * qp.GRADD[static_cast<size_t>(2 * (qp.IACT[k] - 1) + 1)];
  }
  EXPECT_NEAR(r1, 0.0, 1e-12);
  EXPECT_NEAR(r2, 0.0, 1e-12);

  // Without the general rows the bounds cut: d1 <= DVUB - DV = 0.5 (row 1), d2 >= DVLB - DV = -0.1 (row 4).
  qp.NCAND = 0;
  qp.NBEQ = 0;
  qp.solve();
  EXPECT_NEAR(qp.SDIR[0], 0.5, 1e-12);
  EXPECT_NEAR(qp.SDIR[1], -0.1, 1e-12);
  EXPECT_EQ(std::tuple(qp.NACT, qp.IACT[0] + qp.IACT[1]), std::tuple(2, 5));
}

// The solver's flags are seen through whole runs (results 8 and 10) and the restart below (9).
TEST_F(GrgDirectionTest, FrontEndChecksDoublesFirstAndGivesThePoolBack) {
  // Front end from tops 3 and 4: BC, XU, XL give double top 3 + 6 + 1 = 10, the bound types integer top 4 + 2 + 1.
  KVW_set_print(1);
  Subproblem qp;
  settings.dblPoolTop = 3;
  settings.intPoolTop = 4;
  settings.dblPoolSize = 9;
  settings.intPoolSize = 6;
  qp.solve();
  EXPECT_EQ(std::tuple(settings.errorFlag, qp.resultCode, qp.SDIR), std::tuple(-1, 7, Doubles{9, 9}));
  settings.dblPoolSize = 10;
  qp.solve();
  EXPECT_EQ(lines(), (std::vector<std::string>{" ERROR:  DOUBLE PRECISION STORAGE EXCEEDED        10",
                                               " ERROR:  INTEGER STORAGE EXCEEDED         7"}));
  EXPECT_EQ(std::tuple(settings.dblPoolTop, settings.intPoolTop), std::tuple(3, 4));
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
  settings.dblPoolTop = 4;
  KVW_set_print(2);
  int resultCode = 0;
  ASSERT_TRUE(grg::directionStep(p, run, ws, 4, resultCode));
  EXPECT_EQ(std::tuple(resultCode, problem.calls()), std::tuple(0, 4));  // a second gradient in the same step
  EXPECT_TRUE(printed(" HESSIAN NOT UPDATED"));
  EXPECT_TRUE(printed(" HESSIAN NOT POS. DEFINITE"));
  EXPECT_TRUE(printed(" HESSIAN INITIALIZED"));
  // Gradient about (-4, 2): GSCALE = its mean absolute component, the restart's matrix GSCALE I, and the direction
  // -GRADOB / GSCALE, about (4/3, -2/3), cut at the bound d1 <= 1.
  const double gscale = (-GRADOB[0] + GRADOB[1]) / 2.0;
  EXPECT_NEAR(gscale, 3.0, 1e-4);
  EXPECT_NEAR(HESSIAN[0], gscale, 1e-12);
  EXPECT_EQ(HESSIAN, (Doubles{HESSIAN[0], 0, 0, HESSIAN[0]}));
  EXPECT_NEAR(SDIR[0], 1.0, 1e-12);
  EXPECT_NEAR(SDIR[1], -GRADOB[1] / gscale, 1e-12);
  // GRADD stays at its fixed slot after the base: one column, the objective's, and the pool top just beyond it.
  EXPECT_EQ(std::tuple(dblPool[5], dblPool[6], settings.dblPoolTop), std::tuple(GRADOB[0], GRADOB[1], 4 + 2 + 1));
  EXPECT_FALSE(isTrue(ws.RESETH));
}

TEST_F(GrgDirectionTest, HessianUpdateFrontEndUpdatesOrReportsAndAlwaysGivesThePoolBack) {
  const int n = 2;
  std::vector<double> B{1, 0, 0, 1}, s{1, 0}, y{2, 0};
  int updated = 0;
  settings.dblPoolTop = 7;
  GRSHES(&n, s.data(), y.data(), B.data(), &updated);
  // B - Bss'B/s'Bs + yy'/s'y with B = I, s = e1, y = 2e1: diag(2, 1).
  EXPECT_EQ(std::tuple(updated, B, settings.dblPoolTop), std::tuple(-1, Doubles{2, 0, 0, 1}, 7));

  std::vector<double> zero{0, 0};
  GRSHES(&n, zero.data(), y.data(), B.data(), &updated);
  EXPECT_EQ(updated, 0);

  // Three vectors of n from slot 8: new top 7 + 6 + 1 = 14.
  KVW_set_print(1);
  settings.dblPoolSize = 13;
  updated = 5;
  GRSHES(&n, s.data(), y.data(), B.data(), &updated);
  EXPECT_EQ(std::tuple(settings.errorFlag, updated, B, settings.dblPoolTop), std::tuple(-1, 5, Doubles{2, 0, 0, 1}, 7));
  EXPECT_EQ(lines(), (std::vector<std::string>{" ERROR:  DOUBLE PRECISION STORAGE EXCEEDED        14"}));
}

}  // namespace
}  // namespace korvex::testing
