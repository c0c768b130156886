"""The command's inputs: states, optimal lengths, and their checks through the plug-in."""
from __future__ import annotations

import hashlib
import json
import re

import numpy as np

from .errors import UsageError


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


def scrambles(spec: str, seed: int, plugin, plugin_name: str, env: str) -> list[tuple[str, list[int]]]:
    """(location, state) pairs of --scrambles N:DEPTH from the plug-in; UsageError when it cannot."""
    match = re.fullmatch(r"(\d+):(\d+)", spec)
    if not match or int(match[1]) < 1:
        raise UsageError(f"--scrambles {spec}: expected N:DEPTH with N >= 1, e.g. 200:40")
    if not hasattr(plugin, "scramble"):
        raise UsageError(f"plug-in {plugin_name} offers no scramble(); use --states")
    try:
        return [(f"scramble {i}, seed {seed + i}", np.asarray(plugin.scramble(env, int(match[2]), seed + i)).tolist())
                for i in range(int(match[1]))]
    except ValueError as exc:
        raise UsageError(f"--scrambles {spec} --seed {seed}: {exc}") from None


def states_digest(states: list[tuple[str, list[int]]]) -> str:
    """SHA-256 of the states' values in order, which identifies a test set whatever file it came from."""
    return hashlib.sha256(json.dumps([state for _, state in states]).encode()).hexdigest()


def read_optimal(path: str, count: int) -> list[int]:
    """One optimal length per state; UsageError for malformed lines or a wrong count."""
    lines = _int_lines(path)
    for number, values in lines:
        if len(values) != 1 or values[0] < 0:
            raise UsageError(f"{path}:{number}: expected one non-negative length")
    if len(lines) != count:
        raise UsageError(f"{path}: {len(lines)} lengths for {count} states")
    return [values[0] for _, values in lines]


def check_states(plugin, env: str, states) -> None:
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


def verify(plugin, env: str, state, moves) -> bool | None:
    """Whether the moves replayed through the plug-in reach a goal; None without the helpers.

    Moves the plug-in refuses (unknown, or too large for its integers) reach no goal.
    """
    if not (hasattr(plugin, "apply_moves") and hasattr(plugin, "is_solved")):
        return None
    try:
        return bool(plugin.is_solved(env, plugin.apply_moves(env, np.asarray(state, np.uint8), moves)))
    except (ValueError, OverflowError):
        return False
