"""Quelmar: batched weighted A* with learned heuristics (C++ backend).

``run_weighted_astar`` solves a puzzle state on the CPU, ``run_torch_gpu_astar``
on a CUDA/ROCm device, ``run_beam_search`` by beam search on the CPU and
``run_q_beam_search`` by beam search over a Q-network (one output per move),
``run_q_star_search`` by Q* search (weighted A* over its (state, move) entries); puzzle
domains come from plug-ins that register through ``environment_registrar_capsule()``.
``random_walks``, ``expand_states``, ``goal_flags`` and ``network_inputs`` work on
NumPy batches of states of any registered environment, e.g. to make training data.

The names come from two extension modules over one solver core:
``_backend_impl`` (the registrar capsule and the two A* solvers) and
``_research_impl`` (the other solvers and the batch helpers).
"""
import atexit

from ._interrupts import held_while_loading

with held_while_loading():
    from . import _backend_impl, _research_impl
from ._backend_impl import environment_registrar_capsule, run_torch_gpu_astar, run_weighted_astar
from ._research_impl import (
    expand_states,
    goal_flags,
    network_inputs,
    random_walks,
    run_beam_search,
    run_q_beam_search,
    run_q_star_search,
)

# Model packages stay loaded between solves; unload them (and remove their
# extracted files) while LibTorch is still intact.
atexit.register(_research_impl._release_model_packages)

__version__ = "0.1.0"
__all__ = [
    "environment_registrar_capsule",
    "expand_states",
    "goal_flags",
    "network_inputs",
    "random_walks",
    "run_beam_search",
    "run_q_beam_search",
    "run_q_star_search",
    "run_torch_gpu_astar",
    "run_weighted_astar",
    "__version__",
]
