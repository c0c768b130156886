"""The solve command: ``python3 -m quelmar_cpp solve`` (or ``quelmar solve``).

Reads states from a file (or scrambles them through the plug-in), solves them
with the CPU or GPU solver from several threads or on a Dask cluster, replays
every solution through the plug-in, and writes one JSON row per state, a
summary table and optional plots. ``python3 -m quelmar_cpp solve --help``
lists the options; the search settings and their defaults are read from the
solver functions themselves.
"""
from __future__ import annotations

import contextlib
import json
import os
import signal
import sys
import threading
import time

from ..common.files import check_writable, same_file, write_atomically
from ..common.options import flag, typed
from ..common.plugins import load_plugin
from ..common.progress import Progress
from . import inputs, report, runners
from .errors import SolveError, Stopped, UsageError
from .partial import Rows, partial_path
from .settings import REQUIRED_DEFAULTS, SOLVERS, SUMMARIES, add_setting_options, effective, plan_runs

HELP = "solve a test set and summarize the runs"


def add_parser(commands, specs: list[dict]) -> None:
    """Adds the solve command to the top-level parser's subcommands, with an option per search
    setting of `specs` (``setting_specs()``)."""
    solve = commands.add_parser("solve", help=HELP, description="Solve a test set and summarize the runs.")
    solve.add_argument("--env", required=True, help="environment name, e.g. puzzle15")
    solve.add_argument("--model", required=True, help="AOTInductor model package (.pt2)")
    solve.add_argument("--plugin", default="quelmar_puzzles", help="plug-in module to import and register")
    source = solve.add_mutually_exclusive_group(required=True)
    source.add_argument("--states", help="states, one per line (integers, '#' comments) or a .npy array")
    source.add_argument("--scrambles", metavar="N:DEPTH", help="N states scrambled DEPTH moves by the plug-in")
    solve.add_argument("--seed", type=int, default=0, help="seed of the first scramble (state i: seed+i)")
    solve.add_argument("--solver", choices=["auto", *SOLVERS], default="auto",
                       help="auto: the GPU solver for a --device starting with 'cuda', else the CPU "
                            "one; " + "; ".join(f"{name}: {text.rstrip('.')}"
                                                for name, text in SUMMARIES.items()))
    solve.add_argument("--threads", type=int, default=1, help="states solved at once (default: 1)")
    solve.add_argument("--cluster", metavar="ADDRESS", help="Dask scheduler to send the states to")
    solve.add_argument("--sweep", metavar="SETTING=V1,V2,...", help="one run per value, e.g. weight=1,2,4")
    solve.add_argument("--optimal", metavar="FILE", help="optimal solution lengths, one per line")
    solve.add_argument("--out", metavar="FILE.jsonl",
                       help="one JSON row per state and run; finished rows are kept in FILE.jsonl.partial "
                            "until the run is complete")
    solve.add_argument("--resume", action="store_true",
                       help="finish an interrupted run from the rows in the --out file's .partial file")
    solve.add_argument("--plot", metavar="FILE.png", help="length histogram, time against length, trade-off")
    solve.add_argument("--quiet", action="store_true", help="no progress bar")
    add_setting_options(solve.add_argument_group("search settings"), specs)


def run(args, specs: list[dict], prog: str, own_process: bool) -> int:
    """Runs the solve command on its parsed options; returns the exit status (`prog` names the
    program in messages).

    With `own_process` (the command line is the process's own), a run stopped by SIGINT or
    SIGTERM ends the process at once: searches still running in solver threads cannot be
    interrupted.
    """
    try:
        return _solve(args, specs, prog)
    except UsageError as exc:
        print(f"{prog} solve: error: {exc}", file=sys.stderr)
        return 2
    except SolveError as exc:
        print(f"{prog} solve: error: {exc}", file=sys.stderr)
        return 1
    except Stopped as stop:
        what = "interrupted" if stop.signum == signal.SIGINT else "terminated"
        print(f"{prog} solve: {what}; {getattr(stop, 'note', 'nothing written')}", file=sys.stderr)
        if own_process:
            # The interpreter would wait at exit for searches still running in solver threads.
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(128 + stop.signum)
        return 128 + stop.signum
    except KeyboardInterrupt:
        print(f"{prog} solve: interrupted; nothing written", file=sys.stderr)
        return 130


class _Signals:
    """SIGINT and SIGTERM raise Stopped in the main thread (the first of them; later ones are
    ignored while the run stops), except inside `held()`, which they wait for."""

    def __init__(self):
        self.signum, self._hold, self._previous = None, False, {}

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            for sig in (signal.SIGINT, signal.SIGTERM):
                self._previous[sig] = signal.signal(sig, self._handle)
        return self

    def __exit__(self, *exc):
        for sig, handler in self._previous.items():
            signal.signal(sig, handler)

    def _handle(self, signum, frame):
        if self.signum is None:
            self.signum = signum
            if not self._hold:
                raise Stopped(signum)

    @contextlib.contextmanager
    def held(self):
        self._hold = True
        try:
            yield
        finally:
            self._hold = False
        if self.signum is not None:
            raise Stopped(self.signum)


