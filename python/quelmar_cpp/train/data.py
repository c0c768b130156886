"""Training data from the C++ batch helpers: random-walk and Bellman targets.

Every batch is a function of the run's seed and the step number alone (its
walks are drawn with a seed derived from both), so a resumed run draws the
same batches an uninterrupted one would.
"""
from __future__ import annotations

import collections
import contextlib
import dataclasses
import queue
import threading
import time
from typing import Callable

import numpy as np
import torch

import quelmar_cpp

# Streams of derived seeds, so training batches and evaluation states never share walks (and the
# moves that turn walk states into Q samples are drawn apart from both).
TRAIN_STREAM, EVAL_STREAM, NEIGHBOUR_STREAM = 1, 2, 3
_MASK64 = 2**64 - 1


def derive_seed(seed: int, stream: int, index: int) -> int:
    """A seed for batch `index` of `stream`, well mixed from the run's seed (SplitMix64 steps)."""
    x = (seed * 0x9E3779B97F4A7C15 + stream * 0xD1B54A32D192ED03 + index) & _MASK64
    for _ in range(2):
        x = (x + 0x9E3779B97F4A7C15) & _MASK64
        x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & _MASK64
        x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & _MASK64
        x ^= x >> 31
    return x >> 1  # 63 bits: fits any integer seed type


class PhaseTimer:
    """Seconds spent per phase (data, targets, train, ...), accumulated across a run.

    ``with timer("data"):`` times a phase; a phase timed inside another is
    counted as itself only, not also as the outer one.
    """

    def __init__(self, seconds: dict | None = None):
        self.seconds: dict[str, float] = dict(seconds or {})
        self._open: list[list] = []  # [phase, start, seconds of inner phases]

    def add(self, phase: str, seconds: float) -> None:
        """Counts `seconds` measured elsewhere (another thread) to `phase`."""
        self.seconds[phase] = self.seconds.get(phase, 0.0) + seconds

    @contextlib.contextmanager
    def __call__(self, phase: str):
        entry = [phase, time.perf_counter(), 0.0]
        self._open.append(entry)
        try:
            yield
        finally:
            self._open.pop()
            total = time.perf_counter() - entry[1]
            self.seconds[phase] = self.seconds.get(phase, 0.0) + total - entry[2]
            if self._open:
                self._open[-1][2] += total


def walk_states(env: str, goal: np.ndarray, count: int, max_walk: int, seed: int,
                min_walk: int = 0, no_return: bool = False) -> tuple[np.ndarray, np.ndarray]:
    """`count` states reached by random walks from `goal`, lengths uniform in [min_walk, max_walk]."""
    return quelmar_cpp.random_walks(env, goal, count, max_walk, seed, min_length=min_walk,
                                    no_return=no_return)


def inputs_tensor(env: str, states: np.ndarray) -> torch.Tensor:
    """The network inputs of `states` as a float32 tensor (shares the helper's array)."""
    return torch.from_numpy(quelmar_cpp.network_inputs(env, states))


def network_values(network: torch.nn.Module, env: str, states: np.ndarray,
                   chunk: int = 65536) -> np.ndarray:
    """The network's estimates of `states` (float32 [N]), evaluated without gradients."""
    out = np.empty(len(states), dtype=np.float32)
    with torch.no_grad():
        for start in range(0, len(states), chunk):
            part = states[start:start + chunk]
            x = inputs_tensor(env, part)
            values = network.state_values(x) if hasattr(network, "state_values") else network(x)
            out[start:start + len(part)] = values.reshape(-1).numpy()
    return out


@dataclasses.dataclass
class Children:
    """The distinct children of a batch of states, as Bellman targets need them.

    ``unique`` holds each distinct child once (uint8 [K, D]); ``index`` maps
    the children of state i, in move order, to rows of ``unique`` ([N, M]).
    Sliding-tile moves against an edge and moves back to a state's parent make
    many repeats, which are stored, flagged and evaluated once.
    """
    unique: np.ndarray
    index: np.ndarray
    unique_goal: np.ndarray   # bool [K]: which distinct children are goals
    state_goal: np.ndarray    # bool [N]: which states are goals
    inputs: torch.Tensor | None = None  # network inputs of `unique`, when asked for


