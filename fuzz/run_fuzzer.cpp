// Whole runs of either method on a small problem decoded from the input: up to ten variables, a few equality and
// inequality constraints built from a small set of expressions, bounds, start point and settings, with values from
// ordinary to hostile (NaN, infinities, 1e300, denormals), analyses that fail, stop the run or throw, and calls the
// callback must not make. Every run must end with a code of its method, and leave x and f consistent: f holds the
// analysis at exactly the returned x, or both are untouched when the arguments were refused.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <vector>

#include "byte_reader.h"
#include "korvex/korvex.h"

namespace korvex::fuzzing {
namespace {

constexpr int kMaxVariables = 10;
constexpr int kMaxEqualities = 3;
constexpr int kMaxInequalities = 4;
constexpr int kMaxFunctions = 1 + kMaxEqualities + kMaxInequalities;
constexpr int kMaxIterations = 20;  // keeps one input's run short
constexpr int kMaxTerms = 2;

constexpr int kMethodGrg = 1;
constexpr int kMethodSqp = 0;

// The result codes a run of each method may end with.
bool isResultOf(int method, int code) {
  static constexpr int kSqp[] = {KVW_SQP_CONVERGED, KVW_SQP_ITERATION_LIMIT, KVW_SQP_QP_INFEASIBLE,
                                 KVW_SQP_QP_NOT_CONVEX, KVW_SQP_QP_FAILED, KVW_SQP_STORAGE, KVW_SQP_STOPPED,
                                 KVW_SQP_MERIT_STALLED};
  static constexpr int kGrg[] = {KVW_GRG_CONVERGED_DERIVATIVE, KVW_GRG_NO_STEP, KVW_GRG_CONVERGED_OBJECTIVE,
                                 KVW_GRG_INFEASIBLE, KVW_GRG_INFEASIBLE_STALLED, KVW_GRG_ITERATION_LIMIT,
                                 KVW_GRG_QP_INFEASIBLE, KVW_GRG_QP_FAILED, KVW_GRG_STORAGE, KVW_GRG_STOPPED};
  static constexpr int kBoth[] = {KVW_NON_FINITE_ANALYSIS, KVW_INVALID_ARGUMENT, KVW_CALLBACK_EXCEPTION,
                                  KVW_OUT_OF_MEMORY};
  const auto among = [code](const auto& codes) {
    return std::find(std::begin(codes), std::end(codes), code) != std::end(codes);
  };
  return among(kBoth) || (method == kMethodSqp ? among(kSqp) : among(kGrg));
}

bool isConverged(int method, int code) {
  return method == kMethodSqp ? code == KVW_SQP_CONVERGED
                              : code == KVW_GRG_CONVERGED_DERIVATIVE || code == KVW_GRG_CONVERGED_OBJECTIVE;
}

// The expressions functions are built from; each term is a * shape(x_i, x_j; b) + c.
enum class Shape : uint8_t {
  Linear, Square, Product, Cubic, Sine, Exponential, Reciprocal, Logarithm, SquareRoot, Sphere, Constant, Count
};

struct Term {
  Shape shape = Shape::Constant;
  int i = 0, j = 0;
  double a = 0, b = 0, c = 0;

  double at(const double* x, int n) const {
    if (i >= n || j >= n) return c;
    const double xi = x[i], xj = x[j];
    switch (shape) {
      case Shape::Linear: return a * xi + b * xj + c;
      case Shape::Square: return a * (xi - b) * (xi - b) + c;
      case Shape::Product: return a * xi * xj + c;
      case Shape::Cubic: return a * xi * xi * xi + b * xj + c;
      case Shape::Sine: return a * std::sin(b * xi) + c;
      case Shape::Exponential: return a * std::exp(b * xi) + c;
      case Shape::Reciprocal: return a / (xi - b) + c;
      case Shape::Logarithm: return a * std::log(xi - b) + c;
      case Shape::SquareRoot: return a * std::sqrt(xi - b) + c;
      case Shape::Sphere: {
        double sum = 0;
        for (int k = 0; k < n; ++k) sum += (x[k] - b) * (x[k] - b);
        return a * sum + c;
      }
      default: return c;
    }
  }
};

struct Function {
  int termCount = 1;
  Term terms[kMaxTerms];
  double at(const double* x, int n) const {
    double sum = 0;
    for (int t = 0; t < termCount; ++t) sum += terms[t].at(x, n);
    return sum;
  }
};

// What the analysis does besides evaluating, at its call number `misuseAt`.
enum class Misuse : uint8_t {
  None,
  FailFrom,        // function `faultFunction` is `faultValue` from this call on (a simulation that breaks down)
  FailOnce,        // ... at this call only (one bad mesh)
  Stop,            // KVW_set_stop(1)
  Throw,           // a C++ exception
  NestedRun,       // starts a run of its own: must be refused, nothing read or written
  NestedDefaults,  // KVW_setDefaults: must not disturb the running run
  NestedSetters,   // setters with meaningless values: likewise
  NegativeCount,   // not in the analysis: the run is called with n < 0
};

struct Problem {
  int method = kMethodSqp;
  int maxIter = 0;
  int n = 1, nEq = 0, nIneq = 0;
  int print = 0, diffMeth = 1;
  double diffPert = 1e-4, convTol = 1e-3;
  double x[kMaxVariables] = {}, lower[kMaxVariables] = {}, upper[kMaxVariables] = {};
  Function functions[kMaxFunctions];
  Misuse misuse = Misuse::None;
  int misuseAt = 1;
  bool nestedGrg = false;
  int faultFunction = 0;
  double faultValue = 0;

