"""The trainer (quelmar_cpp.train): outputs, resuming, Bellman targets, the check search, bad input.
Training runs here are a few seconds of 8-puzzle with tiny networks."""
import io
import json
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import torch

import quelmar_cpp
import quelmar_puzzles
from quelmar_cpp import train
from quelmar_cpp.train import data as tdata, loop, outputs, targets as ttargets
from quelmar_cpp.export import manhattan_network

ENV = "puzzle8"
TINY = ["--first", "48", "--hidden", "32", "--blocks", "1", "--batch", "200", "--quiet"]
OUTPUTS = {"model.pt", "puzzle8_learned.pt2", "puzzle8_learned.pt2.json", "train_log.json",
           "learning_curve.png", "checkpoint.pt"}


@pytest.fixture(scope="module", autouse=True)
def registered():
    quelmar_puzzles.register()


def log_of(folder):
    return json.loads((folder / "train_log.json").read_text())


@pytest.fixture(scope="module")
def walk_run(tmp_path_factory):
    """A finished walk-target run: its folder and exit status."""
    out = tmp_path_factory.mktemp("walk") / "run"
    status = train.main(["--env", ENV, "--out", str(out), "--targets", "walk", "--steps", "120",
                         "--max-walk", "20", "--walks", "no_return", "--eval-every", "60", "--eval-states", "10",
                         "--eval-depth", "8", *TINY])
    return out, status


# Catches: a missing or half-written output, a package the solver cannot load (or whose manifest
# names another environment), an exported network that differs from model.pt, solutions that do
# not replay to the goal, a log without its curve, time split or versions, steps that do not learn.
def test_walk_run_writes_outputs_that_solve(walk_run):
    out, status = walk_run
    assert status == 0
    assert set(os.listdir(out)) == OUTPUTS
    package = str(out / "puzzle8_learned.pt2")
    assert json.loads((out / "puzzle8_learned.pt2.json").read_text())["env"] == ENV

    network = train.load_network(out / "model.pt")
    assert network.env == ENV and network.shape == {"inputs": 81, "first": 48, "hidden": 32,
                                                     "blocks": 1, "batch_norm": True, "outputs": 1}
    states = np.stack([quelmar_puzzles.scramble(ENV, 12, s) for s in range(8)])
    inputs = torch.from_numpy(quelmar_cpp.network_inputs(ENV, states))
    with torch.no_grad():
        ours = network(inputs)
        exported = torch._inductor.aoti_load_package(package)(inputs)
    assert torch.allclose(ours, exported, atol=1e-4) and bool((ours >= 0).all())

    for state in states:
        result = quelmar_cpp.run_weighted_astar(state, ENV, package, 1.0, 16, device="cpu")
        assert result["solved"]
        assert quelmar_puzzles.is_solved(ENV, quelmar_puzzles.apply_moves(ENV, state, result["moves"]))

    log = log_of(out)
    assert log["status"] == "finished" and log["step"] == 120 and log["settings"]["targets"] == "walk"
    assert [r["step"] for r in log["curve"] if "eval" in r] == [60, 120]
    assert {"data", "train"} <= set(log["time_split"]["seconds"])
    assert log["time_split"]["data_over_training"] > 0
    assert log["versions"]["torch"] == torch.__version__
    walks, lengths = quelmar_cpp.random_walks(ENV, quelmar_puzzles.goal_state(ENV), 4000, 20, 99,
                                               no_return=True)
    error = lambda net: float(((train.data.network_values(net, ENV, walks) - lengths) ** 2).mean())
    untrained = train.build_network(81, 48, 32, 1, True, seed=0).eval()  # the run's start (seed 0)
    assert error(network) < 0.75 * error(untrained)


# Catches: a resumed run that restarts from step 0, loses steps of its curve, or drops part of its
# state (optimizer, target network, refresh rule, data position): its weights would then differ
# from those of the same run left uninterrupted. Also the exit status and the resume hint.
@pytest.mark.parametrize("sig, status, head, targets", [
    (signal.SIGINT, 130, "value", "bellman"), (signal.SIGTERM, 143, "value", "bellman"),
    (signal.SIGINT, 130, "q", "bellman"), (signal.SIGINT, 130, "q", "walk")],
    ids=["SIGINT", "SIGTERM", "SIGINT-q", "SIGINT-q-walk"])
