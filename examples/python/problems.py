"""Classic constrained test problems with known optima, in scipy.optimize.minimize's forms.

The first fourteen are the demo program's set (examples/problems.h); the rest are further problems of the
Hock-Schittkowski collection (numbers as published). Where an original problem has no bound on a variable, a finite
one is added, wide enough not to be active at the solution. Constraints follow SciPy's signs: an "eq" function is 0
and an "ineq" function is >= 0 at a feasible point. A few problems list, besides the least known value, the value of
another local minimum that their published start point leads to.
"""
from dataclasses import dataclass, field
from math import cos, exp, log, pi, sin, sqrt

import numpy as np


@dataclass
class Problem:
    name: str
    source: str
    fun: object
    x0: list
    bounds: list
    optimum: float
    constraints: list = field(default_factory=list)
    solution: list = None
    local_minima: tuple = ()  # objective values of other local minima the published start leads to

    @property
    def n(self):
        return len(self.x0)


def problem(name, source, fun, x0, bounds, optimum, eq=None, ineq=None, solution=None, local_minima=()):
    constraints = []
    if eq is not None:
        constraints.append({"type": "eq", "fun": lambda x, g=eq: np.asarray(g(x), dtype=float)})
    if ineq is not None:
        constraints.append({"type": "ineq", "fun": lambda x, g=ineq: np.asarray(g(x), dtype=float)})
    if not isinstance(bounds[0], (tuple, list)):
        bounds = [tuple(bounds)] * len(x0)
    return Problem(name, source, fun, list(x0), list(bounds), optimum, constraints, solution, local_minima)


def rosenbrock(x):
    return 100 * (x[1] - x[0] ** 2) ** 2 + (1 - x[0]) ** 2


R3 = sqrt(3)

