"""Quelmar: batched weighted A* with learned heuristics (C++ backend)."""
from ._backend_impl import environment_registrar_capsule

__version__ = "0.1.0"
__all__ = ["environment_registrar_capsule", "__version__"]
