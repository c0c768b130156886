"""run_weighted_astar: the Python surface of the CPU solver, end to end."""
import collections
import json
import re
import os
import threading
import time

import numpy as np
import pytest

import quelmar_cpp
import quelmar_puzzles
from quelmar_cpp import _backend_impl

MODELS = os.path.join(os.environ.get("QUELMAR_BUILD_DIR", "build"), "models")
P8 = os.path.join(MODELS, "puzzle8_manhattan.pt2")
P15 = os.path.join(MODELS, "puzzle15_manhattan.pt2")
CUBE = os.path.join(MODELS, "cube3_misplaced.pt2")


@pytest.fixture(scope="module", autouse=True)
def registered():
    quelmar_puzzles.register()
    import _faulty_envs

    _faulty_envs.register(quelmar_cpp.environment_registrar_capsule())


def solve(state, env="puzzle15", package=P15, weight=1.0, batch_size=8, device="cpu", **kw):
    return quelmar_cpp.run_weighted_astar(
        np.asarray(state, dtype=np.uint8), env, package, weight, batch_size, device, **kw)


def replays_to_goal(env, state, moves):
    return quelmar_puzzles.is_solved(env, quelmar_puzzles.apply_moves(env, state, moves))


# -- independent oracle: breadth-first distances of the 8-puzzle -----------------------------

def _neighbours(state):
    blank = state.index(0)
    r, c = divmod(blank, 3)
    for dr, dc in ((-1, 0), (1, 0), (0, -1), (0, 1)):
        nr, nc = r + dr, c + dc
        if 0 <= nr < 3 and 0 <= nc < 3:
            s = list(state)
            t = nr * 3 + nc
            s[blank], s[t] = s[t], s[blank]
            yield tuple(s)


@pytest.fixture(scope="module")
def bfs8():
    goal = (1, 2, 3, 4, 5, 6, 7, 8, 0)
    dist = {goal: 0}
    frontier = collections.deque([goal])
    while frontier:
        s = frontier.popleft()
        for n in _neighbours(s):
            if n not in dist:
                dist[n] = dist[s] + 1
                frontier.append(n)
    return dist


# -- argument handling -------------------------------------------------------------------------

def test_module_surface():
    assert _backend_impl.__doc__ == "Quelmar C++ backend bindings"
    assert quelmar_cpp.run_weighted_astar is _backend_impl.run_weighted_astar
    sig = _backend_impl.run_weighted_astar.__nb_signature__[0][0]
    assert sig.startswith("def run_weighted_astar(state: ndarray[dtype=uint8, shape=(*), order='C', device='cpu'], env: str")
    assert sig.endswith("memory_dtype_total_cost: str = \\26) -> dict")
    doc = _backend_impl.run_weighted_astar.__nb_signature__[0][1]
    assert doc.lstrip("\n").startswith("        Solve a single puzzle state via weighted A* search.\n\n        Args:\n"
                          "            state: Contiguous CPU uint8 tensor with shape `(state_dim,)`.\n")
    assert doc.endswith("            RuntimeError: If the C++ solver cannot initialize or complete.\n      ")
    assert doc.count("\n            ") == 33 + 2 + 2


@pytest.mark.parametrize("state", [
    np.zeros(9, dtype=np.int64),
    np.zeros((3, 3), dtype=np.uint8),
    np.zeros(18, dtype=np.uint8)[::2],
    [1, 2, 3],
])
def test_state_must_be_contiguous_1d_uint8(state):
    with pytest.raises(TypeError):
        quelmar_cpp.run_weighted_astar(state, "puzzle8", P8, 1.0, 1, "cpu")


@pytest.mark.parametrize("overrides", [
    {"print_internals": 1},
    {"batch_size": 1.0},
    {"batch_size": 2**31},
    {"search_budget": 2**63},
    {"weight": "1"},
])
def test_argument_types_are_strict(overrides):
    args = dict(state=quelmar_puzzles.goal_state("puzzle8"), env="puzzle8", package_path=P8,
                weight=1.0, batch_size=1, device="cpu")
    args.update(overrides)
    with pytest.raises(TypeError):
        quelmar_cpp.run_weighted_astar(**args)


def test_device_has_no_default():
    with pytest.raises(TypeError):
        quelmar_cpp.run_weighted_astar(quelmar_puzzles.goal_state("puzzle8"), "puzzle8", P8, 1.0, 1)


