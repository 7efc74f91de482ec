// Classification of the constraints at the top of a GRG iteration (GRGCON and the main iteration's own call).
#include <algorithm>
#include <vector>

#include "entry/settings.h"
#include "grg/iteration.h"
#include "korvex/routines.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

// A problem of nEq equalities and nIneq inequalities with the driver's lists and a function vector to fill.
struct Lists {
  int nEq, nIneq;
  std::vector<int> eq, ineq;
  std::vector<double> DF;
  std::vector<int> MGRGIN, MBNDIN, MBNDEQ;
  int NCAND = -1, NBIN = -1, NBEQ = -1;
  Lists(int e, int i) : nEq(e), nIneq(i), DF(static_cast<size_t>(1 + e + i), 0.0) {
    for (int k = 0; k < e; ++k) eq.push_back(2 + k);
    for (int k = 0; k < i; ++k) ineq.push_back(2 + e + k);
    MGRGIN.assign(static_cast<size_t>(i) + 1, -7);
    MBNDIN.assign(static_cast<size_t>(i) + 1, -7);
    MBNDEQ.assign(static_cast<size_t>(e) + 1, -7);
  }
  double& f(int j) { return DF[static_cast<size_t>(j - 1)]; }
  void classify(int& ITOBJ, int& IPHASE) {
    GRGCON(&nIneq, ineq.data(), &nEq, eq.data(), DF.data(), &NCAND, MGRGIN.data(), &NBIN, MBNDIN.data(), &NBEQ,
           MBNDEQ.data(), &ITOBJ, &IPHASE);
  }
  std::vector<int> candidates() const { return {MGRGIN.begin(), MGRGIN.begin() + NCAND}; }
};

using GrgClassifyTest = KorvexTest;

TEST_F(GrgClassifyTest, ListsFollowListOrderAndFeasTolIsInclusive) {
  Lists l(2, 4);  // equalities 2, 3; inequalities 4..7
  l.f(2) = 0.001;   // satisfied (|value| = feasTol)
  l.f(3) = -0.0005;
  l.f(4) = -0.5;    // inactive
  l.f(5) = 0.001;   // binding
  l.f(6) = -0.001;  // binding
  l.f(7) = -0.0011; // inactive
  int ITOBJ = 0, IPHASE = 0;
  l.classify(ITOBJ, IPHASE);
  EXPECT_EQ(l.candidates(), (std::vector<int>{4, 5, 6, 7}));
  EXPECT_EQ(l.NBIN, 2);
  EXPECT_EQ(l.MBNDIN[0], 5);
  EXPECT_EQ(l.MBNDIN[1], 6);
  EXPECT_EQ(l.NBEQ, 2);
  EXPECT_EQ(l.MBNDEQ[0], 2);
  EXPECT_EQ(l.MBNDEQ[1], 3);
  EXPECT_EQ(ITOBJ, 0);
  EXPECT_EQ(IPHASE, 0);
  EXPECT_EQ(l.MGRGIN[4], -7);  // nothing written past the lists
}

TEST_F(GrgClassifyTest, TiesBetweenAnInequalityAndAnEqualityGoToTheEquality) {
  for (double equality : {2.0, -2.0}) {
    Lists l(1, 2);
    l.f(2) = equality;
    l.f(3) = 2.0;
    l.f(4) = 1.0;
    int ITOBJ = 0, IPHASE = 0;
    l.classify(ITOBJ, IPHASE);
    EXPECT_EQ(ITOBJ, 2);
    EXPECT_EQ(IPHASE, equality > 0 ? 2 : 3);
    EXPECT_EQ(l.f(2), 2.0);  // phase 3 stores the negated value
    EXPECT_EQ(l.NCAND, 0);
    EXPECT_EQ(l.NBEQ, 0);
  }
  // Among violated inequalities the first of equal values wins; a strictly larger inequality beats the equality.
  Lists l(1, 3);
  l.f(2) = -2.0;
  l.f(3) = 2.5;
  l.f(4) = 3.0;
  l.f(5) = 3.0;
  int ITOBJ = 0, IPHASE = 0;
  l.classify(ITOBJ, IPHASE);
  EXPECT_EQ(ITOBJ, 4);
  EXPECT_EQ(IPHASE, 1);
  EXPECT_EQ(l.f(2), -2.0);
}

