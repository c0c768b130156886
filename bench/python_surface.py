"""Prints the solver functions' Python surface: signatures, docstrings and the
messages of bad settings, so two builds can be compared byte for byte.

    ./dev run -- python3 bench/python_surface.py > surface.txt
"""
import os

import numpy as np

import quelmar_cpp
import quelmar_puzzles

MODEL = os.path.join(os.environ.get("QUELMAR_BUILD_DIR", "build"), "models", "puzzle8_manhattan.pt2")
BAD = [  # one bad value per setting that is validated
    ("solution_move_source", "x"), ("duplicate_update_mode", "x"), ("hashtable_algorithm", "Linear_Probing"),
    ("goal_stop_mode", "x"), ("capacity_mode", "x"), ("hash_capacity_factor", 1.0),
    ("hash_capacity_factor", float("inf")), ("weight", float("nan")), ("search_budget", -1),
    ("initial_open_size", -1), ("initial_closed_size", -1), ("initial_node_store_size", -1),
    ("memory_dtype_parent_move", "uint8"), ("memory_dtype_open_cost", "float16"),
    ("memory_dtype_node_state", "INT64"), ("device", "tpu"), ("device", "cuda:x"),
    ("batch_size", 0),
]


def main():
    quelmar_puzzles.register()
    state = quelmar_puzzles.scramble("puzzle8", 10, 1)
    for func in (quelmar_cpp.run_weighted_astar, quelmar_cpp.run_torch_gpu_astar):
        print(func.__name__, repr(func.__doc__))
        print(func.__name__, getattr(func, "__nb_signature__", None))
        for name, value in BAD:
            kwargs = {"weight": 1.0, "batch_size": 4, name: value}
            if func is quelmar_cpp.run_weighted_astar:
                kwargs.setdefault("device", "cpu")
            try:
                func(state, "puzzle8", MODEL, **kwargs)
                print(func.__name__, name, "accepted")
            except Exception as exc:  # the message is what is compared
                print(func.__name__, name, type(exc).__name__, exc)


if __name__ == "__main__":
    main()
