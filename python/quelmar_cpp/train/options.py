"""The trainer's options: its settings table, the command-line options made from it, and the
checks of a run's settings, new or resumed.

Nothing here imports PyTorch, so the top-level parser can offer the train subcommand's options
to a command that only solves.
"""
from __future__ import annotations

import argparse
import os

from ..common.errors import UsageError
from ..common.options import add_option, check_bounds, flag

HELP = "train a heuristic network and export it for the solvers"
DESCRIPTION = ("Trains a residual MLP on states drawn by random walks from the goal with the C++ batch helpers, "
               "and writes into --out DIR: model.pt, <env>_learned.pt2 with its manifest, train_log.json, "
               "learning_curve.png and checkpoint.pt (the state to resume from).")
EPILOG = """\
Targets: "walk" regresses the length of the random walk that drew each state
(a cheap, overestimating target); "bellman" does value iteration with unit
move costs: 0 at goals, otherwise the minimum over the children of 1 + the
target network's estimate (0 for a goal child). The target network is a copy
of the trained one, refreshed every --refresh-steps steps, or sooner when the
loss has stopped falling: once 2 x --plateau-window steps have passed since
the last refresh, the mean loss of the last window is compared with the mean
of the window before, and a fall of less than --plateau-tolerance (relative)
refreshes it. "teacher" takes the children's values from the fixed value
network of --teacher instead.

Heads: --head q trains a Q-network, one output per move: Q(s, a) = 1 + (0 if
the child is a goal, else the child's value), the child's value being the
minimum of the target network's Q over the child's moves ("bellman") or the
teacher's value ("teacher"), which turns a trained value network into a
Q-network without search. "walk" needs no network: each walk state s is
replaced by a random child t, and only Q(t, the move back to s) is trained,
towards 1 + the walk's length.

Budget: --steps and --minutes are totals for the whole run, whichever ends it
first; minutes count the training loop's wall time (checks and checkpoints
included, start-up and export not). SIGINT or SIGTERM writes a checkpoint and
stops with status 130 or 143; --resume DIR continues from it with the stored
settings. A differing setting is refused, except --checkpoint-minutes and the
budget, whose larger values train a finished run further. A run whose loss or
weights stop being finite stops with status 1 and keeps its last finite
checkpoint."""

