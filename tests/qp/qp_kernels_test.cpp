// The QP building blocks through their exported routines: row numbering, the tie-breaks of the row choice and the
// step length, and the two internal failures (the pivot test is the solver's, at exactly tinyTol).
#include <string>
#include <vector>

#include "entry/settings.h"
#include "korvex/routines/qp.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using QpKernels = KorvexTest;
using Vector = std::vector<double>;

TEST_F(QpKernels, RowsAreGeneralThenBoundsUpperFirstThenMirrors) {
  // Bound types 1, 3, 2, 0; row 1 an inequality, row 2 an equality; MTOT = 2*2 + 4 - 1 = 7.
  int n = 4, nc = 2, nineq = 1, nb = 4;
  const Vector a = {1, 2, 3, 4, -1, 0, 2, 5}, bc = {10, -3}, xl = {-1, -2, -3, -4}, xu = {1, 2, 3, 4};
  const Vector x = {0.5, 1.5, 2.5, 3.5};
  const std::vector<int> itype = {1, 3, 2, 0};
  Vector c(8, 99.0);
  QPSCON(&nc, &nineq, &nb, &n, a.data(), &n, bc.data(), itype.data(), x.data(), xl.data(), xu.data(), c.data());
  EXPECT_EQ(c, (Vector{15, 25, -0.5, -1.5, -0.5, -5.5, -25, 99}));
  const double grads[8][4] = {{1, 2, 3, 4}, {-1, 0, 2, 5}, {1, 0, 0, 0}, {-1, 0, 0, 0},
                              {0, 1, 0, 0}, {0, 0, -1, 0}, {1, 0, -2, -5}, {0, 0, 0, 0}};
  for (int j = 1; j <= 8; ++j) {  // row 8 does not exist
    for (int i = 1; i <= 4; ++i) {
      double value = 99;
      QPSGRA(&j, &i, &value, &n, &nc, &nineq, &nb, a.data(), &n, itype.data());
      EXPECT_EQ(value, grads[j - 1][i - 1]) << "row " << j << " variable " << i;
    }
  }
  // NB smaller than the bound types give: only MTOT = NC + NB = 3 values are written (both rows inequalities).
  nb = 1;
  nineq = 2;
  c = Vector(8, 99.0);
  QPSCON(&nc, &nineq, &nb, &n, a.data(), &n, bc.data(), itype.data(), x.data(), xl.data(), xu.data(), c.data());
  EXPECT_EQ(c, (Vector{15, 25, -0.5, 99, 99, 99, 99, 99}));
}

TEST_F(QpKernels, RowChoiceSkipsActiveRowsAndTwinsAndKeepsTheFirstOfEqualViolations) {
  // Row 1 inequality, rows 2 and 3 equalities with mirrors 6 and 7, bound rows 4 and 5.
  int nc = 3, nineq = 1, nb = 2, kv = -1, nact = 0;
  const double tiny = settings.tinyTol;
  const auto choose = [&](Vector c, std::vector<int> iact) {
    nact = static_cast<int>(iact.size());
    QPSVIO(&nc, &nineq, &nb, c.data(), &nact, iact.data(), &kv);
    return kv;
  };
  EXPECT_EQ(choose({tiny, 0.5, -0.5, 2, 2, -0.5, 0.5}, {}), 4);       // tie of rows 4 and 5
  EXPECT_EQ(choose({tiny, 0.5, -0.5, 2, 2, -0.5, 0.5}, {4, 5}), 2);   // tie of rows 2 and 7
  EXPECT_EQ(choose({0, 0.5, 1.0, 2, 0.8, -0.5, 0.5}, {4, 7}), 5);     // row 3 skipped: its mirror is active
  EXPECT_EQ(choose({0, 0, 0, 0, 0, 3, 1}, {2, 5}), 7);                // mirror 6 skipped: row 2 is active
  EXPECT_EQ(choose({tiny, 0, 0, 0, 0, 0, 0}, {}), 0);                 // exactly tinyTol is no violation
}

