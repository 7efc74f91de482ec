// The QP building blocks through their exported routines: row numbering, packed factors, the tie-breaks of the
// row choice and the step length, the step, and adding or dropping active rows.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "entry/settings.h"
#include "korvex/routines/qp.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

class QpKernels : public KorvexTest {};

// Four variables of bound types 1, 3, 2, 0; one inequality and one equality.
struct SmallRows {
  int n = 4, nc = 2, nineq = 1, nb = 4, lda = 4;
  std::vector<double> a = {1, 2, 3, 4, -1, 0, 2, 5};
  std::vector<double> bc = {10, -3};
  std::vector<int> itype = {1, 3, 2, 0};
  std::vector<double> xl = {-1, -2, -3, -4};
  std::vector<double> xu = {1, 2, 3, 4};
  double component(int j, int i) {
    double value = 99;
    QPSGRA(&j, &i, &value, &n, &nc, &nineq, &nb, a.data(), &lda, itype.data());
    return value;
  }
};

TEST_F(QpKernels, RowsAreGeneralThenBoundsUpperFirstThenMirrors) {
  SmallRows s;
  const std::vector<double> x = {0.5, 1.5, 2.5, 3.5};
  std::vector<double> c(8, 99.0);  // MTOT = 2*2 + 4 - 1 = 7, one guard element
  QPSCON(&s.nc, &s.nineq, &s.nb, &s.n, s.a.data(), &s.lda, s.bc.data(), s.itype.data(), x.data(), s.xl.data(),
         s.xu.data(), c.data());
  const double eq = -(-3.0) + (-0.5 + 0 + 5 + 17.5);
  const std::vector<double> expected = {-10 + 0.5 + 3 + 7.5 + 14, eq, 0.5 - 1, -1 - 0.5, 1.5 - 2, -3 - 2.5, -eq, 99};
  EXPECT_EQ(c, expected);
  // Gradients, row by row: general, upper x1, lower x1, upper x2, lower x3, mirror of row 2.
  const double grads[7][4] = {{1, 2, 3, 4}, {-1, 0, 2, 5}, {1, 0, 0, 0}, {-1, 0, 0, 0},
                              {0, 1, 0, 0}, {0, 0, -1, 0}, {1, 0, -2, -5}};
  for (int j = 1; j <= 7; ++j) {
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(s.component(j, i), grads[j - 1][i - 1]) << "row " << j << " var " << i;
  }
  // Outside the rows and variables the gradient is zero.
  EXPECT_EQ(s.component(0, 1), 0.0);
  EXPECT_EQ(s.component(8, 1), 0.0);
  EXPECT_EQ(s.component(1, 5), 0.0);
}

// Packed L D L' of a random symmetric positive definite matrix of order 6.
std::vector<double> packedSpd(std::mt19937& rng, int n, std::vector<double>& full) {
  std::uniform_real_distribution<double> u(-1, 1);
  std::vector<double> m(n * n);
  for (auto& v : m) v = u(rng);
  full.assign(n * n, 0.0);
  std::vector<double> packed;
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      double s = r == c ? 1.0 : 0.0;
      for (int k = 0; k < n; ++k) s += m[r * n + k] * m[c * n + k];
      full[r * n + c] = s;
      if (c <= r) packed.push_back(s);
    }
  }
  return packed;
}

TEST_F(QpKernels, FactorRowByRowAndSolve) {
  std::mt19937 rng(11);
  const int n = 6;
  std::vector<double> full;
  std::vector<double> whole = packedSpd(rng, n, full);
  std::vector<double> parts = whole;
  int istat = 5;
  int one = 1, three = 3, four = 4;
  QPSTRI(whole.data(), &n, &one, &istat);
  EXPECT_EQ(istat, 0);
  QPSTRI(parts.data(), &three, &one, &istat);
  QPSTRI(parts.data(), &n, &four, &istat);
  EXPECT_EQ(istat, 0);
  EXPECT_EQ(parts, whole);  // adding rows later gives the same factor bit for bit
  std::vector<double> v = {1, -2, 3, -4, 5, -6};
  const std::vector<double> b = v;
  QPSSOL(whole.data(), v.data(), &n);
  for (int r = 0; r < n; ++r) {
    double s = 0;
    for (int c = 0; c < n; ++c) s += full[r * n + c] * v[c];
    EXPECT_NEAR(s, b[r], 1e-12);
  }
}

