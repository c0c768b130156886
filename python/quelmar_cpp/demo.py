"""Solve example puzzles with the CPU solvers: ``python3 -m quelmar_cpp.demo``.

Registers the example plug-in ``quelmar_puzzles``, reuses (or exports) the
heuristic models, solves a scrambled 15-puzzle by weighted A* with the exact
Manhattan-distance network and a randomly scrambled Rubik's cube by beam
search with the shipped trained network (cube3_learned), replays each
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
    files = {"puzzle15": "puzzle15_manhattan.pt2"}
    missing = [n for n in names if not os.path.exists(os.path.join(models, files[n]))]
    if missing:
        from . import export

        print(f"exporting reference models {missing} into {models} ...", flush=True)
        export.main(["--out", models, "--only", *missing])


def _shipped_model(models: str) -> str:
    """The trained cube package, exported from the source tree's models/ when missing."""
    package = os.path.join(models, "cube3_learned.pt2")
    if not os.path.exists(package):
        source = os.path.join(os.path.dirname(__file__), "..", "..", "models", "cube3_learned")
        if not os.path.exists(os.path.join(source, "model.pt")):
            raise SystemExit(f"{package} is missing; build the project (it exports it)")
        from . import export

        print(f"exporting the trained cube model into {models} ...", flush=True)
        export.main(["--out", models, "--learned", source])
    return package


# The width bench/learned.py found to meet the cube targets on two cores.
BEAM_WIDTH = 4096
# Quarter turns of the cube plug-in: move 2f turns face f clockwise, 2f+1 back.
CUBE_MOVES = [f + turn for f in "URFDLB" for turn in ("", "'")]


def _solve(env: str, package: str, depth: int, args) -> bool:
    import quelmar_puzzles

    from . import run_beam_search, run_weighted_astar

    state = quelmar_puzzles.scramble(env, depth, args.seed)
    trace = {}
    if args.trace:
        trace = dict(profile_dir=os.path.dirname(os.path.abspath(args.trace)),
                     profile_run_id=f"{os.path.basename(args.trace)}_{env}", profile_trace=True)
    if env == "cube3":
        how = f"beam search, width {args.beam_width}, trained network"
        result = run_beam_search(state, env, package, args.beam_width, args.max_steps, "cpu",
                                 print_internals=args.print_internals, **trace)
    else:
        how = f"weighted A*, weight {args.weight}, Manhattan network"
        result = run_weighted_astar(state, env, package, args.weight, args.batch_size, "cpu",
                                    print_internals=args.print_internals, **trace)
    print(f"\n{env}: scramble of {depth} moves (seed {args.seed}), {how}")
    print(f"  start state:     {state.tolist()}")
    if not result["solved"]:
        print("  not solved")
        return False
    replay = quelmar_puzzles.apply_moves(env, state, result["moves"])
    verified = quelmar_puzzles.is_solved(env, replay)
    seconds = result["solve_time"]
    names = CUBE_MOVES if env == "cube3" else ["up", "down", "left", "right"]
    print(f"  moves:           {' '.join(names[m] for m in result['moves'])}")
    print(f"  replayed state:  {replay.tolist()}")
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
    parser.add_argument("--cube-depth", type=int, default=1000, help="cube scramble length")
    parser.add_argument("--beam-width", type=int, default=BEAM_WIDTH, help="cube beam width")
    parser.add_argument("--max-steps", type=int, default=100, help="cube beam steps at most")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--print-internals", action="store_true", help="per-iteration lines")
    parser.add_argument("--trace", metavar="PATH", help="write Chrome traces PATH_<env>_trace.json")
    parser.add_argument("--models", help="folder of the reference models (default: <build>/models)")
    args = parser.parse_args(argv)

    import quelmar_puzzles

    quelmar_puzzles.register()
    models = _models_dir(args.models)
    _ensure_models(models, ["puzzle15"])
    ok = _solve("puzzle15", os.path.join(models, "puzzle15_manhattan.pt2"), args.depth, args)
    ok &= _solve("cube3", _shipped_model(models), args.cube_depth, args)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
