"""Solve a test set from the command line: ``python3 -m quelmar_cpp solve`` (or ``quelmar solve``).

Reads states from a file (or scrambles them through the plug-in), solves them
with the CPU or GPU solver from several threads or on a Dask cluster, replays
every solution through the plug-in, and writes one JSON row per state, a
summary table and optional plots. ``python3 -m quelmar_cpp solve --help``
lists the options; the search settings and their defaults are read from the
solver functions themselves.
"""
from __future__ import annotations

import argparse
import ast
import importlib
import json
import os
import re
import statistics
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor, as_completed

import numpy as np

import quelmar_cpp

SOLVERS = {"cpu": "run_weighted_astar", "gpu": "run_torch_gpu_astar"}
# Settings the tool sets itself: the state and model, per-iteration printing
# (it would break the progress bar) and profiling (one run id per call would
# make every state overwrite the previous state's files).
_NOT_OPTIONS = {"state", "env", "package_path", "print_internals", "profile_dir",
                "profile_trace", "profile_summary", "profile_run_id"}
# The solvers require these two; the tool's defaults are the plain A* and the demo's batch.
_REQUIRED_DEFAULTS = {"weight": 1.0, "batch_size": 64}
# A task that raises is re-run this often on the cluster; a task on a worker
# that dies is rescheduled by Dask itself.
CLUSTER_RETRIES = 2


class UsageError(Exception):
    """Bad arguments or input files: reported as one line, exit status 2."""


class SolveError(Exception):
    """A solver call failed: reported as one line, exit status 1."""


# -- the solver functions' own signatures --------------------------------------------------

def solver_parameters(func) -> dict[str, tuple[type, object, str]]:
    """{name: (type, default or None, help)} of a solver, read from its signature line and Args."""
    head, _, body = func.__doc__.partition("\n")
    inner = re.sub(r"\[[^\]]*\]", "", head[head.index("(") + 1:head.rindex(")")])
    helps = dict(re.findall(r"^\s+(\w+): (.+)$", body.partition("Args:")[2], re.M))
    params = {}
    for part in inner.split(", "):
        name, _, rest = part.partition(": ")
        kind, _, default = rest.partition(" = ")
        typ = {"bool": bool, "int": int, "float": float, "str": str}.get(kind.strip())
        params[name] = (typ, ast.literal_eval(default) if default else None, helps.get(name, ""))
    return params


def _parse_bool(text: str) -> bool:
    """'true'/'1'/'yes' or 'false'/'0'/'no' as a bool; ValueError otherwise."""
    if text.lower() in ("1", "true", "yes"):
        return True
    if text.lower() in ("0", "false", "no"):
        return False
    raise ValueError(f"not a boolean: {text!r}")


def _add_setting_options(group) -> dict[str, type]:
    """Adds one option per solver setting (unset ones are not passed); returns {name: type}."""
    cpu, gpu = (solver_parameters(getattr(quelmar_cpp, f)) for f in SOLVERS.values())
    types = {}
    for name in dict.fromkeys([*cpu, *gpu]):
        if name in _NOT_OPTIONS:
            continue
        typ, _, text = cpu.get(name) or gpu[name]
        d_cpu, d_gpu = (p[name][1] if name in p else None for p in (cpu, gpu))
        if name in _REQUIRED_DEFAULTS:
            text += f" (default: {_REQUIRED_DEFAULTS[name]})"
        elif name == "device":
            text += f" (default: cpu; {d_gpu} with --solver gpu)"
        elif name not in cpu or name not in gpu:
            text += f" ({'GPU' if name in gpu else 'CPU'} solver only; default: {d_gpu if d_cpu is None else d_cpu})"
        else:
            text += f" (default: {d_cpu})" if d_cpu == d_gpu else f" (default: {d_cpu} on CPU, {d_gpu} on GPU)"
        flags = ["--" + name.replace("_", "-")] + (["--batch"] if name == "batch_size" else [])
        kwargs = dict(type=_parse_bool if typ is bool else typ, metavar=typ.__name__.upper())
        if typ is bool:
            kwargs = dict(action=argparse.BooleanOptionalAction)
        group.add_argument(*flags, dest="set_" + name, default=argparse.SUPPRESS,
                           help=text.replace("%", "%%"), **kwargs)
        types[name] = typ
    return types


