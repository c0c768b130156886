"""Train a heuristic network: ``python3 -m quelmar_cpp train`` (or ``quelmar train``).

Trains a residual MLP on states drawn by random walks from the goal with the
C++ batch helpers, and writes into --out DIR: model.pt, <env>_learned.pt2
with its manifest, train_log.json, learning_curve.png and checkpoint.pt (the
state to resume from).

Targets: "walk" regresses the length of the random walk that drew each state
(a cheap, overestimating target); "bellman" does value iteration with unit
move costs: 0 at goals, otherwise the minimum over the children of 1 + the
target network's estimate (0 for a goal child). The target network is a copy
of the trained one, refreshed every --refresh-steps steps, or sooner when the
loss has stopped falling: once 2 x --plateau-window steps have passed since
the last refresh, the mean loss of the last window is compared with the mean
of the window before, and a fall of less than --plateau-tolerance (relative)
refreshes it.

Budget: --steps and --minutes are totals for the whole run, whichever ends it
first; minutes count the training loop's wall time (checks and checkpoints
included, start-up and export not). SIGINT or SIGTERM writes a checkpoint and
stops with status 130 or 143; --resume DIR continues from it with the stored
settings. A differing setting is refused, except --checkpoint-minutes and the
budget, whose larger values train a finished run further. A run whose loss or
weights stop being finite stops with status 1 and keeps its last finite
checkpoint.
"""
from __future__ import annotations

import argparse
import copy
import ctypes
import json
import math
import os
import platform
import signal
import sys
import tempfile
import time

import numpy as np
import torch

import quelmar_cpp

from ..cli.errors import UsageError, one_line  # bad arguments, plug-in or folders: one line, status 2
from ..cli.inputs import import_plugin
from ..cli.report import write_atomically
from . import data
from .data import PhaseTimer, TargetRefresh, derive_seed
from .network import build_network, export_network, network_from_record, network_record
from .search import beam_search

CHECKPOINT, MODEL, LOG, PLOT = "checkpoint.pt", "model.pt", "train_log.json", "learning_curve.png"
CHECKPOINT_FORMAT = "quelmar_cpp.train.checkpoint/1"
HELPERS = ("random_walks", "expand_states", "goal_flags", "network_inputs")
# A loss point goes into the curve this often (and at every evaluation).
LOG_EVERY = 50
# Steps between two looks at the machine's load (the thread count follows it).
LOAD_EVERY = 10

# name: (type, default, help). Every option but the budget ones is fixed for a
# run: --resume takes it from the checkpoint and refuses a different value.
SETTINGS = {
    "env": (str, None, "environment name, e.g. puzzle8"),
    "plugin": (str, "quelmar_puzzles", "plug-in module to import and register"),
    "targets": (str, "bellman", "walk: the length of the walk that drew the state; "
                "bellman: value iteration against a target network"),
    "max_walk": (int, 100, "training states come from random walks of 0..K moves from the goal "
                 "(at most 100,000)"),
    "walks": (str, "uniform", "uniform: each move drawn from all moves; no_return: never a move "
              "that stands still or steps straight back (better walk-length labels)"),
    "first": (int, 1000, "width of the first layer"),
    "hidden": (int, 300, "width of the hidden layers"),
    "blocks": (int, 2, "residual blocks (two hidden-wide layers and a skip each)"),
    "batch_norm": (bool, True, "batch norm after every hidden layer"),
    "batch": (int, 1000, "states per training step (at most 1,000,000; at least 2 with batch norm, "
              "whose statistics need two states)"),
    "lr": (float, 1e-3, "Adam learning rate (at most 1: Adam moves every weight by up to about the "
           "rate each step, so larger rates only diverge)"),
    "seed": (int, 0, "seed of the weights and of every batch of states (0 to 2**64 - 1)"),
    "refresh_steps": (int, 50, "bellman: refresh the target network at least every N steps"),
    "plateau_window": (int, 10, "bellman: ... and sooner once the mean loss of the last N steps "
                       "fell by less than --plateau-tolerance from the N before"),
    "plateau_tolerance": (float, 0.05, "bellman: the relative fall of the loss that counts as a plateau"),
    "eval_every": (int, 1000, "check the network on fresh scrambles every N steps (0: at the end only)"),
    "eval_minutes": (float, 0.0, "... and at least every M minutes (0: by steps only)"),
    "eval_states": (int, 50, "scrambles per check (0: no checks)"),
    "eval_depth": (int, None, "moves per check scramble (default: --max-walk; at most 100,000)"),
    "eval_beam": (int, 8, "beam width of the check search"),
    "eval_max_length": (int, None, "longest solution the check search looks for "
                        "(default: 2 x --eval-depth; at most 200,000)"),
}
# Given again with --resume, these replace the stored values.
BUDGET = {
    "threads": (int, None, "PyTorch threads (default: the backend's rule, looked at every 10 steps: "
                           "the CPUs this process may use that other processes leave free)"),
    "steps": (int, None, "train until this step (the whole run's total)"),
    "minutes": (float, None, "train for this many minutes of wall time (the whole run's total)"),
    "checkpoint_minutes": (float, 5.0, "write checkpoint.pt every M minutes"),
}
# Settings added after checkpoints were first written, with the value older runs used.
ADDED_LATER = {"walks": "uniform", "threads": None}
CHOICES = {"targets": ("walk", "bellman"), "walks": ("uniform", "no_return")}
POSITIVE = ("threads", "max_walk", "first", "hidden", "batch", "lr", "refresh_steps", "plateau_window",
            "eval_depth", "eval_beam", "eval_max_length", "steps", "minutes", "checkpoint_minutes")