def test_interrupted_run_resumes_where_it_stopped(tmp_path, sig, status, head, targets):
    settings = ["--env", ENV, "--head", head, "--targets", targets, "--refresh-steps", "15", "--plateau-window",
                "4", "--max-walk", "12", "--eval-every", "25", "--eval-states", "5", "--eval-depth",
                "6", "--no-export", "--threads", "1", *TINY]
    # A fixed thread count: PyTorch's sums depend on it, and the default follows the load.
    out = tmp_path / "run"
    proc = subprocess.Popen([sys.executable, "-m", "quelmar_cpp", "train", *settings,
                             "--out", str(out), "--steps", "100000", "--checkpoint-minutes", "0.0005"],
                            stderr=subprocess.PIPE, text=True)
    try:
        while not (out / "checkpoint.pt").exists() and proc.poll() is None:
            time.sleep(0.05)
        proc.send_signal(sig)
        _, err = proc.communicate(timeout=120)
    finally:
        proc.kill()
    assert proc.returncode == status
    assert len(err.strip().splitlines()) == 1 and f"--resume {out}" in err
    stopped = log_of(out)
    assert stopped["status"] == "interrupted" and stopped["step"] > 0
    assert "puzzle8_learned.pt2" not in os.listdir(out)

    total = stopped["step"] + 40
    assert train.main(["--resume", str(out), "--steps", str(total), "--quiet"]) == 0
    log = log_of(out)
    steps = [r["step"] for r in log["curve"]]
    assert steps == sorted(set(steps)) and steps[-1] == total
    assert [s["from_step"] for s in log["sessions"]] == [0, stopped["step"]]
    assert log["curve"][:len(stopped["curve"])] == stopped["curve"]

    straight = tmp_path / "straight"
    assert train.main([*settings, "--out", str(straight), "--steps", str(total)]) == 0
    resumed, uninterrupted = (torch.load(f / "model.pt", weights_only=True)["state_dict"]
                              for f in (out, straight))
    assert all(torch.equal(resumed[k], uninterrupted[k]) for k in resumed)
    assert log["target_refreshes"] == log_of(straight)["target_refreshes"]


# The 8-puzzle goal is 1..8 with the blank last; moves move the blank up, down, left, right.
GOAL = [1, 2, 3, 4, 5, 6, 7, 8, 0]
ONE = [1, 2, 3, 4, 5, 0, 7, 8, 6]     # blank up from the goal
TWO = [1, 2, 3, 4, 0, 5, 7, 8, 6]     # then left
# Child estimates by state; any other child is worth 100.
ESTIMATES = {
    (1, 2, 3, 4, 5, 6, 7, 8, 0): 9.0,   # the goal: must count as 0 whatever the network says
    (1, 2, 0, 4, 5, 3, 7, 8, 6): 4.0,   # ONE, blank up
    (1, 2, 3, 4, 0, 5, 7, 8, 6): 2.5,   # ONE, blank left (= TWO)
    (1, 2, 3, 4, 5, 0, 7, 8, 6): 1.5,   # TWO, blank right (= ONE)
    (1, 0, 3, 4, 2, 5, 7, 8, 6): 3.0,   # TWO, blank up
    (1, 2, 3, 4, 8, 5, 7, 0, 6): 6.0,   # TWO, blank down
}


# Catches: goals given a non-zero target, goal children valued by the network instead of 0, the
# 1 + min taken over the wrong axis or without the move's cost.
@pytest.mark.parametrize("state, expected", [(GOAL, 0.0), (ONE, 1.0), (TWO, 1.0 + 1.5)])
def test_bellman_target_of_hand_cases(state, expected):
    def estimates(children):
        return np.array([ESTIMATES.get(tuple(c), 100.0) for c in children])
    states = np.array([state, GOAL, TWO], dtype=np.uint8)
    targets = train.bellman_targets(ENV, states, estimates)
    assert targets.dtype == np.float32 and targets[0] == pytest.approx(expected)
    assert targets[1:].tolist() == [0.0, 2.5]


