// Whole runs checked bit for bit against a recorded table: every demo problem (at the default tolerance and at 1e-5)
// and both scalable benchmark families (n = 10, 20, 50, 100), by both methods, with forward and central differences;
// each demo run reaches the problem's known solution as well. For each run one hash covers every point handed to the
// analysis callback, the returned x and f, the result code, the iteration count and the analysis calls; a second hash
// covers every line the run printed. A change of one bit anywhere in a run changes its hashes.
// The QP solver is checked the same way on its own, on random problems with every kind of bound row, exact zeros in
// the data (signed zeros in the results) and more than 100 variables.
//
// The table (run_checksums.inc) is recorded from the library; when an intended change moves a run, the failure
// message gives the new table line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "korvex/korvex.h"
#include "korvex/routines/qp.h"
#include "problems.h"
#include "scalable_problems.h"

namespace {

struct RecordedRun {
  const char* name;
  int calls;
  std::uint64_t points;
  std::uint64_t lines;
};

constexpr RecordedRun kRecorded[] = {
#include "run_checksums.inc"
};

// 64-bit FNV-1a over raw bytes: doubles enter with their exact bit patterns.
struct Fnv1a {
  std::uint64_t value = 0xCBF29CE484222325ull;
  template <class T>
  void add(const T* values, size_t count) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(values);
    for (size_t i = 0; i < count * sizeof(T); ++i) value = (value ^ bytes[i]) * 0x100000001B3ull;
  }
};

// One problem as a run takes it, whichever set it comes from.
struct RunInput {
  std::string name;
  int n, nEq, nIneq;
  const double* start;
  const double* lower;
  const double* upper;
  AnalysisCallback analysis;
  void* user;
  int maxIter;
  int print;
  const korvex_examples::TestProblem* demo = nullptr;  // with its known solution
  double convTol = 1e-3;
};

struct Recorder {
  AnalysisCallback analysis;
  void* user;
  int n;
  Fnv1a points;
  Fnv1a lines;
};

void recordingAnalysis(void* user, const double* x, double* objective, double* equalities, double* inequalities) {
  auto& r = *static_cast<Recorder*>(user);
  r.points.add(x, static_cast<size_t>(r.n));
  r.analysis(r.user, x, objective, equalities, inequalities);
}

void recordLine(void* user, const char* line, int length) {
  auto& r = *static_cast<Recorder*>(user);
  r.lines.add(line, static_cast<size_t>(length));
  r.lines.add("\n", 1);
}

// A demo problem solved from its published start point: a converged code; the known optimum, the constraints and
// (SQP) the known minimiser, inside the bounds, to the tolerance (GRG: within 1% of the optimum, the constraints as
// the run returned them, SQP: as the problem evaluates them at x).
void expectSolved(const korvex_examples::TestProblem& p, bool grg, double tol, int code, std::vector<double> x,
                  std::vector<double> f) {
  // From its published start point the first linearisation of hs63's plane and sphere has no solution within the
  // variable bounds. The reformulated subproblems have bound rows only, numbered from 1, so their bound multipliers
  // land in the constraints' places of the row multipliers and inflate the penalty weights; the penalty gradient
  // then grows until a reformulated subproblem fails as well.
  if (!grg && p.name == "hs63") {
    EXPECT_EQ(code, KVW_SQP_QP_INFEASIBLE);
    return;
  }
  EXPECT_TRUE(grg ? code == KVW_GRG_CONVERGED_DERIVATIVE || code == KVW_GRG_CONVERGED_OBJECTIVE ||
                        code == KVW_GRG_NO_STEP
                  : code == KVW_SQP_CONVERGED)
      << code;
  if (!grg) korvex_examples::evaluate(p, x.data(), f.data());
  const double scale = std::max(1.0, std::fabs(p.optimum));
  EXPECT_LE(std::fabs(f[0] - p.optimum), grg ? 0.01 * (1.0 + std::fabs(p.optimum)) : tol * scale);
  EXPECT_LE(korvex_examples::largestViolation(p, f.data()), tol);
  for (size_t i = 0; i < x.size(); ++i) {
    EXPECT_TRUE(grg || std::fabs(x[i] - p.solution[i]) <= 0.05) << "x" << i + 1 << " = " << x[i];
    EXPECT_TRUE(x[i] >= p.lower[i] && x[i] <= p.upper[i]) << "x" << i + 1;
  }
}

