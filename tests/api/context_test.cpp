// Contexts through the public interface (batch_test.cpp compares their runs with the default context's): a null
// context is refused; a new context prints nowhere until told where; the stop request comes from another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "korvex/korvex.h"
#include "problems.h"
#include "run_record.h"

namespace {

using korvex_api_testing::collectLine;
using korvex_examples::TestProblem;

void counting(void* user, const double* x, double* objective, double*, double*) {
  ++*static_cast<int*>(user);
  *objective = x[0] * x[0];
}

// A null context: runs are refused without a call, setters and the stream functions do nothing, getters give 0,
// the result text works, and freeing null is harmless.
TEST(Contexts, NullContextIsRefusedEverywhere) {
  double x[1] = {0.5}, lower[1] = {-1}, upper[1] = {1}, f[1] = {0};
  int calls = 0;
  EXPECT_EQ(KVW_ctx_sqp(nullptr, 10, 1, x, lower, upper, 0, 0, counting, &calls, f), KVW_INVALID_ARGUMENT);
  EXPECT_EQ(KVW_ctx_grg(nullptr, 10, 1, x, lower, upper, 0, 0, counting, &calls, f), KVW_INVALID_ARGUMENT);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(x[0], 0.5);
  KVW_ctx_setDefaults(nullptr);
  KVW_ctx_set_stop(nullptr, 1);
  KVW_ctx_set_print(nullptr, 3);
  KVW_ctx_set_diffMeth(nullptr, 0);
  KVW_ctx_set_diffPert(nullptr, 0.1);
  KVW_ctx_set_convTol(nullptr, 0.1);
  KVW_ctx_set_diagFile(nullptr, "never-written.txt");
  KVW_ctx_set_diagCallback(nullptr, collectLine, nullptr);
  EXPECT_EQ(KVW_ctx_get_nIter(nullptr), 0);
  EXPECT_EQ(KVW_ctx_get_nFunEval(nullptr), 0);
  EXPECT_STREQ(KVW_ctx_resultText(nullptr, 0, 1), KVW_resultText(0, 1));
  EXPECT_STREQ(KVW_ctx_resultText(nullptr, 1, 12), KVW_resultText(1, 12));
  KVW_ctx_free(nullptr);
}

// A new context prints nowhere (no fort.80 appears) until a file is named; then its lines go there, and null sends
// them nowhere again.
TEST(Contexts, NewContextPrintsNowhereUntilAFileIsNamed) {
  namespace fs = std::filesystem;
  const fs::path previous = fs::current_path();
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const fs::path dir = fs::temp_directory_path() / ("korvex-context-" + std::to_string(stamp));
  fs::create_directories(dir);
  fs::current_path(dir);
  const TestProblem& p = *korvex_examples::findProblem("hs21");
  KVW_Context* ctx = KVW_ctx_create();
  ASSERT_NE(ctx, nullptr);
  auto run = [&] {
    std::vector<double> x(p.start.begin(), p.start.begin() + p.n), f(2);
    KVW_ctx_set_print(ctx, 3);
    return KVW_ctx_sqp(ctx, 100, p.n, x.data(), p.lower.data(), p.upper.data(), p.nEq, p.nIneq, p.analysis,
                       nullptr, f.data());
  };
  EXPECT_EQ(run(), KVW_SQP_CONVERGED);
  EXPECT_TRUE(fs::is_empty(dir));
  KVW_ctx_set_diagFile(ctx, "context.txt");
  EXPECT_EQ(run(), KVW_SQP_CONVERGED);
  KVW_ctx_set_diagFile(ctx, nullptr);  // closes the file
  const auto written = fs::file_size(dir / "context.txt");
  EXPECT_GT(written, 1000u);
  EXPECT_EQ(run(), KVW_SQP_CONVERGED);
  KVW_ctx_free(ctx);
  EXPECT_EQ(fs::file_size(dir / "context.txt"), written);
  EXPECT_FALSE(fs::exists(dir / "fort.80"));
  fs::current_path(previous);
  fs::remove_all(dir);
}

// The analysis blocks at its third call until another thread has requested the stop and made the count negative;
// the run then ends at the top of its next iteration with the method's stop code.
void waitForStopAtThirdCall(void* user, const double* x, double* objective, double*, double*) {
  auto& calls = *static_cast<std::atomic<int>*>(user);
  if (++calls == 3) {
    while (calls.load() > 0) std::this_thread::yield();
  }
  *objective = (x[0] - 0.3) * (x[0] - 0.3) + (x[1] + 0.2) * (x[1] + 0.2);
}

TEST(Contexts, StopRequestFromAnotherThreadEndsTheRun) {
  for (int method : {0, 1}) {
    KVW_Context* ctx = KVW_ctx_create();
    ASSERT_NE(ctx, nullptr);
    std::atomic<int> calls{0};
    double x[2] = {0.9, 0.9}, lower[2] = {-1, -1}, upper[2] = {1, 1}, f[1];
    std::thread canceller([&] {
      while (calls.load() < 3) std::this_thread::yield();
      KVW_ctx_set_stop(ctx, 1);
      calls = -1000;
    });
    const auto run = method == 1 ? &KVW_ctx_grg : &KVW_ctx_sqp;
    const int result = run(ctx, 1000, 2, x, lower, upper, 0, 0, waitForStopAtThirdCall, &calls, f);
    canceller.join();
    EXPECT_EQ(result, method == 1 ? KVW_GRG_STOPPED : KVW_SQP_STOPPED);
    EXPECT_LE(KVW_ctx_get_nIter(ctx), 3);
    KVW_ctx_free(ctx);
  }
}

}  // namespace
