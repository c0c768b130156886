"""Solve example puzzles with the CPU solvers: ``python3 -m quelmar_cpp.demo``.

Registers the example plug-in ``quelmar_puzzles``, reuses (or exports) the
heuristic models, solves a scrambled 15-puzzle by weighted A* with the exact
Manhattan-distance network and a randomly scrambled Rubik's cube with the
shipped trained networks (by default the Q-beam over cube3_q, in bfloat16 where
the CPU computes it natively), replays each solution to check it, and prints
what each solver used and did.
"""
from __future__ import annotations

import argparse
import functools
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


def _shipped_model(models: str, name: str, precision: str) -> str:
    """The package of the trained model `name` in `precision`, exported from the source tree's
    models/<name> when missing."""
    package = os.path.join(models, f"{name}_bf16.pt2" if precision == "bfloat16" else f"{name}.pt2")
    if not os.path.exists(package):
        source = os.path.join(os.path.dirname(__file__), "..", "..", "models", name)
        if not os.path.exists(os.path.join(source, "model.pt")):
            raise SystemExit(f"{package} is missing; build the project (it exports it)")
        from . import export

        print(f"exporting the trained model {name} ({precision}) into {models} ...", flush=True)
        export.main(["--out", models, "--learned", source, "--precision", precision])
    return package


# The cube's solvers: --cube-solver -> (function, shipped model, default width, description).
# The widths: the fastest configurations bench/learned.py (table 4) measured near the shortest
# solutions each reaches on two cores.
CUBE_SOLVERS = {
    "qbeam": ("run_q_beam_search", "cube3_q", 16384, "Q-beam search (one network row per beam state)"),
    "beam": ("run_beam_search", "cube3_learned", 4096, "beam search (one network row per child)"),
}
CUBE_SOLVER = "qbeam"
# Quarter turns of the cube plug-in: move 2f turns face f clockwise, 2f+1 back.
CUBE_MOVES = [f + turn for f in "URFDLB" for turn in ("", "'")]


def _solve(env: str, package: str, depth: int, how: str, search, args) -> bool:
    """Scrambles `env`, solves it with ``search(state, env, package, **options)``, replays the
    solution and prints what happened; True when the replay reaches the goal."""
    import quelmar_puzzles

    from . import _research_impl

    state = quelmar_puzzles.scramble(env, depth, args.seed)
    trace = {}
    if args.trace:
        trace = dict(profile_dir=os.path.dirname(os.path.abspath(args.trace)),
                     profile_run_id=f"{os.path.basename(args.trace)}_{env}", profile_trace=True)
    _research_impl._network_rows(reset=True)
    result = search(state, env, package, print_internals=args.print_internals, **trace)
    rows = _research_impl._network_rows()
    print(f"\n{env}: scramble of {depth} moves (seed {args.seed}), {how}")
    print(f"  model package:   {package}")
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
    print(f"  network rows:    {rows}")
    print(f"  time:            {seconds:.4f} s")
    print(f"  nodes/second:    {result['nodes_generated'] / seconds if seconds > 0 else 0:.0f}")
    if args.trace:
        print(f"  trace:           {os.path.join(trace['profile_dir'], trace['profile_run_id'])}_trace.json")
    return verified


def _cube_precision(asked: str) -> tuple[str, str]:
    """The precision of the cube's package and why it was chosen."""
    from . import _research_impl

    native = bool(_research_impl._native_bfloat16())
    if asked != "auto":
        note = "" if asked == "float32" or native else ", not native on this CPU: slow"
        return asked, f"{asked} (asked{note})"
    if native:
        return "bfloat16", "bfloat16 (this CPU computes it natively)"
    return "float32", "float32 (this CPU has no native bfloat16)"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Solve example puzzles with quelmar_cpp.")
    parser.add_argument("--weight", type=float, default=1.0, help="weighted A* weight (1 = optimal)")
    parser.add_argument("--batch-size", type=int, default=64, help="nodes expanded per iteration")
    parser.add_argument("--depth", type=int, default=40, help="15-puzzle scramble length")
    parser.add_argument("--cube-depth", type=int, default=1000, help="cube scramble length")
    parser.add_argument("--cube-solver", choices=sorted(CUBE_SOLVERS), default=CUBE_SOLVER,
                        help=f"cube search (default {CUBE_SOLVER})")
    parser.add_argument("--beam-width", type=int, help="cube beam width (default: "
                        + ", ".join(f"{w} for {n}" for n, (_, _, w, _) in CUBE_SOLVERS.items()) + ")")
    parser.add_argument("--precision", choices=("auto", "float32", "bfloat16"), default="auto",
                        help="cube package precision (auto: bfloat16 where the CPU has it natively)")
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
    import quelmar_cpp

    astar = functools.partial(quelmar_cpp.run_weighted_astar, weight=args.weight,
                              batch_size=args.batch_size, device="cpu")
    ok = _solve("puzzle15", os.path.join(models, "puzzle15_manhattan.pt2"), args.depth,
                f"weighted A*, weight {args.weight}, batch {args.batch_size}, Manhattan network",
                astar, args)
    function, name, width, what = CUBE_SOLVERS[args.cube_solver]
    width = width if args.beam_width is None else args.beam_width
    precision, why = _cube_precision(args.precision)
    beam = functools.partial(getattr(quelmar_cpp, function), beam_width=width,
                             max_steps=args.max_steps, device="cpu")
    ok &= _solve("cube3", _shipped_model(models, name, precision), args.cube_depth,
                 f"{what}, width {width}, shipped network {name}, {why}", beam, args)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