def expand_children(env: str, states: np.ndarray, with_inputs: bool = False) -> Children:
    """The children of `states` (``expand_states``), their goal flags and, optionally, inputs."""
    n, width = states.shape
    flat = quelmar_cpp.expand_states(env, states).reshape(-1, width)
    rows = np.ascontiguousarray(flat).view(np.dtype((np.void, width))).ravel()
    _, first, inverse = np.unique(rows, return_index=True, return_inverse=True)
    unique = np.ascontiguousarray(flat[first])
    return Children(unique, inverse.reshape(n, -1), quelmar_cpp.goal_flags(env, unique),
                    quelmar_cpp.goal_flags(env, states),
                    inputs_tensor(env, unique) if with_inputs else None)


def targets_from_values(children: Children, values: np.ndarray) -> np.ndarray:
    """Bellman targets (float32 [N]) given the value of each distinct child (rows of ``unique``)."""
    values = np.where(children.unique_goal, np.float32(0), np.asarray(values, dtype=np.float32))
    targets = 1.0 + values[children.index].min(axis=1)
    targets[children.state_goal] = 0.0
    return targets.astype(np.float32, copy=False)


def q_targets_from_values(children: Children, values: np.ndarray) -> np.ndarray:
    """Q targets (float32 [N, M]): 1 + the value of each move's child (0 for a goal child), given
    the value of each distinct child (rows of ``unique``)."""
    values = np.where(children.unique_goal, np.float32(0), np.asarray(values, dtype=np.float32))
    return (1.0 + values[children.index]).astype(np.float32, copy=False)


def bellman_targets(env: str, states: np.ndarray,
                    child_values: Callable[[np.ndarray], np.ndarray]) -> np.ndarray:
    """One step of value iteration with unit move costs (float32 [N]).

    The target of a goal state is 0; any other state's is the minimum over
    its children (``expand_states``) of 1 + the child's value, where a child
    that is a goal (``goal_flags``) is worth 0 and any other child is worth
    ``child_values(children)`` (one value per row of a [K, D] array, called
    once with the distinct children).
    """
    children = expand_children(env, states)
    return targets_from_values(children, child_values(children.unique))


def walk_neighbours(env: str, states: np.ndarray, seed: int) -> tuple[np.ndarray, np.ndarray]:
    """For each state s, a child t drawn uniformly from its moves, and which moves of t lead back
    to s, so that Q(t, such a move) <= 1 + the cost to go of s.

    Returns (t: uint8 [N, D], back: bool [N, M]). A move that cannot be made (a tile against the
    edge) leaves t = s, and every blocked move of t is then a way back.
    """
    n = len(states)
    children = quelmar_cpp.expand_states(env, states)  # [N, M, D]
    picked = np.random.default_rng(seed).integers(children.shape[1], size=n)
    neighbours = np.ascontiguousarray(children[np.arange(n), picked])
    back = (quelmar_cpp.expand_states(env, neighbours) == states[:, None, :]).all(axis=2)
    return neighbours, back


@dataclasses.dataclass
class Batch:
    """One training step's states, with everything about them that needs no network."""
    step: int
    inputs: torch.Tensor          # float32 [N, input_size]
    lengths: np.ndarray           # int64 [N]: the walks' lengths
    children: Children | None     # for Bellman targets
    seconds: float = 0.0          # time spent making it
    # For walk targets of a Q-network: the inputs are a child t of each walk state s, and this
    # (bool [N, M]) says which moves of t lead back to s: their Q is at most 1 + the walk's length.
    back: np.ndarray | None = None


