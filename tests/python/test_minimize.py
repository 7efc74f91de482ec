"""korvex.minimize in SciPy's forms: known optima, sign conventions, options, bad input, errors and interrupts."""
import concurrent.futures
import logging
import signal
import threading

import numpy as np
import pytest
from scipy.optimize import Bounds, LinearConstraint, NonlinearConstraint

import korvex

INF = np.inf


def hs71_objective(x):
    return x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2]


# name: (fun, x0, bounds, constraints, known minimiser, known optimum). Each problem states its constraints in a
# different one of SciPy's forms.
CLASSIC = {
    "hs21 Bounds, LinearConstraint": (
        lambda x: 0.01 * x[0] ** 2 + x[1] ** 2 - 100, [10, -1], Bounds([2, -50], [50, 50]),
        LinearConstraint([[10, -1]], 10, INF), [2, 0], -99.96),
    "hs28 eq dict with args": (
        lambda x: (x[0] + x[1]) ** 2 + (x[1] + x[2]) ** 2, [-4, 1, 1], [(-10, 10)] * 3,
        [{"type": "eq", "fun": lambda x, a: a @ x - 1, "args": (np.array([1.0, 2.0, 3.0]),)}], [0.5, -0.5, 0.5], 0),
    "hs43 vector ineq dict": (
        lambda x: x[0] ** 2 + x[1] ** 2 + 2 * x[2] ** 2 + x[3] ** 2 - 5 * x[0] - 5 * x[1] - 21 * x[2] + 7 * x[3],
        [0, 0, 0, 0], [(-5, 5)] * 4,
        {"type": "ineq", "fun": lambda x: -np.array([
            x[0] ** 2 + x[1] ** 2 + x[2] ** 2 + x[3] ** 2 + x[0] - x[1] + x[2] - x[3] - 8,
            x[0] ** 2 + 2 * x[1] ** 2 + x[2] ** 2 + 2 * x[3] ** 2 - x[0] - x[3] - 10,
            2 * x[0] ** 2 + x[1] ** 2 + x[2] ** 2 + 2 * x[0] - x[1] - x[3] - 5])},
        [0, 1, 2, -1], -44),
    "hs71 NonlinearConstraints, equality and lower side": (
        hs71_objective, [1, 5, 5, 1], [(1, 5)] * 4,
        [NonlinearConstraint(lambda x: x @ x, 40, 40), NonlinearConstraint(lambda x: np.prod(x), 25, INF)],
        [1, 4.742999644, 3.821149979, 1.379408293], 17.0140173),
    "hs22 two-sided NonlinearConstraint": (
        lambda x: (x[0] - 2) ** 2 + (x[1] - 1) ** 2, [2, 2], [(-5, 5)] * 2,
        NonlinearConstraint(lambda x: [x[0] + x[1], x[1] - x[0] ** 2], [-10, 0], [2, 10]), [1, 1], 1),
    "hs48 with x5 fixed at its optimum": (
        lambda x: (x[0] - 1) ** 2 + (x[1] - x[2]) ** 2 + (x[3] - x[4]) ** 2, [3, 5, -3, 2, 1],
        [(-10, 10)] * 4 + [(1, 1)],
        LinearConstraint([[1, 1, 1, 1, 1], [0, 0, 1, -2, -2]], [5, -3], [5, -3]), [1, 1, 1, 1, 1], 0),
}


def user_values(constraint, x):
    if isinstance(constraint, dict):
        return np.atleast_1d(constraint["fun"](x, *constraint.get("args", ())))
    if isinstance(constraint, LinearConstraint):
        return np.asarray(constraint.A) @ x
    return np.atleast_1d(constraint.fun(x))


