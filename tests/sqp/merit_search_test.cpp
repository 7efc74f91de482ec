// The merit function, its line search, the interpolation step and the Hessian initialisation of the SQP method.
#include <cmath>
#include <vector>

#include "entry/bridge.h"
#include "entry/settings.h"
#include "korvex/routines/sqp.h"
#include "sqp/sqp_internal.h"
#include "support/korvex_test.h"

namespace korvex::sqp {
namespace {

// A one- or two-variable problem evaluated through the real analysis bridge with identity scaling
// (bounds -1 and 1), so trial points reach the callback unchanged. Functions: objective, one equality,
// one inequality (driver layout); the SQP order puts the inequality first.
struct Problem {
  std::vector<double> seen;  // x(1) of every analysis call
  double (*objective)(double) = nullptr;
  double eq = 0.0;           // constant equality value
  double ineq = 0.0;         // constant inequality value
};

void analysis(void* user, const double* x, double* obj, double* eq, double* ineq) {
  auto* p = static_cast<Problem*>(user);
  p->seen.push_back(x[0]);
  *obj = p->objective(x[0]);
  eq[0] = p->eq;
  ineq[0] = p->ineq;
}

class SqpMeritTest : public korvex::testing::KorvexTest {
 protected:
  void SetUp() override {
    KorvexTest::SetUp();
    bridge.callback = analysis;
    bridge.userData = &problem;
    bridge.nEq = 1;
    for (int i = 0; i < 2; ++i) {
      bridge.lower[i] = -1.0;
      bridge.upper[i] = 1.0;
    }
    s.n = 1;
    s.nIneq = 1;
    s.nEq = 1;
    s.objIndex = 1;
    s.x = Vec<double>(x, 1);
    s.basePoint = Vec<double>(base, 1);
    s.d = Vec<double>(d, 1);
    s.gradd = Mat<double>(gradd, 1, 3);
    s.conValues = Vec<double>(con, 2);
    s.rowMult = Vec<double>(rowMult, 4);
    s.xmu = Vec<double>(xmu, 4);
    s.lower = Vec<double>(lower, 1);
    s.upper = Vec<double>(upper, 1);
    s.f = Vec<double>(f, 3);
    s.ineqList = Vec<int>(ineqList, 1);
    s.eqList = Vec<int>(eqList, 1);
    s.meritPrev1 = settings.bigValue;
    s.meritPrev2 = -settings.bigValue;
  }
  void TearDown() override {
    bridge.callback = nullptr;
    KorvexTest::TearDown();
  }

  // Base point x0 with its function values and constraint values.
  void startAt(double x0, double dir) {
    base[0] = x[0] = x0;
    d[0] = dir;
    f[0] = problem.objective(x0);
    f[1] = problem.eq;
    f[2] = problem.ineq;
    refreshConstraintValues(s);
    problem.seen.clear();
  }