# -- input files ---------------------------------------------------------------------------

def _int_lines(path: str) -> list[tuple[int, list[int]]]:
    """(line number, integers) of each non-blank line; '#' comments; UsageError naming file:line."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as exc:
        raise UsageError(f"cannot read {path}: {exc}") from None
    lines = []
    for number, line in enumerate(text.splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        values = []
        for token in re.split(r"\s*,\s*|\s+", line):
            try:
                values.append(int(token))
            except ValueError:
                raise UsageError(f"{path}:{number}: expected integers separated by spaces or "
                                 f"commas, found {token!r}") from None
        lines.append((number, values))
    return lines


def read_states(path: str) -> list[tuple[str, list[int]]]:
    """(location, state) pairs from a text or .npy file; UsageError for malformed input."""
    if path.endswith(".npy"):
        try:
            array = np.load(path, allow_pickle=False)
        except (OSError, ValueError) as exc:
            raise UsageError(f"cannot read {path}: {exc}") from None
        if array.ndim != 2 or array.dtype.kind not in "iu":
            raise UsageError(f"{path}: expected a 2-D integer array (one row per state), "
                             f"got shape {array.shape} of {array.dtype}")
        states = [(f"{path} row {i}", row.tolist()) for i, row in enumerate(array)]
    else:
        states = [(f"{path}:{n}", values) for n, values in _int_lines(path)]
    if not states:
        raise UsageError(f"{path}: no states")
    for where, state in states:
        bad = [v for v in state if not 0 <= v <= 255]
        if bad:
            raise UsageError(f"{where}: value {bad[0]} is outside 0..255")
    return states


def read_optimal(path: str, count: int) -> list[int]:
    """One optimal length per state; UsageError for malformed lines or a wrong count."""
    lines = _int_lines(path)
    for number, values in lines:
        if len(values) != 1 or values[0] < 0:
            raise UsageError(f"{path}:{number}: expected one non-negative length")
    if len(lines) != count:
        raise UsageError(f"{path}: {len(lines)} lengths for {count} states")
    return [values[0] for _, values in lines]


def _load_plugin(name: str, env: str):
    """Imports and registers the plug-in; UsageError when it or the environment is missing."""
    try:
        plugin = importlib.import_module(name)
    except ImportError as exc:
        raise UsageError(f"cannot import plug-in module {name!r}: {exc}") from None
    if not callable(getattr(plugin, "register", None)):
        raise UsageError(f"plug-in module {name!r} has no register() function")
    try:
        names = plugin.register()
    except Exception as exc:
        raise UsageError(f"plug-in {name}: register() failed: {exc}") from None
    if names is not None and env.lower() not in {n.lower() for n in names}:
        raise UsageError(f"unknown environment {env!r}; plug-in {name} provides: {', '.join(names)}")
    return plugin


def _check_states(plugin, env: str, states) -> None:
    """Checks each state's length and validity through the plug-in's helpers, when it has them."""
    goal = getattr(plugin, "goal_state", None)
    size = len(goal(env)) if goal else len(states[0][1])
    check = getattr(plugin, "is_solved", None)
    for where, state in states:
        if len(state) != size:
            raise UsageError(f"{where}: state has {len(state)} values, {env} states have {size}")
        try:
            if check:
                check(env, np.asarray(state, dtype=np.uint8))
        except ValueError as exc:
            raise UsageError(f"{where}: {exc}") from None


def _verify(plugin, env: str, state, moves) -> bool | None:
    """Whether the moves replayed through the plug-in reach a goal; None without the helpers."""
    if not (hasattr(plugin, "apply_moves") and hasattr(plugin, "is_solved")):
        return None
    try:
        return bool(plugin.is_solved(env, plugin.apply_moves(env, np.asarray(state, np.uint8), moves)))
    except ValueError:
        return False


# -- solving ---------------------------------------------------------------------------------

_registered: set[str] = set()
_register_lock = threading.Lock()


def solve_call(call: tuple):
    """Solves one state (in this process or on a cluster worker), registering the plug-in once."""
    plugin, solver, env, model, state, weight, batch_size, settings = call
    with _register_lock:
        if plugin not in _registered:
            importlib.import_module(plugin).register()
            _registered.add(plugin)
    func = getattr(quelmar_cpp, SOLVERS[solver])
    return func(np.asarray(state, dtype=np.uint8), env, model, weight, batch_size, **settings)


class _NoBar:
    def update(self, n=1): pass
    def close(self): pass


def _progress(total: int, quiet: bool):
    """A tqdm bar on an interactive stderr, otherwise an object that shows nothing."""
    if quiet or not sys.stderr.isatty():
        return _NoBar()
    try:
        from tqdm import tqdm
    except ImportError:
        return _NoBar()
    return tqdm(total=total, unit="state", file=sys.stderr, dynamic_ncols=True)


def run_local(calls: list[tuple], threads: int, bar) -> list[dict]:
    """Results in input order from `threads` Python threads; SolveError names the failing call."""
    results = [None] * len(calls)
    with ThreadPoolExecutor(threads) as pool:
        futures = {pool.submit(solve_call, call): i for i, call in enumerate(calls)}
        try:
            for future in as_completed(futures):
                try:
                    results[futures[future]] = future.result()
                except Exception as exc:
                    raise SolveError((futures[future], exc)) from exc
                bar.update()
        finally:
            for future in futures:
                future.cancel()
    return results


def run_cluster(address: str, calls: list[tuple], bar) -> list[dict]:
    """Results in input order from a Dask cluster; UsageError when it cannot be reached."""
    try:
        import distributed
    except ImportError:
        raise UsageError("--cluster needs the Dask 'distributed' package") from None
    try:
        client = distributed.Client(address, timeout=10)
    except (OSError, TimeoutError, ValueError) as exc:
        raise UsageError(f"cannot connect to the cluster at {address}: {exc}") from None
    with client:
        futures = client.map(solve_call, calls, pure=False, retries=CLUSTER_RETRIES)
        index = {f.key: i for i, f in enumerate(futures)}
        try:
            for future in distributed.as_completed(futures):
                if future.status == "error":
                    raise SolveError((index[future.key], future.exception()))
                bar.update()
            return client.gather(futures)
        finally:
            client.cancel(futures)


# -- summary and plots -----------------------------------------------------------------------

def summarize(rows: list[dict], optimal: list[int] | None) -> dict[str, str]:
    """The summary table's cells of one run, by row label."""
    n, solved = len(rows), [r for r in rows if r["solved"]]
    lengths = [r["length"] for r in solved]
    nodes = [r["nodes_generated"] for r in rows]
    times = [r["solve_time"] for r in rows]
    checked = [r for r in solved if r["verified"] is not None]
    cells = {"states": str(n), "solved": f"{len(solved)}/{n} ({100 * len(solved) / n:.1f}%)",
             "verified": f"{sum(r['verified'] for r in checked)}/{len(checked)}" if checked else "n/a"}
    if lengths:
        cells.update({"length mean": f"{statistics.mean(lengths):.2f}",
                      "length median": f"{statistics.median(lengths):g}",
                      "length max": str(max(lengths))})
    if optimal is not None and lengths:
        excess = [r["length"] - optimal[r["index"]] for r in solved]
        cells["optimal"] = f"{100 * excess.count(0) / len(excess):.1f}%"
        cells["excess mean"] = f"{statistics.mean(excess):.3f}"
    cells.update({"nodes mean": f"{statistics.mean(nodes):,.0f}",
                  "nodes median": f"{statistics.median(nodes):,.0f}",
                  "time mean (s)": f"{statistics.mean(times):.4f}",
                  "time median (s)": f"{statistics.median(times):.4f}",
                  "nodes/s": f"{sum(nodes) / sum(times):,.0f}" if sum(times) > 0 else "n/a"})
    return cells


