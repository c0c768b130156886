"""Solve example puzzles with the CPU solver: ``python3 -m quelmar_cpp.demo``.

Registers the example plug-in ``quelmar_puzzles``, reuses (or exports) the
reference heuristic models, solves a scrambled 15-puzzle with the exact
Manhattan-distance network and a short Rubik's cube scramble, replays each
solution to check it, and prints what the solver did.
"""
from __future__ import annotations

import argparse
import os
import sys


def _models_dir(path: str | None) -> str:
    if path:
        return path
    return os.path.join(os.environ.get("QUELMAR_BUILD_DIR", "build"), "models")


def _ensure_models(models: str, names: list[str]) -> None:
    files = {"puzzle15": "puzzle15_manhattan.pt2", "cube3": "cube3_misplaced.pt2"}
    missing = [n for n in names if not os.path.exists(os.path.join(models, files[n]))]
    if missing:
        from . import export

        print(f"exporting reference models {missing} into {models} ...", flush=True)
        export.main(["--out", models, "--only", *missing])


def _solve(env: str, package: str, depth: int, args) -> bool:
    import quelmar_puzzles

    from . import run_weighted_astar

    state = quelmar_puzzles.scramble(env, depth, args.seed)
    trace = {}
    if args.trace:
        trace = dict(profile_dir=os.path.dirname(os.path.abspath(args.trace)),
                     profile_run_id=f"{os.path.basename(args.trace)}_{env}", profile_trace=True)
    result = run_weighted_astar(state, env, package, args.weight, args.batch_size, "cpu",
                                print_internals=args.print_internals, **trace)
    print(f"\n{env}: scramble of {depth} moves (seed {args.seed}): {state.tolist()}")
    if not result["solved"]:
        print("  not solved")
        return False
    replay = quelmar_puzzles.apply_moves(env, state, result["moves"])
    verified = quelmar_puzzles.is_solved(env, replay)
    seconds = result["solve_time"]
    print(f"  moves:           {result['moves']}")
    print(f"  solution length: {len(result['moves'])} ({'verified' if verified else 'REPLAY FAILED'})")
    print(f"  nodes generated: {result['nodes_generated']}")
    print(f"  time:            {seconds:.4f} s")
    print(f"  nodes/second:    {result['nodes_generated'] / seconds if seconds > 0 else 0:.0f}")
    if args.trace:
        print(f"  trace:           {os.path.join(trace['profile_dir'], trace['profile_run_id'])}_trace.json")
    return verified


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Solve example puzzles with quelmar_cpp.")
    parser.add_argument("--weight", type=float, default=1.0, help="weighted A* weight (1 = optimal)")
    parser.add_argument("--batch-size", type=int, default=64, help="nodes expanded per iteration")
    parser.add_argument("--depth", type=int, default=40, help="15-puzzle scramble length")
    parser.add_argument("--cube-depth", type=int, default=5, help="cube scramble length")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--print-internals", action="store_true", help="per-iteration lines")
    parser.add_argument("--trace", metavar="PATH", help="write Chrome traces PATH_<env>_trace.json")
    parser.add_argument("--models", help="folder of the reference models (default: <build>/models)")
    args = parser.parse_args(argv)

    import quelmar_puzzles

    quelmar_puzzles.register()
    models = _models_dir(args.models)
    _ensure_models(models, ["puzzle15", "cube3"])
    ok = _solve("puzzle15", os.path.join(models, "puzzle15_manhattan.pt2"), args.depth, args)
    ok &= _solve("cube3", os.path.join(models, "cube3_misplaced.pt2"), args.cube_depth, args)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
