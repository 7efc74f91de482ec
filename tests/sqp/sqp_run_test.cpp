// The SQP method through KVW_sqp: every result code a problem can reach with its call counts, the stop request,
// the pool bookkeeping, and the iteration's printed lines at levels 2 and 3, character for character.
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "common/pool.h"
#include "entry/settings.h"
#include "korvex/korvex.h"
#include "support/korvex_test.h"

namespace korvex {
namespace {

using SqpRunTest = korvex::testing::KorvexTest;
using korvex::testing::Lines;
// (x, objective, equalities, inequalities) in the caller's units.
using Analysis = std::function<void(const double*, double*, double*, double*)>;

struct User {
  const Analysis& analysis;
  int stopAtCall = 0;  // KVW_set_stop(1) from inside this call (0: never)
  int calls = 0;
};

void trampoline(void* user, const double* x, double* obj, double* eq, double* ineq) {
  auto* u = static_cast<User*>(user);
  u->analysis(x, obj, eq, ineq);
  if (++u->calls == u->stopAtCall) KVW_set_stop(1);
}

Analysis parabolaAt(double centre) {
  return [centre](const double* x, double* obj, double*, double*) { *obj = (x[0] - centre) * (x[0] - centre); };
}

struct Case {
  const char* why;
  std::vector<double> x;  // start point; every variable on [-1, 1], where scaling is the identity
  int nEq = 0, nIneq = 0, maxIter = 20;
  Analysis analysis;
  std::function<void()> setup = [] {};
  int print = 0, dblTop = -1, intTop = -1, dblSize = -1, intSize = -1;  // -1: the pool as the defaults leave it
  int stopAtCall = 0;
  int code = 0, calls = -1, nIter = -1, errorFlag = 0;  // -1: not checked
  Lines lines = {};         // the whole transcript
  bool tail = false;        // lines are only the transcript's last ones
  std::uint64_t hash = 0;   // when not 0: the whole transcript's hash, instead of its lines
};

const Analysis disc = [](const double* x, double* obj, double* eq, double* ineq) {
  *obj = x[0] + x[1];
  eq[0] = x[0] - 0.5;
  ineq[0] = x[0] * x[0] + x[1] * x[1] - 1.0;
};

// Sizes behind the storage cases: n = 100 without constraints takes 3*200 + 100 + 10000 + 1400 doubles (new top
// 12101) and 200 + 1 + 100 ints (302); the gradients stack 2m + 1 = 3 more. n = 2 with one inequality: front-end
// top 1 + 3*5 + 4 + 1 + 4 + 28 = 53, QP last slot 53 + 2n + rows + n(n+1) + n^2 = 53 + 4 + 5 + 6 + 4 = 72. n = 1:
// top 23, gradients 23 + 2m + 1 = 26, QP 23 + 2 + 2 + 2 + 1 = 30.
TEST_F(SqpRunTest, ResultCodesCallCountsAndPoolBookkeeping) {
  const Analysis bowl = [](const double* x, double* obj, double*, double*) {
    *obj = (x[0] - 0.2) * (x[0] - 0.2) + (x[1] + 0.4) * (x[1] + 0.4);
  };
  const std::vector<double> hundred(100, 0.0);
  const std::vector<Case> cases{
      {.why = "maxIter 0: the start point only", .x = {0.0}, .maxIter = 0, .analysis = parabolaAt(0.25),
       .code = 2, .calls = 1, .nIter = 0},
      // Forward-difference gradient -0.4999, B = 0.4999, d = 1; the full step is rejected (merit 0.5625 > 0.0625)
      // and the interpolated step 0.24998 accepted. After the leading blank the Dderiv line has 37 characters,
      // Initial Penalty 32, Step Length 52, Pender 75.
      {.why = "one iteration at print level 3", .x = {0.0}, .maxIter = 1, .analysis = parabolaAt(0.25),
       .print = 3, .code = 2, .calls = 4, .nIter = 1,
       .hash = 0x56530f62bf9536c9u},
      {.why = "level 1 keeps only the line-search warning, which this run never needs", .x = {0.0, 0.0}, .nEq = 1,
       .nIneq = 1, .maxIter = 2, .analysis = disc, .print = 1, .code = 2},
      {.why = "stop from inside the first trial evaluation", .x = {-0.5}, .analysis = parabolaAt(0.9),
       .stopAtCall = 3, .code = 8, .calls = 3, .nIter = 2},
      {.why = "a stop request left from before", .x = {-0.5}, .analysis = parabolaAt(0.9),
       .setup = [] { KVW_set_stop(1); }, .code = 8, .calls = 1, .nIter = 1},
      {.why = "only the value 1 stops", .x = {0.2, -0.4}, .analysis = bowl, .setup = [] { KVW_set_stop(2); },
       .code = 1},
      {.why = "x1 = 0.5 and x1 = -0.5: reformulated, and B = 5e7 I makes the bound step shorter than tinyTol",
       .x = {0.0, 0.0}, .nEq = 2,
       .analysis = [](const double* x, double* obj, double* eq, double*) {
         *obj = 1e8 * x[0];
         eq[0] = x[0] - 0.5;
         eq[1] = x[0] + 0.5;
       },
       .code = 4, .calls = 1 + 2},
      // Every initial Hessian h*I has h >= 0.001, which passes the QP's pivot test under the default tinyTol = 1e-7,
      // and tinyTol has no setter: result 5 needs a pivot tolerance above h, here 1 against h = 0.5.
      {.why = "pivot tolerance above the reinitialised Hessian", .x = {0.0}, .analysis = parabolaAt(0.25),
       .setup = [] { settings.tinyTol = 1.0; }, .print = 2, .code = 5, .calls = 1 + 1,
       .lines = {" Hessian not pos. def. Reinitializing"}},
      {.why = "QP workspace one slot short: result 6, error flag untouched", .x = {0.5, 0.5}, .nIneq = 1,
       .analysis = [](const double* x, double* obj, double*, double* g) {
         *obj = x[0] + x[1];
         g[0] = -x[0];
       },
       .dblSize = 71, .code = 6, .calls = 1 + 2, .lines = {" ERROR: DOUBLE PRECISION STORAGE EXCEEDED,         72"}},
      {.why = "gradient storage overflow sets the error flag; the QP fails too", .x = {0.0}, .maxIter = 3,
       .analysis = parabolaAt(0.5), .print = 1, .dblSize = 25, .code = 7, .calls = 1, .errorFlag = -1,
       .lines = {" Error:  Double precision b storage exceeded        26",
                 " ERROR: DOUBLE PRECISION STORAGE EXCEEDED,         30"}},
      {.why = "front end: integers, printed at level 0", .x = hundred, .analysis = parabolaAt(0.0), .intSize = 301,
       .code = 7, .calls = 0, .lines = {" SQP: Integer storage exceeded,        302"}},
      {.why = "tops exactly at the capacities", .x = hundred, .maxIter = 0, .analysis = parabolaAt(0.0),
       .dblSize = 12104, .intSize = 302, .code = 2, .calls = 1},
      {.why = "arrays stack on what the pools hold", .x = hundred, .analysis = parabolaAt(0.0), .dblTop = 1000,
       .intTop = 50, .dblSize = 13100, .code = 7, .calls = 0,
       .lines = {" SQP: Double precision storage exceeded,      13101"}},
      {.why = "and the tops come back to it", .x = hundred, .analysis = parabolaAt(0.0), .dblTop = 1000, .intTop = 50,
       .code = 1, .calls = 1 + 100 + 1},
      // The linearised QP has no solution, the reformulated one gives d = 0, and with no constraint multipliers the
      // weights halve: merits 0.005, 0.0025, ..., the fifth within feasTol of both earlier ones. One gradient per
      // iteration, a trial step in the four that reach the line search.
      {.why = "constant violated inequality: the merit stops changing", .x = {0.0}, .nIneq = 1,
       .analysis = [](const double*, double* obj, double*, double* g) {
         *obj = 0.0;
         g[0] = 1.0;
       },
       .print = 3, .code = 9, .calls = 1 + 5 + 4, .nIter = 5,
       .lines = {" TERMINATE: PENALTY NOT CHANGING"}, .tail = true},
      {.why = "constraints of exactly feasTol count as satisfied", .x = {0.25}, .nEq = 1, .nIneq = 1,
       .analysis = [](const double* x, double* obj, double* eq, double* g) {
         *obj = (x[0] - 0.25) * (x[0] - 0.25);
         eq[0] = (x[0] - 0.25) - 0.001;
         g[0] = 0.001;
       },
       .code = 1, .calls = 1 + 1 + 1, .nIter = 1},
      // Gobj = 2^-9 exactly, B = 2^-9, d = -1: the predicted change Gobj d equals -feasTol.
      {.why = "a predicted decrease of exactly feasTol counts as converged", .x = {0.0},
       .analysis = [](const double* x, double* obj, double*, double*) { *obj = 0.001953125 * x[0]; },
       .setup = [] { KVW_set_convTol(0.001953125); }, .code = 1, .calls = 1 + 1 + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    KVW_setDefaults();
    clearLines();
    c.setup();
    KVW_set_print(c.print);
    testing::setPool(c.dblTop, c.intTop, c.dblSize, c.intSize);
    const int dblTop = workPool.dblPoolTop, intTop = workPool.intPoolTop;
    std::vector<double> x = c.x, lower(c.x.size(), -1.0), upper(c.x.size(), 1.0);
    std::vector<double> f(static_cast<size_t>(1 + c.nEq + c.nIneq), 0.0);
    User user{c.analysis, c.stopAtCall};
    EXPECT_EQ(KVW_sqp(c.maxIter, static_cast<int>(x.size()), x.data(), lower.data(), upper.data(), c.nEq, c.nIneq,
                      &trampoline, &user, f.data()),
              c.code);
    EXPECT_TRUE(c.calls < 0 || user.calls == c.calls) << user.calls;
    EXPECT_TRUE(c.nIter < 0 || KVW_get_nIter() == c.nIter) << KVW_get_nIter();
    EXPECT_EQ(KVW_get_nFunEval(), user.calls);
    EXPECT_EQ(settings.errorFlag, c.errorFlag);
    EXPECT_TRUE(workPool.dblPoolTop == dblTop && workPool.intPoolTop == intTop);
    const auto shown = static_cast<long>(c.tail ? c.lines.size() : lines().size());
    ASSERT_GE(static_cast<long>(lines().size()), shown);
    if (c.hash != 0) {
      EXPECT_EQ(transcriptHash(), c.hash) << transcript();
    } else {
      EXPECT_EQ(Lines(lines().end() - shown, lines().end()), c.lines);
    }
    // f holds the functions at the returned point; a converged point is feasible within feasTol.
    if (user.calls == 0) continue;
    std::vector<double> at(f.size(), 0.0);
    c.analysis(x.data(), &at[0], &at[1], &at[static_cast<size_t>(1 + c.nEq)]);
    EXPECT_EQ(f, at);
    for (int k = 1; k <= c.nEq + c.nIneq && c.code == 1; ++k) {
      EXPECT_LE(k <= c.nEq ? std::fabs(f[k]) : f[k], settings.feasTol) << "constraint " << k;
    }
  }
  // The pool keeps what the last run left: its row multipliers (K = 2 for one variable) at slots 1..2, all 0, then
  // the penalty weights, 0.01 in single precision.
  KVW_setDefaults();
  User user{cases[0].analysis};
  double x = 0.0, lower = -1.0, upper = 1.0, f = 0.0;
  EXPECT_EQ(KVW_sqp(0, 1, &x, &lower, &upper, 0, 0, &trampoline, &user, &f), 2);
  EXPECT_TRUE(workPool.doubles[1] == 0.0 && workPool.doubles[2] == 0.0 && workPool.doubles[3] == double(0.01f) &&
              workPool.doubles[4] == workPool.doubles[3]);
}

// The line that follows the n-th occurrence (1-based) of a label.
std::string after(const Lines& lines, const std::string& label, int occurrence) {
  for (size_t k = 0; k + 1 < lines.size(); ++k) {
    if (lines[k] == label && --occurrence == 0) return lines[k + 1];
  }
  return "<missing>";
}

// |x - 1| - 1 from 0: the first step reaches the kink at 1, where the update makes B = 2 and the search vector -1/2;
// every trial on the way back is worse, so the search fails and the third iteration starts again from h*I.
void kink(void*, const double* x, double* obj, double*, double*) { *obj = std::fabs(x[0] - 1.0) - 1.0; }

TEST_F(SqpRunTest, FailedLineSearchRestartsTheHessian) {
  double x[1] = {0.0}, lower[1] = {-1.0}, upper[1] = {1.0}, f[1];
  KVW_set_print(3);
  EXPECT_EQ(KVW_sqp(3, 1, x, lower, upper, 0, 0, kink, nullptr, f), KVW_SQP_ITERATION_LIMIT);
  EXPECT_TRUE(printed("Warning: Line Search Failed"));
  EXPECT_EQ(after(lines(), " Hessian", 2), "   2.00000E+00");
  EXPECT_EQ(after(lines(), " Hessian", 3), "   1.00000E+00");
  EXPECT_EQ(f[0], -1.0);
}

}  // namespace
}  // namespace korvex
