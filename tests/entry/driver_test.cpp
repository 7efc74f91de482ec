#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/finite.h"
#include "entry/bridge.h"
#include "entry/settings.h"
#include "korvex/routines.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

// What the callback saw at each call; the objective is x1 + 2 x2.
struct Recorder {
  std::vector<std::vector<double>> points;
  std::vector<std::vector<double*>> pointers;  // objective, equalities, inequalities
};

void record(void* user, const double* x, double* objective, double* equalities, double* inequalities) {
  auto* r = static_cast<Recorder*>(user);
  r->points.emplace_back(x, x + 2);
  r->pointers.push_back({objective, equalities, inequalities});
  *objective = x[0] + 2 * x[1];
}

class DriverTest : public KorvexTest {
 protected:
  Recorder r;
  double x[2] = {-3.0, 10.0};  // at the lower bound of x1 and the upper bound of x2
  const double lower[2] = {-3.0, 2.0};
  const double upper[2] = {5.0, 10.0};
  double f[5] = {};
};

// A GRG run evaluates the start point once, in the caller's units, before its first iteration; the callback's
// pointers split the function vector after the recorded equality count; runs add to nFunEval until the defaults,
// which leave the latest restoration's count alone. The tolerance setter sets both tolerances.
TEST_F(DriverTest, StartPointCallbackPointersAndCountersAcrossRuns) {
  const int sizes[3][2] = {{0, 3}, {3, 0}, {1, 2}};
  for (const auto& [nEq, nIneq] : sizes) KVW_grg(0, 2, x, lower, upper, nEq, nIneq, record, &r, f);
  ASSERT_EQ(r.points.size(), 3u);
  // x comes back in the caller's units, bit for bit.
  EXPECT_EQ(std::tuple(r.points[0], f[0], Doubles(x, x + 2), KVW_get_nFunEval()),
            std::tuple(Doubles{-3.0, 10.0}, 17.0, Doubles{-3.0, 10.0}, 3));
  // Without equalities both pointers are the same address; otherwise the second is just past the last equality.
  EXPECT_EQ(r.pointers, (std::vector<std::vector<double*>>{{f, f + 1, f + 1}, {f, f + 1, f + 4}, {f, f + 1, f + 2}}));
  KVW_set_convTol(0.25);
  EXPECT_EQ(settings.feasTol, 0.25);
  settings.nNRIter = 8;
  KVW_setDefaults();
  EXPECT_TRUE(KVW_get_nFunEval() == 0 && settings.feasTol == 0.001 && settings.nNRIter == 8);
}

// More than 100 variables: 99 before anything is touched or called. An exception thrown by the callback ends the run
// with its own code; a stale error flag (the driver does not clear it) turns every run into a storage failure. Both
// pool tops are back at their start either way.
TEST_F(DriverTest, EarlyEndsTouchNothingOrReleaseThePool) {
  std::vector<double> many(101, 0.5);
  EXPECT_EQ(KVW_grg(5, 101, many.data(), many.data(), many.data(), 0, 0, record, &r, f), 99);
  EXPECT_EQ(KVW_sqp(5, 101, many.data(), many.data(), many.data(), 0, 0, record, &r, f), 99);
  EXPECT_TRUE(r.points.empty() && many[0] == 0.5 && bridge.callback == nullptr);
  auto throwing = [](void*, const double*, double*, double*, double*) { throw 1; };
  workPool.dblPoolTop = 3;
  EXPECT_EQ(KVW_sqp(5, 2, x, lower, upper, 0, 0, throwing, nullptr, f), KVW_CALLBACK_EXCEPTION);
  settings.errorFlag = -1;
  EXPECT_EQ(KVW_sqp(0, 2, x, lower, upper, 0, 0, record, &r, f), KVW_SQP_STORAGE);
  EXPECT_EQ(KVW_grg(0, 2, x, lower, upper, 0, 0, record, &r, f), KVW_GRG_STORAGE);
  EXPECT_TRUE(workPool.dblPoolTop == 3 && workPool.intPoolTop == 0);
}

