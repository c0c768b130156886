"""Trained heuristics at work: random cubes by beam search, sliding tiles against optimal.

    ./dev run -- python3 bench/learned.py [--cubes 100] [--widths 256,1024,4096]
        [--stages runs/cube3_learned/stages] [--stage-width 1024]
        [--puzzle-runs runs/puzzle8 runs/puzzle15] [--puzzle-states 100]
        [--solvers astar,qstar,beam,qbeam] [--solver-widths 1024,4096,...,262144]
        [--precision auto|float32|bfloat16|both]

Four tables, each skipped when its inputs are missing:
1. The shipped cube model (<build>/models/cube3_learned.pt2) by beam search on
   random cubes (1000 scramble moves each): solved, mean length of the solved,
   mean and longest time per cube, against the beam width.
2. The same cubes at one width with the packages of the training run's stages
   (STAGES/<N>min/cube3_learned.pt2, as models/cube3_learned/train.sh leaves
   them): the curve against training minutes.
3. For each trainer run of a sliding-tile puzzle (its <env>_learned.pt2), and
   the exact Manhattan-distance model as a baseline: A* at weight 1 on
   scrambled states, against the optimal lengths of the plug-in's IDA*: the
   share solved optimally, the mean length against the optimal mean, nodes
   and time.
4. The solvers on the same cubes (--solver-cubes of them): weighted A*
   (weight 0.6, batch 10,000) and Q* with the same settings, the value beam
   and the Q-beam at each of --solver-widths, over the shipped value model
   and Q-network (cube3_q), in float32 and, where the CPU computes bfloat16
   natively (or when asked), bfloat16: solved, mean and largest length, the
   length histogram, time per cube and network rows per cube.
Times are the solvers' own solve_time; every solution is replayed.
"""
import argparse
import glob
import hashlib
import json
import os
import re
import statistics
import time

import numpy as np

import quelmar_cpp
import quelmar_puzzles as qp

BUILD = os.environ.get("QUELMAR_BUILD_DIR", "build")
CUBE_MODEL = os.path.join(BUILD, "models", "cube3_learned.pt2")
CUBE_Q_MODEL = os.path.join(BUILD, "models", "cube3_q.pt2")
SHIPPED_WEIGHTS = os.path.join(os.path.dirname(__file__), os.pardir, "models", "cube3_learned", "model.pt")
# Far from the trainer's seeds, so no cube here was a check state.
CUBE_SEED = 1_000_000
PUZZLE_SEED = 2_000_000
PUZZLE_DEPTH = {"puzzle8": 100, "puzzle15": 40}


def mean(values):
    return statistics.mean(values) if values else float("nan")


def solve_cubes(package, cubes, width, max_steps):
    """Per cube: (solved and replayed, length, solve_time, nodes)."""
    rows = []
    for state in cubes:
        result = quelmar_cpp.run_beam_search(state, "cube3", package, width, max_steps)
        ok = result["solved"] and bool(qp.is_solved("cube3", qp.apply_moves("cube3", state, result["moves"])))
        if result["solved"] and not ok:
            raise SystemExit(f"beam {width}: a solution did not replay to the goal")
        rows.append((ok, len(result["moves"]), result["solve_time"], result["nodes_generated"]))
    return rows


def cube_line(label, rows):
    solved = [r for r in rows if r[0]]
    times = [r[2] for r in rows]
    return (f"{label:<12} {len(solved):>4}/{len(rows):<4} {mean([r[1] for r in solved]):7.2f} "
            f"{max([r[1] for r in solved], default=0):>4} {mean(times):9.2f} {max(times):8.2f} "
            f"{mean([r[3] for r in rows]):12,.0f}")


CUBE_HEADER = (f"{'':<12} {'solved':>9} {'length':>7} {'max':>4} {'s/cube':>9} {'max s':>8} "
               f"{'nodes':>12}")


