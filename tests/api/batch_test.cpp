// Contexts, worker threads and batches through the public interface: every demo problem with both methods and both
// difference formulas gives the default context's serial run bit for bit (x, f, result, counters, every printed
// line) on created contexts, also eight at once in eight threads, on worker threads and through a batch callback
// that evaluates each group backwards; a callback exception inside a group ends the run at the iterate; the
// setters refuse what they must.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "korvex/korvex.h"
#include "problems.h"
#include "run_record.h"

namespace {

using korvex_api_testing::Analysis;
using korvex_api_testing::describe;
using korvex_api_testing::RunRecord;
using korvex_api_testing::runOnContext;
using korvex_api_testing::sameBits;
using korvex_api_testing::sameRun;
using korvex_examples::TestProblem;

struct BatchCalls {
  const TestProblem* problem;
  Analysis analysis;  // of each point
  int points = 0;  // points the batch callback evaluated
  int largestGroup = 0;
};

// Evaluates the group from its last point to its first.
void backwards(void* user, int count, int n, int nEq, int nIneq, const double* x, double* f) {
  auto& calls = *static_cast<BatchCalls*>(user);
  const int m = 1 + nEq + nIneq;
  EXPECT_TRUE(n == calls.problem->n && nEq == calls.problem->nEq && nIneq == calls.problem->nIneq);
  for (int k = count - 1; k >= 0; --k) {
    double* fk = f + static_cast<size_t>(k) * m;
    calls.analysis.callback(calls.analysis.user, x + static_cast<size_t>(k) * n, fk, fk + 1, fk + 1 + nEq);
  }
  calls.points += count;
  calls.largestGroup = std::max(calls.largestGroup, count);
}

// A run of the default context, as every other way of making it must reproduce it.
struct Job {
  const TestProblem* problem;
  int method, diffMeth, print;
  RunRecord expected;
};

// The identity: every job, run by eight threads at once, each on a context of its own that it uses again run after
// run in its own order (so different problems and print levels overlap), on 1, 2 or 8 worker threads or through the
// backwards batch callback (each job in every one of these modes), is the default context's serial run in every bit
// and every line, and leaves the default context's counters alone. In the batch runs every analysis call goes
// through the callback and each gradient comes as one group of n or 2n points.
TEST(Batches, EveryWayOfEvaluatingGivesTheSerialRunBitForBit) {
  const struct {
    int threads;
    bool batch;  // through the backwards batch callback
  } modes[] = {{1, false}, {2, false}, {8, false}, {1, true}, {8, true}};
  std::vector<Job> all;  // every demo problem, GRG and SQP, forward and central differences, print levels 0 and 3
  for (const TestProblem& p : korvex_examples::testProblems()) {
    for (int method : {0, 1}) {
      for (int diffMeth : {1, 2}) {
        for (int print : {0, 3}) {
          all.push_back({&p, method, diffMeth, print, runOnContext(nullptr, p, method, print, diffMeth)});
        }
      }
    }
  }
  const int defaultCalls = KVW_get_nFunEval();
  constexpr int kThreads = 8;
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      KVW_Context* ctx = KVW_ctx_create();
      EXPECT_NE(ctx, nullptr);
      for (++ready; ready.load() < kThreads;) std::this_thread::yield();  // all start together
      for (size_t k = 0; ctx != nullptr && k < all.size(); ++k) {
        const size_t j = (k + static_cast<size_t>(t) * 7) % all.size();
        const Job& job = all[j];
        const auto& mode = modes[(j + static_cast<size_t>(t)) % 5];
        BatchCalls calls{job.problem, {job.problem->analysis, nullptr}};
        EXPECT_EQ(KVW_ctx_set_threads(ctx, mode.threads), 0);
        KVW_ctx_set_batchCallback(ctx, mode.batch ? backwards : nullptr, &calls);
        // With a batch callback the ordinary one is not needed.
        const auto analysis = mode.batch ? std::optional<Analysis>({nullptr, nullptr}) : std::nullopt;
        const RunRecord r = runOnContext(ctx, *job.problem, job.method, job.print, job.diffMeth, analysis);
        const std::string what = describe(*job.problem, job.method) + (job.diffMeth == 1 ? " forward" : " central") +
                                 " print " + std::to_string(job.print) + " threads " + std::to_string(mode.threads) +
                                 (mode.batch ? " batch" : "");
        EXPECT_TRUE(sameRun(r, job.expected) && (job.print == 0 || r.lines.size() > 10u)) << what;
        EXPECT_EQ(KVW_get_nFunEval(), defaultCalls) << what;
        EXPECT_TRUE(!mode.batch || (calls.points == r.nFunEval &&
                                    calls.largestGroup == (job.diffMeth == 1 ? 1 : 2) * job.problem->n))
            << what;
      }
      KVW_ctx_free(ctx);
    });
  }
  for (auto& thread : threads) thread.join();
}

