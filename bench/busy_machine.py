"""Searches on a shared machine: alone, and beside one and two busy processes.

    ./dev run -- python3 bench/busy_machine.py [--loads 0,1,2] [--threads 1,2,default]
        [--workloads astar100,astar10000,beam,astar_cube,helpers,train] [--python DIR]
        [--baseline DIR] [--json FILE]

Each measurement runs in a fresh process (libgomp reads OMP_NUM_THREADS when
the backend loads) beside LOAD busy-looping processes that this script starts
before and stops after. Threads: "1" and "2" set OMP_NUM_THREADS, "default"
leaves it unset (the backend's own choice). --python DIR measures another
build's packages (its build/python); --baseline DIR adds a second build,
measured with its default threads beside the same load, side by side.

Workloads (rates are per second of the solvers' solve_time, the helpers' and
the trainer's wall time):
  astar100, astar10000  weighted A* (weight 1) with the exact Manhattan model on
                        two hard 15-puzzle states, batch 100 / 10,000, capped at
                        a node budget: nodes generated per second
  beam                  beam search (width 1024) on a random cube with the
                        shipped learned model: nodes per second
  astar_cube            weighted A* (weight 0.6, batch 1,000) with the learned
                        cube model, capped at 60,000 nodes: nodes per second
  helpers               expand_states, goal_flags and network_inputs on 50,000
                        cube states in slices of 10,000, as the trainer calls
                        them: states per second
  train                 the trainer on the 8-puzzle (Bellman targets, default
                        network, batch 1000) for 60 steps: states per second
For the A* rows the child also reports the parallel loops' regions per
iteration and the seconds the caller waited at their joins (builds that have
the counters), and the phases' share of the time (operation timings).
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("QUELMAR_BUILD_DIR", "build")
# Plug-in scrambles of 1000 moves whose weight-1 Manhattan searches generate
# millions of nodes (bench/cheap_heuristic.py): the budget ends them.
HARD_SEEDS = (14, 31)
WORKLOADS = ("astar100", "astar10000", "beam", "astar_cube", "helpers", "train")
PHASES = ("pop", "is_solved", "expand", "check", "heuristic", "push")

CHILD = r"""
import json, os, sys, time
import quelmar_cpp, quelmar_puzzles as qp
from quelmar_cpp import _research_impl as backend
qp.register()
workload, build = sys.argv[1], sys.argv[2]
stats = getattr(backend, "_parallel_stats", None)
out = {}

def searches(run, states):
    run(states[0], budget=1000)                      # warm-up: package load, first kernels
    if stats: stats(True)
    nodes = seconds = iterations = 0
    phases = {}
    for state in states:
        r = run(state)
        nodes += r["nodes_generated"]; seconds += r["solve_time"]
        timings = r.get("operation_timings", {})
        iterations += timings.get("iteration", {}).get("call_count", 0)
        for k, v in timings.items():
            phases[k] = phases.get(k, 0) + v["total_seconds"]
    out.update(rate=nodes / seconds, seconds=seconds, iterations=iterations,
               phases={k: v / seconds for k, v in phases.items()})

if workload in ("astar100", "astar10000"):
    model = os.path.join(build, "models", "puzzle15_manhattan.pt2")
    batch, budget = (100, 200_000) if workload == "astar100" else (10_000, 600_000)
    states = [qp.scramble("puzzle15", 1000, s) for s in (14, 31)]
    searches(lambda s, budget=budget: quelmar_cpp.run_weighted_astar(
        s, "puzzle15", model, 1.0, batch, "cpu", search_budget=budget, operation_breakdown=True), states)
elif workload == "astar_cube":
    model = os.path.join(build, "models", "cube3_learned.pt2")
    states = [qp.scramble("cube3", 1000, 1_000_000 + i) for i in range(1)]
    searches(lambda s, budget=60_000: quelmar_cpp.run_weighted_astar(
        s, "cube3", model, 0.6, 1000, "cpu", search_budget=budget, operation_breakdown=True), states)
elif workload == "beam":
    model = os.path.join(build, "models", "cube3_learned.pt2")
    states = [qp.scramble("cube3", 1000, 1_000_000 + i) for i in range(1)]
    searches(lambda s, budget=None: quelmar_cpp.run_beam_search(
        s, "cube3", model, 1024, 1 if budget else 1000, operation_breakdown=True), states)
elif workload == "helpers":
    import numpy as np
    goal = qp.goal_state("cube3")
    states, _ = quelmar_cpp.random_walks("cube3", goal, 50_000, 26, 1)
    quelmar_cpp.expand_states("cube3", states[:100])
    if stats: stats(True)
    start = time.perf_counter()
    for i in range(0, len(states), 10_000):
        part = np.ascontiguousarray(states[i:i + 10_000])
        children = quelmar_cpp.expand_states("cube3", part)
        flat = np.ascontiguousarray(children.reshape(-1, children.shape[-1]))
        quelmar_cpp.goal_flags("cube3", flat)
        quelmar_cpp.network_inputs("cube3", part)
    seconds = time.perf_counter() - start
    out.update(rate=len(states) / seconds, seconds=seconds)
if stats:
    out["stats"] = stats(False)
