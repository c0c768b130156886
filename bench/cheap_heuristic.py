"""Search speed with a cheap heuristic: this project, plain Python, classical C++ A*.

Weight-1 A* with the exact Manhattan model on fixed hard 15-puzzle states, in
one run, as nodes generated per second:

  this project     quelmar_cpp.run_weighted_astar (--threads OpenMP threads)
  plain Python     python_weighted_astar from bench/networks.py, which follows
                   the project's rules: node counts must match exactly
  classical C++    bench/classical_astar.cpp, one core: 64-bit states,
                   incremental Manhattan, bucket OPEN (what the hardware allows)

    ./dev run -- python3 bench/cheap_heuristic.py [--batches 100,1000,10000] [--no-python] [--json]

The classical solver is compiled into <build>/bench/classical_astar when missing
or older than its source. Exits 1 when a length or a node count disagrees.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("QUELMAR_BUILD_DIR", "build")
# scramble("puzzle15", 1000, seed): optimal lengths 48-54, and the project
# generates 0.8-2.9 M nodes on each at batches 100 and 1,000: long enough to
# time, short enough for the Python solver to end within a minute or two.
DEPTH, SEEDS = 1000, (14, 31, 45, 57, 69)


def classical_binary(build: str) -> str:
    """Path of the classical solver, compiled first when stale."""
    source = os.path.join(HERE, "classical_astar.cpp")
    binary = os.path.join(build, "bench", "classical_astar")
    if not os.path.exists(binary) or os.path.getmtime(binary) < os.path.getmtime(source):
        os.makedirs(os.path.dirname(binary), exist_ok=True)
        print(f"compiling {binary} ...", file=sys.stderr, flush=True)
        # Via a temporary name: an interrupted compile must not look fresh.
        subprocess.run(["g++", "-O3", "-march=native", "-std=c++20", source, "-o", binary + ".tmp"],
                       check=True)
        os.replace(binary + ".tmp", binary)
    return binary


def run_classical(binary: str, states) -> list[dict]:
    lines = "".join(" ".join(str(int(v)) for v in s) + "\n" for s in states)
    out = subprocess.run([binary], input=lines, capture_output=True, text=True, check=True).stdout
    return [json.loads(line) for line in out.splitlines()]


def batch_list(text: str) -> list[int]:
    """Comma-separated positive batch sizes."""
    try:
        batches = [int(b) for b in text.split(",")]
    except ValueError:
        batches = []
    if not batches or min(batches) < 1:
        raise argparse.ArgumentTypeError(f"expected positive integers separated by commas: {text!r}")
    return batches


def cell(runs: list[dict]) -> dict:
    """Totals of one solver at one batch size."""
    nodes, seconds = sum(r["nodes"] for r in runs), sum(r["seconds"] for r in runs)
    return {"nodes": nodes, "seconds": seconds, "nodes_per_second": nodes / seconds,
            "lengths": [r["length"] for r in runs], "per_state_nodes": [r["nodes"] for r in runs]}


def show(c: dict | None) -> str:
    if c is None:
        return "–"
    return (f"{c['nodes_per_second'] / 1e6:.2f} M ({c['nodes'] / 1e6:.2f} M nodes "
            f"in {c['seconds']:.2f} s)")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--batches", type=batch_list, default="100,1000,10000")
    # The plain-Python solver is too slow for larger batches (and more nodes).
    parser.add_argument("--python-batches", type=batch_list, default="100,1000",
                        help="batches at which the Python and classical columns are shown")
    parser.add_argument("--threads", type=int, default=2, help="OpenMP and torch threads")
    parser.add_argument("--model", default=os.path.join(BUILD, "models", "puzzle15_manhattan.pt2"))
    parser.add_argument("--no-python", action="store_true", help="skip the plain-Python solver")
    parser.add_argument("--json", action="store_true", help="print one JSON document")
    args = parser.parse_args(argv)
    if args.threads < 1:
        parser.error("--threads must be positive")
    # Before OpenMP starts (on the first import of torch or the project).
    os.environ["OMP_NUM_THREADS"] = str(args.threads)
    import torch
    import quelmar_cpp
    import quelmar_puzzles
    from quelmar_cpp import export
    from networks import SlidingTile, python_weighted_astar

    torch.set_num_threads(args.threads)
    quelmar_puzzles.register()
    states = [quelmar_puzzles.scramble("puzzle15", DEPTH, seed=s) for s in SEEDS]
    binary = classical_binary(BUILD)
    domain, network = SlidingTile(4), export.manhattan_network(4).eval()

    # Warm-up on an easy state: package load and first kernels are not timed.
    easy = quelmar_puzzles.scramble("puzzle15", 20, seed=0)
    quelmar_cpp.run_weighted_astar(easy, "puzzle15", args.model, 1.0, 100, "cpu")
    if not args.no_python:
        python_weighted_astar(domain, network, easy, 1.0, 100)

    optimal = [quelmar_puzzles.optimal_solution_length("puzzle15", s, 80) for s in states]
    classical_runs = run_classical(binary, states)
    classical = cell([{"length": r["length"], "nodes": r["nodes_generated"],
                       "seconds": r["seconds"]} for r in classical_runs])
    # The project and the Python solver count four children per expansion,
    # off-board moves included; the classical one counts legal moves only.
    classical["nodes_per_second_four_per_expansion"] = (
        4 * sum(r["nodes_expanded"] for r in classical_runs) / classical["seconds"])

    rows, problems = [], []
    if classical["lengths"] != optimal:
        problems.append(f"classical lengths {classical['lengths']} are not optimal {optimal}")
    for batch in args.batches:
        project_runs = []
        for seed, state in zip(SEEDS, states):
            r = quelmar_cpp.run_weighted_astar(state, "puzzle15", args.model, 1.0, batch, "cpu")
            if not r["solved"]:
                raise SystemExit(f"batch {batch}: seed {seed} not solved by the project")
            project_runs.append({"length": len(r["moves"]), "nodes": r["nodes_generated"],
                                 "seconds": r["solve_time"]})
        row = {"batch": batch, "project": cell(project_runs), "python": None}
        if not args.no_python and batch in args.python_batches:
            python_runs = []
            for state in states:
                moves, nodes, seconds, _, _ = python_weighted_astar(domain, network, state, 1.0, batch)
                python_runs.append({"length": len(moves), "nodes": nodes, "seconds": seconds})
            row["python"] = cell(python_runs)
            for key in ("per_state_nodes", "lengths"):
                if row["python"][key] != row["project"][key]:
                    problems.append(f"batch {batch}: Python {key} {row['python'][key]} differ "
                                    f"from the project's {row['project'][key]}")
        rows.append(row)

    report = {"domain": "puzzle15", "depth": DEPTH, "seeds": list(SEEDS), "weight": 1.0,
              "states": [s.tolist() for s in states],
              "threads": args.threads, "model": args.model, "optimal_lengths": optimal,
              "classical": classical, "rows": rows, "problems": problems}
    if args.json:
        print(json.dumps(report, indent=2))
        return 1 if problems else 0

    print(f"15-puzzle, {len(SEEDS)} states (scramble depth {DEPTH}, seeds "
          f"{', '.join(map(str, SEEDS))}), weight 1, exact Manhattan model, "
          f"{args.threads} threads for the project and the Python solver\n")
    print("| batch | this project | plain Python batched A* | tight classical C++ A*, 1 core¹ |")
    print("|---|---|---|---|")
    for row in rows:
        print(f"| {row['batch']:,} | {show(row['project'])} | {show(row['python'])} | "
              f"{show(classical if row['batch'] in args.python_batches else None)} |")
    print(f"\nNodes generated per second (M = million). ¹ One run over the same states; it has "
          f"no batch, so the figure repeats. It counts legal moves only; counted like the others "
          f"(four per expansion) it makes "
          f"{classical['nodes_per_second_four_per_expansion'] / 1e6:.2f} M/s.\n")
    print("Solution lengths per state (seed: optimal | classical | project by batch | Python by batch):")
    for i, seed in enumerate(SEEDS):
        project = " ".join(str(r["project"]["lengths"][i]) for r in rows)
        python = " ".join(str(r["python"]["lengths"][i]) for r in rows if r["python"])
        print(f"  {seed:>3}: {optimal[i]} | {classical['lengths'][i]} | {project} | {python or '–'}")
    suboptimal = [r["batch"] for r in rows if r["project"]["lengths"] != optimal]
    if suboptimal:
        print(f"note: the project's solutions are longer than optimal at batch {suboptimal}")
    for problem in problems:
        print(f"PROBLEM: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
