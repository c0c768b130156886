"""The solve command (quelmar_cpp.cli), end to end on small 8-puzzle sets."""
import fcntl
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import time

import numpy as np
import pytest

import quelmar_puzzles
from quelmar_cpp import cli
from quelmar_cpp.cli import command, settings

MODEL = os.path.join(os.environ.get("QUELMAR_BUILD_DIR", "build"), "models", "puzzle8_manhattan.pt2")
ENV = "puzzle8"

# Test plug-ins: one whose first use on a Dask worker kills that worker, one that
# reports no state as solved, one without the replay helpers, and one whose replays
# (one per finished row) after the first CLI_TEST_GATE wait until the process stops.
PLUGINS = {
    "_cli_dies_once": """
import os, quelmar_puzzles
from quelmar_puzzles import apply_moves, is_solved, goal_state, scramble
def register():
    try:
        import distributed
        distributed.get_worker()
        os.close(os.open(os.environ["CLI_TEST_MARKER"], os.O_CREAT | os.O_EXCL))
        os._exit(1)
    except (ImportError, ValueError, FileExistsError, KeyError):
        return quelmar_puzzles.register()
""",
    "_cli_never_solved": "from quelmar_puzzles import register, apply_moves\nis_solved = lambda env, state: False\n",
    "_cli_no_helpers": "from quelmar_puzzles import register\n",
    "_cli_gate": """
import os, time, quelmar_puzzles
from quelmar_puzzles import register, is_solved, goal_state
replays = 0
def apply_moves(env, state, moves):
    global replays
    replays += 1
    while replays > int(os.environ.get("CLI_TEST_GATE", replays)):
        time.sleep(0.02)
    return quelmar_puzzles.apply_moves(env, state, moves)
""",
}


@pytest.fixture(scope="module")
def test_set(tmp_path_factory):
    """A text file of 10 scrambled states (mixed separators, comments) and their optimal lengths."""
    quelmar_puzzles.register()
    folder = tmp_path_factory.mktemp("set")
    states = [quelmar_puzzles.scramble(ENV, 6 + 2 * i, 100 + i).tolist() for i in range(10)]
    lines = ["# 8-puzzle test set", ""]
    lines += [(", " if i % 2 else " ").join(map(str, s)) + ("  # comment" if i == 3 else "")
              for i, s in enumerate(states)]
    (folder / "states.txt").write_text("\n".join(lines) + "\n")
    optimal = [quelmar_puzzles.optimal_solution_length(ENV, s, 40) for s in states]
    (folder / "optimal.txt").write_text("\n".join(map(str, optimal)) + "\n")
    for name, text in PLUGINS.items():
        (folder / f"{name}.py").write_text(text)
    sys.path.insert(0, str(folder))
    yield folder, states, optimal
    sys.path.remove(str(folder))


def solve(capsys, *args):
    """Exit status, stdout and stderr of the solve command run in this process."""
    return (cli.main(["solve", "--env", ENV, "--model", MODEL, "--quiet", *map(str, args)]),
            *capsys.readouterr())


def table(out):
    """{row label: [cells]} of the summary table."""
    rows = [re.match(r"(.*?)\s{2,}(.*)", line).groups() for line in out.strip().splitlines()[1:-1]]
    return {label: cells.split() for label, cells in rows}


def read_rows(path):
    return [json.loads(line) for line in open(path)]


def same_search(a, b):
    """Rows equal in everything but the measured times."""
    drop = lambda r: {k: v for k, v in r.items() if k != "solve_time"}
    return [drop(r) for r in a] == [drop(r) for r in b]


