"""The batch helpers: rows against the plug-in's per-state functions on every domain, walk
lengths, arrays in and out, errors, thread counts, the GIL. A plug-in that reads rows wider
than its state is checked by the C++ tests (environment_batch_test.cpp)."""
import json
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import quelmar_cpp
import quelmar_puzzles as qp

from quelmar_cpp import expand_states, goal_flags, network_inputs, random_walks


@pytest.fixture(scope="module", autouse=True)
def registered():
    qp.register()
    import _faulty_envs

    _faulty_envs.register(quelmar_cpp.environment_registrar_capsule())


# Catches: shapes or dtypes other than the documented ones, rows, children or inputs written
# at another row's offset or that disagree with the plug-in's apply_moves / is_solved or the
# one-hot input layout, the goal row missed.
@pytest.mark.parametrize("env", ["puzzle8", "puzzle15", "puzzle24", "cube3"])
def test_arrays_agree_with_the_plugin(env):
    goal = qp.goal_state(env)
    moves = qp.num_moves(env)
    states, lengths = random_walks(env, goal, 50, 12, seed=9, min_length=1)
    assert (states.dtype, states.shape, lengths.dtype, lengths.shape) == (np.uint8, (50, goal.size), np.int64, (50,))
    batch = np.vstack([goal, states])
    children = expand_states(env, batch)
    assert (children.dtype, children.shape) == (np.uint8, (51, moves, goal.size))
    for row, kids in zip(batch, children):
        assert all((kids[m] == qp.apply_moves(env, row, [m])).all() for m in range(moves))
    flags = goal_flags(env, batch)
    assert flags.dtype == np.bool_ and flags.tolist() == [qp.is_solved(env, row) for row in batch]
    inputs = network_inputs(env, batch)
    # The documented one-hot layouts: cube sticker * 6 + colour, sliding tile * cells + position.
    cells = np.arange(goal.size)
    expected = np.zeros((51, inputs.shape[1]), np.float32)
    for i, row in enumerate(batch.astype(np.int64)):
        expected[i, cells * 6 + row if env == "cube3" else row * goal.size + cells] = 1.0
    assert inputs.dtype == np.float32 and (inputs == expected).all()


P8_GOAL = qp.goal_state("puzzle8")


# Catches: lengths outside [min_length, max_length] or crowded on a few values, walks that
# make another number of moves than their length or reach only some of the states.
def test_walks_have_their_lengths():
    exactly = [{P8_GOAL.tobytes()}]  # states exactly L moves away (edge moves stay put)
    for _ in range(3):
        exactly.append({qp.apply_moves("puzzle8", np.frombuffer(s, np.uint8), [m]).tobytes()
                        for s in exactly[-1] for m in range(4)})
    for length, reachable in enumerate(exactly):
        states, lengths = random_walks("puzzle8", P8_GOAL, 2000, length, 11, min_length=length)
        assert (lengths == length).all() and {row.tobytes() for row in states} == reachable, length
    _, lengths = random_walks("cube3", qp.goal_state("cube3"), 6000, 7, 3, min_length=2)
    counts = np.bincount(lengths, minlength=8)
    assert counts[:2].sum() == 0 and (abs(counts[2:] - 1000) <= 150).all(), counts


def _no_return_ends(env, start, length):
    """End states of every walk of `length` moves that never stands still or steps straight back."""
    paths = [(None, start.tobytes())]
    for _ in range(length):
        paths = [(here, child) for left, here in paths for m in range(qp.num_moves(env))
                 for child in [qp.apply_moves(env, np.frombuffer(here, np.uint8), [m]).tobytes()]
                 if child not in (here, left)]
    return {here for _, here in paths}


# Catches: no_return walks that stand still (puzzle8's edge moves), undo their last move, or
# reach only some of the states the rule allows.
@pytest.mark.parametrize("env, length", [("puzzle8", 1), ("puzzle8", 2), ("puzzle8", 4), ("cube3", 2)])
def test_no_return_walks_reach_exactly_the_allowed_states(env, length):
    goal = np.ascontiguousarray(qp.goal_state(env), np.uint8)
    states, _ = random_walks(env, goal, 3000, length, 5, min_length=length, no_return=True)
    assert {row.tobytes() for row in states} == _no_return_ends(env, goal, length)
