"""workers: groups of points evaluated by a process pool, an executor or a Dask cluster give exactly the serial run."""
import concurrent.futures
import functools
import os
import sys
import threading

import numpy as np
import pytest
from scipy.optimize import NonlinearConstraint

import korvex


def hs71_objective(x):
    return x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2]


def hs71_constraints(x):
    return np.array([x @ x, np.prod(x)])


def logged_objective(log, x):
    """The objective, noting the process and thread that evaluated it."""
    with open(log, "a") as file:
        file.write(f"{os.getpid()} {threading.get_ident()}\n")
    return hs71_objective(x)


def failing_objective(x):
    if x[1] < 4.9:
        raise ArithmeticError("the analysis diverged")
    return hs71_objective(x)


HS71 = dict(x0=[1, 5, 5, 1], bounds=[(1, 5)] * 4,
            constraints=NonlinearConstraint(hs71_constraints, [40, 25], [40, np.inf]))


@pytest.fixture(scope="module")
def dask_map():
    import cloudpickle
    import distributed
    cloudpickle.register_pickle_by_value(sys.modules[__name__])  # the workers cannot import this test module
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    with cluster, distributed.Client(cluster) as client:
        yield client.get_executor().map


# How each case evaluates groups: the extra arguments of minimize.
PARALLEL = {
    "process pool": lambda request: {"workers": 2},
    "thread executor": lambda request: {"workers": concurrent.futures.ThreadPoolExecutor(2).map},
    "Dask cluster": lambda request: {"workers": request.getfixturevalue("dask_map")},
    "library threads": lambda request: {"options": {"threads": 2}},
}


@pytest.mark.parametrize("how", PARALLEL)
@pytest.mark.parametrize("method, diff_method", [("sqp", "forward"), ("grg", "central")])
def test_groups_evaluated_in_parallel_give_the_serial_result_bit_for_bit(how, method, diff_method, request,
                                                                         tmp_path):
    parallel_arguments = PARALLEL[how](request)
    options = {"diff_method": diff_method}
    serial = korvex.minimize(hs71_objective, method=method, options=options, **HS71)
    parallel_arguments["options"] = dict(options, **parallel_arguments.get("options", {}))
    log = tmp_path / "evaluated_by"
    parallel = korvex.minimize(functools.partial(logged_objective, str(log)), method=method, **parallel_arguments,
                               **HS71)
    here = f"{os.getpid()} {threading.get_ident()}"
    assert set(log.read_text().splitlines()) - {here}  # some points were evaluated elsewhere
    assert serial.success
    assert parallel.x.tobytes() == serial.x.tobytes()
    assert (parallel.fun, parallel.status, parallel.nit, parallel.nfev, parallel.maxcv) == \
        (serial.fun, serial.status, serial.nit, serial.nfev, serial.maxcv)
    for mine, theirs in zip(parallel.constr, serial.constr):
        assert mine.tobytes() == theirs.tobytes()
    with pytest.raises(ArithmeticError, match="diverged"):
        korvex.minimize(failing_objective, method=method, **parallel_arguments, **HS71)
