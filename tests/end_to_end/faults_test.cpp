// Bad input, failing analyses and misuse, through the public entry functions: every fault class ends with its
// result code, a finite x and f holding the callback's own values at that x; fixed variables leave the run of the
// free ones as it is; a run inside a run, and runs from several threads, are refused rather than mixed up.
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "korvex/korvex.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using Vector = std::vector<double>;
// The functions (objective, equalities, inequalities) at x in the caller's units.
using Values = std::function<void(const double* x, double* f)>;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Problem {
  int n = 2, nEq = 0, nIneq = 0;
  Vector lower{-4, -4}, upper{4, 4}, start{0, 0};  // [-4, 4]: the scaling is exact, so points compare bit for bit
  Values values;
  // The callback throws, asks for a stop, or returns a NaN objective in this call (0: never).
  int throwAtCall = 0, stopAtCall = 0, nanAtCall = 0;
  int calls = 0;

  static void analysis(void* user, const double* x, double* objective, double*, double*) {
    auto* p = static_cast<Problem*>(user);
    if (++p->calls == p->throwAtCall) throw 7;
    p->values(x, objective);  // objective, equalities and inequalities are consecutive
    if (p->calls == p->stopAtCall) KVW_set_stop(1);
    if (p->calls == p->nanAtCall) *objective = kNan;
  }
};

// (x0 - 3)^2 + (x1 - 1)^2, its minimum at (3, 1).
void bowl(const double* x, double* f) { f[0] = (x[0] - 3) * (x[0] - 3) + (x[1] - 1) * (x[1] - 1); }

