"""The quelmar_puzzles plug-in package: registration and state helpers."""
import ctypes
import os
import signal
import threading
import time
from collections import deque

import numpy as np
import pytest

import quelmar_puzzles as qp

NAMES = ["puzzle8", "puzzle15", "puzzle24", "cube3"]
REGISTRAR_NAME = b"quelmar_cpp.environment_registrar_v1"


_CAPSULE_NAMES = []  # a capsule borrows its name: keep the bytes alive


def _capsule(name: bytes | None, pointer: int):
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    _CAPSULE_NAMES.append(name)
    return new(pointer, name, None)


class _FakeRegistrar(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint32), ("reserved", ctypes.c_uint32),
                ("register_cpu", ctypes.c_void_p), ("register_torch", ctypes.c_void_p)]


def test_register_with_and_without_capsule():
    quelmar_cpp = pytest.importorskip("quelmar_cpp")
    assert qp.register() == NAMES
    assert qp.register() == NAMES  # again: harmless
    assert qp.register(quelmar_cpp.environment_registrar_capsule()) == NAMES


@pytest.mark.parametrize("capsule_factory, error, match", [
    (lambda: object(), TypeError, "expects the PyCapsule.*got an object of type object"),
    (lambda: b"quelmar", TypeError, "PyCapsule"),
    (lambda: _capsule(b"someone.else_v1", 1), ValueError,
     "named 'quelmar_cpp.environment_registrar_v1', got one named 'someone.else_v1'"),
    (lambda: _capsule(None, 1), ValueError, "got one named None"),
])
def test_register_rejects_wrong_capsule(capsule_factory, error, match):
    with pytest.raises(error, match=match):
        qp.register(capsule_factory())


def test_register_rejects_other_registrar_version():
    record = _FakeRegistrar(version=2)
    capsule = _capsule(REGISTRAR_NAME, ctypes.addressof(record))
    # Raised before any function pointer (null here) is called.
    with pytest.raises(RuntimeError, match="version 2"):
        qp.register(capsule)


