"""Damaged input and long runs: every fault is an exception, nothing piles up."""
import os
import random
import shutil
import subprocess
import sys
import textwrap
import threading
import zipfile

import numpy as np
import pytest
import torch

import quelmar_cpp
import quelmar_puzzles
from quelmar_cpp import _backend_impl, export

MODELS = os.path.join(os.environ.get("QUELMAR_BUILD_DIR", "build"), "models")
P8 = os.path.join(MODELS, "puzzle8_manhattan.pt2")


@pytest.fixture(scope="module", autouse=True)
def registered():
    quelmar_puzzles.register()


def solve(package=P8, state=None, weight=1.0, batch_size=8, **kw):
    state = quelmar_puzzles.scramble("puzzle8", 20, seed=4) if state is None else state
    return quelmar_cpp.run_weighted_astar(np.asarray(state, dtype=np.uint8), "puzzle8", package,
                                          weight, batch_size, "cpu", **kw)


def copy_package(folder, name, data=None):
    path = folder / name
    shutil.copy(P8 + ".json", str(path) + ".json")
    path.write_bytes(open(P8, "rb").read() if data is None else data)
    return path


def flipped(seed):
    data = bytearray(open(P8, "rb").read())
    rng = random.Random(seed)
    for _ in range(8):
        data[rng.randrange(len(data))] ^= 0xFF
    return bytes(data)


def escaping_zip():
    import io
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.writestr("model/../../escaped.so", b"\x7fELF")
    return buffer.getvalue()


# -- damaged packages --------------------------------------------------------------------------

