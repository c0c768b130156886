"""The command line: ``python3 -m quelmar_cpp solve|train ...`` (or ``quelmar solve|train``).

One parser with a subcommand each, with its own options and ``--help``: ``solve``
(``quelmar_cpp.cli.solve``) and ``train`` (``quelmar_cpp.train``, whose code and
PyTorch are imported only when it runs).
"""
from __future__ import annotations

import sys

from ..common.errors import UsageError
from ..common.options import Parser, program
from ..train import options as train_options
from . import solve
from .settings import setting_specs


def _parser(specs: list[dict]) -> tuple[Parser, Parser]:
    """The top-level parser and its train subcommand's parser."""
    parser = Parser(prog=program(), description="Solve test sets with the C++ solvers and train "
                                                "heuristic networks for them.")
    commands = parser.add_subparsers(dest="command", required=True)
    solve.add_parser(commands, specs)
    # The trainer reports usage errors as one line, as it does for the checks after parsing.
    train = commands.add_parser("train", one_line=True, help=train_options.HELP)
    train_options.add_options(train)
    return parser, train


def main(argv: list[str] | None = None) -> int:
    """Runs the command line (``sys.argv[1:]`` when `argv` is None); returns the exit status.

    From ``sys.argv``, a solve run stopped by SIGINT or SIGTERM ends the process at once
    (searches still running in solver threads cannot be interrupted).
    """
    specs = setting_specs()
    parser, train = _parser(specs)
    try:
        args, extra = parser.parse_known_args(sys.argv[1:] if argv is None else argv)
        if extra:
            # Each reports them as it did as a parser of its own: the trainer in one line.
            (train if args.command == "train" else parser).error(f"unrecognized arguments: {' '.join(extra)}")
    except UsageError as exc:  # from the train subcommand only
        print(f"{train.prog}: error: {exc}", file=sys.stderr)
        return 2
    if args.command == "train":
        from ..train.command import run  # imports PyTorch: only for this command
        return run(args, train.prog)
    return solve.run(args, specs, parser.prog, own_process=argv is None)