@pytest.mark.parametrize("method", ["sqp", "grg"])
@pytest.mark.parametrize("name", CLASSIC)
def test_classic_problems_reach_their_known_optima(method, name):
    fun, x0, bounds, constraints, solution, optimum = CLASSIC[name]
    calls = []
    result = korvex.minimize(lambda x: calls.append(x.copy()) or fun(x), x0, bounds, constraints, method=method)
    assert result.success, result.message
    assert abs(result.fun - optimum) <= 1e-3 * max(1, abs(optimum))
    assert np.allclose(result.x, solution, atol=2e-2)
    assert result.maxcv <= 1e-3
    assert result.fun == pytest.approx(fun(result.x), rel=1e-12, abs=1e-12) and result.nit >= 1
    # Each analysis call is at most one call of fun: a point the run evaluates again is answered from memory.
    assert len({x.tobytes() for x in calls}) == len(calls) <= result.nfev
    # The constraint values returned are the user's own at x.
    if not isinstance(constraints, (list, tuple)):
        constraints = [constraints]
    assert len(result.constr) == len(constraints)
    for constraint, values in zip(constraints, result.constr):
        np.testing.assert_array_equal(values, user_values(constraint, result.x))
    if "fixed" in name:
        assert result.x[4] == 1 and all(x[4] == 1 for x in calls)


# Minimize (x - 3)^2 (or (x + 3)^2) on [-10, 10] with one constraint that holds the minimiser at 1 (or -1):
# every form must put the constraint on the right side.
SIGNS = [
    ("ineq dict, 1 - x >= 0", 3, {"type": "ineq", "fun": lambda x: 1 - x[0]}, 1, [0]),
    ("eq dict, x - 1 = 0", -3, {"type": "eq", "fun": lambda x: x[0] - 1}, 1, [0]),
    ("NonlinearConstraint x <= 1", 3, NonlinearConstraint(lambda x: x[0], -INF, 1), 1, [1]),
    ("NonlinearConstraint x >= -1", -3, NonlinearConstraint(lambda x: x[0], -1, INF), -1, [-1]),
    ("NonlinearConstraint -1 <= x <= 1 from above", 3, NonlinearConstraint(lambda x: x[0], -1, 1), 1, [1]),
    ("NonlinearConstraint -1 <= x <= 1 from below", -3, NonlinearConstraint(lambda x: x[0], -1, 1), -1, [-1]),
    ("LinearConstraint 2x <= 2", 3, LinearConstraint([[2]], -INF, 2), 1, [2]),
    ("LinearConstraint x = -1", 3, LinearConstraint([[1]], -1, -1), -1, [-1]),
]


@pytest.mark.parametrize("method", ["sqp", "grg"])
@pytest.mark.parametrize("label, centre, constraint, expected, values", SIGNS, ids=[s[0] for s in SIGNS])
def test_constraint_sign_conventions(method, label, centre, constraint, expected, values):
    result = korvex.minimize(lambda x: (x[0] - centre) ** 2, [0.0], [(-10, 10)], constraint, method=method,
                             tol=1e-6)
    assert result.success, result.message
    assert result.x[0] == pytest.approx(expected, abs=1e-4)
    np.testing.assert_allclose(result.constr[0], values, atol=1e-4)


def quadratic(x):
    return (x[0] - 1) ** 2 + (x[1] - 2) ** 2


def test_options_reach_the_run(tmp_path, caplog):
    def run(method="sqp", **options):
        return korvex.minimize(quadratic, [0, 0], [(-5, 5)] * 2, {"type": "ineq", "fun": lambda x: 2 - x[0] - x[1]},
                               method=method, options=options)

    forward, central = run(), run(diff_method="central")
    assert forward.success and central.success
    assert central.nfev > forward.nfev  # central differences take two calls per variable, forward one
    assert run(diff_step=1e-7).x.tolist() != forward.x.tolist()
    for method, limit_code in (("sqp", 2), ("grg", 6)):
        limited = run(method, maxiter=1)
        assert (limited.status, limited.success, limited.nit) == (limit_code, False, 1)
    quiet = run(diagnostics=str(tmp_path / "quiet.txt"))
    assert not (tmp_path / "quiet.txt").exists() and quiet.x.tolist() == forward.x.tolist()
    run(print_level=2, diagnostics=str(tmp_path / "diag.txt"))
    assert (tmp_path / "diag.txt").read_text().strip()
    with caplog.at_level(logging.INFO, logger="korvex"):
        run(print_level=2)
    lines = [r.getMessage() for r in caplog.records if r.name == "korvex"]
    assert lines == (tmp_path / "diag.txt").read_text().splitlines()


