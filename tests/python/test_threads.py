"""How many threads the CPU searches take (affinity masks, OMP_NUM_THREADS, other busy
processes), and that their results do not depend on it while the machine is busy."""
import json
import os
import subprocess
import sys

import pytest

MODELS = os.path.join(os.environ.get("QUELMAR_BUILD_DIR", "build"), "models")

# Prints the team a search started now would get, after applying an affinity mask.
RULE_SCRIPT = """
import json, os, sys
if sys.argv[1] == "one":
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
from quelmar_cpp import _research_impl
print(_research_impl._search_threads())
"""

SEARCH_SCRIPT = """
import json, sys
import quelmar_cpp, quelmar_puzzles as qp
qp.register()
models = json.loads(sys.argv[1])
out = []
for seed in (1, 2):
    # Few iterations: with more threads than CPUs each join may wait a time slice.
    for env, batch in (("puzzle8", 20), ("puzzle15", 3000)):
        state = qp.scramble(env, 40, seed=seed)
        r = quelmar_cpp.run_weighted_astar(state, env, models[env], 1.0, batch, "cpu")
        out.append([r["moves"], r["nodes_generated"]])
    r = quelmar_cpp.run_beam_search(state, "puzzle15", models["puzzle15"], 300, 200)
    out.append([r["moves"], r["nodes_generated"]])
cube = qp.scramble("cube3", 6, seed=4)
r = quelmar_cpp.run_beam_search(cube, "cube3", models["cube3"], 200, 100)
out.append([r["moves"], r["nodes_generated"]])
walks, lengths = quelmar_cpp.random_walks("cube3", qp.goal_state("cube3"), 2000, 20, 7, no_return=True)
out.append([walks.sum().item(), quelmar_cpp.expand_states("cube3", walks).sum().item(),
            quelmar_cpp.network_inputs("cube3", walks).sum().item()])
print(json.dumps(out))
"""


def run_python(script, *args, threads=None, own=None):
    env = {k: v for k, v in os.environ.items() if k not in ("OMP_NUM_THREADS", "QUELMAR_THREADS")}
    if threads is not None:
        env["OMP_NUM_THREADS"] = threads
    if own is not None:
        env["QUELMAR_THREADS"] = own
    done = subprocess.run([sys.executable, "-c", script, *args], env=env, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


@pytest.fixture
def busy_processes():
    """Starts busy-looping processes on request; stops them at the end of the test."""
    started = []

    def start(count):
        started.extend(subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(count))
        # Running before the measurement's first sample.
        subprocess.run([sys.executable, "-c", "pass"], check=True)
    yield start
    for process in started:
        process.kill()
        process.wait()


# Catches: a team larger than the CPUs the process may use, an OMP_NUM_THREADS that the rule
# overrides, a count of 0.
@pytest.mark.parametrize("mask, threads, own, expected", [
    ("one", None, None, 1),       # one CPU in the mask: one thread, however many the machine has
    ("one", "3", None, 3),        # the user's count is kept as given
    ("all", "1", None, 1),
    ("all", "5", None, 5),
    ("all", "1", "4", 4),         # the project's own variable first
    ("one", "3", "auto", 1),      # "auto": the rule, whatever OMP_NUM_THREADS says (Dask workers)
    ("one", None, "many", 1),     # not a count: ignored
])
def test_team_size_follows_the_mask_and_the_override(mask, threads, own, expected):
    assert run_python(RULE_SCRIPT, mask, threads=threads, own=own) == expected


# Catches: worker processes (or any other busy process) that each still start a team per CPU.
def test_team_size_leaves_the_cpus_busy_processes_use(busy_processes):
    cpus = len(os.sched_getaffinity(0))
    alone = run_python(RULE_SCRIPT, "all")
    assert 1 <= alone <= cpus
    busy = min(cpus, 4)  # enough to show the rule without flooding a large machine
    busy_processes(busy)
    # However busy the machine was before, these processes now keep `busy` of its CPUs.
    online = os.cpu_count()
    assert run_python(RULE_SCRIPT, "all") <= max(1, min(cpus, online - busy))


# Catches: results that change with the team size, or with a team whose members another process
# keeps waiting (the searches and the batch helpers).
def test_results_equal_for_any_thread_count_beside_a_busy_process(busy_processes):
    models = json.dumps({"puzzle8": os.path.join(MODELS, "puzzle8_manhattan.pt2"),
                         "puzzle15": os.path.join(MODELS, "puzzle15_manhattan.pt2"),
                         "cube3": os.path.join(MODELS, "cube3_misplaced.pt2")})
    busy_processes(1)
    runs = {threads: run_python(SEARCH_SCRIPT, models, threads=threads) for threads in ("1", "2", "4", None)}
    first = runs["1"]
    assert all(run == first for run in runs.values()), {k: v[:2] for k, v in runs.items()}
    assert all(nodes > 0 for _, nodes in first[:-1])