TEST_F(GrgClassifyTest, TemporaryObjectiveIsKeptWhileViolatedAndFlipsSignWhenAnEqualityOvershoots) {
  Lists l(2, 1);
  // Inequality 4 is the temporary objective; a worse equality does not take its place while 4 is violated.
  l.f(2) = 5.0;
  l.f(4) = 0.5;
  int ITOBJ = 4, IPHASE = 1;
  l.classify(ITOBJ, IPHASE);
  EXPECT_EQ(ITOBJ, 4);
  EXPECT_EQ(IPHASE, 1);
  // Once 4 is satisfied the worst remaining violation is chosen.
  l.f(4) = 0.0;
  l.classify(ITOBJ, IPHASE);
  EXPECT_EQ(ITOBJ, 2);
  EXPECT_EQ(IPHASE, 2);
  // Equality 2 overshoots zero: phase 2 -> 3 and the stored value is negated back to positive.
  l.f(2) = -0.3;
  l.f(3) = 4.0;
  l.classify(ITOBJ, IPHASE);
  EXPECT_EQ(ITOBJ, 2);
  EXPECT_EQ(IPHASE, 3);
  EXPECT_EQ(l.f(2), 0.3);
  // Stored negated value overshoots again (real value +0.2, stored -0.2): back to phase 2, stored +0.2.
  l.f(2) = -0.2;
  l.classify(ITOBJ, IPHASE);
  EXPECT_EQ(IPHASE, 2);
  EXPECT_EQ(l.f(2), 0.2);
  // Everything satisfied while in phase 3: the stored value is negated back and the phase becomes 0.
  IPHASE = 3;
  l.f(2) = 0.0005;
  l.f(3) = 0.0;
  l.classify(ITOBJ, IPHASE);
  EXPECT_EQ(IPHASE, 0);
  EXPECT_EQ(l.f(2), -0.0005);
}

// 30 inequalities: 4 binding, 20 inactive, 6 violated; fraction 0.5 keeps the 4 binding and the 10 inactive ones
// with the largest values.
TEST_F(GrgClassifyTest, CandidateCutKeepsBindingFirstThenTheLargestInactive) {
  Lists l(0, 30);
  std::vector<int> binding, inactive;
  for (int k = 0; k < 30; ++k) {
    const int j = 2 + k;
    if (k % 5 == 0 && binding.size() < 4) {
      l.f(j) = 0.0001 * k / 10.0;
      binding.push_back(j);
    } else if (k % 5 == 1 && k < 30) {
      l.f(j) = 1.0 + k;  // violated
    } else {
      l.f(j) = -0.01 * (k + 1) * ((k % 2) ? 1.0 : 2.0);
      inactive.push_back(j);
    }
  }
  ASSERT_EQ(binding.size(), 4u);
  ASSERT_EQ(inactive.size(), 20u);
  settings.constraintFraction = 0.5;
  int ITOBJ = 0, IPHASE = 0;
  l.classify(ITOBJ, IPHASE);
  EXPECT_EQ(IPHASE, 1);
  EXPECT_EQ(l.NBIN, 4);
  ASSERT_EQ(l.NCAND, 14);
  std::vector<int> expected = inactive;
  std::sort(expected.begin(), expected.end(), [&](int a, int b) { return l.f(a) > l.f(b); });
  for (int k = 0; k < 4; ++k) EXPECT_EQ(std::count(binding.begin(), binding.end(), l.MGRGIN[k]), 1);
  for (int k = 0; k < 3; ++k) EXPECT_GE(l.f(l.MGRGIN[k]), l.f(l.MGRGIN[k + 1]));
  for (int k = 0; k < 10; ++k) EXPECT_EQ(l.MGRGIN[4 + k], expected[k]) << k;

  // Fraction above 0.99, or fewer than 26 inequalities: no cut, list order kept.
  for (double fraction : {1.0, 0.995}) {
    settings.constraintFraction = fraction;
    l.classify(ITOBJ, IPHASE);
    EXPECT_EQ(l.NCAND, 24);
    EXPECT_TRUE(std::is_sorted(l.MGRGIN.begin(), l.MGRGIN.begin() + 24));
  }
  Lists small(0, 25);
  for (int j = 2; j <= 26; ++j) small.f(j) = -1.0 * j;
  settings.constraintFraction = 0.5;
  small.classify(ITOBJ = 0, IPHASE = 0);
  EXPECT_EQ(small.NCAND, 25);
  EXPECT_EQ(small.MGRGIN[0], 2);
}

// The main iteration's binding list has room for min(nIneq, NDV) entries: extra binding inequalities stay
// candidates but are not listed as binding, and nothing is written past the list.
TEST_F(GrgClassifyTest, MoreBindingInequalitiesThanTheListHoldsAreCappedNotOverwritten) {
  std::vector<int> ineq{2, 3, 4, 5};
  std::vector<double> DF{0.0, 0.0, -0.5, 0.0, 0.0};
  std::vector<int> MGRGIN(4, 0), MBNDIN{-7, -7, -9}, MBNDEQ(1, 0);
  grg::ConstraintClasses classes{Vec<int>(MGRGIN.data(), 4), Vec<int>(MBNDIN.data(), 2), Vec<int>(MBNDEQ.data(), 0)};
  int temp = 0, IPHASE = 0;
  grg::classifyConstraints(Vec<const int>(ineq.data(), 4), Vec<const int>(nullptr, 0), Vec<double>(DF.data(), 5),
                           classes, temp, IPHASE);
  EXPECT_EQ(classes.NBIN, 2);
  EXPECT_EQ(MBNDIN, (std::vector<int>{2, 4, -9}));
  EXPECT_EQ(classes.NCAND, 4);
  EXPECT_EQ(MGRGIN, (std::vector<int>{2, 3, 4, 5}));
}

}  // namespace
}  // namespace korvex::testing
