"""SciPy's problem forms turned into korvex's: finite bounds with fixed variables taken out, and every constraint
mapped onto rows of the function vector (objective, equalities h = 0, inequalities g <= 0)."""

import numpy as np
from scipy.optimize import Bounds, LinearConstraint, NonlinearConstraint


def _as_vector(values, what):
    array = np.asarray(values, dtype=float)
    if array.ndim > 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {array.shape}")
    return np.atleast_1d(array)


def start_point(x0):
    x = _as_vector(x0, "x0").copy()
    if x.size == 0:
        raise ValueError("x0 is empty: there is nothing to optimize")
    return x


def box(bounds, n):
    """(lower, upper) arrays of length n from a Bounds object or a sequence of (low, high) pairs. Every bound must
    be finite; lower == upper fixes the variable."""
    if bounds is None:
        raise ValueError("bounds are required: korvex scales every variable by its box, so each needs a finite "
                         "lower and upper bound")
    if isinstance(bounds, Bounds):
        lower = np.broadcast_to(np.asarray(bounds.lb, dtype=float), (n,)).copy()
        upper = np.broadcast_to(np.asarray(bounds.ub, dtype=float), (n,)).copy()
    else:
        pairs = list(bounds)
        if len(pairs) != n:
            raise ValueError(f"bounds has {len(pairs)} pairs for {n} variables")
        lower, upper = np.empty(n), np.empty(n)
        for i, pair in enumerate(pairs):
            try:
                low, high = pair
            except (TypeError, ValueError):
                raise ValueError(f"bounds[{i}] must be a (low, high) pair, got {pair!r}") from None
            lower[i] = -np.inf if low is None else float(low)
            upper[i] = np.inf if high is None else float(high)
    for i in range(n):
        for side, value in (("lower", lower[i]), ("upper", upper[i])):
            if not np.isfinite(value):
                raise ValueError(f"variable {i} has no finite {side} bound ({value}): korvex scales every variable "
                                 "by its box, so every bound must be finite")
        if lower[i] > upper[i]:
            raise ValueError(f"variable {i} has its lower bound {lower[i]} above its upper bound {upper[i]}")
    return lower, upper


class ConstraintRows:
    """One constraint function c(x) (a vector of m values) and the rows it gives korvex:
    equalities h = c[eq_index] - eq_target and inequalities g = ineq_sign * (c[ineq_index] - ineq_bound) <= 0."""

    def __init__(self, label, function, args, m, eq_index, eq_target, ineq_index, ineq_sign, ineq_bound):
        self.label, self.function, self.args, self.m = label, function, args, m
        self.eq_index, self.eq_target = np.asarray(eq_index, dtype=int), np.asarray(eq_target, dtype=float)
        self.ineq_index = np.asarray(ineq_index, dtype=int)
        self.ineq_sign, self.ineq_bound = np.asarray(ineq_sign, dtype=float), np.asarray(ineq_bound, dtype=float)

    def values(self, x):
        """c(x) as a checked vector of m values."""
        c = _constraint_values(self.function(x, *self.args), self.label)
        if c.size != self.m:
            raise ValueError(f"{self.label} returned {c.size} values here and {self.m} at the start point")
        return c

    def equalities(self, c):
        return c[self.eq_index] - self.eq_target

    def inequalities(self, c):
        return self.ineq_sign * (c[self.ineq_index] - self.ineq_bound)


def _constraint_values(values, label):
    c = np.asarray(values, dtype=float)
    if c.ndim > 1:
        raise ValueError(f"{label} must return a scalar or a one-dimensional array, got shape {c.shape}")
    return np.atleast_1d(c)


class _Linear:
    """x -> A @ x, picklable (a LinearConstraint's function)."""

    def __init__(self, matrix):
        self.matrix = matrix

    def __call__(self, x):
        return np.asarray(self.matrix @ x, dtype=float).ravel()


def _two_sided(label, function, args, m, lb, ub):
    """Rows of lb <= c(x) <= ub: an equality where lb == ub, an inequality for each other finite side."""
    lb = np.broadcast_to(np.asarray(lb, dtype=float), (m,))
    ub = np.broadcast_to(np.asarray(ub, dtype=float), (m,))
    eq_index, eq_target, ineq_index, ineq_sign, ineq_bound = [], [], [], [], []
    for i in range(m):
        if lb[i] > ub[i]:
            raise ValueError(f"{label}: component {i} has lb {lb[i]} above ub {ub[i]}")
        if lb[i] == ub[i]:
            eq_index.append(i)
            eq_target.append(lb[i])
            continue
        if np.isfinite(lb[i]):  # lb - c <= 0
            ineq_index.append(i)
            ineq_sign.append(-1.0)
            ineq_bound.append(lb[i])
        if np.isfinite(ub[i]):  # c - ub <= 0
            ineq_index.append(i)
            ineq_sign.append(1.0)
            ineq_bound.append(ub[i])
    return ConstraintRows(label, function, args, m, eq_index, eq_target, ineq_index, ineq_sign, ineq_bound)


