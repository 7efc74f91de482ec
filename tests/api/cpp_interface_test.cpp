// The C++ interface (korvex.hpp), compiled as C++17 the way its oldest users compile it, against the shared
// library. Every solve is compared bit for bit with the same run made through the C context functions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "korvex/korvex.hpp"

static_assert(__cplusplus == 201703L, "this test checks the C++ interface under C++17");

namespace {

using korvex::ConstVector;
using korvex::Differences;
using korvex::Method;
using korvex::Options;
using korvex::Result;
using korvex::Solver;
using korvex::Vector;

struct Problem {
  const char* name;
  int nEq, nIneq;
  std::vector<double> start, lower, upper;
  double optimum;
  void (*evaluate)(const double* x, double& objective, double* equalities, double* inequalities);
};

// Hock-Schittkowski 71: one equality (a sphere), one inequality, 1 <= x <= 5.
const Problem kHs71{"hs71", 1, 1, {1, 5, 5, 1}, {1, 1, 1, 1}, {5, 5, 5, 5}, 17.0140173,
                    [](const double* x, double& objective, double* equalities, double* inequalities) {
                      objective = x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2];
                      equalities[0] = x[0] * x[0] + x[1] * x[1] + x[2] * x[2] + x[3] * x[3] - 40.0;
                      inequalities[0] = 25.0 - x[0] * x[1] * x[2] * x[3];
                    }};
// Rosenbrock's valley with bounds only (no constraint values: both views empty), x1 <= 0.5 active.
const Problem kRosenbrock{"rosenbrock", 0, 0, {-1.2, 1}, {-2, -1}, {0.5, 2}, 0.25,
                          [](const double* x, double& objective, double*, double*) {
                            const double valley = x[1] - x[0] * x[0];
                            objective = 100.0 * valley * valley + (1.0 - x[0]) * (1.0 - x[0]);
                          }};

// The analysis as a C++ user writes it: a callable over views.
auto analysisOf(const Problem& p) {
  return [&p](ConstVector x, double& objective, Vector equalities, Vector inequalities) {
    EXPECT_EQ(x.size(), p.start.size());
    EXPECT_EQ(equalities.size(), static_cast<std::size_t>(p.nEq));
    EXPECT_EQ(inequalities.size(), static_cast<std::size_t>(p.nIneq));
    p.evaluate(x.data(), objective, equalities.data(), inequalities.data());
  };
}

// The same run through the C context functions.
struct Reference {
  int code;
  std::vector<double> x, functions;
  int iterations, analysisCalls;
  std::vector<std::string> lines;
};

void collect(void* user, const char* line, int length) {
  static_cast<std::vector<std::string>*>(user)->emplace_back(line, static_cast<std::size_t>(length));
}

void analyseInC(void* user, const double* x, double* objective, double* equalities, double* inequalities) {
  static_cast<const Problem*>(user)->evaluate(x, *objective, equalities, inequalities);
}

Reference runThroughC(const Options& o, const Problem& p) {
  Reference r{};
  KVW_Context* context = KVW_ctx_create();
  KVW_ctx_set_print(context, o.printLevel);
  KVW_ctx_set_diffMeth(context, static_cast<int>(o.differences));
  KVW_ctx_set_diffPert(context, o.differenceStep);
  KVW_ctx_set_convTol(context, o.tolerance);
  KVW_ctx_set_diagCallback(context, collect, &r.lines);
  r.x = p.start;
  r.functions.assign(static_cast<std::size_t>(1 + p.nEq + p.nIneq), 0.0);
  const auto run = o.method == Method::grg ? KVW_ctx_grg : KVW_ctx_sqp;
  r.code = run(context, o.maxIterations, static_cast<int>(p.start.size()), r.x.data(), p.lower.data(), p.upper.data(),
               p.nEq, p.nIneq, analyseInC, const_cast<Problem*>(&p), r.functions.data());
  r.iterations = KVW_ctx_get_nIter(context);
  r.analysisCalls = KVW_ctx_get_nFunEval(context);
  KVW_ctx_free(context);
  return r;
}

