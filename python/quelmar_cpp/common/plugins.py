"""Puzzle plug-ins: the modules that register environments with the backend."""
from __future__ import annotations

import importlib

from .errors import UsageError, one_line


def import_plugin(name: str):
    """The plug-in module; UsageError when importing it fails, whatever its code raises."""
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        raise UsageError(f"cannot import plug-in module {name!r}: {exc}") from None
    except Exception as exc:
        raise UsageError(f"cannot import plug-in module {name!r}: {one_line(exc)}") from None


def load_plugin(name: str, env: str, needs: tuple[str, ...] = (), needed_by: str | None = None) -> tuple[object, str]:
    """Imports and registers the plug-in: the module and `env` as the plug-in spells it.

    UsageError when the module, its register() or one of the functions `needs` names is
    missing (the message says `needed_by` needs them), register() fails, or the plug-in
    does not provide `env`.
    """
    plugin = import_plugin(name)
    for needed in ("register", *needs):
        if not callable(getattr(plugin, needed, None)):
            raise UsageError(f"plug-in module {name!r} has no {needed}() function"
                             + (f", which {needed_by} needs" if needed_by else ""))
    try:
        names = plugin.register()
    except Exception as exc:
        raise UsageError(f"plug-in {name}: register() failed: {exc}") from None
    if names is not None:
        spelled = {n.lower(): n for n in names}
        if env.lower() not in spelled:
            raise UsageError(f"unknown environment {env!r}; plug-in {name} provides: {', '.join(names)}")
        env = spelled[env.lower()]
    return plugin, env
