"""The Q-network solvers: the exact sliding-tile Q-networks, run_q_beam_search against the
value beam over the same heuristic, packages of the wrong width, thread counts and settings."""
import json
import os
import subprocess
import sys

import numpy as np
import pytest
import torch

import quelmar_cpp
import quelmar_puzzles as qp
from quelmar_cpp import export

MODELS = os.path.join(os.environ.get("QUELMAR_BUILD_DIR", "build"), "models")
VALUE = {env: os.path.join(MODELS, f"{env}_manhattan.pt2") for env in ("puzzle8", "puzzle15")}
Q = {env: os.path.join(MODELS, f"{env}_manhattan_q.pt2") for env in ("puzzle8", "puzzle15")}


@pytest.fixture(scope="module", autouse=True)
def registered():
    qp.register()


def state(env, depth, seed):
    return np.asarray(qp.scramble(env, depth, seed=seed), np.uint8)


# Catches: a move order, blank encoding or tile sign that differs from the plug-in's, checked
# against the value network on the children the plug-in makes.
@pytest.mark.parametrize("env, n", [("puzzle8", 3), ("puzzle15", 4)])
def test_q_network_is_one_plus_the_childs_distance(env, n):
    states = np.stack([state(env, d, seed) for seed in range(20) for d in (0, 1, 7, 40)])
    children = quelmar_cpp.expand_states(env, states)
    child_inputs = torch.from_numpy(quelmar_cpp.network_inputs(env, children.reshape(-1, n * n)))
    want = 1 + export.manhattan_network(n)(child_inputs).view(len(states), 4)
    got = export.manhattan_q_network(n)(torch.from_numpy(quelmar_cpp.network_inputs(env, states)))
    assert torch.equal(got, want)


def both(env, start, width, steps):
    value = quelmar_cpp.run_beam_search(start, env, VALUE[env], width, steps)
    q = quelmar_cpp.run_q_beam_search(start, env, Q[env], width, steps)
    return value, q


# Catches: children ranked by anything but their parent's Q for their move (ties in child
# order), duplicates kept or the wrong one kept, a goal child missed. With Q = 1 + h(child) the
# Q-beam must keep the very states the value beam keeps: the same moves and node counts.
@pytest.mark.parametrize("env, depth, widths", [("puzzle8", 30, (1, 3, 16, 200)),
                                                ("puzzle15", 60, (1, 10, 300))])
def test_q_beam_makes_the_value_beams_moves(env, depth, widths):
    solved = 0
    for seed in range(4):
        start = state(env, depth, seed)
        for width in widths:
            value, q = both(env, start, width, 300)
            same = ("moves", "nodes_generated", "solved", "search_budget_exceeded")
            assert [q[k] for k in same] == [value[k] for k in same], (seed, width)
            solved += q["solved"]
            if q["solved"]:
                end = qp.apply_moves(env, start, q["moves"])
                assert qp.is_solved(env, end)
    assert solved > 0


THREADS_SCRIPT = """
import json, sys
import numpy as np
import quelmar_cpp, quelmar_puzzles as qp
qp.register()
q = json.loads(sys.argv[1])
out = [quelmar_cpp.run_q_beam_search(np.asarray(qp.scramble(env, 60, seed=s), np.uint8), env, q[env],
                                     w, 200)["moves"]
       for env in q for s in range(3) for w in (2, 50, 2000)]
print(json.dumps(out))
"""


# Catches: a Q-beam whose ranking or duplicate choice depends on the thread count.
def test_q_beam_same_on_one_and_two_threads():
    runs = [subprocess.run([sys.executable, "-c", THREADS_SCRIPT, json.dumps(Q)], capture_output=True,
                           text=True, check=True, env={**os.environ, "OMP_NUM_THREADS": threads})
            for threads in ("1", "2")]
    first, second = (json.loads(run.stdout) for run in runs)
    assert first == second and any(first)


ERRORS = [
    # Catches: a package of the wrong width taken by either beam.
    (quelmar_cpp.run_q_beam_search, {"package_path": VALUE["puzzle8"]}, ValueError,
     r"has 1 output\(s\) per state, but the search needs 4 \(one per move\)"),
    (quelmar_cpp.run_q_beam_search, {"env": "puzzle15", "package_path": Q["puzzle8"]}, RuntimeError,
     "^Environment/network input size mismatch"),
    (quelmar_cpp.run_beam_search, {"package_path": Q["puzzle8"]}, ValueError,
     "^Only single-scalar output heads are supported for heuristics$"),
    # Catches: the beam's own checks missing from the Q-beam.
    (quelmar_cpp.run_q_beam_search, {"beam_width": 0}, ValueError, "^beam_width must be positive$"),
    (quelmar_cpp.run_q_beam_search, {"max_steps": -1}, ValueError, "^max_steps must be non-negative$"),
    (quelmar_cpp.run_q_beam_search, {"env": "No_Such"}, ValueError,
     r"^Unknown environment 'no_such' for the C\+\+ Q-beam search solver"),
]


@pytest.mark.parametrize("solver, overrides, error, match", ERRORS, ids=[str(e[1]) for e in ERRORS])
def test_bad_calls_raise(solver, overrides, error, match):
    args = dict(state=state("puzzle8", 10, 2), env="puzzle8", package_path=Q["puzzle8"], beam_width=4,
                max_steps=10)
    if overrides.get("env") == "puzzle15":
        args["state"] = state("puzzle15", 10, 2)
    args.update(overrides)
    with pytest.raises(error, match=match):
        solver(**args)


