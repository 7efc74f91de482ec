// Broyden updates of the basis Jacobian and of its inverse.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/logical.h"
#include "entry/settings.h"
#include "korvex/routines/grg_basis.h"
#include "support/korvex_test.h"

namespace korvex {
namespace {

using GrgJacobianUpdateTest = testing::KorvexTest;
using Lines = std::vector<std::string>;

TEST_F(GrgJacobianUpdateTest, ConsistentPairStaysConsistentAfterBothUpdates) {
  const int ld = 4, n = 3;  // an upper triangular XJAC and its inverse, by columns
  double xjac[ld * ld] = {1, 0, 0, 0, 2, 1, 0, 0, 0, 3, 1}, xjinv[ld * ld] = {1, 0, 0, 0, -2, 1, 0, 0, 6, -3, 1};
  const double steps[2][2][3] = {{{0.1, -0.2, 0.05}, {0.03, 0.01, -0.02}}, {{-0.3, 0.0, 0.4}, {-0.1, 0.2, 0.05}}};
  for (const auto& [deldv, resid] : steps) {
    GRSBUP(&ld, &n, xjinv, resid, deldv);
    GRGJUP(&ld, &n, xjac, deldv, resid);
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

// Order 1: XJAC - RESID/DELDV, and XJINV - p q / delta with p = -XJINV RESID, q = DELDV XJINV. A sigma or a delta
// equal to tinyTol skips the update without printing.
TEST_F(GrgJacobianUpdateTest, OrderOneFormulasAndTheSkipThresholds) {
  const int ld = 1, n = 1;
  double xjac = 2.0, xjinv = 0.5, p, q;
  const double deldv = 0.5, resid = 0.25, none = 0.0;
  GRGJUP(&ld, &n, &xjac, &deldv, &resid);
  EXPECT_EQ(xjac, 2.0 - 0.25 / 0.5);
  GRGBUP(&ld, &n, &xjinv, &resid, &deldv, &p, &q);
  EXPECT_EQ(p, -0.5 * 0.25);
  EXPECT_EQ(q, 0.5 * 0.5);
  EXPECT_EQ(xjinv, 0.5 - p * q / (0.5 * (p + 0.5)));

  KVW_set_print(3);
  settings.tinyTol = 0.25;
  xjac = 2.0;
  xjinv = 1.0;
  GRGJUP(&ld, &n, &xjac, &deldv, &resid);          // sigma = 0.25
  GRGBUP(&ld, &n, &xjinv, &none, &deldv, &p, &q);  // p = 0, delta = 0.25
  GRGJUP(&ld, &n, &xjac, &none, &resid);
  GRSBUP(&ld, &n, &xjinv, &resid, &none);
  EXPECT_EQ(xjac, 2.0);
  EXPECT_EQ(xjinv, 1.0);
  EXPECT_TRUE(lines().empty());
  settings.tinyTol = 0.2499;
  GRGJUP(&ld, &n, &xjac, &deldv, &resid);
  GRGBUP(&ld, &n, &xjinv, &none, &deldv, &p, &q);
  EXPECT_EQ(lines(), (Lines{" UPDATED JACOBIAN", "   1.50000E+00", " UPDATED INVERSE JACOBIAN", "   1.00000E+00"}));
}

// An order beyond the leading dimension cannot be held: the update is skipped, nothing is written.
TEST_F(GrgJacobianUpdateTest, OrderBeyondTheLeadingDimensionAndPoolOverflowChangeNothing) {
  const int ld = 1, ld2 = 2, n = 2;
  double m = 3.0, inv[4] = {1, 0, 0, 1};
  const double deldv[2] = {1, 1}, resid[2] = {1, 1};
  GRGJUP(&ld, &n, &m, deldv, resid);
  GRSBUP(&ld, &n, &m, resid, deldv);
  EXPECT_EQ(m, 3.0);
  KVW_set_print(1);
  settings.dblPoolSize = 4;  // p and q need 2 N + 1 = 5
  GRSBUP(&ld2, &n, inv, resid, deldv);
  EXPECT_EQ(inv[0], 1.0);
  EXPECT_EQ(settings.errorFlag, -1);
  EXPECT_EQ(lines(), (Lines{" ERROR:  DOUBLE PRECISION STORAGE EXCEEDED         5"}));
}

}  // namespace
}  // namespace korvex
