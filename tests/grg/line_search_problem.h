// A small analysis problem for the direction, line-search and restoration tests, and the problem arrays those
// routines take. The callback is a lambda over the scaled variables (the bridge's bounds are -1 and 1, so the
// caller's units and the scaled units coincide), with a call count.
#pragma once

#include <functional>
#include <vector>

#include "entry/bridge.h"

namespace korvex::testing {

struct SearchProblem {
  std::function<void(const double*, double*)> functions;  // (x, f): objective, equalities, inequalities
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
  ~SearchProblem() { bridge.callback = nullptr; }
  SearchProblem(const SearchProblem&) = delete;
  SearchProblem& operator=(const SearchProblem&) = delete;

  void evaluate(const double* x, double* f) const { functions(x, f); }  // not counted

 private:
  static void analysis(void* user, const double* x, double* objective, double*, double*) {
    auto* self = static_cast<SearchProblem*>(user);
    self->calls += 1;
    self->functions(x, objective);  // objective, equalities and inequalities are consecutive
  }
};

// n variables in [-1, 1]; functions: objective 1, equalities 2..nEq+1, then the inequalities, every one of them a
// candidate; the gradient of function j in column j of GRADD. Every vector is sized exactly.
struct SearchArrays {
  int ndv, ndf, nIneq, ncand, nbeq;
  std::vector<int> ineqList, mgrgin, mbndeq, lisdf;
  std::vector<double> dv, dvub, dvlb, df, gradd, sdir;

  SearchArrays(int n, int nEq, int nIn)
      : ndv(n),
        ndf(1 + nEq + nIn),
        nIneq(nIn),
        ncand(nIn),
        nbeq(nEq),
        dv(n),
        dvub(n, 1.0),
        dvlb(n, -1.0),
        df(ndf),
        gradd(static_cast<size_t>(n) * ndf),
        sdir(n) {
    for (int f = 1; f <= ndf; ++f) {
      lisdf.push_back(f);
      if (f >= 2 && f <= nEq + 1) mbndeq.push_back(f);
      if (f > nEq + 1) ineqList.push_back(f);
    }
    mgrgin = ineqList;
  }
  double& grad(int variable, int function) { return gradd[(variable - 1) + static_cast<size_t>(function - 1) * ndv]; }
};

}  // namespace korvex::testing
