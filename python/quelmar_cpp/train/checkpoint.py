"""The run's checkpoint.pt: what it holds, reading it back whole, and restoring a run from it."""
from __future__ import annotations

import math
import os

import torch

from ..common.errors import UsageError, one_line
from ..common.files import write_atomically
from ..common.options import typed
from .data import PhaseTimer
from .network import network_from_record, network_record
from .options import ADDED_LATER, BUDGET, CHOICES, SETTINGS

CHECKPOINT = "checkpoint.pt"
CHECKPOINT_FORMAT = "quelmar_cpp.train.checkpoint/1"
_CHECKPOINT_TYPES = {"settings": dict, "step": int, "elapsed": float, "finished": bool, "model": dict,
                     "optimizer": dict, "target": (dict, type(None)), "refresh": dict, "rng": dict,
                     "curve": list, "refreshes": list, "sessions": list, "phases": dict}
_CHECKPOINT_KEYS = tuple(_CHECKPOINT_TYPES)


def read_checkpoint(folder: str) -> dict:
    """The checkpoint in `folder`, its entries and stored settings checked; UsageError when it is
    missing, unreadable, not a trainer checkpoint or damaged."""
    path = os.path.join(folder, CHECKPOINT)
    if not os.path.isfile(path):
        raise UsageError(f"--resume {folder}: no {CHECKPOINT} there")
    try:
        checkpoint = torch.load(path, map_location="cpu", weights_only=True)
    except Exception as exc:  # torch reports damaged files through many exception types
        raise UsageError(f"--resume {folder}: cannot read {CHECKPOINT}: {one_line(exc)}") from None
    if not isinstance(checkpoint, dict) or checkpoint.get("format") != CHECKPOINT_FORMAT:
        raise UsageError(f"--resume {folder}: {CHECKPOINT} is not a trainer checkpoint")
    missing = [k for k in _CHECKPOINT_KEYS if k not in checkpoint]
    if missing:
        raise UsageError(f"--resume {folder}: {CHECKPOINT} lacks {missing[0]!r}")
    damaged = [k for k, typ in _CHECKPOINT_TYPES.items() if not typed(checkpoint[k], typ)]
    if damaged:
        raise UsageError(f"--resume {folder}: {CHECKPOINT} has a damaged entry {damaged[0]!r}")
    stored = checkpoint["settings"]
    for name, value in ADDED_LATER.items():
        stored.setdefault(name, value)
    missing = [k for k in (*SETTINGS, *BUDGET) if k not in stored]
    if missing:
        raise UsageError(f"--resume {folder}: {CHECKPOINT} lacks the setting {missing[0]}")
    # A damaged or edited file is refused here rather than met as a traceback in mid-training.
    for name, (typ, default, _) in {**SETTINGS, **BUDGET}.items():
        value = stored[name]
        fits = typed(value, typ) or (value is None and default is None and name != "env")
        if not fits or (name in CHOICES and value not in CHOICES[name]):
            raise UsageError(f"--resume {folder}: {CHECKPOINT} has a damaged setting {name}: {value!r}")
    return checkpoint


def snapshot(run, finished: bool) -> dict:
    """What checkpoint.pt holds of `run` (a ``loop.Run``)."""
    return {"format": CHECKPOINT_FORMAT, "settings": run.s, "step": run.step,
            "elapsed": run.elapsed, "finished": finished,
            "model": network_record(run.network, run.env),
            "optimizer": run.optimizer.state_dict(),
            **run.target_kind.state_dict(),
            "rng": {"torch": torch.get_rng_state()},
            "curve": run.curve, "refreshes": run.refreshes, "sessions": run.sessions,
            "phases": dict(run.timer.seconds)}


def write(folder: str, state: dict) -> None:
    """Writes checkpoint.pt whole (the previous one stays until the new one is complete)."""
    write_atomically(os.path.join(folder, CHECKPOINT), lambda f: torch.save(state, f), binary=True)


def restore(run, c: dict) -> None:
    """Puts `run` (a ``loop.Run``, just built from the checkpoint's settings) in the state of
    checkpoint `c`; UsageError when it is damaged or does not fit the settings."""
    try:
        restored = network_from_record(c["model"], os.path.join(run.folder, CHECKPOINT))
    except ValueError as exc:
        raise UsageError(f"--resume {run.folder}: {' '.join(str(exc).split())}") from None
    if restored.shape != run.network.shape:
        raise UsageError(f"--resume {run.folder}: its network shape {restored.shape} "
                         f"does not match the settings {run.network.shape}")
    try:
        run.network.load_state_dict(restored.state_dict())
        run.optimizer.load_state_dict(c["optimizer"])
        check_optimizer_state(run.optimizer)
        run.target_kind.load_state_dict(c)
        torch.set_rng_state(c["rng"]["torch"])
        run.step, run.elapsed = c["step"], float(c["elapsed"])
        if run.step < 0 or not math.isfinite(run.elapsed):
            raise ValueError(f"step {run.step} after {run.elapsed} s")
        if not all(isinstance(r, dict) and isinstance(r.get("step"), int) for r in c["curve"]):
            raise ValueError("its curve is not a list of steps")
        run.curve, run.refreshes, run.sessions = list(c["curve"]), list(c["refreshes"]), list(c["sessions"])
        run.timer = PhaseTimer({str(k): float(v) for k, v in c["phases"].items()})
    except (KeyError, TypeError, ValueError, RuntimeError, AttributeError, IndexError) as exc:
        raise UsageError(f"--resume {run.folder}: {CHECKPOINT} is damaged or does not fit its "
                         f"settings: {one_line(exc)}") from None


def check_optimizer_state(optimizer: torch.optim.Optimizer) -> None:
    """ValueError unless each weight's Adam state (when it has one) is complete and of its shape;
    loading a state dict checks only the number of weights."""
    for group in optimizer.param_groups:
        for weight in group["params"]:
            state = optimizer.state.get(weight)
            if not state:
                continue
            for key in ("exp_avg", "exp_avg_sq"):
                if not torch.is_tensor(state.get(key)) or state[key].shape != weight.shape:
                    raise ValueError(f"the optimizer's {key} does not fit a weight of shape "
                                     f"{list(weight.shape)}")
            if "step" not in state:
                raise ValueError("the optimizer state lacks its step")