TEST_F(QpKernels, StepLengthTieBreaksAndTheMultiplierStep) {
  // n = 2, one bound row x1 - XU1 (value 2 or 5) to add, Z = -e1, so the full step is C(1).
  int n = 2, nc = 0, nineq = 0, nb = 1, kv = 1, idx = -9, kind = -9, infeas = 0;
  const std::vector<int> itype = {3, 0};
  const Vector z = {-1.0, 0.0};
  double t = 0;
  const auto length = [&](double c, double znorm, Vector xlag, Vector r) {
    int nact = static_cast<int>(xlag.size());
    QPSLEN(&n, &nc, &nineq, &nb, nullptr, &n, itype.data(), &c, &kv, &nact, &znorm, z.data(), xlag.data(), r.data(),
           &t, &idx, &kind, &infeas);
  };
  length(5.0, 1.0, {1, 3}, {-1, -3});  // both multipliers reach zero at t = 1: the later one is dropped
  EXPECT_TRUE(t == 1.0 && idx == 2 && kind == 2);
  length(2.0, 1.0, {2, 9}, {-1, 0});  // partial and full step both 2: the row is added
  EXPECT_TRUE(t == 2.0 && idx == 3 && kind == 3);
  length(2.0, 1.0, {1e-9}, {-settings.tinyTol});  // a rate of exactly -tinyTol limits nothing
  EXPECT_TRUE(t == 2.0 && idx == 2 && kind == 3);
  length(2.0, settings.tinyTol, {1, 3}, {-1, -3});  // |Z| = tinyTol: only a multiplier step
  EXPECT_TRUE(idx == 2 && kind == 1 && infeas == 0);
  kind = -9;
  length(2.0, settings.tinyTol, {1, 3}, {1, 0});  // ... and without a negative rate no step at all
  EXPECT_TRUE(idx == 0 && infeas == -1 && kind == -9);

  // A multiplier step (KIND 1) then a real step (KIND 2): the multipliers move twice, x only once.
  int nact = 2;
  Vector xlag = {1, 2}, r = {-1, 0.5}, x = {3, 4}, zz = {1, 1};
  double uplus = 0.25, step = 0.5;
  for (kind = 1; kind <= 2; ++kind) QPSSTP(&nact, xlag.data(), &uplus, r.data(), &n, x.data(), zz.data(), &step, &kind);
  EXPECT_TRUE(xlag == (Vector{0.5 - 0.5, 2.25 + 0.25}) && uplus == 1.25 && x == (Vector{3.5, 4.5}));
}

// n = 3, H = diag(1, 2, 4) (its own factor), general inequalities (1,1,0), (0,1,1), (1,0,1), both bounds on x3
// (rows 4: +e3 and 5: -e3).
struct ActiveSet {
  int n = 3, nc = 3, nineq = 3, nb = 2, nact = 0, ierr = 0;
  Vector a = {1, 1, 0, 0, 1, 1, 1, 0, 1}, hfac = {1, 0, 2, 0, 0, 4}, xlag = Vector(3), actmat = Vector(6);
  Vector hinvn = Vector(9);
  std::vector<int> itype = {0, 0, 1}, iact = std::vector<int>(3);
  void change(int k, int kv) {
    const double uplus = 0.5;
    QPSDOA(&nact, &n, &nc, &nineq, &nb, a.data(), &n, itype.data(), iact.data(), xlag.data(), actmat.data(),
           hinvn.data(), &n, hfac.data(), &k, &kv, &uplus, &ierr);
  }
  void add(int kv) { change(nact + 1, kv); }
};

TEST_F(QpKernels, InternalFailuresPrintTheirMessageWhateverThePrintLevel) {
  ActiveSet full;
  for (const int row : {1, 2, 4, 5}) full.add(row);  // a fourth row on three variables
  EXPECT_TRUE(full.ierr == -1 && full.nact == 3);
  EXPECT_EQ(lines(), Lines{" ERROR: TOO MANY ACTIVE CONSTRAINTS, SHOULD NOT HAPPEN"});
  full.change(1, 0);  // dropping the first active row moves the others down, in order
  EXPECT_TRUE(full.nact == 2 && full.iact[0] == 2 && full.iact[1] == 4);
  clearLines();
  ActiveSet dependent;
  dependent.add(4);
  dependent.add(5);  // -e3 after +e3: M is singular
  EXPECT_TRUE(dependent.ierr == -1 && dependent.nact == 2);
  EXPECT_EQ(lines(), Lines{" ERROR: NONPOSITIVE GRADGT*BINV*GRADV MATRIX, SHOULD NOT HAPPEN"});
  dependent.ierr = 0;  // a position below 1 names no active row and changes nothing
  dependent.change(0, 1);
  EXPECT_TRUE(dependent.nact == 2 && dependent.ierr == 0);
}

}  // namespace
}  // namespace korvex::testing