def format_table(columns: dict[str, dict[str, str]]) -> str:
    """Rows of labels against one column per run, right-aligned."""
    labels = list(dict.fromkeys(k for cells in columns.values() for k in cells))
    width = max(map(len, labels))
    widths = [max(len(h), *(len(c.get(k, "-")) for k in labels)) for h, c in columns.items()]
    lines = [" " * width + "".join(f"  {h:>{w}}" for h, w in zip(columns, widths))]
    for k in labels:
        lines.append(f"{k:<{width}}" + "".join(f"  {c.get(k, '-'):>{w}}"
                                               for c, w in zip(columns.values(), widths)))
    return "\n".join(lines)


def write_plot(path: str, runs: dict[str, list[dict]]) -> None:
    """Length histogram and time against length per run, and with a sweep the trade-off."""
    from matplotlib.figure import Figure

    sweep = len(runs) > 1
    fig = Figure(figsize=(4.2 * (3 if sweep else 2), 3.6), dpi=90, layout="constrained")
    axes = fig.subplots(1, 3 if sweep else 2)
    means, every = [], [r["length"] for rows in runs.values() for r in rows if r["solved"]]
    if every:  # shared bins, about 25 of them
        step = max(1, round((max(every) - min(every)) / 25))
        bins = np.arange(min(every), max(every) + step + 1, step) - 0.5
    for label, rows in runs.items():
        solved = [r for r in rows if r["solved"]]
        lengths = [r["length"] for r in solved]
        if lengths:
            axes[0].hist(lengths, bins=bins, histtype="step" if sweep else "bar", label=label)
            axes[1].scatter(lengths, [r["solve_time"] for r in solved], s=8, alpha=0.6, label=label)
            means.append((label, statistics.mean(r["nodes_generated"] for r in rows),
                          statistics.mean(lengths)))
    axes[0].set(xlabel="solution length", ylabel="states", title="solution lengths")
    axes[1].set(xlabel="solution length", ylabel="solve time (s)", yscale="log", title="time against length")
    if sweep:
        axes[2].plot([m[1] for m in means], [m[2] for m in means], "o-")
        for label, x, y in means:
            axes[2].annotate(label, (x, y), textcoords="offset points", xytext=(4, 4), fontsize=8)
        axes[2].margins(0.2)
        axes[2].set(xlabel="mean nodes generated", ylabel="mean solution length", xscale="log",
                    title="trade-off")
        axes[0].legend(fontsize=8)
    _write_atomically(path, lambda f: fig.savefig(f, format="png"), binary=True)