// A run on k threads where one difference point throws.
struct Trap {
  const TestProblem* problem;
  std::atomic<bool> armed{false};
  int iteration = 0;          // the iteration whose gradient fails
  bool notFinite = false;     // the failing point's objective is NaN instead of a throw
  std::vector<double> x{}, f{};  // the iterate and its values as the iteration callback saw them
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
          RunRecord serial;
          for (int mode : {0, 1, 2}) {  // serial, 2 threads, batch callback
            SCOPED_TRACE(describe(p, method) + (notFinite ? " NaN" : " throw") +
                         " mode " + std::to_string(mode) + " diffMeth " + std::to_string(diffMeth));
            Trap trap{&p, {false}, 2, notFinite};
            BatchCalls calls{&p, {trappedAnalysis, &trap}};
            ASSERT_EQ(KVW_ctx_set_threads(ctx, mode == 1 ? 2 : 1), 0);
            KVW_ctx_set_batchCallback(ctx, mode == 2 ? backwards : nullptr, &calls);
            KVW_ctx_set_iterationCallback(ctx, armAtIteration, &trap);
            const RunRecord r = runOnContext(ctx, p, method, 0, diffMeth, Analysis{trappedAnalysis, &trap});
            EXPECT_EQ(r.result, notFinite ? KVW_NON_FINITE_ANALYSIS : KVW_CALLBACK_EXCEPTION);
            KVW_ctx_set_batchCallback(ctx, nullptr, nullptr);
            KVW_ctx_set_iterationCallback(ctx, nullptr, nullptr);
            ASSERT_TRUE(trap.armed.load());
            if (mode > 0) {  // the whole group was evaluated
              EXPECT_EQ(r.nFunEval, trap.callsAtIteration + (diffMeth == 1 ? 1 : 2) * p.n);
            }
            EXPECT_TRUE(sameBits(r.x, trap.x) && sameBits(r.f, trap.f));
            if (mode == 0) serial = r;
            EXPECT_TRUE(sameBits(r.x, serial.x) && sameBits(r.f, serial.f));
          }
        }
      }
    }
  }
  KVW_ctx_set_threads(ctx, 1);
  KVW_ctx_free(ctx);
}

// The analysis calls of a run, and what the iteration callback was handed: each a point followed by its functions.
struct Observed {
  const TestProblem* problem;
  KVW_Context* ctx;
  int stopAt = 0;  // request a stop from the iteration callback at this iteration (0: never)
  int threadsDuringRun = 0;  // what a change of the thread count from the iteration callback returned
  std::vector<std::vector<double>> calls{};
  struct Report {
    int iteration, nFunEval;
    std::vector<double> point;
  };
  std::vector<Report> reports{};
};

void recordingAnalysis(void* user, const double* x, double* objective, double* equalities, double* inequalities) {
  auto& o = *static_cast<Observed*>(user);
  o.problem->analysis(nullptr, x, objective, equalities, inequalities);
  std::vector<double>& call = o.calls.emplace_back(x, x + o.problem->n);
  call.push_back(*objective);
  call.insert(call.end(), equalities, equalities + o.problem->nEq);
  call.insert(call.end(), inequalities, inequalities + o.problem->nIneq);
}

