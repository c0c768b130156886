"""Beam search at several widths against weighted A* (weight 1, which the exact
Manhattan-distance model makes optimal) on the same scrambled 15-puzzle states.

    ./dev run -- python3 bench/beam_search.py [--states 50] [--depth 40] [--widths 1,10,100,1000]

Lengths are over solved states; nodes and time are means over all states.
"""
import argparse
import os
import statistics
import time

import quelmar_cpp
import quelmar_puzzles as qp

MODEL = os.path.join(os.environ.get("QUELMAR_BUILD_DIR", "build"), "models", "puzzle15_manhattan.pt2")


def summary(label, results, optimal, seconds):
    solved = [(r, o) for r, o in zip(results, optimal) if r["solved"]]
    excess = [len(r["moves"]) - o for r, o in solved]
    mean = lambda values: statistics.mean(values) if values else float("nan")
    print(f"{label:<14} {len(solved):>4}/{len(results):<4} {mean([len(r['moves']) for r, _ in solved]):8.2f} "
          f"{mean(excess):7.2f} {mean([r['nodes_generated'] for r in results]):12,.0f} "
          f"{seconds / len(results):9.4f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--states", type=int, default=50)
    parser.add_argument("--depth", type=int, default=40)
    parser.add_argument("--widths", default="1,10,100,1000")
    parser.add_argument("--max-steps", type=int, default=1000)
    args = parser.parse_args()
    qp.register()
    states = [qp.scramble("puzzle15", args.depth, seed=i) for i in range(args.states)]
    print(f"{args.states} 15-puzzle states scrambled {args.depth} moves, OpenMP threads: "
          f"{os.environ.get('OMP_NUM_THREADS', 'shared by load')}")
    print(f"{'solver':<14} {'solved':>9} {'length':>8} {'excess':>7} {'nodes':>12} {'time (s)':>9}")
    start = time.perf_counter()
    astar = [quelmar_cpp.run_weighted_astar(s, "puzzle15", MODEL, 1.0, 64, "cpu") for s in states]
    seconds = time.perf_counter() - start
    optimal = [len(r["moves"]) for r in astar]
    summary("A* weight 1", astar, optimal, seconds)
    for width in (int(w) for w in args.widths.split(",")):
        start = time.perf_counter()
        results = [quelmar_cpp.run_beam_search(s, "puzzle15", MODEL, width, args.max_steps) for s in states]
        summary(f"beam {width}", results, optimal, time.perf_counter() - start)


if __name__ == "__main__":
    main()
