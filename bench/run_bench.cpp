// Whole runs: every demo problem solved from its start point, by each method, on the default context and on a
// created context. One iteration of a benchmark solves the whole problem set; diagnostics are off.
#include <benchmark/benchmark.h>

#include <vector>

#include "korvex/korvex.h"
#include "problems.h"

namespace {

using korvex_examples::TestProblem;

constexpr int kMaxIter = 100;

// Solves every problem once; returns the sum of the objectives (kept, so nothing is optimised away).
template <typename Run>
double solveAll(Run&& run) {
  double sum = 0.0;
  double x[korvex_examples::kMaxProblemVariables];
  double f[korvex_examples::kMaxProblemFunctions];
  for (const TestProblem& p : korvex_examples::testProblems()) {
    std::copy(p.start.begin(), p.start.end(), x);
    run(p, x, f);
    sum += f[0];
  }
  return sum;
}

void DemoProblemsOnDefaultContext(benchmark::State& state) {
  const bool grg = state.range(0) == 1;
  KVW_setDefaults();
  for (auto _ : state) {
    benchmark::DoNotOptimize(solveAll([&](const TestProblem& p, double* x, double* f) {
      KVW_setDefaults();
      const auto run = grg ? &KVW_grg : &KVW_sqp;
      run(kMaxIter, p.n, x, p.lower.data(), p.upper.data(), p.nEq, p.nIneq, p.analysis, nullptr, f);
    }));
  }
}
BENCHMARK(DemoProblemsOnDefaultContext)->ArgName("grg")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// --- context runs ---
void DemoProblemsOnCreatedContext(benchmark::State& state) {
  const bool grg = state.range(0) == 1;
  KVW_Context* ctx = KVW_ctx_create();
  for (auto _ : state) {
    benchmark::DoNotOptimize(solveAll([&](const TestProblem& p, double* x, double* f) {
      KVW_ctx_setDefaults(ctx);
      const auto run = grg ? &KVW_ctx_grg : &KVW_ctx_sqp;
      run(ctx, kMaxIter, p.n, x, p.lower.data(), p.upper.data(), p.nEq, p.nIneq, p.analysis, nullptr, f);
    }));
  }
  KVW_ctx_free(ctx);
}
BENCHMARK(DemoProblemsOnCreatedContext)->ArgName("grg")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
