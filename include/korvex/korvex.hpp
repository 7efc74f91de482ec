/*
 * korvex.hpp: the C++ interface of korvex, header-only over the C API of korvex.h. Needs C++17 or later.
 *
 *   korvex::Solver solver;                          // owns one context: settings, counters, work storage, stream
 *   solver.options().method = korvex::Method::grg;
 *   std::vector<double> x0{0, 0}, lower{-5, -5}, upper{5, 5};
 *   korvex::Result r = solver.solve(
 *       [](korvex::ConstVector x, double& objective, korvex::Vector equalities, korvex::Vector inequalities) {
 *         objective = (x[0] - 1) * (x[0] - 1) + (x[1] - 2) * (x[1] - 2);
 *         inequalities[0] = x[0] + x[1] - 2;        // satisfied when <= 0
 *       },
 *       x0, lower, upper, 0, 1);                    // nEq = 0 equalities, nIneq = 1 inequality
 *   if (r.converged()) use(r.x, r.f);
 *
 * The analysis is any callable of the shape
 *
 *   void(korvex::ConstVector x, double& objective, korvex::Vector equalities, korvex::Vector inequalities)
 *
 * x holds the n variables in the caller's own units (x.size() == n). It writes the objective, every equality
 * (equalities.size() == nEq; value 0 at a solution) and every inequality (inequalities.size() == nIneq; value <= 0 at
 * a solution). The views are valid only during the call; keep copies, not the views.
 *
 * An exception thrown by the analysis (or by a diagnostics callable) ends the run: the solver calls neither again
 * and asks the run to stop, the run ends cleanly at the top of its next iteration, and solve() then rethrows the
 * exception to its caller. No exception ever crosses the C interface.
 *
 * Each Solver owns its own context, so different solvers may run at the same time in different threads; one solver
 * runs one solve at a time.
 */
#ifndef KORVEX_KORVEX_HPP
#define KORVEX_KORVEX_HPP

#if defined(_MSVC_LANG)
#if _MSVC_LANG < 201703L
#error "korvex.hpp needs C++17 or later"
#endif
#elif __cplusplus < 201703L
#error "korvex.hpp needs C++17 or later"
#endif

#include <climits>
#include <cstddef>
#include <exception>
#include <functional>
#include <iterator>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "korvex/korvex.h"

namespace korvex {

// A view of `size` contiguous doubles (std::span is C++20). Built from a pointer and a size, or from any contiguous
// container (std::vector, std::array, a C array). It never owns the doubles.
template <class T>
class View {
 public:
  constexpr View() noexcept = default;
  constexpr View(T* data, std::size_t size) noexcept : data_(data), size_(size) {}

  template <class Container,
            class = std::enable_if_t<!std::is_same_v<std::decay_t<Container>, View> &&
                                     std::is_convertible_v<decltype(std::data(std::declval<Container&>())), T*>>>
  constexpr View(Container&& container) noexcept  // NOLINT: implicit, like std::span
      : data_(std::data(container)), size_(std::size(container)) {}

  constexpr T* data() const noexcept { return data_; }
  constexpr std::size_t size() const noexcept { return size_; }
  constexpr bool empty() const noexcept { return size_ == 0; }
  constexpr T& operator[](std::size_t i) const noexcept { return data_[i]; }
  constexpr T* begin() const noexcept { return data_; }
  constexpr T* end() const noexcept { return data_ + size_; }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

using ConstVector = View<const double>;
using Vector = View<double>;

enum class Method { sqp = 0, grg = 1 };  // the values are the C API's method numbers (KVW_resultText)

enum class Differences { forward = 1, central = 2 };  // n or 2n analysis calls per gradient

struct Options {
  Method method = Method::sqp;
  int maxIterations = 100;
  double tolerance = 1e-3;        // convergence and constraint tolerance (KVW_set_convTol)
  Differences differences = Differences::forward;
  double differenceStep = 1e-4;   // in the scaled variables: each variable's range maps onto [-1, 1]
  int printLevel = 0;             // 0 nothing, 1 errors and headings, 2 progress, 3 vector and matrix dumps
  // Where the diagnostic lines of a solve go: to `diagnostics` when it is set (each line without its line end),
  // otherwise to the file `diagnosticsPath` when it is not empty (emptied by a solve's first line), otherwise
  // nowhere.
  std::string diagnosticsPath;
  std::function<void(std::string_view line)> diagnostics;
};

struct Result {
  Method method = Method::sqp;
  int code = 0;                    // the C API's result code (KVW_SQP_CONVERGED, KVW_GRG_STOPPED, ...)
  std::string text;                // its text
  std::vector<double> x;           // the final point, in the caller's units
  double f = std::numeric_limits<double>::quiet_NaN();  // the objective the run left (NaN: nothing evaluated)
  std::vector<double> equalities;  // the constraint values it left with the objective
  std::vector<double> inequalities;
  int iterations = 0;              // the iteration most recently begun
  int analysisCalls = 0;           // calls of the analysis during this solve

