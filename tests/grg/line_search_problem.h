// A small analysis problem for the line-search and restoration tests: the callback is a lambda over the scaled
// variables (the bridge's bounds are -1 and 1, so caller's units and scaled units coincide), with a call count.
#pragma once

#include <functional>

#include "entry/bridge.h"

namespace korvex::testing {

struct SearchProblem {
  // (x, f): f[0] the objective, then the equalities, then the inequalities.
  std::function<void(const double*, double*)> functions;
  int calls = 0;

  SearchProblem(int nEq, std::function<void(const double*, double*)> fn) : functions(std::move(fn)) {
    bridge.callback = &SearchProblem::analysis;
    bridge.userData = this;
    bridge.nEq = nEq;
    for (int i = 0; i < kMaxVariables; ++i) {
      bridge.lower[i] = -1.0;
      bridge.upper[i] = 1.0;
    }
  }
  ~SearchProblem() {
    bridge.callback = nullptr;
    bridge.userData = nullptr;
  }
  SearchProblem(const SearchProblem&) = delete;
  SearchProblem& operator=(const SearchProblem&) = delete;

  // The function vector at x, without counting.
  void evaluate(const double* x, double* f) const { functions(x, f); }

 private:
  static void analysis(void* user, const double* x, double* objective, double*, double*) {
    auto* self = static_cast<SearchProblem*>(user);
    self->calls += 1;
    self->functions(x, objective);  // objective, equalities and inequalities are consecutive
  }
};

}  // namespace korvex::testing
