"""The command line ``python3 -m quelmar_cpp solve|train`` (``quelmar solve|train``).

``command`` is the top-level parser, with a ``solve`` and a ``train``
subcommand (the trainer is ``quelmar_cpp.train``). For the test-set command
``solve``: ``settings`` reads the solvers' search settings and makes them
options, ``inputs`` reads states and optimal lengths, ``runners`` solves on
local threads or a Dask cluster, ``partial`` keeps finished rows across
interruptions, ``report`` writes the table and plot, and ``solve`` is the
command itself. What it shares with the trainer is in ``quelmar_cpp.common``.
"""
from .command import main

__all__ = ["main"]