// The same value, bit for bit (so a NaN equals itself).
bool same(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

struct Outcome {
  int code;
  Vector x, f;
  int calls;
  int nIter = 0;
  std::vector<std::string> lines{};  // at the print level asked for
  bool operator==(const Outcome&) const = default;
};

Outcome run(int method, Problem p, int maxIter = 50) {
  Outcome out{0, p.start, Vector(static_cast<size_t>(1 + p.nEq + p.nIneq), -123.0), 0};
  const auto entry = method == 1 ? &KVW_grg : &KVW_sqp;
  out.code = entry(maxIter, p.n, out.x.data(), p.lower.data(), p.upper.data(), p.nEq, p.nIneq, &Problem::analysis, &p,
                   out.f.data());
  out.calls = p.calls;
  return out;
}

class FaultTest : public KorvexTest {
 protected:
  // A run from the defaults at the given print level, with its iteration count and printed lines.
  Outcome runPrinting(int method, const Problem& p, int print) {
    KVW_setDefaults();
    KVW_set_print(print);
    clearLines();
    Outcome out = run(method, p);
    out.nIter = KVW_get_nIter();
    out.lines = lines();
    return out;
  }
};

// Every fault class, for both methods: the result code, and either nothing touched (96) or a finite x with f equal
// to the callback's values at exactly that x (never a negated copy, never another point's values), finite as well
// after a converged code.
TEST_F(FaultTest, EachFaultEndsWithItsCodeAFiniteXAndTheCallbacksValuesThere) {
  struct Case {
    const char* what;
    std::function<void(Problem&)> make;  // the problem from the bowl, and the settings from the defaults
    int sqp, grg;                        // expected codes
    int calls = -1;                      // analysis calls, both methods (-1: not checked)
    bool atStart = false;  // the run ends at the start point; with no values there when the start call threw
    int maxIter = 50;
  };
  const Case cases[] = {
      {"n < 0", [](Problem& p) { p.n = -1; }, 96, 96, 0},
      {"lower above upper", [](Problem& p) { p.lower[1] = 4.5; }, 96, 96, 0},
      {"NaN bound", [](Problem& p) { p.upper[0] = kNan; }, 96, 96, 0},
      {"infinite bound", [](Problem& p) { p.lower[1] = -kInf; }, 96, 96, 0},
      {"a start too far outside the box to scale", [](Problem& p) { p.start[0] = 1.797e308; }, 96, 96, 0},
      {"a box too wide to scale", [](Problem& p) { p.lower[0] = -1e308, p.upper[0] = 1e308; }, 96, 96, 0},
      {"a box whose half-width is below the smallest normal number",
       [](Problem& p) { p.lower[0] = 0.0, p.upper[0] = 4e-308; }, 96, 96, 0},
      {"NaN start", [](Problem& p) { p.start[1] = kNan; }, 96, 96, 0},
      {"diffPert 0", [](Problem&) { KVW_set_diffPert(0.0); }, 96, 96, 0},
      {"diffPert NaN", [](Problem&) { KVW_set_diffPert(kNan); }, 96, 96, 0},
      {"convTol zero", [](Problem&) { KVW_set_convTol(0.0); }, 96, 96, 0},
      {"convTol negative", [](Problem&) { KVW_set_convTol(-1e-3); }, 96, 96, 0},
      {"convTol infinite", [](Problem&) { KVW_set_convTol(kInf); }, 96, 96, 0},
      {"objective NaN at the start point", [](Problem& p) { p.values = [](const double*, double* f) { f[0] = kNan; }; },
       95, 95, 1, true},
      {"a NaN objective at a start whose fixed variable is off its value",
       [](Problem& p) {
         p.lower[1] = p.upper[1] = 2;
         p.values = [](const double*, double* f) { f[0] = kNan; };
       },
       95, 95, 1, true},
      {"every variable fixed: one evaluation, converged", [](Problem& p) { p.lower = p.upper = {1.5, -2.0}; }, 1, 1, 1,
       true},
      {"a constraint that is always NaN",
       [](Problem& p) {
         p.nIneq = 1;
         p.values = [](const double* x, double* f) { bowl(x, f), f[1] = kNan; };
       },
       95, 95, 1, true},
      {"+inf at every point but the start (the first difference point)",
       [](Problem& p) { p.values = [](const double* x, double* f) { bowl(x, f), f[0] += x[0] == 0 ? 0 : kInf; }; },
       95, 95, 2, true},
      {"NaN off the axes through the start: every trial point fails, no difference point does",
       [](Problem& p) {
         p.values = [](const double* x, double* f) { bowl(x, f), f[0] += x[0] != 0 && x[1] != 0 ? kNan : 0; };
       },
       95, 95, -1, true},
      // Trials beyond the edge fail and are shortened until the iterates come within a difference step of it.
      {"NaN beyond x0 = 1 on the way to the minimum at x0 = 3",
       [](Problem& p) { p.values = [](const double* x, double* f) { bowl(x, f), f[0] += x[0] > 1 ? kNan : 0; }; },
       95, 95},
      {"an inequality of -inf beyond x0 = 1",
       [](Problem& p) {
         p.nIneq = 1;
         p.values = [](const double* x, double* f) { bowl(x, f), f[1] = x[0] > 1 ? -kInf : x[0] - 5; };
       },
       95, 95},
      // x1 = x0^2 from (0.5, 0.25): GRG's fifth call is the first Newton-Raphson correction of its first trial,
      // SQP's the second trial of its first search. Both are shortened and the runs converge.
      {"one NaN at the fifth call",
       [](Problem& p) {
         p.nEq = 1, p.start = {0.5, 0.25}, p.nanAtCall = 5;
         p.values = [](const double* x, double* f) { bowl(x, f), f[1] = x[1] - x[0] * x[0]; };
       },
       1, 1},
      {"an exception in a difference call", [](Problem& p) { p.values = bowl, p.throwAtCall = 3; }, 97, 97, 3, true},
      {"an exception in the start call", [](Problem& p) { p.values = bowl, p.throwAtCall = 1; }, 97, 97, 1, true},
      {"a stop asked for in the first trial", [](Problem& p) { p.values = bowl, p.stopAtCall = 4; }, 8, 12},
      // x0 + 1 = 0 violated with a negative value: GRG's feasibility phase keeps it negated.
      {"a stop in GRG's feasibility phase on a negative equality",
       [](Problem& p) {
         p.nEq = 1, p.start = {-3, 0}, p.stopAtCall = 4;
         p.values = [](const double* x, double* f) { bowl(x, f), f[1] = x[0] + 1; };
       },
       8, 12, 4},
      {"the iteration limit in that phase",
       [](Problem& p) {
         p.nEq = 1, p.start = {-3, 0};
         p.values = [](const double* x, double* f) { bowl(x, f), f[1] = x[0] + 1; };
       },
       2, 6, -1, false, 1},
  };
  for (const Case& c : cases) {
    for (int method : {0, 1}) {
      SCOPED_TRACE(std::string(c.what) + (method == 1 ? " (GRG)" : " (SQP)"));
      KVW_setDefaults();
      Problem p;
      p.values = bowl;
      c.make(p);
      const Outcome out = run(method, p, c.maxIter);
      EXPECT_EQ(out.code, method == 1 ? c.grg : c.sqp);
      EXPECT_TRUE(c.calls < 0 || out.calls == c.calls) << out.calls;
      EXPECT_EQ(KVW_get_nFunEval(), out.calls);
      if (out.code == KVW_INVALID_ARGUMENT) {
        EXPECT_TRUE(out.x == p.start || p.n < 0 || std::isnan(p.start[1]));
        EXPECT_EQ(out.f, Vector(out.f.size(), -123.0));
        continue;
      }
      for (double v : out.x) EXPECT_TRUE(std::isfinite(v)) << v;
      if (c.atStart) {  // as the callback saw it: fixed variables at their values
        Vector start = p.start;
        for (size_t i = 0; i < start.size(); ++i) start[i] = p.lower[i] == p.upper[i] ? p.lower[i] : start[i];
        EXPECT_EQ(out.x, start);
      }
      Vector at(out.f.size(), -123.0);  // what a callback that threw at once leaves
      if (p.throwAtCall != 1) p.values(out.x.data(), at.data());
      for (size_t k = 0; k < at.size(); ++k) EXPECT_TRUE(same(out.f[k], at[k])) << k << ": " << out.f[k];
      // Past the start point only finite values are ever accepted.
      for (size_t k = 0; k < at.size() && !c.atStart; ++k) EXPECT_TRUE(std::isfinite(out.f[k])) << k;
    }
  }
}

// A problem with fixed variables runs exactly as the problem written without them: the same iterates, counts and
// printed lines, bit for bit, while the callback sees every variable in the caller's units.
TEST_F(FaultTest, FixedVariablesLeaveTheRunOfTheFreeOnesAsItIs) {
  // min (x - 1)^2 + (y + 0.5)^2 + (x y - z) with z fixed at 0.25, subject to x + y <= 0.3.
  const auto reduced = [](const double* v, double* f) {
    f[0] = (v[0] - 1) * (v[0] - 1) + (v[1] + 0.5) * (v[1] + 0.5) + v[0] * v[1] - 0.25;
    f[1] = v[0] + v[1] - 0.3;
  };
  for (int method : {0, 1}) {
    SCOPED_TRACE(method);
    Outcome outcomes[2];
    for (int withFixed : {0, 1}) {
      Problem p;
      p.nIneq = 1;
      if (withFixed == 0) {
        p.start = {0.5, 0.5};
        p.values = reduced;
      } else {
        p.n = 4;  // x, z, y, w with z = 0.25 and w = -2 fixed
        p.lower = {-4, 0.25, -4, -2}, p.upper = {4, 0.25, 4, -2}, p.start = {0.5, 3.0, 0.5, -2};
        p.values = [reduced](const double* v, double* f) {
          EXPECT_TRUE(v[1] == 0.25 && v[3] == -2.0);
          const double free[2] = {v[0], v[2]};
          reduced(free, f);
        };
      }
      outcomes[withFixed] = runPrinting(method, p, 3);
    }
    Outcome expected = outcomes[0];
    EXPECT_TRUE(expected.code == 1 || expected.code == 3) << expected.code;
    EXPECT_GT(expected.lines.size(), 50u);
    expected.x = {expected.x[0], 0.25, expected.x[1], -2.0};
    EXPECT_TRUE(outcomes[1] == expected);
  }
}

// A callback that starts runs, resets or changes the settings and redirects the diagnostics: each of these is
// refused (94 for the runs, nothing for the rest) and the outer run is exactly the run without them. The getters and
// the stop request still work from inside, and so does a run on another context.
TEST_F(FaultTest, RunsAndSetterCallsFromTheCallbackAreRefused) {
  KVW_Context* other = KVW_ctx_create();
  ASSERT_NE(other, nullptr);
  for (int method : {0, 1}) {
    SCOPED_TRACE(method);
    Outcome outcomes[2];
    for (int nested : {0, 1}) {
      Problem p;
      p.nIneq = 1;
      int refused = 0, calls = 0;
      p.values = [&](const double* x, double* f) {
        ++calls;
        bowl(x, f);
        f[1] = x[0] + x[1] - 2;
        if (nested == 0) return;
        double inner[3] = {0.5, 0.5, 0.5}, lower[3] = {-1, -1, -1}, upper[3] = {1, 1, 1}, g[8] = {7.0};
        refused += KVW_sqp(5, 3, inner, lower, upper, 3, 4, &Problem::analysis, &p, g) == KVW_RUN_IN_PROGRESS;
        refused += KVW_grg(5, 3, inner, lower, upper, 3, 4, &Problem::analysis, &p, g) == KVW_RUN_IN_PROGRESS;
        EXPECT_TRUE(inner[0] == 0.5 && g[0] == 7.0);  // nothing read or written
        Problem elsewhere;
        elsewhere.values = bowl;
        double y[2] = {0, 0}, box[2] = {-4, -4}, top[2] = {4, 4}, h[1];
        EXPECT_EQ(KVW_ctx_sqp(other, 50, 2, y, box, top, 0, 0, &Problem::analysis, &elsewhere, h), 1);
        EXPECT_EQ(KVW_ctx_sqp(other, 0, 2, y, box, top, 0, 0, &Problem::analysis, &elsewhere, h), 2);
        KVW_setDefaults();
        KVW_set_print(0);
        KVW_set_convTol(0.5);
        KVW_set_diffPert(0.3);
        KVW_set_diffMeth(2);
        KVW_set_diagCallback(nullptr, nullptr);
        KVW_set_stop(0);
        EXPECT_EQ(KVW_get_nFunEval(), calls);
      };
      outcomes[nested] = runPrinting(method, p, 2);
      EXPECT_EQ(refused, 2 * outcomes[nested].calls * nested);
    }
    EXPECT_TRUE(outcomes[1] == outcomes[0]);
    EXPECT_FALSE(outcomes[0].lines.empty());
  }
  KVW_ctx_free(other);
}

// After a converged ending x is the method's iterate mapped back to the caller's units, the point the callback saw
// up to the rounding of that mapping, so f matches the callback's values there within that rounding.
bool near(const Vector& a, const Vector& b) {
  for (size_t k = 0; k < a.size(); ++k) {
    if (!(std::abs(a[k] - b[k]) <= 1e-12)) return false;
  }
  return a.size() == b.size();
}

// Eight threads, thirty runs each, both methods, on the one global interface: every run either solves its problem
// (the right point, f the callback's values there) or is refused with 94. No wrong answer, no crash, no
// hang. The threads start together and each analysis call pauses briefly, so that runs do meet.
TEST_F(FaultTest, RunsFromEightThreadsAreCorrectOrRefused) {
  KVW_setDefaults();
  std::atomic<int> solved{0}, refused{0}, wrong{0}, waiting{8};
  auto worker = [&](int id) {
    --waiting;
    while (waiting.load() > 0) std::this_thread::yield();
    for (int k = 0; k < 30; ++k) {
      const double cx = 0.1 * id, cy = -0.05 * k;  // every run has its own minimum
      Problem p;
      p.nIneq = 1;
      p.start = {-1, 2};
      p.values = [cx, cy](const double* x, double* f) {
        std::this_thread::sleep_for(std::chrono::microseconds(20));
        f[0] = (x[0] - cx) * (x[0] - cx) + (x[1] - cy) * (x[1] - cy);
        f[1] = x[0] + x[1] - 3;
      };
      KVW_set_print(0);  // refused while another thread runs: harmless either way
      const Outcome out = run((id + k) % 2, p);
      Vector at(2);
      p.values(out.x.data(), at.data());
      const bool converged = out.code == 1 || out.code == 3 || ((id + k) % 2 == 1 && out.code == 2);
      if (out.code == KVW_RUN_IN_PROGRESS && out.calls == 0 && out.x == p.start && out.f == Vector(2, -123.0)) {
        ++refused;
      } else if (converged && out.f[0] < 1e-3 && near(out.f, at)) {  // the minimum is 0 at (cx, cy)
        ++solved;
      } else {
        ++wrong;
      }
    }
  };
  std::vector<std::thread> threads;
  for (int id = 0; id < 8; ++id) threads.emplace_back(worker, id);
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(solved + refused, 240);
  EXPECT_GT(solved.load(), 0);

  // Whether those runs met depends on the scheduler; this pair meets by construction: the first analysis call of
  // one run waits until a run from another thread has come back, which must be refused without a call.
  std::atomic<int> stage{0};
  Problem waits, other;
  waits.nIneq = other.nIneq = 1;
  waits.start = {-1, 2};
  waits.values = [&stage](const double* x, double* f) {
    if (stage.exchange(1) == 0) {
      while (stage.load() != 2) std::this_thread::yield();
    }
    f[0] = x[0] * x[0] + x[1] * x[1];
    f[1] = x[0] + x[1] - 3;
  };
  other.values = waits.values;
  Outcome refusedRun{};
  std::thread second([&] {
    while (stage.load() != 1) std::this_thread::yield();
    refusedRun = run(0, other);
    stage = 2;
  });
  const Outcome first = run(1, waits);
  second.join();
  EXPECT_EQ(refusedRun.code, KVW_RUN_IN_PROGRESS);
  EXPECT_EQ(refusedRun.calls, 0);
  EXPECT_EQ(first.code, 1);
}

}  // namespace
}  // namespace korvex::testing
