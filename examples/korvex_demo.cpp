// korvex demo: solves a set of classic constrained test problems with the SQP and GRG methods and prints one
// table row per run: result code, objective reached against the known optimum, largest constraint violation,
// iterations, analysis calls, time and the result code's text.
//
//   korvex_demo [--method sqp|grg|both] [--problem NAME] [--print LEVEL] [--tol T] [--maxiter N]
//               [--diff forward|central] [--diag FILE] [--list] [--help]
//
// A run counts as reaching the optimum ("ok" column) when its objective is within tol * max(1, |known optimum|)
// of the known optimum and no constraint is violated by more than tol (tol as given to KVW_set_convTol), up to a
// relative slack of kRoundTrip: the method may leave an active constraint exactly at its tolerance, and the
// returned x, mapped back from the library's scaled units, can differ from the point it evaluated by an ulp.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "korvex/korvex.h"
#include "problems.h"

namespace {

using korvex_examples::TestProblem;

constexpr int kMethodSqp = 0;
constexpr int kMethodGrg = 1;

struct Options {
  bool sqp = true;
  bool grg = true;
  std::string problem;  // empty: all
  int print = 0;
  double tol = 0.0;     // 0: the library default
  int maxIter = 100;
  int diffMeth = 1;
  std::string diagFile;
};

constexpr double kDefaultTol = 0.001;
constexpr double kRoundTrip = 1e-9;

struct RunResult {
  int code = 0;
  bool reached = false;  // objective and constraints within the tolerance of the known optimum
  double objective = 0.0;
  double violation = 0.0;
  int iterations = 0;
  int calls = 0;
  double milliseconds = 0.0;
};

void printHelp() {
  std::puts(
      "usage: korvex_demo [options]\n"
      "Solves classic constrained test problems with known optima by the SQP and GRG methods of korvex.\n"
      "  --method sqp|grg|both   methods to run (default both)\n"
      "  --problem NAME          run only this problem (see --list)\n"
      "  --print LEVEL           diagnostic print level 0..3 (default 0)\n"
      "  --tol T                 constraint and convergence tolerance (KVW_set_convTol; default 0.001)\n"
      "  --maxiter N             iteration limit (default 100)\n"
      "  --diff forward|central  finite differences (default forward)\n"
      "  --diag FILE             write the diagnostic stream to FILE (default: fort.80 in the current directory)\n"
      "  --list                  list the problems and exit\n"
      "  --help                  this text");
}

void listProblems() {
  std::printf("%-12s %3s %3s %3s  %-26s %-36s %s\n", "problem", "n", "eq", "in", "constraints", "source",
              "known optimum");
  for (const TestProblem& p : korvex_examples::testProblems()) {
    std::printf("%-12.*s %3d %3d %3d  %-26.*s %-36.*s %.10g\n", static_cast<int>(p.name.size()), p.name.data(), p.n,
                p.nEq, p.nIneq, static_cast<int>(p.kind.size()), p.kind.data(), static_cast<int>(p.source.size()),
                p.source.data(), p.optimum);
  }
}

// Returns false (after a message) when the command line is not understood.
bool parse(int argc, char** argv, Options& o, bool& exitNow) {
  exitNow = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "korvex_demo: %s needs a value\n", what);
        return nullptr;
      }
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      printHelp();
      exitNow = true;
      return true;
    } else if (arg == "--list") {
      listProblems();
      exitNow = true;
      return true;
    } else if (arg == "--method") {
      const char* v = value("--method");
      if (v == nullptr) return false;
      const std::string_view m = v;
      if (m == "sqp") {
        o.sqp = true;
        o.grg = false;
      } else if (m == "grg") {
        o.sqp = false;
        o.grg = true;
      } else if (m == "both") {
        o.sqp = o.grg = true;
      } else {
        std::fprintf(stderr, "korvex_demo: unknown method '%s' (sqp, grg or both)\n", v);
        return false;
      }
    } else if (arg == "--problem") {
      const char* v = value("--problem");
      if (v == nullptr) return false;
      o.problem = v;
      if (korvex_examples::findProblem(o.problem) == nullptr) {
        std::fprintf(stderr, "korvex_demo: unknown problem '%s' (see --list)\n", v);
        return false;
      }
    } else if (arg == "--print") {
      const char* v = value("--print");
      if (v == nullptr) return false;
      o.print = std::atoi(v);
    } else if (arg == "--tol") {
      const char* v = value("--tol");
      if (v == nullptr) return false;
      o.tol = std::strtod(v, nullptr);
      if (!(o.tol > 0.0)) {
        std::fprintf(stderr, "korvex_demo: --tol needs a positive number\n");
        return false;
      }
    } else if (arg == "--maxiter") {
      const char* v = value("--maxiter");
      if (v == nullptr) return false;
      o.maxIter = std::atoi(v);
    } else if (arg == "--diff") {
      const char* v = value("--diff");
      if (v == nullptr) return false;
      const std::string_view d = v;
      if (d == "forward") {
        o.diffMeth = 1;
      } else if (d == "central") {
        o.diffMeth = 2;
      } else {
        std::fprintf(stderr, "korvex_demo: unknown difference method '%s' (forward or central)\n", v);
        return false;
      }
    } else if (arg == "--diag") {
      const char* v = value("--diag");
      if (v == nullptr) return false;
      o.diagFile = v;
    } else {
      std::fprintf(stderr, "korvex_demo: unknown option '%s' (try --help)\n", argv[i]);
      return false;
    }
  }
  return true;
}