def _write_atomically(path: str, write, binary: bool = False) -> None:
    """Writes through a temporary file in the same folder, renamed over `path` when complete."""
    folder, name = os.path.split(os.path.abspath(path))
    tmp = os.path.join(folder, f".{name}.{os.getpid()}.tmp")
    try:
        with open(tmp, "xb" if binary else "x", **({} if binary else {"encoding": "utf-8"})) as f:
            write(f)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def _cpus() -> int:
    """CPUs this process may run on."""
    return getattr(os, "process_cpu_count", os.cpu_count)() or 1


# -- the command -----------------------------------------------------------------------------

def _parser() -> tuple[argparse.ArgumentParser, dict[str, type]]:
    """The argument parser and the solver settings' types."""
    parser = argparse.ArgumentParser(prog=_prog(), description=__doc__.split("\n\n")[0])
    solve = parser.add_subparsers(dest="command", required=True).add_parser(
        "solve", description="Solve a test set and summarize the runs.")
    solve.add_argument("--env", required=True, help="environment name, e.g. puzzle15")
    solve.add_argument("--model", required=True, help="AOTInductor model package (.pt2)")
    solve.add_argument("--plugin", default="quelmar_puzzles", help="plug-in module to import and register")
    source = solve.add_mutually_exclusive_group(required=True)
    source.add_argument("--states", help="states, one per line (integers, '#' comments) or a .npy array")
    source.add_argument("--scrambles", metavar="N:DEPTH", help="N states scrambled DEPTH moves by the plug-in")
    solve.add_argument("--seed", type=int, default=0, help="seed of the first scramble (state i: seed+i)")
    solve.add_argument("--solver", choices=["auto", "cpu", "gpu"], default="auto",
                       help="auto: the GPU solver for a --device starting with 'cuda'")
    solve.add_argument("--threads", type=int, default=1, help="states solved at once (default: 1)")
    solve.add_argument("--cluster", metavar="ADDRESS", help="Dask scheduler to send the states to")
    solve.add_argument("--sweep", metavar="SETTING=V1,V2,...", help="one run per value, e.g. weight=1,2,4")
    solve.add_argument("--optimal", metavar="FILE", help="optimal solution lengths, one per line")
    solve.add_argument("--out", metavar="FILE.jsonl", help="one JSON row per state and run")
    solve.add_argument("--plot", metavar="FILE.png", help="length histogram, time against length, trade-off")
    solve.add_argument("--quiet", action="store_true", help="no progress bar")
    types = _add_setting_options(solve.add_argument_group("search settings"))
    return parser, types


