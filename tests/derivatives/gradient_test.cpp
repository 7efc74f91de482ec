// Finite-difference gradients of both flavours, driven through the real analysis bridge.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "common/pool.h"
#include "entry/bridge.h"
#include "entry/settings.h"
#include "korvex/routines/derivatives.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

constexpr int kNdv = 3;
constexpr int kNdf = 4;
constexpr int kLd = 5;  // leading dimension of grad, above NDV: rows 4 and 5 must stay untouched
constexpr double kSentinel = 12345.0;
using Point = std::vector<double>;
const Point kBase{0.25, -0.5, 0.75};

// What the analysis saw at one call: the point, both pool tops and the double pool slots 1..20.
struct Call {
  Point x;
  int dblTop, intTop;
  std::vector<double> pool;
};

// Caller's functions: f1 = c (3 x1 - 2 x2 + x3), f2 = x1^2 - 1, f3 = 5 x2, f4 = x1 + x2 + x3. With the default
// bounds of -1 and 1 the scaled and the caller's variables coincide.
class DerivativesTest : public KorvexTest {
 protected:
  void SetUp() override {
    KorvexTest::SetUp();
    bridge.callback = analysis;
    bridge.userData = this;
    bridge.nEq = 1;
    setBounds({-1, -1, -1}, {1, 1, 1});
  }
  void setBounds(Point lower, Point upper) {
    std::copy(lower.begin(), lower.end(), bridge.lower);
    std::copy(upper.begin(), upper.end(), bridge.upper);
    refresh();
  }
  // DF = the functions at DV (uncounted), saved for the bit-for-bit comparison; forget the calls so far.
  void refresh() {
    Point s = dv;
    toCallerUnits(bridge, kNdv, s.data());
    callAnalysis(bridge, s.data(), df);
    std::memcpy(dfEntry, df, sizeof df);
    std::fill(std::begin(grad), std::end(grad), kSentinel);
    calls.clear();
  }
  void functions(const double* x, double* f) const {
    f[0] = scale * (3 * x[0] - 2 * x[1] + x[2]);
    f[1] = x[0] * x[0] - 1.0;
    f[2] = 5 * x[1];
    f[3] = x[0] + x[1] + x[2];
  }
  static void analysis(void* user, const double* x, double* f, double*, double*) {
    auto* t = static_cast<DerivativesTest*>(user);
    const Point pool(workPool.doubles + 1, workPool.doubles + 21);
    t->calls.push_back({Point(x, x + kNdv), workPool.dblPoolTop, workPool.intPoolTop, pool});
    t->functions(x, f);  // the function vector is contiguous
  }
  // Column c of grad (leading dimension ld) holds, in rows 1..NDV, the gradient at kBase of the function mapped to
  // it (negated for the function held negated); everything else is untouched; DF is back bit for bit.
  void expectColumns(const std::array<int, kNdf>& columnOf, int ld, int negated = 0) const {
    const double exact[kNdf][kNdv] = {{3 * scale, -2 * scale, scale}, {0.5, 0, 0}, {0, 5, 0}, {1, 1, 1}};
    for (int c = 1; c * ld <= kLd * kNdf; ++c) {
      const auto j = std::find(columnOf.begin(), columnOf.end(), c) - columnOf.begin();
      for (int i = 1; i <= ld; ++i) {
        const double g = grad[(i - 1) + (c - 1) * ld];
        if (j == kNdf || i > kNdv) {
          EXPECT_EQ(g, kSentinel) << i << "," << c;
        } else {
          EXPECT_NEAR(g, (j + 1 == negated ? -1 : 1) * exact[j][i - 1], 2e-4) << i << "," << c;
        }
      }
    }
    EXPECT_EQ(std::memcmp(df, dfEntry, sizeof df), 0);
  }

  std::vector<Call> calls;
  double scale = 1.0;
  Point dv = kBase;
  double df[kNdf], dfEntry[kNdf], grad[kLd * kNdf], dfsave[kNdf], dfplus[kNdf];
  const int ndv = kNdv, ndf = kNdf, zero = 0, one = 1;
};

