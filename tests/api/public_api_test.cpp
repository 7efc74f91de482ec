// The library as a user links it: the shared library through its public headers only.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "korvex/routines.h"
#include "run_record.h"

extern "C" int korvexCallerRejectsTooManyVariables(int* calls);

namespace {

void counting(void* user, const double*, double* objective, double*, double*) {
  ++*static_cast<int*>(user);
  *objective = 0.0;
}

// Each unusable argument makes both methods return 96 at once, and more than 100 variables 99 (from a caller in C):
// no evaluation, no counter, x as it was.
TEST(PublicApi, UnusableArgumentsAreRefusedBeforeAnythingHappens) {
  using Run = int (*)(int, int, double*, const double*, const double*, int, int, AnalysisCallback, void*, double*);
  double x[2] = {0.25, 0.5}, lower[2] = {0, 0}, upper[2] = {1, 1}, f[3] = {0, 0, 0};
  int calls = 0;
  for (Run run : {&KVW_sqp, &KVW_grg}) {
    KVW_setDefaults();
    EXPECT_EQ(run(5, 2, x, lower, upper, 1, 1, nullptr, &calls, f), KVW_INVALID_ARGUMENT);
    EXPECT_EQ(run(5, 2, x, lower, upper, 1, 1, counting, &calls, nullptr), KVW_INVALID_ARGUMENT);
    EXPECT_EQ(run(5, 2, nullptr, lower, upper, 1, 1, counting, &calls, f), KVW_INVALID_ARGUMENT);
    EXPECT_EQ(run(5, 2, x, nullptr, upper, 1, 1, counting, &calls, f), KVW_INVALID_ARGUMENT);
    EXPECT_EQ(run(5, 2, x, lower, nullptr, 1, 1, counting, &calls, f), KVW_INVALID_ARGUMENT);
    EXPECT_EQ(run(5, 2, x, lower, upper, -1, 1, counting, &calls, f), KVW_INVALID_ARGUMENT);
    EXPECT_EQ(run(5, 2, x, lower, upper, 1, -1, counting, &calls, f), KVW_INVALID_ARGUMENT);
    EXPECT_EQ(run(5, 2, x, lower, upper, 2147483647, 1, counting, &calls, f), KVW_INVALID_ARGUMENT);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(KVW_get_nFunEval(), 0);
    EXPECT_EQ(x[0], 0.25);
    EXPECT_EQ(x[1], 0.5);
  }
  EXPECT_EQ(korvexCallerRejectsTooManyVariables(&calls), KVW_TOO_MANY_VARIABLES);
  EXPECT_EQ(calls, 0);
}

TEST(PublicApi, ResultTextsExistForEveryCode) {
  for (int code : {1, 2, 4, 5, 6, 7, 8, 9, 94, 95, 96, 97, 98, 99}) {
    EXPECT_STRNE(KVW_resultText(0, code), "unknown result code") << code;
  }
  for (int code : {1, 2, 3, 4, 5, 6, 8, 10, 11, 12, 94, 95, 96, 97, 98, 99}) {
    EXPECT_STRNE(KVW_resultText(1, code), "unknown result code") << code;
  }
  EXPECT_STREQ(KVW_resultText(1, 7), "unknown result code");
  EXPECT_STREQ(KVW_resultText(1, KVW_RUN_IN_PROGRESS), "another run is in progress");
}

TEST(PublicApi, ExportedPrintRoutineReachesTheLineCallback) {
  std::vector<std::string> lines;
  KVW_set_diagCallback(korvex_api_testing::collectLine, &lines);
  const char text[] = "HELLO";
  const int count = 5;
  PRTMES(text, sizeof text - 1, &count);
  KVW_set_diagCallback(nullptr, nullptr);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], " HELLO");
}

}  // namespace
