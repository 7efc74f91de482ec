// One run of a demo problem as the public interface reports it: result, point, function values, counters and every
// printed line, compared bit for bit.
#pragma once

#include <cstring>
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

// A run of problem p with method (1 GRG, 0 SQP) at the given print level on ctx, from the defaults, its lines
// collected through the context's line callback.
inline RunRecord runOnContext(KVW_Context* ctx, const korvex_examples::TestProblem& p, int method, int print) {
  RunRecord r;
  r.x.assign(p.start.begin(), p.start.begin() + p.n);
  r.f.assign(static_cast<size_t>(1 + p.nEq + p.nIneq), 0.0);
  KVW_ctx_setDefaults(ctx);
  KVW_ctx_set_print(ctx, print);
  KVW_ctx_set_diagCallback(ctx, collectLine, &r.lines);
  const auto run = method == 1 ? &KVW_ctx_grg : &KVW_ctx_sqp;
  r.result = run(ctx, 100, p.n, r.x.data(), p.lower.data(), p.upper.data(), p.nEq, p.nIneq, p.analysis, nullptr,
                 r.f.data());
  KVW_ctx_set_diagCallback(ctx, nullptr, nullptr);
  r.nIter = KVW_ctx_get_nIter(ctx);
  r.nFunEval = KVW_ctx_get_nFunEval(ctx);
  return r;
}

}  // namespace korvex_api_testing