def _omp_threads() -> str:
    """The searches' OpenMP threads, as the summary line states them."""
    for name in ("QUELMAR_THREADS", "OMP_NUM_THREADS"):
        if name in os.environ:
            return f"OpenMP threads: {name}={os.environ[name]}"
    # The backend shares the CPUs that other processes leave free among the searches running at once.
    return "OpenMP threads shared by load"


def _check_distinct(args, partial: str | None) -> None:
    """UsageError when an output would overwrite another output or an input file."""
    outputs = [(what, path) for what, path in [("--out", args.out), ("the --out file's partial file", partial),
                                               ("--plot", args.plot)] if path]
    inputs = [(what, path) for what, path in [("--states", args.states), ("--model", args.model),
                                              ("the --model manifest", args.model + ".json"),
                                              ("--optimal", args.optimal)] if path]
    for i, (what, path) in enumerate(outputs):
        for other, other_path in (outputs + inputs)[i + 1:]:
            if same_file(path, other_path):
                raise UsageError(f"{what} {path} and {other} {other_path} name the same file")


def _row(index: int, swept: dict, state: list[int], result: dict, plugin, env: str) -> dict:
    """The JSON row of one solved (or unsolved) state, with its replay check."""
    moves = list(result["moves"])
    row = {"index": index, **swept, "state": state, "solved": bool(result["solved"]), "moves": moves,
           "length": len(moves) if result["solved"] else None,
           "nodes_generated": result["nodes_generated"], "solve_time": result["solve_time"],
           "verified": inputs.verify(plugin, env, state, moves)}
    return {**row, **{k: v for k, v in result.items() if k not in row}}


# The entries every row has, with their JSON types; a row read back for --resume must have them.
ROW_TYPES = {"solved": "boolean", "moves": "list", "length": "integer or null", "nodes_generated": "integer",
             "solve_time": "number", "verified": "boolean or null"}
_JSON_TYPES = {"boolean": bool, "list": list, "integer": int, "number": float, "null": type(None)}


def _typed(value, kind: str) -> bool:
    """Whether a JSON value is of `kind` ("integer", "boolean or null", ...); true is no integer."""
    return typed(value, tuple(_JSON_TYPES[k] for k in kind.split(" or ")))


def _row_problem(row: dict, plugin, env: str) -> str | None:
    """Why a row read back (its index and state already checked) is not one this command would
    write: a missing or mistyped entry, or moves whose replay disagrees with its length or
    verified entry (an edited or damaged row)."""
    for key, kind in ROW_TYPES.items():
        if key not in row:
            return f"the row has no {key!r}"
        if not _typed(row[key], kind):
            return f"{key!r} is {json.dumps(row[key])}, expected {kind}"
    if not all(_typed(m, "integer") and m >= 0 for m in row["moves"]):
        return "'moves' must hold non-negative integers"
    if row["nodes_generated"] < 0 or not 0 <= row["solve_time"] < float("inf"):
        return "'nodes_generated' and 'solve_time' must be non-negative"
    replayed = {"length": len(row["moves"]) if row["solved"] else None,
                "verified": inputs.verify(plugin, env, row["state"], row["moves"])}
    for key, value in replayed.items():
        if row[key] != value:
            return f"{key!r} is {json.dumps(row[key])}, but its moves give {json.dumps(value)}"
    return None