NON_NEGATIVE = ("blocks", "eval_every", "eval_minutes", "eval_states", "seed", "plateau_tolerance")
# Walks and check searches far longer than any puzzle needs, or batches far beyond memory, would
# hold the command in one C++ call for hours or exhaust memory; a seed must fit 64 bits.
MAXIMUM = {"max_walk": 100_000, "eval_depth": 100_000, "eval_max_length": 200_000,
           "batch": 1_000_000, "lr": 1.0, "seed": 2**64 - 1}
SHAPE = ("first", "hidden", "blocks", "batch_norm")


class _Parser(argparse.ArgumentParser):
    # One line for every usage error, as for the checks made after parsing.
    def error(self, message):
        raise UsageError(message)


def _prog() -> str:
    """The command as the user typed it, for messages."""
    if sys.argv[0].endswith(os.path.join("quelmar_cpp", "__main__.py")):
        return "python3 -m quelmar_cpp train"
    if sys.argv[0].endswith(os.path.join("quelmar_cpp", "train", "__main__.py")):
        return "python3 -m quelmar_cpp.train"
    return "quelmar train"


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=_prog(), description=__doc__.split("\n\n")[1].replace("\n", " "),
                     epilog="\n\n".join(__doc__.split("\n\n")[2:]).strip().strip('"'),
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", metavar="DIR", help="output folder (created; must not hold another run)")
    parser.add_argument("--resume", metavar="DIR",
                        help="continue the run in DIR from its last checkpoint")
    parser.add_argument("--quiet", action="store_true", help="no progress bar or check lines")
    parser.add_argument("--export", action=argparse.BooleanOptionalAction, default=True,
                        help="write the AOTInductor package <env>_learned.pt2 at the end (default: "
                             "on; compiling it takes from seconds to a minute)")
    for table in (SETTINGS, BUDGET):
        for name, (typ, default, text) in table.items():
            flag = "--" + name.replace("_", "-")
            if default is not None:
                text += f" (default: {('on' if default else 'off') if typ is bool else default})"
            if typ is bool:
                parser.add_argument(flag, action=argparse.BooleanOptionalAction,
                                    default=argparse.SUPPRESS, help=text)
            else:
                choices = {"choices": CHOICES[name]} if name in CHOICES else {
                    "metavar": typ.__name__.upper()}
                parser.add_argument(flag, type=typ, default=argparse.SUPPRESS, help=text, **choices)
    return parser


def main(argv: list[str] | None = None) -> int:
    """Runs the command line (``sys.argv[1:]`` without the subcommand when None); returns the status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["train"]:
        argv = argv[1:]
    try:
        run = _prepare(_parser().parse_args(argv))
    except UsageError as exc:
        print(f"{_prog()}: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{_prog()}: interrupted before training started", file=sys.stderr)
        return 130
    return run.train()


# -- checks before anything is written ------------------------------------------------------

def _settings(args) -> tuple[dict, dict | None]:
    """The run's settings and, with --resume, the checkpoint; UsageError for conflicts."""
    given = {k: v for k, v in vars(args).items() if k in SETTINGS or k in BUDGET}
    checkpoint = None
    if args.resume:
        if args.out and os.path.abspath(args.out) != os.path.abspath(args.resume):
            raise UsageError(f"--out {args.out} and --resume {args.resume} name different folders")
        checkpoint = _read_checkpoint(args.resume)
        settings = dict(checkpoint["settings"])
        for name, value in given.items():
            same = value.lower() == settings[name].lower() if name == "env" else value == settings[name]
            if name in SETTINGS and not same:
                old = settings[name]
                what = "trains" if name == "env" else f"has --{name.replace('_', '-')}"
                raise UsageError(f"--resume {args.resume}: the run there {what} {old}, not {value}")
        settings.update({k: v for k, v in given.items() if k in BUDGET})
    else:
        if not args.out:
            raise UsageError("--out DIR is required (or --resume DIR)")
        if "env" not in given:
            raise UsageError("--env is required")
        settings = {name: spec[1] for name, spec in {**SETTINGS, **BUDGET}.items()}
        settings.update(given)
        if settings["steps"] is None and settings["minutes"] is None:
            raise UsageError("give a budget: --steps N or --minutes M (or both)")
    flag = lambda name: "--" + name.replace("_", "-")
    for name, value in settings.items():
        if isinstance(value, float) and not math.isfinite(value):
            raise UsageError(f"{flag(name)} must be a finite number, got {value}")
    for name in POSITIVE:
        if settings[name] is not None and not settings[name] > 0:
            raise UsageError(f"{flag(name)} must be positive, got {settings[name]}")
    for name in NON_NEGATIVE:
        if settings[name] < 0:
            raise UsageError(f"{flag(name)} must not be negative, got {settings[name]}")
    for name, most in MAXIMUM.items():
        if settings[name] is not None and settings[name] > most:
            raise UsageError(f"{flag(name)} must be at most {most:,}, got {settings[name]}")
    if settings["batch_norm"] and settings["batch"] < 2:
        raise UsageError("--batch must be at least 2 with batch norm, whose statistics need two "
                         "states (or give --no-batch-norm)")
    return settings, checkpoint