# Catches: a goal child not worth 0, the move's cost left out, children out of move order (up,
# down, left, right), or a move off the board not priced as standing still.
def test_q_targets_of_hand_cases():
    children = tdata.expand_children(ENV, np.array([ONE, TWO], dtype=np.uint8))
    values = np.array([ESTIMATES.get(tuple(c), 100.0) for c in children.unique], np.float32)
    assert tdata.q_targets_from_values(children, values).tolist() == [
        [5.0, 1.0, 3.5, 2.5], [4.0, 7.0, 101.0, 2.5]]


# Catches: a teacher's values not reaching the targets, goal children valued by the teacher,
# or a Q-network, a network of another input width or another environment taken as teacher.
def test_teacher_targets(tmp_path):
    teacher = train.build_network(81, 8, 8, 0, False, seed=1)
    with torch.no_grad():
        for parameter in teacher.parameters():
            parameter.zero_()
        teacher.head.bias.fill_(3.0)  # V = 3 everywhere
    (tmp_path / "t").mkdir()
    torch.save(train.network_record(teacher, ENV), tmp_path / "t" / "model.pt")
    settings = {"teacher": str(tmp_path / "t"), "env": ENV, "head": "q", "targets": "teacher"}
    student = train.build_network(81, 8, 8, 0, False, outputs=4)
    batch = tdata.make_batch(ENV, np.array(GOAL, np.uint8), 0, 0, 4, 1, True)
    kind = ttargets.make_targets(student, settings)
    y = kind(batch, tdata.PhaseTimer()).numpy()
    goal_child = np.isin(batch.children.index, np.flatnonzero(batch.children.unique_goal))
    assert y.shape == (4, 4) and np.array_equal(y, np.where(goal_child, 1.0, 4.0))
    for network, env, match in [(train.build_network(81, 8, 8, 0, False, outputs=4), ENV, "is a Q-network"),
                                (train.build_network(256, 8, 8, 0, False), ENV, "takes 256 inputs"),
                                (teacher, "puzzle15", "was trained for puzzle8, not puzzle15")]:
        torch.save(train.network_record(network, ENV), tmp_path / "t" / "model.pt")
        with pytest.raises(ValueError, match=match):
            ttargets.make_targets(student, {**settings, "env": env})


# Catches: a child that is not one of the state's, moves back that do not lead back (or blocked
# moves not taken as ways back), draws that change between calls, and walk Q targets given to
# other moves than the moves back.
def test_walk_neighbours_and_their_q_targets():
    states = np.array([GOAL, ONE, TWO] * 8, dtype=np.uint8)
    children, back = tdata.walk_neighbours(ENV, states, seed=5)
    again = tdata.walk_neighbours(ENV, states, seed=5)
    assert np.array_equal(children, again[0]) and np.array_equal(back, again[1])
    own = quelmar_cpp.expand_states(ENV, states)
    for i in range(len(states)):
        assert (own[i] == children[i]).all(axis=1).any()
        assert back[i].any()
    # By hand, the goal's children and their ways back (moves up, down, left, right): the blank
    # is in the corner, so down and right are blocked and both lead back.
    expected = {tuple(GOAL): [False, True, False, True], tuple(ONE): [False, True, False, False],
                (1, 2, 3, 4, 5, 6, 7, 0, 8): [False, False, False, True]}
    children, back = tdata.walk_neighbours(ENV, np.array([GOAL] * 24, dtype=np.uint8), seed=1)
    assert {tuple(c) for c in children} == set(expected)
    assert all(expected[tuple(c)] == b.tolist() for c, b in zip(children, back))

    batch = tdata.Batch(0, None, np.array([0, 3]), None,
                        back=np.array([[False, True, False, True], [True, False, False, False]]))
    kind = ttargets.make_targets(train.build_network(81, 8, 8, 0, False, outputs=4),
                                 {"head": "q", "targets": "walk"})
    y = kind(batch, tdata.PhaseTimer()).numpy()
    assert y.dtype == np.float32 and np.array_equal(np.isnan(y), ~batch.back)
    assert (y[0, 1], y[0, 3], y[1, 0]) == (1.0, 1.0, 4.0)


