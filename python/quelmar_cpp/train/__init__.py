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

The modules: ``options`` (the settings table and its checks), ``command`` (the
command: checks, then the run), ``loop`` (the training loop), ``targets`` (the
kinds of training targets), ``checkpoint``, ``outputs`` (model, package, log,
plot), ``network``, ``data`` (batches, Bellman targets) and ``search``.
"""
import importlib

# Where each public name is defined. They are imported on first use, so that the command
# line can read the trainer's options without importing PyTorch for a command that solves.
_PUBLIC = {"main": "command", "TargetRefresh": "data", "bellman_targets": "data",
           "HeuristicNetwork": "network", "build_network": "network", "export_network": "network",
           "load_network": "network", "network_record": "network", "beam_search": "search"}
_MODULES = ("checkpoint", "command", "data", "loop", "network", "options", "outputs", "search", "targets")

__all__ = sorted(_PUBLIC)


def __getattr__(name: str):
    if name in _PUBLIC:
        value = getattr(importlib.import_module(f".{_PUBLIC[name]}", __name__), name)
    elif name in _MODULES:
        value = importlib.import_module(f".{name}", __name__)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_PUBLIC, *_MODULES})