  bool converged() const noexcept {
    if (method == Method::sqp) return code == KVW_SQP_CONVERGED;
    return code == KVW_GRG_CONVERGED_DERIVATIVE || code == KVW_GRG_CONVERGED_OBJECTIVE;
  }
};

namespace detail {

// What a run's callbacks share with solve(): the context to stop, the diagnostics callable, the first exception.
struct RunState {
  KVW_Context* context;
  const std::function<void(std::string_view)>* diagnostics;
  std::exception_ptr error;

  // Keep the exception for solve() to rethrow and ask the run to end at the top of its next iteration.
  void fail() noexcept {
    error = std::current_exception();
    KVW_ctx_set_stop(context, 1);
  }

  static void line(void* user, const char* text, int length) noexcept {
    RunState& run = *static_cast<RunState*>(user);
    if (run.error) return;
    try {
      (*run.diagnostics)(std::string_view(text, static_cast<std::size_t>(length)));
    } catch (...) {
      run.fail();
    }
  }
};

template <class Analysis>
struct AnalysisRun : RunState {
  Analysis* analysis;
  std::size_t n, nEq, nIneq;

  static void analyse(void* user, const double* x, double* objective, double* equalities,
                      double* inequalities) noexcept {
    AnalysisRun& run = *static_cast<AnalysisRun*>(user);
    if (!run.error) {
      try {
        (*run.analysis)(ConstVector(x, run.n), *objective, Vector(equalities, run.nEq),
                        Vector(inequalities, run.nIneq));
        return;
      } catch (...) {
        run.fail();
      }
    }
    // The run is only winding down now: every point it still evaluates looks the same (all values 0).
    *objective = 0.0;
    for (std::size_t k = 0; k < run.nEq; ++k) equalities[k] = 0.0;
    for (std::size_t k = 0; k < run.nIneq; ++k) inequalities[k] = 0.0;
  }
};

// Sends a context's diagnostics where the options say for one solve, and nowhere again afterwards (the
// destination holds a pointer into the solve's stack frame).
class Destination {
 public:
  Destination(KVW_Context* context, const Options& options, RunState* run) : context_(context) {
    if (options.diagnostics) {
      KVW_ctx_set_diagCallback(context_, &RunState::line, run);
    } else if (!options.diagnosticsPath.empty()) {
      KVW_ctx_set_diagFile(context_, options.diagnosticsPath.c_str());
    }
  }
  ~Destination() { KVW_ctx_set_diagCallback(context_, nullptr, nullptr); }
  Destination(const Destination&) = delete;
  Destination& operator=(const Destination&) = delete;

 private:
  KVW_Context* context_;
};

}  // namespace detail

// One optimizer with its own context. Move-only; a moved-from solver's solve() returns KVW_INVALID_ARGUMENT.
class Solver {
 public:
  Solver() : Solver(Options{}) {}
  explicit Solver(Options options) : context_(KVW_ctx_create()), options_(std::move(options)) {
    if (context_ == nullptr) throw std::bad_alloc();
  }
  ~Solver() { KVW_ctx_free(context_); }

  Solver(Solver&& other) noexcept
      : context_(std::exchange(other.context_, nullptr)), options_(std::move(other.options_)) {}
  Solver& operator=(Solver&& other) noexcept {
    if (this != &other) {
      KVW_ctx_free(context_);
      context_ = std::exchange(other.context_, nullptr);
      options_ = std::move(other.options_);
    }
    return *this;
  }
  Solver(const Solver&) = delete;
  Solver& operator=(const Solver&) = delete;

