"""A small beam search over the live network, for the trainer's progress checks.

It tells how a network is coming along without exporting it; it is no
solver. The solvers are the C++ ones (``quelmar_cpp.run_weighted_astar``,
``run_torch_gpu_astar``) run on an exported package.
"""
from __future__ import annotations

import numpy as np
import torch

import quelmar_cpp

from .data import network_values


def beam_search(network: torch.nn.Module, env: str, starts: np.ndarray, beam: int,
                max_length: int) -> list[int | None]:
    """Solution lengths of `starts` (uint8 [S, D]) found by a beam search, None where none was found.

    All starts are searched together, one batch of expansions per depth: at
    each depth the children of a start's beam (``expand_states``) that are
    new to that start's search are scored by the network, and the `beam`
    lowest become the next beam. A goal child (``goal_flags``) at depth d
    ends that start's search with length d; so does an empty beam (None) or
    reaching `max_length` (None). With ``beam=1`` this is a greedy descent.
    """
    starts = np.ascontiguousarray(starts, dtype=np.uint8)
    count, width = starts.shape
    lengths: list[int | None] = [None] * count
    goal = quelmar_cpp.goal_flags(env, starts)
    seen = [{s.tobytes()} for s in starts]
    beams = {i: starts[i:i + 1] for i in range(count) if not goal[i]}
    for i in range(count):
        if goal[i]:
            lengths[i] = 0
    was_training = network.training
    network.eval()
    try:
        for depth in range(1, max_length + 1):
            if not beams:
                break
            order = list(beams)
            frontier = np.concatenate([beams[i] for i in order])
            owner = np.repeat(order, [len(beams[i]) for i in order])
            children = quelmar_cpp.expand_states(env, frontier)
            owner = np.repeat(owner, children.shape[1])
            children = children.reshape(-1, width)
            at_goal = quelmar_cpp.goal_flags(env, children)
            keep = np.zeros(len(children), dtype=bool)
            for k, (i, child) in enumerate(zip(owner, children)):
                if lengths[i] is not None:
                    continue
                if at_goal[k]:
                    lengths[i] = depth
                    continue
                key = child.tobytes()
                if key not in seen[i]:
                    seen[i].add(key)
                    keep[k] = True
            keep &= np.array([lengths[i] is None for i in owner], dtype=bool)
            children, owner = children[keep], owner[keep]
            values = network_values(network, env, children) if len(children) else np.empty(0)
            beams = {}
            for i in order:
                if lengths[i] is not None:
                    continue
                mine = np.flatnonzero(owner == i)
                if len(mine):
                    best = mine[np.argsort(values[mine], kind="stable")[:beam]]
                    beams[i] = children[best]
    finally:
        network.train(was_training)
    return lengths
