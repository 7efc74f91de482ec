// The library's own cost per iteration, side by side with NLopt's LD_SLSQP: whole runs of the two scalable problem
// families (bench/scalable_problems.h) at n = 10, 20, 50, 100 by korvex SQP, korvex GRG and NLopt SLSQP, all fed
// forward differences with korvex's default rule (step 1e-4 of the half range of each variable).
//
// Library time = run time minus the time spent inside the analysis, both read on the processor's time-stamp counter
// (constant rate, a few cycles a read): around the run, and around every analysis call of it, so that the analysis
// time is that of the calls the run made, with the caches as the run left them. Time the thread waits for a
// processor inside an analysis call counts on both sides and cancels. One benchmark per problem runs the three
// solvers in turn, as often as its time allows; each solver's figures come from its best run (least library time):
// every run is the same computation, and the least time is the one least disturbed by whatever else the machine
// runs. The two counter reads of a call, some ten nanoseconds, count as library time, for every solver alike.
// Counters, for SOLVER = sqp, grg, nlopt:
//   SOLVER_iters     iterations of a run (NLopt: gradient evaluations)
//   SOLVER_us/iter   library time per iteration, microseconds
//   SOLVER_us/call   library time per analysis call, microseconds
//   sqp/nlopt, grg/nlopt   the ratios of the time per iteration
// After the runs the same figures are printed as a Markdown table.
#include <benchmark/benchmark.h>
#include <nlopt.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

#include "korvex/korvex.h"
#include "scalable_problems.h"

