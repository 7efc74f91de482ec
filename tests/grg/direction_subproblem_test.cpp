// The GRG direction subproblem and its front end (rows, bound distances, flag mapping, pool handling), and the
// identity start of the Hessian.
#include <vector>

#include "entry/settings.h"
#include "korvex/routines.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using GrgSubproblemTest = KorvexTest;

TEST_F(GrgSubproblemTest, IdentityStartWritesTheWholeMatrixAndNothingForEmptyOrder) {
  std::vector<double> a(10, 7.0);
  const int n = 3;
  const double v = 2.5;
  GRGHIN(&n, &v, a.data());
  EXPECT_EQ(a, (std::vector<double>{2.5, 0, 0, 0, 2.5, 0, 0, 0, 2.5, 7.0}));
  const int zero = 0;
  GRGHIN(&zero, &v, a.data() + 9);
  EXPECT_EQ(a[9], 7.0);
}

// Two variables at DV = (0.5, -0.9) in [-1, 1]; objective gradient (-4, 3) with HESSIAN = I; one candidate
// inequality (function 3) and one satisfied equality (function 2); GRADD columns 1 and 2 are their gradients.
struct Subproblem {
  int NCAND = 1, NBEQ = 1, NDV = 2, NACT = -1;
  std::vector<int> MGRGIN{3}, MBNDEQ{2}, IACT{0, 0};
  std::vector<double> DV{0.5, -0.9}, DVLB{-1, -1}, DVUB{1, 1}, DF{10.0, 0.0, -0.2};
  std::vector<double> GRADOB{-4, 3}, HESSIAN{1, 0, 0, 1};
  std::vector<double> GRADD{1, 0,  // inequality: d1 <= 0.2
                            0, 1,  // equality: d2 = 0
                            -4, 3};
  std::vector<double> XLAG{0, 0}, SDIR{9, 9};
  int resultCode = 0;
  void solve() {
    GRSQP(&NCAND, MGRGIN.data(), &NBEQ, MBNDEQ.data(), &NDV, DV.data(), DVLB.data(), DVUB.data(), DF.data(),
          GRADOB.data(), GRADD.data(), HESSIAN.data(), IACT.data(), &NACT, XLAG.data(), SDIR.data(), &resultCode);
  }
};

TEST_F(GrgSubproblemTest, SubproblemRowsAreLinearizedConstraintsAndBoundDistances) {
  Subproblem qp;
  qp.resultCode = 7;
  qp.solve();
  EXPECT_EQ(qp.resultCode, 7);  // all flags clear: left as it was
  // Unconstrained minimum (4, -3); d1 <= -DF(3) = 0.2 and d2 = -DF(2) = 0 bind.
  EXPECT_NEAR(qp.SDIR[0], 0.2, 1e-12);
  EXPECT_NEAR(qp.SDIR[1], 0.0, 1e-12);
  ASSERT_EQ(qp.NACT, 2);
  // Stationarity of the Lagrangian: GRADOB + H d + sum XLAG(k) n_IACT(k) = 0 (rows 1 and 2 are GRADD columns).
  double r1 = qp.GRADOB[0] + qp.SDIR[0], r2 = qp.GRADOB[1] + qp.SDIR[1];
  for (int k = 0; k < qp.NACT; ++k) {
    r1 += qp.XLAG[k] * qp.GRADD[static_cast<size_t>(2 * (qp.IACT[k] - 1))];
    r2 += qp.XLAG[k] * qp.GRADD[static_cast<size_t>(2 * (qp.IACT[k] - 1) + 1)];
  }
  EXPECT_NEAR(r1, 0.0, 1e-12);
  EXPECT_NEAR(r2, 0.0, 1e-12);

  // Without the general rows the bounds cut: d1 <= DVUB - DV = 0.5, d2 >= DVLB - DV = -0.1 (bound rows 5 and 8).
  qp.NCAND = 0;
  qp.NBEQ = 0;
  qp.solve();
  EXPECT_NEAR(qp.SDIR[0], 0.5, 1e-12);
  EXPECT_NEAR(qp.SDIR[1], -0.1, 1e-12);
  EXPECT_EQ(qp.NACT, 2);
  for (int k = 0; k < qp.NACT; ++k) EXPECT_TRUE(qp.IACT[k] == 1 || qp.IACT[k] == 4) << qp.IACT[k];
}

TEST_F(GrgSubproblemTest, SolverFlagsMapToEightNineTen) {
  Subproblem infeasible;
  infeasible.DF[2] = 3.0;  // d1 <= -3 lies outside the bound d1 >= -1.5
  infeasible.solve();
  EXPECT_EQ(infeasible.resultCode, 8);

  Subproblem indefinite;
  indefinite.HESSIAN = {-1, 0, 0, 1};
  indefinite.solve();
  EXPECT_EQ(indefinite.resultCode, 9);

  // The solver's own storage: GRSQP's scratch (2 + 4 doubles from slot 1, top 7) fits, the solver's does not; the
  // solver prints its message whatever the print level and fails with IERR.
  Subproblem failed;
  settings.dblPoolSize = 20;
  failed.solve();
  EXPECT_EQ(failed.resultCode, 10);
  EXPECT_EQ(settings.errorFlag, 0);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0].rfind(" ERROR: DOUBLE PRECISION STORAGE EXCEEDED, ", 0), 0u);
  EXPECT_EQ(settings.dblPoolTop, 0);
}

TEST_F(GrgSubproblemTest, SubproblemFrontEndReportsDoubleThenIntegerOverflow) {
  KVW_set_print(1);
  Subproblem qp;
  settings.dblPoolTop = 3;
  settings.intPoolTop = 4;
  // BC (2), XU (2), XL (2) from slot 4: new double top 3 + 6 + 1 = 10; bound types from slot 5: new top 4 + 2 + 1.
  settings.dblPoolSize = 9;
  qp.resultCode = 7;
  qp.solve();
  EXPECT_EQ(settings.errorFlag, -1);
  EXPECT_EQ(qp.resultCode, 7);
  EXPECT_EQ(qp.SDIR, (std::vector<double>{9, 9}));
  settings.errorFlag = 0;
  settings.dblPoolSize = 40000;
  settings.intPoolSize = 6;
  qp.solve();
  EXPECT_EQ(settings.errorFlag, -1);
  ASSERT_EQ(lines().size(), 2u);
  EXPECT_EQ(lines()[0], " ERROR:  DOUBLE PRECISION STORAGE EXCEEDED        10");
  EXPECT_EQ(lines()[1], " ERROR:  INTEGER STORAGE EXCEEDED         7");
  EXPECT_EQ(settings.dblPoolTop, 3);
  EXPECT_EQ(settings.intPoolTop, 4);
}

}  // namespace
}  // namespace korvex::testing
