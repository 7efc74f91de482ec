// The methods take every working array from the fixed pools: a run allocates nothing on the heap beyond the
// driver's few scratch arrays, however many iterations it makes and whatever it prints.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "../examples/problems.h"
#include "entry/result_text.h"
#include "entry/settings.h"
#include "korvex/routines.h"
#include "support/korvex_test.h"

namespace {

bool countAllocations = false;
long allocations = 0;

}  // namespace

// Replaces the program's allocation functions for the whole test binary; they count only while asked to. GCC takes
// the free() of the replacement delete for a mismatch with the replaced new, which is the very pair it stands for.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  if (countAllocations) ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (countAllocations) ++allocations;
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace korvex::testing {
namespace {

using NoHeapTest = KorvexTest;

void discardLine(void*, const char*, int) {}

// A batch callback that evaluates the group with the problem's own analysis.
void evaluateGroup(void* user, int count, int n, int nEq, int nIneq, const double* x, double* f) {
  const auto& p = *static_cast<const korvex_examples::TestProblem*>(user);
  const int m = 1 + nEq + nIneq;
  for (int k = 0; k < count; ++k) p.analysis(nullptr, x + k * n, f + k * m, f + k * m + 1, f + k * m + 1 + nEq);
}

// Allocations of one run on the default context (ctx null) or on ctx.
long allocationsOfRun(KVW_Context* ctx, int method, const korvex_examples::TestProblem& p, int maxIter, int print) {
  double x[korvex_examples::kMaxProblemVariables];
  double f[korvex_examples::kMaxProblemFunctions];
  std::copy(p.start.begin(), p.start.end(), x);
  ctx == nullptr ? KVW_setDefaults() : KVW_ctx_setDefaults(ctx);
  ctx == nullptr ? KVW_set_print(print) : KVW_ctx_set_print(ctx, print);
  const auto run = [&](auto entry, auto... context) {
    allocations = 0;
    countAllocations = true;
    entry(context..., maxIter, p.n, x, p.lower.data(), p.upper.data(), p.nEq, p.nIneq, p.analysis, nullptr, f);
    countAllocations = false;
    return allocations;
  };
  if (ctx == nullptr) return run(method == kMethodGrg ? &KVW_grg : &KVW_sqp);
  return run(method == kMethodGrg ? &KVW_ctx_grg : &KVW_ctx_sqp, ctx);
}

// A whole run costs exactly what a run stopped before its first iteration costs: the iterations, line searches,
// restorations, QP solves and gradients allocate nothing, and neither does printing at any level; on the default
// context as on a created one, whose pools were allocated with it, and with gradients evaluated in groups on worker
// threads or by a batch callback.
TEST_F(NoHeapTest, IterationsAllocateNothingBeyondTheDriversScratch) {
  KVW_Context* ctx = KVW_ctx_create();
  ASSERT_NE(ctx, nullptr);
  KVW_set_diagCallback(discardLine, nullptr);
  KVW_ctx_set_diagCallback(ctx, discardLine, nullptr);
  for (const auto& p : korvex_examples::testProblems()) {
    for (int method : {kMethodSqp, kMethodGrg}) {
      SCOPED_TRACE(std::string(p.name) + (method == kMethodGrg ? " grg" : " sqp"));
      const long scratch = allocationsOfRun(nullptr, method, p, 0, 0);
      EXPECT_GE(scratch, 1);  // the counter sees the driver's own arrays
      EXPECT_LE(scratch, 5);
      EXPECT_EQ(allocationsOfRun(nullptr, method, p, 100, 3), scratch);
      EXPECT_EQ(allocationsOfRun(ctx, method, p, 100, 3), scratch);
      // Gradients on two threads, and every evaluation through a batch callback: the group storage and the
      // workers were had when the setting was made.
      ASSERT_EQ(KVW_ctx_set_threads(ctx, 2), 0);
      EXPECT_EQ(allocationsOfRun(ctx, method, p, 100, 3), scratch);
      KVW_ctx_set_batchCallback(ctx, evaluateGroup, const_cast<korvex_examples::TestProblem*>(&p));
      EXPECT_EQ(allocationsOfRun(ctx, method, p, 100, 3), scratch);
      KVW_ctx_set_batchCallback(ctx, nullptr, nullptr);
      ASSERT_EQ(KVW_ctx_set_threads(ctx, 1), 0);
    }
  }
  KVW_set_diagCallback(nullptr, nullptr);
  KVW_ctx_free(ctx);
}

}  // namespace
}  // namespace korvex::testing
