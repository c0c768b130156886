"""Example puzzle environments for the quelmar solver.

Domains: ``puzzle8``, ``puzzle15``, ``puzzle24`` (sliding tiles) and ``cube3``
(Rubik's cube). Call :func:`register` once to make them available to the
solver under those names.

States are 1-D ``numpy.uint8`` arrays. Sliding tiles: the tile at each board
position in row-major order, 0 for the blank; goal ``1, 2, ..., N*N-1, 0``;
moves 0 up, 1 down, 2 left, 3 right (the blank's direction; a move against
the edge leaves the state unchanged). Cube: 54 sticker colours, index
``face*9 + row*3 + col`` with faces U, R, F, D, L, B; goal colour ``i // 9``;
move ``2*f`` turns face ``f`` clockwise, ``2*f + 1`` counter-clockwise. For
every domain the inverse of move ``m`` is ``m ^ 1``.

Environment names are matched without regard to letter case; every function
returns new arrays and never modifies its arguments.
"""
from __future__ import annotations

import operator
import signal
import threading

import numpy as np


def _load_extension():
    # Ctrl-C while the extension loads would leave its binding library half initialised (a
    # crash at teardown): record the signal, then raise it again once the module is loaded.
    if threading.current_thread() is not threading.main_thread() or signal.getsignal(signal.SIGINT) is None:
        from . import _puzzles_impl
        return _puzzles_impl
    pending = []
    previous = signal.signal(signal.SIGINT, lambda signum, frame: pending.append(signum))
    try:
        from . import _puzzles_impl
    finally:
        signal.signal(signal.SIGINT, previous)
        if pending:
            signal.raise_signal(signal.SIGINT)
    return _puzzles_impl


_impl = _load_extension()

__version__ = "0.1.0"
__all__ = [
    "__version__",
    "register",
    "environment_names",
    "goal_state",
    "apply_moves",
    "is_solved",
    "scramble",
    "num_moves",
    "inverse_move",
    "optimal_solution_length",
]

_UINT64_MAX = 2**64 - 1
_INT_MAX = 2**31 - 1


def _env_name(env) -> str:
    if not isinstance(env, str):
        raise TypeError(f"environment name must be a str, got {type(env).__name__}")
    return env


def _state_bytes(state) -> bytes:
    """Validates a 1-D array-like of byte values and returns its bytes."""
    arr = np.asarray(state)
    if arr.ndim != 1:
        raise ValueError(f"state must be a 1-D array, got shape {arr.shape}")
    if arr.dtype != np.uint8:
        if arr.size == 0:
            arr = arr.astype(np.uint8)
        elif arr.dtype.kind not in "iu":
            raise TypeError(f"state must hold integers (numpy.uint8), got dtype {arr.dtype}")
        elif int(arr.min()) < 0 or int(arr.max()) > 255:
            raise ValueError("state values must lie in 0..255")
        else:
            arr = arr.astype(np.uint8)
    return np.ascontiguousarray(arr).tobytes()


def _to_array(data: bytes) -> np.ndarray:
    return np.frombuffer(data, dtype=np.uint8).copy()


def _int_in(value, name: str, low: int, high: int) -> int:
    value = operator.index(value)
    if not low <= value <= high:
        raise ValueError(f"{name} must lie in {low}..{high}, got {value}")
    return value


def register(capsule=None) -> list[str]:
    """Register the puzzle environments, CPU and batched (torch), with the quelmar solver.

    ``capsule`` is the registrar from ``quelmar_cpp.environment_registrar_capsule()``
    (fetched automatically when None). Registering again is harmless.
    Returns the registered names.

    Raises TypeError when ``capsule`` is not a PyCapsule, ValueError when it
    has another name, and RuntimeError when the registrar's version is not
    the one this plug-in was built for.
    """
    if capsule is None:
        try:
            import quelmar_cpp
        except ImportError as exc:
            raise ImportError(
                "quelmar_puzzles.register() needs the quelmar_cpp package to obtain the "
                "environment registrar; install it or pass a registrar capsule"
            ) from exc
        capsule = quelmar_cpp.environment_registrar_capsule()
    return list(_impl.register_environments(capsule))


def environment_names() -> list[str]:
    """Names of the environments this package provides."""
    return list(_impl.environment_names())


def num_moves(env: str) -> int:
    """Number of moves of ``env`` (4 for sliding tiles, 12 for the cube)."""
    return _impl.num_moves(_env_name(env))


def inverse_move(env: str, move: int) -> int:
    """The move that undoes ``move`` in ``env``."""
    return _impl.inverse_move(_env_name(env), _int_in(move, "move", -_INT_MAX, _INT_MAX))


def goal_state(env: str) -> np.ndarray:
    """The solved state of ``env``."""
    return _to_array(_impl.goal_state(_env_name(env)))


def apply_moves(env: str, state, moves) -> np.ndarray:
    """The state reached from ``state`` by applying ``moves`` in order.

    Raises ValueError for an invalid state or a move outside
    ``0..num_moves(env)-1``.
    """
    move_list = [_int_in(m, "move", -_INT_MAX, _INT_MAX) for m in moves]
    return _to_array(_impl.apply_moves(_env_name(env), _state_bytes(state), move_list))


def is_solved(env: str, state) -> bool:
    """Whether ``state`` is the goal of ``env`` (ValueError if it is not a valid state)."""
    return _impl.is_solved(_env_name(env), _state_bytes(state))


def scramble(env: str, depth: int, seed: int, *, return_moves: bool = False):
    """A random walk of ``depth`` moves from the goal of ``env``.

    The walk never undoes its previous move and never makes a move that leaves
    the state unchanged. The same ``seed`` (0 .. 2**64-1) gives the same walk
    on every platform. Returns the state, or ``(state, moves)`` when
    ``return_moves`` is true.
    """
    depth = _int_in(depth, "depth", 0, _INT_MAX)
    seed = _int_in(seed, "seed", 0, _UINT64_MAX)
    data, moves = _impl.scramble(_env_name(env), depth, seed)
    state = _to_array(data)
    return (state, list(moves)) if return_moves else state


def optimal_solution_length(env: str, state, max_depth: int) -> int | None:
    """Optimal number of moves from ``state`` to the goal (sliding tiles only).

    Runs IDA* with the Manhattan-distance heuristic and returns None when the
    optimum exceeds ``max_depth``. Raises ValueError for ``cube3``, an invalid
    state, or one whose permutation parity keeps it from reaching the goal.
    The search releases the GIL and can be interrupted with Ctrl-C.
    """
    max_depth = _int_in(max_depth, "max_depth", 0, _INT_MAX)
    return _impl.optimal_solution_length(_env_name(env), _state_bytes(state), max_depth)
