"""Damaged input and long runs: every fault is an exception, nothing piles up."""
import contextlib
import io
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import textwrap
import zipfile

import numpy as np
import pytest
import torch

import quelmar_cpp
import quelmar_puzzles
from quelmar_cpp import _research_impl, export

P8 = os.path.join(os.environ.get("QUELMAR_BUILD_DIR", "build"), "models", "puzzle8_manhattan.pt2")


@pytest.fixture(scope="module", autouse=True)
def registered():
    quelmar_puzzles.register()


def solve(package=P8, state=None, batch_size=8, **kw):
    state = quelmar_puzzles.scramble("puzzle8", 20, seed=4) if state is None else state
    return quelmar_cpp.run_weighted_astar(np.asarray(state, dtype=np.uint8), "puzzle8", package,
                                          1.0, batch_size, "cpu", **kw)


def copy_package(folder, name, data=None):
    path = folder / name
    shutil.copy(P8 + ".json", str(path) + ".json")
    path.write_bytes(open(P8, "rb").read() if data is None else data)
    return path


def flipped(seed):
    data, rng = bytearray(open(P8, "rb").read()), random.Random(seed)
    for _ in range(8):
        data[rng.randrange(len(data))] ^= 0xFF
    return bytes(data)


def escaping_zip():
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.writestr("model/../../escaped.so", b"\x7fELF")
    return buffer.getvalue()


# Catches: a damaged package crashing the process, unnamed in the error, extracted outside
# its folder, or poisoning the package cache for later solves.
@pytest.mark.parametrize("data, detail", [
    *[(lambda seed=seed: flipped(seed), "") for seed in range(6)],
    (lambda: open(P8, "rb").read()[: os.path.getsize(P8) // 2], ""),
    (lambda: b"", ""),
    (lambda: b"not a model package\n" * 100, ""),
    (escaping_zip, "member name 'model/../../escaped.so' leads outside the extraction folder"),
])
def test_damaged_package_raises_naming_the_file(tmp_path, data, detail):
    path = copy_package(tmp_path, "damaged.pt2", data())
    with pytest.raises(RuntimeError, match=f"^Model package '{re.escape(str(path))}' is damaged "
                                           f"or not a model package: {re.escape(detail)}"):
        solve(str(path))
    assert solve()["solved"]


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


# Catches: NaN heuristic values silently ordering OPEN, or the check rejecting finite ones.
def test_nan_heuristic_raises_with_count_and_first_index(nan_package):
    with pytest.raises(RuntimeError, match=r"^Heuristic network returned \d+ NaN values? in a "
                                           r"batch of \d+ \(first at index \d+\)"):
        solve(str(nan_package), batch_size=50)
    start = [1, 2, 3, 4, 5, 6, 7, 0, 8]  # the blank never reaches cell 0 on the way
    assert solve(str(nan_package), state=start)["moves"] == solve(state=start)["moves"]


ABSURD = textwrap.dedent("""
    import resource, sys
    import numpy as np, quelmar_cpp, quelmar_puzzles
    quelmar_puzzles.register()
    state = np.asarray(quelmar_puzzles.scramble("puzzle8", 20, seed=4), dtype=np.uint8)
    solve = lambda **kw: quelmar_cpp.run_weighted_astar(state, "puzzle8", sys.argv[1], 1.0, 8, "cpu", **kw)
    solve()  # loads everything before the limit
    size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (size + (2 << 30), resource.RLIM_INFINITY))
    for settings in eval(sys.argv[2]):
        try:
            solve(**settings)
            print("no error", settings)
        except (MemoryError, ValueError) as e:
            print(type(e).__name__, flush=True)
""")


# Catches: unallocatable capacity hints aborting the process instead of raising
# (in a child under an address-space limit, so an abort fails one test, not the run).
def test_unallocatable_sizes_raise_instead_of_aborting():
    settings = [{"initial_open_size": 2**40}, {"initial_closed_size": 2**31}, {"initial_closed_size": 2**62},
                {"initial_node_store_size": 10**9}, {"initial_node_store_size": 2**40, "hash_capacity_factor": 1e30}]
    child = subprocess.run([sys.executable, "-c", ABSURD, P8, repr(settings)],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stdout + child.stderr[-2000:]
    assert set(child.stdout.split()) <= {"MemoryError", "ValueError"} and len(child.stdout.split()) == 5


def _mapped_files() -> set[str]:
    """Paths of the files mapped into this process (a loaded package's library among them)."""
    with open("/proc/self/maps") as maps:
        return {line.split(None, 5)[5].strip() for line in maps if len(line.split(None, 5)) == 6
                and line.split(None, 5)[5].startswith("/")}


# Catches: repeated solves reloading (and leaking) a package, or a replaced file served stale.
def test_repeated_solves_load_a_package_once_and_reload_a_replaced_file(tmp_path, nan_package):
    path = copy_package(tmp_path, "model.pt2")
    first = solve(str(path))
    before = _research_impl._cached_model_packages()
    files_before = _mapped_files()
    for _ in range(50):
        assert solve(str(path))["moves"] == first["moves"]
    assert _research_impl._cached_model_packages() == before
    # Files, not mappings: thread stacks and allocator arenas come and go with the machine.
    assert _mapped_files() == files_before
    replacement = tmp_path / "replacement.pt2"
    shutil.copy(nan_package, replacement)
    os.replace(replacement, path)
    with pytest.raises(RuntimeError, match="NaN"):
        solve(str(path), batch_size=50)


# The child says when the import system looks for the package's extension module: the SIGINT
# sent on that line lands while the module loads (opening LibTorch alone takes most of a second).
INTERRUPTED_IMPORT = """
import signal
import sys

# As in an interactive session, even when this test runs where SIGINT is ignored (a job started
# in the background by a non-interactive shell), which the child would otherwise inherit.
signal.signal(signal.SIGINT, signal.default_int_handler)

class Announce:
    def find_spec(self, name, path=None, target=None):
        if name == sys.argv[1]:
            print("loading", flush=True)
        return None

sys.meta_path.insert(0, Announce())
import {package}
"""


# Catches: Ctrl-C while an extension module initialises ending in a segmentation fault instead of
# KeyboardInterrupt (death by SIGINT, status 130 in a shell).
@pytest.mark.parametrize("package, module", [("quelmar_cpp", "quelmar_cpp._backend_impl"),
                                             ("quelmar_puzzles", "quelmar_puzzles._puzzles_impl")])
def test_ctrl_c_while_a_package_loads_is_a_clean_interrupt(package, module):
    for _ in range(3):
        child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_IMPORT.format(package=package), module],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        assert child.stdout.readline() == "loading\n"
        # Ctrl-C again and again, as an impatient user does, until the child has ended.
        while child.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                child.send_signal(signal.SIGINT)
            os.sched_yield()
        err = child.stderr.read()
        assert child.returncode == -signal.SIGINT, err
        assert "Fatal Python error" not in err