ROWS = np.vstack([P8_GOAL, P8_GOAL])
HELPERS = [expand_states, goal_flags, network_inputs]
BAD = [
    # Catches: the binding converting what it must refuse (dtype, layout, rank, lists).
    *[(helper, ("puzzle8", states), TypeError, "incompatible function arguments")
      for helper in HELPERS for states in (ROWS.astype(np.int64), np.asfortranarray(ROWS),
                                           np.vstack([ROWS, ROWS])[::2], P8_GOAL, ROWS.tolist())],
    (random_walks, ("puzzle8", ROWS, 1, 2, 0), TypeError, "incompatible function arguments"),
    (random_walks, ("puzzle8", P8_GOAL, 1, 2, 2**64), TypeError, "incompatible function arguments"),
    # Catches: bad values accepted, or refused without naming what is wrong.
    *[(helper, ("No_Such", ROWS), ValueError, "^Unknown environment 'No_Such'") for helper in HELPERS],
    (goal_flags, ("No_Such", ROWS[:0]), ValueError, "^Unknown environment 'No_Such'"),
    (network_inputs, ("puzzle8", np.zeros((2, 10), np.uint8)), ValueError, "^states row 0: puzzle8: state must have 9"),
    (goal_flags, ("puzzle8", np.vstack([P8_GOAL, np.full(9, 3, np.uint8)])), ValueError, "^states row 1: puzzle8: "),
    (goal_flags, ("puzzle8", np.zeros((3, 0), np.uint8)), ValueError, "^states must have at least one byte per row$"),
    (random_walks, ("puzzle8", P8_GOAL, -1, 2, 0), ValueError, "^count must be non-negative$"),
    (random_walks, ("puzzle8", P8_GOAL, 1, -2, 0), ValueError, "^max_length must be non-negative$"),
    (random_walks, ("puzzle8", P8_GOAL, 1, 2, 0, -1), ValueError, "^min_length must be non-negative$"),
    (random_walks, ("puzzle8", P8_GOAL, 1, 2, 0, 3), ValueError, "^min_length must not exceed max_length, got 3 > 2$"),
    (random_walks, ("puzzle8", np.zeros(0, np.uint8), 1, 2, 0), ValueError, "^State payload must contain"),
    # Catches: a plug-in whose expand() gives fewer children than its moves read out of bounds.
    (expand_states, ("dead_end", ROWS), RuntimeError, r"^Environment expand\(\) returned 0 successors for states row"),
    # Catches: inputs sized by the first row overrun by a row whose plug-in reports more.
    (network_inputs, ("varying_input", np.vstack([P8_GOAL, [0, 1, 2, 3, 4, 5, 6, 7, 8]]).astype(np.uint8)),
     RuntimeError, r"^Environment input_size\(\) of states row 1 is \d+, row 0's is \d+"),
]


@pytest.mark.parametrize("helper, args, error, match", BAD, ids=lambda v: getattr(v, "__name__", None))
def test_bad_calls_raise(helper, args, error, match):
    with pytest.raises(error, match=match):
        helper(*args)


# Catches: an empty batch failing or shaped unlike a full one in the dimensions it knows.
def test_empty_batches():
    empty = np.zeros((0, 9), np.uint8)
    assert expand_states("puzzle8", empty).shape == (0, 0, 9)
    assert goal_flags("puzzle8", empty).shape == (0,) and network_inputs("puzzle8", empty).shape == (0, 0)
    states, lengths = random_walks("puzzle8", P8_GOAL, 0, 5, 1)
    assert states.shape == (0, 9) and lengths.shape == (0,)


WALKS_SCRIPT = """
import hashlib, json, sys
import quelmar_cpp, quelmar_puzzles as qp
qp.register()
out = {}
for env, seed, no_return in (("cube3", 7, False), ("cube3", 8, False), ("puzzle15", 7, False),
                             ("puzzle15", 7, True)):
    states, lengths = quelmar_cpp.random_walks(env, qp.goal_state(env), 3001, 30, seed, min_length=3,
                                               no_return=no_return)
    out[f"{env}/{seed}/{no_return}"] = hashlib.sha256(states.tobytes() + lengths.tobytes()).hexdigest()
print(json.dumps(out))
"""


# Catches: walks that depend on the thread count (a shared or per-thread generator), or that
# ignore the seed. libgomp fixes the thread count when the module is loaded, so each count
# runs in its own process.
def test_walks_depend_on_the_seed_only():
    runs = []
    for threads in ("1", "2"):
        env = {**os.environ, "OMP_NUM_THREADS": threads}
        done = subprocess.run([sys.executable, "-c", WALKS_SCRIPT], env=env, capture_output=True, text=True,
                              check=True)
        runs.append(json.loads(done.stdout))
    assert runs[0] == runs[1]
    assert len(set(runs[0].values())) == 4


# Catches: a helper holding the GIL. expand() of the gated environment waits at a gate that
# only this thread, running Python code, can open.
def test_interpreter_stays_responsive_during_a_batch():
    import _faulty_envs

    _faulty_envs.close_gate()
    thread = threading.Thread(target=expand_states, args=("gated", P8_GOAL[None, :]))
    thread.start()
    while not _faulty_envs.waiting_at_gate() and thread.is_alive():
        time.sleep(0.001)
    _faulty_envs.open_gate()
    thread.join()
    assert _faulty_envs.gate_opened_in_time()