def _solve(args, specs: list[dict], prog: str) -> int:
    """The solve command; UsageError for bad input, SolveError when a solver call fails,
    Stopped (with a `note` on what was kept) when a signal stops it."""
    if args.threads < 1 or (args.cluster and args.threads != 1):
        raise UsageError("--threads must be at least 1, and is not used with --cluster")
    if args.resume and not args.out:
        raise UsageError("--resume needs --out: it finishes the rows kept in FILE.partial beside the --out FILE")
    sweep_name, runs = plan_runs(args, specs)
    omp = _omp_threads()
    device = next((s["device"] for s in runs.values() if "device" in s), "cpu")
    solver = args.solver if args.solver != "auto" else ("gpu" if device.startswith("cuda") else "cpu")
    accepted = {s["name"] for s in specs if solver in s["solvers"]}
    device_required = any(s["name"] == "device" and solver in s["solvers"]
                          and s["solvers"][solver]["default"] is None for s in specs)
    for settings in runs.values():
        wrong = [k for k in settings if k not in accepted]
        if wrong:
            raise UsageError(f"{flag(wrong[0])} does not apply to the {solver.upper()} solver")
        if device_required:  # the CPU solvers have no default device in Python: the command's is cpu
            settings.setdefault("device", "cpu")
    check_writable(args.out, "--out")
    check_writable(args.plot, "--plot")
    partial = partial_path(args.out) if args.out else None
    _check_distinct(args, partial)
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise UsageError("--plot needs matplotlib") from None
    # Solver threads and cluster workers may run in another folder than the command.
    model = os.path.abspath(args.model)
    if not args.cluster and not os.path.isfile(model):
        raise UsageError(f"model package not found: {args.model}")
    if partial and os.path.exists(partial) and not args.resume:
        raise UsageError(f"{partial} holds the rows of an unfinished run: add --resume to finish it, "
                         f"or remove the file to start afresh")
    if args.resume and not os.path.exists(partial):
        raise UsageError(f"--resume: there is no {partial} to finish; run without --resume to start afresh")

    plugin, _ = load_plugin(args.plugin, args.env)
    states = (inputs.read_states(args.states) if args.states
              else inputs.scrambles(args.scrambles, args.seed, plugin, args.plugin, args.env))
    inputs.check_states(plugin, args.env, states)
    optimal = inputs.read_optimal(args.optimal, len(states)) if args.optimal else None

    n, labels = len(states), list(runs)
    swept = [{sweep_name: runs[label][sweep_name]} if sweep_name else {} for label in labels]
    required = {name: value for name, value in REQUIRED_DEFAULTS.items() if name in accepted}
    calls = [(args.plugin, solver, args.env, model, state, {**required, **settings})
             for settings in runs.values() for _, state in states]
    # What must be equal for --resume to continue a run's rows.
    header = {"env": args.env, "model": model, "plugin": args.plugin, "solver": solver,
              "sweep": labels if sweep_name else None, "states": n,
              "states_sha256": inputs.states_digest(states),
              "runs": {label: effective(settings, solver, specs) for label, settings in runs.items()}}

    def row_problem(i: int, row: dict) -> str | None:
        """Why a row read back from the partial file cannot be row i, or None."""
        if i >= len(calls):
            return f"more rows than the run's {len(calls)}"
        expected = {"index": i % n, **swept[i // n], "state": states[i % n][1]}
        if any(row.get(k) != v for k, v in expected.items()):
            return f"expected the row of state {i % n}" + (f" in run {labels[i // n]}" if sweep_name else "")
        return _row_problem(row, plugin, args.env)

    rows = None
    with _Signals() as signals, contextlib.ExitStack() as stack:
        try:
            client = None
            if args.cluster:
                client = stack.enter_context(runners.connect(args.cluster))
                runners.check_workers_read(client, {"model package": model, "model manifest": model + ".json"})
            with signals.held():
                rows = Rows(partial, header, args.resume, row_problem)
            todo = {i: call for i, call in enumerate(calls) if i >= len(rows.rows)}
            bar = Progress(args.quiet, total=len(calls), initial=len(rows.rows), unit="state")
            start = time.perf_counter()
            try:
                results = runners.run_cluster(client, todo) if client else runners.run_local(todo, args.threads)
                with contextlib.closing(results):
                    for i, result in results:
                        row = _row(i % n, swept[i // n], states[i % n][1], result, plugin, args.env)
                        with signals.held():
                            rows.add(i, row)
                        bar.update()
            finally:
                bar.close()
            wall = time.perf_counter() - start
            if args.out:
                write_atomically(args.out, lambda f: f.writelines(json.dumps(r) + "\n" for r in rows.rows))
                rows.remove()
            return _report(args, rows, labels, optimal, solver, wall, omp, prog)
        except Stopped as stop:
            if rows is not None and rows.path:
                stop.note = (f"{len(rows.rows)} of {len(calls)} rows kept in {rows.path}; "
                             f"run the same command with --resume to finish")
            elif rows is not None and args.out:
                stop.note = f"all rows written to {args.out}"
            raise
        except SolveError as exc:
            index, error = exc.args[0]
            where = states[index % n][0]
            run = f" in run {labels[index // n]}" if sweep_name else ""
            kept = ""
            if rows is not None and rows.path:
                rows.discard_if_new_and_empty()
                if os.path.exists(rows.path):
                    kept = f"; {len(rows.rows)} finished rows kept in {rows.path} (add --resume to go on)"
            raise SolveError(f"state {index % n} ({where}){run}: {type(error).__name__}: {error}{kept}") from None
        finally:
            if rows is not None:
                rows.close()


def _report(args, rows: Rows, labels: list[str], optimal, solver: str, wall: float, omp: str, prog: str) -> int:
    """The plot, the summary table and the replay check, over every row of the run."""
    n = len(rows.rows) // len(labels)
    runs = {label: rows.rows[r * n:(r + 1) * n] for r, label in enumerate(labels)}
    if args.plot:
        report.write_plot(args.plot, runs)
    print(report.format_table({label: report.summarize(run, optimal) for label, run in runs.items()}))
    where = f"on {args.cluster}" if args.cluster else f"{args.threads} thread(s), {omp}"
    resumed = f"; resumed after {rows.resumed} of {len(rows.rows)} rows" if args.resume else ""
    print(f"{n} states x {len(labels)} run(s), {solver.upper()} solver, {wall:.2f} s wall, {where}{resumed}")
    failed = [r for r in rows.rows if r["solved"] and r["verified"] is False]
    if failed:
        print(f"{prog} solve: error: {len(failed)} solution(s) do not reach a goal when "
              f"replayed (first: state {failed[0]['index']})", file=sys.stderr)
        return 1
    return 0

