"""run_beam_search: a table of cases against the reference models, every solution replayed
through the plug-in; thread counts, errors, result dicts and profiling output."""
import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import quelmar_cpp
import quelmar_puzzles as qp

MODELS = os.path.join(os.environ.get("QUELMAR_BUILD_DIR", "build"), "models")
MODEL = {env: os.path.join(MODELS, name) for env, name in (
    ("puzzle8", "puzzle8_manhattan.pt2"), ("puzzle15", "puzzle15_manhattan.pt2"), ("cube3", "cube3_misplaced.pt2"),
    ("dead_end", "puzzle8_manhattan.pt2"))}
KEYS = ["moves", "nodes_generated", "solve_time", "solved", "search_budget_exceeded"]


@pytest.fixture(scope="module", autouse=True)
def registered():
    qp.register()
    import _faulty_envs

    _faulty_envs.register(quelmar_cpp.environment_registrar_capsule())


def beam(state, env, width, steps, **kw):
    return quelmar_cpp.run_beam_search(np.asarray(state, np.uint8), env, MODEL[env], width, steps, **kw)


def bfs_layers(env, start, depth):
    """Sizes of the sets of states first reached after 0, 1, ..., depth-1 moves."""
    seen, layer, sizes = {start.tobytes()}, [start], []
    for _ in range(depth):
        sizes.append(len(layer))
        following = []
        for state in layer:
            for m in range(qp.num_moves(env)):
                child = qp.apply_moves(env, state, [m])
                if child.tobytes() not in seen:
                    seen.add(child.tobytes())
                    following.append(child)
        layer = following
    return sizes


P8_12 = qp.scramble("puzzle8", 12, seed=5)
P8_12_OPTIMAL = qp.optimal_solution_length("puzzle8", P8_12, 31)

# (label, env, state, beam_width, max_steps, expected outcome). The puzzle8 rows with a width
# of 5000 hold every state of each breadth-first layer: the beam is a breadth-first search.
CASES = [
    ("goal start", "puzzle8", qp.goal_state("puzzle8"), 4, 10, "solved"),
    ("goal start, no steps", "cube3", qp.goal_state("cube3"), 4, 0, "solved"),
    ("width 1", "puzzle8", qp.scramble("puzzle8", 8, seed=3), 1, 100, "solved"),
    ("cube, width 64", "cube3", qp.scramble("cube3", 4, seed=2), 64, 20, "solved"),
    ("15-puzzle, width 32", "puzzle15", qp.scramble("puzzle15", 30, seed=4), 32, 300, "solved"),
    ("duplicates: whole layers", "puzzle8", P8_12, 5000, P8_12_OPTIMAL, "solved"),
    ("budget: whole layers, one step too few", "puzzle8", P8_12, 5000, P8_12_OPTIMAL - 1, "budget"),
    ("budget: no steps", "puzzle15", qp.scramble("puzzle15", 10, seed=1), 8, 0, "budget"),
    ("dead ends", "dead_end", qp.scramble("puzzle8", 6, seed=1), 8, 10, "dead end"),
]


# Catches: solutions that do not replay to a goal, node counts that are not whole steps
# of whole beams, duplicates kept (a beam holding whole layers then counts more than the
# breadth-first layers, or finds a longer path), a goal on the last allowed step missed or
# a step too many taken, budget and dead-end outcomes confused, a goal start that searches.
@pytest.mark.parametrize("label, env, state, width, steps, expected", CASES, ids=[c[0] for c in CASES])
def test_cases(label, env, state, width, steps, expected):
    result = beam(state, env, width, steps)
    assert list(result) == KEYS
    moves, nodes = result["moves"], result["nodes_generated"]
    m = qp.num_moves("puzzle8" if env == "dead_end" else env)
    outcome = "solved" if result["solved"] else "budget" if result["search_budget_exceeded"] else "dead end"
    assert outcome == expected
    taken = len(moves) if expected == "solved" else steps if expected == "budget" else 1
    if expected == "solved":
        assert qp.is_solved(env, qp.apply_moves(env, state, moves)) and len(moves) <= steps
    else:
        assert moves == []
    if expected == "dead end" or taken == 0:
        assert nodes == 0
    else:  # every step expands one to `width` states of m children each, the first step the start
        assert nodes % m == 0 and m * taken <= nodes <= m * (1 + width * (taken - 1))
    if width == 1:
        assert nodes == m * taken
    if "whole layers" in label:
        assert nodes == m * sum(bfs_layers(env, state, taken))
        assert expected != "solved" or len(moves) == P8_12_OPTIMAL


