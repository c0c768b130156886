"""How good the heuristics of trained runs are, against optimal solution lengths.

    ./dev run -- python3 bench/heuristic_quality.py RUN_DIR... [--env puzzle8] [--states 200] [--depth 100]

For each folder written by ``python3 -m quelmar_cpp train`` (its model.pt and
train_log.json): the mean absolute error of the network's estimates against
the optimal lengths (the plug-in's IDA*, so sliding tiles only) of the same
scrambled states, the share of estimates that do not exceed the optimum, and
the trainer's check search with beams of 1 and 8 (solved, mean excess length
over the optimum of the solved states).
"""
import argparse
import json
import os

import numpy as np

import quelmar_puzzles as qp
from quelmar_cpp import train
from quelmar_cpp.train.data import network_values


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("runs", nargs="+", help="output folders of the trainer")
    parser.add_argument("--env", default="puzzle8")
    parser.add_argument("--states", type=int, default=200)
    parser.add_argument("--depth", type=int, default=100, help="scramble depth")
    args = parser.parse_args()
    qp.register()
    # Seeds apart from the trainer's checks (which derive theirs from the run's seed).
    starts = np.stack([qp.scramble(args.env, args.depth, 10_000 + i) for i in range(args.states)])
    optimal = np.array([qp.optimal_solution_length(args.env, s, 80) for s in starts])
    print(f"{args.states} {args.env} states scrambled {args.depth} moves, optimal length mean "
          f"{optimal.mean():.2f}")
    print(f"{'run':<12} {'steps':>6} {'refreshes':>9} {'MAE':>6} {'h<=opt':>7}   "
          f"{'beam 1':<20} {'beam 8':<20}")
    for run in args.runs:
        network = train.load_network(os.path.join(run, "model.pt"))
        log = json.load(open(os.path.join(run, "train_log.json"), encoding="utf-8"))
        estimates = network_values(network, args.env, starts)
        cells = []
        for beam in (1, 8):
            lengths = train.beam_search(network, args.env, starts, beam, 4 * args.depth)
            solved = [i for i, n in enumerate(lengths) if n is not None]
            excess = np.mean([lengths[i] - optimal[i] for i in solved]) if solved else float("nan")
            cells.append(f"{len(solved):>3}/{args.states} excess {excess:5.2f}")
        print(f"{os.path.basename(os.path.normpath(run)):<12} {log['step']:>6} "
              f"{len(log['target_refreshes']):>9} {np.abs(estimates - optimal).mean():6.2f} "
              f"{np.mean(estimates <= optimal + 1e-4):7.2f}   {cells[0]:<20} {cells[1]:<20}")


if __name__ == "__main__":
    main()