def file_digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def cube_tables(args):
    cubes = [qp.scramble("cube3", 1000, CUBE_SEED + i) for i in range(args.cubes)]
    # The shipped weights' rows by width: a stage with the same model.pt reuses them.
    shipped, shipped_rows = file_digest(SHIPPED_WEIGHTS) if os.path.exists(SHIPPED_WEIGHTS) else None, {}
    print(f"{args.cubes} random cubes (1000 scramble moves), OpenMP threads: "
          f"{os.environ.get('OMP_NUM_THREADS', 'shared by load')}; lengths in quarter turns, of the solved")
    if os.path.exists(CUBE_MODEL):
        print(f"\n1. shipped model {CUBE_MODEL}, beam width:")
        print(CUBE_HEADER)
        for width in args.widths:
            shipped_rows[width] = solve_cubes(CUBE_MODEL, cubes, width, args.max_steps)
            print(cube_line(f"beam {width}", shipped_rows[width]), flush=True)
    else:
        print(f"\n1. skipped: {CUBE_MODEL} is missing (./dev build exports it)")
    stages = sorted(glob.glob(os.path.join(args.stages, "*min", "cube3_learned.pt2")),
                    key=lambda p: float(re.sub(r"min$", "", os.path.basename(os.path.dirname(p)))))
    if not stages:
        print(f"\n2. skipped: no {args.stages}/<N>min/cube3_learned.pt2 (models/cube3_learned/train.sh)")
        return
    cubes = cubes[:args.stage_cubes]
    print(f"\n2. training stages, beam {args.stage_width}, the first {len(cubes)} cubes:")
    print(CUBE_HEADER.replace(" " * 12, f"{'min':<6}{'steps':>6}", 1))
    reused = False
    for package in stages:
        folder = os.path.dirname(package)
        with open(os.path.join(folder, "train_log.json"), encoding="utf-8") as f:
            steps = json.load(f)["step"]
        minutes = os.path.basename(folder)[:-3]
        rows = shipped_rows.get(args.stage_width, [])[:len(cubes)]
        if not (rows and file_digest(os.path.join(folder, "model.pt")) == shipped):
            rows = solve_cubes(package, cubes, args.stage_width, args.max_steps)
        else:
            minutes, reused = minutes + "*", True
        print(cube_line(f"{minutes:<6}{steps:>6}", rows), flush=True)
    if reused:
        print("* the shipped weights: the rows of table 1")


# Table 4's solvers: name -> (function, package of the precision, settings, widths apply?).
def _solver_runs(args, precision):
    suffix = "_bf16" if precision == "bfloat16" else ""
    value = CUBE_MODEL.replace(".pt2", f"{suffix}.pt2")
    q = CUBE_Q_MODEL.replace(".pt2", f"{suffix}.pt2")
    astar = dict(weight=0.6, batch_size=10_000, device="cpu")
    for name in args.solvers:
        if name in ("astar", "qstar"):
            function = quelmar_cpp.run_weighted_astar if name == "astar" else quelmar_cpp.run_q_star_search
            yield f"{name} 0.6/10k", function, value if name == "astar" else q, astar
        else:
            function = quelmar_cpp.run_beam_search if name == "beam" else quelmar_cpp.run_q_beam_search
            for width in args.solver_widths:
                yield (f"{name} {width}", function, value if name == "beam" else q,
                       dict(beam_width=width, max_steps=args.max_steps))


def solver_table(args):
    native = quelmar_cpp._research_impl._native_bfloat16()
    precisions = {"auto": ["bfloat16"] if native else ["float32"], "both": ["float32", "bfloat16"]}.get(
        args.precision, [args.precision])
    cubes = [qp.scramble("cube3", 1000, CUBE_SEED + i) for i in range(args.solver_cubes)]
    print(f"\n4. solvers on the first {len(cubes)} cubes; this CPU "
          f"{'has' if native else 'has no'} native bfloat16, so: {', '.join(precisions)}")
    print(f"{'solver':<16} {'prec':<5} {'solved':>9} {'length':>7} {'max':>4} {'s/cube':>8} "
          f"{'rows/cube':>11}  lengths (count)")
    for precision in precisions:
        for label, function, package, settings in _solver_runs(args, precision):
            if not os.path.exists(package):
                print(f"{label:<16} skipped: {package} is missing")
                continue
            lengths, seconds, rows = [], [], []
            for state in cubes:
                quelmar_cpp._research_impl._network_rows(reset=True)
                result = function(state, "cube3", package, **settings)
                rows.append(quelmar_cpp._research_impl._network_rows())
                seconds.append(result["solve_time"])
                if result["solved"]:
                    if not qp.is_solved("cube3", qp.apply_moves("cube3", state, result["moves"])):
                        raise SystemExit(f"{label}: a solution did not replay to the goal")
                    lengths.append(len(result["moves"]))
            histogram = " ".join(f"{n}:{lengths.count(n)}" for n in sorted(set(lengths)))
            short = {"float32": "f32", "bfloat16": "bf16"}[precision]
            print(f"{label:<16} {short:<5} {len(lengths):>4}/{len(cubes):<4} {mean(lengths):7.2f} "
                  f"{max(lengths, default=0):>4} {mean(seconds):8.2f} {mean(rows):11,.0f}  {histogram}",
                  flush=True)


