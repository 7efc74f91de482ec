// Small problems for the GRG tests: analysis callbacks installed directly in the bridge (for routines called
// outside a run) or passed to a whole run, the problem arrays the line search and restoration take, and two
// comparisons (vectors, and a matrix pair against the identity).
#pragma once

#include <algorithm>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <vector>

#include "entry/bridge.h"
#include "korvex/korvex.h"
#include "support/korvex_test.h"

namespace korvex::testing {

// f = (objective, equalities..., inequalities...) at x.
using Functions = std::function<void(const double* x, double* f)>;

// The bridge's callback while it lives: n variables in [-1, 1] (so the caller's units and the scaled units
// coincide); every call is counted and its point recorded.
struct SearchProblem {
  int n;
  Functions functions;
  std::vector<std::vector<double>> points;

  SearchProblem(int nVariables, int nEq, Functions fn) : n(nVariables), functions(std::move(fn)) {
    bridge.callback = &SearchProblem::analysis;
    bridge.userData = this;
    bridge.nEq = nEq;
    std::fill_n(bridge.lower, kMaxVariables, -1.0);
    std::fill_n(bridge.upper, kMaxVariables, 1.0);
  }
  ~SearchProblem() { bridge.callback = nullptr; }
  SearchProblem(const SearchProblem&) = delete;
  SearchProblem& operator=(const SearchProblem&) = delete;

  int calls() const { return static_cast<int>(points.size()); }
  void evaluate(const double* x, double* f) const { functions(x, f); }  // not counted

 private:
  static void analysis(void* user, const double* x, double* objective, double*, double*) {
    auto* self = static_cast<SearchProblem*>(user);
    self->points.emplace_back(x, x + self->n);
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
      : ndv(n), ndf(1 + nEq + nIn), nIneq(nIn), ncand(nIn), nbeq(nEq), dv(n), dvub(n, 1.0), dvlb(n, -1.0), df(ndf),
        gradd(static_cast<size_t>(n) * ndf), sdir(n) {
    for (int f = 1; f <= ndf; ++f) {
      lisdf.push_back(f);
      if (f >= 2 && f <= nEq + 1) mbndeq.push_back(f);
      if (f > nEq + 1) ineqList.push_back(f);
    }
    mgrgin = ineqList;
  }
  double& grad(int variable, int function) { return gradd[(variable - 1) + static_cast<size_t>(function - 1) * ndv]; }
};

// A whole run through KVW_grg; the functions also receive the number of the call (1 for the first).
struct RunProblem {
  int n, nEq, nIneq;
  std::vector<double> x, lower, upper;
  void (*functions)(const double* x, double* f, int call);
  std::vector<double> f{};
  int calls = 0;

  int run(int maxIter) {
    f.assign(static_cast<size_t>(1 + nEq + nIneq), 0.0);
    return KVW_grg(maxIter, n, x.data(), lower.data(), upper.data(), nEq, nIneq, analysis, this, f.data());
  }

 private:
  static void analysis(void* user, const double* x, double* objective, double*, double*) {
    auto* p = static_cast<RunProblem*>(user);
    p->functions(x, objective, ++p->calls);
  }
};

// Writes the function values of a small test problem: f[0], f[1], ... in order.
inline void setFunctions(double* f, std::initializer_list<double> values) {
  std::copy(values.begin(), values.end(), f);
}

// max |a(i) - b(i)| over two vectors of the same length.
inline double largestDifference(const std::vector<double>& a, const std::vector<double>& b) {
  double worst = 0.0;
  for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::fabs(a[i] - b[i]));
  return worst;
}

// max |(A B - I)(i, j)| over the leading n x n blocks of two matrices with leading dimension ld.
inline double identityError(const double* a, const double* b, int ld, int n) {
  double worst = 0.0;
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      double sum = 0.0;
      for (int k = 0; k < n; ++k) sum += a[i + k * ld] * b[k + j * ld];
      worst = std::max(worst, std::fabs(sum - (i == j ? 1.0 : 0.0)));
    }
  }
  return worst;
}

}  // namespace korvex::testing