# name: (type, default, help). Every option but the budget ones is fixed for a
# run: --resume takes it from the checkpoint and refuses a different value.
SETTINGS = {
    "env": (str, None, "environment name, e.g. puzzle8"),
    "plugin": (str, "quelmar_puzzles", "plug-in module to import and register"),
    "head": (str, "value", "value: one output per state, the cost to go; q: one output per move, "
             "Q(s, a) = the move's cost + the cost to go from its child (for the Q solvers)"),
    "targets": (str, "bellman", "walk: the length of the walk that drew the state (for a Q "
                "head, 1 + it for the move back to the state from a random child); bellman: value "
                "iteration against a target network; teacher: from the children's values under the "
                "trained value network of --teacher"),
    "teacher": (str, None, "teacher targets: the folder of a trained value network (its model.pt) "
                "for the same environment"),
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
ADDED_LATER = {"walks": "uniform", "threads": None, "head": "value", "teacher": None}
CHOICES = {"targets": ("walk", "bellman", "teacher"), "walks": ("uniform", "no_return"),
           "head": ("value", "q")}
POSITIVE = ("threads", "max_walk", "first", "hidden", "batch", "lr", "refresh_steps", "plateau_window",
            "eval_depth", "eval_beam", "eval_max_length", "steps", "minutes", "checkpoint_minutes")
NON_NEGATIVE = ("blocks", "eval_every", "eval_minutes", "eval_states", "seed", "plateau_tolerance")
# Walks and check searches far longer than any puzzle needs, or batches far beyond memory, would
# hold the command in one C++ call for hours or exhaust memory; a seed must fit 64 bits.
MAXIMUM = {"max_walk": 100_000, "eval_depth": 100_000, "eval_max_length": 200_000,
           "batch": 1_000_000, "lr": 1.0, "seed": 2**64 - 1}
SHAPE = ("first", "hidden", "blocks", "batch_norm")


def add_options(parser: argparse.ArgumentParser) -> None:
    """Gives `parser` (the train subcommand's, or ``python3 -m quelmar_cpp.train``'s) the
    trainer's description and options."""
    parser.description, parser.epilog = DESCRIPTION, EPILOG
    parser.formatter_class = argparse.RawDescriptionHelpFormatter
    parser.add_argument("--out", metavar="DIR", help="output folder (created; must not hold another run)")
    parser.add_argument("--resume", metavar="DIR",
                        help="continue the run in DIR from its last checkpoint")
    parser.add_argument("--quiet", action="store_true", help="no progress bar or check lines")
    parser.add_argument("--export", action=argparse.BooleanOptionalAction, default=True,
                        help="write the AOTInductor package <env>_learned.pt2 at the end (default: "
                             "on; compiling it takes from seconds to a minute)")
    parser.add_argument("--bf16", action="store_true",
                        help="also write <env>_learned_bf16.pt2, the network in bfloat16: faster "
                             "on CPUs with native bfloat16 (AVX512-BF16 or AMX), many times slower "
                             "elsewhere")
    for table in (SETTINGS, BUDGET):
        for name, (typ, default, text) in table.items():
            if default is not None:
                text += f" (default: {('on' if default else 'off') if typ is bool else default})"
            add_option(parser, name, typ, text, choices=CHOICES.get(name))


def check_folders(args) -> None:
    """UsageError when --out and --resume name different folders, or neither is given."""
    if args.resume and args.out and os.path.abspath(args.out) != os.path.abspath(args.resume):
        raise UsageError(f"--out {args.out} and --resume {args.resume} name different folders")
    if not args.resume and not args.out:
        raise UsageError("--out DIR is required (or --resume DIR)")


def settings(args, stored: dict | None) -> dict:
    """The run's settings: a new run's from the options and the defaults, a resumed run's from
    `stored` (its checkpoint's) with the budget given again; UsageError for a setting given
    that differs from the stored one, a missing --env or budget, and values out of bounds."""
    given = {k: v for k, v in vars(args).items() if k in SETTINGS or k in BUDGET}
    if stored is not None:
        settings = dict(stored)
        for name, value in given.items():
            same = value.lower() == settings[name].lower() if name == "env" else value == settings[name]
            if name in SETTINGS and not same:
                old = settings[name]
                what = "trains" if name == "env" else f"has {flag(name)}"
                raise UsageError(f"--resume {args.resume}: the run there {what} {old}, not {value}")
        settings.update({k: v for k, v in given.items() if k in BUDGET})
    else:
        if "env" not in given:
            raise UsageError("--env is required")
        settings = {name: spec[1] for name, spec in {**SETTINGS, **BUDGET}.items()}
        settings.update(given)
        if settings["steps"] is None and settings["minutes"] is None:
            raise UsageError("give a budget: --steps N or --minutes M (or both)")
    check_bounds(settings, POSITIVE, NON_NEGATIVE, MAXIMUM)
    if settings["targets"] == "teacher" and not settings["teacher"]:
        raise UsageError("--targets teacher needs --teacher DIR (a trained value network's folder)")
    if settings["teacher"] and settings["targets"] != "teacher":
        raise UsageError("--teacher DIR is for --targets teacher")
    if stored is None and settings["teacher"]:
        # A resumed run finds its teacher wherever it is started from.
        settings["teacher"] = os.path.abspath(settings["teacher"])
    if settings["batch_norm"] and settings["batch"] < 2:
        raise UsageError("--batch must be at least 2 with batch norm, whose statistics need two "
                         "states (or give --no-batch-norm)")
    return settings
