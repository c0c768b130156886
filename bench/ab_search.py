"""Compare two builds of the CPU search on the same solves, in one process each.

Solves 3 fixed 15-puzzle states (scrambled 60 moves) at batches 100, 1,000 and
10,000 with the exact Manhattan model after one warm-up solve, and prints per
batch: nodes generated, nodes per second and the summed CLOSED-filter seconds.
Give it the importable package folder of each build (for an older commit,
build it in a worktree or copy build/python aside first) and alternate the
runs: this 2-core machine's noise is larger than most single differences.

    ./dev run -- python3 bench/ab_search.py OLD_BUILD/python
    ./dev run -- python3 bench/ab_search.py build/python
"""
import json
import os
import sys

sys.path.insert(0, sys.argv[1] if len(sys.argv) > 1 else os.path.join("build", "python"))
import quelmar_cpp  # noqa: E402
import quelmar_puzzles  # noqa: E402

MODEL = os.path.join(os.environ.get("QUELMAR_BUILD_DIR", "build"), "models", "puzzle15_manhattan.pt2")


def main():
    quelmar_puzzles.register()
    quelmar_cpp.run_weighted_astar(quelmar_puzzles.goal_state("puzzle15"), "puzzle15", MODEL, 1.0, 1, "cpu")
    rows = {}
    for batch in (100, 1000, 10000):
        nodes = seconds = check = 0.0
        for seed in range(3):
            state = quelmar_puzzles.scramble("puzzle15", 60, seed)
            r = quelmar_cpp.run_weighted_astar(state, "puzzle15", MODEL, 1.0, batch, "cpu",
                                               operation_breakdown=True)
            nodes += r["nodes_generated"]
            seconds += r["solve_time"]
            check += r["operation_timings"]["check"]["total_seconds"]
        rows[batch] = {"nodes": int(nodes), "nodes_per_s": round(nodes / seconds),
                       "check_s": round(check, 3)}
    print(json.dumps({"build": sys.argv[1] if len(sys.argv) > 1 else "build/python", "batches": rows}))


if __name__ == "__main__":
    main()