DEMO = [
    problem("rosenbrock", "Rosenbrock, x1 <= 0.5", rosenbrock, [-1.2, 1], [(-2, 0.5), (-1, 2)], 0.25,
            solution=[0.5, 0.25]),
    problem("hs21", "Hock-Schittkowski 21", lambda x: 0.01 * x[0] ** 2 + x[1] ** 2 - 100, [10, -1],
            [(2, 50), (-50, 50)], -99.96, ineq=lambda x: [10 * x[0] - x[1] - 10], solution=[2, 0]),
    problem("hs35", "Hock-Schittkowski 35",
            lambda x: 9 - 8 * x[0] - 6 * x[1] - 4 * x[2] + 2 * x[0] ** 2 + 2 * x[1] ** 2 + x[2] ** 2
            + 2 * x[0] * x[1] + 2 * x[0] * x[2], [0.5, 0.5, 0.5], (0, 5), 1 / 9,
            ineq=lambda x: [3 - x[0] - x[1] - 2 * x[2]], solution=[4 / 3, 7 / 9, 4 / 9]),
    problem("hs6", "Hock-Schittkowski 6", lambda x: (1 - x[0]) ** 2, [-1.2, 1], (-5, 5), 0,
            eq=lambda x: [10 * (x[1] - x[0] ** 2)], solution=[1, 1]),
    problem("hs7", "Hock-Schittkowski 7", lambda x: log(1 + x[0] ** 2) - x[1], [2, 2], (-5, 5), -R3,
            eq=lambda x: [(1 + x[0] ** 2) ** 2 + x[1] ** 2 - 4], solution=[0, R3]),
    problem("hs28", "Hock-Schittkowski 28", lambda x: (x[0] + x[1]) ** 2 + (x[1] + x[2]) ** 2, [-4, 1, 1],
            (-10, 10), 0, eq=lambda x: [x[0] + 2 * x[1] + 3 * x[2] - 1], solution=[0.5, -0.5, 0.5]),
    problem("hs48", "Hock-Schittkowski 48", lambda x: (x[0] - 1) ** 2 + (x[1] - x[2]) ** 2 + (x[3] - x[4]) ** 2,
            [3, 5, -3, 2, -2], (-10, 10), 0,
            eq=lambda x: [sum(x) - 5, x[2] - 2 * (x[3] + x[4]) + 3], solution=[1] * 5),
    problem("hs12", "Hock-Schittkowski 12", lambda x: 0.5 * x[0] ** 2 + x[1] ** 2 - x[0] * x[1] - 7 * x[0] - 7 * x[1],
            [0, 0], (-10, 10), -30, ineq=lambda x: [25 - 4 * x[0] ** 2 - x[1] ** 2], solution=[2, 3]),
    problem("hs22", "Hock-Schittkowski 22", lambda x: (x[0] - 2) ** 2 + (x[1] - 1) ** 2, [2, 2], (-5, 5), 1,
            ineq=lambda x: [2 - x[0] - x[1], x[1] - x[0] ** 2], solution=[1, 1]),
    problem("hs43", "Hock-Schittkowski 43 (Rosen-Suzuki)",
            lambda x: x[0] ** 2 + x[1] ** 2 + 2 * x[2] ** 2 + x[3] ** 2 - 5 * x[0] - 5 * x[1] - 21 * x[2]
            + 7 * x[3], [0, 0, 0, 0], (-5, 5), -44,
            ineq=lambda x: [8 - x[0] ** 2 - x[1] ** 2 - x[2] ** 2 - x[3] ** 2 - x[0] + x[1] - x[2] + x[3],
                            10 - x[0] ** 2 - 2 * x[1] ** 2 - x[2] ** 2 - 2 * x[3] ** 2 + x[0] + x[3],
                            5 - 2 * x[0] ** 2 - x[1] ** 2 - x[2] ** 2 - 2 * x[0] + x[1] + x[3]],
            solution=[0, 1, 2, -1]),
    problem("hs65", "Hock-Schittkowski 65",
            lambda x: (x[0] - x[1]) ** 2 + (x[0] + x[1] - 10) ** 2 / 9 + (x[2] - 5) ** 2, [-4.5, 4.5, 0],
            [(-4.5, 4.5), (-4.5, 4.5), (-5, 5)], 0.9535288567, ineq=lambda x: [48 - x[0] ** 2 - x[1] ** 2 - x[2] ** 2],
            solution=[3.650461821, 3.65046168, 4.6204170507]),
    problem("hs63", "Hock-Schittkowski 63",
            lambda x: 1000 - x[0] ** 2 - 2 * x[1] ** 2 - x[2] ** 2 - x[0] * x[1] - x[0] * x[2], [2, 2, 2], (0, 10),
            961.7151721, eq=lambda x: [8 * x[0] + 14 * x[1] + 7 * x[2] - 56, x[0] ** 2 + x[1] ** 2 + x[2] ** 2 - 25],
            solution=[3.512118414, 0.2169881741, 3.552174034]),
    problem("hs32", "Hock-Schittkowski 32", lambda x: (x[0] + 3 * x[1] + x[2]) ** 2 + 4 * (x[0] - x[1]) ** 2,
            [0.1, 0.7, 0.2], (0, 2), 1, eq=lambda x: [1 - x[0] - x[1] - x[2]],
            ineq=lambda x: [6 * x[1] + 4 * x[2] - x[0] ** 3 - 3], solution=[0, 0, 1]),
    problem("hs71", "Hock-Schittkowski 71", lambda x: x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2], [1, 5, 5, 1], (1, 5),
            17.0140173, eq=lambda x: [x[0] ** 2 + x[1] ** 2 + x[2] ** 2 + x[3] ** 2 - 40],
            ineq=lambda x: [x[0] * x[1] * x[2] * x[3] - 25], solution=[1, 4.742999644, 3.821149979, 1.379408293]),
]


def wood(x):
    return (100 * (x[1] - x[0] ** 2) ** 2 + (1 - x[0]) ** 2 + 90 * (x[3] - x[2] ** 2) ** 2 + (1 - x[2]) ** 2
            + 10.1 * ((x[1] - 1) ** 2 + (x[3] - 1) ** 2) + 19.8 * (x[1] - 1) * (x[3] - 1))


def hs46_objective(x):
    return (x[0] - x[1]) ** 2 + (x[2] - 1) ** 2 + (x[3] - 1) ** 4 + (x[4] - 1) ** 6


def hs78_constraints(x):
    return [x @ x - 10, x[1] * x[2] - 5 * x[3] * x[4], x[0] ** 3 + x[1] ** 3 + 1]