  Problem problem;
  MeritSearch s;
  double x[1] = {}, base[1] = {}, d[1] = {}, gradd[3] = {}, con[2] = {}, rowMult[4] = {}, xmu[4] = {};
  double lower[1] = {-1.0}, upper[1] = {1.0}, f[3] = {};
  int ineqList[1] = {3}, eqList[1] = {2};
};

double linear(double x) { return x; }
double quadratic(double x) { return (x - 0.3) * (x - 0.3); }

TEST_F(SqpMeritTest, PenaltyWeightsMeritAndSlopeFollowTheirFormulas) {
  problem.objective = linear;
  problem.eq = -0.5;   // an equality below zero counts with its magnitude
  problem.ineq = 0.25; // a violated inequality
  startAt(0.0, 1.0);
  EXPECT_EQ(con[0], 0.25);  // SQP order: inequality first
  EXPECT_EQ(con[1], -0.5);

  xmu[0] = 1.0;
  xmu[1] = 0.01;
  rowMult[0] = -3.0;  // |lambda| dominates
  rowMult[1] = 0.002; // (xmu + |lambda|)/2 dominates
  updatePenaltyWeights(s);
  EXPECT_EQ(xmu[0], 3.0);
  EXPECT_EQ(xmu[1], (0.01 + 0.002) * 0.5);

  xmu[0] = 2.0;
  xmu[1] = 4.0;
  EXPECT_DOUBLE_EQ(meritValue(s), 0.0 + 2.0 * 0.25 + 4.0 * 0.5);
  problem.ineq = -0.25;  // satisfied inequalities add nothing to the merit nor to its slope
  startAt(0.0, 1.0);
  EXPECT_DOUBLE_EQ(meritValue(s), 4.0 * 0.5);

  gradd[0] = 10.0;  // inequality column
  gradd[1] = 3.0;   // equality column
  gradd[2] = 1.0;   // objective column
  d[0] = 0.5;
  s.dderiv = 0.5;
  // The equality adds xmu * (gradient . d) even though its value is negative.
  EXPECT_DOUBLE_EQ(meritSlope(s), 0.5 + 4.0 * 1.5);
  problem.ineq = 0.25;
  startAt(0.0, 0.5);
  EXPECT_DOUBLE_EQ(meritSlope(s), 0.5 + 2.0 * 5.0 + 4.0 * 1.5);
}

TEST_F(SqpMeritTest, AcceptsTheFullStepWhenTheMeritDoesNotGrowAndPrintsTheProgressLines) {
  problem.objective = quadratic;
  problem.ineq = -1.0;
  startAt(-0.2, 0.5);  // full step lands on the minimum x = 0.3
  s.dderiv = -0.5;
  settings.print = 2;
  EXPECT_EQ(meritLineSearch(s), SearchOutcome::Accepted);
  EXPECT_EQ(problem.seen, std::vector<double>({0.3}));
  EXPECT_EQ(x[0], 0.3);
  EXPECT_EQ(f[0], 0.0);
  EXPECT_EQ(s.meritPrev1, 0.25);
  EXPECT_EQ(s.meritPrev2, settings.bigValue);
  ASSERT_EQ(lines().size(), 2u);
  EXPECT_EQ(lines()[0], "  Initial Penalty=     0.2500E+00");
  EXPECT_EQ(lines()[0].size(), 1u + 32u);
  EXPECT_EQ(lines()[1], "  Step Length=   0.1000E+01     Penalty=   0.0000E+00");
  EXPECT_EQ(lines()[1].size(), 1u + 52u);
}

TEST_F(SqpMeritTest, FailedSearchShrinksFiveTimesAndReturnsToTheBasePoint) {
  // The merit grows along d while the slope claims descent: every trial is rejected. The parabola through
  // phi(0) = 0 with slope -1 and phi(a) = a/2 has its minimum at a/3, inside the safeguards.
  problem.objective = linear;
  problem.ineq = -1.0;
  startAt(0.0, 0.5);
  s.dderiv = -1.0;
  settings.print = 1;
  EXPECT_EQ(meritLineSearch(s), SearchOutcome::Failed);
  ASSERT_EQ(problem.seen.size(), 6u);
  double alpha = 1.0;
  for (int t = 0; t < 5; ++t) {
    EXPECT_NEAR(problem.seen[static_cast<size_t>(t)], 0.5 * alpha, 1e-15) << "trial " << t + 1;
    alpha /= 3.0;
  }
  EXPECT_EQ(problem.seen[5], 0.0);
  EXPECT_EQ(x[0], 0.0);
  EXPECT_EQ(f[0], 0.0);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " Warning: Line Search Failed");
}

TEST_F(SqpMeritTest, SafeguardsCutTheStepToNineTenthsOrOneTenth) {
  // A positive slope with a smaller rise puts the parabola's minimum at or beyond the step: 0.9 * alpha.
  problem.objective = linear;
  problem.ineq = -1.0;
  startAt(0.0, 0.5);
  s.dderiv = 1.0;
  settings.print = 3;
  EXPECT_EQ(meritLineSearch(s), SearchOutcome::Failed);
  ASSERT_GE(problem.seen.size(), 2u);
  EXPECT_EQ(problem.seen[1], 0.5 * 0.9);
  EXPECT_TRUE(printed(" Pender=     0.1000E+01 Astar=     0.1000E+01"));
  for (const auto& line : lines()) {
    if (line.rfind("  Pender=", 0) == 0) {
      EXPECT_EQ(line.size(), 1u + 75u);
    }
  }
  EXPECT_TRUE(printed(" xmu"));
  EXPECT_TRUE(printed(" Variable Values"));
  EXPECT_TRUE(printed(" Function Values"));

  // The exact slope of a straight line makes the parabola flat (c = 0): Astar = 0, next step 0.1 * alpha.
  clearLines();
  s.meritPrev1 = settings.bigValue;
  startAt(0.0, 0.5);
  s.dderiv = 0.5;
  settings.print = 0;
  EXPECT_EQ(meritLineSearch(s), SearchOutcome::Failed);
  EXPECT_EQ(problem.seen[1], 0.5 * 0.1);
  EXPECT_TRUE(lines().empty());
}

TEST_F(SqpMeritTest, TrialPointsStayInsideTheBounds) {
  problem.objective = quadratic;
  problem.ineq = -1.0;
  startAt(0.9, 5.0);
  s.dderiv = -1.0;
  meritLineSearch(s);
  for (double seen : problem.seen) EXPECT_LE(seen, 1.0);
  EXPECT_EQ(problem.seen[0], 1.0);
}

TEST_F(SqpMeritTest, UnchangedMeritOverThreeIterationsStopsWithoutEvaluating) {
  problem.objective = linear;
  problem.ineq = -1.0;
  startAt(0.5, -0.1);
  settings.print = 3;
  s.meritPrev1 = 0.5 + 0.0009;
  s.meritPrev2 = 0.5 - 0.0009;
  EXPECT_EQ(meritLineSearch(s), SearchOutcome::MeritStalled);
  EXPECT_TRUE(problem.seen.empty());
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " TERMINATE: PENALTY NOT CHANGING");