# Catches: rows out of input order, unverified or unreplayable solutions, summary figures
# that disagree with the rows, a missing plot.
def test_rows_summary_and_plot_match_a_direct_computation(test_set, tmp_path, capsys):
    folder, states, optimal = test_set
    out, plot = tmp_path / "rows.jsonl", tmp_path / "run.png"
    code, stdout, _ = solve(capsys, "--states", folder / "states.txt", "--optimal", folder / "optimal.txt",
                            "--batch", 4, "--out", out, "--plot", plot)
    assert code == 0
    rows = read_rows(out)
    assert [(r["index"], r["state"]) for r in rows] == list(enumerate(states))
    for r in rows:
        assert r["solved"] and r["verified"] is True and r["length"] == len(r["moves"]) >= optimal[r["index"]]
        assert quelmar_puzzles.is_solved(ENV, quelmar_puzzles.apply_moves(ENV, r["state"], r["moves"]))
    lengths, nodes, times = ([r[key] for r in rows] for key in ("length", "nodes_generated", "solve_time"))
    excess = [l - o for l, o in zip(lengths, optimal)]
    cells = table(stdout)
    assert cells["solved"] == ["10/10", "(100.0%)"] and cells["verified"] == ["10/10"]
    expected = {"length mean": statistics.mean(lengths), "length median": statistics.median(lengths),
                "length max": max(lengths), "optimal": 100 * excess.count(0) / len(rows),
                "excess mean": statistics.mean(excess), "nodes mean": statistics.mean(nodes),
                "nodes median": statistics.median(nodes), "time mean (s)": statistics.mean(times),
                "nodes/s": sum(nodes) / sum(times)}
    for label, value in expected.items():
        number = float(cells[label][0].replace(",", "").rstrip("%"))
        assert number == pytest.approx(value, rel=1e-3, abs=0.06), label
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