// Forward differences raise one variable at a time (NDV calls); every other diffMeth gives central differences,
// +h then -h (2 NDV calls). Positive ICOL entries are columns, zero and negative ones store nothing, and
// ICOL(1) = -1 stores every function in its own column without reading further (the map has length 1 here).
TEST_F(DerivativesTest, SqpCallCountsPointsAndColumnMap) {
  const int icol[kNdf] = {3, 0, 1, -2};
  const int every[1] = {-1};
  for (int method : {1, 0, 2, -7}) {
    settings.diffMeth = method;
    refresh();
    DDBGRA(&ndv, dv.data(), &ndf, df, nullptr, method == 1 ? icol : every, &kLd, grad, dfsave, dfplus);
    const size_t perVariable = method == 1 ? 1 : 2;
    ASSERT_EQ(calls.size(), kNdv * perVariable) << method;
    for (size_t k = 0; k < calls.size(); ++k) {
      const size_t i = k / perVariable;
      for (size_t m = 0; m < kNdv; ++m) {
        const double step = k % perVariable == 0 ? 1e-4 : -1e-4;
        EXPECT_NEAR(calls[k].x[m] - kBase[m], m == i ? step : 0.0, 1e-15) << method;
      }
    }
    expectColumns(method == 1 ? std::array<int, kNdf>{3, 0, 1, 0} : std::array<int, kNdf>{1, 2, 3, 4}, kLd);
    for (size_t m = 0; m < kNdv; ++m) EXPECT_NEAR(dv[m], kBase[m], 1e-15);
  }
  EXPECT_EQ(std::tuple(settings.nFunEval, settings.nGradEval), std::tuple(3 + 3 * 6, 4));
}

// No variables: no call, DF unchanged, one gradient evaluation counted.
TEST_F(DerivativesTest, SqpGradientWithoutVariablesOnlyCounts) {
  const int icol[kNdf] = {4, 0, 0, 0};
  DDSGRA(&zero, dv.data(), &ndf, df, nullptr, icol, &one, grad);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(std::memcmp(df, dfEntry, sizeof df), 0);
  EXPECT_EQ(settings.nGradEval, 1);
}

// Seen from inside the analysis: DFSAVE at T+1..T+NDF, DFPLUS right after it (SQP) or after one unused slot (GRG),
// the double top one slot beyond DFPLUS, the integer top untouched. SQP front ends test T + 2 NDF + 1 once, GRG
// front ends T + NDF + 1 and then T + 2 NDF + 2; a top equal to the capacity is accepted. On overflow: the message
// only with print > 0, errorFlag either way, nothing evaluated or counted; SQPGRA still copies the last column into
// Gobj. Both tops are restored on every path.
TEST_F(DerivativesTest, PoolLayoutAndOverflowOfBothFlavours) {
  settings.diffMeth = 0;  // central: at the second call DFPLUS holds the values at +h
  setPool(5, 3, 9);
  const int icol[kNdf] = {4, 0, 0, 0};
  double gobj[kNdv] = {};
  std::copy_n(Point{4, 5, 6}.begin(), 3, grad + 3 * kNdv);
  SQPGRA(&ndv, &ndf, dv.data(), df, icol, gobj, grad);
  EXPECT_EQ(std::tuple(Point(gobj, gobj + kNdv), settings.errorFlag), std::tuple(Point{4, 5, 6}, -1));
  EXPECT_TRUE(lines().empty() && calls.empty() && dv == kBase);

  double plus[kNdf];
  functions(Point{kBase[0] + 1e-4, kBase[1], kBase[2]}.data(), plus);
  settings.print = 1;
  for (int size : {9, 14, 15}) {
    workPool.dblPoolSize = size;
    for (int gap : {0, 1}) {
      calls.clear();
      if (gap == 0) DDSGRA(&one, dv.data(), &ndf, df, nullptr, icol, &kLd, grad);
      if (gap == 1) GDSGRA(&zero, &one, &one, dv.data(), &ndf, df, icol, grad);
      EXPECT_EQ(std::tuple(workPool.dblPoolTop, workPool.intPoolTop), std::tuple(5, 3));
      if (calls.empty()) continue;
      EXPECT_EQ(std::tuple(calls[1].dblTop, calls[1].intTop), std::tuple(5 + 2 * kNdf + 1 + gap, 3));
      for (size_t j = 0; j < kNdf; ++j) {
        EXPECT_EQ(calls[1].pool[5 + j], dfEntry[j]);             // DFSAVE
        EXPECT_EQ(calls[1].pool[5 + kNdf + gap + j], plus[j]);  // DFPLUS
      }
    }
  }
  const std::string sqp = " Error:  Double precision b storage exceeded";
  const std::string grg = " ERROR:  DOUBLE PRECISION STORAGE EXCEEDED";
  EXPECT_EQ(lines(), (Lines{sqp + "        14", grg + "        10", grg + "        15"}));
  EXPECT_EQ(std::tuple(settings.nFunEval, settings.nGradEval), std::tuple(3 * 2, 2));
}