THREADS_SCRIPT = """
import json, sys
import numpy as np, quelmar_cpp, quelmar_puzzles as qp
qp.register()
models = json.loads(sys.argv[1])
out = []
for env, depth, width in (("cube3", 5, 200), ("puzzle15", 40, 100), ("puzzle8", 20, 3)):
    r = quelmar_cpp.run_beam_search(qp.scramble(env, depth, seed=3), env, models[env], width, 400)
    out.append([r["moves"], r["nodes_generated"], r["solved"]])
print(json.dumps(out))
"""


# Catches: a beam that depends on the thread count (ties, shard order, the first goal).
def test_same_result_with_one_and_two_threads():
    runs = [subprocess.run([sys.executable, "-c", THREADS_SCRIPT, json.dumps(MODEL)], capture_output=True,
                           text=True, check=True, env={**os.environ, "OMP_NUM_THREADS": threads})
            for threads in ("1", "2")]
    first, second = (json.loads(run.stdout) for run in runs)
    assert first == second and any(solved for *_, solved in first)


STATE = qp.scramble("puzzle8", 10, seed=2)
ERRORS = [
    # Catches: settings left unchecked, or checked in another order or with another message.
    ({"beam_width": 0}, ValueError, "^beam_width must be positive$"),
    ({"beam_width": -3, "max_steps": -1}, ValueError, "^beam_width must be positive$"),
    ({"max_steps": -1}, ValueError, "^max_steps must be non-negative$"),
    ({"solution_move_source": "x"}, ValueError, "^solution_move_source must be 'infer' or 'stored'$"),
    ({"hashtable_algorithm": "x"}, ValueError, "^hashtable_algorithm must be 'linear_probing' or 'python_dict'$"),
    ({"device": "tpu"}, ValueError, "^Unsupported device spec: tpu$"),
    ({"env": "No_Such"}, ValueError, r"^Unknown environment 'no_such' for the C\+\+ beam search solver"),
    ({"package_path": "/nonexistent/model.pt2"}, RuntimeError, "^Unable to open AOTI manifest at /nonexistent"),
    ({"env": "puzzle15", "state": qp.goal_state("puzzle15")}, RuntimeError, "^Environment/network input size mismatch"),
    ({"state": np.zeros(0, np.uint8)}, ValueError, "^State payload must contain at least one entry$"),
    ({"env": "faulty_expand"}, RuntimeError, "^injected expand failure$"),
    # Catches: the binding converting what it must refuse.
    ({"beam_width": 2.0}, TypeError, "incompatible function arguments"),
    ({"state": STATE.astype(np.int64)}, TypeError, "incompatible function arguments"),
]


@pytest.mark.parametrize("overrides, error, match", ERRORS, ids=[str(e[0]) for e in ERRORS])
def test_bad_calls_raise(overrides, error, match):
    args = dict(state=STATE, env="puzzle8", package_path=MODEL["puzzle8"], beam_width=4, max_steps=10)
    args.update(overrides)
    with pytest.raises(error, match=match):
        quelmar_cpp.run_beam_search(**args)


# Catches: the signature or docstring losing a setting or the beam's own arguments, settings
# of the A* solvers leaking into the beam's signature.
def test_signature():
    signature, doc, _ = quelmar_cpp.run_beam_search.__nb_signature__[0]
    names = re.findall(r"[(,] ?(\w+): ", signature)
    assert names[:6] == ["state", "env", "package_path", "beam_width", "max_steps", "device"]
    assert "weight" not in names and "batch_size" not in names
    assert all(f"            {name}: " in doc for name in names)


# Catches: the breakdown, print-out or profiling artifacts missing, misnamed or empty when
# asked for.
def test_timings_internals_and_profiling(tmp_path, capfd):
    timed = beam(STATE, "puzzle8", 4, 50, operation_breakdown=True, solution_move_source="stored")
    plain = beam(STATE, "puzzle8", 4, 50)
    assert timed["moves"] == plain["moves"] and list(timed) == KEYS + ["operation_timings"]
    counts = {name: entry["call_count"] for name, entry in timed["operation_timings"].items()}
    steps = len(plain["moves"])
    assert counts == {"pop": 0, "is_solved": steps + 1, "expand": steps, "check": steps,
                      "heuristic": steps - 1, "push": steps - 1, "iteration": steps}
    beam(STATE, "puzzle8", 4, 50, print_internals=True)
    assert "\nTimes - pop: " in capfd.readouterr().out
    beam(STATE, "puzzle8", 4, 50, profile_dir=str(tmp_path), profile_trace=True, profile_summary=True)
    trace = json.loads((tmp_path / "cpp_beam_trace.json").read_text())
    assert {"beam.total", "beam.expand", "beam.closed_filter", "beam.heuristic_infer", "beam.select"} <= {
        event["name"] for event in trace["traceEvents"]}
    assert (tmp_path / "cpp_beam_summary.txt").read_text().startswith("Phase ")