TEST_F(QpKernels, PivotEqualToTinyTolIsAcceptedBelowItRejected) {
  const double tiny = settings.tinyTol;
  std::vector<double> f = {1.0, 0.0, tiny, 0.0, 0.0, 4.0};
  int istat = 5, n = 3, one = 1;
  QPSTRI(f.data(), &n, &one, &istat);
  EXPECT_EQ(istat, 0);
  f = {1.0, 0.0, std::nextafter(tiny, 0.0), 2.0, 1.0, 4.0};
  QPSTRI(f.data(), &n, &one, &istat);
  EXPECT_EQ(istat, -1);
  EXPECT_EQ(f[3], 2.0);  // the factorization stopped at row 2
  // QPSINI on the same kind of matrix leaves X alone; with n = 0 it succeeds and touches nothing.
  const std::vector<double> h = {1.0, 0.0, 0.0, -1.0};
  std::vector<double> hfac(3, 0.0), g = {1.0, 1.0}, x = {7.0, 7.0};
  int two = 2, zero = 0;
  QPSINI(&two, h.data(), &two, hfac.data(), g.data(), x.data(), &istat);
  EXPECT_EQ(istat, -1);
  EXPECT_EQ(x, (std::vector<double>{7.0, 7.0}));
  istat = 5;
  QPSINI(&zero, h.data(), &one, hfac.data(), g.data(), x.data(), &istat);
  EXPECT_EQ(istat, 0);
  EXPECT_EQ(x, (std::vector<double>{7.0, 7.0}));
  // Only the upper triangle of H is read: garbage below the diagonal changes nothing.
  const std::vector<double> hUpper = {2.0, 1e9, 1.0, 2.0};
  QPSINI(&two, hUpper.data(), &two, hfac.data(), g.data(), x.data(), &istat);
  EXPECT_EQ(istat, 0);
  EXPECT_DOUBLE_EQ(x[0], -1.0 / 3.0);
  EXPECT_DOUBLE_EQ(x[1], -1.0 / 3.0);
}

TEST_F(QpKernels, RowChoiceSkipsActiveRowsAndTwinsAndKeepsTheFirstOfEqualViolations) {
  // NC = 3 (row 1 inequality, rows 2, 3 equalities), NB = 2, mirrors 6 and 7.
  int nc = 3, nineq = 1, nb = 2, kv = -1;
  const double tiny = settings.tinyTol;
  std::vector<double> c = {tiny, 0.5, -0.5, 2.0, 2.0, -0.5, 0.5};
  std::vector<int> iact = {0, 0};
  int nact = 0;
  QPSVIO(&nc, &nineq, &nb, c.data(), &nact, iact.data(), &kv);
  EXPECT_EQ(kv, 4);  // rows 4 and 5 tie: the first wins
  iact = {4, 5};
  nact = 2;
  QPSVIO(&nc, &nineq, &nb, c.data(), &nact, iact.data(), &kv);
  EXPECT_EQ(kv, 2);  // rows 2 and 7 tie at 0.5
  iact = {4, 7};  // mirror of row 3 active: row 3's own row is skipped even when most violated
  c[2] = 1.0;
  c[4] = 0.8;
  QPSVIO(&nc, &nineq, &nb, c.data(), &nact, iact.data(), &kv);
  EXPECT_EQ(kv, 5);
  iact = {2, 5};  // row 2 active: its mirror 6 is skipped
  c = {0, 0, 0, 0, 0, 3.0, 1.0};
  QPSVIO(&nc, &nineq, &nb, c.data(), &nact, iact.data(), &kv);
  EXPECT_EQ(kv, 7);
  // A violation of exactly tinyTol is none.
  c = {tiny, 0, 0, 0, 0, 0, 0};
  nact = 0;
  QPSVIO(&nc, &nineq, &nb, c.data(), &nact, iact.data(), &kv);
  EXPECT_EQ(kv, 0);
}