_CHECKPOINT_TYPES = {"settings": dict, "step": int, "elapsed": float, "finished": bool, "model": dict,
                     "optimizer": dict, "target": (dict, type(None)), "refresh": dict, "rng": dict,
                     "curve": list, "refreshes": list, "sessions": list, "phases": dict}
_CHECKPOINT_KEYS = tuple(_CHECKPOINT_TYPES)


def _read_checkpoint(folder: str) -> dict:
    path = os.path.join(folder, CHECKPOINT)
    if not os.path.isfile(path):
        raise UsageError(f"--resume {folder}: no {CHECKPOINT} there")
    try:
        checkpoint = torch.load(path, map_location="cpu", weights_only=True)
    except Exception as exc:  # torch reports damaged files through many exception types
        raise UsageError(f"--resume {folder}: cannot read {CHECKPOINT}: {one_line(exc)}") from None
    if not isinstance(checkpoint, dict) or checkpoint.get("format") != CHECKPOINT_FORMAT:
        raise UsageError(f"--resume {folder}: {CHECKPOINT} is not a trainer checkpoint")
    missing = [k for k in _CHECKPOINT_KEYS if k not in checkpoint]
    if missing:
        raise UsageError(f"--resume {folder}: {CHECKPOINT} lacks {missing[0]!r}")
    damaged = [k for k, typ in _CHECKPOINT_TYPES.items() if not _typed(checkpoint[k], typ)]
    if damaged:
        raise UsageError(f"--resume {folder}: {CHECKPOINT} has a damaged entry {damaged[0]!r}")
    stored = checkpoint["settings"]
    for name, value in ADDED_LATER.items():
        stored.setdefault(name, value)
    missing = [k for k in (*SETTINGS, *BUDGET) if k not in stored]
    if missing:
        raise UsageError(f"--resume {folder}: {CHECKPOINT} lacks the setting {missing[0]}")
    # A damaged or edited file is refused here rather than met as a traceback in mid-training.
    for name, (typ, default, _) in {**SETTINGS, **BUDGET}.items():
        value = stored[name]
        typed = _typed(value, typ) or (value is None and default is None and name != "env")
        if not typed or (name in CHOICES and value not in CHOICES[name]):
            raise UsageError(f"--resume {folder}: {CHECKPOINT} has a damaged setting {name}: {value!r}")
    return checkpoint


def _typed(value, typ) -> bool:
    """isinstance, except that a bool is no number and an int is also a float."""
    types = typ if isinstance(typ, tuple) else (typ,)
    if isinstance(value, bool):
        return bool in types
    return isinstance(value, types) or (float in types and isinstance(value, int))


def _load_plugin(name: str, env: str) -> tuple[object, str]:
    """The registered plug-in module and the environment's name as it spells it."""
    plugin = import_plugin(name)
    for needed in ("register", "goal_state"):
        if not callable(getattr(plugin, needed, None)):
            raise UsageError(f"plug-in module {name!r} has no {needed}() function, "
                             f"which the trainer needs")
    try:
        names = plugin.register()
    except Exception as exc:
        raise UsageError(f"plug-in {name}: register() failed: {exc}") from None
    if names is not None:
        spelled = {n.lower(): n for n in names}
        if env.lower() not in spelled:
            raise UsageError(f"unknown environment {env!r}; plug-in {name} provides: "
                             f"{', '.join(names)}")
        env = spelled[env.lower()]
    return plugin, env


def _probe(plugin, plugin_name: str, env: str) -> tuple[np.ndarray, int]:
    """The goal state and the network input width; UsageError when the helpers refuse them."""
    missing = [h for h in HELPERS if not hasattr(quelmar_cpp, h)]
    if missing:
        raise UsageError(f"this quelmar_cpp has no {', '.join(missing)} (needed for training)")
    try:
        goal = np.ascontiguousarray(plugin.goal_state(env), dtype=np.uint8)
    except Exception as exc:
        raise UsageError(f"plug-in {plugin_name}: goal_state({env!r}) failed: {exc}") from None
    if goal.ndim != 1:
        raise UsageError(f"plug-in {plugin_name}: goal_state({env!r}) is not a 1-D state")
    try:
        states, _ = data.walk_states(env, goal, 2, 1, 0)
        width = quelmar_cpp.network_inputs(env, states).shape[1]
        if not bool(quelmar_cpp.goal_flags(env, goal[None])[0]):
            raise ValueError("the goal state is not a goal")
        quelmar_cpp.expand_states(env, states)
    except (ValueError, RuntimeError, TypeError) as exc:
        raise UsageError(f"environment {env}: the batch helpers refuse its goal state: {exc}") from None
    if width < 1:
        raise UsageError(f"environment {env} has no network inputs")
    return goal, width