def _plan_threads(args, argv_given: bool) -> str:
    """OpenMP threads per solve, dividing the CPUs among --threads; may re-execute the command."""
    if "OMP_NUM_THREADS" in os.environ or args.threads == 1 or args.cluster:
        return os.environ.get("OMP_NUM_THREADS", f"{_cpus()} (all CPUs)")
    share = str(max(1, _cpus() // args.threads))
    if not argv_given:
        # libgomp reads OMP_NUM_THREADS once, when the backend is loaded (importing quelmar_cpp),
        # so the share takes effect in a fresh process running the same command.
        sys.stdout.flush()
        os.execve(sys.executable, sys.orig_argv, {**os.environ, "OMP_NUM_THREADS": share})
    return f"{_cpus()} (fixed when quelmar_cpp was imported)"


def _check_writable(path: str | None, option: str) -> None:
    """UsageError unless `path`'s folder exists and is writable, so no run ends unsaved."""
    folder = os.path.dirname(os.path.abspath(path)) if path else None
    if folder and not (os.path.isdir(folder) and os.access(folder, os.W_OK)):
        raise UsageError(f"{option} {path}: folder {folder} does not exist or is not writable")


def _runs(args, types: dict[str, type]) -> tuple[str | None, dict[str, dict]]:
    """The swept setting's name and {column label: settings} of each run."""
    settings = {k[4:]: v for k, v in vars(args).items() if k.startswith("set_")}
    if not args.sweep:
        return None, {"result": settings}
    name, _, values = args.sweep.partition("=")
    name = {"batch": "batch_size"}.get(name.strip(), name.strip().replace("-", "_"))
    if name not in types or name in settings or not values:
        raise UsageError(f"--sweep {args.sweep}: expected SETTING=V1,V2,... with a search setting "
                         f"not also given as an option, e.g. weight=1,2,4")
    convert = _parse_bool if types[name] is bool else types[name]
    try:
        parsed = {f"{name}={v.strip()}": convert(v.strip()) for v in values.split(",")}
    except ValueError as exc:
        raise UsageError(f"--sweep {args.sweep}: {exc}") from None
    return name, {label: {**settings, name: v} for label, v in parsed.items()}


def main(argv: list[str] | None = None) -> int:
    """Runs the command line (``sys.argv`` when `argv` is None); returns the exit status."""
    if (sys.argv[1:] if argv is None else argv)[:1] == ["train"]:
        from .train import main as train  # imports torch: only for this command
        return train(sys.argv[2:] if argv is None else argv[1:])
    parser, types = _parser()
    args = parser.parse_args(sys.argv[1:] if argv is None else argv)
    try:
        return _solve(args, types, argv is not None)
    except UsageError as exc:
        print(f"{parser.prog} solve: error: {exc}", file=sys.stderr)
        return 2
    except SolveError as exc:
        print(f"{parser.prog} solve: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{parser.prog} solve: interrupted; nothing written", file=sys.stderr)
        return 130


def _scrambles(args, plugin) -> list[tuple[str, list[int]]]:
    """(location, state) pairs of --scrambles N:DEPTH from the plug-in; UsageError when it cannot."""
    match = re.fullmatch(r"(\d+):(\d+)", args.scrambles)
    if not match or int(match[1]) < 1:
        raise UsageError(f"--scrambles {args.scrambles}: expected N:DEPTH with N >= 1, e.g. 200:40")
    if not hasattr(plugin, "scramble"):
        raise UsageError(f"plug-in {args.plugin} offers no scramble(); use --states")
    try:
        return [(f"scramble {i}, seed {args.seed + i}",
                 np.asarray(plugin.scramble(args.env, int(match[2]), args.seed + i)).tolist())
                for i in range(int(match[1]))]
    except ValueError as exc:
        raise UsageError(f"--scrambles {args.scrambles} --seed {args.seed}: {exc}") from None


def _row(index: int, swept: dict, state: list[int], result: dict, plugin, env: str) -> dict:
    """The JSON row of one solved (or unsolved) state, with its replay check."""
    moves = list(result["moves"])
    row = {"index": index, **swept, "state": state, "solved": bool(result["solved"]), "moves": moves,
           "length": len(moves) if result["solved"] else None,
           "nodes_generated": result["nodes_generated"], "solve_time": result["solve_time"],
           "verified": _verify(plugin, env, state, moves)}
    return {**row, **{k: v for k, v in result.items() if k not in row}}


def _solve(args, types: dict[str, type], argv_given: bool) -> int:
    """The solve command; UsageError for bad input, SolveError when a solver call fails."""
    if args.threads < 1 or (args.cluster and args.threads != 1):
        raise UsageError("--threads must be at least 1, and is not used with --cluster")
    sweep_name, runs = _runs(args, types)
    omp = _plan_threads(args, argv_given)
    device = next((s["device"] for s in runs.values() if "device" in s), "cpu")
    solver = args.solver if args.solver != "auto" else ("gpu" if device.startswith("cuda") else "cpu")
    accepted = solver_parameters(getattr(quelmar_cpp, SOLVERS[solver]))
    for settings in runs.values():
        wrong = [k for k in settings if k not in accepted]
        if wrong:
            raise UsageError(f"--{wrong[0].replace('_', '-')} does not apply to the {solver.upper()} solver")
        if solver == "cpu":
            settings.setdefault("device", "cpu")
    _check_writable(args.out, "--out")
    _check_writable(args.plot, "--plot")
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise UsageError("--plot needs matplotlib") from None
    if not args.cluster and not os.path.isfile(args.model):
        raise UsageError(f"model package not found: {args.model}")

    plugin = _load_plugin(args.plugin, args.env)
    states = read_states(args.states) if args.states else _scrambles(args, plugin)
    _check_states(plugin, args.env, states)
    optimal = read_optimal(args.optimal, len(states)) if args.optimal else None

    calls = [(args.plugin, solver, args.env, args.model, state,
              settings.get("weight", _REQUIRED_DEFAULTS["weight"]),
              settings.get("batch_size", _REQUIRED_DEFAULTS["batch_size"]),
              {k: v for k, v in settings.items() if k not in _REQUIRED_DEFAULTS})
             for settings in runs.values() for _, state in states]
    bar = _progress(len(calls), args.quiet)
    start = time.perf_counter()
    try:
        results = run_cluster(args.cluster, calls, bar) if args.cluster else run_local(calls, args.threads, bar)
    except SolveError as exc:
        index, error = exc.args[0]
        where = states[index % len(states)][0]
        run = f" in run {list(runs)[index // len(states)]}" if sweep_name else ""
        raise SolveError(f"state {index % len(states)} ({where}){run}: {type(error).__name__}: {error}") from None
    finally:
        bar.close()
    wall = time.perf_counter() - start

    columns, rows_by_run, all_rows = {}, {}, []
    for r, (label, settings) in enumerate(runs.items()):
        swept = {sweep_name: settings[sweep_name]} if sweep_name else {}
        rows = [_row(i, swept, state, results[r * len(states) + i], plugin, args.env)
                for i, (_, state) in enumerate(states)]
        rows_by_run[label], columns[label] = rows, summarize(rows, optimal)
        all_rows += rows

    if args.out:
        _write_atomically(args.out, lambda f: f.writelines(json.dumps(r) + "\n" for r in all_rows))
    if args.plot:
        write_plot(args.plot, rows_by_run)
    print(format_table(columns))
    where = f"on {args.cluster}" if args.cluster else f"{args.threads} thread(s) x {omp} OpenMP threads"
    print(f"{len(states)} states x {len(runs)} run(s), {solver.upper()} solver, {wall:.2f} s wall, {where}")
    failed = [r for r in all_rows if r["solved"] and r["verified"] is False]
    if failed:
        print(f"{_prog()} solve: error: {len(failed)} solution(s) do not reach a goal when "
              f"replayed (first: state {failed[0]['index']})", file=sys.stderr)
        return 1
    return 0


def _prog() -> str:
    """The program name used in messages."""
    return "python3 -m quelmar_cpp" if sys.argv[0].endswith(os.path.join("quelmar_cpp", "__main__.py")) else "quelmar"


if __name__ == "__main__":
    sys.exit(main())