MORE = [
    problem("hs1", "Hock-Schittkowski 1", rosenbrock, [-2, 1], [(-10, 10), (-1.5, 10)], 0, solution=[1, 1]),
    problem("hs2", "Hock-Schittkowski 2", rosenbrock, [-2, 1], [(-10, 10), (1.5, 10)], 0.0504261879,
            solution=[1.224370749, 1.5], local_minima=(4.941229327,)),  # at (-1.2210, 1.5)
    problem("hs3", "Hock-Schittkowski 3", lambda x: x[1] + 1e-5 * (x[1] - x[0]) ** 2, [10, 1],
            [(-10, 10), (0, 10)], 0, solution=[0, 0]),
    problem("hs4", "Hock-Schittkowski 4", lambda x: (x[0] + 1) ** 3 / 3 + x[1], [1.125, 0.125], [(1, 10), (0, 10)],
            8 / 3, solution=[1, 0]),
    problem("hs5", "Hock-Schittkowski 5",
            lambda x: sin(x[0] + x[1]) + (x[0] - x[1]) ** 2 - 1.5 * x[0] + 2.5 * x[1] + 1, [0, 0],
            [(-1.5, 4), (-3, 3)], -R3 / 2 - pi / 3, solution=[0.5 - pi / 3, -0.5 - pi / 3]),
    problem("hs9", "Hock-Schittkowski 9", lambda x: sin(pi * x[0] / 12) * cos(pi * x[1] / 16), [0, 0], (-10, 10),
            -0.5, eq=lambda x: [4 * x[0] - 3 * x[1]], solution=[-3, -4]),
    problem("hs10", "Hock-Schittkowski 10", lambda x: x[0] - x[1], [-10, 10], (-10, 10), -1,
            ineq=lambda x: [-3 * x[0] ** 2 + 2 * x[0] * x[1] - x[1] ** 2 + 1], solution=[0, 1]),
    problem("hs11", "Hock-Schittkowski 11", lambda x: (x[0] - 5) ** 2 + x[1] ** 2 - 25, [4.9, 0.1], (-10, 10),
            -8.498464223, ineq=lambda x: [x[1] - x[0] ** 2], solution=[1.234679705, 1.524425520]),
    problem("hs14", "Hock-Schittkowski 14", lambda x: (x[0] - 2) ** 2 + (x[1] - 1) ** 2, [2, 2], (-10, 10),
            9 - 2.875 * sqrt(7), eq=lambda x: [x[0] - 2 * x[1] + 1], ineq=lambda x: [1 - x[0] ** 2 / 4 - x[1] ** 2],
            solution=[0.5 * (sqrt(7) - 1), 0.25 * (sqrt(7) + 1)]),
    problem("hs15", "Hock-Schittkowski 15", rosenbrock, [-2, 1], [(-10, 0.5), (-10, 10)], 306.5,
            ineq=lambda x: [x[0] * x[1] - 1, x[0] + x[1] ** 2], solution=[0.5, 2]),
    problem("hs16", "Hock-Schittkowski 16", rosenbrock, [-2, 1], [(-0.5, 0.5), (-10, 1)], 0.25,
            ineq=lambda x: [x[0] + x[1] ** 2, x[0] ** 2 + x[1]], solution=[0.5, 0.25],
            local_minima=(100 * (sqrt(0.5) - 0.25) ** 2 + 2.25,)),  # at (-0.5, 1/sqrt(2))
    problem("hs17", "Hock-Schittkowski 17", rosenbrock, [-2, 1], [(-0.5, 0.5), (-10, 1)], 1,
            ineq=lambda x: [x[1] ** 2 - x[0], x[0] ** 2 - x[1]], solution=[0, 0]),
    problem("hs18", "Hock-Schittkowski 18", lambda x: 0.01 * x[0] ** 2 + x[1] ** 2, [2, 2], [(2, 50), (0, 50)], 5,
            ineq=lambda x: [x[0] * x[1] - 25, x[0] ** 2 + x[1] ** 2 - 25], solution=[sqrt(250), sqrt(2.5)]),
    problem("hs19", "Hock-Schittkowski 19", lambda x: (x[0] - 10) ** 3 + (x[1] - 20) ** 3, [20.1, 5.84],
            [(13, 100), (0, 100)], -6961.81381,
            ineq=lambda x: [(x[0] - 5) ** 2 + (x[1] - 5) ** 2 - 100, 82.81 - (x[1] - 5) ** 2 - (x[0] - 6) ** 2],
            solution=[14.095, 0.84296079]),
    problem("hs20", "Hock-Schittkowski 20", rosenbrock, [-2, 1], [(-0.5, 0.5), (-10, 10)], 81.5 - 25 * R3,
            ineq=lambda x: [x[0] + x[1] ** 2, x[0] ** 2 + x[1], x[0] ** 2 + x[1] ** 2 - 1], solution=[0.5, R3 / 2],
            local_minima=(83.5 - 25 * R3,)),  # at (-0.5, sqrt(3)/2)
    problem("hs23", "Hock-Schittkowski 23", lambda x: x[0] ** 2 + x[1] ** 2, [3, 1], (-50, 50), 2,
            ineq=lambda x: [x[0] + x[1] - 1, x[0] ** 2 + x[1] ** 2 - 1, 9 * x[0] ** 2 + x[1] ** 2 - 9,
                            x[0] ** 2 - x[1], x[1] ** 2 - x[0]], solution=[1, 1]),
    problem("hs24", "Hock-Schittkowski 24", lambda x: ((x[0] - 3) ** 2 - 9) * x[1] ** 3 / (27 * R3), [1, 0.5],
            (0, 10), -1, ineq=lambda x: [x[0] / R3 - x[1], x[0] + R3 * x[1], 6 - x[0] - R3 * x[1]],
            solution=[3, R3]),
    problem("hs26", "Hock-Schittkowski 26", lambda x: (x[0] - x[1]) ** 2 + (x[1] - x[2]) ** 4, [-2.6, 2, 2],
            (-10, 10), 0, eq=lambda x: [(1 + x[1] ** 2) * x[0] + x[2] ** 4 - 3], solution=[1, 1, 1]),
    problem("hs27", "Hock-Schittkowski 27", lambda x: 0.01 * (x[0] - 1) ** 2 + (x[1] - x[0] ** 2) ** 2, [2, 2, 2],
            (-10, 10), 0.04, eq=lambda x: [x[0] + x[2] ** 2 + 1], solution=[-1, 1, 0]),
    problem("hs29", "Hock-Schittkowski 29", lambda x: -x[0] * x[1] * x[2], [1, 1, 1], (-10, 10), -16 * sqrt(2),
            ineq=lambda x: [48 - x[0] ** 2 - 2 * x[1] ** 2 - 4 * x[2] ** 2], solution=[4, 2 * sqrt(2), 2]),
    problem("hs30", "Hock-Schittkowski 30", lambda x: x[0] ** 2 + x[1] ** 2 + x[2] ** 2, [1, 1, 1],
            [(1, 10), (-10, 10), (-10, 10)], 1, ineq=lambda x: [x[0] ** 2 + x[1] ** 2 - 1], solution=[1, 0, 0]),
    problem("hs31", "Hock-Schittkowski 31", lambda x: 9 * x[0] ** 2 + x[1] ** 2 + 9 * x[2] ** 2, [1, 1, 1],
            [(-10, 10), (1, 10), (-10, 1)], 6, ineq=lambda x: [x[0] * x[1] - 1], solution=[1 / R3, R3, 0]),
    problem("hs33", "Hock-Schittkowski 33", lambda x: (x[0] - 1) * (x[0] - 2) * (x[0] - 3) + x[2], [0, 0, 3],
            [(0, 10), (0, 10), (0, 5)], sqrt(2) - 6,
            ineq=lambda x: [x[2] ** 2 - x[0] ** 2 - x[1] ** 2, x[0] ** 2 + x[1] ** 2 + x[2] ** 2 - 4],
            solution=[0, sqrt(2), sqrt(2)], local_minima=(-4,)),  # at (0, 0, 2)
    problem("hs34", "Hock-Schittkowski 34", lambda x: -x[0], [0, 1.05, 2.9], [(0, 100), (0, 100), (0, 10)],
            -log(log(10)), ineq=lambda x: [x[1] - exp(x[0]), x[2] - exp(x[1])],
            solution=[log(log(10)), log(10), 10]),
    problem("hs36", "Hock-Schittkowski 36", lambda x: -x[0] * x[1] * x[2], [10, 10, 10], [(0, 20), (0, 11), (0, 42)],
            -3300, ineq=lambda x: [72 - x[0] - 2 * x[1] - 2 * x[2]], solution=[20, 11, 15]),
    problem("hs37", "Hock-Schittkowski 37", lambda x: -x[0] * x[1] * x[2], [10, 10, 10], (0, 42), -3456,
            ineq=lambda x: [72 - x[0] - 2 * x[1] - 2 * x[2], x[0] + 2 * x[1] + 2 * x[2]], solution=[24, 12, 12]),
    problem("hs38", "Hock-Schittkowski 38 (Wood)", wood, [-3, -1, -3, -1], (-10, 10), 0, solution=[1, 1, 1, 1]),
    problem("hs39", "Hock-Schittkowski 39", lambda x: -x[0], [2, 2, 2, 2], (-10, 10), -1,
            eq=lambda x: [x[1] - x[0] ** 3 - x[2] ** 2, x[0] ** 2 - x[1] - x[3] ** 2], solution=[1, 1, 0, 0]),
    problem("hs40", "Hock-Schittkowski 40", lambda x: -x[0] * x[1] * x[2] * x[3], [0.8] * 4, (-10, 10), -0.25,
            eq=lambda x: [x[0] ** 3 + x[1] ** 2 - 1, x[0] ** 2 * x[3] - x[2], x[3] ** 2 - x[1]],
            solution=[2 ** (-1 / 3), 2 ** (-1 / 2), 2 ** (-11 / 12), 2 ** (-1 / 4)]),
    problem("hs41", "Hock-Schittkowski 41", lambda x: 2 - x[0] * x[1] * x[2], [2, 2, 2, 2],
            [(0, 1), (0, 1), (0, 1), (0, 2)], 52 / 27, eq=lambda x: [x[0] + 2 * x[1] + 2 * x[2] - x[3]],
            solution=[2 / 3, 1 / 3, 1 / 3, 2]),
    problem("hs42", "Hock-Schittkowski 42",
            lambda x: (x[0] - 1) ** 2 + (x[1] - 2) ** 2 + (x[2] - 3) ** 2 + (x[3] - 4) ** 2, [1, 1, 1, 1],
            (-10, 10), 28 - 10 * sqrt(2), eq=lambda x: [x[0] - 2, x[2] ** 2 + x[3] ** 2 - 2],
            solution=[2, 2, 0.6 * sqrt(2), 0.8 * sqrt(2)]),
    problem("hs44", "Hock-Schittkowski 44",
            lambda x: x[0] - x[1] - x[2] - x[0] * x[2] + x[0] * x[3] + x[1] * x[2] - x[1] * x[3], [0, 0, 0, 0],
            (0, 10), -15,
            ineq=lambda x: [8 - x[0] - 2 * x[1], 12 - 4 * x[0] - x[1], 12 - 3 * x[0] - 4 * x[1], 8 - 2 * x[2] - x[3],
                            8 - x[2] - 2 * x[3], 5 - x[2] - x[3]], solution=[0, 3, 0, 4]),
    problem("hs45", "Hock-Schittkowski 45", lambda x: 2 - x[0] * x[1] * x[2] * x[3] * x[4] / 120, [2] * 5,
            [(0, 1), (0, 2), (0, 3), (0, 4), (0, 5)], 1, solution=[1, 2, 3, 4, 5]),
    problem("hs46", "Hock-Schittkowski 46", hs46_objective, [sqrt(2) / 2, 1.75, 0.5, 2, 2], (-10, 10), 0,
            eq=lambda x: [x[0] ** 2 * x[3] + sin(x[3] - x[4]) - 1, x[1] + x[2] ** 4 * x[3] ** 2 - 2],
            solution=[1] * 5),
    problem("hs49", "Hock-Schittkowski 49", hs46_objective, [10, 7, 2, -3, 0.8], (-10, 10), 0,
            eq=lambda x: [x[0] + x[1] + x[2] + 4 * x[3] - 7, x[2] + 5 * x[4] - 6], solution=[1] * 5),
    problem("hs50", "Hock-Schittkowski 50",
            lambda x: (x[0] - x[1]) ** 2 + (x[1] - x[2]) ** 2 + (x[2] - x[3]) ** 4 + (x[3] - x[4]) ** 2,
            [35, -31, 11, 5, -5], (-50, 50), 0,
            eq=lambda x: [x[0] + 2 * x[1] + 3 * x[2] - 6, x[1] + 2 * x[2] + 3 * x[3] - 6,
                          x[2] + 2 * x[3] + 3 * x[4] - 6], solution=[1] * 5),
    problem("hs51", "Hock-Schittkowski 51",
            lambda x: (x[0] - x[1]) ** 2 + (x[1] + x[2] - 2) ** 2 + (x[3] - 1) ** 2 + (x[4] - 1) ** 2,
            [2.5, 0.5, 2, -1, 0.5], (-10, 10), 0,
            eq=lambda x: [x[0] + 3 * x[1] - 4, x[2] + x[3] - 2 * x[4], x[1] - x[4]], solution=[1] * 5),
    problem("hs52", "Hock-Schittkowski 52",
            lambda x: (4 * x[0] - x[1]) ** 2 + (x[1] + x[2] - 2) ** 2 + (x[3] - 1) ** 2 + (x[4] - 1) ** 2,
            [2] * 5, (-10, 10), 1859 / 349, eq=lambda x: [x[0] + 3 * x[1], x[2] + x[3] - 2 * x[4], x[1] - x[4]],
            solution=[-33 / 349, 11 / 349, 180 / 349, -158 / 349, 11 / 349]),
    problem("hs53", "Hock-Schittkowski 53",
            lambda x: (x[0] - x[1]) ** 2 + (x[1] + x[2] - 2) ** 2 + (x[3] - 1) ** 2 + (x[4] - 1) ** 2,
            [2] * 5, (-10, 10), 176 / 43, eq=lambda x: [x[0] + 3 * x[1], x[2] + x[3] - 2 * x[4], x[1] - x[4]],
            solution=[-33 / 43, 11 / 43, 27 / 43, -5 / 43, 11 / 43]),
    problem("hs60", "Hock-Schittkowski 60", lambda x: (x[0] - 1) ** 2 + (x[0] - x[1]) ** 2 + (x[1] - x[2]) ** 4,
            [2, 2, 2], (-10, 10), 0.03256820025,
            eq=lambda x: [x[0] * (1 + x[1] ** 2) + x[2] ** 4 - 4 - 3 * sqrt(2)],
            solution=[1.104859024, 1.196674194, 1.535262257]),
    problem("hs61", "Hock-Schittkowski 61",
            lambda x: 4 * x[0] ** 2 + 2 * x[1] ** 2 + 2 * x[2] ** 2 - 33 * x[0] + 16 * x[1] - 24 * x[2], [0, 0, 0],
            (-10, 10), -143.6461422, eq=lambda x: [3 * x[0] - 2 * x[1] ** 2 - 7, 4 * x[0] - x[2] ** 2 - 11],
            solution=[5.326770157, -2.118998639, 3.210464239]),
    problem("hs64", "Hock-Schittkowski 64",
            lambda x: 5 * x[0] + 50000 / x[0] + 20 * x[1] + 72000 / x[1] + 10 * x[2] + 144000 / x[2], [1, 1, 1],
            (1e-5, 1000), 6299.842428, ineq=lambda x: [1 - 4 / x[0] - 32 / x[1] - 120 / x[2]],
            solution=[108.7347175, 85.12613942, 204.3247078]),
    problem("hs66", "Hock-Schittkowski 66", lambda x: 0.2 * x[2] - 0.8 * x[0], [0, 1.05, 2.9],
            [(0, 100), (0, 100), (0, 10)], 0.5181632741, ineq=lambda x: [x[1] - exp(x[0]), x[2] - exp(x[1])],
            solution=[0.1841264879, 1.202167873, 3.327322322]),
    problem("hs76", "Hock-Schittkowski 76",
            lambda x: x[0] ** 2 + 0.5 * x[1] ** 2 + x[2] ** 2 + 0.5 * x[3] ** 2 - x[0] * x[2] + x[2] * x[3] - x[0]
            - 3 * x[1] + x[2] - x[3], [0.5] * 4, (0, 10), -4.681818181,
            ineq=lambda x: [5 - x[0] - 2 * x[1] - x[2] - x[3], 4 - 3 * x[0] - x[1] - 2 * x[2] + x[3],
                            x[1] + 4 * x[2] - 1.5], solution=[3 / 11, 23 / 11, 0, 6 / 11]),
    problem("hs77", "Hock-Schittkowski 77",
            lambda x: (x[0] - 1) ** 2 + (x[0] - x[1]) ** 2 + (x[2] - 1) ** 2 + (x[3] - 1) ** 4 + (x[4] - 1) ** 6,
            [2] * 5, (-10, 10), 0.24150513,
            eq=lambda x: [x[0] ** 2 * x[3] + sin(x[3] - x[4]) - 2 * sqrt(2),
                          x[1] + x[2] ** 4 * x[3] ** 2 - 8 - sqrt(2)],
            solution=[1.166172, 1.182111, 1.380257, 1.506036, 0.6109203]),
    problem("hs78", "Hock-Schittkowski 78", lambda x: x[0] * x[1] * x[2] * x[3] * x[4], [-2, 1.5, 2, -1, -1],
            (-5, 5), -2.91970041, eq=lambda x: hs78_constraints(np.asarray(x)),
            solution=[-1.717142, 1.595708, 1.827248, -0.7636429, -0.7636435]),
    problem("hs79", "Hock-Schittkowski 79",
            lambda x: (x[0] - 1) ** 2 + (x[0] - x[1]) ** 2 + (x[1] - x[2]) ** 2 + (x[2] - x[3]) ** 4
            + (x[3] - x[4]) ** 4, [2] * 5, (-10, 10), 0.0787768209,
            eq=lambda x: [x[0] + x[1] ** 2 + x[2] ** 3 - 2 - 3 * sqrt(2), x[1] - x[2] ** 2 + x[3] + 2 - 2 * sqrt(2),
                          x[0] * x[4] - 2], solution=[1.191127, 1.362603, 1.472818, 1.635017, 1.679081]),
    problem("hs80", "Hock-Schittkowski 80", lambda x: exp(x[0] * x[1] * x[2] * x[3] * x[4]), [-2, 2, 2, -1, -1],
            [(-2.3, 2.3)] * 2 + [(-3.2, 3.2)] * 3, 0.0539498478, eq=lambda x: hs78_constraints(np.asarray(x)),
            solution=[-1.717143, 1.595709, 1.827247, -0.7636413, -0.7636450]),
    problem("hs100", "Hock-Schittkowski 100",
            lambda x: (x[0] - 10) ** 2 + 5 * (x[1] - 12) ** 2 + x[2] ** 4 + 3 * (x[3] - 11) ** 2 + 10 * x[4] ** 6
            + 7 * x[5] ** 2 + x[6] ** 4 - 4 * x[5] * x[6] - 10 * x[5] - 8 * x[6], [1, 2, 0, 4, 0, 1, 1], (-10, 10),
            680.6300573,
            ineq=lambda x: [127 - 2 * x[0] ** 2 - 3 * x[1] ** 4 - x[2] - 4 * x[3] ** 2 - 5 * x[4],
                            282 - 7 * x[0] - 3 * x[1] - 10 * x[2] ** 2 - x[3] + x[4],
                            196 - 23 * x[0] - x[1] ** 2 - 6 * x[5] ** 2 + 8 * x[6],
                            -4 * x[0] ** 2 - x[1] ** 2 + 3 * x[0] * x[1] - 2 * x[2] ** 2 - 5 * x[5] + 11 * x[6]],
            solution=[2.330499, 1.951372, -0.4775414, 4.365726, -0.6244870, 1.038131, 1.594227]),
]

PROBLEMS = DEMO + MORE


def largest_violation(p, x):
    """|h| of an equality, the shortfall of an inequality below 0 (SciPy's signs), the excess over a bound."""
    worst = max(max(lo - xi, xi - hi, 0.0) for xi, (lo, hi) in zip(x, p.bounds))
    for c in p.constraints:
        v = np.atleast_1d(c["fun"](np.asarray(x, dtype=float)))
        worst = max(worst, float(np.max(np.abs(v) if c["type"] == "eq" else -v, initial=0.0)))
    return worst