// GRGFUN and SQPFUN count, call in the caller's units and hand back the scaled point; GRGFUN with mode 3 negates
// the objective; ANAFUN neither counts nor converts.
TEST_F(DriverTest, BridgeRoutines) {
  KVW_grg(0, 2, x, lower, upper, 0, 0, record, &r, f);   // records the callback and the bounds
  double p[2] = {0.5, -0.5};                             // caller's units 3 and 4
  const int n = 2, objIndex = 1, plain = 2, negate = 3;  // only mode 3 negates
  Doubles objectives;
  GRGFUN(&plain, &objIndex, &n, p, f);
  objectives.push_back(f[0]);
  GRGFUN(&negate, &objIndex, &n, p, f);
  objectives.push_back(f[0]);
  SQPFUN(&n, p, f);
  EXPECT_EQ(std::tuple(objectives, f[0], r.points.back(), Doubles(p, p + 2)),
            std::tuple(Doubles{11.0, -11.0}, 11.0, Doubles{3.0, 4.0}, Doubles{0.5, -0.5}));
  double raw[2] = {1.0, 1.0};
  ANAFUN(raw, f);
  EXPECT_TRUE(f[0] == 3.0 && settings.nFunEval == 4);
}

// Within a run the bridge keeps its round trips and converts only the variables whose scaled bits changed; every
// point must still be handed over and come back exactly as the plain conversions give it, and be recorded and
// counted as before. The steps move variables with right, wrong and out-of-range guesses of what moved, revisit a
// point before its round trip (whose awkward bounds do not return the same bits), switch a zero's sign, let the
// callback write into its point, and pass through points that are not finite. Three runs: no variable fixed, two
// fixed (where the point is formed afresh at every call), and other bounds again without fixed variables, which
// must not find the first run's values.
TEST_F(DriverTest, KeptRoundTripsEqualThePlainConversionsBitForBit) {
  constexpr int kCallerN = 7;
  struct Writer {
    int calls = 0;
    int writeAtCall = -1;  // the callback writes into its point at this call
    Doubles seen;
    static void analysis(void* user, const double* x, double* objective, double*, double*) {
      auto* w = static_cast<Writer*>(user);
      w->seen.assign(x, x + kCallerN);
      if (++w->calls == w->writeAtCall) const_cast<double*>(x)[2] = 0.123;
      *objective = x[0];
    }
  } writer;
  bridge.callback = &Writer::analysis;
  bridge.userData = &writer;
  struct Step {
    const char* what;
    void (*move)(Doubles& x);
    LikelyChanges likely;
    bool callbackWrites;
  };
  const Step steps[] = {
      {"start", [](Doubles&) {}, {}, false},
      {"same point", [](Doubles&) {}, {}, false},
      {"one moved, guessed", [](Doubles& x) { x[3] += 1e-8; }, {3, -1}, false},
      {"two moved, one guessed", [](Doubles& x) { x[1] -= 0.25, x[4] *= 0.5; }, {1, 2}, false},
      {"guesses out of range", [](Doubles& x) { x[0] += 1.0 / 7; }, {-5, 99}, false},
      {"sign of a zero", [](Doubles& x) { x[5] = x[5] == 0.0 && !std::signbit(x[5]) ? -0.0 : 0.0; }, {5, -1}, false},
      {"start again", [](Doubles& x) { x = {0.0, 0.5, 1.0 / 3, -1.0, 0.1, -0.0, 0.7}; }, {}, false},
      {"callback writes", [](Doubles& x) { x[6] /= 3; }, {6, 0}, true},
      {"after the write", [](Doubles&) {}, {2, -1}, false},
      {"caller's value overflows", [](Doubles& x) { x[6] = 1e10; }, {6, -1}, false},
      {"finite again", [](Doubles& x) { x[6] = -0.5; }, {6, -1}, false},
      {"not a number", [](Doubles& x) { x[0] = std::nan(""); }, {0, -1}, false},
      {"odd last place", [](Doubles& x) { x[0] = 0.3, x[6] = 1.0 / 3; }, {6, 0}, false},
  };
  const Doubles lowerA{0, 0, -4, -1e-3, 2.5, -7.77, -1e300}, upperA{1, 1, 4, 5e-3, 9.1, 3.33, 1e300};
  const Doubles lowerB{-1, 0.1, -3, -2e-3, 2.5, -7.7, -1}, upperB{1, 0.1, 4, 5e-3, 9.3, -7.7, 1};  // two fixed
  const Doubles lowerC{-1, -1, -3, -2e-3, 2.5, -7.7, -1}, upperC{1, 1, 4, 5e-3, 9.3, 3.3, 1};
  const Doubles* bounds[3][2] = {{&lowerA, &upperA}, {&lowerB, &upperB}, {&lowerC, &upperC}};
  double records[3] = {};
  int unstableRoundTrips = 0;
  for (int run = 0; run < 3; ++run) {
    const Doubles &lower = *bounds[run][0], &upper = *bounds[run][1];
    const int n = beginRun(bridge, kCallerN, lower.data(), upper.data(), 1, records);
    ASSERT_EQ(n, run == 1 ? kCallerN - 2 : kCallerN);
    Doubles x{0.0, 0.5, 1.0 / 3, -1.0, 0.1, -0.0, 0.7};
    Doubles latest(kCallerN, 0.0);
    for (const Step& step : steps) {
      step.move(x);
      Doubles method(x.begin(), x.begin() + n);
      // The plain conversions: the caller's whole point (fixed variables at their values) and the way back.
      Doubles expected = lower;
      unscaleMethodPoint(bridge, method.data(), expected.data());
      const bool finite = std::all_of(expected.begin(), expected.end(), [](double v) { return std::isfinite(v); });
      // Where a variable is fixed the callback's point is also the record of the latest point: no write there.
      const bool writes = step.callbackWrites && finite && run != 1;
      Doubles written = expected;
      if (writes) written[2] = 0.123;
      Doubles back = method;
      scaleCallerPoint(bridge, written.data(), back.data());
      for (int k = 0; k < n; ++k) unstableRoundTrips += finite && !sameBits(back[k], method[k]) ? 1 : 0;

      writer.writeAtCall = writes ? writer.calls + 1 : -1;
      const int calls = writer.calls, counted = settings.nFunEval;
      double value = 0.0;
      const bool evaluated = evaluateAtScaledPoint(defaultContext(), n, method.data(), &value, step.likely);
      const std::string where = std::string("run ") + std::to_string(run) + ", " + step.what;
      ASSERT_EQ(evaluated, finite) << where;
      ASSERT_EQ(writer.calls - calls, finite ? 1 : 0) << where;
      EXPECT_EQ(settings.nFunEval - counted, finite ? 1 : 0) << where;
      EXPECT_EQ(latestAnalysisFinite(bridge), finite) << where;
      if (finite) {
        EXPECT_EQ(std::memcmp(writer.seen.data(), expected.data(), sizeof(double) * kCallerN), 0) << where;
        latest = expected;
      } else {
        back = method;  // untouched
      }
      EXPECT_EQ(std::memcmp(method.data(), back.data(), sizeof(double) * n), 0) << where;
      Doubles delivered(kCallerN, 0.0);
      deliverLatestPoint(bridge, delivered.data());
      EXPECT_EQ(std::memcmp(delivered.data(), latest.data(), sizeof(double) * kCallerN), 0) << where;
      std::copy(method.begin(), method.end(), x.begin());
    }
    endRun(bridge);
  }
  EXPECT_GT(unstableRoundTrips, 0);  // the bounds are awkward enough
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A named file is emptied by its first line; the default destination is fort.80 in the working directory, appended
// to within the process.
TEST_F(DriverTest, DiagnosticFiles) {
  const std::filesystem::path previous = std::filesystem::current_path();
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "korvex_stream_test";
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  std::filesystem::remove("fort.80");
  std::ofstream("named.txt") << "old contents\n";
  const char* destinations[] = {"named.txt", nullptr, nullptr};
  const int count = 2;
  for (const char* destination : destinations) {
    KVW_set_diagFile(destination);  // closes the previous file
    PRTMES("L1", 2, &count);
  }
  KVW_set_diagFile(nullptr);
  const std::string named = readFile("named.txt");
  const std::string fort80 = readFile("fort.80");
  std::filesystem::current_path(previous);
  EXPECT_EQ(named, " L1\n");
  EXPECT_EQ(fort80, " L1\n L1\n");
}

}  // namespace
}  // namespace korvex::testing
