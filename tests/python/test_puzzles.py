"""The quelmar_puzzles plug-in package: registration and state helpers."""
import ctypes
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quelmar_puzzles as qp

NAMES = ["puzzle8", "puzzle15", "puzzle24", "cube3"]
_KEEP_ALIVE = []  # a capsule borrows its name and pointer: keep both alive


def _capsule(name, pointer):
    new = ctypes.pythonapi.PyCapsule_New
    new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    _KEEP_ALIVE.append(name)
    return new(pointer, name, None)


class _FakeRegistrar(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint32), ("reserved", ctypes.c_uint32),
                ("register_cpu", ctypes.c_void_p), ("register_torch", ctypes.c_void_p)]


def _other_version():
    _KEEP_ALIVE.append(record := _FakeRegistrar(version=2))
    return _capsule(b"quelmar_cpp.environment_registrar_v1", ctypes.addressof(record))


# Catches: registration failing when repeated or when given the solver's own capsule.
def test_register_with_and_without_capsule():
    quelmar_cpp = pytest.importorskip("quelmar_cpp")
    assert qp.register() == qp.register() == NAMES
    assert qp.register(quelmar_cpp.environment_registrar_capsule()) == NAMES


# Catches: a foreign object, capsule or registrar version dereferenced instead of refused
# (the version is checked before any of its null function pointers is called).
@pytest.mark.parametrize("capsule_factory, error, match", [
    (lambda: object(), TypeError, "expects the PyCapsule.*got an object of type object"),
    (lambda: _capsule(b"someone.else_v1", 1), ValueError,
     "named 'quelmar_cpp.environment_registrar_v1', got one named 'someone.else_v1'"),
    (lambda: _capsule(None, 1), ValueError, "got one named None"),
    (_other_version, RuntimeError, "version 2"),
])
def test_register_rejects_wrong_capsule(capsule_factory, error, match):
    with pytest.raises(error, match=match):
        qp.register(capsule_factory())


# Catches: names compared with case, goal arrays of the wrong dtype or shape.
def test_metadata():
    assert qp.environment_names() == NAMES and qp.num_moves("Puzzle15") == 4
    np.testing.assert_array_equal(qp.goal_state("PUZZLE8"), [1, 2, 3, 4, 5, 6, 7, 8, 0])
    assert [(g.dtype, g.shape) for g in map(qp.goal_state, NAMES)] == [
        (np.uint8, (9,)), (np.uint8, (16,)), (np.uint8, (25,)), (np.uint8, (54,))]


# Catches: scramble moves that do not produce its state, inverses that do not undo them,
# seeds not passed through.
@pytest.mark.parametrize("name", NAMES)
def test_scramble_round_trip(name):
    goal = qp.goal_state(name)
    state, moves = qp.scramble(name, 40, seed=2024, return_moves=True)
    assert len(moves) == 40 and not qp.is_solved(name, state) and qp.is_solved(name, goal)
    np.testing.assert_array_equal(qp.apply_moves(name, goal, moves), state)
    back = qp.apply_moves(name, state, [qp.inverse_move(name, m) for m in reversed(moves)])
    np.testing.assert_array_equal(back, goal)
    np.testing.assert_array_equal(qp.scramble(name, 40, 2024), state)
    assert qp.scramble(name, 40, 2025, return_moves=True)[1] != moves


# Catches: helpers modifying their argument, returning a read-only view, or refusing
# lists and other integer dtypes.
def test_helpers_copy_and_accept_array_likes():
    goal, moved = qp.goal_state("puzzle8"), [1, 2, 3, 4, 0, 5, 7, 8, 6]
    # [] is float64 to numpy; moves 1 and 3 push the blank off the board.
    for state, moves, expected in ((goal, np.array([0, 2]), moved), (list(goal), [0, 2], moved),
                                   (goal, [1, 3], goal), (goal, [], goal)):
        np.testing.assert_array_equal(qp.apply_moves("puzzle8", state, moves), expected)
    qp.apply_moves("puzzle8", goal, [0])[0] = 9  # writable
    np.testing.assert_array_equal(goal, [1, 2, 3, 4, 5, 6, 7, 8, 0])  # untouched
    assert qp.is_solved("puzzle8", np.arange(1, 10) % 9)  # int64