std::vector<std::string> linesOf(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

void expectSameRun(const Result& r, const Reference& c, const std::vector<std::string>& lines) {
  EXPECT_EQ(r.code, c.code);
  EXPECT_EQ(r.text, KVW_resultText(static_cast<int>(r.method), c.code));
  EXPECT_EQ(r.x, c.x);
  std::vector<double> functions{r.f};
  functions.insert(functions.end(), r.equalities.begin(), r.equalities.end());
  functions.insert(functions.end(), r.inequalities.begin(), r.inequalities.end());
  EXPECT_EQ(functions, c.functions);
  EXPECT_EQ(r.iterations, c.iterations);
  EXPECT_EQ(r.analysisCalls, c.analysisCalls);
  EXPECT_EQ(lines, c.lines);
}

// Every option reaches its setting (a wrong one changes the bits, the counters or the printed lines), the result
// carries what the run left, diagnostics reach a callable or a file, and a second solve starts afresh.
TEST(CppInterface, SolvesAsTheCApiWithEveryOptionAndDiagnosticDestination) {
  struct Case {
    const Problem* problem;
    Options options;
    bool toFile;
    int expectedCode;
  };
  // method, iteration limit, tolerance, differences, difference step, print level
  const Case cases[] = {
      {&kHs71, {Method::sqp, 100, 1e-3, Differences::forward, 1e-4, 0, {}, {}}, false, KVW_SQP_CONVERGED},
      {&kHs71, {Method::sqp, 100, 1e-6, Differences::central, 1e-6, 2, {}, {}}, true, KVW_SQP_CONVERGED},
      {&kHs71, {Method::grg, 100, 1e-4, Differences::central, 1e-5, 2, {}, {}}, false, KVW_GRG_CONVERGED_DERIVATIVE},
      {&kHs71, {Method::grg, 2, 1e-3, Differences::forward, 1e-4, 3, {}, {}}, true, KVW_GRG_ITERATION_LIMIT},
      {&kRosenbrock, {Method::sqp, 3, 1e-3, Differences::forward, 1e-4, 3, {}, {}}, false, KVW_SQP_ITERATION_LIMIT},
      {&kRosenbrock, {Method::grg, 200, 1e-5, Differences::forward, 1e-4, 1, {}, {}}, false,
       KVW_GRG_CONVERGED_DERIVATIVE},
  };
  const std::string path = ::testing::TempDir() + "korvex_cpp_interface_diagnostics.txt";
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.problem->name) + (c.options.method == Method::grg ? " grg" : " sqp") +
                 " print " + std::to_string(c.options.printLevel));
    const Reference reference = runThroughC(c.options, *c.problem);
    EXPECT_TRUE(c.options.printLevel < 2 || reference.lines.size() > 10u);

    Solver solver(c.options);
    std::vector<std::string> lines;
    if (c.toFile) {
      solver.options().diagnosticsPath = path;
    } else {
      solver.options().diagnostics = [&lines](std::string_view line) { lines.emplace_back(line); };
    }
    const Problem& p = *c.problem;
    for (int solve = 1; solve <= 2; ++solve) {  // the second solve reports its own counters, not the sum
      lines.clear();
      const Result r = solver.solve(analysisOf(p), p.start, p.lower, p.upper, p.nEq, p.nIneq);
      expectSameRun(r, reference, c.toFile ? linesOf(path) : lines);
      EXPECT_EQ(r.code, c.expectedCode);
      EXPECT_EQ(r.converged(), c.expectedCode == 1);
      EXPECT_TRUE(!r.converged() || std::fabs(r.f - p.optimum) <= 1e-3) << r.f;
    }
  }
  std::remove(path.c_str());
}

