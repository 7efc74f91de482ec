// The SQP iteration's printed lines at print levels 2 and 3, character for character.
#include <string>
#include <vector>

#include "entry/bridge.h"
#include "korvex/korvex.h"
#include "support/korvex_test.h"

namespace korvex {
namespace {

class SqpOutputTest : public korvex::testing::KorvexTest {
 protected:
  // The driver keeps the latest callback; forget ours so that later tests start as a fresh process would.
  void TearDown() override {
    bridge.callback = nullptr;
    bridge.userData = nullptr;
    KorvexTest::TearDown();
  }
};

// (x - 0.25)^2 from x = 0 on [-1, 1]: forward-difference gradient -0.4999, B = 0.4999, d = 1; the full step is
// rejected (merit 0.5625 > 0.0625) and the interpolated step 0.24998 accepted.
void parabola(void*, const double* x, double* obj, double*, double*) { *obj = (x[0] - 0.25) * (x[0] - 0.25); }

// x1 + x2 subject to x1 = 0.5 and x1^2 + x2^2 <= 1, from the origin.
void disc(void*, const double* x, double* obj, double* eq, double* ineq) {
  *obj = x[0] + x[1];
  eq[0] = x[0] - 0.5;
  ineq[0] = x[0] * x[0] + x[1] * x[1] - 1.0;
}

TEST_F(SqpOutputTest, LevelThreeDumpsEveryVectorOfTheIteration) {
  double x[1] = {0.0}, lower[1] = {-1.0}, upper[1] = {1.0}, f[1];
  KVW_set_print(3);
  EXPECT_EQ(KVW_sqp(1, 1, x, lower, upper, 0, 0, parabola, nullptr, f), KVW_SQP_ITERATION_LIMIT);
  const std::vector<std::string> expected{
      " Starting Variable Values",
      "  0.00000E+00",
      " Starting Function Values",
      "  6.25000E-02",
      " Dvdel",
      "  0.00000E+00",
      " Gradel",
      "  0.00000E+00",
      " Gradd: Ineqs First, Then Eqs, Then Obj",
      "  -4.99900E-01",
      " Hessian",
      "   4.99900E-01",
      " Search Direction",
      "  1.00000E+00",
      " Lagrange Multipliers",
      "  0.00000E+00  0.00000E+00",
      "  Dderiv=   -0.4999E+00     Istopp=  0",
      "  Initial Penalty=     0.6250E-01",
      " Variable Values",
      "  1.00000E+00",
      " Function Values",
      "  5.62500E-01",
      "  Step Length=   0.1000E+01     Penalty=   0.5625E+00",
      " xmu",
      "",
      "  Pender=    -0.4999E+00 Astar=     0.2500E+00                              ",
      " Variable Values",
      "  2.49975E-01",
      " Function Values",
      "  6.25125E-10",
      "  Step Length=   0.2500E+00     Penalty=   0.6251E-09",
  };
  EXPECT_EQ(lines(), expected);
  // Stated lengths (without PRTMES's leading blank): Dderiv 37, Initial Penalty 32, Step Length 52, Pender 75.
  EXPECT_EQ(expected[16].size(), 38u);
  EXPECT_EQ(expected[17].size(), 33u);
  EXPECT_EQ(expected[22].size(), 53u);
  EXPECT_EQ(expected[25].size(), 76u);
}

TEST_F(SqpOutputTest, LevelTwoShowsDirectionsClippingAndPenalties) {
  double x[2] = {0.0, 0.0}, lower[2] = {-1.0, -1.0}, upper[2] = {1.0, 1.0}, f[3];
  KVW_set_print(2);
  EXPECT_EQ(KVW_sqp(2, 2, x, lower, upper, 1, 1, disc, nullptr, f), KVW_SQP_ITERATION_LIMIT);
  const std::vector<std::string> expected{
      " Search Direction",
      "  5.00000E-01 -1.00000E+00",
      " Clipping Search Vector",
      "  Initial Penalty=     0.7500E+00",
      "  Step Length=   0.1000E+01     Penalty=  -0.3680E+00",
      " Search Direction",
      "  5.27864E-02  2.63976E-02",
      "  Initial Penalty=    -0.3645E+00",
      "  Step Length=   0.1000E+01     Penalty=  -0.3660E+00",
  };
  EXPECT_EQ(lines(), expected);

  // Level 1 keeps only the line-search warning, which this run never needs.
  clearLines();
  KVW_set_print(1);
  x[0] = x[1] = 0.0;
  KVW_sqp(2, 2, x, lower, upper, 1, 1, disc, nullptr, f);
  EXPECT_TRUE(lines().empty());
}

// Minimise x subject to x >= 2 on [-1, 1]: every linearisation is inconsistent with the step bounds.
void outOfReach(void*, const double* x, double* obj, double*, double* ineq) {
  *obj = x[0];
  ineq[0] = 2.0 - x[0];
}

// The lines that follow the n-th occurrence (1-based) of a label.
std::string after(const std::vector<std::string>& lines, const std::string& label, int occurrence) {
  for (size_t k = 0; k + 1 < lines.size(); ++k) {
    if (lines[k] == label && --occurrence == 0) return lines[k + 1];
  }
  return "<missing>";
}

TEST_F(SqpOutputTest, ReformulationAddsThePenaltyGradientAndTheNextIterationRestartsTheHessian) {
  double x[1] = {0.0}, lower[1] = {-1.0}, upper[1] = {1.0}, f[2];
  KVW_set_print(3);
  EXPECT_EQ(KVW_sqp(2, 1, x, lower, upper, 0, 1, outOfReach, nullptr, f), KVW_SQP_ITERATION_LIMIT);
  // Gobj + 2*xmu*grad(g)*g with xmu = 0.01 (single precision), grad(g) = -1, g = 2: 1 - 0.04.
  EXPECT_EQ(after(lines(), " No solution to QP problem, Reformulating", 1), " Gobj");
  EXPECT_EQ(after(lines(), " Gobj", 1), "  9.60000E-01");
  EXPECT_EQ(after(lines(), " Search Direction", 1), " -9.60000E-01");
  // Second iteration: weight halved to 0.005 (no constraint multiplier), g = 2.96 at x = -0.96.
  EXPECT_EQ(after(lines(), " Gobj", 2), "  9.70400E-01");
  // The reformulation asked for a fresh Hessian: h*I with h = |Gobj| = 1 again, and no step was recorded.
  EXPECT_EQ(after(lines(), " Hessian", 2), "   1.00000E+00");
  EXPECT_EQ(after(lines(), " Dvdel", 2), "  0.00000E+00");
  EXPECT_EQ(x[0], -1.0);
}

}  // namespace
}  // namespace korvex
