"""Command-line options made from tables of settings, and the checks of their values.

The solve command offers the solvers' search settings as options and the trainer
its own settings table; both name a setting ``batch_size`` as ``--batch-size``,
read a bool as ``--x``/``--no-x``, leave an option that is not given out of the
namespace (so the table's default applies), and report bad values as one line.
"""
from __future__ import annotations

import argparse
import math
import os
import sys

from .errors import UsageError


class Parser(argparse.ArgumentParser):
    """An ArgumentParser that, made with ``one_line=True``, raises UsageError for a usage error
    instead of printing its usage and exiting, so the error reads as one line like the checks
    made after parsing."""

    def __init__(self, *args, one_line: bool = False, **kwargs):
        super().__init__(*args, **kwargs)
        self.one_line = one_line

    def error(self, message):
        if self.one_line:
            raise UsageError(message)
        super().error(message)


def program(command: str | None = None) -> str:
    """The program as the user typed it (``quelmar`` or ``python3 -m quelmar_cpp``), with
    `command` after it, for usage lines and messages."""
    name = "python3 -m quelmar_cpp" if sys.argv[0].endswith(os.path.join("quelmar_cpp", "__main__.py")) else "quelmar"
    return f"{name} {command}" if command else name


def flag(name: str) -> str:
    """The option of a setting: ``--batch-size`` for ``batch_size``."""
    return "--" + name.replace("_", "-")


def parse_bool(text: str) -> bool:
    """'true'/'1'/'yes' or 'false'/'0'/'no' as a bool; ValueError otherwise."""
    if text.lower() in ("1", "true", "yes"):
        return True
    if text.lower() in ("0", "false", "no"):
        return False
    raise ValueError(f"not a boolean: {text!r}")


def parse_value(text: str, typ: type):
    """A command-line word as a value of `typ` (bool, int, float or str); ValueError when it is none."""
    return parse_bool(text) if typ is bool else typ(text)


def typed(value, types: type | tuple) -> bool:
    """isinstance, except that a bool is no number and an int is also a float."""
    types = types if isinstance(types, tuple) else (types,)
    if isinstance(value, bool):
        return bool in types
    return isinstance(value, types) or (float in types and isinstance(value, int))


def add_option(group, name: str, typ: type, text: str, *, dest: str | None = None,
               choices=None, metavar: str | None = None, aliases: tuple[str, ...] = ()) -> None:
    """Adds the option of setting `name` to `group` (a parser or argument group): a bool as
    ``--name``/``--no-name``, any other type as ``--name VALUE`` (shown as its `choices`, or as
    `metavar`, by default the type's name). An option not given is absent from the namespace."""
    flags = [flag(name), *aliases]
    kwargs = {"dest": dest} if dest else {}
    text = text.replace("%", "%%")  # argparse formats help texts with %
    if typ is bool:
        group.add_argument(*flags, action=argparse.BooleanOptionalAction, default=argparse.SUPPRESS,
                           help=text, **kwargs)
        return
    if metavar is None and not choices:
        metavar = typ.__name__.upper()
    group.add_argument(*flags, type=typ, choices=choices, metavar=metavar, default=argparse.SUPPRESS,
                       help=text, **kwargs)


def check_bounds(values: dict, positive=(), non_negative=(), maximum: dict | None = None) -> None:
    """UsageError naming the first setting in `values` that is a float but not finite, then the
    first of `positive` not above 0, of `non_negative` below 0, or above its `maximum`; a value
    of None (unset) is no number and passes."""
    for name, value in values.items():
        if isinstance(value, float) and not math.isfinite(value):
            raise UsageError(f"{flag(name)} must be a finite number, got {value}")
    for name in positive:
        if values[name] is not None and not values[name] > 0:
            raise UsageError(f"{flag(name)} must be positive, got {values[name]}")
    for name in non_negative:
        if values[name] is not None and values[name] < 0:
            raise UsageError(f"{flag(name)} must not be negative, got {values[name]}")
    for name, most in (maximum or {}).items():
        if values[name] is not None and values[name] > most:
            raise UsageError(f"{flag(name)} must be at most {most:,}, got {values[name]}")
