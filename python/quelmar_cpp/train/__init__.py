"""Training heuristic networks for the solvers.

``python3 -m quelmar_cpp train --env ENV --out DIR --minutes M`` (or
``quelmar train``; ``--help`` lists the options) trains a residual MLP on
states that the C++ batch helpers draw by random walks from the goal, and
writes ``model.pt``, the exported package ``<env>_learned.pt2`` with its
manifest, ``train_log.json``, ``learning_curve.png`` and ``checkpoint.pt``
into DIR. See README.md, "Training a heuristic".

For other code: ``build_network`` makes a fresh network, ``load_network``
reads a ``model.pt`` and ``export_network`` exports one; ``bellman_targets`` is one value-iteration step and
``beam_search`` the small search the trainer checks its networks with.
"""
from .command import main
from .data import TargetRefresh, bellman_targets
from .network import HeuristicNetwork, build_network, export_network, load_network, network_record
from .search import beam_search

__all__ = ["HeuristicNetwork", "TargetRefresh", "beam_search", "bellman_targets", "build_network",
           "export_network", "load_network", "main", "network_record"]
