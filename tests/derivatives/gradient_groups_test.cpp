// Gradients formed from groups of points: at the largest problem size, with few functions (one group per gradient)
// and with so many that a gradient's values fill the group storage more than once (several groups), the grouped
// differences leave the gradient matrix, the point, the function vector, the scratch vectors and the call counter
// exactly as the point-by-point loops do.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "derivatives/finite_differences.h"
#include "entry/context.h"
#include "entry/point_groups.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

constexpr int kNdv = kMaxVariables;

// f_j(x) = j x_a + x_b^2 / 3 with a and b two variables picked by j; objective, equalities and inequalities are
// just positions in one vector here.
void functions(const double* x, double* f, int m) {
  for (int j = 0; j < m; ++j) {
    const double a = x[j % kNdv];
    const double b = x[(7 * j + 3) % kNdv];
    f[j] = (j + 1) * a + b * b / 3.0;
  }
}

int functionCount = 0;

void analysis(void*, const double* x, double* objective, double*, double*) { functions(x, objective, functionCount); }

std::vector<int> groupSizes;

void batch(void*, int count, int n, int nEq, int nIneq, const double* x, double* f) {
  const int m = 1 + nEq + nIneq;
  for (int k = count - 1; k >= 0; --k) functions(x + k * n, f + k * m, m);
  groupSizes.push_back(count);
}

struct Outcome {
  std::vector<double> grad, dv, df, dfplus;
  int calls;
};

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

Outcome differences(Context& ctx, int diffMeth, int ndf, int negated) {
  ctx.restoreDefaults();
  ctx.setDiffMeth(diffMeth);
  ctx.bridge.callback = &analysis;
  ctx.bridge.nEq = 0;
  ctx.bridge.n = kNdv;
  ctx.bridge.nIneq = ndf - 1;
  ctx.bridge.batch = ctx.groups.batch;
  for (int i = 0; i < kNdv; ++i) {  // bounds whose round trips are not exact
    ctx.bridge.lower[i] = -1.3 - 0.0137 * i;
    ctx.bridge.upper[i] = 2.7 + 0.0191 * i;
  }
  functionCount = ndf;
  Outcome o{Doubles(static_cast<size_t>(kNdv * ndf)), Doubles(kNdv), Doubles(ndf), Doubles(ndf, -1.0), 0};
  for (int i = 0; i < kNdv; ++i) o.dv[static_cast<size_t>(i)] = std::sin(0.37 * i) * 0.9;
  Doubles dfsave(static_cast<size_t>(ndf));
  Ints map(static_cast<size_t>(ndf));
  for (int j = 0; j < ndf; ++j) {
    o.df[static_cast<size_t>(j)] = 0.5 * j;
    map[static_cast<size_t>(j)] = ndf - j;  // columns in reverse
  }
  const GradientColumns columns(ColumnMapRule::kGrg, map.data(), ndf);
  formDifferenceGradients(ctx, GradientFlavour{ColumnMapRule::kGrg, negated}, Vec<double>(o.dv.data(), kNdv),
                          Vec<double>(o.df.data(), ndf), columns, Mat<double>(o.grad.data(), kNdv, ndf),
                          Vec<double>(dfsave.data(), ndf), Vec<double>(o.dfplus.data(), ndf));
  o.calls = ctx.settings.nFunEval;
  return o;
}

TEST(GradientGroups, GroupedDifferencesAreThePointByPointOnesBitForBit) {
  KVW_Context* serial = KVW_ctx_create();
  KVW_Context* grouped = KVW_ctx_create();
  ASSERT_TRUE(serial != nullptr && grouped != nullptr);
  grouped->setBatchCallback(batch, nullptr);
  const struct {
    int diffMeth, ndf, negated;
    std::vector<int> groups;
  } cases[] = {
      {1, 3, 0, {100}},
      {2, 3, 2, {200}},
      {1, 1500, 0, {66, 34}},         // 100000 / 1500 values: 66 variables per group
      {2, 600, 7, {166, 34}},         // 100000 / (2 * 600): 83 variables, 166 points
      {2, 1500, 0, {66, 66, 66, 2}},  // 33 variables per group
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.diffMeth) + " " + std::to_string(c.ndf));
    const Outcome expected = differences(*serial, c.diffMeth, c.ndf, c.negated);
    groupSizes.clear();
    const Outcome o = differences(*grouped, c.diffMeth, c.ndf, c.negated);
    const int calls = c.diffMeth * kNdv;  // one point per variable for forward differences, two for central
    EXPECT_EQ(std::tuple(groupSizes, o.calls, expected.calls), std::tuple(c.groups, calls, calls));
    EXPECT_TRUE(sameBits(o.grad, expected.grad) && sameBits(o.dv, expected.dv) && sameBits(o.df, expected.df) &&
                sameBits(o.dfplus, expected.dfplus));
  }
  KVW_ctx_free(serial);
  KVW_ctx_free(grouped);
}

}  // namespace
}  // namespace korvex::testing