// An exception of the analysis or of the diagnostics callable, and a solve from within the solver's own analysis
// (refused with std::logic_error), end the run at the top of the next iteration (the analysis is not called again),
// reach the caller unchanged, and leave the solver as good as new; a stop request ends the run without an exception.
TEST(CppInterface, ExceptionsAndStopRequestsEndTheRunAndLeaveTheSolverReusable) {
  enum class Ending { analysisThrows, diagnosticsThrow, nestedSolve, stopRequested };
  struct Case {
    Method method;
    Ending ending;
    int at;  // analysis call or diagnostic line
  };
  const Case cases[] = {
      {Method::sqp, Ending::analysisThrows, 1},   {Method::grg, Ending::analysisThrows, 1},
      {Method::sqp, Ending::analysisThrows, 8},   {Method::grg, Ending::analysisThrows, 40},
      {Method::sqp, Ending::diagnosticsThrow, 3}, {Method::grg, Ending::diagnosticsThrow, 1},
      {Method::sqp, Ending::nestedSolve, 2},      {Method::grg, Ending::nestedSolve, 6},
      {Method::sqp, Ending::stopRequested, 12},   {Method::grg, Ending::stopRequested, 12},
  };
  const Problem& p = kHs71;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.ending)) + (c.method == Method::grg ? " grg" : " sqp") + " at " +
                 std::to_string(c.at));
    const Options options{c.method, 100, 1e-3, Differences::forward, 1e-4, 2, {}, {}};
    Solver solver(options);
    const Result fresh = Solver(options).solve(analysisOf(p), p.start, p.lower, p.upper, p.nEq, p.nIneq);

    int calls = 0, lines = 0, callsAtEnd = 0, iterationAtEnd = 0;
    const auto endHere = [&] {
      callsAtEnd = calls;
      iterationAtEnd = KVW_ctx_get_nIter(solver.context());
    };
    solver.options().diagnostics = [&](std::string_view) {
      if (++lines == c.at && c.ending == Ending::diagnosticsThrow) {
        endHere();
        throw std::runtime_error("diagnostics failed");
      }
    };
    const auto analysis = [&](ConstVector x, double& objective, Vector equalities, Vector inequalities) {
      if (++calls == c.at && (c.ending == Ending::analysisThrows || c.ending == Ending::nestedSolve)) {
        endHere();
        if (c.ending == Ending::nestedSolve) solver.solve(analysisOf(p), p.start, p.lower, p.upper, p.nEq, p.nIneq);
        throw calls;  // the call that failed
      }
      if (calls == c.at && c.ending == Ending::stopRequested) solver.requestStop();
      p.evaluate(x.data(), objective, equalities.data(), inequalities.data());
    };
    if (c.ending == Ending::stopRequested) {
      const Result stopped = solver.solve(analysis, p.start, p.lower, p.upper, p.nEq, p.nIneq);
      EXPECT_EQ(stopped.code, c.method == Method::grg ? KVW_GRG_STOPPED : KVW_SQP_STOPPED);
      EXPECT_FALSE(stopped.converged());
      EXPECT_LT(stopped.iterations, fresh.iterations);
    } else {
      try {
        solver.solve(analysis, p.start, p.lower, p.upper, p.nEq, p.nIneq);
        ADD_FAILURE() << "no exception";
      } catch (int call) {
        EXPECT_TRUE(c.ending == Ending::analysisThrows && call == c.at);
      } catch (const std::logic_error&) {
        EXPECT_EQ(c.ending, Ending::nestedSolve);
      } catch (const std::runtime_error&) {
        EXPECT_EQ(c.ending, Ending::diagnosticsThrow);
      }
      EXPECT_EQ(calls, callsAtEnd);  // never called again after the exception
      EXPECT_EQ(KVW_ctx_get_nIter(solver.context()), iterationAtEnd + 1);
    }
    if (c.ending == Ending::analysisThrows && c.at == 1) {
      // At the start point: the run ends at the top of its first iteration, before any gradient is formed.
      EXPECT_EQ(KVW_ctx_get_nFunEval(solver.context()), 1);
    }

    solver.options().diagnostics = nullptr;  // the lines of the next solve go nowhere, not to the old callable
    const int linesBefore = lines;
    const Result again = solver.solve(analysisOf(p), p.start, p.lower, p.upper, p.nEq, p.nIneq);
    EXPECT_EQ(lines, linesBefore);
    EXPECT_EQ(again.code, fresh.code);
    EXPECT_EQ(again.x, fresh.x);
    EXPECT_EQ(again.analysisCalls, fresh.analysisCalls);
  }
}

// The solver is move-only; the moved-to solver runs as before, the moved-from one refuses to run; mismatched
// lengths and negative counts are refused before anything runs.
TEST(CppInterface, SolverMovesItsContextAndChecksItsArguments) {
  static_assert(!std::is_copy_constructible_v<Solver> && !std::is_copy_assignable_v<Solver>);
  static_assert(std::is_nothrow_move_constructible_v<Solver> && std::is_nothrow_move_assignable_v<Solver>);
  const Problem& p = kHs71;
  Solver first(Options{Method::grg, 100, 1e-4, Differences::forward, 1e-4, 0, {}, {}});
  const Result before = first.solve(analysisOf(p), p.start, p.lower, p.upper, p.nEq, p.nIneq);
  ASSERT_TRUE(before.converged());

  Solver second(std::move(first));
  const Result moved = second.solve(analysisOf(p), p.start, p.lower, p.upper, p.nEq, p.nIneq);
  EXPECT_EQ(moved.x, before.x);
  EXPECT_EQ(moved.analysisCalls, before.analysisCalls);
  EXPECT_EQ(first.context(), nullptr);  // NOLINT(bugprone-use-after-move): a moved-from solver is empty
  EXPECT_EQ(first.solve(analysisOf(p), p.start, p.lower, p.upper, p.nEq, p.nIneq).code, KVW_INVALID_ARGUMENT);

  Solver third;
  third = std::move(second);
  EXPECT_EQ(third.solve(analysisOf(p), p.start, p.lower, p.upper, p.nEq, p.nIneq).x, before.x);

  int calls = 0;
  const auto counting = [&calls](ConstVector, double& objective, Vector, Vector) { objective = ++calls; };
  const std::vector<double> shortBounds{1, 1, 1};
  EXPECT_THROW(third.solve(counting, p.start, shortBounds, p.upper, p.nEq, p.nIneq), std::invalid_argument);
  EXPECT_THROW(third.solve(counting, p.start, p.lower, shortBounds, p.nEq, p.nIneq), std::invalid_argument);
  EXPECT_THROW(third.solve(counting, p.start, p.lower, p.upper, -1, p.nIneq), std::invalid_argument);
  EXPECT_THROW(third.solve(counting, p.start, p.lower, p.upper, p.nEq, -1), std::invalid_argument);
  EXPECT_EQ(calls, 0);
}

}  // namespace