  int functionCount() const { return 1 + nEq + nIneq; }
};

// A setting: mostly one of the usual values, sometimes anything.
double setting(ByteReader& in, const double (&usual)[6]) {
  const uint8_t choice = in.byte() % 8;
  return choice < 6 ? usual[choice] : in.value();
}

Problem decode(ByteReader& in) {
  Problem p;
  p.method = in.flag() ? kMethodGrg : kMethodSqp;
  p.maxIter = in.pick(-1, kMaxIterations);
  p.n = in.pick(1, kMaxVariables);
  p.nEq = in.pick(0, kMaxEqualities);
  p.nIneq = in.pick(0, kMaxInequalities);
  const uint8_t print = in.byte() % 8;
  p.print = print < 5 ? 0 : print - 4;
  p.diffMeth = in.pick(1, 2);
  p.diffPert = setting(in, {1e-4, 1e-6, 1e-3, 1e-2, 0.1, 0.5});
  p.convTol = setting(in, {1e-3, 1e-6, 1e-4, 1e-2, 0.1, 1.0});

  for (int i = 0; i < p.n; ++i) {
    const uint8_t box = in.byte() % 8;
    p.lower[i] = in.value();
    if (box < 6) {
      p.upper[i] = p.lower[i] + 0.5 + in.byte() / 16.0;  // an interval, unless the lower bound swallows it
    } else if (box == 6) {
      p.upper[i] = in.value();  // anything: inverted, equal, infinite, NaN
    } else {
      p.upper[i] = p.lower[i];  // a fixed variable
    }
    const uint8_t start = in.byte() % 8;
    if (start < 6) {
      p.x[i] = p.lower[i] + in.fraction() * (p.upper[i] - p.lower[i]);
    } else if (start == 6) {
      p.x[i] = in.value();
    } else {
      p.x[i] = p.upper[i] + std::fabs(in.value());  // outside the box
    }
  }

  for (int k = 0; k < p.functionCount(); ++k) {
    Function& f = p.functions[k];
    f.termCount = 1 + in.pick(0, kMaxTerms - 1);
    for (int t = 0; t < f.termCount; ++t) {
      Term& term = f.terms[t];
      term.shape = static_cast<Shape>(in.byte() % static_cast<int>(Shape::Count));
      term.i = in.pick(0, p.n - 1);
      term.j = in.pick(0, p.n - 1);
      term.a = in.value();
      term.b = in.value();
      term.c = in.value();
    }
  }

  static constexpr Misuse kMisuses[16] = {
      Misuse::None,     Misuse::None,     Misuse::None,  Misuse::None,  Misuse::None,      Misuse::None,
      Misuse::None,     Misuse::None,     Misuse::FailFrom, Misuse::FailOnce, Misuse::Stop, Misuse::Throw,
      Misuse::NestedRun, Misuse::NestedDefaults, Misuse::NestedSetters, Misuse::NegativeCount};
  p.misuse = kMisuses[in.byte() % 16];
  p.misuseAt = in.pick(1, 64);
  p.nestedGrg = in.flag();
  p.faultFunction = in.pick(0, p.functionCount() - 1);
  p.faultValue = in.value();
  return p;
}

// The decoded problem on the standard error, for replaying a saved input (KORVEX_FUZZ_DESCRIBE=1).
void describe(const Problem& p) {
  static const char* const kShapes[] = {"linear", "square", "product", "cubic", "sine", "exponential",
                                        "reciprocal", "logarithm", "square root", "sphere", "constant"};
  static const char* const kMisuses[] = {"none", "fail from", "fail once", "stop", "throw", "nested run",
                                         "nested defaults", "nested setters", "negative n"};
  std::fprintf(stderr, "%s maxIter %d n %d nEq %d nIneq %d print %d diffMeth %d diffPert %.17g convTol %.17g\n",
               p.method == kMethodGrg ? "GRG" : "SQP", p.maxIter, p.n, p.nEq, p.nIneq, p.print, p.diffMeth,
               p.diffPert, p.convTol);
  for (int i = 0; i < p.n; ++i) {
    std::fprintf(stderr, "  x%d = %.17g in [%.17g, %.17g]\n", i, p.x[i], p.lower[i], p.upper[i]);
  }
  for (int k = 0; k < p.functionCount(); ++k) {
    std::fprintf(stderr, "  f%d =", k);
    for (int t = 0; t < p.functions[k].termCount; ++t) {
      const Term& term = p.functions[k].terms[t];
      std::fprintf(stderr, " %s%s(x%d, x%d; a %.17g b %.17g c %.17g)", t > 0 ? "+ " : "",
                   kShapes[static_cast<int>(term.shape)], term.i, term.j, term.a, term.b, term.c);
    }
    std::fprintf(stderr, "\n");
  }
  std::fprintf(stderr, "  analysis: %s at call %d (function %d value %.17g, nested %s)\n",
               kMisuses[static_cast<int>(p.misuse)], p.misuseAt, p.faultFunction, p.faultValue,
               p.nestedGrg ? "GRG" : "SQP");
}

// One completed analysis call: the point and the values written.
struct Evaluation {
  double x[kMaxVariables];
  double values[kMaxFunctions];
};

// What the analysis saw during one run.
struct RunRecord {
  const Problem* problem = nullptr;
  int variables = 0;  // n as passed to the run
  int calls = 0;
  std::vector<Evaluation> history;
  bool sawNonFiniteVariable = false;
  bool nestedRunAttempted = false;
  bool nestedRunRefused = true;
};

void evaluate(const Problem& p, const double* x, int n, double* values) {
  for (int k = 0; k < p.functionCount(); ++k) values[k] = p.functions[k].at(x, n);
}

void innerAnalysis(void* user, const double* x, double* objective, double*, double*) {
  ++*static_cast<int*>(user);
  *objective = x[0] * x[0];
}

// A run started from inside the analysis: refused at once, its arguments neither read nor written.
bool nestedRunRefused(bool grg) {
  double x[1] = {0.5}, lower[1] = {-1.0}, upper[1] = {1.0}, f[1] = {7.0};
  int calls = 0;
  const int code = grg ? KVW_grg(5, 1, x, lower, upper, 0, 0, innerAnalysis, &calls, f)
                       : KVW_sqp(5, 1, x, lower, upper, 0, 0, innerAnalysis, &calls, f);
  return code == KVW_RUN_IN_PROGRESS && calls == 0 && x[0] == 0.5 && f[0] == 7.0;
}

void analysis(void* user, const double* x, double* objective, double* equalities, double* inequalities) {
  RunRecord& record = *static_cast<RunRecord*>(user);
  const Problem& p = *record.problem;
  const int call = ++record.calls;
  for (int i = 0; i < record.variables; ++i) {
    if (!std::isfinite(x[i])) record.sawNonFiniteVariable = true;
  }

  if (call == p.misuseAt) {
    switch (p.misuse) {
      case Misuse::Stop: KVW_set_stop(1); break;
      case Misuse::Throw: throw std::runtime_error("analysis failed");
      case Misuse::NestedRun:
        record.nestedRunAttempted = true;
        record.nestedRunRefused = nestedRunRefused(p.nestedGrg);
        break;
      case Misuse::NestedDefaults: KVW_setDefaults(); break;
      case Misuse::NestedSetters:
        KVW_set_print(3);
        KVW_set_diffMeth(2);
        KVW_set_diffPert(0.0);
        KVW_set_convTol(-1.0);
        break;
      default: break;
    }
  }

  double values[kMaxFunctions];
  evaluate(p, x, record.variables, values);
  if ((p.misuse == Misuse::FailFrom && call >= p.misuseAt) || (p.misuse == Misuse::FailOnce && call == p.misuseAt)) {
    values[p.faultFunction] = p.faultValue;
  }
  Evaluation& done = record.history.emplace_back();
  for (int i = 0; i < record.variables; ++i) done.x[i] = x[i];
  for (int k = 0; k < p.functionCount(); ++k) done.values[k] = values[k];
  *objective = values[0];
  for (int k = 0; k < p.nEq; ++k) equalities[k] = values[1 + k];
  for (int k = 0; k < p.nIneq; ++k) inequalities[k] = values[1 + p.nEq + k];
}

// Every diagnostic line fits the printer's width: one blank and at most 80 characters.
void checkLine(void*, const char*, int length) { require(length >= 0 && length <= 81, "a diagnostic line too long"); }

void runOnce(const Problem& p, bool describing) {
  KVW_setDefaults();
  KVW_set_print(p.print);
  KVW_set_diffMeth(p.diffMeth);
  KVW_set_diffPert(p.diffPert);
  KVW_set_convTol(p.convTol);

  static RunRecord record;  // reused, so its history keeps its capacity from input to input
  record = RunRecord{.problem = &p, .history = std::move(record.history)};
  record.history.clear();
  record.variables = p.misuse == Misuse::NegativeCount ? -1 - p.misuseAt % 3 : p.n;

  double x[kMaxVariables], f[kMaxFunctions];
  for (int i = 0; i < kMaxVariables; ++i) x[i] = p.x[i];
  for (int k = 0; k < kMaxFunctions; ++k) f[k] = -12345.0;  // what the caller had before the run
  const int code = p.method == kMethodGrg
                       ? KVW_grg(p.maxIter, record.variables, x, p.lower, p.upper, p.nEq, p.nIneq, analysis,
                                 &record, f)
                       : KVW_sqp(p.maxIter, record.variables, x, p.lower, p.upper, p.nEq, p.nIneq, analysis,
                                 &record, f);

  if (describing) {
    std::fprintf(stderr, "  result %d after %d calls:", code, record.calls);
    for (int i = 0; i < p.n; ++i) std::fprintf(stderr, " x%d %.17g", i, x[i]);
    for (int k = 0; k < p.functionCount(); ++k) std::fprintf(stderr, " f%d %.17g", k, f[k]);
    std::fprintf(stderr, "\n");
    for (const Evaluation& e : record.history) {  // the point and values of every call, in order
      std::fprintf(stderr, "   call:");
      for (int i = 0; i < p.n; ++i) std::fprintf(stderr, " %.17g", e.x[i]);
      for (int k = 0; k < p.functionCount(); ++k) std::fprintf(stderr, " | %.17g", e.values[k]);
      std::fprintf(stderr, "\n");
    }
  }
  require(isResultOf(p.method, code), "the run ended with a code its method does not have");
  require(record.calls == KVW_get_nFunEval(), "the analysis count differs from the analysis calls");
  require(!record.nestedRunAttempted || record.nestedRunRefused, "a run started inside the analysis was not refused");
  if (code == KVW_INVALID_ARGUMENT || code == KVW_OUT_OF_MEMORY) {
    require(record.calls == 0, "refused arguments, yet the analysis was called");
    for (int i = 0; i < kMaxVariables; ++i) require(sameBits(x[i], p.x[i]), "refused arguments, yet x changed");
    for (int k = 0; k < kMaxFunctions; ++k) require(f[k] == -12345.0, "refused arguments, yet f changed");
    return;
  }
  require(record.calls > 0, "a run ended without evaluating the start point");
  require(!record.sawNonFiniteVariable, "the analysis received a non-finite variable");
  for (int i = 0; i < p.n; ++i) require(std::isfinite(x[i]), "the run returned a non-finite x");
  if (isConverged(p.method, code)) {
    for (int k = 0; k < p.functionCount(); ++k) require(std::isfinite(f[k]), "converged with a non-finite value");
  }
  // f holds the analysis at the returned x: the values of a call (not negated, not another point's) at a point that
  // differs from x at most by rounding: of mapping x onto [-1, 1] and back, and of the difference steps, which move
  // a scaled variable by +h and back by -h (so the rounding grows with h); where the box's midpoint is a denormal,
  // halving it rounds to a unit of the smallest denormal. (A box whose half-width is not a normal number is refused:
  // there the rounding would grow with every call.) Unless no call ever finished.
  if (record.history.empty()) {
    require(code == KVW_CALLBACK_EXCEPTION, "no analysis call finished, yet the run went on");
    return;
  }
  const auto sameAsReturned = [&](const Evaluation& e) {
    for (int i = 0; i < p.n; ++i) {
      const double scale = (std::fabs(p.lower[i]) + std::fabs(p.upper[i]) + std::fabs(x[i])) * (1 + p.diffPert);
      const double roundTrip =
          8 * DBL_EPSILON * scale + 16 * std::numeric_limits<double>::denorm_min() * (1 + std::fabs(p.diffPert));
      if (!(std::fabs(e.x[i] - x[i]) <= roundTrip)) return false;
    }
    for (int k = 0; k < p.functionCount(); ++k) {
      if (!sameBits(e.values[k], f[k])) return false;
    }
    return true;
  };
  require(std::any_of(record.history.rbegin(), record.history.rend(), sameAsReturned),
          "f is not the analysis at the returned x");
}

}  // namespace
}  // namespace korvex::fuzzing

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  KVW_set_diagCallback(korvex::fuzzing::checkLine, nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool describeEach = std::getenv("KORVEX_FUZZ_DESCRIBE") != nullptr;
  korvex::fuzzing::ByteReader in(data, size);
  const korvex::fuzzing::Problem problem = korvex::fuzzing::decode(in);
  if (describeEach) korvex::fuzzing::describe(problem);
  korvex::fuzzing::chooseVectorWidth(in, describeEach);
  korvex::fuzzing::runOnce(problem, describeEach);
  return 0;
}