// Step length on a problem with n = 2 and one bound row (x1 <= 0): n_KV = e1.
struct LengthCase {
  int n = 2, nc = 0, nineq = 0, nb = 1, lda = 2, kv = 1;
  std::vector<int> itype = {3, 0};
  std::vector<double> c = {2.0};
  std::vector<double> z = {-1.0, 0.0};
  double znorm = 1.0;
  std::vector<double> xlag = {1.0, 3.0};
  std::vector<double> r = {-1.0, -3.0};
  double t = 0;
  int idx = -9, kind = -9, infeas = 0;
  void run(int nact) {
    QPSLEN(&n, &nc, &nineq, &nb, nullptr, &lda, itype.data(), c.data(), &kv, &nact, &znorm, z.data(), xlag.data(),
           r.data(), &t, &idx, &kind, &infeas);
  }
};

TEST_F(QpKernels, StepLengthTieBreaks) {
  LengthCase equalRatios;  // both multipliers reach zero at t = 1: the later one is dropped
  equalRatios.c = {5.0};
  equalRatios.run(2);
  EXPECT_EQ(equalRatios.t, 1.0);
  EXPECT_EQ(equalRatios.idx, 2);
  EXPECT_EQ(equalRatios.kind, 2);
  LengthCase fullTies;  // full step t2 = 2 / 1 equals the partial step 2: add
  fullTies.xlag = {2.0, 9.0};
  fullTies.r = {-1.0, 0.0};
  fullTies.run(2);
  EXPECT_EQ(fullTies.t, 2.0);
  EXPECT_EQ(fullTies.idx, 3);
  EXPECT_EQ(fullTies.kind, 3);
  LengthCase rateAtThreshold;  // a rate of exactly -tinyTol does not limit the step
  rateAtThreshold.r = {-settings.tinyTol, 0.0};
  rateAtThreshold.xlag = {1e-9, 0.0};
  rateAtThreshold.run(1);
  EXPECT_EQ(rateAtThreshold.idx, 2);
  LengthCase noDirection;  // |Z| at tinyTol: only a multiplier step
  noDirection.znorm = settings.tinyTol;
  noDirection.run(2);
  EXPECT_EQ(noDirection.idx, 2);
  EXPECT_EQ(noDirection.kind, 1);
  EXPECT_EQ(noDirection.infeas, 0);
  noDirection.kind = -9;
  noDirection.r = {1.0, 0.0};  // and with no negative rate nothing is possible
  noDirection.run(2);
  EXPECT_EQ(noDirection.idx, 0);
  EXPECT_EQ(noDirection.infeas, -1);
  EXPECT_EQ(noDirection.kind, -9);
}

TEST_F(QpKernels, MultiplierStepLeavesXAlone) {
  int nact = 2, n = 2, kind = 1;
  std::vector<double> xlag = {1.0, 2.0}, r = {-1.0, 0.5}, x = {3.0, 4.0}, z = {1.0, 1.0};
  double uplus = 0.25, t = 0.5;
  QPSSTP(&nact, xlag.data(), &uplus, r.data(), &n, x.data(), z.data(), &t, &kind);
  EXPECT_EQ(xlag, (std::vector<double>{0.5, 2.25}));
  EXPECT_EQ(uplus, 0.75);
  EXPECT_EQ(x, (std::vector<double>{3.0, 4.0}));
  kind = 2;
  QPSSTP(&nact, xlag.data(), &uplus, r.data(), &n, x.data(), z.data(), &t, &kind);
  EXPECT_EQ(x, (std::vector<double>{3.5, 4.5}));
}

// Active-set bookkeeping on n = 3 with H = diag(1, 2, 4), three general inequalities and bounds on x3.
struct ActiveSet {
  int n = 3, nc = 3, nineq = 3, nb = 2, lda = 3, ldhn = 3;
  std::vector<double> a = {1, 1, 0, 0, 1, 1, 1, 0, 1};
  std::vector<int> itype = {0, 0, 1};
  std::vector<double> hfac = {1, 0, 2, 0, 0, 4};  // diagonal: already its own factor
  std::vector<int> iact = {0, 0, 0};
  std::vector<double> xlag = {0, 0, 0};
  std::vector<double> actmat = std::vector<double>(6, -1.0);
  std::vector<double> hinvn = std::vector<double>(9, -1.0);
  int nact = 0, ierr = 0;
  void add(int kv, double uplus) {
    int k = nact + 1;
    QPSDOA(&nact, &n, &nc, &nineq, &nb, a.data(), &lda, itype.data(), iact.data(), xlag.data(), actmat.data(),
           hinvn.data(), &ldhn, hfac.data(), &k, &kv, &uplus, &ierr);
  }
  void drop(int k) {
    int kv = 0;
    double uplus = 0;
    QPSDOA(&nact, &n, &nc, &nineq, &nb, a.data(), &lda, itype.data(), iact.data(), xlag.data(), actmat.data(),
           hinvn.data(), &ldhn, hfac.data(), &k, &kv, &uplus, &ierr);
  }
};

