// One run of a demo problem as the public interface reports it: result, point, function values, counters and every
// printed line, compared bit for bit.
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "korvex/korvex.h"
#include "problems.h"

namespace korvex_api_testing {

struct RunRecord {
  int result = 0;
  std::vector<double> x, f;
  int nIter = 0;
  int nFunEval = 0;
  std::vector<std::string> lines;
};

inline void collectLine(void* user, const char* line, int length) {
  static_cast<std::vector<std::string>*>(user)->emplace_back(line, static_cast<size_t>(length));
}

// Equal as bit patterns: -0.0 differs from 0.0 and a NaN equals itself.
inline bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

inline bool sameRun(const RunRecord& a, const RunRecord& b) {
  return a.result == b.result && sameBits(a.x, b.x) && sameBits(a.f, b.f) && a.nIter == b.nIter &&
         a.nFunEval == b.nFunEval && a.lines == b.lines;
}

inline std::string describe(const korvex_examples::TestProblem& p, int method) {
  return std::string(p.name) + (method == 1 ? " grg" : " sqp");
}

// The analysis a run is handed, when not the problem's own.
struct Analysis {
  AnalysisCallback callback;
  void* user;
};

// A run of problem p with method (1 GRG, 0 SQP) from the defaults at the given print level and difference formula,
// its lines collected through the line callback, on ctx or, when ctx is null, through the functions of the default
// context. The thread count and the batch and iteration callbacks are left as they are.
inline RunRecord runOnContext(KVW_Context* ctx, const korvex_examples::TestProblem& p, int method, int print,
                              int diffMeth = 1, std::optional<Analysis> analysis = std::nullopt) {
  RunRecord r;
  r.x.assign(p.start.begin(), p.start.begin() + p.n);
  r.f.assign(static_cast<size_t>(1 + p.nEq + p.nIneq), 0.0);
  const Analysis a = analysis.value_or(Analysis{p.analysis, nullptr});
  ctx == nullptr ? KVW_setDefaults() : KVW_ctx_setDefaults(ctx);
  ctx == nullptr ? KVW_set_print(print) : KVW_ctx_set_print(ctx, print);
  ctx == nullptr ? KVW_set_diffMeth(diffMeth) : KVW_ctx_set_diffMeth(ctx, diffMeth);
  ctx == nullptr ? KVW_set_diagCallback(collectLine, &r.lines) : KVW_ctx_set_diagCallback(ctx, collectLine, &r.lines);
  const auto run = [&](auto entry, auto... context) {
    return entry(context..., 100, p.n, r.x.data(), p.lower.data(), p.upper.data(), p.nEq, p.nIneq, a.callback, a.user,
                 r.f.data());
  };
  r.result = ctx == nullptr ? run(method == 1 ? &KVW_grg : &KVW_sqp)
                            : run(method == 1 ? &KVW_ctx_grg : &KVW_ctx_sqp, ctx);
  ctx == nullptr ? KVW_set_diagCallback(nullptr, nullptr) : KVW_ctx_set_diagCallback(ctx, nullptr, nullptr);
  r.nIter = ctx == nullptr ? KVW_get_nIter() : KVW_ctx_get_nIter(ctx);
  r.nFunEval = ctx == nullptr ? KVW_get_nFunEval() : KVW_ctx_get_nFunEval(ctx);
  return r;
}

}  // namespace korvex_api_testing
