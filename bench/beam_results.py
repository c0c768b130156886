"""Moves and node counts of the beam searches on a fixed set of cubes and 15-puzzles.

Records, or checks a build against, the moves and nodes_generated of the beam
search for fixed random cubes (the shipped learned model) and scrambled
15-puzzles (the Manhattan model) at a few widths. A change meant to leave
the search as it is must leave every entry identical.

    ./dev run -- python3 bench/beam_results.py --record bench/results/beam_search.json
    ./dev run -- python3 bench/beam_results.py --check bench/results/beam_search.json
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import time

import numpy as np

import quelmar_cpp
import quelmar_puzzles

MODELS = os.path.join(os.environ.get("QUELMAR_BUILD_DIR", "build"), "models")

# (domain, model, scramble depth, seeds, widths, max steps)
INSTANCES = [
    ("cube3", "cube3_learned.pt2", 1000, range(1, 6), (256, 1024), 60),
    ("puzzle15", "puzzle15_manhattan.pt2", 200, range(1, 4), (10, 1000), 200),
    ("puzzle8", "puzzle8_manhattan.pt2", 30, range(1, 4), (1, 3), 100),
]


def cases():
    for domain, model, depth, seeds, widths, steps in INSTANCES:
        for seed in seeds:
            for width in widths:
                yield f"{domain}/d{depth}/s{seed}/w{width}", domain, model, depth, seed, width, steps


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    what = parser.add_mutually_exclusive_group(required=True)
    what.add_argument("--record", metavar="FILE")
    what.add_argument("--check", metavar="FILE")
    args = parser.parse_args(argv)
    quelmar_puzzles.register()

    results = {}
    start = time.perf_counter()
    for key, domain, model, depth, seed, width, steps in cases():
        state = np.asarray(quelmar_puzzles.scramble(domain, depth, seed=seed), dtype=np.uint8)
        r = quelmar_cpp.run_beam_search(state, domain, os.path.join(MODELS, model), width, steps)
        results[key] = [r["moves"], r["nodes_generated"], r["solved"]]
    seconds = time.perf_counter() - start

    grid = json.dumps(INSTANCES, default=list)
    if args.record:
        os.makedirs(os.path.dirname(args.record) or ".", exist_ok=True)
        with open(args.record, "w") as f:
            json.dump({"grid": grid, "results": results}, f, separators=(",", ":"))
            f.write("\n")
        print(f"recorded {len(results)} results in {seconds:.1f} s into {args.record}")
        return 0
    with open(args.check) as f:
        recorded = json.load(f)
    if recorded["grid"] != grid:
        print("the case grid has changed since the record was made; record again first")
        return 1
    differing = [k for k, r in results.items() if recorded["results"].get(k) != r]
    for key in differing[:20]:
        e, r = recorded["results"][key], results[key]
        print(f"DIFFERS {key}: recorded {e[1]} nodes / {len(e[0])} moves, "
              f"now {r[1]} nodes / {len(r[0])} moves")
    print(f"{len(results)} results in {seconds:.1f} s: {len(differing)} differ from the record")
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