@pytest.mark.parametrize("name, data", [
    *[(f"flipped{seed}", lambda seed=seed: flipped(seed)) for seed in range(12)],
    ("truncated", lambda: open(P8, "rb").read()[: os.path.getsize(P8) // 2]),
    ("empty", lambda: b""),
    ("not a zip", lambda: b"not a model package\n" * 100),
    ("escaping member", escaping_zip),
])
def test_damaged_package_raises_naming_the_file(tmp_path, name, data):
    path = copy_package(tmp_path, "damaged.pt2", data())
    with pytest.raises(RuntimeError) as error:
        solve(str(path))
    assert str(path) in str(error.value)
    if name == "escaping member":
        assert "outside the extraction folder" in str(error.value)
    assert solve()["solved"]  # the process and the cache are fine afterwards


# -- non-finite values -------------------------------------------------------------------------

class _NaNWhereBlankIsFirst(torch.nn.Module):
    # The Manhattan distance, NaN for every state whose blank is in cell 0:
    # a diverged network as a search meets it.
    def __init__(self):
        super().__init__()
        self.exact = export.manhattan_network(3)

    def forward(self, x):
        h = self.exact(x)
        return torch.where(x[:, :1] > 0, torch.full_like(h, float("nan")), h)


@pytest.fixture(scope="module")
def nan_package(tmp_path_factory):
    path = tmp_path_factory.mktemp("nan") / "nan.pt2"
    export.export_heuristic(_NaNWhereBlankIsFirst(), torch.zeros(4, 81), str(path), env="puzzle8")
    return path


def test_nan_heuristic_raises_with_count_and_first_index(nan_package):
    with pytest.raises(RuntimeError, match=r"^Heuristic network returned \d+ NaN values? in a "
                                           r"batch of \d+ \(first at index \d+\)"):
        solve(str(nan_package), batch_size=50)
    # Without NaN (blank never in cell 0 on the way) the values are the exact ones.
    start = [1, 2, 3, 4, 5, 6, 7, 0, 8]
    assert solve(str(nan_package), state=start)["moves"] == solve(state=start)["moves"]


@pytest.mark.parametrize("setting, value, message", [
    ("weight", float("nan"), "weight must be finite, got nan"),
    ("weight", float("inf"), "weight must be finite, got inf"),
    ("weight", float("-inf"), "weight must be finite, got -inf"),
    ("hash_capacity_factor", float("inf"), "hash_capacity_factor must be finite, got inf"),
    ("hash_capacity_factor", float("nan"), "hash_capacity_factor must be greater than 1.0"),
])
def test_non_finite_settings_raise_value_error(setting, value, message):
    kw = {setting: value}
    weight = kw.pop("weight", 1.0)
    with pytest.raises(ValueError, match=f"^{message}$"):
        solve(weight=weight, **kw)


# -- absurd sizes ------------------------------------------------------------------------------

ABSURD = textwrap.dedent("""
    import resource, sys, time
    import numpy as np, quelmar_cpp, quelmar_puzzles
    quelmar_puzzles.register()
    state = np.asarray(quelmar_puzzles.scramble("puzzle8", 20, seed=4), dtype=np.uint8)
    package = sys.argv[1]
    quelmar_cpp.run_weighted_astar(state, "puzzle8", package, 1.0, 8, "cpu")  # loads everything
    size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (size + (2 << 30), resource.RLIM_INFINITY))
    settings = eval(sys.argv[2])
    start = time.monotonic()
    try:
        quelmar_cpp.run_weighted_astar(state, "puzzle8", package, 1.0, 8, "cpu", **settings)
        print("no error")
    except (MemoryError, ValueError) as e:
        print(type(e).__name__, round(time.monotonic() - start, 1))
""")


@pytest.mark.parametrize("settings", [
    {"initial_open_size": 2**40},
    {"initial_closed_size": 2**31},
    {"initial_closed_size": 2**62},
    {"initial_node_store_size": 10**9},
    {"initial_node_store_size": 2**40, "hash_capacity_factor": 1e30},
])
def test_unallocatable_sizes_raise_instead_of_aborting(settings):
    # In a child process under an address-space limit, so that an abort
    # shows as a failed child rather than a dead test run.
    child = subprocess.run([sys.executable, "-c", ABSURD, P8, repr(settings)],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr[-2000:]
    kind, _ = child.stdout.split()
    assert kind in ("MemoryError", "ValueError"), child.stdout


# -- CLOSED from one slot ----------------------------------------------------------------------

def test_growing_python_dict_closed_from_one_slot_solves_like_the_default():
    for seed in range(40):
        state = quelmar_puzzles.scramble("puzzle8", 30, seed=100 + seed)
        small = solve(state=state, hashtable_algorithm="python_dict", initial_closed_size=1)
        default = solve(state=state)
        assert (small["moves"], small["nodes_generated"]) == (
            default["moves"], default["nodes_generated"]), seed


# -- the package cache -------------------------------------------------------------------------

def test_repeated_solves_load_a_package_once_and_reload_a_replaced_file(tmp_path, nan_package):
    path = copy_package(tmp_path, "model.pt2")
    first = solve(str(path))
    before = _backend_impl._cached_model_packages()
    maps_before = sum(1 for _ in open("/proc/self/maps"))
    for _ in range(50):
        assert solve(str(path))["moves"] == first["moves"]
    assert _backend_impl._cached_model_packages() == before
    assert sum(1 for _ in open("/proc/self/maps")) == maps_before
    # A new file at the same path is checked and loaded afresh.
    replacement = tmp_path / "replacement.pt2"
    shutil.copy(nan_package, replacement)
    os.replace(replacement, path)
    shutil.copy(P8 + ".json", str(path) + ".json")
    with pytest.raises(RuntimeError, match="NaN"):
        solve(str(path), batch_size=50)


def test_threads_share_a_package_and_get_identical_results():
    states = [quelmar_puzzles.scramble("puzzle8", 25, seed=s) for s in range(8)]
    expected = [solve(state=s) for s in states]
    results, errors = {}, []

    def worker(index):
        try:
            for _ in range(5):
                results.setdefault(index, []).append(solve(state=states[index]))
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(states))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for index, runs in results.items():
        for r in runs:
            assert (r["moves"], r["nodes_generated"]) == (
                expected[index]["moves"], expected[index]["nodes_generated"])
