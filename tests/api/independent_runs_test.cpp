// Runs of different contexts are independent: eight contexts in eight threads at once, each over every demo problem
// with both methods at print levels 0 and 2, each with its own line callback, give exactly the runs (x, f, result,
// counters, every printed line) that one context gives making them one after another.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "korvex/korvex.h"
#include "problems.h"
#include "run_record.h"

namespace {

using korvex_api_testing::RunRecord;

struct Job {
  const korvex_examples::TestProblem* problem;
  int method;
  int print;
};

std::vector<Job> allJobs() {
  std::vector<Job> jobs;
  for (int print : {0, 2}) {
    for (const auto& p : korvex_examples::testProblems()) {
      for (int method : {0, 1}) jobs.push_back({&p, method, print});
    }
  }
  return jobs;
}

TEST(IndependentRuns, EightContextsInEightThreadsGiveTheSequentialRunsBitForBit) {
  const std::vector<Job> jobs = allJobs();
  const size_t count = jobs.size();

  std::vector<RunRecord> expected(count);
  KVW_Context* reference = KVW_ctx_create();
  ASSERT_NE(reference, nullptr);
  for (size_t j = 0; j < count; ++j) {
    expected[j] = korvex_api_testing::runOnContext(reference, *jobs[j].problem, jobs[j].method, jobs[j].print);
  }
  KVW_ctx_free(reference);

  constexpr int kThreads = 8;
  std::vector<std::vector<RunRecord>> results(kThreads, std::vector<RunRecord>(count));
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      KVW_Context* ctx = KVW_ctx_create();
      ++ready;
      while (ready.load() < kThreads) std::this_thread::yield();  // all start together
      if (ctx == nullptr) return;
      // Each thread takes the jobs in its own order, so different problems and print levels overlap.
      for (size_t k = 0; k < count; ++k) {
        const size_t j = (k + static_cast<size_t>(t) * 7) % count;
        results[t][j] = korvex_api_testing::runOnContext(ctx, *jobs[j].problem, jobs[j].method, jobs[j].print);
      }
      KVW_ctx_free(ctx);
    });
  }
  for (auto& thread : threads) thread.join();

  size_t printedLines = 0;
  for (int t = 0; t < kThreads; ++t) {
    for (size_t j = 0; j < count; ++j) {
      const Job& job = jobs[j];
      EXPECT_TRUE(korvex_api_testing::sameRun(results[t][j], expected[j]))
          << "thread " << t << ", " << job.problem->name << (job.method == 1 ? " grg" : " sqp") << " print "
          << job.print;
      printedLines += results[t][j].lines.size();
    }
  }
  EXPECT_GT(printedLines, 1000u);  // the print level 2 runs did print
}

}  // namespace
