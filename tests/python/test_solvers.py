"""The Python surface of both solvers: arguments, errors, result dicts, output, threads.
Search correctness in every mode is covered against both solvers by the C++ tests; the
GPU solver's device check and GPU search are in test_gpu_solver.py."""
import json
import os
import re
import threading
import time

import numpy as np
import pytest

import quelmar_cpp
import quelmar_puzzles as qp

MODELS = os.path.join(os.environ.get("QUELMAR_BUILD_DIR", "build"), "models")
P8, P15, CUBE = (os.path.join(MODELS, name) for name in
                 ("puzzle8_manhattan.pt2", "puzzle15_manhattan.pt2", "cube3_misplaced.pt2"))
CPU, GPU = quelmar_cpp.run_weighted_astar, quelmar_cpp.run_torch_gpu_astar
HARD8 = [8, 6, 7, 2, 5, 4, 3, 0, 1]  # one of the two 8-puzzle states 31 moves from the goal


@pytest.fixture(scope="module", autouse=True)
def registered():
    qp.register()
    import _faulty_envs

    _faulty_envs.register(quelmar_cpp.environment_registrar_capsule())


def solve(state, env="puzzle8", package=P8, weight=1.0, batch_size=8, **kw):
    return CPU(np.asarray(state, dtype=np.uint8), env, package, weight, batch_size, "cpu", **kw)


def replays(env, state, moves):
    return qp.is_solved(env, qp.apply_moves(env, state, moves))


# -- the two modules ---------------------------------------------------------------------------

def _public(module):
    return sorted(name for name in vars(module) if not name.startswith("_"))


# Catches: an addition leaking into the specified module, a solver row naming a function its
# module lacks, or quelmar_cpp re-exporting another object than the module's.
def test_modules_and_solver_table():
    from quelmar_cpp import _backend_impl, _research_impl

    assert _public(_backend_impl) == ["environment_registrar_capsule", "run_torch_gpu_astar",
                                      "run_weighted_astar"]
    assert _backend_impl.__doc__ == "Quelmar C++ backend bindings"
    solvers = _research_impl._solvers()
    assert [s["name"] for s in solvers][:3] == ["cpu", "gpu", "beam"]
    for solver in solvers:
        module = {"quelmar_cpp._backend_impl": _backend_impl,
                  "quelmar_cpp._research_impl": _research_impl}[solver["module"]]
        assert getattr(quelmar_cpp, solver["function"]) is getattr(module, solver["function"])
    for name in quelmar_cpp.__all__[:-1]:
        owner = _backend_impl if hasattr(_backend_impl, name) else _research_impl
        assert getattr(quelmar_cpp, name) is getattr(owner, name)
    # Every settings entry is keyed by a solver of the table.
    names = {s["name"] for s in solvers}
    assert all(set(spec["solvers"]) <= names for spec in _research_impl._search_settings())


# Catches: each module holding its own copy of the core: a package loaded by the backend's
# solver unseen by the research module's cache, or an environment registered through the
# backend's capsule unknown to the research module's solvers and helpers.
def test_modules_share_one_core():
    from quelmar_cpp import _research_impl

    solve(HARD8)
    assert _research_impl._cached_model_packages() >= 1
    # dead_end: registered by the test plug-in through the backend's capsule only.
    states = np.zeros((1, 9), np.uint8)
    states[0] = HARD8
    assert _research_impl.goal_flags("dead_end", states).tolist() == [False]
    result = _research_impl.run_beam_search(np.asarray(HARD8, np.uint8), "dead_end", P8, 10, 10)
    assert not result["solved"]


# -- arguments and errors ----------------------------------------------------------------------

# Catches: a parameter missing from, or out of order in, a solver's docstring.
@pytest.mark.parametrize("solver", [CPU, GPU, quelmar_cpp.run_beam_search, quelmar_cpp.run_q_beam_search,
                                    quelmar_cpp.run_q_star_search],
                         ids=["cpu", "gpu", "beam", "qbeam", "qstar"])
def test_every_parameter_is_documented_in_order(solver):
    signature, doc, _ = solver.__nb_signature__[0]
    args = doc.split("Args:")[1].split("Returns:")[0]
    assert re.findall(r"^ {12}(\w+): \S", args, re.M) == re.findall(r"[(,] ?(\w+): ", signature)


