#include "common/pool.h"

#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using PoolTest = KorvexTest;

// A front end of the usual form with one double and one integer array; returns whether its worker ran.
bool frontEnd(int doubles, int ints) {
  PoolFrame frame(defaultContext());
  const int d = frame.reserveDoubles(doubles);
  const int i = frame.reserveInts(ints);
  if (!frame.claim()) return false;
  EXPECT_EQ(workPool.dblPoolTop, d + doubles);  // one slot beyond the last array
  EXPECT_EQ(workPool.intPoolTop, i + ints);
  return true;
}

TEST_F(PoolTest, ExactlyFullIsAcceptedAndAnOverflowReportsTheRefusedTop) {
  workPool.dblPoolSize = 101;
  workPool.intPoolSize = 11;
  EXPECT_TRUE(frontEnd(100, 10));
  EXPECT_TRUE(settings.errorFlag == 0 && workPool.dblPoolTop == 0 && workPool.intPoolTop == 0);
  EXPECT_FALSE(frontEnd(101, 10));  // print level 0: no report, but the error flag
  EXPECT_EQ(settings.errorFlag, -1);
  EXPECT_TRUE(lines().empty());
  settings.print = 1;
  EXPECT_FALSE(frontEnd(101, 10));
  EXPECT_FALSE(frontEnd(100, 11));
  EXPECT_EQ(lines(), (std::vector<std::string>{" ERROR:  DOUBLE PRECISION STORAGE EXCEEDED       102",
                                               " ERROR:  INTEGER STORAGE EXCEEDED        12"}));
  workPool.dblPoolSize = kDblPoolCapacity + 1000;  // the physical pool bounds the capacity
  EXPECT_FALSE(frontEnd(kDblPoolCapacity, 0));
  EXPECT_TRUE(frontEnd(kDblPoolCapacity - 1, 0));
  workPool.dblPoolSize = 0;  // settings never initialised
  EXPECT_FALSE(frontEnd(0, 0));
}

TEST_F(PoolTest, NestedFrontEndsStackAndGiveBackExactlyWhatTheyTookAlsoAfterAnOverflow) {
  PoolFrame outer(defaultContext());
  EXPECT_EQ(outer.reserveDoubles(7), 1);
  outer.reserveInts(3);
  ASSERT_TRUE(outer.claim());
  {
    PoolFrame inner(defaultContext());
    EXPECT_EQ(inner.reserveDoubles(2), 9);  // above the outer arrays and their spare slot
    ASSERT_TRUE(inner.claim());
    EXPECT_EQ(workPool.dblPoolTop, 11);
    EXPECT_EQ(workPool.intPoolTop, 4);  // a doubles-only front end leaves the integer pool alone
  }
  EXPECT_TRUE(workPool.dblPoolTop == 8 && workPool.intPoolTop == 4);
  workPool.dblPoolSize = 11;
  EXPECT_FALSE(frontEnd(3, 1));
  EXPECT_TRUE(workPool.dblPoolTop == 8 && workPool.intPoolTop == 4);
}

}  // namespace
}  // namespace korvex::testing