  Options& options() noexcept { return options_; }
  const Options& options() const noexcept { return options_; }

  // The context, for C functions this class does not wrap. Settings made on it are replaced by the options at the
  // start of every solve.
  KVW_Context* context() const noexcept { return context_; }

  // Ends the solve in progress at the top of its next iteration (result KVW_SQP_STOPPED or KVW_GRG_STOPPED). Any
  // thread may call it, the analysis too. Every solve starts with the request cleared.
  void requestStop() noexcept { KVW_ctx_set_stop(context_, 1); }

  // Minimizes from x0 within [lower, upper] (each upper bound above its lower bound; at most 100 variables) subject
  // to nEq equalities and nIneq inequalities evaluated by `analysis` (its shape: top of this header). Every solve
  // starts from the default settings with the options applied and its counters at zero. Throws
  // std::invalid_argument for lengths that differ or negative counts, std::logic_error when called from within a
  // solve of the same solver, and whatever the analysis or the diagnostics callable threw; every other outcome is
  // the result's code.
  template <class Analysis>
  Result solve(Analysis&& analysis, ConstVector x0, ConstVector lower, ConstVector upper, int nEq, int nIneq) {
    using Callable = std::remove_reference_t<Analysis>;
    static_assert(std::is_invocable_v<Callable&, ConstVector, double&, Vector, Vector>,
                  "the analysis must be callable as void(ConstVector x, double& objective, Vector equalities, "
                  "Vector inequalities)");
    if (lower.size() != x0.size() || upper.size() != x0.size()) {
      throw std::invalid_argument("korvex::Solver::solve: x0, lower and upper differ in length");
    }
    if (nEq < 0 || nIneq < 0 || nEq > INT_MAX - 1 - nIneq || x0.size() > static_cast<std::size_t>(INT_MAX)) {
      throw std::invalid_argument("korvex::Solver::solve: negative or too large a count");
    }
    if (running_) throw std::logic_error("korvex::Solver::solve: this solver is already running a solve");
    const int n = static_cast<int>(x0.size());

    Result result;
    result.method = options_.method;
    result.x.assign(x0.begin(), x0.end());
    std::vector<double> functions(static_cast<std::size_t>(1 + nEq + nIneq),
                                  std::numeric_limits<double>::quiet_NaN());

    KVW_ctx_setDefaults(context_);
    KVW_ctx_set_print(context_, options_.printLevel);
    KVW_ctx_set_diffMeth(context_, static_cast<int>(options_.differences));
    KVW_ctx_set_diffPert(context_, options_.differenceStep);
    KVW_ctx_set_convTol(context_, options_.tolerance);

    detail::AnalysisRun<Callable> run{};
    run.context = context_;
    run.diagnostics = &options_.diagnostics;
    run.analysis = &analysis;
    run.n = x0.size();
    run.nEq = static_cast<std::size_t>(nEq);
    run.nIneq = static_cast<std::size_t>(nIneq);
    {
      const Running running(running_);
      const detail::Destination destination(context_, options_, static_cast<detail::RunState*>(&run));
      const auto method = options_.method == Method::grg ? &KVW_ctx_grg : &KVW_ctx_sqp;
      result.code = method(context_, options_.maxIterations, n, result.x.data(), lower.data(), upper.data(), nEq,
                           nIneq, &detail::AnalysisRun<Callable>::analyse, &run, functions.data());
    }
    if (run.error) std::rethrow_exception(run.error);

    result.text = KVW_ctx_resultText(context_, static_cast<int>(options_.method), result.code);
    result.f = functions[0];
    result.equalities.assign(functions.begin() + 1, functions.begin() + 1 + nEq);
    result.inequalities.assign(functions.begin() + 1 + nEq, functions.end());
    result.iterations = KVW_ctx_get_nIter(context_);
    result.analysisCalls = KVW_ctx_get_nFunEval(context_);
    return result;
  }

 private:
  struct Running {
    bool& flag;
    explicit Running(bool& f) noexcept : flag(f) { flag = true; }
    ~Running() { flag = false; }
  };

  KVW_Context* context_;
  Options options_;
  bool running_ = false;
};

}  // namespace korvex

#endif