// Compares one result with its table entry.
void expectRecorded(const std::string& name, const RecordedRun& got) {
  char line[160];
  std::snprintf(line, sizeof line, "{\"%s\", %d, 0x%016llxull, 0x%016llxull},", name.c_str(), got.calls,
                static_cast<unsigned long long>(got.points), static_cast<unsigned long long>(got.lines));
  const auto recorded = std::find_if(std::begin(kRecorded), std::end(kRecorded),
                                     [&name](const RecordedRun& r) { return name == r.name; });
  EXPECT_TRUE(recorded != std::end(kRecorded) && got.calls == recorded->calls && got.points == recorded->points &&
              got.lines == recorded->lines)
      << name << (recorded == std::end(kRecorded) ? ": no recorded run" : ": differs from its recorded run")
      << "; new table line:\n" << line;
}

// Runs every input both ways with both difference rules and compares each run with its table entry.
void checkRuns(const std::vector<RunInput>& inputs) {
  for (const RunInput& in : inputs) {
    for (const bool grg : {false, true}) {
      for (const int diffMeth : {1, 2}) {
        const std::string name = std::string(grg ? "grg/" : "sqp/") + (diffMeth == 1 ? "forward/" : "central/") +
                                 in.name;
        Recorder recorder{in.analysis, in.user, in.n, {}, {}};
        std::vector<double> x(in.start, in.start + in.n), f(static_cast<size_t>(1 + in.nEq + in.nIneq));
        KVW_setDefaults();
        KVW_set_diffMeth(diffMeth);
        KVW_set_print(in.print);
        KVW_set_convTol(in.convTol);
        KVW_set_diagCallback(&recordLine, &recorder);
        const auto method = grg ? &KVW_grg : &KVW_sqp;
        const int code = method(in.maxIter, in.n, x.data(), in.lower, in.upper, in.nEq, in.nIneq, &recordingAnalysis,
                                &recorder, f.data());
        const int counts[3] = {code, KVW_get_nIter(), KVW_get_nFunEval()};
        KVW_set_diagCallback(nullptr, nullptr);
        recorder.points.add(counts, 3);
        recorder.points.add(x.data(), x.size());
        recorder.points.add(f.data(), f.size());
        if (in.demo != nullptr) {
          SCOPED_TRACE(name);
          expectSolved(*in.demo, grg, in.convTol, code, x, f);
        }
        expectRecorded(name, {nullptr, counts[2], recorder.points.value, recorder.lines.value});
      }
    }
  }
}

// The demo problems at print level 3 (every vector and matrix dump), at most 100 iterations.
std::vector<RunInput> demoInputs() {
  std::vector<RunInput> inputs;
  for (const double tol : {1e-3, 1e-5}) {
    for (const korvex_examples::TestProblem& p : korvex_examples::testProblems()) {
      inputs.push_back({std::string(p.name) + (tol == 1e-3 ? "" : "/tol=1e-5"), p.n, p.nEq, p.nIneq, p.start.data(),
                        p.lower.data(), p.upper.data(), p.analysis, nullptr, 100, 3, &p, tol});
    }
  }
  return inputs;
}

// The benchmark families at print level 2 (progress lines; the level-3 dumps of 100 x 100 matrices would make the
// check slow without covering more code), up to 500 iterations as the benchmark runs them.
void checkFamilies(const std::vector<int>& sizes) {
  std::vector<std::unique_ptr<korvex_bench::ScalableProblem>> problems;
  for (const int n : sizes) {
    problems.push_back(std::make_unique<korvex_bench::DenseConvexQp>(n));
    problems.push_back(std::make_unique<korvex_bench::ChainedRosenbrock>(n));
  }
  std::vector<RunInput> inputs;
  for (const auto& p : problems) {
    inputs.push_back({p->name(), p->n, p->nEq, p->nIneq, p->start.data(), p->lower.data(), p->upper.data(),
                      p->analysis, p->user, korvex_bench::kMaxIterations, 2});
  }
  checkRuns(inputs);
}

