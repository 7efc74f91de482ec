#include "common/pool.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using PoolTest = KorvexTest;

// A front end of the usual form: one double array and one integer array; returns whether its worker ran.
bool frontEnd(int doubles, int ints, int* workerDoubleTop = nullptr) {
  PoolFrame frame;
  const int d = frame.reserveDoubles(doubles);
  const int i = frame.reserveInts(ints);
  if (!frame.claim()) return false;
  frame.doubleVec(d, doubles);
  frame.intVec(i, ints);
  if (workerDoubleTop != nullptr) *workerDoubleTop = settings.dblPoolTop;
  return true;
}

TEST_F(PoolTest, ExactlyFullIsAcceptedOneMoreIsRefused) {
  settings.dblPoolSize = 101;
  settings.intPoolSize = 11;
  int top = 0;
  EXPECT_TRUE(frontEnd(100, 10, &top));
  EXPECT_EQ(top, 101);  // one slot beyond the last array
  EXPECT_EQ(settings.errorFlag, 0);
  EXPECT_TRUE(lines().empty());

  EXPECT_FALSE(frontEnd(101, 10));
  EXPECT_EQ(settings.errorFlag, -1);
  EXPECT_TRUE(lines().empty());  // print level 0: no report
  EXPECT_EQ(settings.dblPoolTop, 0);
  EXPECT_EQ(settings.intPoolTop, 0);
}

TEST_F(PoolTest, OverflowReportsNameThePoolAndTheRefusedTop) {
  settings.print = 1;
  settings.dblPoolSize = 50;
  EXPECT_FALSE(frontEnd(50, 0));
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " ERROR:  DOUBLE PRECISION STORAGE EXCEEDED        51");
  EXPECT_EQ(lines()[0].size(), 1u + 51u);

  clearLines();
  settings.intPoolSize = 5;
  EXPECT_FALSE(frontEnd(10, 5));
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " ERROR:  INTEGER STORAGE EXCEEDED         6");
  EXPECT_EQ(settings.dblPoolTop, 0);
  EXPECT_EQ(settings.intPoolTop, 0);
}

TEST_F(PoolTest, NestedFrontEndsStackAndGiveBackExactlyWhatTheyTook) {
  PoolFrame outer;
  const int a = outer.reserveDoubles(7);
  outer.reserveInts(3);
  ASSERT_TRUE(outer.claim());
  EXPECT_EQ(a, 1);
  EXPECT_EQ(settings.dblPoolTop, 8);
  EXPECT_EQ(settings.intPoolTop, 4);
  {
    PoolFrame inner;
    EXPECT_EQ(inner.reserveDoubles(2), 9);  // above the outer arrays and their spare slot
    ASSERT_TRUE(inner.claim());
    EXPECT_EQ(settings.dblPoolTop, 11);
  }
  EXPECT_EQ(settings.dblPoolTop, 8);
  EXPECT_EQ(settings.intPoolTop, 4);
  {
    settings.dblPoolSize = 9;  // the inner one now overflows
    PoolFrame inner;
    inner.reserveDoubles(2);
    EXPECT_FALSE(inner.claim());
  }
  EXPECT_EQ(settings.dblPoolTop, 8);
}

TEST_F(PoolTest, DoublesOnlyFrontEndLeavesTheIntegerPoolAlone) {
  settings.intPoolSize = 0;
  PoolFrame frame;
  frame.reserveDoubles(4);
  ASSERT_TRUE(frame.claim());
  EXPECT_EQ(settings.dblPoolTop, 5);
  EXPECT_EQ(settings.intPoolTop, 0);
}

TEST_F(PoolTest, CapacityZeroBeforeDefaultsOverflowsAtOnce) {
  settings.dblPoolSize = 0;
  settings.intPoolSize = 0;
  EXPECT_FALSE(frontEnd(0, 0));
  EXPECT_EQ(settings.errorFlag, -1);
}

TEST_F(PoolTest, CapacityNeverExceedsThePhysicalPool) {
  settings.dblPoolSize = kDblPoolCapacity + 1000;
  EXPECT_FALSE(frontEnd(kDblPoolCapacity, 0));
  EXPECT_TRUE(frontEnd(kDblPoolCapacity - 1, 0));
}

}  // namespace
}  // namespace korvex::testing