# Ctrl-C during a run stops it and raises KeyboardInterrupt, with the caller's SIGINT handler back in place.
@pytest.mark.parametrize("where", ["objective", "constraint", "Ctrl-C"])
@pytest.mark.parametrize("method", ["sqp", "grg"])
def test_an_exception_in_the_analysis_ends_the_run_and_is_raised_after_it(method, where):
    error = ZeroDivisionError("mesh did not converge")
    calls = []

    def failing(x):
        calls.append(1)
        if len(calls) == 4 and where == "Ctrl-C":
            signal.raise_signal(signal.SIGINT)
        elif len(calls) == 4:
            raise error
        return quadratic(x)
    fun, constraint = (quadratic, lambda x: failing(x) * 0 + 2 - x[0] - x[1]) if where == "constraint" else \
        (failing, lambda x: 2 - x[0] - x[1])
    handler = signal.getsignal(signal.SIGINT)
    with pytest.raises(KeyboardInterrupt if where == "Ctrl-C" else ZeroDivisionError) as raised:
        korvex.minimize(fun, [0, 0], [(-5, 5)] * 2, {"type": "ineq", "fun": constraint}, method=method)
    assert raised.value is error or where == "Ctrl-C"
    assert len(calls) == 4  # nothing of the caller's runs once the error is raised
    assert signal.getsignal(signal.SIGINT) is handler
    assert korvex.minimize(quadratic, [0, 0], [(-5, 5)] * 2, method=method).success  # the next run is unharmed


def test_runs_in_two_threads_at_once_match_serial_runs():
    # Each thread's objective waits on its second and third calls (the first ones inside the run: the first call
    # sizes the problem) until the other thread is inside its own run too.
    problems = [(quadratic, [0, 0], "sqp"), (lambda x: (x[0] + 1) ** 2 + x[0] * x[1] + x[1] ** 2, [3, -2], "grg")]
    serial = [korvex.minimize(f, x0, [(-5, 5)] * 2, method=m) for f, x0, m in problems]
    barrier = threading.Barrier(2, timeout=30)

    def run(k):
        f, x0, method = problems[k]
        calls = []

        def fun(x):
            calls.append(1)
            if len(calls) in (2, 3):
                barrier.wait()
            return f(x)
        return korvex.minimize(fun, x0, [(-5, 5)] * 2, method=method)

    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        results = list(pool.map(run, range(2)))
    for mine, alone in zip(results, serial):
        assert mine.x.tolist() == alone.x.tolist()
        assert (mine.fun, mine.nfev, mine.nit, mine.status) == (alone.fun, alone.nfev, alone.nit, alone.status)