# Catches: threads reordering or changing results, a sweep's rows or columns out of order.
def test_sweep_with_two_threads_matches_one_thread(test_set, tmp_path, capsys):
    folder, states, _ = test_set
    one, two, plot = tmp_path / "one.jsonl", tmp_path / "two.jsonl", tmp_path / "sweep.png"
    args = ["--states", folder / "states.txt", "--sweep", "weight=0.5,1", "--batch", 4]
    assert solve(capsys, *args, "--threads", 1, "--out", one)[0] == 0
    # Through the module's entry point, the backend sharing the CPUs among the solving threads.
    env = {k: v for k, v in os.environ.items() if k not in ("OMP_NUM_THREADS", "QUELMAR_THREADS")}
    run = subprocess.run([sys.executable, "-m", "quelmar_cpp", "solve", "--env", ENV, "--model", MODEL,
                          *map(str, args), "--threads", "2", "--out", str(two), "--plot", str(plot)],
                         env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[0].split() == ["weight=0.5", "weight=1"]
    assert run.stdout.strip().endswith("2 thread(s), OpenMP threads shared by load")
    rows = read_rows(one)
    assert [(r["weight"], r["index"]) for r in rows] == [(w, i) for w in (0.5, 1.0) for i in range(len(states))]
    assert same_search(rows, read_rows(two))
    assert plot.read_bytes()[:4] == b"\x89PNG"


# Catches: the beam solver unreachable from the command or given the A* arguments, its
# solutions not replaying, a beam_width sweep out of order.
def test_beam_solver_rows_replay_in_a_width_sweep(test_set, tmp_path, capsys):
    folder, states, _ = test_set
    out = tmp_path / "beam.jsonl"
    status, stdout, _ = solve(capsys, "--states", folder / "states.txt", "--solver", "beam",
                              "--max-steps", 60, "--sweep", "beam_width=1,50", "--out", out)
    assert status == 0
    rows = read_rows(out)
    assert [(r["beam_width"], r["index"]) for r in rows] == [(w, i) for w in (1, 50) for i in range(len(states))]
    assert all(r["solved"] and r["verified"] for r in rows if r["beam_width"] == 50)
    assert "BEAM solver" in stdout.splitlines()[-1]


# Catches: a solver of the backend's table missing from --solver, or the Q solvers' rows not
# replaying: Q* at weight 1, one entry a step, over the exact Q-network is optimal.
@pytest.mark.parametrize("solver, extra", [("qstar", ["--batch", 1]),
                                           ("qbeam", ["--beam-width", 50, "--max-steps", 60])])
def test_q_solvers_from_the_command(test_set, tmp_path, capsys, solver, extra):
    folder, states, optimal = test_set
    out = tmp_path / f"{solver}.jsonl"
    status, stdout, _ = solve(capsys, "--states", folder / "states.txt", "--solver", solver, "--model",
                              MODEL.replace("_manhattan.pt2", "_manhattan_q.pt2"), *extra, "--out", out)
    assert status == 0 and f"{solver.upper()} solver" in stdout.splitlines()[-1]
    rows = read_rows(out)
    assert all(r["solved"] and r["verified"] for r in rows)
    if solver == "qstar":
        assert [r["length"] for r in rows] == optimal


# Catches: a plug-in without replay helpers failing the run, a failed replay not failing it.
@pytest.mark.parametrize("plugin, verified, code", [
    ("_cli_no_helpers", None, 0),
    ("_cli_never_solved", False, 1),
])
def test_verification_without_helpers_or_with_a_failing_replay(test_set, tmp_path, capsys, plugin, verified, code):
    out = tmp_path / "rows.jsonl"
    status, stdout, err = solve(capsys, "--plugin", plugin, "--states", test_set[0] / "states.txt", "--out", out)
    assert status == code
    assert {r["verified"] for r in read_rows(out)} == {verified}
    assert ("do not reach a goal" in err) == (code == 1)


GOOD = "1 2 3 4 5 6 7 8 0\n"
MALFORMED = [
    # (states file text or None, extra arguments, exit status, expected message)
    (GOOD + "1 2 x 4 5 6 7 8 0\n", [], 2, "states.txt:2: expected integers separated by spaces or commas, found 'x'"),
    ("# header\n1,2,,3,4,5,6,7,8\n", [], 2, "states.txt:2: expected integers"),
    (GOOD + GOOD + "1 2 3 4 5 6 7 8 300\n", [], 2, "states.txt:3: value 300 is outside 0..255"),
    (GOOD + "\n1 2 3 4 5 6 7 8 0 9\n", [], 2, "states.txt:3: state has 10 values, puzzle8 states have 9"),
    ("0 0 1 2 3 4 5 6 7\n", [], 2, "states.txt:1: puzzle8: tile 0 appears more than once"),
    ("# nothing\n\n", [], 2, "states.txt: no states"),
    (None, ["--states", "{dir}/flat.npy"], 2, "flat.npy: expected a 2-D integer array"),
    (GOOD, ["--env", "puzzle9"], 2, "unknown environment 'puzzle9'; plug-in quelmar_puzzles provides: puzzle8"),
    (GOOD, ["--optimal", "{dir}/states.txt"], 2, "states.txt:1: expected one non-negative length"),
    (GOOD, ["--scrambles", "5"], 2, "expected N:DEPTH"),
    (GOOD, ["--sweep", "colour=1,2"], 2, "expected SETTING=V1,V2,..."),
    (GOOD, ["--model", "{dir}/missing.pt2"], 2, "model package not found: "),
    (GOOD, ["--nnet-batch-size", "8"], 2, "--nnet-batch-size does not apply to the CPU solver"),
    (GOOD, ["--solver", "beam", "--weight", "2"], 2, "--weight does not apply to the BEAM solver"),
    (GOOD, ["--plugin", "no_such_plugin"], 2, "cannot import plug-in module 'no_such_plugin'"),
    (GOOD, ["--sweep", "capacity-mode=fixed,sideways"], 2, "'sideways' is not one of 'adaptive', 'fixed'"),
    (GOOD, ["--resume"], 2, "--resume: there is no "),
    (GOOD + GOOD, ["--initial-open-size", "-1"], 1, "states.txt:1): ValueError: initial_open_size"),
]


# Catches: bad input or settings reported as a traceback, several lines, or after a
# partial output file was written.
@pytest.mark.parametrize("text, extra, code, message", MALFORMED)
def test_bad_input_is_one_line_and_writes_nothing(tmp_path, capsys, text, extra, code, message):
    if text is not None:
        (tmp_path / "states.txt").write_text(text)
    np.save(tmp_path / "flat.npy", np.arange(9))
    out = tmp_path / "rows.jsonl"
    extra = [a.replace("{dir}", str(tmp_path)) for a in extra]
    source = [] if "--states" in extra or "--scrambles" in extra else ["--states", tmp_path / "states.txt"]
    status, _, err = solve(capsys, *source, *extra, "--out", out)
    assert status == code
    assert len(err.strip().splitlines()) == 1 and message in err, err
    assert not out.exists() and not list(tmp_path.glob(".*tmp")) and not list(tmp_path.glob("*.partial"))


# Catches: the rows finished before a solver failure thrown away.
def test_a_solver_failure_keeps_the_rows_before_it(tmp_path, capsys):
    (tmp_path / "states.txt").write_text(GOOD * 2)
    out = tmp_path / "rows.jsonl"
    status, _, err = solve(capsys, "--states", tmp_path / "states.txt", "--sweep", "initial-open-size=0,-1",
                           "--out", out)
    assert status == 1 and err.count("\n") == 1
    assert err.endswith(f"; 2 finished rows kept in {out}.partial (add --resume to go on)\n"), err
    assert [json.loads(line)["initial_open_size"] for line in open(f"{out}.partial").readlines()[1:]] == [0, 0]


# Catches: a relative model path handed to workers that run in another folder, a path
# the workers cannot read failing late or as more than one line, states of a dead Dask
# worker lost, rows returned in completion order.
def test_cluster_workers_elsewhere_and_a_dead_worker(test_set, tmp_path, capsys, monkeypatch):
    distributed = pytest.importorskip("distributed")
    marker = tmp_path / "worker-died"
    monkeypatch.setenv("CLI_TEST_MARKER", str(marker))
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([str(test_set[0]), os.environ.get("PYTHONPATH", "")]))
    states = ["--scrambles", "8:14", "--seed", 3]
    assert solve(capsys, *states, "--out", tmp_path / "local.jsonl")[0] == 0
    here, elsewhere = os.getcwd(), tmp_path / "elsewhere"
    elsewhere.mkdir()
    monkeypatch.chdir(elsewhere)  # where the workers start
    with distributed.LocalCluster(host="127.0.0.1", n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        monkeypatch.chdir(here)
        cluster_args = [*states, "--cluster", cluster.scheduler_address]
        with distributed.Client(cluster.scheduler_address) as client:
            assert set(client.run(os.getcwd).values()) == {str(elsewhere)}
        relative = solve(capsys, *cluster_args, "--model", os.path.relpath(MODEL), "--out", tmp_path / "rel.jsonl")
        missing = solve(capsys, *cluster_args, "--model", "gone.pt2", "--out", tmp_path / "gone.jsonl")
        dying = solve(capsys, *cluster_args, "--plugin", "_cli_dies_once", "--out", tmp_path / "dying.jsonl")
    assert relative[0] == 0, relative[2]
    assert missing[0] == 2 and missing[2].count("\n") == 1 and not list(tmp_path.glob("gone.jsonl*"))
    assert f"model package {os.path.abspath('gone.pt2')} is not readable on worker tcp://127.0.0.1:" in missing[2]
    assert dying[0] == 0 and marker.exists(), dying[2]
    local = read_rows(tmp_path / "local.jsonl")
    assert [r["state"] for r in local] == [quelmar_puzzles.scramble(ENV, 14, 3 + i).tolist() for i in range(8)]
    assert same_search(read_rows(tmp_path / "rel.jsonl"), local)
    assert same_search(read_rows(tmp_path / "dying.jsonl"), local)


# Catches: settings discovered without their choices, defaults or per-solver availability,
# or out of the solvers' argument order; an invalid choice reaching the solver.
def test_setting_specs_describe_every_solver(capsys):
    specs = {s["name"]: s for s in settings.setting_specs()}
    names = list(specs)
    assert names[:7] == ["weight", "batch_size", "beam_width", "max_steps", "nnet_batch_size", "device",
                         "print_internals"]
    expected = [  # (name, type, choices, CPU, GPU and beam defaults; "-" where the solver lacks it)
        ("weight", "float", None, None, None, "-"),
        ("beam_width", "int", None, "-", "-", None),
        ("nnet_batch_size", "int", None, "-", 0, "-"),
        ("device", "str", None, None, "cuda:0", "cpu"),
        ("capacity_mode", "str", ["adaptive", "fixed"], "adaptive", "adaptive", "-"),
        ("goal_stop_mode", "str", ["stop_before_goal", "expand_popped_batch"], "stop_before_goal",
         "stop_before_goal", "-"),
        ("operation_breakdown", "bool", None, False, False, False),
    ]
    for name, typ, choices, *defaults in expected:
        spec = specs[name]
        assert (spec["type"], spec["choices"]) == (typ, choices), name
        assert [spec["solvers"].get(s, {"default": "-"})["default"] for s in ("cpu", "gpu", "beam")] == defaults, name
        assert all(isinstance(p["doc"], str) and p["doc"] for p in spec["solvers"].values()), name
    with pytest.raises(SystemExit) as exit:
        cli.main(["solve", "--env", ENV, "--model", MODEL, "--scrambles", "1:1", "--capacity-mode", "sideways"])
    assert exit.value.code == 2 and "invalid choice: 'sideways'" in capsys.readouterr().err


INTERRUPTIONS = [
    # (signal, exit status, its word in the message, extra arguments, a mismatching setting, its text)
    (signal.SIGINT, 130, "interrupted", [], ["--weight", 2], "weight is 2.0 in this command but 1.0 there"),
    (signal.SIGTERM, 143, "terminated", ["--sweep", "weight=0.5,1"], ["--capacity-mode", "fixed"],
     'capacity_mode in run weight=0.5 is "fixed" in this command but "adaptive" there'),
]


# Catches: rows lost or written out of order by an interrupted run, a traceback or a wrong
# exit status, an earlier run's rows overwritten or resumed under other settings, a torn
# last line breaking --resume, a resumed file or summary that differs from a whole run's.
@pytest.mark.parametrize("sig, code, word, extra, other, mismatch", INTERRUPTIONS, ids=["SIGINT", "SIGTERM-sweep"])
def test_interrupted_run_keeps_its_rows_and_resumes(test_set, tmp_path, capsys, sig, code, word, extra,
                                                    other, mismatch):
    folder, states, _ = test_set
    out, partial = tmp_path / "rows.jsonl", tmp_path / "rows.jsonl.partial"
    args = ["--plugin", "_cli_gate", "--states", folder / "states.txt", "--batch", 4, *extra]
    assert solve(capsys, *args, "--out", tmp_path / "whole.jsonl")[0] == 0
    whole, total = read_rows(tmp_path / "whole.jsonl"), len(states) * (2 if extra else 1)
    env = {**os.environ, "CLI_TEST_GATE": "3",
           "PYTHONPATH": os.pathsep.join([str(folder), os.environ.get("PYTHONPATH", "")])}
    run = subprocess.Popen([sys.executable, "-m", "quelmar_cpp", "solve", "--env", ENV, "--model", MODEL,
                            "--quiet", *map(str, args), "--out", str(out)],
                           env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 120
        while not (partial.exists() and partial.read_text().count("\n") == 4):  # the header and 3 rows
            if run.poll() is not None or time.monotonic() > deadline:
                run.kill()
                pytest.fail(f"no 3 rows kept: {run.communicate()}")
            time.sleep(0.02)
        run.send_signal(sig)
        _, err = run.communicate(timeout=60)
    finally:
        run.kill()
    assert run.returncode == code
    assert err == (f"python3 -m quelmar_cpp solve: {word}; 3 of {total} rows kept in {partial}; "
                   f"run the same command with --resume to finish\n")
    assert same_search([json.loads(line) for line in partial.read_text().splitlines()[1:]], whole[:3])
    assert not out.exists()

    kept = partial.read_bytes()
    for refused, message in [([*args, "--out", out], "rows.jsonl.partial holds the rows of an unfinished run"),
                             ([*args, *other, "--out", out, "--resume"], "partial is from another run: " + mismatch),
                             ([*args, "--resume"], "--resume needs --out")]:
        status, _, err = solve(capsys, *refused)
        assert status == 2 and err.count("\n") == 1 and message in err, err
    assert partial.read_bytes() == kept and not out.exists()

    with open(partial, "a") as f:
        f.write('{"index": 3, "sta')  # a write torn by a kill
    status, stdout, err = solve(capsys, *args, "--out", out, "--resume")
    assert status == 0, err
    assert same_search(read_rows(out), whole) and not partial.exists()
    assert [c for c in table(stdout)["solved"] if "/" in c] == [f"{len(states)}/{len(states)}"] * (total // len(states))
    assert stdout.strip().endswith(f"resumed after 3 of {total} rows")


def snapshot(folder):
    """Every entry under `folder` with its kind and content, to show that nothing changed."""
    return {p: (p.is_fifo(), p.is_dir(), p.read_bytes() if p.is_file() else None)
            for p in sorted(folder.rglob("*"))}


REPLACING = [
    # (arguments, the message; {d} is the test's folder)
    (["--out", "{d}/fifo"], "--out {d}/fifo: exists and is not a regular file"),
    (["--out", "{d}/folder"], "--out {d}/folder: exists and is not a regular file"),
    (["--out", "{d}/rows.jsonl", "--plot", "{d}/fifo"], "--plot {d}/fifo: exists and is not a regular file"),
    (["--out", "{d}/r.jsonl", "--plot", "{d}/r.jsonl"], "--out {d}/r.jsonl and --plot {d}/r.jsonl name the same file"),
    (["--out", "{d}/r.jsonl", "--plot", "{d}/r.jsonl.partial"],
     "the --out file's partial file {d}/r.jsonl.partial and --plot {d}/r.jsonl.partial name the same file"),
    (["--out", "{d}/states.txt"], "--out {d}/states.txt and --states {d}/states.txt name the same file"),
    (["--out", "{d}/link.txt"], "--out {d}/link.txt and --states {d}/states.txt name the same file"),
    (["--out", "{d}/m.pt2"], "--out {d}/m.pt2 and --model {d}/m.pt2 name the same file"),
    (["--plot", "{d}/m.pt2.json"], "--plot {d}/m.pt2.json and the --model manifest {d}/m.pt2.json name the same file"),
    (["--out", "{d}/optimal.txt", "--optimal", "{d}/optimal.txt"],
     "--out {d}/optimal.txt and --optimal {d}/optimal.txt name the same file"),
]


# Catches: an output renamed over a device, pipe or folder, or over another output or an input
# (the states, the model or its manifest, the optimal lengths), even through a link.
@pytest.mark.parametrize("extra, message", REPLACING)
def test_outputs_that_would_replace_another_file_are_refused(tmp_path, capsys, extra, message):
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "folder").mkdir()
    (tmp_path / "states.txt").write_text(GOOD)
    (tmp_path / "optimal.txt").write_text("0\n")
    os.symlink(tmp_path / "states.txt", tmp_path / "link.txt")
    for suffix in ("", ".json"):
        (tmp_path / f"m.pt2{suffix}").write_bytes(open(MODEL + suffix, "rb").read())
    before = snapshot(tmp_path)
    status, _, err = solve(capsys, "--states", tmp_path / "states.txt", "--model", tmp_path / "m.pt2",
                           *[a.format(d=tmp_path) for a in extra])
    assert status == 2 and err.count("\n") == 1 and message.format(d=tmp_path) in err, err
    assert snapshot(tmp_path) == before


# Catches: the atomic writer renaming its file over a pipe or folder when called directly.
@pytest.mark.parametrize("make", [os.mkfifo, os.mkdir], ids=["fifo", "folder"])
def test_atomic_writer_never_replaces_what_is_not_a_file(tmp_path, make):
    from quelmar_cpp.common.files import write_atomically
    make(tmp_path / "target")
    before = snapshot(tmp_path)
    with pytest.raises(FileExistsError, match="not a regular file"):
        write_atomically(str(tmp_path / "target"), lambda f: f.write("rows"))
    assert snapshot(tmp_path) == before


@pytest.fixture
def kept_rows(tmp_path, capsys):
    """The arguments of a run whose second sweep value fails, and the partial file with the two
    rows of its first run."""
    (tmp_path / "states.txt").write_text(GOOD + "1 2 3 4 5 0 7 8 6\n")
    args = ["--states", tmp_path / "states.txt", "--sweep", "initial-open-size=0,-1", "--out", tmp_path / "rows.jsonl"]
    assert solve(capsys, *args)[0] == 1
    return args, tmp_path / "rows.jsonl.partial"


def edit_second_row(change):
    def edit(lines):
        row = json.loads(lines[2])
        change(row)
        lines[2] = json.dumps(row)
    return edit


EDITED_ROWS = [
    # (edit of the partial file's lines, the message after "FILE:LINE: "; None: the rows are accepted)
    (lambda lines: None, None),
    (edit_second_row(lambda r: r.pop("verified")), "the row has no 'verified'"),
    (edit_second_row(lambda r: r.update(solve_time="fast")), "'solve_time' is \"fast\", expected number"),
    (edit_second_row(lambda r: r.update(nodes_generated=True)), "'nodes_generated' is true, expected integer"),
    (edit_second_row(lambda r: r.update(moves=[-1])), "'moves' must hold non-negative integers"),
    (edit_second_row(lambda r: r.update(length=99)), "'length' is 99, but its moves give 1"),
    (edit_second_row(lambda r: r.update(moves=[0], length=1)), "'verified' is true, but its moves give false"),
    (edit_second_row(lambda r: r.update(state=[0] * 9)), "expected the row of state 1 in run initial_open_size=0"),
    (lambda lines: lines.__setitem__(2, "[1, 2]"), "not a JSON row"),
]


# Catches: rows read back for --resume trusted beyond their index and state, so that a row
# missing an entry fails after the output is written, or an edited solution counts as verified.
@pytest.mark.parametrize("edit, message", EDITED_ROWS)
def test_resumed_rows_are_checked_like_fresh_ones(kept_rows, capsys, edit, message):
    args, partial = kept_rows
    lines = partial.read_text().splitlines()
    edit(lines)
    partial.write_text("\n".join(lines) + "\n")
    kept = partial.read_bytes()
    status, _, err = solve(capsys, *args, "--resume")
    assert err.count("\n") == 1, err
    if message is None:  # on to the second run, which fails as before
        assert status == 1 and "initial_open_size" in err
    else:
        assert status == 2 and f"--resume: {partial}:3: {message}" in err
        assert partial.read_bytes() == kept and not partial.with_suffix("").exists()


# Catches: a second command writing the partial file of a run in progress (it would interleave
# rows), or failing with a traceback when it finds the file made under it.
def test_a_second_command_on_the_same_out_is_refused(kept_rows, capsys):
    from quelmar_cpp.cli.partial import Rows
    args, partial = kept_rows
    kept = partial.read_bytes()
    with open(partial, "rb") as running:
        fcntl.flock(running.fileno(), fcntl.LOCK_EX)  # as a command writing it holds it
        for extra, message in [(["--resume"], "is being written by another solve command with the same --out"),
                               ([], "holds the rows of an unfinished run")]:
            status, _, err = solve(capsys, *args, *extra)
            assert status == 2 and err.count("\n") == 1 and f"{partial} {message}" in err, err
    assert partial.read_bytes() == kept
    # Two commands that both saw no partial file: the second to create it is refused.
    fresh = partial.with_name("fresh.partial")
    first = Rows(str(fresh), {}, False, lambda i, row: None)
    with pytest.raises(cli.errors.UsageError, match="holds the rows of an unfinished run"):
        Rows(str(fresh), {}, False, lambda i, row: None)
    first.close()


TOP_LEVEL = [
    # (arguments, exit status, the stream to look in, text it must hold, whether that is all of it)
    ([], 2, "err", "quelmar: error: the following arguments are required: command\n", False),
    (["bogus"], 2, "err", "invalid choice: 'bogus' (choose from 'solve', 'train')\n", False),
    (["--help"], 0, "out", "train        train a heuristic network", False),
    (["solve", "--help"], 0, "out", "--capacity-mode STR", False),
    (["train", "--help"], 0, "out", "--refresh-steps INT", False),
    (["solve", "--env", ENV, "--model", MODEL, "--scrambles", "1:1", "--bogus"], 2, "err",
     "quelmar: error: unrecognized arguments: --bogus\n", False),
    (["train", "--bogus", "-x"], 2, "err", "quelmar train: error: unrecognized arguments: --bogus -x\n", True),
    (["train", "--hidden", "wide"], 2, "err", "quelmar train: error: argument --hidden: invalid int value: 'wide'\n",
     True),
    (["train", "--env", ENV], 2, "err", "quelmar train: error: --out DIR is required (or --resume DIR)\n", True),
]


# Catches: a subcommand unreachable from the top-level parser or missing from its help, the
# trainer's usage errors printed with the usage or under another program name, unknown
# arguments of one subcommand reported as the other's.
@pytest.mark.parametrize("args, code, stream, text, whole", TOP_LEVEL)
def test_top_level_parser(capsys, args, code, stream, text, whole):
    try:
        status = cli.main(args)
    except SystemExit as exit:
        status = exit.code
    found = dict(zip(("out", "err"), capsys.readouterr()))[stream]
    assert status == code and (found == text if whole else text in found), found


# Catches: the program named otherwise than the user typed it, and the command line importing
# PyTorch (a second of start-up) to offer the train subcommand to a command that only solves.
def test_program_names_and_no_torch_to_parse():
    for command, prog in [(["quelmar_cpp", "train"], "python3 -m quelmar_cpp train"),
                          (["quelmar_cpp.train"], "python3 -m quelmar_cpp.train")]:
        run = subprocess.run([sys.executable, "-m", *command, "--bogus"], capture_output=True, text=True, timeout=120)
        assert (run.returncode, run.stderr) == (2, f"{prog}: error: unrecognized arguments: --bogus\n")
    probe = ("import contextlib, sys\nfrom quelmar_cpp import cli\n"
             "with contextlib.suppress(SystemExit):\n    cli.main(['train', '--help'])\n"
             "print('torch' in sys.modules)")
    run = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and run.stdout.endswith("False\n"), run.stderr
