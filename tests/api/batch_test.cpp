// Groups of points through the public interface: every demo problem with both methods and both difference formulas
// gives the serial run bit for bit (x, f, result, counters, every printed line) on worker threads and through a batch
// callback that evaluates each group backwards; a callback exception inside a group ends the run at the iterate; the
// setters refuse what they must.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "korvex/korvex.h"
#include "problems.h"
#include "run_record.h"

namespace {

using korvex_api_testing::RunRecord;
using korvex_api_testing::sameRun;
using korvex_examples::TestProblem;

// How the points of a run are evaluated.
struct Mode {
  const char* name;
  int threads;
  bool batch;  // through the backwards batch callback
};

struct BatchCalls {
  const TestProblem* problem;
  int groups = 0;        // calls of the batch callback
  int points = 0;        // points they evaluated
  int largestGroup = 0;
};

// Evaluates the group from its last point to its first.
void backwards(void* user, int count, int n, int nEq, int nIneq, const double* x, double* f) {
  auto& calls = *static_cast<BatchCalls*>(user);
  const int m = 1 + nEq + nIneq;
  EXPECT_EQ(n, calls.problem->n);
  EXPECT_EQ(nEq, calls.problem->nEq);
  EXPECT_EQ(nIneq, calls.problem->nIneq);
  for (int k = count - 1; k >= 0; --k) {
    double* fk = f + static_cast<size_t>(k) * m;
    calls.problem->analysis(nullptr, x + static_cast<size_t>(k) * n, fk, fk + 1, fk + 1 + nEq);
  }
  calls.groups += 1;
  calls.points += count;
  calls.largestGroup = std::max(calls.largestGroup, count);
}

RunRecord runInMode(KVW_Context* ctx, const TestProblem& p, int method, int diffMeth, const Mode& mode,
                    BatchCalls& calls) {
  RunRecord r;
  r.x.assign(p.start.begin(), p.start.begin() + p.n);
  r.f.assign(static_cast<size_t>(1 + p.nEq + p.nIneq), 0.0);
  KVW_ctx_setDefaults(ctx);
  KVW_ctx_set_print(ctx, 3);
  KVW_ctx_set_diffMeth(ctx, diffMeth);
  EXPECT_EQ(KVW_ctx_set_threads(ctx, mode.threads), 0);
  KVW_ctx_set_batchCallback(ctx, mode.batch ? backwards : nullptr, &calls);
  KVW_ctx_set_diagCallback(ctx, korvex_api_testing::collectLine, &r.lines);
  const auto run = method == 1 ? &KVW_ctx_grg : &KVW_ctx_sqp;
  // With a batch callback the ordinary one is not needed.
  r.result = run(ctx, 100, p.n, r.x.data(), p.lower.data(), p.upper.data(), p.nEq, p.nIneq,
                 mode.batch ? nullptr : p.analysis, nullptr, r.f.data());
  KVW_ctx_set_diagCallback(ctx, nullptr, nullptr);
  r.nIter = KVW_ctx_get_nIter(ctx);
  r.nFunEval = KVW_ctx_get_nFunEval(ctx);
  return r;
}

// The identity: every demo problem, GRG and SQP, forward and central differences, at print level 3; the runs on 2
// and 8 threads and through the backwards batch callback are the serial run in every bit and every line. In the
// batch runs every analysis call goes through the callback and each gradient comes as one group of n or 2n points.
TEST(Batches, EveryWayOfEvaluatingGivesTheSerialRunBitForBit) {
  const Mode serial{"serial", 1, false};
  const Mode modes[] = {{"2 threads", 2, false}, {"8 threads", 8, false}, {"batch", 1, true}, {"batch", 8, true}};
  KVW_Context* reference = KVW_ctx_create();
  KVW_Context* ctx = KVW_ctx_create();
  ASSERT_NE(reference, nullptr);
  ASSERT_NE(ctx, nullptr);
  for (const TestProblem& p : korvex_examples::testProblems()) {
    for (int method : {0, 1}) {
      for (int diffMeth : {1, 2}) {
        BatchCalls unused{&p};
        const RunRecord expected = runInMode(reference, p, method, diffMeth, serial, unused);
        ASSERT_GT(expected.lines.size(), 10u);
        for (const Mode& mode : modes) {
          SCOPED_TRACE(std::string(p.name) + (method == 1 ? " grg" : " sqp") + (diffMeth == 1 ? " forward " : " central ") +
                       mode.name + " " + std::to_string(mode.threads));
          BatchCalls calls{&p};
          EXPECT_TRUE(sameRun(runInMode(ctx, p, method, diffMeth, mode, calls), expected));
          if (mode.batch) {
            EXPECT_EQ(calls.points, expected.nFunEval);
            EXPECT_EQ(calls.largestGroup, diffMeth == 1 ? p.n : 2 * p.n);
          }
        }
      }
    }
  }
  KVW_ctx_free(reference);
  KVW_ctx_free(ctx);
}

// A run on k threads where one difference point throws.
struct Trap {
  const TestProblem* problem;
  std::atomic<bool> armed{false};
  int iteration = 0;          // the iteration whose gradient fails
  bool notFinite = false;     // the failing point's objective is NaN instead of a throw
  std::vector<double> x, f;   // the iterate and its values as the iteration callback saw them
  int callsAtIteration = 0;
};

void trappedAnalysis(void* user, const double* x, double* objective, double* equalities, double* inequalities) {
  auto& trap = *static_cast<Trap*>(user);
  trap.problem->analysis(nullptr, x, objective, equalities, inequalities);
  // Only the point that raises the last variable: the other points of the group are evaluated normally.
  if (trap.armed.load() && x[trap.problem->n - 1] > trap.x[trap.problem->n - 1]) {
    if (trap.notFinite) {
      *objective = std::nan("");
      return;
    }
    throw std::runtime_error("analysis failed");
  }
}

void trappedBatch(void* user, int count, int n, int nEq, int nIneq, const double* x, double* f) {
  const int m = 1 + nEq + nIneq;
  for (int k = 0; k < count; ++k) {
    double* fk = f + static_cast<size_t>(k) * m;
    trappedAnalysis(user, x + static_cast<size_t>(k) * n, fk, fk + 1, fk + 1 + nEq);
  }
}

void armAtIteration(void* user, int iteration, int n, const double* x, const double* f, int nFunEval) {
  auto& trap = *static_cast<Trap*>(user);
  if (iteration != trap.iteration) return;
  const int m = 1 + trap.problem->nEq + trap.problem->nIneq;
  trap.x.assign(x, x + n);
  trap.f.assign(f, f + m);
  trap.callsAtIteration = nFunEval;
  trap.armed = true;
}

// A callback exception, or a NaN, at one difference point of a gradient's group, on worker threads or inside the
// batch callback: the whole group is evaluated, then the run ends with 97 (or 95) and x and f at the iterate whose
// gradient was being formed, as the iteration callback saw them; the serial run ends with the same code, x and f.
TEST(Batches, AFailingPointInAGroupEndsTheRunAtTheIterate) {
  KVW_Context* ctx = KVW_ctx_create();
  ASSERT_NE(ctx, nullptr);
  for (const char* name : {"hs6", "hs71"}) {
    const TestProblem& p = *korvex_examples::findProblem(name);
    for (int method : {0, 1}) {
      for (int diffMeth : {1, 2}) {
        for (bool notFinite : {false, true}) {
          std::vector<double> serialX, serialF;
          for (int mode : {0, 1, 2}) {  // serial, 2 threads, batch callback
            SCOPED_TRACE(std::string(name) + (method == 1 ? " grg" : " sqp") + (notFinite ? " NaN" : " throw") +
                         " mode " + std::to_string(mode) + " diffMeth " + std::to_string(diffMeth));
            Trap trap;
            trap.problem = &p;
            trap.iteration = 2;
            trap.notFinite = notFinite;
            std::vector<double> x(p.start.begin(), p.start.begin() + p.n);
            std::vector<double> f(static_cast<size_t>(1 + p.nEq + p.nIneq));
            KVW_ctx_setDefaults(ctx);
            KVW_ctx_set_diffMeth(ctx, diffMeth);
            ASSERT_EQ(KVW_ctx_set_threads(ctx, mode == 1 ? 2 : 1), 0);
            KVW_ctx_set_batchCallback(ctx, mode == 2 ? trappedBatch : nullptr, &trap);
            KVW_ctx_set_iterationCallback(ctx, armAtIteration, &trap);
            const auto run = method == 1 ? &KVW_ctx_grg : &KVW_ctx_sqp;
            EXPECT_EQ(run(ctx, 100, p.n, x.data(), p.lower.data(), p.upper.data(), p.nEq, p.nIneq, trappedAnalysis,
                          &trap, f.data()),
                      notFinite ? KVW_NON_FINITE_ANALYSIS : KVW_CALLBACK_EXCEPTION);
            KVW_ctx_set_batchCallback(ctx, nullptr, nullptr);
            KVW_ctx_set_iterationCallback(ctx, nullptr, nullptr);
            ASSERT_TRUE(trap.armed.load());
            if (mode > 0) {  // the whole group was evaluated
              EXPECT_EQ(KVW_ctx_get_nFunEval(ctx), trap.callsAtIteration + (diffMeth == 1 ? 1 : 2) * p.n);
            }
            EXPECT_TRUE(korvex_api_testing::sameBits(x, trap.x));
            EXPECT_TRUE(korvex_api_testing::sameBits(f, trap.f));
            if (mode == 0) {
              serialX = x;
              serialF = f;
            }
            EXPECT_TRUE(korvex_api_testing::sameBits(x, serialX) && korvex_api_testing::sameBits(f, serialF));
          }
        }
      }
    }
  }
  KVW_ctx_set_threads(ctx, 1);
  KVW_ctx_free(ctx);
}

// The analysis calls of a run, and what the iteration callback was handed.
struct Observed {
  Observed(const TestProblem* p, KVW_Context* context, int stopIteration = 0)
      : problem(p), ctx(context), stopAt(stopIteration) {}
  const TestProblem* problem;
  KVW_Context* ctx;
  int stopAt;  // request a stop from the iteration callback at this iteration (0: never)
  std::vector<std::vector<double>> callX, callF;
  struct Report {
    int iteration, nFunEval;
    std::vector<double> x, f;
  };
  std::vector<Report> reports;
};

void recordingAnalysis(void* user, const double* x, double* objective, double* equalities, double* inequalities) {
  auto& o = *static_cast<Observed*>(user);
  o.problem->analysis(nullptr, x, objective, equalities, inequalities);
  const int m = 1 + o.problem->nEq + o.problem->nIneq;
  o.callX.emplace_back(x, x + o.problem->n);
  std::vector<double> f(static_cast<size_t>(m));
  f[0] = *objective;
  std::copy(equalities, equalities + o.problem->nEq, f.begin() + 1);
  std::copy(inequalities, inequalities + o.problem->nIneq, f.begin() + 1 + o.problem->nEq);
  o.callF.push_back(f);
}

void recordIteration(void* user, int iteration, int n, const double* x, const double* f, int nFunEval) {
  auto& o = *static_cast<Observed*>(user);
  const int m = 1 + o.problem->nEq + o.problem->nIneq;
  o.reports.push_back({iteration, nFunEval, std::vector<double>(x, x + n), std::vector<double>(f, f + m)});
  if (iteration == o.stopAt) KVW_ctx_set_stop(o.ctx, 1);
}

// The iteration callback of every demo problem and both methods: called for iterations 1, 2, ... up to the last
// begun, each time with the number of analysis calls made so far and a point and function vector that one of those
// calls saw and wrote, bit for bit (in the GRG feasibility phase too); the run is the run without the callback. A
// stop requested from the callback at iteration 2 ends the run there, before another analysis call.
TEST(Batches, TheIterationCallbackSeesTheIterateAsTheAnalysisSawIt) {
  KVW_Context* ctx = KVW_ctx_create();
  ASSERT_NE(ctx, nullptr);
  for (const TestProblem& p : korvex_examples::testProblems()) {
    for (int method : {0, 1}) {
      SCOPED_TRACE(std::string(p.name) + (method == 1 ? " grg" : " sqp"));
      const RunRecord expected = korvex_api_testing::runOnContext(ctx, p, method, 2);
      Observed o{&p, ctx};
      KVW_ctx_set_iterationCallback(ctx, recordIteration, &o);
      RunRecord r;
      r.x.assign(p.start.begin(), p.start.begin() + p.n);
      r.f.assign(static_cast<size_t>(1 + p.nEq + p.nIneq), 0.0);
      KVW_ctx_setDefaults(ctx);
      KVW_ctx_set_print(ctx, 2);
      KVW_ctx_set_diagCallback(ctx, korvex_api_testing::collectLine, &r.lines);
      const auto run = method == 1 ? &KVW_ctx_grg : &KVW_ctx_sqp;
      r.result = run(ctx, 100, p.n, r.x.data(), p.lower.data(), p.upper.data(), p.nEq, p.nIneq, recordingAnalysis, &o,
                     r.f.data());
      KVW_ctx_set_diagCallback(ctx, nullptr, nullptr);
      r.nIter = KVW_ctx_get_nIter(ctx);
      r.nFunEval = KVW_ctx_get_nFunEval(ctx);
      KVW_ctx_set_iterationCallback(ctx, nullptr, nullptr);
      EXPECT_TRUE(sameRun(r, expected));

      ASSERT_EQ(static_cast<int>(o.reports.size()), r.nIter);
      for (size_t k = 0; k < o.reports.size(); ++k) {
        const Observed::Report& report = o.reports[k];
        EXPECT_EQ(report.iteration, static_cast<int>(k) + 1);
        ASSERT_LE(report.nFunEval, static_cast<int>(o.callX.size()));
        bool seen = false;
        for (int c = report.nFunEval - 1; c >= 0 && !seen; --c) {
          seen = korvex_api_testing::sameBits(o.callX[static_cast<size_t>(c)], report.x) &&
                 korvex_api_testing::sameBits(o.callF[static_cast<size_t>(c)], report.f);
        }
        EXPECT_TRUE(seen) << "iteration " << report.iteration;
      }
      if (r.nIter < 3) continue;

      Observed stopping{&p, ctx, 2};
      KVW_ctx_set_iterationCallback(ctx, recordIteration, &stopping);
      KVW_ctx_setDefaults(ctx);
      std::vector<double> x(p.start.begin(), p.start.begin() + p.n), f(r.f.size());
      EXPECT_EQ(run(ctx, 100, p.n, x.data(), p.lower.data(), p.upper.data(), p.nEq, p.nIneq, recordingAnalysis,
                    &stopping, f.data()),
                method == 1 ? KVW_GRG_STOPPED : KVW_SQP_STOPPED);
      KVW_ctx_set_iterationCallback(ctx, nullptr, nullptr);
      EXPECT_EQ(KVW_ctx_get_nIter(ctx), 2);
      ASSERT_EQ(stopping.reports.size(), 2u);
      EXPECT_EQ(static_cast<int>(stopping.callX.size()), stopping.reports[1].nFunEval);
      KVW_ctx_set_stop(ctx, 0);
    }
  }
  KVW_ctx_free(ctx);
}

struct SettingDuringRun {
  KVW_Context* ctx;
  int threadsResult = 0;
};

void setsThreads(void* user, const double* x, double* objective, double*, double*) {
  auto& s = *static_cast<SettingDuringRun*>(user);
  s.threadsResult = KVW_ctx_set_threads(s.ctx, 4);
  *objective = x[0] * x[0];
}

// The thread count: 1..64 accepted (repeatedly, down to 1 again), anything else refused with 96, null contexts
// refused, and a change from inside a run refused with 94 while the run goes on unchanged. The default context's
// setters take the same values.
TEST(Batches, ThreadSettingsAreCheckedAndFixedDuringARun) {
  KVW_Context* ctx = KVW_ctx_create();
  ASSERT_NE(ctx, nullptr);
  const struct {
    int count;
    int expected;
  } cases[] = {{0, KVW_INVALID_ARGUMENT}, {-3, KVW_INVALID_ARGUMENT}, {65, KVW_INVALID_ARGUMENT}, {64, 0}, {3, 0},
               {3, 0},                    {1, 0},                      {2, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    EXPECT_EQ(KVW_ctx_set_threads(ctx, c.count), c.expected);
    EXPECT_EQ(KVW_set_threads(c.count), c.expected);
  }
  EXPECT_EQ(KVW_ctx_set_threads(nullptr, 2), KVW_INVALID_ARGUMENT);
  KVW_ctx_set_batchCallback(nullptr, backwards, nullptr);
  KVW_ctx_set_iterationCallback(nullptr, nullptr, nullptr);

  SettingDuringRun s{ctx};
  double x[1] = {0.5}, lower[1] = {-1}, upper[1] = {1}, f[1] = {0};
  KVW_ctx_setDefaults(ctx);
  EXPECT_EQ(KVW_ctx_sqp(ctx, 5, 1, x, lower, upper, 0, 0, setsThreads, &s, f), KVW_SQP_CONVERGED);
  EXPECT_EQ(s.threadsResult, KVW_RUN_IN_PROGRESS);
  EXPECT_EQ(KVW_ctx_set_threads(ctx, 1), 0);
  EXPECT_EQ(KVW_set_threads(1), 0);
  KVW_ctx_free(ctx);  // with its two workers
}

}  // namespace