namespace {

using korvex_bench::ScalableProblem;

constexpr double kDiffStep = 1e-4;  // korvex's default difference step in the scaled variables

// The time-stamp counter, and the seconds one of its ticks lasts (measured once against the monotonic clock).
std::uint64_t ticks() {
#if defined(__x86_64__)
  return __rdtsc();
#else
  return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

double secondsPerTick() {
  static const double seconds = [] {
    const auto begin = std::chrono::steady_clock::now();
    const std::uint64_t first = ticks();
    while (std::chrono::steady_clock::now() - begin < std::chrono::milliseconds(100)) {
    }
    const std::uint64_t last = ticks();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - begin;
    return elapsed.count() / static_cast<double>(last - first);
  }();
  return seconds;
}

// What one whole run measured.
struct RunFigures {
  double seconds = 0.0;
  double analysisSeconds = 0.0;
  int iterations = 0;
  int calls = 0;
};

// Calls the problem's analysis, counts the calls and adds up the ticks spent inside them.
struct CountedAnalysis {
  const ScalableProblem* problem = nullptr;
  int calls = 0;
  std::uint64_t ticksInside = 0;

  void evaluate(const double* x, double* f) { timed([&] { problem->evaluate(x, f); }); }
  template <typename Call>
  void timed(Call call) {
    const std::uint64_t begin = ticks();
    call();
    ticksInside += ticks() - begin;
    ++calls;
  }
  double secondsInside() const { return static_cast<double>(ticksInside) * secondsPerTick(); }
};

void countedCallback(void* user, const double* x, double* objective, double* equalities, double* inequalities) {
  auto& counted = *static_cast<CountedAnalysis*>(user);
  counted.timed([&] { counted.problem->analysis(counted.problem->user, x, objective, equalities, inequalities); });
}

// Seconds since the tick `begin`.
double secondsSince(std::uint64_t begin) { return static_cast<double>(ticks() - begin) * secondsPerTick(); }

RunFigures runKorvex(const ScalableProblem& p, bool grg) {
  CountedAnalysis counted{&p};
  std::vector<double> x = p.start, f(static_cast<size_t>(1 + p.nEq + p.nIneq));
  KVW_setDefaults();
  KVW_set_diffMeth(1);
  const auto method = grg ? &KVW_grg : &KVW_sqp;
  const std::uint64_t begin = ticks();
  method(korvex_bench::kMaxIterations, p.n, x.data(), p.lower.data(), p.upper.data(), p.nEq, p.nIneq,
         &countedCallback, &counted, f.data());
  const double seconds = secondsSince(begin);
  return {seconds, counted.secondsInside(), KVW_get_nIter(), counted.calls};
}

// NLopt asks for the objective and the constraints in separate calls. All of them come from one analysis per
// point: the values (and, when asked for, the forward-difference Jacobian) of the last point are kept and reused.
class DifferencedAnalysis {
 public:
  explicit DifferencedAnalysis(const ScalableProblem& p)
      : counted{&p},
        p_(p),
        m_(1 + p.nEq + p.nIneq),
        x_(p.n),
        values_(m_),
        jacobian_(static_cast<size_t>(m_) * p.n),
        shifted_(p.n),
        shiftedValues_(m_) {}

  CountedAnalysis counted;
  int gradientEvaluations = 0;

  // Values (function j at values()[j]) and, when wanted, the Jacobian row by function at x.
  void at(const double* x, bool wantJacobian) {
    if (!haveValues_ || std::memcmp(x, x_.data(), sizeof(double) * p_.n) != 0) {
      std::copy_n(x, p_.n, x_.begin());
      counted.evaluate(x_.data(), values_.data());
      haveValues_ = true;
      haveJacobian_ = false;
    }
    if (wantJacobian && !haveJacobian_) {
      ++gradientEvaluations;
      shifted_ = x_;
      for (int i = 0; i < p_.n; ++i) {
        const double h = kDiffStep * (p_.upper[i] - p_.lower[i]) / 2;
        shifted_[i] = x_[i] + h;
        counted.evaluate(shifted_.data(), shiftedValues_.data());
        for (int j = 0; j < m_; ++j) {
          jacobian_[static_cast<size_t>(j) * p_.n + i] = (shiftedValues_[j] - values_[j]) / h;
        }
        shifted_[i] = x_[i];
      }
      haveJacobian_ = true;
    }
  }
  const double* values() const { return values_.data(); }
  const double* jacobianRow(int j) const { return jacobian_.data() + static_cast<size_t>(j) * p_.n; }

 private:
  const ScalableProblem& p_;
  int m_;
  std::vector<double> x_, values_, jacobian_, shifted_, shiftedValues_;
  bool haveValues_ = false;
  bool haveJacobian_ = false;
};

double nloptObjective(unsigned n, const double* x, double* grad, void* data) {
  auto& a = *static_cast<DifferencedAnalysis*>(data);
  a.at(x, grad != nullptr);
  if (grad != nullptr) std::copy_n(a.jacobianRow(0), n, grad);
  return a.values()[0];
}

// Constraints first..first+m-1 of the function vector (the equalities start at 1, the inequalities after them).
template <int kGroup>
void nloptConstraints(unsigned m, double* result, unsigned n, const double* x, double* grad, void* data) {
  auto& a = *static_cast<DifferencedAnalysis*>(data);
  const ScalableProblem& p = *a.counted.problem;
  const int first = kGroup == 0 ? 1 : 1 + p.nEq;
  a.at(x, grad != nullptr);
  for (unsigned k = 0; k < m; ++k) {
    result[k] = a.values()[first + static_cast<int>(k)];
    if (grad != nullptr) std::copy_n(a.jacobianRow(first + static_cast<int>(k)), n, grad + static_cast<size_t>(k) * n);
  }
}

RunFigures runNlopt(const ScalableProblem& p) {
  DifferencedAnalysis analysis(p);
  nlopt_opt opt = nlopt_create(NLOPT_LD_SLSQP, static_cast<unsigned>(p.n));
  nlopt_set_lower_bounds(opt, p.lower.data());
  nlopt_set_upper_bounds(opt, p.upper.data());
  nlopt_set_min_objective(opt, &nloptObjective, &analysis);
  const std::vector<double> tolerance(static_cast<size_t>(std::max(p.nEq, p.nIneq)), 1e-6);
  if (p.nEq > 0) {
    nlopt_add_equality_mconstraint(opt, static_cast<unsigned>(p.nEq), &nloptConstraints<0>, &analysis,
                                   tolerance.data());
  }
  if (p.nIneq > 0) {
    nlopt_add_inequality_mconstraint(opt, static_cast<unsigned>(p.nIneq), &nloptConstraints<1>, &analysis,
                                     tolerance.data());
  }
  nlopt_set_ftol_rel(opt, 1e-8);
  nlopt_set_xtol_rel(opt, 1e-8);
  nlopt_set_maxeval(opt, 100 * korvex_bench::kMaxIterations);
  std::vector<double> x = p.start;
  double minimum = 0.0;
  const std::uint64_t begin = ticks();
  nlopt_optimize(opt, x.data(), &minimum);
  const double seconds = secondsSince(begin);
  nlopt_destroy(opt);
  return {seconds, analysis.counted.secondsInside(), analysis.gradientEvaluations, analysis.counted.calls};
}

// One solver's figures on one problem: its best run.
struct Summary {
  int iterations = 0;
  int calls = 0;
  double libPerIteration = 0.0;  // microseconds
  double libPerCall = 0.0;
};

enum Solver { kSqp, kGrg, kNlopt, kSolvers };
const char* const kSolverNames[kSolvers] = {"sqp", "grg", "nlopt"};

std::map<std::string, std::array<Summary, kSolvers>> summaries;  // problem name -> figures by solver

// Each benchmark iteration runs the three solvers in turn on the same problem, so that they meet the same
// conditions; each keeps its least library time.
void measure(benchmark::State& state, const ScalableProblem& p) {
  std::array<double, kSolvers> least{};
  std::array<RunFigures, kSolvers> last;
  for (auto _ : state) {
    for (int solver = 0; solver < kSolvers; ++solver) {
      last[solver] = solver == kNlopt ? runNlopt(p) : runKorvex(p, solver == kGrg);
      const double library = 1e6 * (last[solver].seconds - last[solver].analysisSeconds);
      if (least[solver] == 0.0 || library < least[solver]) least[solver] = library;
    }
  }
  std::array<Summary, kSolvers>& row = summaries[p.name()];
  for (int solver = 0; solver < kSolvers; ++solver) {
    const RunFigures& f = last[solver];
    row[solver] = Summary{f.iterations, f.calls, least[solver] / std::max(f.iterations, 1),
                          least[solver] / std::max(f.calls, 1)};
    const std::string name = kSolverNames[solver];
    state.counters[name + "_iters"] = f.iterations;
    state.counters[name + "_us/iter"] = row[solver].libPerIteration;
    state.counters[name + "_us/call"] = row[solver].libPerCall;
  }
  if (row[kNlopt].libPerIteration > 0.0) {
    state.counters["sqp/nlopt"] = row[kSqp].libPerIteration / row[kNlopt].libPerIteration;
    state.counters["grg/nlopt"] = row[kGrg].libPerIteration / row[kNlopt].libPerIteration;
  }
}

std::vector<std::unique_ptr<ScalableProblem>> problems;

void registerBenchmarks() {
  for (const int n : korvex_bench::benchmarkSizes()) {
    problems.push_back(std::make_unique<korvex_bench::DenseConvexQp>(n));
    problems.push_back(std::make_unique<korvex_bench::ChainedRosenbrock>(n));
  }
  for (const auto& p : problems) {
    const ScalableProblem* problem = p.get();
    benchmark::RegisterBenchmark(("side_by_side/" + p->name()).c_str(),
                                 [problem](benchmark::State& state) { measure(state, *problem); })
        ->Unit(benchmark::kMillisecond)
        ->MinTime(2.0)
        ->UseRealTime();
  }
}

void printTable() {
  if (summaries.empty()) return;
  std::printf("\nlibrary time per iteration (per analysis call) in microseconds, the ratio to NLopt SLSQP per\n"
              "iteration, and the iterations of a run (SQP / GRG / NLopt)\n\n");
  std::printf("| problem | n | korvex SQP | korvex GRG | NLopt SLSQP | SQP / NLopt | GRG / NLopt | iterations |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const auto& p : problems) {
    const auto row = summaries.find(p->name());
    if (row == summaries.end()) continue;
    const Summary sqp = row->second[kSqp], grg = row->second[kGrg], nlopt = row->second[kNlopt];
    const auto figure = [](const Summary& s) {
      char text[48] = "-";
      if (s.iterations > 0) std::snprintf(text, sizeof text, "%.1f (%.2f)", s.libPerIteration, s.libPerCall);
      return std::string(text);
    };
    const auto ratio = [&](const Summary& s) {
      char text[16] = "-";
      if (s.iterations > 0 && nlopt.libPerIteration > 0.0) {
        std::snprintf(text, sizeof text, "%.2f", s.libPerIteration / nlopt.libPerIteration);
      }
      return std::string(text);
    };
    std::printf("| %s | %d | %s | %s | %s | %s | %s | %d / %d / %d |\n", p->family.c_str(), p->n,
                figure(sqp).c_str(), figure(grg).c_str(), figure(nlopt).c_str(), ratio(sqp).c_str(),
                ratio(grg).c_str(), sqp.iterations, grg.iterations, nlopt.iterations);
  }
}

}  // namespace

int main(int argc, char** argv) {
  registerBenchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  printTable();
  return 0;
}
