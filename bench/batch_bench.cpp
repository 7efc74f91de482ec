// Whole runs with an analysis that takes 10 ms (a sleep, so that even a machine with few cores shows what
// concurrent evaluation gives): 20 variables, one equality and two inequalities, central differences, a few
// iterations of each method. Each run is made serially, on k = 2, 4, 8 and 16 threads, and through a batch callback
// that evaluates every point of a group at once on threads of its own (as a cluster would). Reported: the wall time,
// the speed-up against the serial run, and the share of the analysis calls that went through groups of more than
// one point.
//
//   build/bench/batch_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "korvex/korvex.h"

namespace {

constexpr int kVariables = 20;
constexpr int kEqualities = 1;
constexpr int kInequalities = 2;
constexpr int kFunctions = 1 + kEqualities + kInequalities;
constexpr int kIterations = 3;

struct Analysis {
  bool sleeps = true;
};

// A convex quadratic valley with a coupling term, the sum of the variables fixed, and two half-spaces cutting off
// the unconstrained minimum.
void quadratic(void* user, const double* x, double* objective, double* equalities, double* inequalities) {
  if (static_cast<const Analysis*>(user)->sleeps) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  double f = 0.0, sum = 0.0, odd = 0.0;
  for (int i = 0; i < kVariables; ++i) {
    const double target = 1.0 + 0.1 * i;
    f += (x[i] - target) * (x[i] - target);
    if (i + 1 < kVariables) f += 0.25 * x[i] * x[i + 1];
    sum += x[i];
    if (i % 2 == 1) odd += x[i];
  }
  *objective = f;
  equalities[0] = sum - 15.0;
  inequalities[0] = x[0] + x[1] - 1.0;  // x1 + x2 <= 1
  inequalities[1] = odd - 6.0;          // the odd-numbered variables sum to at most 6
}

// Every point of the group on a thread of its own.
void allAtOnce(void* user, int count, int n, int nEq, int /*nIneq*/, const double* x, double* f) {
  std::vector<std::thread> threads;
  threads.reserve(static_cast<size_t>(count));
  for (int k = 0; k < count; ++k) {
    threads.emplace_back([=] {
      double* fk = f + k * kFunctions;
      quadratic(user, x + k * n, fk, fk + 1, fk + 1 + nEq);
    });
  }
  for (std::thread& t : threads) t.join();
}

struct GroupCount {
  long all = 0;
  long grouped = 0;  // in groups of more than one point
};

void countingGroups(void* user, int count, int n, int nEq, int /*nIneq*/, const double* x, double* f) {
  auto& c = *static_cast<GroupCount*>(user);
  c.all += count;
  if (count > 1) c.grouped += count;
  Analysis quick{false};
  for (int k = 0; k < count; ++k) {
    double* fk = f + k * kFunctions;
    quadratic(&quick, x + k * n, fk, fk + 1, fk + 1 + nEq);
  }
}

int run(KVW_Context* ctx, int method, Analysis& analysis) {
  double x[kVariables], lower[kVariables], upper[kVariables], f[kFunctions];
  for (int i = 0; i < kVariables; ++i) {
    x[i] = 0.5;
    lower[i] = -5.0;
    upper[i] = 5.0;
  }
  KVW_ctx_setDefaults(ctx);
  KVW_ctx_set_diffMeth(ctx, 2);
  const auto solve = method == 1 ? &KVW_ctx_grg : &KVW_ctx_sqp;
  return solve(ctx, kIterations, kVariables, x, lower, upper, kEqualities, kInequalities, quadratic, &analysis, f);
}

// The share of analysis calls in groups of more than one point, from a run without the sleep (the same run: the
// grouping never changes the arithmetic).
double groupedShare(int method) {
  KVW_Context* ctx = KVW_ctx_create();
  GroupCount count;
  KVW_ctx_set_batchCallback(ctx, countingGroups, &count);
  Analysis quick{false};
  run(ctx, method, quick);
  KVW_ctx_free(ctx);
  return count.all > 0 ? static_cast<double>(count.grouped) / static_cast<double>(count.all) : 0.0;
}

std::map<int, double> serialSeconds;  // per method, from the k = 1 benchmark, which runs first

// Arguments: method (1 GRG, 0 SQP), threads (0: the batch callback).
void WholeRun(benchmark::State& state) {
  const int method = static_cast<int>(state.range(0));
  const int threads = static_cast<int>(state.range(1));
  KVW_Context* ctx = KVW_ctx_create();
  Analysis analysis;
  if (threads > 0) {
    KVW_ctx_set_threads(ctx, threads);
  } else {
    KVW_ctx_set_batchCallback(ctx, allAtOnce, &analysis);
  }
  double seconds = 0.0;
  int calls = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(run(ctx, method, analysis));
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    calls = KVW_ctx_get_nFunEval(ctx);
  }
  KVW_ctx_free(ctx);
  seconds /= static_cast<double>(state.iterations());
  if (threads == 1) serialSeconds[method] = seconds;
  state.counters["calls"] = calls;
  state.counters["speedup"] = serialSeconds.count(method) != 0 ? serialSeconds[method] / seconds : 0.0;
  state.counters["grouped"] = groupedShare(method);
  state.SetLabel(threads > 0 ? "threads" : "batch callback");
}

BENCHMARK(WholeRun)
    ->ArgNames({"grg", "k"})
    ->ArgsProduct({{0, 1}, {1, 2, 4, 8, 16, 0}})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