print(json.dumps(out))
"""


def run_child(workload: str, threads: str, python_dir: str, build: str) -> dict:
    env = {k: v for k, v in os.environ.items() if k not in ("OMP_NUM_THREADS", "QUELMAR_THREADS")}
    env["PYTHONPATH"] = python_dir
    if threads != "default":
        env["OMP_NUM_THREADS"] = threads
    if workload == "train":
        with tempfile.TemporaryDirectory() as tmp:
            command = [sys.executable, "-m", "quelmar_cpp", "train", "--env", "puzzle8", "--out",
                       os.path.join(tmp, "run"), "--steps", "60", "--no-export", "--eval-states", "0",
                       "--quiet", "--seed", "1"]
            start = time.perf_counter()
            subprocess.run(command, env=env, check=True, capture_output=True, text=True)
            with open(os.path.join(tmp, "run", "train_log.json")) as f:
                log = json.load(f)
            # Steps times batch over the training loop's wall time.
            return {"rate": log["states_per_s"], "seconds": time.perf_counter() - start}
    done = subprocess.run([sys.executable, "-c", CHILD, workload, build], env=env, check=True,
                          capture_output=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def start_busy(count: int) -> list[subprocess.Popen]:
    return [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(count)]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--loads", default="0,1,2", help="busy processes beside the searches")
    parser.add_argument("--threads", default="1,2,default", help="OpenMP thread counts, or default")
    parser.add_argument("--workloads", default=",".join(WORKLOADS))
    parser.add_argument("--python", default=os.path.join(BUILD, "python"),
                        help="the build's python folder to measure (default: <build>/python)")
    parser.add_argument("--baseline", metavar="DIR",
                        help="another build's python folder, measured with its default threads beside "
                             "the same load (e.g. a copy of an earlier build/python)")
    parser.add_argument("--repeat", type=int, default=1,
                        help="measurements per setting, interleaved; the tables show the median rate")
    parser.add_argument("--json", help="append the measurements to this file (JSON lines)")
    args = parser.parse_args()
    loads = [int(x) for x in args.loads.split(",")]
    threads = args.threads.split(",")
    workloads = args.workloads.split(",")
    builds = [("this", os.path.abspath(args.python), threads)]
    if args.baseline:
        builds.insert(0, ("baseline", os.path.abspath(args.baseline), ["default"]))
    print(f"{os.cpu_count()} CPUs; rates in thousands per second (nodes, or states for helpers and train)",
          flush=True)
    results = {}
    started = time.perf_counter()
    for load in loads:
        busy = start_busy(load)
        try:
            time.sleep(0.5)
            for _ in range(args.repeat):
                for workload in workloads:
                    for label, python_dir, counts in builds:
                        for t in counts:
                            r = run_child(workload, t, python_dir, os.path.dirname(python_dir))
                            results.setdefault((load, workload, label, t), []).append(r)
                            if args.json:
                                with open(args.json, "a") as f:
                                    f.write(json.dumps({"build": label, "load": load, "workload": workload,
                                                        "threads": t, **r}) + "\n")
        finally:
            for p in busy:
                p.kill()
                p.wait()
    # The measurement of median rate stands for each setting.
    results = {k: sorted(runs, key=lambda r: r["rate"])[len(runs) // 2] for k, runs in results.items()}
    # A row per workload and load, a column per build and thread setting.
    columns = [(label, t) for label, _, counts in builds for t in counts]
    names = [("baseline" if label == "baseline" else t) for label, t in columns]
    ratios = "default/best" + ("  default/baseline" if args.baseline else "")
    print(f"\n{'workload':<12} {'busy':>4} " + " ".join(f"{n:>9}" for n in names) + f"   {ratios}")
    for workload in workloads:
        for load in loads:
            rates = {c: results[(load, workload) + c]["rate"] for c in columns}
            fixed = [rates["this", t] for t in threads if t != "default"]
            line = f"{workload:<12} {load:>4} " + " ".join(f"{rates[c] / 1e3:9.1f}" for c in columns)
            if ("this", "default") in rates and fixed:
                line += f"   {rates['this', 'default'] / max(fixed):12.2f}"
                if args.baseline:
                    line += f"  {rates['this', 'default'] / rates['baseline', 'default']:17.2f}"
            print(line)
    # Where the A* time goes, and what the joins cost (this build).
    print(f"\n{'workload':<12} {'busy':>4} {'threads':>8} {'regions/it':>10} {'join wait':>10} "
          + " ".join(f"{p:>9}" for p in PHASES))
    for workload in workloads:
        for load in loads:
            for t in threads:
                r = results[load, workload, "this", t]
                if "phases" not in r:
                    continue
                stats = r.get("stats")
                per_it = f"{stats['regions'] / max(r['iterations'], 1):10.1f}" if stats else f"{'-':>10}"
                wait = f"{100 * stats['join_wait_seconds'] / r['seconds']:9.1f}%" if stats else f"{'-':>10}"
                print(f"{workload:<12} {load:>4} {t:>8} {per_it} {wait} "
                      + " ".join(f"{100 * r['phases'].get(p, 0):8.1f}%" for p in PHASES))
    print(f"\n({time.perf_counter() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