def _check_out(folder: str, resume: bool) -> None:
    """UsageError unless `folder` can take the run's files (and, for a new run, holds no run)."""
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise UsageError(f"--out {folder}: exists and is not a folder")
    if os.path.isdir(folder) and not resume:
        held = [f for f in (CHECKPOINT, MODEL, LOG) if os.path.exists(os.path.join(folder, f))]
        if held:
            raise UsageError(f"--out {folder}: already holds a run ({held[0]}); "
                             f"continue it with --resume or choose another folder")
    probe = folder
    while not os.path.exists(probe):
        probe = os.path.dirname(os.path.abspath(probe))
    if not os.path.isdir(probe):
        raise UsageError(f"--out {folder}: cannot be created, {probe} is not a folder")
    try:
        fd, name = tempfile.mkstemp(dir=probe, prefix=".write-check-")
        os.close(fd)
        os.unlink(name)
    except OSError as exc:
        raise UsageError(f"--out {folder}: cannot write in {probe}: {exc.strerror}") from None


def _budget_left(step: int, elapsed: float, settings: dict) -> bool:
    """Whether a run at `step` after `elapsed` seconds has budget left (either limit ends it)."""
    return ((settings["steps"] is None or step < settings["steps"])
            and (settings["minutes"] is None or elapsed < 60 * settings["minutes"]))


def _prepare(args) -> "Run":
    settings, checkpoint = _settings(args)
    plugin, env = _load_plugin(settings["plugin"], settings["env"])
    settings["env"] = env
    goal, width = _probe(plugin, settings["plugin"], env)
    folder = args.resume or args.out
    _check_out(folder, bool(args.resume))
    if checkpoint is not None:
        if checkpoint["finished"] and not _budget_left(checkpoint["step"], checkpoint["elapsed"], settings):
            raise UsageError(f"--resume {folder}: the run there is finished (step {checkpoint['step']}); "
                             f"give a larger --steps or --minutes to train it further")
        shape = checkpoint["model"].get("shape")
        inputs = shape.get("inputs") if isinstance(shape, dict) else None
        if inputs != width:
            raise UsageError(f"--resume {folder}: its network takes {inputs} inputs, {env} gives {width}")
    try:
        run = Run(settings, folder, plugin, goal, width, checkpoint, args.quiet)
    except (RuntimeError, MemoryError) as exc:  # torch reports a failed allocation as RuntimeError
        raise UsageError(f"cannot build a network of --first {settings['first']} --hidden "
                         f"{settings['hidden']} --blocks {settings['blocks']}: {one_line(exc)}") from None
    run.check_eval()
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as exc:
        raise UsageError(f"--out {folder}: cannot create it: {exc.strerror}") from None
    run.export_package = args.export
    return run


def _check_optimizer_state(optimizer: torch.optim.Optimizer) -> None:
    """ValueError unless each weight's Adam state (when it has one) is complete and of its shape;
    loading a state dict checks only the number of weights."""
    for group in optimizer.param_groups:
        for weight in group["params"]:
            state = optimizer.state.get(weight)
            if not state:
                continue
            for key in ("exp_avg", "exp_avg_sq"):
                if not torch.is_tensor(state.get(key)) or state[key].shape != weight.shape:
                    raise ValueError(f"the optimizer's {key} does not fit a weight of shape "
                                     f"{list(weight.shape)}")
            if "step" not in state:
                raise ValueError("the optimizer state lacks its step")


# -- the run -------------------------------------------------------------------------------

def _keep_freed_memory() -> None:
    """Makes glibc keep freed tensor buffers for reuse instead of unmapping them.

    With its default thresholds every step maps its activations afresh and
    faults them in page by page: training the default cube3 network ran about
    3 times slower (bench/train_throughput.py). Elsewhere than glibc this does
    nothing.
    """
    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):
        return
    m_trim_threshold, m_mmap_threshold = -1, -3
    mallopt(m_mmap_threshold, 32 << 20)  # glibc's largest allowed value
    mallopt(m_trim_threshold, 1 << 30)


class _Interrupted(BaseException):
    """A signal while the outputs are written; a BaseException, so no library's
    ``except Exception`` takes it for a failure of its own."""


class _Diverged(Exception):
    """The loss or the weights are no longer finite: the run cannot go on."""


