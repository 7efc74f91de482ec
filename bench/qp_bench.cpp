// QPSOLV on dense random strictly convex problems: n variables, n/2 general inequalities, n/10 equalities, both
// bounds on every variable. The problems are feasible by construction, with the unconstrained minimum far enough
// outside that a good part of the rows ends up active.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "korvex/korvex.h"
#include "korvex/routines/qp.h"

namespace {

struct DenseProblem {
  int n, nc, nineq;
  std::vector<double> a, bc, h, g, xl, xu;
  std::vector<int> itype;

  explicit DenseProblem(int size) : n(size), nc(size / 2 + size / 10), nineq(size / 2) {
    std::mt19937 rng(12345u + static_cast<unsigned>(size));
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> x0(n), m(n * n);
    for (auto& v : x0) v = 0.5 * u(rng);
    for (auto& v : m) v = u(rng);
    h.assign(n * n, 0.0);
    for (int j = 0; j < n; ++j) {
      for (int i = 0; i <= j; ++i) {
        double s = i == j ? 1.0 : 0.0;
        for (int k = 0; k < n; ++k) s += m[i + k * n] * m[j + k * n] / n;
        h[i + j * n] = s;
      }
    }
    g.resize(n);
    for (auto& v : g) v = 5.0 * u(rng);
    a.resize(n * nc);
    for (auto& v : a) v = u(rng);
    bc.resize(nc);
    for (int k = 0; k < nc; ++k) {
      double s = 0.0;
      for (int i = 0; i < n; ++i) s += a[i + k * n] * x0[i];
      bc[k] = k < nineq ? s + 0.1 : s;
    }
    itype.assign(n, 1);
    xl.assign(n, -1.0);
    xu.assign(n, 1.0);
  }
};

void QpsolvDense(benchmark::State& state) {
  KVW_setDefaults();
  const DenseProblem p(static_cast<int>(state.range(0)));
  std::vector<double> x(p.n), xlag(p.n);
  std::vector<int> iact(p.n);
  int nact = 0, infeas = 0, ihess = 0, ierr = 0;
  for (auto _ : state) {
    QPSOLV(&p.n, &p.nc, &p.nineq, p.a.data(), &p.n, p.bc.data(), p.h.data(), &p.n, p.g.data(), p.itype.data(),
           p.xl.data(), p.xu.data(), x.data(), xlag.data(), iact.data(), &nact, &infeas, &ihess, &ierr);
    benchmark::DoNotOptimize(x.data());
    benchmark::ClobberMemory();
  }
  if (infeas != 0 || ihess != 0 || ierr != 0) state.SkipWithError("QPSOLV did not return normally");
  state.counters["active"] = nact;
}

BENCHMARK(QpsolvDense)->Arg(10)->Arg(50)->Arg(100)->Unit(benchmark::kMicrosecond);

}  // namespace
