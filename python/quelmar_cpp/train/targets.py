"""What the trainer regresses its network towards: one kind of target per ``--targets``.

The loop asks a kind for each batch's targets and tells it each step's loss; a
kind keeps whatever state its targets depend on (the Bellman target network and
its refresh rule), which the checkpoint stores as its ``target`` and ``refresh``
entries.
"""
from __future__ import annotations

import copy

import numpy as np
import torch

from . import data
from .data import TargetRefresh


class WalkTargets:
    """The length of the random walk that drew each state: cheap, and an overestimate."""

    needs_children = False

    def __init__(self, network: torch.nn.Module, settings: dict):
        pass

    def __call__(self, batch: data.Batch, timer: data.PhaseTimer) -> torch.Tensor:
        """The batch's targets (float32 [N])."""
        return torch.from_numpy(batch.lengths.astype(np.float32))

    def after_step(self, network: torch.nn.Module, loss: float) -> str | None:
        """Takes the loss of a step just made; the reason the targets changed, or None."""
        return None

    def state_dict(self) -> dict:
        # The entries a checkpoint has for every kind: no target network, a refresh rule at rest.
        return {"target": None, "refresh": {"steps": 0, "losses": []}}

    def load_state_dict(self, state: dict) -> None:
        pass


class BellmanTargets:
    """Value iteration with unit move costs against a target network: 0 at goals, otherwise the
    minimum over the children of 1 + the target network's estimate (0 for a goal child).

    The target network is a frozen copy of the trained one, refreshed by the ``TargetRefresh``
    rule of the settings.
    """

    needs_children = True

    def __init__(self, network: torch.nn.Module, settings: dict):
        self.network = frozen_copy(network)
        self.refresh = TargetRefresh(settings["refresh_steps"], settings["plateau_window"],
                                     settings["plateau_tolerance"])

    def __call__(self, batch: data.Batch, timer: data.PhaseTimer) -> torch.Tensor:
        """The batch's targets (float32 [N]), from the target network's values of its children."""
        with timer("targets"), torch.no_grad():
            values = self.network(batch.children.inputs).reshape(-1).numpy()
        return torch.from_numpy(data.targets_from_values(batch.children, values))

    def after_step(self, network: torch.nn.Module, loss: float) -> str | None:
        """Takes the loss of a step just made; when the rule says so, copies `network` into the
        target network and returns why ("every" or "plateau")."""
        reason = self.refresh.update(loss)
        if reason:
            self.network.load_state_dict(network.state_dict())
        return reason

    def state_dict(self) -> dict:
        return {"target": self.network.state_dict(), "refresh": self.refresh.state_dict()}

    def load_state_dict(self, state: dict) -> None:
        """Restores a checkpoint's entries; ValueError (or what torch raises) when they do not fit."""
        if state["target"] is None:
            raise ValueError("bellman targets need the target network, which it lacks")
        self.network.load_state_dict(state["target"])
        self.refresh.load_state_dict({"steps": int(state["refresh"]["steps"]),
                                      "losses": [float(x) for x in state["refresh"]["losses"]]})


# --targets: the kind of each value.
KINDS = {"walk": WalkTargets, "bellman": BellmanTargets}


def frozen_copy(network: torch.nn.Module) -> torch.nn.Module:
    """A copy of `network` in eval mode without gradients."""
    target = copy.deepcopy(network).eval()
    target.requires_grad_(False)
    return target
