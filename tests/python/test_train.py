"""The trainer (quelmar_cpp.train): outputs, resuming, Bellman targets, the check search, bad input.
Training runs here are a few seconds of 8-puzzle with tiny networks."""
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import torch

import quelmar_cpp
import quelmar_puzzles
from quelmar_cpp import train
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
                                                     "blocks": 1, "batch_norm": True}
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
@pytest.mark.parametrize("sig, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)],
                         ids=["SIGINT", "SIGTERM"])
def test_interrupted_run_resumes_where_it_stopped(tmp_path, sig, status):
    settings = ["--env", ENV, "--targets", "bellman", "--refresh-steps", "15", "--plateau-window",
                "4", "--max-walk", "12", "--eval-every", "25", "--eval-states", "5", "--eval-depth",
                "6", "--no-export", *TINY]
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


NO_GOAL_PLUGIN = "from quelmar_puzzles import register\n"


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
])
def test_bad_input(walk_run, tmp_path, capsys, args, message):
    done, _ = walk_run
    (tmp_path / "file").write_text("x")
    (tmp_path / "empty").mkdir()
    (tmp_path / "_train_no_goal.py").write_text(NO_GOAL_PLUGIN)
    paths = {"file": tmp_path / "file", "done": done, "empty": tmp_path / "empty", "new": tmp_path / "new"}
    before = {p: p.stat().st_mtime_ns for p in [*tmp_path.iterdir(), *done.iterdir()]}
    sys.path.insert(0, str(tmp_path))
    try:
        status = train.main([a.format(**paths) for a in args] + ["--quiet"])
    finally:
        sys.path.remove(str(tmp_path))
    err = capsys.readouterr().err
    assert status == 2 and message in err and len(err.strip().splitlines()) == 1
    after = {p: p.stat().st_mtime_ns for p in [*tmp_path.iterdir(), *done.iterdir()]}
    assert after == before


# Catches: load_network accepting a file that is not a trainer model.
def test_load_network_rejects_other_files(tmp_path):
    (tmp_path / "other.pt").write_bytes(b"not a model")
    torch.save({"format": "something else"}, tmp_path / "dict.pt")
    for name in ("other.pt", "dict.pt"):
        with pytest.raises(ValueError, match=name):
            train.load_network(tmp_path / name)