BOTH, CPU_ONLY = (CPU, GPU), (CPU,)
INCOMPATIBLE = "incompatible function arguments"
ERRORS = [
    # Catches: the binding converting what it must refuse (dtype, shape, stride, list,
    # int as bool, float as int, narrowing) or a default for the CPU solver's device.
    *[(BOTH, {"state": state}, TypeError, INCOMPATIBLE) for state in (
        np.zeros(9, np.int64), np.zeros((3, 3), np.uint8), np.zeros(18, np.uint8)[::2], [1, 2, 3])],
    *[(BOTH, {name: value}, TypeError, INCOMPATIBLE) for name, value in (
        ("print_internals", 1), ("batch_size", 1.0), ("batch_size", 2**31),
        ("search_budget", 2**63), ("weight", "1"))],
    (CPU_ONLY, {"device": None}, TypeError, INCOMPATIBLE),  # None leaves the argument out
    # Catches: the binding's own checks missing or run after the settings and the device.
    (BOTH, {"state": np.zeros(0, np.uint8), "batch_size": 0}, ValueError, "^batch_size must be positive$"),
    (BOTH, {"batch_size": -3}, ValueError, "^batch_size must be positive$"),
    (BOTH, {"state": np.zeros(0, np.uint8)}, ValueError, "^State payload must contain at least one entry$"),
    # Catches: settings left unchecked, checked after the device, or not in their fixed order.
    (BOTH, {"solution_move_source": "x", "capacity_mode": "y"}, ValueError,
     "^solution_move_source must be 'infer' or 'stored'$"),
    (BOTH, {"search_budget": -1}, ValueError, "^search_budget must be non-negative$"),
    (BOTH, {"hash_capacity_factor": 1.0}, ValueError, "^hash_capacity_factor must be greater than 1.0$"),
    (BOTH, {"hash_capacity_factor": float("nan")}, ValueError, "^hash_capacity_factor must be greater"),
    (BOTH, {"hash_capacity_factor": float("inf")}, ValueError, "^hash_capacity_factor must be finite, got inf$"),
    *[(BOTH, {"weight": float(w)}, ValueError, f"^weight must be finite, got {w}$") for w in ("nan", "inf", "-inf")],
    (CPU_ONLY, {"memory_dtype_open_cost": "float16", "solution_move_source": "x"}, ValueError,
     "memory_dtype_open_cost, received 'float16'"),
    (CPU_ONLY, {"memory_dtype_parent_move": "uint8"}, ValueError, r"^C\+\+ CPU A\* requires a signed "
     "integer dtype for memory_dtype_parent_move, received 'uint8'$"),
    *[(CPU_ONLY, {name: -1}, ValueError, f"^{name} must be non-negative$")
      for name in ("initial_open_size", "initial_node_store_size", "initial_closed_size")],
    (CPU_ONLY, {"initial_open_size": -1, "initial_node_store_size": -1}, ValueError, "^initial_open_size"),
    (CPU_ONLY, {"initial_closed_size": -1, "initial_node_store_size": -1}, ValueError, "^initial_node_store"),
    # Catches: the environment looked up after the package is read, names compared with case,
    # a network of the wrong input size accepted.
    (CPU_ONLY, {"env": "No_Such", "package_path": "/nonexistent/model.pt2"}, ValueError,
     r"^Unknown environment 'no_such' for the C\+\+ parallel weighted A\* solver"),
    (CPU_ONLY, {"env": "PUZZLE8", "package_path": "/nonexistent/model.pt2"}, RuntimeError,
     "^Unable to open AOTI manifest at /nonexistent/model.pt2.json$"),
    (CPU_ONLY, {"env": "puzzle15", "state": qp.goal_state("puzzle15")}, RuntimeError,
     "^Environment/network input size mismatch with manifest metadata$"),
    # Catches: a fixed capacity that grows, overflows or fails silently.
    *[(CPU_ONLY, {"capacity_mode": "fixed", setting: size}, RuntimeError, rf"^C\+\+ {name} reached fixed capacity$")
      for setting, size, name in (("initial_node_store_size", 1, "node store"), ("initial_open_size", 1, "OPEN queue"),
                                  ("initial_closed_size", 1, "CLOSED state table"),
                                  ("initial_closed_size", 16, "CLOSED state table"))],
    # Catches: a plug-in fault crashing the process or reported as an unsolved search.
    *[(CPU_ONLY, {"env": env}, RuntimeError, message) for env, message in (
        ("faulty_expand", "^injected expand failure$"), ("faulty_is_solved", "^injected is_solved failure$"),
        ("null_successor", "null successor"), ("null_factory", "returned no environment"),
        ("wrong_next_state", r"^Unable to infer a valid move between adjacent C\+\+ path states$"),
        # Catches: network rows sized by the manifest overrun by a state whose plug-in reports more.
        ("varying_input", r"^Environment input_size\(\) \d+ of a generated state differs from the network's 81$"))],
]


