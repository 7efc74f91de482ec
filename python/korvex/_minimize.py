"""korvex.minimize: one run of the SQP or GRG method on its own library context, in SciPy's conventions."""
import collections
import contextlib
import ctypes
import inspect
import logging
import multiprocessing
import os
import signal
import threading

import numpy as np
from scipy.optimize import OptimizeResult

from . import _library
from ._problem import Evaluation, Problem

_METHODS = {"sqp": 0, "grg": 1}  # the library's method numbers
_CONVERGED = {0: {1}, 1: {1, 3}}
_DIFFERENCES = {"forward": 1, "central": 2}
_DEFAULT_OPTIONS = {"maxiter": 100, "diff_method": "forward", "diff_step": None, "print_level": 0,
                    "diagnostics": None, "disp": False, "threads": 1}
_REMEMBERED_POINTS = 64


def _as_int(name, value, low, high):
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"option {name!r} must be an integer, got {value!r}")
    if not low <= value <= high:
        raise ValueError(f"option {name!r} must lie in [{low}, {high}], got {value}")
    return int(value)


def _settings(options):
    unknown = set(options or {}) - set(_DEFAULT_OPTIONS)
    if unknown:
        raise ValueError(f"unknown option(s) {sorted(unknown)}; korvex knows {sorted(_DEFAULT_OPTIONS)}")
    settings = dict(_DEFAULT_OPTIONS, **(options or {}))
    settings["maxiter"] = _as_int("maxiter", settings["maxiter"], 0, 2**31 - 1)
    settings["print_level"] = _as_int("print_level", settings["print_level"], 0, 3)
    settings["threads"] = _as_int("threads", settings["threads"], 1, 64)
    if settings["diff_method"] not in _DIFFERENCES:
        raise ValueError(f"option 'diff_method' must be 'forward' or 'central', got {settings['diff_method']!r}")
    step = settings["diff_step"]
    if step is not None and not (np.isfinite(step) and step > 0):
        raise ValueError(f"option 'diff_step' must be a positive number, got {step!r}")
    diagnostics = settings["diagnostics"]
    if not (diagnostics is None or isinstance(diagnostics, (str, os.PathLike, logging.Logger))):
        raise TypeError("option 'diagnostics' must be a file path or a logging.Logger, got "
                        f"{type(diagnostics).__name__}")
    if diagnostics is None and settings["print_level"] > 0:
        settings["diagnostics"] = logging.getLogger("korvex")
    return settings


def _pool_size(workers):
    """The size of the process pool `workers` asks for, or None for a map-like callable (or no workers)."""
    if workers is None or (callable(workers) and not isinstance(workers, (int, np.integer))):
        return None
    if isinstance(workers, (int, np.integer)) and not isinstance(workers, bool):
        if workers < 1:
            raise ValueError(f"workers must be at least 1, got {workers}")
        return int(workers)
    raise TypeError("workers must be an int (the size of a process pool) or a map-like callable "
                    f"workers(func, iterable), got {workers!r}")


def _leave_ctrl_c_to_the_parent():
    """A pool process ignores SIGINT: Ctrl-C stops the run in the parent, and the group in flight completes."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


@contextlib.contextmanager
def _mapper(workers):
    """The map-like callable for `workers`: None, a process pool of that many processes (closed afterwards), or
    the caller's own."""
    size = _pool_size(workers)
    if size is None:
        yield workers
    else:
        with multiprocessing.Pool(size, initializer=_leave_ctrl_c_to_the_parent) as pool:
            yield pool.map


def _wants_result(callback):
    """SciPy's rule: a callback whose only parameter is named intermediate_result gets an OptimizeResult,
    any other gets the current x."""
    try:
        return set(inspect.signature(callback).parameters) == {"intermediate_result"}
    except (TypeError, ValueError):
        return False


