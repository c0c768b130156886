"""Where the states are solved: Python threads of this process, or a Dask cluster."""
from __future__ import annotations

import contextlib
import importlib
import os
import sys
import threading
from concurrent.futures import ThreadPoolExecutor, as_completed

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
    plugin, solver, env, model, state, weight, batch_size, settings = call
    with _register_lock:
        if plugin not in _registered:
            importlib.import_module(plugin).register()
            _registered.add(plugin)
    func = getattr(quelmar_cpp, SOLVERS[solver])
    return func(np.asarray(state, dtype=np.uint8), env, model, weight, batch_size, **settings)


class _NoBar:
    def update(self, n=1): pass
    def close(self): pass


def progress(total: int, quiet: bool):
    """A tqdm bar on an interactive stderr, otherwise an object that shows nothing."""
    if quiet or not sys.stderr.isatty():
        return _NoBar()
    try:
        from tqdm import tqdm
    except ImportError:
        return _NoBar()
    return tqdm(total=total, unit="state", file=sys.stderr, dynamic_ncols=True)


def run_local(calls: list[tuple], threads: int, bar) -> list[dict]:
    """Results in input order from `threads` Python threads; SolveError names the failing call."""
    results = [None] * len(calls)
    with ThreadPoolExecutor(threads) as pool:
        futures = {pool.submit(solve_call, call): i for i, call in enumerate(calls)}
        try:
            for future in as_completed(futures):
                try:
                    results[futures[future]] = future.result()
                except Exception as exc:
                    raise SolveError((futures[future], exc)) from exc
                bar.update()
        finally:
            for future in futures:
                future.cancel()
    return results


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


def run_cluster(client, calls: list[tuple], bar) -> list[dict]:
    """Results in input order from the cluster's workers."""
    import distributed

    futures = client.map(solve_call, calls, pure=False, retries=CLUSTER_RETRIES)
    index = {f.key: i for i, f in enumerate(futures)}
    try:
        for future in distributed.as_completed(futures):
            if future.status == "error":
                raise SolveError((index[future.key], future.exception()))
            bar.update()
        return client.gather(futures)
    finally:
        client.cancel(futures)
