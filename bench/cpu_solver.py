"""CPU solver benchmark on a fixed set of 15-puzzle instances.

Prints, per instance and in total: solution length, nodes generated, time,
nodes generated per second, the time of each operation (from the solver's
operation timings) and the peak resident memory growth per generated node.
Each instance runs in a fresh process so that peak memory is its own.

    ./dev run -- python3 bench/cpu_solver.py [--instances 6] [--depth 50] [--batch 64]
"""
import argparse
import json
import os
import resource
import subprocess
import sys

import numpy as np

OPERATIONS = ("pop", "is_solved", "expand", "check", "heuristic", "push", "iteration")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_one(args):
    import quelmar_cpp
    import quelmar_puzzles

    quelmar_puzzles.register()
    state = quelmar_puzzles.scramble("puzzle15", args.depth, seed=args.seed)
    # Warm up: loads the package and LibTorch's kernels before the baseline.
    quelmar_cpp.run_weighted_astar(quelmar_puzzles.goal_state("puzzle15"), "puzzle15",
                                   args.model, 1.0, 1, "cpu")
    baseline = rss_bytes()
    result = quelmar_cpp.run_weighted_astar(
        state, "puzzle15", args.model, args.weight, args.batch, "cpu", operation_breakdown=True)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    assert result["solved"], "benchmark instance not solved"
    replay = quelmar_puzzles.apply_moves("puzzle15", state, result["moves"])
    assert quelmar_puzzles.is_solved("puzzle15", replay), "solution does not replay"
    print(json.dumps({
        "seed": args.seed, "length": len(result["moves"]),
        "nodes": result["nodes_generated"], "seconds": result["solve_time"],
        "bytes_per_node": max(peak - baseline, 0) / max(result["nodes_generated"], 1),
        "ops": {k: v["total_seconds"] for k, v in result["operation_timings"].items()},
    }))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    build = os.environ.get("QUELMAR_BUILD_DIR", "build")
    parser.add_argument("--model", default=os.path.join(build, "models", "puzzle15_manhattan.pt2"))
    parser.add_argument("--instances", type=int, default=6)
    parser.add_argument("--depth", type=int, default=50, help="scramble length")
    parser.add_argument("--batch", type=int, default=64)
    parser.add_argument("--weight", type=float, default=1.0)
    parser.add_argument("--seed", type=int, default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.seed is not None:
        run_one(args)
        return

    rows = []
    for seed in range(args.instances):
        out = subprocess.run(
            [sys.executable, __file__, "--seed", str(seed), "--model", args.model,
             "--depth", str(args.depth), "--batch", str(args.batch), "--weight", str(args.weight)],
            check=True, capture_output=True, text=True).stdout
        rows.append(json.loads(out.strip().splitlines()[-1]))
        r = rows[-1]
        print(f"seed {seed}: length {r['length']:3d}  nodes {r['nodes']:9d}  "
              f"time {r['seconds']:7.3f} s  {r['nodes'] / r['seconds']:10.0f} nodes/s  "
              f"{r['bytes_per_node']:6.0f} B/node", flush=True)

    nodes = sum(r["nodes"] for r in rows)
    seconds = sum(r["seconds"] for r in rows)
    print(f"\ntotal: {nodes} nodes in {seconds:.3f} s = {nodes / seconds:.0f} nodes generated/s "
          f"(batch {args.batch}, weight {args.weight}, OMP threads "
          f"{os.environ.get('OMP_NUM_THREADS', 'default')})")
    print(f"peak memory growth per generated node: median "
          f"{np.median([r['bytes_per_node'] for r in rows]):.0f} B")
    print("time per operation (s, summed over instances):")
    for op in OPERATIONS:
        total = sum(r["ops"][op] for r in rows)
        print(f"  {op:10s} {total:8.3f}  ({100 * total / seconds:5.1f} %)")


if __name__ == "__main__":
    main()