# Catches: a wrong depth bound (off by one, or None where a solution exists within it).
@pytest.mark.parametrize("env, state, max_depth, expected", [
    ("puzzle8", [1, 2, 3, 4, 5, 6, 7, 8, 0], 0, 0),
    ("puzzle8", [1, 2, 3, 4, 5, 6, 7, 0, 8], 0, None),
    ("puzzle8", [1, 2, 3, 4, 5, 6, 7, 0, 8], 1, 1),
    ("puzzle8", [8, 6, 7, 2, 5, 4, 3, 0, 1], 31, 31),  # the 8-puzzle's diameter
    ("puzzle8", [6, 4, 7, 8, 5, 0, 3, 2, 1], 30, None),
    ("puzzle15", [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0, 15], 1, 1),
])
def test_optimal_solution_length(env, state, max_depth, expected):
    assert qp.optimal_solution_length(env, state, max_depth) == expected


# Catches: bad input reaching C++ unchecked, or raised with the wrong type or an unclear message.
@pytest.mark.parametrize("call, error, match", [
    (lambda: qp.goal_state("puzzle9"), ValueError, "unknown puzzle environment 'puzzle9'"),
    (lambda: qp.num_moves(8), TypeError, "must be a str"),
    (lambda: qp.inverse_move("puzzle8", 4), ValueError, r"move 4 is outside 0\.\.3"),
    (lambda: qp.inverse_move("cube3", -1), ValueError, r"outside 0\.\.11"),
    (lambda: qp.apply_moves("puzzle8", [1, 2, 3], [0]), ValueError, "puzzle8: state must have 9 bytes, got 3"),
    (lambda: qp.apply_moves("puzzle8", qp.goal_state("puzzle8"), [0, 7]), ValueError, "move 7"),
    (lambda: qp.apply_moves("puzzle8", qp.goal_state("puzzle8"), [1.0]), TypeError, "integer"),
    (lambda: qp.apply_moves("puzzle8", [[1, 2, 3]] * 3, []), ValueError, "1-D"),
    (lambda: qp.is_solved("puzzle8", [1.0] * 9), TypeError, "integers"),
    (lambda: qp.is_solved("puzzle8", [300] + [0] * 8), ValueError, "0..255"),
    (lambda: qp.is_solved("puzzle8", [1, 1, 2, 3, 4, 5, 6, 7, 8]), ValueError, "appears more than once"),
    (lambda: qp.is_solved("cube3", np.zeros(54, np.uint8)), ValueError, "cube3: colour 0 appears 54 times"),
    (lambda: qp.is_solved("cube3", []), ValueError, "cube3: state must have 54 bytes, got 0"),
    (lambda: qp.scramble("cube3", -1, 0), ValueError, "depth"),
    (lambda: qp.scramble("cube3", 3, -1), ValueError, "seed"),
    (lambda: qp.scramble("cube3", 3, 2**64), ValueError, "seed"),
    (lambda: qp.optimal_solution_length("cube3", qp.goal_state("cube3"), 5), ValueError,
     "sliding-tile puzzles only"),
    (lambda: qp.optimal_solution_length("puzzle8", [2, 1, 3, 4, 5, 6, 7, 8, 0], 30), ValueError,
     "cannot reach the goal"),
    (lambda: qp.optimal_solution_length("puzzle8", qp.goal_state("puzzle8"), -1), ValueError, "max_depth"),
])
def test_bad_inputs_raise(call, error, match):
    with pytest.raises(error, match=match):
        call()


# Catches: a long optimal_solution_length ignoring Ctrl-C. Interrupts are sent until the
# call returns, so nothing depends on when it starts; a search ignoring them (it would run
# for years) makes the child outlive its generous deadline.
def test_optimal_solution_length_answers_interrupts():
    child = textwrap.dedent("""
        import os, signal, threading, quelmar_puzzles as qp
        state = qp.scramble("puzzle24", 400, 1)
        done = threading.Event()
        def on_interrupt(*_):  # one KeyboardInterrupt, then the sender stops
            if not done.is_set():
                done.set()
                raise KeyboardInterrupt
        signal.signal(signal.SIGINT, on_interrupt)
        def send():
            while not done.wait(0.05):
                os.kill(os.getpid(), signal.SIGINT)
        try:
            threading.Thread(target=send, daemon=True).start()
            qp.optimal_solution_length("puzzle24", state, 400)
            print("returned")
        except KeyboardInterrupt:
            print("interrupted")
    """)
    result = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=300)
    assert result.stdout.split() == ["interrupted"], result.stderr[-2000:]