def make_batch(env: str, goal: np.ndarray, step: int, seed: int, size: int, max_walk: int,
               bellman: bool, no_return: bool = False, neighbours: bool = False) -> Batch:
    """The batch of `step`: a function of the arguments alone, so any thread may make it.
    `neighbours` trades each walk state for one of its children (``walk_neighbours``)."""
    start = time.perf_counter()
    states, lengths = walk_states(env, goal, size, max_walk, derive_seed(seed, TRAIN_STREAM, step),
                                  no_return=no_return)
    back = None
    if neighbours:
        states, back = walk_neighbours(env, states, derive_seed(seed, NEIGHBOUR_STREAM, step))
    children = expand_children(env, states, with_inputs=True) if bellman else None
    return Batch(step, inputs_tensor(env, states), lengths, children, time.perf_counter() - start,
                 back)


class Prefetcher:
    """Makes the batches of steps `start`, `start + 1`, ... in a background thread, `ahead` at most.

    The C++ helpers release the GIL, so the next batches are made while the
    network trains on this one. ``get()`` returns them in order and re-raises
    an error of the thread; ``close()`` stops it.
    """

    def __init__(self, make: Callable[[int], Batch], start: int, ahead: int = 2):
        self._queue: queue.Queue = queue.Queue(maxsize=ahead)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(make, start), daemon=True,
                                        name="quelmar-train-data")
        self._thread.start()

    def _run(self, make, step):
        while not self._stop.is_set():
            try:
                item = make(step)
            except BaseException as exc:  # handed to the training thread, which reports it
                item = exc
            while not self._stop.is_set():
                try:
                    self._queue.put(item, timeout=0.1)
                    break
                except queue.Full:
                    continue
            if isinstance(item, BaseException):
                return
            step += 1

    def get(self, stop: Callable[[], bool] = lambda: False) -> Batch | None:
        """The next batch, or None once `stop()` is true while waiting for it.

        It waits in slices of a tenth of a second: a signal handler runs only between them
        (a wait without a timeout would hold it off until a slow batch is made).
        """
        while True:
            try:
                item = self._queue.get(timeout=0.1)
                break
            except queue.Empty:
                if stop():
                    return None
        if isinstance(item, BaseException):
            raise item
        return item

    def close(self, wait: float = 1.0) -> None:
        """Stops the thread; a batch still being made after `wait` seconds is left to finish on
        its own (the thread is a daemon and ends with it), so that closing never hangs."""
        self._stop.set()
        self._thread.join(wait)


class TargetRefresh:
    """When the Bellman target network is replaced by a copy of the trained one.

    A refresh happens after ``every`` steps since the last one, or sooner when
    the training loss has stopped falling: once at least ``2 * window`` steps
    have passed since the last refresh, the mean loss of the last ``window``
    steps is compared with the mean of the ``window`` steps before them, and a
    fall of less than ``tolerance`` (relative) counts as a plateau.
    """

    def __init__(self, every: int, window: int, tolerance: float = 0.01):
        self.every, self.window, self.tolerance = every, window, tolerance
        self.steps = 0
        self.losses: collections.deque = collections.deque(maxlen=2 * window)

    def update(self, loss: float) -> str | None:
        """Records one step's loss; returns "plateau" or "every" when a refresh is due (and resets)."""
        self.steps += 1
        self.losses.append(float(loss))
        reason = None
        if self.steps >= self.every:
            reason = "every"
        elif self.steps >= 2 * self.window:
            recent = list(self.losses)
            before = sum(recent[:self.window]) / self.window
            last = sum(recent[self.window:]) / self.window
            if last >= (1.0 - self.tolerance) * before:
                reason = "plateau"
        if reason:
            self.steps = 0
            self.losses.clear()
        return reason

    def state_dict(self) -> dict:
        return {"steps": self.steps, "losses": list(self.losses)}

    def load_state_dict(self, state: dict) -> None:
        self.steps = int(state["steps"])
        self.losses = collections.deque(state["losses"], maxlen=2 * self.window)