class Run:
    """One training run: its network, optimizer, target network, curve and clocks."""

    def __init__(self, settings: dict, folder: str, plugin, goal: np.ndarray, width: int,
                 checkpoint: dict | None, quiet: bool):
        self.s, self.folder, self.plugin, self.goal, self.quiet = settings, folder, plugin, goal, quiet
        self.env = settings["env"]
        self.eval_depth = settings["eval_depth"] or settings["max_walk"]
        self.eval_max_length = settings["eval_max_length"] or 2 * self.eval_depth
        self.network = build_network(width, *(settings[k] for k in SHAPE), seed=settings["seed"])
        self.optimizer = torch.optim.Adam(self.network.parameters(), lr=settings["lr"])
        self.refresh = TargetRefresh(settings["refresh_steps"], settings["plateau_window"],
                                     settings["plateau_tolerance"])
        self.target = None
        self.step, self.elapsed, self.curve, self.refreshes, self.sessions = 0, 0.0, [], [], []
        self.timer = PhaseTimer()
        if checkpoint is not None:
            self._restore(checkpoint)
        elif settings["targets"] == "bellman":
            self.target = self._copy_network()
        self.signal = None
        self.finishing = False
        self._eval_starts = None
        # The step that checkpoint.pt holds (None: no checkpoint yet), and whether the network
        # is in the middle of an update, when a checkpoint of it would be inconsistent.
        self.saved_step = None if checkpoint is None else self.step
        self._updating = False

    # checkpoints

    def _copy_network(self):
        target = copy.deepcopy(self.network).eval()
        target.requires_grad_(False)
        return target

    def _state(self, finished: bool) -> dict:
        return {"format": CHECKPOINT_FORMAT, "settings": self.s, "step": self.step,
                "elapsed": self.elapsed, "finished": finished,
                "model": network_record(self.network, self.env),
                "optimizer": self.optimizer.state_dict(),
                "target": None if self.target is None else self.target.state_dict(),
                "refresh": self.refresh.state_dict(),
                "rng": {"torch": torch.get_rng_state()},
                "curve": self.curve, "refreshes": self.refreshes, "sessions": self.sessions,
                "phases": dict(self.timer.seconds)}

    def _restore(self, c: dict) -> None:
        try:
            restored = network_from_record(c["model"], os.path.join(self.folder, CHECKPOINT))
        except ValueError as exc:
            raise UsageError(f"--resume {self.folder}: {' '.join(str(exc).split())}") from None
        if restored.shape != self.network.shape:
            raise UsageError(f"--resume {self.folder}: its network shape {restored.shape} "
                             f"does not match the settings {self.network.shape}")
        try:
            self.network.load_state_dict(restored.state_dict())
            self.optimizer.load_state_dict(c["optimizer"])
            _check_optimizer_state(self.optimizer)
            if c["target"] is None and self.s["targets"] == "bellman":
                raise ValueError("bellman targets need the target network, which it lacks")
            if c["target"] is not None:
                self.target = self._copy_network()
                self.target.load_state_dict(c["target"])
            self.refresh.load_state_dict({"steps": int(c["refresh"]["steps"]),
                                          "losses": [float(x) for x in c["refresh"]["losses"]]})
            torch.set_rng_state(c["rng"]["torch"])
            self.step, self.elapsed = c["step"], float(c["elapsed"])
            if self.step < 0 or not math.isfinite(self.elapsed):
                raise ValueError(f"step {self.step} after {self.elapsed} s")
            if not all(isinstance(r, dict) and isinstance(r.get("step"), int) for r in c["curve"]):
                raise ValueError("its curve is not a list of steps")
            self.curve, self.refreshes, self.sessions = list(c["curve"]), list(c["refreshes"]), list(c["sessions"])
            self.timer = PhaseTimer({str(k): float(v) for k, v in c["phases"].items()})
        except (KeyError, TypeError, ValueError, RuntimeError, AttributeError, IndexError) as exc:
            raise UsageError(f"--resume {self.folder}: {CHECKPOINT} is damaged or does not fit its "
                             f"settings: {one_line(exc)}") from None

    def save_checkpoint(self, finished: bool = False) -> None:
        """Writes checkpoint.pt; _Diverged instead when the weights are no longer finite, so that
        the last finite checkpoint stays."""
        with self.timer("checkpoint"):
            if not all(bool(torch.isfinite(t).all()) for t in self.network.state_dict().values()
                       if t.is_floating_point()):
                raise _Diverged(f"the weights are no longer finite after step {self.step}")
            state = self._state(finished)
            write_atomically(os.path.join(self.folder, CHECKPOINT), lambda f: torch.save(state, f), binary=True)
            self.saved_step = self.step

    # one step

    def make_batch(self, step: int) -> data.Batch:
        s = self.s
        return data.make_batch(self.env, self.goal, step, s["seed"], s["batch"], s["max_walk"],
                               s["targets"] == "bellman", no_return=s["walks"] == "no_return")

    def targets(self, batch: data.Batch) -> torch.Tensor:
        if self.s["targets"] == "walk":
            return torch.from_numpy(batch.lengths.astype(np.float32))
        with self.timer("targets"), torch.no_grad():
            values = self.target(batch.children.inputs).reshape(-1).numpy()
        return torch.from_numpy(data.targets_from_values(batch.children, values))

    def train_step(self, batch: data.Batch) -> float:
        assert batch.step == self.step, (batch.step, self.step)
        self.timer.add("data_work", batch.seconds)
        targets = self.targets(batch)
        with self.timer("train"):
            self.network.train()
            self.optimizer.zero_grad(set_to_none=True)
            loss = torch.nn.functional.mse_loss(self.network.raw(batch.inputs).reshape(-1), targets)
            value = loss.detach().item()
            if not math.isfinite(value):
                raise _Diverged(f"the loss is {value} at step {self.step + 1}")
            loss.backward()
            self._updating = True
            self.optimizer.step()
        self.step += 1
        if self.target is not None:
            reason = self.refresh.update(value)
            if reason:
                self.target.load_state_dict(self.network.state_dict())
                self.refreshes.append({"step": self.step, "reason": reason})
        self._updating = False
        return value

    def eval_starts(self) -> np.ndarray:
        """The run's check states: the plug-in's scrambles (walks that never undo a move) when it
        has them, else random walks; the same every time, drawn apart from the training data."""
        count, depth = self.s["eval_states"], self.eval_depth
        seeds = [derive_seed(self.s["seed"], data.EVAL_STREAM, i) for i in range(count)]
        if callable(getattr(self.plugin, "scramble", None)):
            return np.stack([np.asarray(self.plugin.scramble(self.env, depth, seed), dtype=np.uint8)
                             for seed in seeds])
        return data.walk_states(self.env, self.goal, count, depth, seeds[0], min_walk=depth)[0]

    def check_eval(self) -> None:
        """Makes the check states and takes one step of the check search from them, before any
        training: UsageError when the plug-in or the helpers refuse them, where the run's first
        check would otherwise fail only after training."""
        if self.s["eval_states"] == 0:
            return
        try:
            starts = self.eval_starts()
            if starts.ndim != 2 or starts.shape[1] != len(self.goal):
                raise ValueError(f"states of shape {list(starts.shape[1:])}, not [{len(self.goal)}]")
            beam_search(self.network, self.env, starts, self.s["eval_beam"], 1)
        except Exception as exc:  # the plug-in's own code: any error is its refusal
            raise UsageError(f"cannot make the checks' {self.s['eval_states']} scrambles of "
                             f"{self.eval_depth} moves: {one_line(exc)}") from None
        self._eval_starts = starts

    def evaluate(self) -> dict:
        """Solve rate and mean length of the check search on this run's fixed scrambles."""
        with self.timer("eval"):
            count = self.s["eval_states"]
            if self._eval_starts is None:
                self._eval_starts = self.eval_starts()
            starts = self._eval_starts
            lengths = beam_search(self.network, self.env, starts, self.s["eval_beam"],
                                  self.eval_max_length)
            solved = [n for n in lengths if n is not None]
            return {"states": count, "solved": len(solved), "solve_rate": len(solved) / count,
                    "mean_length": sum(solved) / len(solved) if solved else None}

    # the loop

    def _on_signal(self, signum, frame):
        self.signal = signum
        if self.finishing:
            raise _Interrupted()

    def _budget_fraction(self) -> float:
        # The share of the budget used: the larger of the steps' and the minutes' share.
        done = [self.step / self.s["steps"]] if self.s["steps"] else []
        if self.s["minutes"]:
            done.append(self.elapsed / (60 * self.s["minutes"]))
        return max(done)

    def train(self) -> int:
        handlers = {sig: signal.signal(sig, self._on_signal) for sig in (signal.SIGINT, signal.SIGTERM)}
        threads = torch.get_num_threads()
        self._follow_load()
        try:
            return self._train()
        finally:
            torch.set_num_threads(threads)
            for sig, handler in handlers.items():
                signal.signal(sig, handler)

    def _follow_load(self) -> None:
        """PyTorch threads: --threads, else the backend's rule (the CPUs other processes leave free)."""
        wanted = self.s["threads"] or quelmar_cpp._research_impl._search_threads()
        if wanted != torch.get_num_threads():
            torch.set_num_threads(wanted)

    def _train(self) -> int:
        """The loop and the outputs; a diverged run ends with one line and status 1, and any
        other error keeps the run's state in checkpoint.pt before it is raised."""
        try:
            return self._loop()
        except _Diverged as exc:
            kept = (f"{CHECKPOINT} keeps step {self.saved_step}" if self.saved_step is not None
                    else "no checkpoint was written")
            print(f"{_prog()}: error: training diverged: {exc}; {kept}; try a smaller --lr in a new run",
                  file=sys.stderr)
            return 1
        except Exception as exc:
            self._keep_after(exc)
            raise

    def _loop(self) -> int:
        s = self.s
        _keep_freed_memory()
        self.sessions.append({"from_step": self.step, "started": time.time()})
        bar = _Bar(self.quiet)
        start_step, session_start = self.step, time.perf_counter()
        elapsed_before = self.elapsed
        last_checkpoint = last_eval = time.perf_counter()
        losses, mark_step, mark_time = [], self.step, time.perf_counter()
        evaluate = s["eval_states"] > 0
        batches = data.Prefetcher(self.make_batch, self.step)
        try:
            while _budget_left(self.step, self.elapsed, s) and self.signal is None:
                with self.timer("data"):
                    batch = batches.get(stop=lambda: self.signal is not None)
                if batch is None:
                    break
                losses.append(self.train_step(batch))
                now = time.perf_counter()
                self.elapsed = elapsed_before + now - session_start
                due_eval = evaluate and (
                    (s["eval_every"] and self.step % s["eval_every"] == 0)
                    or (s["eval_minutes"] and now - last_eval >= 60 * s["eval_minutes"]))
                rate = s["batch"] * (self.step - mark_step) / max(now - mark_time, 1e-9)
                bar.show(self._budget_fraction(), self.step, sum(losses) / len(losses), rate, self.elapsed)
                if self.step % LOAD_EVERY == 0:
                    self._follow_load()
                if due_eval or self.step % LOG_EVERY == 0:
                    record = self._record(losses, rate, due_eval)
                    losses, mark_step, mark_time = [], self.step, time.perf_counter()
                    if due_eval:
                        last_eval = time.perf_counter()
                        self._say(bar, record)
                if time.perf_counter() - last_checkpoint >= 60 * s["checkpoint_minutes"]:
                    self.save_checkpoint()
                    last_checkpoint = time.perf_counter()
                self.elapsed = elapsed_before + time.perf_counter() - session_start
        finally:
            batches.close()
            bar.close()
        if self.signal is None and (losses or not self.curve or self.curve[-1]["step"] != self.step
                                    or (evaluate and "eval" not in self.curve[-1])):
            rate = s["batch"] * (self.step - mark_step) / max(time.perf_counter() - mark_time, 1e-9)
            self._record(losses, rate, evaluate)
        self.sessions[-1].update(to_step=self.step, seconds=self.elapsed - elapsed_before)
        if self.signal is not None:
            return self._stop(self.step - start_step)
        return self._finish()

    def _keep_after(self, exc: Exception) -> None:
        """After an unexpected error: checkpoint.pt of this step (unless the error cut an update
        short), and a note on the error saying what is kept."""
        if not self._updating:
            try:
                self.save_checkpoint()
            except Exception:
                pass  # the error at hand is the one to report; the previous checkpoint stays
        exc.add_note(f"{_prog()}: {CHECKPOINT} keeps step {self.saved_step}; continue with: "
                     f"{_prog()} --resume {self.folder}" if self.saved_step is not None
                     else f"{_prog()}: no checkpoint was written")

    def _record(self, losses: list[float], rate: float, with_eval: bool) -> dict:
        record = {"step": self.step, "time": round(self.elapsed, 3),
                  "loss": sum(losses) / len(losses) if losses else None,
                  "states_per_s": round(rate, 1)}
        if with_eval:
            record["eval"] = self.evaluate()
        self.curve.append(record)
        return record

    def _say(self, bar, record: dict) -> None:
        if self.quiet:
            return
        e = record["eval"]
        length = "-" if e["mean_length"] is None else f"{e['mean_length']:.2f}"
        loss = "-" if record["loss"] is None else f"{record['loss']:.4g}"
        bar.write(f"step {record['step']}: loss {loss}, solved {e['solved']}/{e['states']}, "
                  f"mean length {length}, {record['states_per_s']:,.0f} states/s")

    def _stop(self, steps: int) -> int:
        self.save_checkpoint()
        self.write_log("interrupted")
        status = 130 if self.signal == signal.SIGINT else 143
        name = signal.Signals(self.signal).name
        print(f"{_prog()}: {name} at step {self.step}; checkpoint written; continue with: "
              f"{_prog()} --resume {self.folder}", file=sys.stderr)
        return status

    def _finish(self) -> int:
        package, written = None, False
        try:
            self.finishing = True
            if self.signal is not None:
                raise _Interrupted()
            self.save_checkpoint()
            model = os.path.join(self.folder, MODEL)
            record = network_record(self.network, self.env)
            write_atomically(model, lambda f: torch.save(record, f), binary=True)
            package = self.export()
            plotted = self.write_plot()
            self.write_log("finished", package, plotted)
            self.save_checkpoint(finished=True)
            written = True
        except (OSError, RuntimeError) as exc:
            # A signal that reached a compiler or a write first shows as its failure.
            if self.signal is None:
                print(f"{_prog()}: error: writing the outputs of step {self.step} failed: {one_line(exc)}; "
                      f"try again with: {_prog()} --resume {self.folder}", file=sys.stderr)
                return 1
        except _Interrupted:
            pass
        finally:
            self.finishing = False
        if written:
            self._summary(package)
            return 0
        if self.saved_step != self.step:  # the signal cut the first checkpoint short
            try:
                self.save_checkpoint()
            except OSError:
                pass  # the message names the step that is kept
        name = signal.Signals(self.signal).name
        kept = f"{CHECKPOINT} keeps step {self.saved_step}" if self.saved_step is not None else "no checkpoint"
        print(f"{_prog()}: {name} while writing the outputs of step {self.step} ({kept}); write them "
              f"with: {_prog()} --resume {self.folder}", file=sys.stderr)
        return 130 if self.signal == signal.SIGINT else 143

    # outputs

    def export(self) -> str | None:
        """Exports the network as DIR/<env>_learned.pt2 with its manifest, both renamed into place."""
        if not self.export_package:
            return None
        name = f"{self.env}_learned.pt2"
        with self.timer("export"):
            tmp = tempfile.mkdtemp(dir=self.folder, prefix=".export-")
            try:
                export_network(self.network, os.path.join(tmp, name), env=self.env)
                os.replace(os.path.join(tmp, name), os.path.join(self.folder, name))
                os.replace(os.path.join(tmp, name + ".json"), os.path.join(self.folder, name + ".json"))
            finally:
                for leftover in os.listdir(tmp):
                    os.unlink(os.path.join(tmp, leftover))
                os.rmdir(tmp)
        return os.path.join(self.folder, name)

    def split(self) -> dict:
        """Seconds per phase, and data generation against network training.

        ``data_work``: making batches (C++ helpers, de-duplication, input
        conversion) in the background thread; ``data``: training waiting for
        a batch; ``targets``: the target network's passes over the children;
        ``train``: forward, backward and optimizer steps.
        """
        seconds = {k: round(v, 3) for k, v in sorted(self.timer.seconds.items())}
        train = self.timer.seconds.get("train", 0.0)
        share = lambda phase: round(self.timer.seconds.get(phase, 0.0) / train, 4) if train else None
        return {"seconds": seconds, "data_over_training": share("data_work"),
                "waiting_over_training": share("data")}

    def write_log(self, status: str, package: str | None = None, plotted: bool = False) -> None:
        log = {"status": status, "env": self.env, "settings": self.s, "seed": self.s["seed"],
               "step": self.step, "elapsed_s": round(self.elapsed, 3),
               "states_trained": self.step * self.s["batch"],
               "states_per_s": round(self.step * self.s["batch"] / self.elapsed, 1) if self.elapsed else None,
               "time_split": self.split(),
               "network": dict(self.network.shape),
               "parameters": sum(p.numel() for p in self.network.parameters()),
               "versions": _versions(self.plugin),
               "machine": {"cpus": os.cpu_count(), "torch_threads": torch.get_num_threads(),
                           "platform": platform.platform()},
               "target_refreshes": self.refreshes, "sessions": self.sessions, "curve": self.curve,
               "outputs": {"model": MODEL, "package": os.path.basename(package) if package else None,
                           "checkpoint": CHECKPOINT, "plot": PLOT if plotted else None}}
        text = json.dumps(log, indent=2) + "\n"
        write_atomically(os.path.join(self.folder, LOG), lambda f: f.write(text))

    def write_plot(self) -> bool:
        """Writes the learning curve; False (with a warning) when matplotlib is missing."""
        try:
            from matplotlib.figure import Figure
        except ImportError:
            print(f"{_prog()}: warning: no matplotlib, so no {PLOT}", file=sys.stderr)
            return False

        fig = Figure(figsize=(9, 3.4), dpi=90, layout="constrained")
        left, right = fig.subplots(1, 2)
        points = [r for r in self.curve if r["loss"] is not None]
        left.plot([r["step"] for r in points], [r["loss"] for r in points])
        for refresh in self.refreshes:
            left.axvline(refresh["step"], color="0.85", lw=0.8, zorder=0)
        left.set(xlabel="step", ylabel="training loss (MSE)", yscale="log",
                 title=f"{self.env}, {self.s['targets']} targets")
        checks = [r for r in self.curve if "eval" in r]
        right.plot([r["step"] for r in checks], [100 * r["eval"]["solve_rate"] for r in checks],
                   "o-", color="C0")
        right.set(xlabel="step", ylabel="solved (%)", ylim=(-2, 102),
                  title=f"checks: {self.s['eval_states']} scrambles of {self.eval_depth} moves")
        twin = right.twinx()
        lengths = [(r["step"], r["eval"]["mean_length"]) for r in checks if r["eval"]["mean_length"]]
        twin.plot([x for x, _ in lengths], [y for _, y in lengths], "s--", color="C1")
        twin.set_ylabel("mean solution length", color="C1")
        write_atomically(os.path.join(self.folder, PLOT), lambda f: fig.savefig(f, format="png"), binary=True)
        return True

    def _summary(self, package: str) -> None:
        split = self.split()
        rate = self.step * self.s["batch"] / self.elapsed if self.elapsed else 0.0
        print(f"trained {self.env} ({self.s['targets']} targets) for {self.step} steps in "
              f"{self.elapsed:.1f} s, {rate:,.0f} states/s")
        print("time: " + ", ".join(f"{k} {v:.1f} s" for k, v in split["seconds"].items()))
        if split["data_over_training"] is not None:
            print(f"data generation: {100 * split['data_over_training']:.1f}% of the training time "
                  f"(in a background thread; training waited {100 * split['waiting_over_training']:.1f}%)")
        last = next((r["eval"] for r in reversed(self.curve) if "eval" in r), None)
        if last:
            length = "-" if last["mean_length"] is None else f"{last['mean_length']:.2f}"
            print(f"check: solved {last['solved']}/{last['states']} scrambles of {self.eval_depth} "
                  f"moves, mean length {length} (beam {self.s['eval_beam']})")
        written = [package, package + ".json"] if package else []
        written += [os.path.join(self.folder, f) for f in (MODEL, LOG, PLOT, CHECKPOINT)]
        print("wrote " + ", ".join(f for f in written if os.path.exists(f)))


