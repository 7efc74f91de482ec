"""korvex's SQP and GRG beside scipy.optimize.minimize(method="SLSQP") on classic problems with known optima.

Runs every problem of problems.py with each solver, prints a table of success, analysis calls and time, a summary,
and saves a performance profile (the share of problems each solver solves within a factor tau of the fewest
analysis calls any solver needed) as a PNG.

    python3 examples/python/compare.py [--plot docs/images/performance_profile.png] [--problems hs71,hs63]

A run solves a problem when its objective lies within 1e-3 * max(1, |optimum|) of the known optimum (or of a known
local minimum the published start leads to) and no bound or constraint is violated by more than 1e-3. korvex runs at
its defaults (tolerance 1e-3, forward differences) with the difference step 1e-4 (its default) and 1e-6; SLSQP at
its defaults (its step is 1.5e-8 in the variables' own units).
"""
import argparse
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import scipy.optimize

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))
import korvex  # noqa: E402
from problems import PROBLEMS, largest_violation  # noqa: E402

TOLERANCE = 1e-3


def korvex_solver(method, step):
    def solve(p, fun):
        result = korvex.minimize(fun, p.x0, p.bounds, p.constraints, method=method, options={"diff_step": step})
        return result.x, result.nfev
    return solve


def slsqp(p, fun):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = scipy.optimize.minimize(fun, np.clip(p.x0, *np.transpose(p.bounds)), method="SLSQP",
                                         bounds=p.bounds, constraints=p.constraints)
    return result.x, None


SOLVERS = {
    "korvex SQP, step 1e-4": korvex_solver("sqp", 1e-4),
    "korvex SQP, step 1e-6": korvex_solver("sqp", 1e-6),
    "korvex GRG, step 1e-4": korvex_solver("grg", 1e-4),
    "korvex GRG, step 1e-6": korvex_solver("grg", 1e-6),
    "SciPy SLSQP": slsqp,
}


def run(p, solve):
    """(solved, analysis calls, seconds) of one solver on one problem."""
    calls = [0]

    def fun(x):
        calls[0] += 1
        return p.fun(x)

    start = time.perf_counter()
    try:
        x, analyses = solve(p, fun)
    except Exception as error:  # a solver that fails on a problem has not solved it
        print(f"  {p.name}: {type(error).__name__}: {error}", file=sys.stderr)
        return False, calls[0], time.perf_counter() - start
    seconds = time.perf_counter() - start
    value = p.fun(x)
    near = [abs(value - optimum) <= TOLERANCE * max(1.0, abs(optimum)) for optimum in (p.optimum,) + p.local_minima]
    solved = any(near) and largest_violation(p, x) <= TOLERANCE
    return solved, calls[0] if analyses is None else analyses, seconds


def performance_profile(results, names, path):
    """Dolan and More's profile over analysis calls: rho(tau) = share of problems a solver solves with at most tau
    times the calls of the best solver on that problem."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ratios = {name: [] for name in names}
    for row in results:
        best = min((calls for solved, calls, _ in row.values() if solved), default=None)
        for name in names:
            solved, calls, _ = row[name]
            ratios[name].append(calls / best if solved and best else np.inf)
    finite = [r for name in names for r in ratios[name] if np.isfinite(r)]
    top = max(2.0, max(finite, default=2.0)) * 1.2
    taus = np.logspace(0, np.log10(top), 400)
    figure, axes = plt.subplots(figsize=(8, 5), dpi=110)
    styles = ["-", "--", "-", "--", ":"]
    colours = ["tab:blue", "tab:blue", "tab:orange", "tab:orange", "tab:green"]
    for name, style, colour in zip(names, styles, colours):
        r = np.array(ratios[name])
        axes.step(taus, [(r <= t).mean() for t in taus], where="post", linestyle=style, color=colour, label=name)
    axes.set_xscale("log", base=2)
    axes.set_xlim(1, top)
    axes.set_ylim(0, 1.02)
    axes.set_xlabel("tau: analysis calls within a factor tau of the best solver's")
    axes.set_ylabel("share of problems solved")
    axes.set_title(f"Performance profile on {len(results)} constrained test problems")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(loc="lower right")
    figure.tight_layout()
    figure.savefig(path)
    print(f"\nperformance profile saved to {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--plot", default="performance_profile.png", help="PNG file for the performance profile")
    parser.add_argument("--problems", help="comma-separated problem names (default: all)")
    args = parser.parse_args()
    problems = PROBLEMS if not args.problems else [p for p in PROBLEMS if p.name in args.problems.split(",")]
    names = list(SOLVERS)

    short = ["SQP 1e-4", "SQP 1e-6", "GRG 1e-4", "GRG 1e-6", "SLSQP"]
    print("| problem | n | eq | ineq | " + " | ".join(short) + " |")
    print("|---|--:|--:|--:|" + "--:|" * len(short))
    results = []
    for p in problems:
        row = {name: run(p, SOLVERS[name]) for name in names}
        results.append(row)
        n_eq = sum(np.atleast_1d(c["fun"](np.asarray(p.x0, float))).size for c in p.constraints if c["type"] == "eq")
        n_ineq = sum(np.atleast_1d(c["fun"](np.asarray(p.x0, float))).size for c in p.constraints
                     if c["type"] == "ineq")
        cells = [f"{'' if solved else '✗ '}{calls}" for solved, calls, _ in row.values()]
        print(f"| {p.name} | {p.n} | {n_eq} | {n_ineq} | " + " | ".join(cells) + " |")
    print("\n(analysis calls per run; ✗ marks a run that did not reach the known optimum)\n")

    print("| solver | solved | median calls (solved) | total time |")
    print("|---|--:|--:|--:|")
    for name in names:
        solved = [calls for row in results for ok, calls, _ in [row[name]] if ok]
        seconds = sum(row[name][2] for row in results)
        print(f"| {name} | {len(solved)} of {len(results)} | {np.median(solved) if solved else float('nan'):.0f} | "
              f"{seconds:.2f} s |")
    either = sum(any(row[name][0] for name in names[:4]) for row in results)
    print(f"\nsolved by at least one korvex configuration: {either} of {len(results)}")
    performance_profile(results, names, args.plot)


if __name__ == "__main__":
    main()