@pytest.mark.parametrize("state,batch,message", [
    (np.zeros(0, dtype=np.uint8), 0, "batch_size must be positive"),
    (np.zeros(9, dtype=np.uint8), -3, "batch_size must be positive"),
    (np.zeros(0, dtype=np.uint8), 1, "State payload must contain at least one entry"),
])
def test_binding_checks(state, batch, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        quelmar_cpp.run_weighted_astar(state, "puzzle8", P8, 1.0, batch, "cpu")


def test_state_is_read_from_a_sliced_view():
    goal = quelmar_puzzles.goal_state("puzzle8")
    padded = np.concatenate([np.full(5, 77, dtype=np.uint8), goal])
    view = padded[5:]  # a view with a byte offset into its buffer
    result = solve(view, "puzzle8", P8)
    assert result["solved"] and result["moves"] == []


def test_validation_order_and_messages():
    goal = quelmar_puzzles.goal_state("puzzle8")
    with pytest.raises(ValueError, match="^solution_move_source must be 'infer' or 'stored'$"):
        solve(goal, "puzzle8", P8, solution_move_source="x", capacity_mode="y")
    with pytest.raises(ValueError, match="memory_dtype_open_cost, received 'float16'"):
        solve(goal, "puzzle8", P8, memory_dtype_open_cost="float16", solution_move_source="x")
    with pytest.raises(ValueError, match="^C\\+\\+ CPU A\\* requires a signed integer dtype for "
                                         "memory_dtype_parent_move, received 'uint8'$"):
        solve(goal, "puzzle8", P8, memory_dtype_parent_move="uint8")
    with pytest.raises(ValueError, match="^search_budget must be non-negative$"):
        solve(goal, "puzzle8", P8, search_budget=-1)
    with pytest.raises(ValueError, match="^hash_capacity_factor must be greater than 1.0$"):
        solve(goal, "puzzle8", P8, hash_capacity_factor=1.0)
    for name in ("initial_open_size", "initial_node_store_size", "initial_closed_size"):
        with pytest.raises(ValueError, match=f"^{name} must be non-negative$"):
            solve(goal, "puzzle8", P8, **{name: -1})
    # The OPEN hint is checked before the node-store hint, which comes before CLOSED's.
    with pytest.raises(ValueError, match="^initial_open_size"):
        solve(goal, "puzzle8", P8, initial_open_size=-1, initial_node_store_size=-1)
    with pytest.raises(ValueError, match="^initial_node_store_size"):
        solve(goal, "puzzle8", P8, initial_closed_size=-1, initial_node_store_size=-1)


def test_unknown_environment_is_reported_before_the_package_is_read():
    with pytest.raises(ValueError, match="^Unknown environment 'no_such' for the C\\+\\+ parallel weighted A\\* solver"):
        solve([1, 2, 3], "No_Such", "/nonexistent/model.pt2")
    with pytest.raises(RuntimeError, match="^Unable to open AOTI manifest at /nonexistent/model.pt2.json$"):
        solve(quelmar_puzzles.goal_state("puzzle8"), "PUZZLE8", "/nonexistent/model.pt2")


def test_environment_input_size_must_match_the_manifest():
    with pytest.raises(RuntimeError, match="^Environment/network input size mismatch with manifest metadata$"):
        solve(quelmar_puzzles.goal_state("puzzle15"), "puzzle15", P8)


def test_manifest_env_warning(capfd):
    solve(quelmar_puzzles.goal_state("puzzle8"), "Puzzle8", P8)
    assert capfd.readouterr().err == ""
    result = solve(quelmar_puzzles.goal_state("puzzle8"), "dead_end", P8)
    err = capfd.readouterr().err
    assert err == "[WARN] AOTI manifest env 'puzzle8' differs from requested 'dead_end'\n"
    assert result["solved"]


# -- results -----------------------------------------------------------------------------------

def test_result_keys_and_operation_timings():
    state = quelmar_puzzles.scramble("puzzle8", 12, seed=3)
    plain = solve(state, "puzzle8", P8)
    assert list(plain) == ["moves", "nodes_generated", "solve_time", "solved", "search_budget_exceeded"]
    timed = solve(state, "puzzle8", P8, operation_breakdown=True)
    assert list(timed)[-1] == "operation_timings"
    ops = timed["operation_timings"]
    assert list(ops) == ["pop", "is_solved", "expand", "check", "heuristic", "push", "iteration"]
    for entry in ops.values():
        assert list(entry) == ["total_seconds", "core_seconds", "misc_seconds", "call_count"]
        assert entry["total_seconds"] >= 0 and entry["misc_seconds"] >= 0
    iterations = ops["iteration"]["call_count"]
    assert iterations >= 1 and ops["pop"]["call_count"] == iterations
    # The start node counts once for goal tests and for the heuristic.
    assert ops["is_solved"]["call_count"] == 1 + ops["expand"]["call_count"]
    assert timed["moves"] == plain["moves"]


def test_start_state_that_is_a_goal():
    result = solve(quelmar_puzzles.goal_state("puzzle15"), operation_breakdown=True)
    assert result["solved"] and result["moves"] == [] and result["nodes_generated"] == 0
    ops = result["operation_timings"]
    assert ops["is_solved"]["call_count"] == 1 and ops["heuristic"]["call_count"] == 1
    assert all(ops[k]["call_count"] == 0 for k in ("pop", "expand", "check", "push", "iteration"))


def test_optimal_lengths_on_the_8_puzzle(bfs8):
    rng = np.random.default_rng(5)
    states = list(bfs8)
    for index in rng.choice(len(states), size=25, replace=False):
        state = np.array(states[index], dtype=np.uint8)
        result = solve(state, "puzzle8", P8, batch_size=1)
        assert result["solved"]
        assert len(result["moves"]) == bfs8[states[index]]
        assert replays_to_goal("puzzle8", state, result["moves"])


def test_optimal_lengths_on_the_15_puzzle():
    for seed in range(4):
        state = quelmar_puzzles.scramble("puzzle15", 40, seed=100 + seed)
        optimal = quelmar_puzzles.optimal_solution_length("puzzle15", state, 40)
        result = solve(state, batch_size=1)
        assert len(result["moves"]) == optimal
        assert replays_to_goal("puzzle15", state, result["moves"])


@pytest.mark.parametrize("source", ["infer", "stored"])
@pytest.mark.parametrize("duplicates", ["in_place", "new_slot"])
@pytest.mark.parametrize("goal_stop", ["stop_before_goal", "expand_popped_batch"])
@pytest.mark.parametrize("probing", ["linear_probing", "python_dict"])
def test_every_mode_solves_and_replays(source, duplicates, goal_stop, probing):
    state = quelmar_puzzles.scramble("puzzle15", 30, seed=9)
    result = solve(state, batch_size=16, weight=0.8, solution_move_source=source,
                   duplicate_update_mode=duplicates, goal_stop_mode=goal_stop,
                   hashtable_algorithm=probing)
    assert result["solved"] and not result["search_budget_exceeded"]
    assert replays_to_goal("puzzle15", state, result["moves"])


@pytest.mark.parametrize("widths", [
    {"memory_dtype_heuristic": "float64"},
    {"memory_dtype_open_cost": "float64", "memory_dtype_total_cost": "float64"},
    {name: "float64" for name in ("memory_dtype_path_cost", "memory_dtype_heuristic",
                                  "memory_dtype_total_cost", "memory_dtype_open_cost",
                                  "memory_dtype_closed_cost")},
])
def test_float_widths_give_optimal_solutions(widths):
    state = quelmar_puzzles.scramble("puzzle15", 30, seed=21)
    optimal = quelmar_puzzles.optimal_solution_length("puzzle15", state, 40)
    result = solve(state, batch_size=1, **widths)
    assert len(result["moves"]) == optimal


def test_cube_solves_a_short_scramble():
    state = quelmar_puzzles.scramble("cube3", 4, seed=2)
    result = solve(state, "cube3", CUBE, batch_size=64)
    assert result["solved"] and len(result["moves"]) <= 4
    assert replays_to_goal("cube3", state, result["moves"])


def test_search_budget():
    state = quelmar_puzzles.scramble("puzzle15", 40, seed=4)
    capped = solve(state, search_budget=1)
    assert capped == {**capped, "solved": False, "search_budget_exceeded": True, "moves": []}
    assert 1 <= capped["nodes_generated"] <= 8 * 4
    larger = solve(state, search_budget=200)
    assert larger["search_budget_exceeded"] and 200 <= larger["nodes_generated"] < 200 + 8 * 4
    free = solve(state, search_budget=0)
    assert free["solved"] and not free["search_budget_exceeded"]
    # Reaching the budget in the iteration that pops the goal still counts as solved:
    # the first iteration generates the start's four children, the second pops the goal.
    near = quelmar_puzzles.scramble("puzzle8", 1, seed=0)
    result = solve(near, "puzzle8", P8, batch_size=4, search_budget=5,
                   goal_stop_mode="expand_popped_batch")
    assert result["solved"] is True and result["search_budget_exceeded"] is False


def test_goal_stop_modes():
    # One move from the goal, batch 8: the goal child is popped in the second iteration
    # together with its siblings.
    state = quelmar_puzzles.scramble("puzzle8", 1, seed=0)
    stop = solve(state, "puzzle8", P8, batch_size=8)
    expand = solve(state, "puzzle8", P8, batch_size=8, goal_stop_mode="expand_popped_batch")
    assert stop["moves"] == expand["moves"] and len(stop["moves"]) == 1
    assert expand["nodes_generated"] > stop["nodes_generated"]
    # A goal start with expand_popped_batch: the start is scored as a goal before the loop.
    goal = solve(quelmar_puzzles.goal_state("puzzle8"), "puzzle8", P8,
                 goal_stop_mode="expand_popped_batch")
    assert goal["nodes_generated"] == 0


@pytest.mark.parametrize("setting,message", [
    ({"initial_node_store_size": 1}, "C++ node store reached fixed capacity"),
    ({"initial_open_size": 1}, "C++ OPEN queue reached fixed capacity"),
    ({"initial_closed_size": 1}, "C++ CLOSED state table reached fixed capacity"),
    ({"initial_closed_size": 16}, "C++ CLOSED state table reached fixed capacity"),
])
def test_fixed_capacities(setting, message):
    state = quelmar_puzzles.scramble("puzzle15", 30, seed=8)
    with pytest.raises(RuntimeError, match=f"^{re.escape(message)}$"):
        solve(state, capacity_mode="fixed", **setting)
    # The same sizes grow in adaptive mode.
    assert solve(state, capacity_mode="adaptive", **setting)["solved"]


def test_print_internals(capfd):
    state = quelmar_puzzles.scramble("puzzle8", 6, seed=1)
    result = solve(state, "puzzle8", P8, batch_size=2, print_internals=True)
    out = capfd.readouterr().out
    times = [l for l in out.split("\n") if l.startswith("Times - pop: ")]
    itrs = [l for l in out.split("\n") if l.startswith("Itr: ")]
    assert len(times) >= 1 and len(itrs) <= len(times)
    assert itrs[0].startswith("Itr: 0, Added to OPEN - Min/Max Heur(PathCost): ")
    assert itrs[0].endswith(" ")
    assert "\n\n" in out and result["solved"]
    solve(state, "puzzle8", P8, batch_size=2)
    assert capfd.readouterr().out == ""


def test_profiling_artifacts(tmp_path):
    state = quelmar_puzzles.scramble("puzzle8", 8, seed=2)
    solve(state, "puzzle8", P8, profile_dir=str(tmp_path / "p"), profile_trace=True,
          profile_summary=True)
    trace = json.loads((tmp_path / "p" / "cpp_pwas_trace.json").read_text())
    names = {event["name"] for event in trace["traceEvents"]}
    assert {"pwas.total", "pwas.pop_from_open", "pwas.expand", "pwas.heuristic_infer"} <= names
    assert trace["displayTimeUnit"] == "ms"
    summary = (tmp_path / "p" / "cpp_pwas_summary.txt").read_text().split("\n")
    assert summary[0] == "Phase                       Count    Avg ms    Max ms    Total ms"
    assert summary[1] == "-" * 65
    solve(state, "puzzle8", P8, profile_dir=str(tmp_path / "q"), profile_summary=True,
          profile_run_id="mine")
    assert sorted(os.listdir(tmp_path / "q")) == ["mine_summary.txt"]
    solve(state, "puzzle8", P8, profile_dir=str(tmp_path / "r"))
    assert not (tmp_path / "r").exists()


# -- faults of plug-ins ------------------------------------------------------------------------

@pytest.mark.parametrize("env,error,message", [
    ("faulty_expand", RuntimeError, "^injected expand failure$"),
    ("faulty_is_solved", RuntimeError, "^injected is_solved failure$"),
    ("null_successor", RuntimeError, "null successor"),
    ("null_factory", RuntimeError, "returned no environment"),
    ("wrong_next_state", RuntimeError,
     "^Unable to infer a valid move between adjacent C\\+\\+ path states$"),
])
def test_plugin_faults_become_exceptions(env, error, message):
    state = quelmar_puzzles.scramble("puzzle8", 6, seed=1)
    with pytest.raises(error, match=message):
        solve(state, env, P8, batch_size=4)


def test_dead_ends_and_stored_moves_with_a_lying_next_state():
    state = quelmar_puzzles.scramble("puzzle8", 6, seed=1)
    dead = solve(state, "dead_end", P8)
    assert dead == {**dead, "solved": False, "moves": [], "search_budget_exceeded": False,
                    "nodes_generated": 0}
    stored = solve(state, "wrong_next_state", P8, solution_move_source="stored")
    assert replays_to_goal("puzzle8", state, stored["moves"])


# -- threads -----------------------------------------------------------------------------------

def test_concurrent_solves_match_sequential_ones():
    states = [quelmar_puzzles.scramble("puzzle15", 30, seed=s) for s in range(8)]
    sequential = [solve(s, batch_size=4)["moves"] for s in states]
    results = [None] * len(states)

    def worker(i):
        results[i] = solve(states[i], batch_size=4)["moves"]

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(states))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == sequential


def test_interpreter_stays_responsive_during_a_solve():
    state = quelmar_puzzles.scramble("puzzle15", 60, seed=12)
    done = threading.Event()
    ticks = 0

    def worker():
        solve(state, batch_size=1, weight=1.0, search_budget=30000)
        done.set()

    thread = threading.Thread(target=worker)
    thread.start()
    while not done.is_set():
        ticks += 1
        time.sleep(0.001)
    thread.join()
    assert ticks > 5