RunResult run(const TestProblem& p, int method, const Options& o) {
  // Fresh settings per run, so that the counters are this run's own.
  KVW_setDefaults();
  KVW_set_print(o.print);
  if (o.tol > 0.0) KVW_set_convTol(o.tol);
  KVW_set_diffMeth(o.diffMeth);

  double x[korvex_examples::kMaxProblemVariables];
  double f[korvex_examples::kMaxProblemFunctions];
  for (int i = 0; i < p.n; ++i) x[i] = p.start[static_cast<size_t>(i)];

  RunResult r;
  const auto begin = std::chrono::steady_clock::now();
  if (method == kMethodSqp) {
    r.code = KVW_sqp(o.maxIter, p.n, x, p.lower.data(), p.upper.data(), p.nEq, p.nIneq, p.analysis, nullptr, f);
  } else {
    r.code = KVW_grg(o.maxIter, p.n, x, p.lower.data(), p.upper.data(), p.nEq, p.nIneq, p.analysis, nullptr, f);
  }
  const auto end = std::chrono::steady_clock::now();
  r.milliseconds = std::chrono::duration<double, std::milli>(end - begin).count();
  r.iterations = KVW_get_nIter();
  r.calls = KVW_get_nFunEval();
  // Judge the returned point by evaluating it here, independently of what the method left in f.
  korvex_examples::evaluate(p, x, f);
  r.objective = f[0];
  r.violation = korvex_examples::largestViolation(p, f);
  const double tol = o.tol > 0.0 ? o.tol : kDefaultTol;
  r.reached = std::fabs(r.objective - p.optimum) <= tol * std::max(1.0, std::fabs(p.optimum)) &&
              r.violation <= tol * (1.0 + kRoundTrip);
  return r;
}

void printHeader() {
  std::printf("%-11s %-4s %4s %15s %15s %10s %3s %5s %6s %9s  %s\n", "problem", "meth", "code", "objective",
              "known optimum", "violation", "ok", "iter", "calls", "time ms", "result");
}

void printRow(const TestProblem& p, int method, const RunResult& r) {
  const char* methodName = method == kMethodSqp ? "sqp" : "grg";
  const char* text = KVW_resultText(method, r.code);
  std::printf("%-11.*s %-4s %4d %15.8g %15.8g %10.2e %3s %5d %6d %9.3f  %s\n", static_cast<int>(p.name.size()),
              p.name.data(), methodName, r.code, r.objective, p.optimum, r.violation, r.reached ? "yes" : "no",
              r.iterations, r.calls, r.milliseconds, text);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  bool exitNow = false;
  if (!parse(argc, argv, o, exitNow)) return 2;
  if (exitNow) return 0;
  if (!o.diagFile.empty()) KVW_set_diagFile(o.diagFile.c_str());

  std::vector<int> methods;
  if (o.sqp) methods.push_back(kMethodSqp);
  if (o.grg) methods.push_back(kMethodGrg);

  printHeader();
  int runs[2] = {0, 0}, reached[2] = {0, 0};
  for (const TestProblem& p : korvex_examples::testProblems()) {
    if (!o.problem.empty() && p.name != o.problem) continue;
    for (int method : methods) {
      const RunResult r = run(p, method, o);
      ++runs[method];
      if (r.reached) ++reached[method];
      printRow(p, method, r);
    }
  }
  std::printf("\n");
  for (int method : methods) {
    if (runs[method] > 0) {
      std::printf("%s: known optimum reached within tolerance on %d of %d problems\n",
                  method == kMethodSqp ? "SQP" : "GRG", reached[method], runs[method]);
    }
  }
  return 0;
}