# Catches: the breakdown, profiling files or run id missing for the Q-beam.
def test_q_beam_timings_and_profiling(tmp_path):
    start = state("puzzle8", 12, 1)
    result = quelmar_cpp.run_q_beam_search(start, "puzzle8", Q["puzzle8"], 8, 100, operation_breakdown=True,
                                           profile_dir=str(tmp_path), profile_trace=True)
    steps = len(result["moves"])
    # The step that finds the goal scores nothing.
    assert result["solved"] and result["operation_timings"]["heuristic"]["call_count"] == steps - 1
    trace = json.loads((tmp_path / "cpp_qbeam_trace.json").read_text())
    assert {"qbeam.total", "qbeam.select", "qbeam.expand", "qbeam.heuristic_infer"} <= {
        event["name"] for event in trace["traceEvents"]}


# Catches: a Q head of the wrong width, or a bad width, written into a package and manifest.
@pytest.mark.parametrize("network, outputs, match", [
    (export.manhattan_network(3), 4, r"must return \[batch, 4\], got \[4, 1\]"),
    (export.manhattan_q_network(3), 5, r"must return \[batch, 5\], got \[4, 4\]"),
    (export.manhattan_network(3), 0, "outputs must be a positive integer, got 0"),
])
def test_export_refuses_a_q_head_of_the_wrong_width(tmp_path, network, outputs, match):
    inputs = torch.nn.functional.one_hot(torch.stack([torch.randperm(9) for _ in range(4)]), 9)
    inputs = inputs.transpose(1, 2).reshape(4, 81).float()
    with pytest.raises(ValueError, match=match):
        export.export_heuristic(network, inputs, str(tmp_path / "q.pt2"), env="puzzle8", outputs=outputs)
    assert not os.listdir(tmp_path)


def qstar(start, env="puzzle8", weight=1.0, batch=1, **kw):
    package = kw.pop("package_path", Q.get(env, Q["puzzle8"]))
    return quelmar_cpp.run_q_star_search(start, env, package, weight, batch, "cpu", **kw)


# Catches: entries prioritised other than as their child's f with h = Q - cost, a goal taken
# before a cheaper one, or CLOSED rules that lose a shorter path: with Q = 1 + the Manhattan
# distance of the child, weight 1 and one entry per step, Q* is A* and finds optimal lengths.
@pytest.mark.parametrize("mode", ["in_place", "new_slot"])
def test_q_star_with_an_exact_q_is_optimal(mode):
    for seed in range(6):
        start = state("puzzle8", 40, seed)
        result = qstar(start, duplicate_update_mode=mode)
        assert result["solved"] and len(result["moves"]) == qp.optimal_solution_length("puzzle8", start, 31)
        assert qp.is_solved("puzzle8", qp.apply_moves("puzzle8", start, result["moves"]))


# Catches: a setting of the A* solver that breaks Q*: every solution replays to the goal, a
# budget ends the search unsolved, a goal start returns no moves.
@pytest.mark.parametrize("env, depth, kw, expected", [
    ("puzzle8", 30, dict(batch=64, weight=0.6), "solved"),
    ("puzzle8", 30, dict(batch=7, goal_stop_mode="expand_popped_batch", hashtable_algorithm="linear_probing",
                         solution_move_source="stored"), "solved"),
    ("puzzle15", 60, dict(batch=100, weight=0.8, capacity_mode="fixed", initial_open_size=1 << 22,
                          initial_closed_size=1 << 20, initial_node_store_size=1 << 19), "solved"),
    ("puzzle15", 60, dict(batch=10, search_budget=50), "budget"),
    ("puzzle8", 0, dict(batch=4), "goal"),
])
def test_q_star_settings(env, depth, kw, expected):
    start = state(env, depth, 3)
    result = qstar(start, env, **kw)
    if expected == "budget":
        assert not result["solved"] and result["search_budget_exceeded"] and result["nodes_generated"] >= 50
        return
    assert result["solved"] and qp.is_solved(env, qp.apply_moves(env, start, result["moves"]))
    assert (result["moves"] == []) == (expected == "goal")


QSTAR_ERRORS = [
    # Catches: a value package taken by Q*, or Q*'s settings checked unlike the A* solver's.
    ({"package_path": VALUE["puzzle8"]}, ValueError, r"has 1 output\(s\) per state, but the search needs 4"),
    ({"batch": 0}, ValueError, "^batch_size must be positive$"),
    ({"weight": float("nan")}, ValueError, "^weight must be finite, got nan$"),
    ({"goal_stop_mode": "x"}, ValueError, "^goal_stop_mode must be"),
    ({"memory_dtype_parent_move": "uint8"}, ValueError, "requires a signed integer dtype"),
    ({"capacity_mode": "fixed", "initial_open_size": 2}, RuntimeError, r"^C\+\+ OPEN queue reached fixed capacity$"),
    ({"env": "No_Such"}, ValueError, r"^Unknown environment 'no_such' for the C\+\+ Q\* search solver"),
]


@pytest.mark.parametrize("overrides, error, match", QSTAR_ERRORS, ids=[str(e[0]) for e in QSTAR_ERRORS])
def test_q_star_bad_calls_raise(overrides, error, match):
    overrides = dict(overrides)
    env = overrides.pop("env", "puzzle8")
    with pytest.raises(error, match=match):
        qstar(state("puzzle8", 20, 1), env, **overrides)
