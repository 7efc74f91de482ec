"""The same problem solved serially and with workers from a Dask cluster: the same result, bit for bit.

The analysis here stands in for an expensive simulation (it sleeps). With workers, korvex hands each group of
independent points (the finite differences of the objective and of every constraint) to the cluster at once; the
line search's trial points go one at a time, so with four variables two workers save about a third of the time.

    python3 examples/python/dask_workers.py [--scheduler tcp://host:8786]

Without --scheduler the example starts a LocalCluster of two worker processes on this machine. On a real cluster,
pass the scheduler's address instead: the code is the same, `Client("tcp://host:8786").get_executor().map` is the
map-like callable. The workers then need numpy and the korvex Python package installed (pip install ./python; the C
library is needed only where minimize runs), and the analysis function must be picklable: Dask pickles functions
of the main script by value, those of an importable module by reference (the module must be installed there too).
"""
import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np
from scipy.optimize import NonlinearConstraint

PACKAGE = str(Path(__file__).resolve().parents[2] / "python")
sys.path.insert(0, PACKAGE)
os.environ["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE, os.environ.get("PYTHONPATH")) if p)
import korvex  # noqa: E402


def simulation(x):
    """Hock-Schittkowski 71, taking 0.2 s like a small simulation."""
    time.sleep(0.2)
    return x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2]


def constraints(x):
    return np.array([x @ x, np.prod(x)])


PROBLEM = dict(x0=[1, 5, 5, 1], bounds=[(1, 5)] * 4, method="sqp",
               constraints=NonlinearConstraint(constraints, [40, 25], [40, np.inf]))


def solve(workers=None):
    start = time.perf_counter()
    result = korvex.minimize(simulation, workers=workers, **PROBLEM)
    return result, time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a LocalCluster)")
    args = parser.parse_args()
    from distributed import Client, LocalCluster

    serial, serial_time = solve()
    print(f"serial:  x = {serial.x}, f = {serial.fun:.10g}, {serial.nfev} analysis calls, {serial_time:.2f} s")
    if args.scheduler:
        client, cluster = Client(args.scheduler), None
    else:
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
    with client:
        parallel, parallel_time = solve(workers=client.get_executor().map)
    if cluster is not None:
        cluster.close()
    print(f"workers: x = {parallel.x}, f = {parallel.fun:.10g}, {parallel.nfev} analysis calls, "
          f"{parallel_time:.2f} s")
    identical = parallel.x.tobytes() == serial.x.tobytes() and parallel.fun == serial.fun
    print("identical to the serial run, bit for bit" if identical else "DIFFERENT from the serial run")
    return 0 if identical else 1


if __name__ == "__main__":
    sys.exit(main())
