// The GRG direction step: the Hessian-update front end and the direction step inside a run.
#include <vector>

#include "entry/settings.h"
#include "korvex/routines.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using GrgDirectionTest = KorvexTest;

TEST_F(GrgDirectionTest, HessianUpdateFrontEndUpdatesOrReportsAndAlwaysGivesThePoolBack) {
  const int n = 2;
  std::vector<double> B{1, 0, 0, 1}, s{1, 0}, y{2, 0};
  int updated = 0;
  settings.dblPoolTop = 7;
  GRSHES(&n, s.data(), y.data(), B.data(), &updated);
  // B - Bss'B/s'Bs + yy'/s'y with B = I, s = e1, y = 2e1: diag(2, 1).
  EXPECT_EQ(updated, -1);
  EXPECT_EQ(B, (std::vector<double>{2, 0, 0, 1}));
  EXPECT_EQ(settings.dblPoolTop, 7);

  std::vector<double> zero{0, 0};
  GRSHES(&n, zero.data(), y.data(), B.data(), &updated);
  EXPECT_EQ(updated, 0);

  // Three vectors of n from slot 8: new top 7 + 6 + 1 = 14.
  KVW_set_print(1);
  settings.dblPoolSize = 13;
  updated = 5;
  GRSHES(&n, s.data(), y.data(), B.data(), &updated);
  EXPECT_EQ(settings.errorFlag, -1);
  EXPECT_EQ(updated, 5);
  EXPECT_EQ(B, (std::vector<double>{2, 0, 0, 1}));
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " ERROR:  DOUBLE PRECISION STORAGE EXCEEDED        14");
  EXPECT_EQ(settings.dblPoolTop, 7);
}

}  // namespace
}  // namespace korvex::testing