# Catches: a Q run that exports another width than one column per move (in either precision), or
# a package the Q-beam cannot use: a Q-network trained by the teacher route (from a value run) or
# from walk labels solves shallow scrambles.
@pytest.mark.parametrize("route", ["teacher", "walk"])
def test_q_run_solves(walk_run, tmp_path, route):
    teacher, _ = walk_run
    out = tmp_path / "q"
    how = ["--targets", "teacher", "--teacher", str(teacher)] if route == "teacher" else [
        "--targets", "walk", "--walks", "no_return"]
    assert train.main(["--env", ENV, "--out", str(out), "--head", "q", *how, "--steps", "150",
                       "--max-walk", "12", "--eval-states", "0", "--bf16", "--threads", "1", *TINY]) == 0
    assert train.load_network(out / "model.pt").shape["outputs"] == 4
    assert json.loads((out / "puzzle8_learned.pt2.json").read_text())["output_elements_per_example"] == 4
    half = json.loads((out / "puzzle8_learned_bf16.pt2.json").read_text())
    assert (half["output_elements_per_example"], half["precision"]) == (4, "bfloat16")
    solved = 0
    for seed in range(6):
        state = np.asarray(quelmar_puzzles.scramble(ENV, 8, seed), np.uint8)
        result = quelmar_cpp.run_q_beam_search(state, ENV, str(out / "puzzle8_learned.pt2"), 64, 50)
        if result["solved"]:
            solved += 1
            assert quelmar_puzzles.is_solved(ENV, quelmar_puzzles.apply_moves(ENV, state, result["moves"]))
    assert solved >= 4


# Catches: a plateau rule that fires while the loss still falls or never fires on a flat loss,
# and a step cap that is ignored.
@pytest.mark.parametrize("every, window, losses, refreshed_at", [
    (100, 2, [10 * 0.9 ** i for i in range(30)], []),
    (100, 2, [5.0] * 10, [4, 8]),
    (100, 3, [9, 8, 7, 7, 7, 7, 7, 7], [8]),
    (5, 2, [10 * 0.9 ** i for i in range(12)], [5, 10]),
])
def test_target_refresh_rule(every, window, losses, refreshed_at):
    rule = train.TargetRefresh(every, window)
    fired = [i + 1 for i, loss in enumerate(losses) if rule.update(loss)]
    assert fired == refreshed_at


# Catches: wrong solution lengths (checked against the optimum's parity and bound), goals not
# counted as solved at length 0, and unsolved starts reported as solved.
def test_check_search_lengths():
    exact = manhattan_network(3)
    starts = np.stack([GOAL] + [quelmar_puzzles.scramble(ENV, 14, s) for s in range(6)]).astype(np.uint8)
    optimal = [quelmar_puzzles.optimal_solution_length(ENV, s, 40) for s in starts]
    lengths = train.beam_search(exact, ENV, starts, beam=16, max_length=60)
    assert lengths[0] == 0
    for length, best in zip(lengths[1:], optimal[1:]):
        assert length is not None and length >= best and (length - best) % 2 == 0
    short = train.beam_search(exact, ENV, starts, beam=1, max_length=3)
    assert short[0] == 0 and min(optimal[1:]) > 3 and short[1:] == [None] * 6


PLUGINS = {
    "_train_no_goal": "from quelmar_puzzles import register\n",
    "_train_import_fails": "raise RuntimeError('half installed')\n",
    "_train_bad_scramble": "from quelmar_puzzles import register, goal_state\n"
                           "def scramble(env, depth, seed):\n    raise ValueError('no scrambles today')\n",
}


def edited(change):
    """A damage to checkpoint.pt's bytes: `change` edits the loaded checkpoint."""
    def damage(data):
        checkpoint = torch.load(io.BytesIO(data), weights_only=True)
        change(checkpoint)
        buffer = io.BytesIO()
        torch.save(checkpoint, buffer)
        return buffer.getvalue()
    return damage


