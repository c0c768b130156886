"""Train a heuristic network: ``python3 -m quelmar_cpp train`` (or ``quelmar train``, or
``python3 -m quelmar_cpp.train``).

Checks the options (``options``), the plug-in, the environment's batch helpers
and the output folder before anything is written, then hands the run to the
training loop (``loop``). ``--help`` describes the targets and the budget.
"""
from __future__ import annotations

import os
import sys

import numpy as np

import quelmar_cpp

from ..common.errors import UsageError, one_line  # bad arguments, plug-in or folders: one line, status 2
from ..common.files import check_folder, make_folder
from ..common.options import Parser, program
from ..common.plugins import load_plugin
from . import data, options
from .checkpoint import CHECKPOINT, read_checkpoint
from .loop import Run, budget_left
from .outputs import LOG, MODEL

HELPERS = ("random_walks", "expand_states", "goal_flags", "network_inputs")


def _prog() -> str:
    """The command as the user typed it, for messages."""
    if sys.argv[0].endswith(os.path.join("quelmar_cpp", "train", "__main__.py")):
        return "python3 -m quelmar_cpp.train"
    return program("train")


def main(argv: list[str] | None = None) -> int:
    """Runs the trainer's command line (``sys.argv[1:]`` when None); returns the exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["train"]:  # callers that pass the whole command line after the program
        argv = argv[1:]
    parser = Parser(prog=_prog(), one_line=True)
    options.add_options(parser)
    try:
        args = parser.parse_args(argv)
    except UsageError as exc:
        print(f"{parser.prog}: error: {exc}", file=sys.stderr)
        return 2
    return run(args, parser.prog)


def run(args, prog: str) -> int:
    """Trains as the parsed options say; returns the exit status (`prog` names the command in
    messages). Usage errors are one line with status 2."""
    try:
        training = _prepare(args, prog)
    except UsageError as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{prog}: interrupted before training started", file=sys.stderr)
        return 130
    return training.train()


# -- checks before anything is written ------------------------------------------------------

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
    if os.path.isdir(folder) and not resume:
        held = [f for f in (CHECKPOINT, MODEL, LOG) if os.path.exists(os.path.join(folder, f))]
        if held:
            raise UsageError(f"--out {folder}: already holds a run ({held[0]}); "
                             f"continue it with --resume or choose another folder")
    check_folder(folder, "--out")


def _prepare(args, prog: str) -> Run:
    """The run the options describe, its folder made; UsageError for anything that would stop it."""
    options.check_folders(args)
    checkpoint = read_checkpoint(args.resume) if args.resume else None
    settings = options.settings(args, None if checkpoint is None else checkpoint["settings"])
    plugin, env = load_plugin(settings["plugin"], settings["env"], needs=("goal_state",),
                              needed_by="the trainer")
    settings["env"] = env
    goal, width = _probe(plugin, settings["plugin"], env)
    if settings["head"] == "q" and settings["targets"] == "walk":
        # Its labels are the moves back from a walk state's children: none, no loss to take.
        _, back = data.walk_neighbours(env, np.repeat(goal[None], 16, axis=0), 0)
        if not back.any():
            raise UsageError(f"--head q --targets walk needs moves that can be undone; "
                             f"no child of {env}'s goal leads back to it")
    folder = args.resume or args.out
    _check_out(folder, bool(args.resume))
    if checkpoint is not None:
        if checkpoint["finished"] and not budget_left(checkpoint["step"], checkpoint["elapsed"], settings):
            raise UsageError(f"--resume {folder}: the run there is finished (step {checkpoint['step']}); "
                             f"give a larger --steps or --minutes to train it further")
        shape = checkpoint["model"].get("shape")
        inputs = shape.get("inputs") if isinstance(shape, dict) else None
        if inputs != width:
            raise UsageError(f"--resume {folder}: its network takes {inputs} inputs, {env} gives {width}")
    try:
        run = Run(settings, folder, plugin, goal, width, checkpoint, args.quiet, prog)
    except (RuntimeError, MemoryError) as exc:  # torch reports a failed allocation as RuntimeError
        raise UsageError(f"cannot build a network of --first {settings['first']} --hidden "
                         f"{settings['hidden']} --blocks {settings['blocks']}: {one_line(exc)}") from None
    except (ValueError, OSError) as exc:
        if settings["targets"] != "teacher":
            raise
        raise UsageError(f"--teacher {settings['teacher']}: {one_line(exc)}") from None
    run.check_eval()
    make_folder(folder, "--out")
    run.export_package = args.export
    run.export_bf16 = args.bf16
    return run