TEST(RunChecksums, DemoProblemsAndSmallFamilies) {
  checkRuns(demoInputs());
  checkFamilies({10, 20});
}

// QPSOLV on random strictly convex problems, n/2 inequalities and n/10 equalities, bounds [-1, 1] of the given types
// (by variable, cycling through the pattern), every fifth constraint coefficient and every third linear term zero.
// The hash covers X, the active rows with their multipliers and the three flags; `calls` records NACT.
RecordedRun solveRandomQp(int n, const std::vector<int>& typePattern, std::uint64_t seed, bool inconsistent) {
  korvex_bench::UniformSource u(seed);
  const int nc = n / 2 + n / 10, nineq = n / 2;
  const size_t square = static_cast<size_t>(n) * n;
  std::vector<double> m(square), h(square), g(n), a(static_cast<size_t>(n) * nc), bc(nc), xl(n, -1.0), xu(n, 1.0),
      inside(n), x(n), xlag(n);
  std::vector<int> itype(n), iact(n);
  for (double& v : m) v = u.next();
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n; ++i) {
      double s = i == j ? 1.0 : 0.0;
      for (int k = 0; k < n; ++k) s += m[i + k * n] * m[j + k * n] / n;
      h[i + j * n] = i <= j ? s : 99.0;  // only the upper triangle is read
    }
  }
  for (int i = 0; i < n; ++i) g[i] = i % 3 == 0 ? 0.0 : 5.0 * u.next();
  for (int i = 0; i < n; ++i) inside[i] = 0.5 * u.next();
  for (size_t k = 0; k < a.size(); ++k) a[k] = k % 5 == 0 ? 0.0 : u.next();
  for (int k = 0; k < nc; ++k) {
    double s = 0.0;
    for (int i = 0; i < n; ++i) s += a[i + k * n] * inside[i];
    bc[k] = k < nineq ? s + 0.1 : s;
  }
  for (int i = 0; i < n; ++i) itype[i] = typePattern[static_cast<size_t>(i) % typePattern.size()];
  if (inconsistent) bc[0] = -1e3;  // a'x <= -1000 cannot hold inside the box
  int nact = 0, infeas = 0, ihess = 0, ierr = 0;
  QPSOLV(&n, &nc, &nineq, a.data(), &n, bc.data(), h.data(), &n, g.data(), itype.data(), xl.data(), xu.data(),
         x.data(), xlag.data(), iact.data(), &nact, &infeas, &ihess, &ierr);
  Fnv1a hash;
  const size_t active = static_cast<size_t>(std::clamp(nact, 0, n));
  const int flags[3] = {infeas, ihess, ierr};
  hash.add(x.data(), x.size());
  hash.add(&nact, 1);
  hash.add(xlag.data(), active);
  hash.add(iact.data(), active);
  hash.add(flags, 3);
  return {nullptr, nact, hash.value, 0};
}

TEST(RunChecksums, QpSolvesOfRandomProblems) {
  KVW_setDefaults();
  const std::vector<int> allBoth{1}, mixed{1, 3, 2, 0};
  struct Case {
    const char* name;
    int n;
    const std::vector<int>& types;
    bool inconsistent;
  };
  const Case cases[] = {{"qp/both/8", 8, allBoth, false},      {"qp/mixed/8", 8, mixed, false},
                        {"qp/mixed/30", 30, mixed, false},     {"qp/both/60", 60, allBoth, false},
                        {"qp/both/100", 100, allBoth, false},  {"qp/mixed/120", 120, mixed, false},
                        {"qp/both/120", 120, allBoth, false},  {"qp/both/40/inconsistent", 40, allBoth, true},
                        {"qp/mixed/40/inconsistent", 40, mixed, true}};
  std::uint64_t seed = 77;
  for (const Case& c : cases) {
    expectRecorded(c.name, solveRandomQp(c.n, c.types, ++seed, c.inconsistent));
  }
}

// Slow without optimization: the test suite of a Debug build leaves it out (tests/CMakeLists.txt).
TEST(RunChecksums, LargeFamilies) {
  checkFamilies({50, 100});
}

}  // namespace