class _Run:
    """The state of one run: its context, the callbacks the library calls, the first error raised by the caller's
    code and the points evaluated most recently."""

    def __init__(self, lib, problem, method, settings, tol, callback, mapper):
        self.lib, self.problem, self.method = lib, problem, method
        self.settings, self.tol, self.callback, self.mapper = settings, tol, callback, mapper
        self.evaluate = Evaluation(problem)
        self.width = 1 + problem.n_eq + problem.n_ineq
        self.lock = threading.Lock()
        self.error = None
        self.interrupted = False
        self.stopping = False
        self.last = problem.start
        self.recent = collections.OrderedDict({problem.x0.tobytes(): problem.start})
        self.context = None

    # --- what the library calls ---------------------------------------------------------------------------------

    def _fail(self, error):
        """Remember the first error and ask the run to stop; later evaluations repeat the last good values."""
        with self.lock:
            if self.error is None:
                self.error = error
            self.stopping = True
        self.lib.KVW_ctx_set_stop(self.context, 1)

    def _known(self, key):
        with self.lock:
            return self.recent.get(key)

    def _remember(self, key, result):
        with self.lock:
            self.recent[key] = result
            self.recent.move_to_end(key)
            if len(self.recent) > _REMEMBERED_POINTS:
                self.recent.popitem(last=False)
            self.last = result

    def _value_at(self, x):
        key = x.tobytes()
        known = self._known(key)
        if known is not None:
            return known[0]
        if self.stopping:
            return self.last[0]
        try:
            result = self.evaluate(x)
        except BaseException as error:  # noqa: B902 - KeyboardInterrupt too ends the run cleanly
            self._fail(error)
            return self.last[0]
        self._remember(key, result)
        return result[0]

    def _analysis(self, _user, x, objective, equalities, inequalities):
        try:
            problem = self.problem
            f = self._value_at(np.ctypeslib.as_array(x, (problem.n,)).copy() if problem.n else np.empty(0))
            objective[0] = f[0]
            for i in range(problem.n_eq):
                equalities[i] = f[1 + i]
            for i in range(problem.n_ineq):
                inequalities[i] = f[1 + problem.n_eq + i]
        except BaseException as error:  # noqa: B902
            self._fail(error)

    def _batch(self, _user, count, n, _n_eq, _n_ineq, x, f):
        try:
            points = np.ctypeslib.as_array(x, (count, n)).copy() if n else np.empty((count, 0))
            values = np.ctypeslib.as_array(f, (count, self.width))
            keys = [point.tobytes() for point in points]
            todo = [k for k in range(count) if self._known(keys[k]) is None]
            if todo and not self.stopping:
                try:
                    results = list(self.mapper(self.evaluate, [points[k] for k in todo]))
                except BaseException as error:  # noqa: B902
                    self._fail(error)
                else:
                    for k, result in zip(todo, results):
                        self._remember(keys[k], result)
            for k in range(count):
                known = self._known(keys[k])
                values[k] = known[0] if known is not None else self.last[0]
        except BaseException as error:  # noqa: B902
            self._fail(error)

    def _iteration(self, _user, iteration, n, x, f, nfev):
        try:
            x_full = self.problem.full(np.ctypeslib.as_array(x, (n,)).copy() if n else np.empty(0))
            values = np.ctypeslib.as_array(f, (self.width,)).copy()
            maxcv = self.problem.largest_violation(values)
            if self.settings["disp"]:
                print(f"{iteration:6d} {values[0]:23.15e} {maxcv:12.4e} {nfev:9d}", flush=True)
            if self.callback is not None:
                if _wants_result(self.callback):
                    self.callback(OptimizeResult(x=x_full, fun=values[0], maxcv=maxcv, nit=iteration, nfev=nfev))
                else:
                    self.callback(x_full)
        except StopIteration:
            self.lib.KVW_ctx_set_stop(self.context, 1)
        except BaseException as error:  # noqa: B902
            self._fail(error)

    def _diagnostic(self, _user, line, length):
        try:
            self.settings["diagnostics"].info(ctypes.string_at(line, length).decode("latin-1"))
        except BaseException as error:  # noqa: B902
            self._fail(error)

    def _interrupt(self, _signum, _frame):
        self.interrupted = True
        self.stopping = True
        self.lib.KVW_ctx_set_stop(self.context, 1)

    # --- the run ------------------------------------------------------------------------------------------------

    def _configure(self):
        lib, ctx, settings = self.lib, self.context, self.settings
        lib.KVW_ctx_set_print(ctx, settings["print_level"])
        lib.KVW_ctx_set_diffMeth(ctx, _DIFFERENCES[settings["diff_method"]])
        if settings["diff_step"] is not None:
            lib.KVW_ctx_set_diffPert(ctx, float(settings["diff_step"]))
        if self.tol is not None:
            lib.KVW_ctx_set_convTol(ctx, self.tol)
        if settings["threads"] > 1 and lib.KVW_ctx_set_threads(ctx, settings["threads"]) != 0:
            raise MemoryError(f"korvex could not start {settings['threads']} evaluation threads")
        keep = []  # the C callbacks must outlive the run
        diagnostics = settings["diagnostics"]
        if isinstance(diagnostics, logging.Logger):
            keep.append(_library.DiagnosticLineCallback(self._diagnostic))
            lib.KVW_ctx_set_diagCallback(ctx, keep[-1], None)
        elif diagnostics is not None:
            lib.KVW_ctx_set_diagFile(ctx, os.fsencode(diagnostics))
        if self.mapper is not None:
            keep.append(_library.BatchAnalysisCallback(self._batch))
            lib.KVW_ctx_set_batchCallback(ctx, keep[-1], None)
        if (self.callback is not None or settings["disp"]) and hasattr(lib, "KVW_ctx_set_iterationCallback"):
            keep.append(_library.IterationCallback(self._iteration))
            lib.KVW_ctx_set_iterationCallback(ctx, keep[-1], None)
        return keep

    @contextlib.contextmanager
    def _sigint_stops_the_run(self):
        """Ctrl-C during the run asks it to stop (the handler is Python's, so only the main thread installs it)."""
        previous = signal.getsignal(signal.SIGINT) if threading.current_thread() is threading.main_thread() else None
        if previous is None or previous is signal.SIG_IGN:
            yield
            return
        signal.signal(signal.SIGINT, self._interrupt)
        try:
            yield
        finally:
            signal.signal(signal.SIGINT, previous)

    def execute(self):
        lib, problem = self.lib, self.problem
        x = np.ascontiguousarray(problem.x0, dtype=float)
        f = np.zeros(self.width)
        lower = np.ascontiguousarray(problem.lower, dtype=float)
        upper = np.ascontiguousarray(problem.upper, dtype=float)
        pointer = _library.c_double_p
        self.context = lib.KVW_ctx_create()
        if not self.context:
            raise MemoryError("korvex could not create a context")
        try:
            keep = self._configure()
            analysis = _library.AnalysisCallback(self._analysis)
            run = lib.KVW_ctx_grg if self.method == 1 else lib.KVW_ctx_sqp
            if self.settings["disp"] and hasattr(lib, "KVW_ctx_set_iterationCallback"):
                print(f"{'iter':>6} {'objective':>23} {'violation':>12} {'analyses':>9}", flush=True)
            with self._sigint_stops_the_run():
                code = run(self.context, self.settings["maxiter"], problem.n, x.ctypes.data_as(pointer),
                           lower.ctypes.data_as(pointer), upper.ctypes.data_as(pointer), problem.n_eq,
                           problem.n_ineq, analysis, None, f.ctypes.data_as(pointer))
            del keep, analysis
            nit = lib.KVW_ctx_get_nIter(self.context)
            nfev = lib.KVW_ctx_get_nFunEval(self.context)
            message = lib.KVW_ctx_resultText(self.context, self.method, code).decode("latin-1")
        finally:
            lib.KVW_ctx_free(self.context)
        if self.interrupted:
            raise KeyboardInterrupt
        if self.error is not None:
            raise self.error
        known = self._known(x.tobytes())
        constraint_values = known[1] if known is not None else self.evaluate.constraints(x)
        result = OptimizeResult(x=problem.full(x), fun=float(f[0]), success=code in _CONVERGED[self.method],
                                status=code, message=message, nit=nit, nfev=nfev, constr=constraint_values,
                                maxcv=problem.largest_violation(f))
        if self.settings["disp"]:
            print(f"{message} (result {code}): objective {result.fun:.15g}, largest violation {result.maxcv:.3e}, "
                  f"{nit} iterations, {nfev} analysis calls", flush=True)
        return result