def _versions(plugin) -> dict:
    return {"quelmar_cpp": quelmar_cpp.__version__, "torch": torch.__version__,
            "numpy": np.__version__, "python": platform.python_version(),
            "plugin": {"module": plugin.__name__, "version": getattr(plugin, "__version__", None)}}


class _Bar:
    """A tqdm bar of the budget's share done, with loss, states/s and time left; on a terminal only."""

    def __init__(self, quiet: bool):
        self.bar = None
        if not quiet and sys.stderr.isatty():
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=1000, file=sys.stderr, dynamic_ncols=True,
                            bar_format="{percentage:3.0f}%|{bar}| {desc}")

    def show(self, fraction: float, step: int, loss: float, rate: float, elapsed: float) -> None:
        if self.bar is None:
            return
        left = elapsed * (1 - fraction) / fraction if fraction > 0 else float("inf")
        self.bar.n = min(1000, int(1000 * fraction))
        self.bar.set_description_str(f"step {step}, loss {loss:.4g}, {rate:,.0f} states/s, "
                                     f"{left:.0f} s left", refresh=False)
        self.bar.update(0)  # redraws no more often than tqdm's own rate limit

    def write(self, line: str) -> None:
        if self.bar is not None:
            self.bar.write(line, file=sys.stderr)
        else:
            print(line, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