void recordIteration(void* user, int iteration, int n, const double* x, const double* f, int nFunEval) {
  auto& o = *static_cast<Observed*>(user);
  std::vector<double> point(x, x + n);
  point.insert(point.end(), f, f + 1 + o.problem->nEq + o.problem->nIneq);
  o.reports.push_back({iteration, nFunEval, point});
  o.threadsDuringRun = KVW_ctx_set_threads(o.ctx, 4);
  if (iteration == o.stopAt) KVW_ctx_set_stop(o.ctx, 1);
}

// The iteration callback of every demo problem and both methods: called for iterations 1, 2, ... up to the last
// begun, each time with the number of analysis calls made so far and a point and function vector that one of those
// calls saw and wrote, bit for bit (in the GRG feasibility phase too); the run is the run without the callback, whose
// change of the thread count is refused with 94. A stop requested from the callback at iteration 2 ends the run
// there, before another analysis call.
TEST(Batches, TheIterationCallbackSeesTheIterateAsTheAnalysisSawIt) {
  KVW_Context* ctx = KVW_ctx_create();
  ASSERT_NE(ctx, nullptr);
  for (const TestProblem& p : korvex_examples::testProblems()) {
    for (int method : {0, 1}) {
      SCOPED_TRACE(describe(p, method));
      const RunRecord expected = runOnContext(ctx, p, method, 2);
      Observed o{&p, ctx};
      KVW_ctx_set_iterationCallback(ctx, recordIteration, &o);
      const RunRecord r = runOnContext(ctx, p, method, 2, 1, Analysis{recordingAnalysis, &o});
      KVW_ctx_set_iterationCallback(ctx, nullptr, nullptr);
      EXPECT_TRUE(sameRun(r, expected));
      EXPECT_EQ(o.threadsDuringRun, KVW_RUN_IN_PROGRESS);

      ASSERT_EQ(static_cast<int>(o.reports.size()), r.nIter);
      for (size_t k = 0; k < o.reports.size(); ++k) {
        const Observed::Report& report = o.reports[k];
        EXPECT_EQ(report.iteration, static_cast<int>(k) + 1);
        ASSERT_LE(report.nFunEval, static_cast<int>(o.calls.size()));
        EXPECT_TRUE(std::any_of(o.calls.begin(), o.calls.begin() + report.nFunEval,
                                [&report](const std::vector<double>& call) { return sameBits(call, report.point); }))
            << "iteration " << report.iteration;
      }
      if (r.nIter < 3) continue;

      Observed stopping{&p, ctx, 2};
      KVW_ctx_set_iterationCallback(ctx, recordIteration, &stopping);
      const RunRecord stopped = runOnContext(ctx, p, method, 0, 1, Analysis{recordingAnalysis, &stopping});
      KVW_ctx_set_iterationCallback(ctx, nullptr, nullptr);
      EXPECT_EQ(stopped.result, method == 1 ? KVW_GRG_STOPPED : KVW_SQP_STOPPED);
      EXPECT_EQ(stopped.nIter, 2);
      ASSERT_EQ(stopping.reports.size(), 2u);
      EXPECT_EQ(static_cast<int>(stopping.calls.size()), stopping.reports[1].nFunEval);
      KVW_ctx_set_stop(ctx, 0);
    }
  }
  KVW_ctx_free(ctx);
}

// The thread count: 1..64 accepted (repeatedly, down to 1 again), anything else refused with 96, null contexts
// refused. The default context's setters take the same values.
TEST(Batches, ThreadSettingsAreChecked) {
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
  EXPECT_EQ(KVW_ctx_set_threads(ctx, 1), 0);
  EXPECT_EQ(KVW_set_threads(1), 0);
  KVW_ctx_free(ctx);  // with its two workers
}

}  // namespace