def constraint_rows(constraints, x_start):
    """ConstraintRows for each constraint in SciPy's forms, sized by one evaluation at the start point. Returns the
    rows and each constraint's values there."""
    if isinstance(constraints, (dict, NonlinearConstraint, LinearConstraint)):
        constraints = [constraints]
    rows, start_values = [], []
    for k, constraint in enumerate(constraints):
        label = f"constraint {k}"
        if isinstance(constraint, dict):
            kind = constraint.get("type")
            if kind not in ("eq", "ineq"):
                raise ValueError(f"{label}: 'type' must be 'eq' or 'ineq', got {kind!r}")
            function, args = constraint.get("fun"), tuple(constraint.get("args", ()))
            if not callable(function):
                raise TypeError(f"{label}: 'fun' must be callable, got {function!r}")
        elif isinstance(constraint, NonlinearConstraint):
            function, args = constraint.fun, ()
            if not callable(function):
                raise TypeError(f"{label}: fun must be callable, got {function!r}")
        elif isinstance(constraint, LinearConstraint):
            matrix = constraint.A if hasattr(constraint.A, "shape") and constraint.A.ndim == 2 else \
                np.atleast_2d(np.asarray(constraint.A, dtype=float))
            if matrix.shape[1] != x_start.size:
                raise ValueError(f"{label}: A has {matrix.shape[1]} columns for {x_start.size} variables")
            function, args = _Linear(matrix), ()
        else:
            raise TypeError(f"{label}: expected a dict, NonlinearConstraint or LinearConstraint, got "
                            f"{type(constraint).__name__}")
        c = _constraint_values(function(x_start.copy(), *args), label)
        m = c.size
        if isinstance(constraint, dict):
            everything = np.arange(m)
            if constraint["type"] == "eq":  # SciPy: c(x) = 0
                block = ConstraintRows(label, function, args, m, everything, np.zeros(m), [], [], [])
            else:  # SciPy: c(x) >= 0, korvex: -c(x) <= 0
                block = ConstraintRows(label, function, args, m, [], [], everything, -np.ones(m), np.zeros(m))
        else:
            block = _two_sided(label, function, args, m, constraint.lb, constraint.ub)
        rows.append(block)
        start_values.append(c)
    return rows, start_values


def objective_value(value):
    v = np.asarray(value, dtype=float)
    if v.size != 1:
        raise ValueError(f"the objective function must return a scalar, got an array of shape {v.shape}")
    return float(v.reshape(()))


class Problem:
    """The problem korvex sees: the free variables (fixed ones, lower == upper, are taken out), their box, and the
    function vector of the objective, all equalities, then all inequalities."""

    def __init__(self, fun, x0, bounds, constraints):
        if not callable(fun):
            raise TypeError(f"fun must be callable, got {fun!r}")
        x = start_point(x0)
        lower, upper = box(bounds, x.size)
        self.fun = fun
        self.template = np.clip(x, lower, upper)  # a start outside the box starts at its nearest point
        self.free = np.flatnonzero(lower < upper)
        self.lower, self.upper = lower[self.free], upper[self.free]
        self.x0 = self.template[self.free].copy()
        start_objective = objective_value(fun(self.template.copy()))
        self.rows, start_constraints = constraint_rows(constraints, self.template)
        self.n_eq = sum(block.eq_index.size for block in self.rows)
        self.n_ineq = sum(block.ineq_index.size for block in self.rows)
        # The start point's analysis, which the run's first call at that point reuses.
        self.start = (self.function_vector(start_objective, start_constraints), start_constraints)

    @property
    def n(self):
        return self.free.size

    def full(self, x_free):
        """All variables, the fixed ones at their value."""
        x = self.template.copy()
        x[self.free] = x_free
        return x

    def function_vector(self, objective, constraint_values):
        """korvex's function vector from the objective and each constraint's values."""
        parts = [np.array([objective])]
        parts += [block.equalities(c) for block, c in zip(self.rows, constraint_values)]
        parts += [block.inequalities(c) for block, c in zip(self.rows, constraint_values)]
        return np.concatenate(parts)

    def largest_violation(self, f):
        h, g = f[1:1 + self.n_eq], f[1 + self.n_eq:]
        return float(max(np.max(np.abs(h), initial=0.0), np.max(g, initial=0.0)))


class Evaluation:
    """One analysis at a point of the free variables: calls fun and then every constraint function once, at the
    same x. A module-level class, so a process pool can pickle it with the problem."""

    def __init__(self, problem):
        self.problem = problem

    def __call__(self, x_free):
        problem = self.problem
        x = problem.full(x_free)
        objective = objective_value(problem.fun(x.copy()))
        constraints = [block.values(x.copy()) for block in problem.rows]
        return problem.function_vector(objective, constraints), constraints

    def constraints(self, x_free):
        """Only the constraint functions' values (the result's, where the method returns a point it did not
        evaluate itself but one a rounding away)."""
        x = self.problem.full(x_free)
        return [block.values(x.copy()) for block in self.problem.rows]