BOX = [(-5, 5)] * 2
BAD_INPUT = [
    ({"bounds": None}, ValueError, "bounds are required"),
    ({"bounds": [(-5, 5), (0, None)]}, ValueError, "variable 1 has no finite upper bound"),
    ({"bounds": Bounds([-INF, 0], [5, 5])}, ValueError, "variable 0 has no finite lower bound"),
    ({"bounds": [(-5, 5)]}, ValueError, "bounds has 1 pairs for 2 variables"),
    ({"bounds": [(-5, 5), (3, 2)]}, ValueError, "variable 1 has its lower bound 3.0 above its upper bound 2.0"),
    ({"x0": [[0, 0]]}, ValueError, "x0 must be one-dimensional"),
    ({"fun": "quadratic"}, TypeError, "fun must be callable"),
    ({"fun": lambda x: x}, ValueError, "the objective function must return a scalar"),
    ({"constraints": {"type": "ineq", "fun": 2.0}}, TypeError, "constraint 0: 'fun' must be callable"),
    ({"constraints": [{"type": "eq", "fun": np.sum}, {"type": ">=", "fun": np.sum}]}, ValueError,
     "constraint 1: 'type' must be 'eq' or 'ineq'"),
    ({"constraints": [(np.sum, 0)]}, TypeError, "constraint 0: expected a dict"),
    ({"constraints": LinearConstraint([[1, 1, 1]], 0, 1)}, ValueError, "A has 3 columns for 2 variables"),
    ({"constraints": {"type": "ineq", "fun": lambda x: np.ones((2, 2))}}, ValueError, "one-dimensional"),
    ({"constraints": {"type": "ineq", "fun": lambda x: np.ones(1 + (x[0] != 0))}}, ValueError,
     "constraint 0 returned 2 values here and 1 at the start point"),
    ({"method": "slsqp"}, ValueError, "method must be 'sqp' or 'grg'"),
    ({"options": {"max_iter": 5}}, ValueError, r"unknown option\(s\) \['max_iter'\]"),
    ({"options": {"diff_method": "backward"}}, ValueError, "'forward' or 'central'"),
    ({"options": {"threads": 0}}, ValueError, r"option 'threads' must lie in \[1, 64\]"),
    ({"tol": -1}, ValueError, "tol must be a positive number"),
    ({"workers": "four"}, TypeError, "workers must be an int"),
]


@pytest.mark.parametrize("change, error, message", BAD_INPUT, ids=[m for _, _, m in BAD_INPUT])
def test_bad_input_gives_a_clear_error(change, error, message):
    arguments = {"fun": quadratic, "x0": [0, 0], "bounds": BOX, **change}
    with pytest.raises(error, match=message):
        korvex.minimize(**arguments)


def test_a_missing_library_error_says_where_it_looked(monkeypatch, tmp_path):
    from korvex import _library
    monkeypatch.setenv("KORVEX_LIBRARY", str(tmp_path / "nowhere.so"))
    with pytest.raises(korvex.LibraryNotFoundError, match="nowhere.so"):
        _library.find_library()
    monkeypatch.delenv("KORVEX_LIBRARY")
    places = [("next to the package", tmp_path / "a" / "libkorvex.so"), ("in the build tree", tmp_path / "b")]
    monkeypatch.setattr(_library, "candidate_paths", lambda: places)
    monkeypatch.setattr(_library.ctypes.util, "find_library", lambda name: None)
    with pytest.raises(korvex.LibraryNotFoundError) as raised:
        _library.find_library()
    for text in ["$KORVEX_LIBRARY: not set", str(places[0][1]), str(places[1][1]), "system library search path"]:
        assert text in str(raised.value)


@pytest.mark.parametrize("method, stopped", [("sqp", 8), ("grg", 12)])
def test_callback_and_disp_follow_the_iterations(method, stopped, capsys):
    seen, points = [], []

    problem = dict(fun=quadratic, x0=[0, 0], bounds=BOX, method=method,
                   constraints={"type": "ineq", "fun": lambda x: 2 - x[0] - x[1]})
    result = korvex.minimize(**problem, callback=lambda intermediate_result: seen.append(intermediate_result),
                             options={"disp": True})
    assert [r.nit for r in seen] == list(range(1, result.nit + 1))
    assert all(r.nfev <= result.nfev and r.fun == pytest.approx(quadratic(r.x)) for r in seen)
    assert seen[0].x.tolist() == [0, 0] and seen[0].maxcv == 0
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 2 + result.nit and lines[1 + result.nit].startswith(result.message)
    assert [int(line.split()[0]) for line in lines[1:-1]] == [r.nit for r in seen]

    def stop_at_two(x):
        points.append(x.copy())
        if len(points) == 2:
            raise StopIteration
    stopped_early = korvex.minimize(**problem, callback=stop_at_two)
    assert (stopped_early.status, stopped_early.success, len(points)) == (stopped, False, 2)
    with pytest.raises(RuntimeError, match="watcher"):
        korvex.minimize(**problem, callback=lambda intermediate_result: (_ for _ in ()).throw(RuntimeError("watcher")))
