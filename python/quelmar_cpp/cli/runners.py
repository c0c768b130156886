"""Where the states are solved: Python threads of this process, or a Dask cluster.

Both runners take {call index: call} and yield (call index, result) as the
calls finish, in any order; a failed call raises SolveError((index, error)).
"""
from __future__ import annotations

import contextlib
import importlib
import os
import threading
from concurrent.futures import ThreadPoolExecutor, as_completed
from typing import Iterator

import numpy as np

import quelmar_cpp

from .errors import SolveError, UsageError
from .settings import SOLVERS

# A task that raises is re-run this often on the cluster; a task on a worker
# that dies is rescheduled by Dask itself.
CLUSTER_RETRIES = 2

_registered: set[str] = set()
_register_lock = threading.Lock()


def solve_call(call: tuple):
    """Solves one state (in this process or on a cluster worker), registering the plug-in once."""
    plugin, solver, env, model, state, settings = call
    with _register_lock:
        if plugin not in _registered:
            importlib.import_module(plugin).register()
            _registered.add(plugin)
    func = getattr(quelmar_cpp, SOLVERS[solver])
    return func(np.asarray(state, dtype=np.uint8), env, model, **settings)


def _worker_solve_call(call: tuple):
    """solve_call on a cluster worker, whose searches share its machine's free CPUs: Dask sets
    OMP_NUM_THREADS=1 in the workers it spawns, which would otherwise fix one thread per search."""
    os.environ.setdefault("QUELMAR_THREADS", "auto")
    return solve_call(call)


def run_local(calls: dict[int, tuple], threads: int) -> Iterator[tuple[int, dict]]:
    """(index, result) from `threads` Python threads as the calls finish."""
    pool = ThreadPoolExecutor(threads)
    futures = {pool.submit(solve_call, call): i for i, call in calls.items()}
    # A running search cannot be interrupted: after a solver failure it is waited
    # for, as before; when the caller stops early (a signal) it is left to the exit.
    wait = False
    try:
        for future in as_completed(futures):
            try:
                result = future.result()
            except Exception as exc:
                wait = True
                raise SolveError((futures[future], exc)) from exc
            yield futures[future], result
        wait = True
    finally:
        pool.shutdown(wait=wait, cancel_futures=True)


@contextlib.contextmanager
def connect(address: str):
    """A Dask client of the scheduler at `address`; UsageError when it cannot be reached."""
    try:
        import distributed
    except ImportError:
        raise UsageError("--cluster needs the Dask 'distributed' package") from None
    try:
        client = distributed.Client(address, timeout=10)
    except (OSError, TimeoutError, ValueError) as exc:
        raise UsageError(f"cannot connect to the cluster at {address}: {exc}") from None
    with client:
        yield client


def _unreadable(paths: list[str]) -> list[str]:
    """The paths that are not readable files here (run on each worker)."""
    return [p for p in paths if not (os.path.isfile(p) and os.access(p, os.R_OK))]


def check_workers_read(client, paths: dict[str, str]) -> None:
    """UsageError naming the first of {what: absolute path} that a connected worker cannot read."""
    found = client.run(_unreadable, list(paths.values()))
    for worker, missing in sorted(found.items()):
        if missing:
            what = next(k for k, v in paths.items() if v == missing[0])
            raise UsageError(f"{what} {missing[0]} is not readable on worker {worker}")


def run_cluster(client, calls: dict[int, tuple]) -> Iterator[tuple[int, dict]]:
    """(index, result) from the cluster's workers as the calls finish."""
    import distributed

    indices = list(calls)
    futures = client.map(_worker_solve_call, [calls[i] for i in indices], pure=False, retries=CLUSTER_RETRIES)
    index = {f.key: i for f, i in zip(futures, indices)}
    try:
        for future in distributed.as_completed(futures):
            if future.status == "error":
                raise SolveError((index[future.key], future.exception()))
            yield index[future.key], future.result()
    finally:
        client.cancel(futures)