TEST_F(QpKernels, DroppingRebuildsTheSameFactorAsAddingAfresh) {
  ActiveSet s;
  s.add(1, 0.5);
  s.add(2, 1.5);
  s.add(4, 2.5);  // upper bound of x3
  ASSERT_EQ(s.nact, 3);
  s.drop(1);
  EXPECT_EQ(s.nact, 2);
  EXPECT_EQ(s.ierr, 0);
  EXPECT_EQ(s.iact[0], 2);
  EXPECT_EQ(s.iact[1], 4);
  EXPECT_EQ(s.xlag[0], 1.5);
  EXPECT_EQ(s.xlag[1], 2.5);
  ActiveSet fresh;
  fresh.add(2, 1.5);
  fresh.add(4, 2.5);
  EXPECT_EQ(std::vector<double>(s.actmat.begin(), s.actmat.begin() + 3),
            std::vector<double>(fresh.actmat.begin(), fresh.actmat.begin() + 3));
  EXPECT_EQ(std::vector<double>(s.hinvn.begin(), s.hinvn.begin() + 6),
            std::vector<double>(fresh.hinvn.begin(), fresh.hinvn.begin() + 6));
  // Column 2 of HINVN is H^-1 e3 = (0, 0, 1/4).
  EXPECT_EQ(fresh.hinvn[3], 0.0);
  EXPECT_EQ(fresh.hinvn[5], 0.25);
  EXPECT_TRUE(lines().empty());
}

TEST_F(QpKernels, DirectionKeepsActiveRowsAndBalancesTheGradient) {
  ActiveSet s;
  s.add(1, 0.0);
  s.add(5, 0.0);  // lower bound of x3: gradient -e3
  int kv = 2;
  std::vector<double> z(3, 9.0), r(3, 9.0);
  double znorm = -1;
  QPSDIR(&s.nact, &s.n, &s.nc, &s.nineq, &s.nb, s.a.data(), &s.lda, s.itype.data(), s.iact.data(), z.data(), &znorm,
         r.data(), s.actmat.data(), s.hinvn.data(), &s.ldhn, s.hfac.data(), &kv);
  // N'Z = 0 for the active rows, H Z + N R + n_KV = 0.
  EXPECT_NEAR(z[0] + z[1], 0.0, 1e-15);
  EXPECT_NEAR(-z[2], 0.0, 1e-15);
  const double h[3] = {1, 2, 4};
  const double nkv[3] = {0, 1, 1};
  const double n1[3] = {1, 1, 0};
  const double n5[3] = {0, 0, -1};
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(h[i] * z[i] + r[0] * n1[i] + r[1] * n5[i] + nkv[i], 0.0, 1e-15);
  EXPECT_DOUBLE_EQ(znorm, std::sqrt(z[0] * z[0] + z[1] * z[1] + z[2] * z[2]));
  EXPECT_EQ(r[2], 9.0);  // only R(1..NACT) is written
}

TEST_F(QpKernels, InternalFailuresPrintTheirMessageWhateverThePrintLevel) {
  settings.print = 0;
  ActiveSet s;
  s.add(1, 0.0);
  s.add(2, 0.0);
  s.add(4, 0.0);
  s.ierr = 0;
  s.add(5, 0.0);  // a fourth row on three variables
  EXPECT_EQ(s.ierr, -1);
  EXPECT_EQ(s.nact, 3);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " ERROR: TOO MANY ACTIVE CONSTRAINTS, SHOULD NOT HAPPEN");

  clearLines();
  ActiveSet dependent;
  dependent.add(4, 0.0);  // x3 <= XU3
  dependent.add(5, 0.0);  // XL3 <= x3: gradient -e3, so M is singular
  EXPECT_EQ(dependent.ierr, -1);
  EXPECT_EQ(dependent.nact, 2);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " ERROR: NONPOSITIVE GRADGT*BINV*GRADV MATRIX, SHOULD NOT HAPPEN");
}

}  // namespace
}  // namespace korvex::testing
