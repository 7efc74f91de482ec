// The merit function, its line search, the interpolation step and the Hessian initialisation of the SQP method.
#include <cmath>
#include <cstring>
#include <tuple>
#include <vector>

#include "entry/bridge.h"
#include "entry/settings.h"
#include "korvex/routines/sqp.h"
#include "sqp/sqp_internal.h"
#include "support/korvex_test.h"

namespace korvex::sqp {
namespace {

// One variable on [-1, 1] evaluated through the real analysis bridge (identity scaling). Functions in the driver's
// layout: objective, one equality, one inequality; the SQP order puts the inequality first.
struct Problem {
  std::vector<double> seen;  // x of every analysis call
  double (*objective)(double) = nullptr;
  double eq = 0.0, ineq = -1.0;  // constant constraint values
};

void analysis(void* user, const double* x, double* obj, double* eq, double* ineq) {
  auto* p = static_cast<Problem*>(user);
  p->seen.push_back(x[0]);
  *obj = p->objective(x[0]);
  eq[0] = p->eq;
  ineq[0] = p->ineq;
}

double linear(double x) { return x; }
double steep(double x) { return 7.9999999 * x; }

class SqpMeritTest : public korvex::testing::KorvexTest {
 protected:
  void SetUp() override {
    KorvexTest::SetUp();
    bridge = {analysis, &problem, 1};
    bridge.lower[0] = -1.0;
    bridge.upper[0] = 1.0;
  }
  // Base point x0 with its function and constraint values, and the search vector.
  void startAt(double x0, double dir, double (*objective)(double) = linear) {
    problem.objective = objective;
    base[0] = x[0] = x0;
    d[0] = dir;
    f[0] = objective(x0);
    f[1] = problem.eq;
    f[2] = problem.ineq;
    refreshConstraintValues(s);
    problem.seen.clear();
  }