def puzzle_table(args):
    runs = []
    for run in args.puzzle_runs:
        packages = glob.glob(os.path.join(run, "*_learned.pt2"))
        if not packages:
            print(f"\n3. skipped {run}: no <env>_learned.pt2 there")
            continue
        env = os.path.basename(packages[0])[:-len("_learned.pt2")]
        runs.append((run, env, packages[0]))
    if not runs:
        return
    # The exact Manhattan-distance model beside each trained one, as the baseline.
    for env in dict.fromkeys(env for _, env, _ in runs):
        manhattan = os.path.join(BUILD, "models", f"{env}_manhattan.pt2")
        if os.path.exists(manhattan):
            runs.append(("(Manhattan)", env, manhattan))
    optimal_of = {}
    print(f"\n3. sliding tiles, A* weight 1 (batch {args.batch_size}) against the plug-in's IDA*:")
    print(f"{'run':<24} {'env':<9} {'depth':>5} {'states':>6} {'optimal':>8} {'length':>7} {'optimum':>8} "
          f"{'nodes':>10} {'s/state':>8}")
    for run, env, package in runs:
        depth = PUZZLE_DEPTH.get(env, 60)
        states = [qp.scramble(env, depth, PUZZLE_SEED + i) for i in range(args.puzzle_states)]
        if env not in optimal_of:
            optimal_of[env] = [qp.optimal_solution_length(env, s, 100) for s in states]
        optimal = optimal_of[env]
        lengths, nodes, seconds = [], [], []
        for state in states:
            result = quelmar_cpp.run_weighted_astar(state, env, package, 1.0, args.batch_size, "cpu")
            if not (result["solved"] and qp.is_solved(env, qp.apply_moves(env, state, result["moves"]))):
                raise SystemExit(f"{run}: A* failed on a {env} state")
            lengths.append(len(result["moves"]))
            nodes.append(result["nodes_generated"])
            seconds.append(result["solve_time"])
        share = np.mean(np.array(lengths) == np.array(optimal))
        print(f"{os.path.normpath(run):<24} {env:<9} {depth:>5} {len(states):>6} {share:8.0%} {mean(lengths):7.2f} "
              f"{mean(optimal):8.2f} {mean(nodes):10,.0f} {mean(seconds):8.3f}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=__doc__.split("\n\n", 2)[2])
    parser.add_argument("--cubes", type=int, default=100)
    parser.add_argument("--widths", type=lambda s: [int(w) for w in s.split(",")],
                        default=[256, 1024, 4096])
    parser.add_argument("--max-steps", type=int, default=100, help="beam steps at most")
    parser.add_argument("--stages", default=os.path.join("runs", "cube3_learned", "stages"))
    parser.add_argument("--stage-width", type=int, default=1024)
    parser.add_argument("--stage-cubes", type=int, default=100, help="cubes of table 2 (the first N)")
    parser.add_argument("--puzzle-runs", nargs="*", default=[], metavar="DIR",
                        help="trainer output folders of puzzle8 or puzzle15 runs")
    parser.add_argument("--puzzle-states", type=int, default=100)
    parser.add_argument("--batch-size", type=int, default=100, help="A* nodes per iteration")
    parser.add_argument("--no-cubes", dest="cubes_on", action="store_false",
                        help="only the sliding-tile table (and table 4 when --solvers is given)")
    parser.add_argument("--solvers", type=lambda s: [x for x in s.split(",") if x], default=[],
                        help="table 4's solvers, of astar, qstar, beam, qbeam (default: none)")
    parser.add_argument("--solver-widths", type=lambda s: [int(w) for w in s.split(",")],
                        default=[1024, 4096, 16384, 65536, 262144])
    parser.add_argument("--solver-cubes", type=int, default=100)
    parser.add_argument("--precision", choices=("auto", "float32", "bfloat16", "both"), default="auto",
                        help="table 4's precision: auto takes bfloat16 only where the CPU has it")
    args = parser.parse_args()
    unknown = set(args.solvers) - {"astar", "qstar", "beam", "qbeam"}
    if unknown:
        parser.error(f"--solvers: unknown {', '.join(sorted(unknown))}")
    qp.register()
    start = time.perf_counter()
    if args.cubes_on:
        cube_tables(args)
    puzzle_table(args)
    if args.solvers:
        solver_table(args)
    print(f"\n({time.perf_counter() - start:.0f} s)")


if __name__ == "__main__":
    main()