def _optimizer_of_other_shape(c):
    next(iter(c["optimizer"]["state"].values()))["exp_avg"] = torch.zeros(3)


def _weights_of_other_shape(c):
    c["model"]["state_dict"][next(iter(c["model"]["state_dict"]))] = torch.zeros(2, 2)


# A folder name: what damages the finished run's checkpoint.pt in a copy of it there.
DAMAGED = {
    "truncated": lambda data: data[:len(data) // 2],
    "optimizer": edited(_optimizer_of_other_shape),
    "weights": edited(_weights_of_other_shape),
    "setting": edited(lambda c: c["settings"].update(batch="wide")),
    "step": edited(lambda c: c.update(step="120")),
}


def fresh(*extra):
    """A new short run's arguments, with `extra` added (a repeated option overrides)."""
    return ["--env", ENV, "--steps", "5", "--out", "{new}", *extra]


# Catches: bad input that trains anyway, fails with a traceback, reports more than one line,
# or leaves files behind (or alters a run it refuses to touch).
@pytest.mark.parametrize("args, message", [
    (fresh("--env", "puzzle9"), "unknown environment 'puzzle9'"),
    (fresh("--plugin", "_train_no_goal"), "has no goal_state()"),
    (fresh("--plugin", "no_such_plugin_module"), "cannot import plug-in module"),
    (fresh("--hidden", "0"), "--hidden must be positive"),
    (fresh("--first", "-3"), "--first must be positive"),
    (fresh("--batch", "0"), "--batch must be positive"),
    (fresh("--blocks", "-1"), "--blocks must not be negative"),
    (fresh("--lr", "0"), "--lr must be positive"),
    (fresh("--hidden", "wide"), "invalid int value"),
    (fresh("--targets", "oracle"), "invalid choice"),
    (fresh("--targets", "teacher"), "--targets teacher needs --teacher DIR"),
    (fresh("--teacher", "{done}"), "--teacher DIR is for --targets teacher"),
    (fresh("--targets", "teacher", "--teacher", "{empty}"), "No such file"),
    (fresh("--walks", "sideways"), "invalid choice"),
    (fresh("--threads", "0"), "--threads must be positive"),
    (fresh("--steps", "0"), "--steps must be positive"),
    (["--env", ENV, "--out", "{new}"], "give a budget"),
    (fresh("--out", "{file}"), "exists and is not a folder"),
    (fresh("--out", "{file}/run"), "is not a folder"),
    (fresh("--out", "{done}"), "already holds a run"),
    (["--resume", "{empty}"], "no checkpoint.pt there"),
    (["--resume", "{done}", "--env", "puzzle15"], "trains puzzle8, not puzzle15"),
    (["--resume", "{done}", "--hidden", "64"], "has --hidden 32, not 64"),
    (["--resume", "{done}", "--walks", "uniform"], "has --walks no_return, not uniform"),
    (["--resume", "{done}", "--steps", "120"], "the run there is finished"),
    (fresh("--batch", "1"), "--batch must be at least 2 with batch norm"),
    (fresh("--batch", "10000000"), "--batch must be at most 1,000,000, got 10000000"),
    (fresh("--seed", str(2**64)), "--seed must be at most 18,446,744,073,709,551,615"),
    (fresh("--max-walk", "1000000000"), "--max-walk must be at most 100,000"),
    (fresh("--eval-depth", "3000000000"), "--eval-depth must be at most 100,000"),
    (fresh("--lr", "inf"), "--lr must be a finite number, got inf"),
    (fresh("--lr", "1e30"), "--lr must be at most 1.0, got 1e+30"),
    (fresh("--plateau-tolerance", "nan"), "--plateau-tolerance must be a finite number, got nan"),
    (fresh("--eval-minutes", "nan"), "--eval-minutes must be a finite number"),
    (fresh("--plugin", "_train_import_fails"),
     "cannot import plug-in module '_train_import_fails': RuntimeError: half installed"),
    (fresh("--plugin", "_train_bad_scramble"),
     "cannot make the checks' 50 scrambles of 100 moves: ValueError: no scrambles today"),
    (["--resume", "{truncated}"], "cannot read checkpoint.pt"),
    (["--resume", "{optimizer}", "--steps", "200"], "the optimizer's exp_avg does not fit a weight"),
    (["--resume", "{weights}", "--steps", "200"], "weights do not fit the network shape"),
    (["--resume", "{setting}"], "checkpoint.pt has a damaged setting batch: 'wide'"),
    (["--resume", "{step}"], "checkpoint.pt has a damaged entry 'step'"),
])
def test_bad_input(walk_run, tmp_path, capsys, args, message):
    done, _ = walk_run
    (tmp_path / "file").write_text("x")
    (tmp_path / "empty").mkdir()
    for name, text in PLUGINS.items():
        (tmp_path / f"{name}.py").write_text(text)
    paths = {"file": tmp_path / "file", "done": done, "empty": tmp_path / "empty", "new": tmp_path / "new"}
    for name, damage in DAMAGED.items():
        paths[name] = tmp_path / name
        paths[name].mkdir()
        (paths[name] / "checkpoint.pt").write_bytes(damage((done / "checkpoint.pt").read_bytes()))

    def entries():
        # With their times; a resumed folder's own time changes with the check that it is writable.
        found = [*tmp_path.iterdir(), *tmp_path.glob("*/*"), *done.iterdir()]
        return {p: p.stat().st_mtime_ns for p in found if p.name not in DAMAGED}

    before = entries()
    sys.path.insert(0, str(tmp_path))
    try:
        status = train.main([a.format(**paths) for a in args] + ["--quiet"])
    finally:
        sys.path.remove(str(tmp_path))
    err = capsys.readouterr().err
    assert status == 2 and message in err and len(err.strip().splitlines()) == 1
    assert entries() == before


# Catches: load_network accepting a file that is not a trainer model.
def test_load_network_rejects_other_files(tmp_path):
    (tmp_path / "other.pt").write_bytes(b"not a model")
    torch.save({"format": "something else"}, tmp_path / "dict.pt")
    for name in ("other.pt", "dict.pt"):
        with pytest.raises(ValueError, match=name):
            train.load_network(tmp_path / name)


SMALL = ["--env", ENV, "--targets", "walk", "--max-walk", "12", "--eval-every", "20", "--eval-states", "4",
         "--eval-depth", "6", *TINY]


# Catches: a signal held off while training waits for a slow batch (a wait without a timeout
# lasts as long as the batch takes: hours for long walks), or such a stop losing the checkpoint.
def test_a_signal_stops_a_run_waiting_for_a_slow_batch(tmp_path, monkeypatch, capsys):
    waiting, release, gets = threading.Event(), threading.Event(), []
    get, make = loop.data.Prefetcher.get, loop.Run.make_batch

    def counted_get(self, *args, **kwargs):
        gets.append(None)
        if len(gets) == 6:  # the wait for the batch of step 5
            waiting.set()
        return get(self, *args, **kwargs)

    def slow_make(self, step):
        if step == 5:
            assert waiting.wait(60)
            os.kill(os.getpid(), signal.SIGINT)
            release.wait(60)  # the batch that takes long
        return make(self, step)

    monkeypatch.setattr(loop.data.Prefetcher, "get", counted_get)
    monkeypatch.setattr(loop.Run, "make_batch", slow_make)
    out = tmp_path / "run"
    try:
        status = train.main([*SMALL, "--no-export", "--out", str(out), "--steps", "100"])
        stopped_first = not release.is_set()
    finally:
        release.set()
    err = capsys.readouterr().err
    assert status == 130 and stopped_first
    assert err.count("\n") == 1 and "SIGINT at step 5; checkpoint written" in err
    assert torch.load(out / "checkpoint.pt", weights_only=True)["step"] == 5


def after(method, step, act):
    """Run.`method`, whose result from `step` on is act(run, result)."""
    original = getattr(loop.Run, method)

    def patched(self, *args):
        result = original(self, *args)
        return act(self, result) if self.step >= step else result
    return method, patched


def poison_weights(run, result):
    with torch.no_grad():
        next(run.network.parameters()).fill_(float("nan"))
    return result


def failing_check(run, result):
    raise RuntimeError("the check broke")


FAILURES = [
    # (patched method, status (None: the error is raised), its line, the step checkpoint.pt keeps)
    (after("targets", 4, lambda run, targets: targets * float("nan")), 1,
     "training diverged: the loss is nan at step 5; checkpoint.pt keeps step 4; try a smaller --lr", 4),
    (after("train_step", 4, poison_weights), 1,
     "training diverged: the weights are no longer finite after step 4; checkpoint.pt keeps step 3", 3),
    (after("evaluate", 4, failing_check), None, "checkpoint.pt keeps step 4; continue with: ", 4),
]


# Catches: a run that diverges ending with status 0 (and a NaN model), a NaN checkpoint written
# over the last finite one, a failure after training losing the steps trained; a kept checkpoint
# from which the run cannot go on.
@pytest.mark.parametrize("patch, status, message, kept", FAILURES, ids=["nan-loss", "nan-weights", "check"])
def test_failures_keep_the_last_good_checkpoint(tmp_path, monkeypatch, capsys, patch, status, message, kept):
    monkeypatch.setattr(loop.Run, *patch)
    out = tmp_path / "run"
    args = [*SMALL, "--no-export", "--out", str(out), "--steps", "8", "--eval-every", "4",
            "--checkpoint-minutes", "1e-9"]
    if status is None:
        with pytest.raises(RuntimeError, match="the check broke") as error:
            train.main(args)
        assert message in "\n".join(error.value.__notes__)
    else:
        assert train.main(args) == status
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and message in err, err
    checkpoint = torch.load(out / "checkpoint.pt", weights_only=True)
    assert checkpoint["step"] == kept
    assert all(torch.isfinite(t).all() for t in checkpoint["model"]["state_dict"].values() if t.is_floating_point())
    assert not (out / "model.pt").exists()
    monkeypatch.undo()
    assert train.main(["--resume", str(out), "--quiet"]) == 0 and log_of(out)["step"] == 8


# Catches: a signal during the final export reported as a failed write (status 1) when it reached
# the compiler first, which then failed in its own words; the checkpoint not kept.
@pytest.mark.parametrize("reported_as", [None, RuntimeError, OSError])
def test_a_signal_during_the_export_is_an_interruption(tmp_path, monkeypatch, capsys, reported_as):
    def export_network(*args, **kwargs):
        try:
            signal.raise_signal(signal.SIGINT)
        except BaseException:
            if reported_as is None:
                raise
            raise reported_as("the compiler was killed") from None
        pytest.fail("the signal did not stop the export")

    monkeypatch.setattr(outputs, "export_network", export_network)
    out = tmp_path / "run"
    status = train.main([*SMALL, "--out", str(out), "--steps", "10"])
    err = capsys.readouterr().err
    assert status == 130 and err.count("\n") == 1, err
    assert "SIGINT while writing the outputs of step 10 (checkpoint.pt keeps step 10); write them with: " in err
    assert err.endswith(f" --resume {out}\n")
    assert "puzzle8_learned.pt2" not in os.listdir(out)
    assert torch.load(out / "checkpoint.pt", weights_only=True)["step"] == 10
    assert train.main(["--resume", str(out), "--no-export", "--quiet"]) == 0
    assert log_of(out)["status"] == "finished"


# Catches: an output name taken by a folder ending a finished run with a traceback instead of one
# line, or the folder replaced; the steps trained lost with it.
def test_an_output_taken_by_a_folder_fails_in_one_line(tmp_path, capsys):
    out = tmp_path / "run"
    (out / "puzzle8_learned.pt2").mkdir(parents=True)
    status = train.main([*SMALL, "--out", str(out), "--steps", "4"])
    err = capsys.readouterr().err
    assert status == 1 and err.count("\n") == 1 and "writing the outputs of step 4 failed: " in err, err
    assert "puzzle8_learned.pt2 exists and is not a regular file" in err
    assert (out / "puzzle8_learned.pt2").is_dir()
    assert torch.load(out / "checkpoint.pt", weights_only=True)["step"] == 4