def test_metadata():
    assert qp.__version__
    assert qp.environment_names() == NAMES
    assert [qp.num_moves(n) for n in NAMES] == [4, 4, 4, 12]
    assert qp.num_moves("Puzzle15") == 4
    np.testing.assert_array_equal(qp.goal_state("PUZZLE8"), [1, 2, 3, 4, 5, 6, 7, 8, 0])
    goal = qp.goal_state("cube3")
    assert goal.dtype == np.uint8 and goal.shape == (54,)
    np.testing.assert_array_equal(goal, np.arange(54) // 9)
    for name in NAMES:
        n = qp.num_moves(name)
        assert sorted(qp.inverse_move(name, m) for m in range(n)) == list(range(n))
        assert all(qp.inverse_move(name, qp.inverse_move(name, m)) == m for m in range(n))


@pytest.mark.parametrize("name", NAMES)
def test_scramble_round_trip(name):
    goal = qp.goal_state(name)
    state, moves = qp.scramble(name, 40, seed=2024, return_moves=True)
    assert len(moves) == 40
    assert not qp.is_solved(name, state)
    assert qp.is_solved(name, goal)
    np.testing.assert_array_equal(qp.apply_moves(name, goal, moves), state)
    undo = [qp.inverse_move(name, m) for m in reversed(moves)]
    back = qp.apply_moves(name, state, undo)
    np.testing.assert_array_equal(back, goal)
    assert qp.is_solved(name, back)
    # Deterministic per seed, different across seeds.
    np.testing.assert_array_equal(qp.scramble(name, 40, 2024), state)
    assert qp.scramble(name, 40, 2025, return_moves=True)[1] != moves
    np.testing.assert_array_equal(qp.scramble(name, 0, 1), goal)


def test_helpers_copy_and_accept_array_likes():
    goal = qp.goal_state("puzzle8")
    before = goal.copy()
    moved = qp.apply_moves("puzzle8", goal, np.array([0, 2]))
    np.testing.assert_array_equal(goal, before)  # input untouched
    np.testing.assert_array_equal(moved, [1, 2, 3, 4, 0, 5, 7, 8, 6])
    moved[0] = 9  # result is writable and owned
    np.testing.assert_array_equal(qp.apply_moves("puzzle8", list(before), [0, 2]),
                                  [1, 2, 3, 4, 0, 5, 7, 8, 6])
    assert qp.is_solved("puzzle8", np.arange(1, 10) % 9)  # int64 input
    np.testing.assert_array_equal(qp.apply_moves("puzzle8", goal, []), goal)
    # Blank in the corner: moving it down or right off the board changes nothing.
    np.testing.assert_array_equal(qp.apply_moves("puzzle8", goal, [1, 3]), goal)


def _bfs_distances(max_depth):
    goal = tuple(qp.goal_state("puzzle8"))
    dist = {goal: 0}
    queue = deque([goal])
    while queue:
        state = queue.popleft()
        if dist[state] == max_depth:
            continue
        blank = state.index(0)
        r, c = divmod(blank, 3)
        for dr, dc in ((-1, 0), (1, 0), (0, -1), (0, 1)):
            if 0 <= r + dr < 3 and 0 <= c + dc < 3:
                s = list(state)
                t = (r + dr) * 3 + c + dc
                s[blank], s[t] = s[t], 0
                s = tuple(s)
                if s not in dist:
                    dist[s] = dist[state] + 1
                    queue.append(s)
    return dist


def test_optimal_solution_length_matches_bfs():
    dist = _bfs_distances(16)
    rng = np.random.default_rng(0)
    by_depth = {}
    for state, d in dist.items():
        by_depth.setdefault(d, []).append(state)
    for d in (0, 1, 5, 9, 12, 16):
        for i in rng.choice(len(by_depth[d]), size=min(3, len(by_depth[d])), replace=False):
            state = np.array(by_depth[d][i], dtype=np.uint8)
            assert qp.optimal_solution_length("puzzle8", state, 30) == d
    deeper = next(s for s in (qp.scramble("puzzle8", 60, k) for k in range(100))
                  if tuple(s) not in dist)
    assert qp.optimal_solution_length("puzzle8", deeper, 16) is None
    assert qp.optimal_solution_length("puzzle8", deeper, 40) > 16


def test_optimal_solution_length_on_fifteen_puzzle():
    state = qp.scramble("puzzle15", 30, 7)
    length = qp.optimal_solution_length("puzzle15", state, 60)
    blank_row, blank_col = divmod(int(np.flatnonzero(state == 0)[0]), 4)
    assert length is not None and length <= 30
    # Every move shifts the blank by one cell, so the parity of the length is fixed.
    assert length % 2 == (3 - blank_row + 3 - blank_col) % 2
    assert qp.optimal_solution_length("puzzle15", state, length - 2) is None


@pytest.mark.parametrize("call, error, match", [
    (lambda: qp.goal_state("puzzle9"), ValueError, "unknown puzzle environment 'puzzle9'"),
    (lambda: qp.num_moves(8), TypeError, "must be a str"),
    (lambda: qp.inverse_move("puzzle8", 4), ValueError, r"move 4 is outside 0\.\.3"),
    (lambda: qp.inverse_move("cube3", -1), ValueError, r"outside 0\.\.11"),
    (lambda: qp.apply_moves("puzzle8", [1, 2, 3], [0]), ValueError,
     "puzzle8: state must have 9 bytes, got 3"),
    (lambda: qp.apply_moves("puzzle8", qp.goal_state("puzzle8"), [0, 7]), ValueError,
     "move 7"),
    (lambda: qp.apply_moves("puzzle8", qp.goal_state("puzzle8"), [1.0]), TypeError, "integer"),
    (lambda: qp.apply_moves("puzzle8", [[1, 2, 3]] * 3, []), ValueError, "1-D"),
    (lambda: qp.is_solved("puzzle8", [1.0] * 9), TypeError, "integers"),
    (lambda: qp.is_solved("puzzle8", [300] + [0] * 8), ValueError, "0..255"),
    (lambda: qp.is_solved("puzzle8", [1, 1, 2, 3, 4, 5, 6, 7, 8]), ValueError,
     "appears more than once"),
    (lambda: qp.is_solved("cube3", np.zeros(54, np.uint8)), ValueError,
     "cube3: colour 0 appears 54 times"),
    (lambda: qp.is_solved("cube3", []), ValueError, "cube3: state must have 54 bytes, got 0"),
    (lambda: qp.scramble("cube3", -1, 0), ValueError, "depth"),
    (lambda: qp.scramble("cube3", 3, -1), ValueError, "seed"),
    (lambda: qp.scramble("cube3", 3, 2**64), ValueError, "seed"),
    (lambda: qp.optimal_solution_length("cube3", qp.goal_state("cube3"), 5), ValueError,
     "sliding-tile puzzles only"),
    (lambda: qp.optimal_solution_length("puzzle8", [2, 1, 3, 4, 5, 6, 7, 8, 0], 30),
     ValueError, "cannot reach the goal"),
    (lambda: qp.optimal_solution_length("puzzle8", qp.goal_state("puzzle8"), -1), ValueError,
     "max_depth"),
])
def test_bad_inputs_raise(call, error, match):
    with pytest.raises(error, match=match):
        call()


def test_optimal_solution_length_answers_interrupts():
    hard = qp.scramble("puzzle24", 400, 1)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            qp.optimal_solution_length("puzzle24", hard, 400)
    finally:
        timer.cancel()
    assert time.monotonic() - start < 10