// With IPHASE = 3 the caller holds the temporary objective negated and every evaluation negates it too, so its
// gradient is that of the negated function; other phases negate nothing. Positive LISDF entries store, with leading
// dimension NDV.
TEST_F(DerivativesTest, GrgNegatesTheTemporaryObjectiveInPhase3) {
  const int lisdf[kNdf] = {-1, 1, 0, 2};  // a negative entry, even -1 first, stores nothing
  const int itobj = 2;
  for (int method : {1, 0}) {
    settings.diffMeth = method;
    for (int phase : {3, 2}) {
      refresh();
      if (phase == 3) dfEntry[1] = df[1] = -df[1];
      GDBGRA(&phase, &itobj, &ndv, dv.data(), &ndf, df, lisdf, grad, dfsave, dfplus);
      expectColumns({0, 1, 0, 2}, kNdv, phase == 3 ? itobj : 0);
    }
  }
  EXPECT_EQ(std::tuple(settings.nFunEval, settings.nGradEval), std::tuple(2 * 3 + 2 * 6, 0));
}

// GRGGRA sends MGRGIN(k) to column k, MBNDEQ(k) to NCAND + k and ITOBJ to NCAND + NBEQ + 1 (winning over a list);
// GRADOB is the objective's column and GSCALE its mean absolute component, at least 1, also with no variables.
TEST_F(DerivativesTest, GrgColumnMapObjectiveGradientAndScale) {
  const int mgrgin[1] = {4}, mbndeq[1] = {2}, four = 4;
  int lisdf[kNdf];
  double gradob[kNdv], gscale = 0;
  GRGGRA(&zero, &one, mgrgin, &one, mbndeq, &one, &ndv, dv.data(), &ndf, df, lisdf, grad, gradob, &gscale);
  EXPECT_EQ(std::tuple(Ints(lisdf, lisdf + kNdf), Point(gradob, gradob + kNdv)),
            std::tuple(Ints{3, 2, 0, 1}, Point(grad + 2 * kNdv, grad + 3 * kNdv)));
  expectColumns({3, 2, 0, 1}, kNdv);
  EXPECT_NEAR(gscale, 2.0, 1e-9);

  GRGGRA(&zero, &one, mgrgin, &one, mbndeq, &four, &ndv, dv.data(), &ndf, df, lisdf, grad, gradob, &gscale);
  EXPECT_EQ(Ints(lisdf, lisdf + kNdf), (Ints{0, 2, 0, 3}));

  scale = 0.1;  // mean absolute component 0.2
  refresh();
  GRGGRA(&zero, &zero, mgrgin, &zero, mbndeq, &one, &ndv, dv.data(), &ndf, df, lisdf, grad, gradob, &gscale);
  expectColumns({1, 0, 0, 0}, kNdv);
  const double scaleOfSmall = gscale;
  GRGGRA(&zero, &zero, mgrgin, &zero, mbndeq, &one, &zero, dv.data(), &ndf, df, lisdf, grad, gradob, &gscale);
  EXPECT_EQ(std::tuple(scaleOfSmall, gscale), std::tuple(1.0, 1.0));

  // On overflow the map is built and GRADOB and GSCALE come from what GRADD held.
  workPool.dblPoolSize = kNdf;
  std::copy_n(Point{4, -5, 6}.begin(), 3, grad + kNdv);
  GRGGRA(&zero, &one, mbndeq, &zero, nullptr, &one, &ndv, dv.data(), &ndf, df, lisdf, grad, gradob, &gscale);
  EXPECT_EQ(std::tuple(settings.errorFlag, Ints(lisdf, lisdf + kNdf), Point(gradob, gradob + kNdv), gscale),
            std::tuple(-1, Ints{2, 1, 0, 0}, Point{4, -5, 6}, 5.0));
}

}  // namespace
}  // namespace korvex::testing
