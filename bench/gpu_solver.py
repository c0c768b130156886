"""GPU solver benchmark: solves 15-puzzle instances with run_torch_gpu_astar and
prints nodes generated per second. Needs a CUDA device and models exported
for CUDA (python3 -m quelmar_cpp.export --device cuda --out DIR).

    python3 bench/gpu_solver.py --models DIR [--instances 4] [--batch 1024]
"""
import argparse
import os

import quelmar_cpp
import quelmar_puzzles


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--models", required=True)
    parser.add_argument("--instances", type=int, default=4)
    parser.add_argument("--depth", type=int, default=60)
    parser.add_argument("--batch", type=int, default=1024)
    parser.add_argument("--weight", type=float, default=0.8)
    args = parser.parse_args()
    quelmar_puzzles.register()
    package = os.path.join(args.models, "puzzle15_manhattan.pt2")
    quelmar_cpp.run_torch_gpu_astar(quelmar_puzzles.goal_state("puzzle15"), "puzzle15", package, 1.0, 1)
    nodes = seconds = 0.0
    for seed in range(args.instances):
        state = quelmar_puzzles.scramble("puzzle15", args.depth, seed=seed)
        r = quelmar_cpp.run_torch_gpu_astar(state, "puzzle15", package, args.weight, args.batch)
        ok = r["solved"] and quelmar_puzzles.is_solved(
            "puzzle15", quelmar_puzzles.apply_moves("puzzle15", state, r["moves"]))
        print(f"seed {seed}: length {len(r['moves'])} nodes {r['nodes_generated']} "
              f"time {r['solve_time']:.3f} s {'verified' if ok else 'NOT SOLVED'}", flush=True)
        nodes += r["nodes_generated"]
        seconds += r["solve_time"]
    print(f"total: {nodes / seconds:.0f} nodes generated/s (batch {args.batch}, weight {args.weight})")


if __name__ == "__main__":
    main()
