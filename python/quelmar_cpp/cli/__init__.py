"""The test-set command ``python3 -m quelmar_cpp solve`` (``quelmar solve``).

``settings`` reads the solvers' search settings and makes them options,
``inputs`` reads states and optimal lengths and loads the plug-in, ``runners``
solves on local threads or a Dask cluster, ``partial`` keeps finished rows
across interruptions, ``report`` writes the table, plot and files, and
``command`` is the command itself.
"""
from .command import main

__all__ = ["main"]