def minimize(fun, x0, bounds, constraints=(), method="sqp", tol=None, options=None, callback=None, workers=None):
    """Minimize fun(x) within the box `bounds` subject to `constraints`, in the conventions of
    scipy.optimize.minimize.

    fun: callable fun(x) -> float, x a 1-D array of all variables.
    x0: the start point (a start outside the box starts at its nearest point).
    bounds: scipy.optimize.Bounds or a sequence of (low, high) pairs, every bound finite (korvex scales each
        variable by its box); low == high fixes a variable.
    constraints: dicts {"type": "eq" | "ineq", "fun": c, "args": (...)} with SciPy's signs (eq: c(x) = 0, ineq:
        c(x) >= 0), NonlinearConstraint and LinearConstraint (lb <= c(x) <= ub; lb == ub an equality); a single
        one or a sequence; vector-valued functions welcome. Jacobians given with them are not used: every
        derivative is a finite difference.
    method: "sqp" (sequential quadratic programming) or "grg" (generalized reduced gradient).
    tol: the convergence and constraint tolerance (library default 1e-3).
    options: maxiter (100), diff_method ("forward" or "central"), diff_step (the difference step in the variables
        scaled to [-1, 1] by their box; library default 1e-4), print_level (0..3), diagnostics (a file path or a
        logging.Logger; by default lines go to the logger "korvex" when print_level > 0), disp (one progress line
        per iteration to standard output, and a closing line; only the closing line with a library that does not
        report iterations), threads (1; more: the library evaluates each group of points by calling fun from
        that many threads of its own, worthwhile when fun releases the GIL, e.g. while an external program runs).
    callback: called at the top of every iteration (the first time at the start point, then after each iteration)
        as callback(intermediate_result) (an OptimizeResult with x, fun, maxcv, nit, nfev) when its only parameter
        is named intermediate_result, else as callback(x); raising StopIteration ends the run. Needs a library
        that reports iterations (KVW_ctx_set_iterationCallback).
    workers: an int (a process pool of that size) or a map-like callable workers(func, iterable) such as
        multiprocessing.Pool.map, concurrent.futures.Executor.map or a Dask client's get_executor().map. Each
        group of independent points (the differences of the objective and of every constraint) is evaluated
        through it; the result is bit-identical to workers=None. fun and the constraints must then be picklable.

    Every call runs on its own library context, so calls may run in several threads at once. An exception raised
    by fun, a constraint or the callback ends the run and is raised again after it; Ctrl-C stops a run of the main
    thread and raises KeyboardInterrupt.

    Returns an OptimizeResult: x, fun, success, status (the korvex result code), message (the library's text for
    it), nit, nfev (analysis calls), constr (each constraint's values at x, in the order given) and maxcv (the
    largest violation: |h| of an equality, the excess of an inequality).
    """
    if method not in _METHODS:
        raise ValueError(f"method must be 'sqp' or 'grg', got {method!r}")
    settings = _settings(options)
    if tol is not None and not (np.isfinite(tol) and tol > 0):
        raise ValueError(f"tol must be a positive number, got {tol!r}")
    if callback is not None and not callable(callback):
        raise TypeError(f"callback must be callable, got {callback!r}")
    _pool_size(workers)
    lib = _library.library()
    if workers is not None and not hasattr(lib, "KVW_ctx_set_batchCallback"):
        raise RuntimeError("this korvex library cannot evaluate groups of points (it has no "
                           "KVW_ctx_set_batchCallback): run with workers=None or use a newer library")
    if settings["threads"] > 1 and not hasattr(lib, "KVW_ctx_set_threads"):
        raise RuntimeError("this korvex library cannot evaluate on several threads (it has no KVW_ctx_set_threads)"
                           ": leave the option threads at 1 or use a newer library")
    if callback is not None and not hasattr(lib, "KVW_ctx_set_iterationCallback"):
        raise RuntimeError("this korvex library cannot report iterations (it has no KVW_ctx_set_iterationCallback)"
                           ": run without a callback or use a newer library")
    problem = Problem(fun, x0, bounds, constraints)
    with _mapper(workers) as mapper:
        return _Run(lib, problem, _METHODS[method], settings, None if tol is None else float(tol), callback,
                    mapper).execute()