  // A change of feasTol or more against either earlier merit continues the search.
  s.meritPrev2 = 0.5 - 0.001;
  settings.print = 0;
  EXPECT_EQ(meritLineSearch(s), SearchOutcome::Accepted);
  EXPECT_EQ(s.meritPrev2, 0.5 + 0.0009);
  EXPECT_EQ(s.meritPrev1, 0.5);
}

TEST_F(SqpMeritTest, InterpolationStepIsTheParabolaMinimumWithinTheInterval) {
  auto pr2 = [](double a, double b, double fa, double fb, double slope) {
    double t = -1.0;
    SQPPR2(&a, &b, &fa, &fb, &slope, &t);
    return t;
  };
  // Parabola (t - 0.25)^2 through a = 0 (value 1/16, slope -1/2) and b = 1 (value 9/16).
  EXPECT_DOUBLE_EQ(pr2(0.0, 1.0, 0.0625, 0.5625, -0.5), 0.25);
  // Shifted start point a = 0.5: parabola (t - 1)^2 seen from a, minimum at 1 which is cut at b = 0.8.
  EXPECT_DOUBLE_EQ(pr2(0.5, 0.8, 0.25, 0.04, -1.0), 0.8);
  // Minimum below 0 is cut at 0; a flat curvature term gives 0.
  EXPECT_EQ(pr2(0.0, 1.0, 0.0, 2.0, 1.0), 0.0);
  EXPECT_EQ(pr2(0.0, 1.0, 0.0, -1.0, -1.0), 0.0);
  // |c| exactly tinyTol still counts as flat.
  EXPECT_EQ(pr2(0.0, 1.0, 0.0, 1e-7, 0.0), 0.0);
}

TEST_F(SqpMeritTest, HessianStartsAsTheMeanGradientMagnitudeTimesIdentity) {
  const int n = 3;
  double gobj[3] = {3.0, -6.0, 0.0};
  double b[9];
  for (double& v : b) v = 7.0;
  SQPHIN(&n, gobj, b);
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 3; ++i) EXPECT_EQ(b[i + 3 * j], i == j ? 3.0 : 0.0);
  }
  double tiny[3] = {1e-5, 0.0, -1e-5};
  SQPHIN(&n, tiny, b);
  EXPECT_EQ(b[0], 0.001);
  EXPECT_EQ(b[8], 0.001);
}

}  // namespace
}  // namespace korvex::sqp