@pytest.mark.parametrize("solver, overrides, error, match",
                         [(solver, *case) for solvers, *case in ERRORS for solver in solvers],
                         ids=lambda v: getattr(v, "__name__", None))
def test_bad_calls_raise(solver, overrides, error, match):
    args = dict(state=qp.scramble("puzzle8", 20, seed=4), env="puzzle8", package_path=P8,
                weight=1.0, batch_size=8, **({"device": "cpu"} if solver is CPU else {}))
    args.update(overrides)
    with pytest.raises(error, match=match):
        solver(**{name: value for name, value in args.items() if value is not None})


# Catches: a spurious or missing warning when the manifest's environment differs from the request.
def test_manifest_environment_warning(capfd):
    solve(qp.goal_state("puzzle8"), "Puzzle8")
    assert capfd.readouterr().err == ""
    assert solve(qp.goal_state("puzzle8"), "dead_end")["solved"]
    assert capfd.readouterr().err == "[WARN] AOTI manifest env 'puzzle8' differs from requested 'dead_end'\n"


# -- results -----------------------------------------------------------------------------------

KEYS = ["moves", "nodes_generated", "solve_time", "solved", "search_budget_exceeded"]
OPERATIONS = ["pop", "is_solved", "expand", "check", "heuristic", "push", "iteration"]


# Catches: result keys or the timing breakdown changing shape, counts taken outside the loop,
# a state view's byte offset ignored.
def test_result_dicts():
    view = np.concatenate([np.full(5, 77, np.uint8), qp.goal_state("puzzle8")])[5:]
    goal = solve(view, operation_breakdown=True)
    assert list(goal) == KEYS + ["operation_timings"] and list(goal["operation_timings"]) == OPERATIONS
    assert (goal["solved"], goal["moves"], goal["nodes_generated"]) == (True, [], 0)
    assert [entry["call_count"] for entry in goal["operation_timings"].values()] == [0, 1, 0, 0, 1, 0, 0]
    state = qp.scramble("puzzle8", 12, seed=3)
    plain, timed = solve(state), solve(state, operation_breakdown=True)
    assert list(plain) == KEYS and timed["moves"] == plain["moves"]
    for entry in timed["operation_timings"].values():
        assert list(entry) == ["total_seconds", "core_seconds", "misc_seconds", "call_count"]
        assert entry["total_seconds"] >= 0 and entry["misc_seconds"] >= 0 and entry["call_count"] >= 1


# Catches: a string option or storage width lost between Python and the search, or one
# that costs optimality; OPEN, CLOSED (python_dict too) or the node store not growing
# from one slot.
@pytest.mark.parametrize("options", [
    {"solution_move_source": "stored", "duplicate_update_mode": "new_slot",
     "hashtable_algorithm": "python_dict", "goal_stop_mode": "expand_popped_batch"},
    {**{f"memory_dtype_{name}": "float64" for name in ("path_cost", "heuristic", "total_cost", "open_cost",
                                                       "closed_cost")},
     "memory_dtype_parent_index": "int32", "memory_dtype_node_state": "uint16"},
    *[{"initial_open_size": 1, "initial_closed_size": 1, "initial_node_store_size": 1, "hashtable_algorithm": h}
      for h in ("linear_probing", "python_dict")],
])
def test_options_reach_the_search_and_keep_it_optimal(options):
    for state in [qp.scramble("puzzle8", depth, seed=depth) for depth in (5, 12, 20, 40, 60)]:
        result = solve(state, batch_size=1, **options)
        assert len(result["moves"]) == qp.optimal_solution_length("puzzle8", state, 31)
        assert replays("puzzle8", state, result["moves"])