  Problem problem;
  double x[1] = {}, base[1] = {}, d[1] = {}, gradd[3] = {}, con[2] = {}, rowMult[4] = {}, xmu[4] = {};
  double lower[1] = {-1.0}, upper[1] = {1.0}, f[3] = {};
  int ineqList[1] = {3}, eqList[1] = {2};
  MeritSearch s{.n = 1, .nIneq = 1, .nEq = 1, .x = {x, 1}, .basePoint = {base, 1}, .d = {d, 1},
                .gradd = {gradd, 1, 3}, .conValues = {con, 2}, .rowMult = {rowMult, 4}, .xmu = {xmu, 4},
                .lower = {lower, 1}, .upper = {upper, 1}, .f = {f, 3}, .ineqList = {ineqList, 1},
                .eqList = {eqList, 1}};
};

// An inequality at zero adds nothing to the merit or its slope; an equality adds its magnitude times its weight,
// and its slope whatever its sign.
TEST_F(SqpMeritTest, MeritAndSlopeCountOnlyViolatedInequalities) {
  problem.eq = -0.5;
  problem.ineq = 0.0;
  startAt(0.0, 0.5);
  xmu[0] = 2.0;
  xmu[1] = 4.0;
  gradd[0] = 10.0;  // inequality column
  gradd[1] = 3.0;   // equality column
  s.dderiv = 0.5;
  EXPECT_DOUBLE_EQ(meritValue(s), 4.0 * 0.5);
  EXPECT_DOUBLE_EQ(meritSlope(s), 0.5 + 4.0 * 1.5);
}

// The slope with zero to thirteen equalities (their derivatives formed eight and four at a time) and two
// inequalities, one of them violated: bit for bit the sum of the weighted column products, column after column.
TEST_F(SqpMeritTest, SlopeEqualsTheSumColumnByColumnBitForBit) {
  constexpr int kN = 3, kIneq = 2;
  for (int nEq = 0; nEq <= 13; ++nEq) {
    const int nCon = kIneq + nEq;
    std::vector<double> g(static_cast<size_t>(kN) * (nCon + 1)), values(nCon), weights(nCon), dir{0.7, -1.3, 1e-3};
    for (size_t e = 0; e < g.size(); ++e) g[e] = std::sin(0.3 + 1.7 * static_cast<double>(e)) * 1e2;
    for (int k = 0; k < nCon; ++k) {
      values[k] = k == 0 ? 0.25 : -0.5 + 0.1 * k;
      weights[k] = 1.0 / (3.0 + k);
    }
    MeritSearch m;
    m.n = kN, m.nIneq = kIneq, m.nEq = nEq, m.dderiv = -0.125;
    m.d = {dir.data(), kN};
    m.gradd = {g.data(), kN, nCon + 1};
    m.conValues = {values.data(), nCon};
    m.xmu = {weights.data(), nCon};
    double expected = m.dderiv;
    for (int k = 0; k < nCon; ++k) {
      if (k >= kIneq || values[k] > 0.0) {
        double sum = 0.0;
        for (int i = 0; i < kN; ++i) sum += g[i + k * kN] * dir[i];
        expected += weights[k] * sum;
      }
    }
    const double slope = meritSlope(m);
    EXPECT_EQ(std::memcmp(&slope, &expected, sizeof slope), 0) << nEq << " equalities";
  }
}

TEST_F(SqpMeritTest, LineSearchOutcomesAndTrialSteps) {
  struct Case {
    const char* why;
    double x0, dir, dderiv;
    double (*objective)(double);
    SearchOutcome outcome;
    std::vector<double> trials;  // x of the analysis calls, in order
    double prev1 = 1e30, prev2 = -1e30;  // merits of the two earlier iterations
  };
  const double third = 1.0 / 3.0;
  const std::vector<Case> cases{
      {"merit grows: parabola minimum a/3 each time, then back to x0", 0.0, 0.5, -1.0, linear, SearchOutcome::Failed,
       {0.5, 0.5 * third, 0.5 * third * third, 0.5 * std::pow(third, 3), 0.5 * std::pow(third, 4), 0.0}},
      {"minimum beyond the step: 0.9 of it", 0.0, 0.5, 1.0, linear, SearchOutcome::Failed, {0.5, 0.45}},
      {"exact slope of a line, flat parabola: 0.1 of the step", 0.0, 0.5, 0.5, linear, SearchOutcome::Failed,
       {0.5, 0.05}},
      {"interpolated 0.100000001 of the step, below 0.1 in single precision: 0.1 of it", 0.0, 0.5, -1.0, steep,
       SearchOutcome::Failed, {0.5, 0.05}},
      {"merit within feasTol of both earlier ones", 0.5, -0.1, 0.0, linear, SearchOutcome::MeritStalled, {}, 0.5009,
       0.4991},
      {"a change of exactly feasTol against the previous merit goes on", 0.0, -0.1, -0.1, linear,
       SearchOutcome::Accepted, {-0.1}, 0.001, -0.0009},
      {"... and against the one before it", 0.0, -0.1, -0.1, linear, SearchOutcome::Accepted, {-0.1}, -0.0009, 0.001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    startAt(c.x0, c.dir, c.objective);
    s.dderiv = c.dderiv;
    s.meritPrev1 = c.prev1;
    s.meritPrev2 = c.prev2;
    settings.print = 1;
    clearLines();
    EXPECT_EQ(meritLineSearch(defaultContext(), s), c.outcome);
    ASSERT_GE(problem.seen.size(), c.trials.size());
    for (size_t t = 0; t < c.trials.size(); ++t) EXPECT_NEAR(problem.seen[t], c.trials[t], 1e-15) << t;
    const bool failed = c.outcome == SearchOutcome::Failed;
    EXPECT_EQ(lines(), failed ? testing::Lines{" Warning: Line Search Failed"} : testing::Lines{});
    EXPECT_TRUE(c.outcome != SearchOutcome::Accepted || x[0] == c.trials.back());
    EXPECT_TRUE(!failed || (x[0] == c.x0 && f[0] == c.objective(c.x0) && problem.seen.back() == c.x0));
    if (c.outcome != SearchOutcome::MeritStalled) {  // the merit at x0 becomes the previous one
      EXPECT_TRUE(s.meritPrev1 != c.prev1 && s.meritPrev2 == c.prev1);
    }
  }
}

TEST_F(SqpMeritTest, InterpolationStepAndHessianStart) {
  const auto pr2 = [](double a, double b, double fa, double fb, double slope) {
    double t = -1.0;
    SQPPR2(&a, &b, &fa, &fb, &slope, &t);
    return t;
  };
  EXPECT_DOUBLE_EQ(pr2(0.0, 1.0, 0.0625, 0.5625, -0.5), 0.25);  // (t - 0.25)^2 from a = 0
  EXPECT_DOUBLE_EQ(pr2(0.5, 0.8, 0.25, 0.04, -1.0), 0.8);       // (t - 1)^2 from a = 0.5: cut at b
  EXPECT_EQ(pr2(0.0, 1.0, 0.0, 2.0, 1.0), 0.0);                 // minimum below 0
  EXPECT_EQ(pr2(0.0, 1.0, 0.0, -1.0, -1.0), 0.0);               // no curvature
  EXPECT_EQ(pr2(0.0, 2.0, 0.0, 0.0, -2.0 * settings.tinyTol), 0.0);  // |c| exactly tinyTol still counts as flat

  // A mean absolute gradient below 0.001 starts the Hessian at 0.001 I.
  const int n = 3;
  double tiny[3] = {1e-5, 0.0, -1e-5}, b[9];
  SQPHIN(&n, tiny, b);
  EXPECT_TRUE(b[0] == 0.001 && b[8] == 0.001);
}

}  // namespace
}  // namespace korvex::sqp
