// Broyden updates of the basis Jacobian and of its inverse.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "common/logical.h"
#include "entry/settings.h"
#include "korvex/routines/grg_basis.h"
#include "support/korvex_test.h"

namespace korvex {
namespace {

using GrgJacobianUpdateTest = testing::KorvexTest;

TEST_F(GrgJacobianUpdateTest, ConsistentPairStaysConsistentAfterBothUpdates) {
  const int ld = 4, n = 3;
  double xjac[ld * ld] = {};
  const double m[3][3] = {{3, 1, 0.5}, {-1, 4, 1}, {0.5, 2, 5}};
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) xjac[i + j * ld] = m[i][j];
  double xjinv[ld * ld] = {};
  int singul = kTrue;
  GRSINV(&ld, &n, xjac, xjinv, &singul);
  ASSERT_EQ(singul, kFalse);
  const std::vector<std::pair<std::vector<double>, std::vector<double>>> steps = {
      {{0.1, -0.2, 0.05}, {0.03, 0.01, -0.02}}, {{-0.3, 0.0, 0.4}, {-0.1, 0.2, 0.05}}};
  for (const auto& [deldv, resid] : steps) {
    GRSBUP(&ld, &n, xjinv, resid.data(), deldv.data());
    GRGJUP(&ld, &n, xjac, deldv.data(), resid.data());
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        double sum = 0.0;
        for (int k = 0; k < n; ++k) sum += xjinv[i + k * ld] * xjac[k + j * ld];
        EXPECT_NEAR(sum, i == j ? 1.0 : 0.0, 1e-13);
      }
    }
  }
  EXPECT_EQ(settings.dblPoolTop, 0);
}

TEST_F(GrgJacobianUpdateTest, OrderOneFormulasAndTheSkipThresholds) {
  const int ld = 1, n = 1;
  double xjac = 2.0, xjinv = 0.5, p, q;
  const double deldv = 0.5, resid = 0.25;
  GRGJUP(&ld, &n, &xjac, &deldv, &resid);
  EXPECT_EQ(xjac, 2.0 - 0.25 / 0.5);
  GRGBUP(&ld, &n, &xjinv, &resid, &deldv, &p, &q);
  const double pp = -0.5 * 0.25, qq = 0.5 * 0.5;
  EXPECT_EQ(p, pp);
  EXPECT_EQ(q, qq);
  EXPECT_EQ(xjinv, 0.5 - pp * qq / (0.5 * (pp + 0.5)));

  // sigma = |DELDV|^2 equal to tinyTol and delta equal to tinyTol both skip; a zero step changes and prints nothing.
  KVW_set_print(3);
  settings.tinyTol = 0.25;
  xjac = 2.0;
  xjinv = 1.0;
  const double none = 0.0;
  GRGJUP(&ld, &n, &xjac, &deldv, &resid);
  GRGBUP(&ld, &n, &xjinv, &none, &deldv, &p, &q);  // p = 0, delta = 0.5 * 0.5
  GRGJUP(&ld, &n, &xjac, &none, &resid);
  GRSBUP(&ld, &n, &xjinv, &resid, &none);
  EXPECT_EQ(xjac, 2.0);
  EXPECT_EQ(xjinv, 1.0);
  EXPECT_TRUE(lines().empty());
  settings.tinyTol = 0.2499;
  GRGJUP(&ld, &n, &xjac, &deldv, &resid);
  GRGBUP(&ld, &n, &xjinv, &none, &deldv, &p, &q);
  EXPECT_EQ(lines(), (std::vector<std::string>{" UPDATED JACOBIAN", "   1.50000E+00", " UPDATED INVERSE JACOBIAN",
                                               "   1.00000E+00"}));
}

TEST_F(GrgJacobianUpdateTest, OrderBeyondTheLeadingDimensionAndPoolOverflowChangeNothing) {
  const int ld = 1, n = 2;
  double m = 3.0;
  const double deldv[2] = {1, 1}, resid[2] = {1, 1};
  GRGJUP(&ld, &n, &m, deldv, resid);
  GRSBUP(&ld, &n, &m, resid, deldv);
  EXPECT_EQ(m, 3.0);
  KVW_set_print(1);
  settings.dblPoolSize = 4;  // 2 N + 1 = 5
  const int ld2 = 2;
  double inv[4] = {1, 0, 0, 1};
  GRSBUP(&ld2, &n, inv, resid, deldv);
  EXPECT_EQ(inv[0], 1.0);
  EXPECT_EQ(settings.errorFlag, -1);
  EXPECT_EQ(lines(), (std::vector<std::string>{" ERROR:  DOUBLE PRECISION STORAGE EXCEEDED         5"}));
}

}  // namespace
}  // namespace korvex