# Catches: the budget ignored, overshot by more than a batch or flagged wrongly; the goal
# popped in the budget's last iteration reported as a failure; goal_stop_mode not reaching
# the search (one move away, the goal is popped with siblings only expand_popped_batch expands).
def test_search_budget_and_goal_stop_mode():
    capped = solve(HARD8, search_budget=1)
    assert capped == {**capped, "solved": False, "search_budget_exceeded": True, "moves": []}
    larger = solve(HARD8, search_budget=200)
    assert larger["search_budget_exceeded"] and 200 <= larger["nodes_generated"] < 200 + 8 * 4
    assert not solve(HARD8, search_budget=0)["search_budget_exceeded"]
    near = qp.scramble("puzzle8", 1, seed=0)
    stop, expand = solve(near), solve(near, goal_stop_mode="expand_popped_batch")
    assert stop["moves"] == expand["moves"] and expand["nodes_generated"] > stop["nodes_generated"]
    last = solve(near, batch_size=4, search_budget=5, goal_stop_mode="expand_popped_batch")
    assert last["solved"] is True and last["search_budget_exceeded"] is False


# Catches: a dead end reported as solved or as an error; stored moves not used when
# the plug-in's next_state lies.
def test_dead_ends_and_stored_moves():
    state = qp.scramble("puzzle8", 6, seed=1)
    dead = solve(state, "dead_end")
    assert dead == {**dead, "solved": False, "moves": [], "search_budget_exceeded": False, "nodes_generated": 0}
    assert replays("puzzle8", state, solve(state, "wrong_next_state", solution_move_source="stored")["moves"])


# -- output and profiling ----------------------------------------------------------------------

# Catches: internals or profiling artifacts missing, misnamed or empty when asked for, or
# written when not.
def test_internals_and_profiling_artifacts(tmp_path, capfd):
    state = qp.scramble("puzzle8", 8, seed=2)
    solve(state, batch_size=2, print_internals=True)
    out = "\n" + capfd.readouterr().out
    assert "\nTimes - pop: " in out and "\nItr: 0, Added to OPEN - Min/Max Heur(PathCost): " in out
    solve(state, profile_dir=str(tmp_path / "p"), profile_trace=True, profile_summary=True)
    trace = json.loads((tmp_path / "p" / "cpp_pwas_trace.json").read_text())
    names = {event["name"] for event in trace["traceEvents"]}
    assert {"pwas.total", "pwas.pop_from_open", "pwas.expand", "pwas.heuristic_infer"} <= names
    assert (tmp_path / "p" / "cpp_pwas_summary.txt").read_text().startswith("Phase ")
    solve(state, profile_dir=str(tmp_path / "q"), profile_summary=True, profile_run_id="mine")
    assert os.listdir(tmp_path / "q") == ["mine_summary.txt"]
    solve(state, profile_dir=str(tmp_path / "r"))
    assert not (tmp_path / "r").exists() and capfd.readouterr().out == ""


# -- threads -----------------------------------------------------------------------------------

# Catches: shared packages, registries or caches racing between threads, for several
# environments and packages at once (the cube among them); repeated solves differing.
def test_concurrent_solves_match_sequential_ones():
    jobs = [(qp.scramble("puzzle8", 25, seed=s), "puzzle8", P8, 1.0, 8) for s in range(3)]
    jobs += [(qp.scramble("puzzle15", 30, seed=s), "puzzle15", P15, 1.0, 4) for s in range(2)]
    jobs += [(qp.scramble("cube3", 4, seed=2), "cube3", CUBE, 1.0, 64)]
    runs = lambda job: [(r["moves"], r["nodes_generated"]) for r in (solve(*job) for _ in range(2))]
    expected = [runs(job) for job in jobs]
    assert all(replays(env, state, done[0][0]) for (state, env, *_), done in zip(jobs, expected))
    results = [None] * len(jobs)
    threads = [threading.Thread(target=lambda i=i: results.__setitem__(i, runs(jobs[i]))) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == expected


# Catches: a solve holding the GIL. The solve waits at a gate that only this thread,
# running Python code, can open; a solve holding the GIL would wait out its time instead.
def test_interpreter_stays_responsive_during_a_solve():
    import _faulty_envs

    _faulty_envs.close_gate()
    thread = threading.Thread(target=solve, args=(qp.scramble("puzzle8", 10, seed=3), "gated", P8, 1.0, 1))
    thread.start()
    while not _faulty_envs.waiting_at_gate() and thread.is_alive():
        time.sleep(0.001)
    _faulty_envs.open_gate()
    thread.join()
    assert _faulty_envs.gate_opened_in_time()
