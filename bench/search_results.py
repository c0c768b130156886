"""Moves and node counts of the CPU solver over every result-affecting setting.

Records, for a fixed set of instances, the moves and nodes_generated of
run_weighted_astar under every combination of the settings that can change
a result (move source, duplicate mode, probing, goal stop mode, the five
float storage widths, batch sizes, weights), or checks a build against such
a record. A change meant to make the search faster must leave every entry
identical.

    ./dev run -- python3 bench/search_results.py --record bench/results/cpu_search.json
    ./dev run -- python3 bench/search_results.py --check bench/results/cpu_search.json
"""
from __future__ import annotations

import argparse
import itertools
import json
import os
import sys
import time

import numpy as np

import quelmar_cpp
import quelmar_puzzles

MODELS = os.path.join(os.environ.get("QUELMAR_BUILD_DIR", "build"), "models")

MODES = {
    "solution_move_source": ("infer", "stored"),
    "duplicate_update_mode": ("in_place", "new_slot"),
    "hashtable_algorithm": ("linear_probing", "python_dict"),
    "goal_stop_mode": ("stop_before_goal", "expand_popped_batch"),
}
FLOAT_FIELDS = ("memory_dtype_path_cost", "memory_dtype_heuristic", "memory_dtype_total_cost",
                "memory_dtype_open_cost", "memory_dtype_closed_cost")

# (domain, model, scramble depth, seeds, batch sizes, weights, every float width?)
INSTANCES = [
    ("puzzle8", "puzzle8_manhattan.pt2", 30, range(1, 5), (1, 7, 100), (1.0, 0.6), True),
    ("puzzle15", "puzzle15_manhattan.pt2", 40, range(1, 3), (10, 1000), (1.0, 0.6), False),
    ("cube3", "cube3_misplaced.pt2", 5, range(1, 3), (50, 1000), (1.0,), False),
]


def cases():
    for domain, model, depth, seeds, batches, weights, all_widths in INSTANCES:
        widths = itertools.product(("float32", "float64"), repeat=len(FLOAT_FIELDS)) \
            if all_widths else [("float32",) * len(FLOAT_FIELDS)]
        widths = list(widths)
        for seed in seeds:
            for batch, weight, modes, width in itertools.product(
                    batches, weights, itertools.product(*MODES.values()), widths):
                settings = dict(zip(MODES, modes)) | dict(zip(FLOAT_FIELDS, width))
                key = (f"{domain}/d{depth}/s{seed}/b{batch}/w{weight}/" +
                       "/".join(modes) + "/" + "".join("d" if w == "float64" else "f" for w in width))
                yield key, domain, model, depth, seed, batch, weight, settings


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    what = parser.add_mutually_exclusive_group(required=True)
    what.add_argument("--record", metavar="FILE")
    what.add_argument("--check", metavar="FILE")
    args = parser.parse_args(argv)
    quelmar_puzzles.register()

    results = {}
    start = time.perf_counter()
    for key, domain, model, depth, seed, batch, weight, settings in cases():
        state = np.asarray(quelmar_puzzles.scramble(domain, depth, seed=seed), dtype=np.uint8)
        r = quelmar_cpp.run_weighted_astar(state, domain, os.path.join(MODELS, model), weight,
                                           batch, "cpu", **settings)
        results[key] = [r["moves"], r["nodes_generated"]]
    seconds = time.perf_counter() - start

    # Compact record: the distinct results once, then one index per case in
    # the fixed case order; the grid text says which cases those are.
    grid = json.dumps([INSTANCES, MODES, FLOAT_FIELDS], default=list)
    if args.record:
        values, index, order = [], {}, []
        for key, value in results.items():
            text = json.dumps(value)
            if text not in index:
                index[text] = len(values)
                values.append(value)
            order.append(index[text])
        os.makedirs(os.path.dirname(args.record) or ".", exist_ok=True)
        with open(args.record, "w") as f:
            json.dump({"grid": grid, "values": values,
                       "cases": " ".join(map(str, order))}, f, separators=(",", ":"))
            f.write("\n")
        print(f"recorded {len(results)} results ({len(values)} distinct) in {seconds:.1f} s "
              f"into {args.record}")
        return 0
    with open(args.check) as f:
        recorded = json.load(f)
    if recorded["grid"] != grid:
        print("the case grid has changed since the record was made; record again first")
        return 1
    expected = [recorded["values"][int(i)] for i in recorded["cases"].split()]
    if len(expected) != len(results):
        print(f"record holds {len(expected)} cases, this run {len(results)}")
        return 1
    differing = [(k, e, r) for (k, r), e in zip(results.items(), expected) if r != e]
    for key, e, r in differing[:20]:
        print(f"DIFFERS {key}: recorded {e[1]} nodes / {len(e[0])} moves, "
              f"now {r[1]} nodes / {len(r[0])} moves")
    print(f"{len(results)} results in {seconds:.1f} s: {len(differing)} differ from the record")
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
