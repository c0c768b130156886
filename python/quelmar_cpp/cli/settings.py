"""The solvers' search settings and their command-line options.

``setting_specs()`` is the backend's settings table: one spec per solver
argument after ``package_path``, in the solvers' argument order::

    {"name": str, "type": "bool" | "int" | "float" | "str", "choices": list[str] | None,
     "solvers": {"cpu": {"default": value or None, "doc": str}, "gpu": {...}}}

A solver's key is absent when it does not take the argument, and ``default``
is None where the solver has no default.
"""
from __future__ import annotations

from quelmar_cpp import _research_impl

from ..common.options import add_option, parse_value
from .errors import UsageError

# {name: Python function} of the backend's solver table, in its order: the --solver choices.
SOLVERS = {s["name"]: s["function"] for s in _research_impl._solvers()}
SUMMARIES = {s["name"]: s["summary"] for s in _research_impl._solvers()}
TYPES = {"bool": bool, "int": int, "float": float, "str": str}
# Settings the tool sets itself: per-iteration printing (it would break the
# progress bar) and profiling (one run id per call would make every state
# overwrite the previous state's files).
NOT_OPTIONS = {"print_internals", "profile_dir", "profile_trace", "profile_summary", "profile_run_id"}
# Settings the solvers require; the tool's defaults: the plain A* and the demo's batch, and
# for the beam a width that solves the 15-puzzle near-optimally and room for long solutions.
REQUIRED_DEFAULTS = {"weight": 1.0, "batch_size": 64, "beam_width": 1000, "max_steps": 1000}


def setting_specs() -> list[dict]:
    """The solvers' settings (see the module docstring for the shape of a spec).

    The backend's own settings table, the one its signatures, docstrings and
    messages are generated from.
    """
    return [spec for spec in _research_impl._search_settings()
            if any(solver in spec["solvers"] for solver in SOLVERS)]


def options(specs: list[dict]) -> dict[str, dict]:
    """{name: spec} of the settings offered as options."""
    return {s["name"]: s for s in specs if s["name"] not in NOT_OPTIONS}


def add_setting_options(group, specs: list[dict]) -> None:
    """Adds one option per solver setting; unset ones are not passed (dest ``set_<name>``)."""
    for name, spec in options(specs).items():
        takers = [s for s in SOLVERS if s in spec["solvers"]]
        typ = TYPES[spec["type"]]
        text = spec["solvers"][takers[0]]["doc"]
        defaults = {s: spec["solvers"][s]["default"] for s in takers}
        if name in REQUIRED_DEFAULTS:
            default = f"default: {REQUIRED_DEFAULTS[name]}"
        elif name == "device":
            default = f"default: cpu; {defaults['gpu']} with --solver gpu"
        elif len({repr(d) for d in defaults.values()}) == 1:
            default = f"default: {defaults[takers[0]]}"
        else:
            default = "default: " + ", ".join(f"{d} on {s.upper()}" for s, d in defaults.items())
        only = f"{'/'.join(s.upper() for s in takers)} solver{'s' if len(takers) > 1 else ''} only; "
        text += f" ({only if len(takers) < len(SOLVERS) else ''}{default})"
        add_option(group, name, typ, text, dest="set_" + name, choices=spec["choices"],
                   metavar=typ.__name__.upper(), aliases=("--batch",) if name == "batch_size" else ())


def plan_runs(args, specs: list[dict]) -> tuple[str | None, dict[str, dict]]:
    """The swept setting's name and {column label: given settings} of each run."""
    settings = {k[4:]: v for k, v in vars(args).items() if k.startswith("set_")}
    if not args.sweep:
        return None, {"result": settings}
    name, _, values = args.sweep.partition("=")
    name = {"batch": "batch_size"}.get(name.strip(), name.strip().replace("-", "_"))
    offered = options(specs)
    if name not in offered or name in settings or not values:
        raise UsageError(f"--sweep {args.sweep}: expected SETTING=V1,V2,... with a search setting "
                         f"not also given as an option, e.g. weight=1,2,4")
    spec = offered[name]
    try:
        parsed = {f"{name}={v.strip()}": parse_value(v.strip(), TYPES[spec["type"]]) for v in values.split(",")}
    except ValueError as exc:
        raise UsageError(f"--sweep {args.sweep}: {exc}") from None
    wrong = [v for v in parsed.values() if spec["choices"] and v not in spec["choices"]]
    if wrong:
        raise UsageError(f"--sweep {args.sweep}: {wrong[0]!r} is not one of "
                         f"{', '.join(map(repr, spec['choices']))}")
    return name, {label: {**settings, name: v} for label, v in parsed.items()}


def effective(settings: dict, solver: str, specs: list[dict]) -> dict:
    """Every option setting of one run as the solver sees it: given, the tool's or the solver's default."""
    return {name: settings.get(name, REQUIRED_DEFAULTS.get(name, spec["solvers"][solver]["default"]))
            for name, spec in options(specs).items() if solver in spec["solvers"]}
