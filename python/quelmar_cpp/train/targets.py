"""What the trainer regresses its network towards: one kind of target per ``--targets`` and
``--head``.

The loop asks a kind for each batch's targets and tells it each step's loss; a
kind keeps whatever state its targets depend on (the Bellman target network and
its refresh rule), which the checkpoint stores as its ``target`` and ``refresh``
entries.
"""
from __future__ import annotations

import copy
import os

import numpy as np
import torch

from . import data
from .data import TargetRefresh
from .network import load_network


class WalkTargets:
    """The length of the random walk that drew each state: cheap, and an overestimate."""

    needs_children = False
    # Batches of walk states' children, each with its moves back (Batch.back), the only moves
    # whose targets (NaN elsewhere) enter the loss.
    neighbours = False

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


class WalkQTargets(WalkTargets):
    """Walk targets for a Q-network, as cheap as the value network's: the batch holds a child t
    of each walk state s, and the Q of t's moves back to s is regressed to 1 + the walk's length
    (an overestimate of 1 + the cost to go of s); t's other moves have no label."""

    neighbours = True

    def __call__(self, batch: data.Batch, timer: data.PhaseTimer) -> torch.Tensor:
        """The batch's targets (float32 [N, M]), NaN but at each row's moves back."""
        label = (1.0 + batch.lengths.astype(np.float32))[:, None]
        return torch.from_numpy(np.where(batch.back, label, np.float32(np.nan)).astype(np.float32))


class BellmanTargets:
    """Value iteration with unit move costs against a target network: 0 at goals, otherwise the
    minimum over the children of 1 + the target network's estimate (0 for a goal child).

    The target network is a frozen copy of the trained one, refreshed by the ``TargetRefresh``
    rule of the settings.
    """

    needs_children = True
    neighbours = False

    def __init__(self, network: torch.nn.Module, settings: dict):
        self.network = frozen_copy(network)
        self.refresh = TargetRefresh(settings["refresh_steps"], settings["plateau_window"],
                                     settings["plateau_tolerance"])

    def __call__(self, batch: data.Batch, timer: data.PhaseTimer) -> torch.Tensor:
        """The batch's targets (float32 [N]), from the target network's values of its children."""
        with timer("targets"), torch.no_grad():
            values = self.network(batch.children.inputs).reshape(-1).numpy()
        return torch.from_numpy(data.targets_from_values(batch.children, values))

    # after_step, state_dict and load_state_dict below serve the Q kind too.

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


class QBellmanTargets(BellmanTargets):
    """Q-learning with unit move costs against a target network: Q(s, a) = 1 + (0 if the child is
    a goal, else the least of the target network's Q over the child's moves)."""

    def __call__(self, batch: data.Batch, timer: data.PhaseTimer) -> torch.Tensor:
        """The batch's targets (float32 [N, M])."""
        with timer("targets"), torch.no_grad():
            values = self.network(batch.children.inputs).min(dim=1).values.numpy()
        return torch.from_numpy(data.q_targets_from_values(batch.children, values))


class TeacherTargets:
    """Targets from a fixed, trained value network V (``--teacher DIR``): a Q-network learns
    Q(s, a) = 1 + (0 if the child is a goal, else V(child)), a value network one step of value
    iteration over V. Nothing is refreshed."""

    needs_children = True
    neighbours = False

    def __init__(self, network: torch.nn.Module, settings: dict):
        path = os.path.join(settings["teacher"], "model.pt")
        teacher = load_network(path)  # ValueError or OSError for a file that is no model
        if teacher.shape["outputs"] != 1:
            raise ValueError(f"{path} is a Q-network; the teacher must be a value network")
        if teacher.shape["inputs"] != network.shape["inputs"]:
            raise ValueError(f"{path} takes {teacher.shape['inputs']} inputs, the trained network "
                             f"{network.shape['inputs']}")
        env = getattr(teacher, "env", "")
        if env and env.lower() != settings["env"].lower():
            raise ValueError(f"{path} was trained for {env}, not {settings['env']}")
        self.teacher = frozen_copy(teacher)
        self.q = network.shape["outputs"] > 1

    def __call__(self, batch: data.Batch, timer: data.PhaseTimer) -> torch.Tensor:
        """The batch's targets (float32 [N, M] for a Q-network, [N] for a value network)."""
        with timer("targets"), torch.no_grad():
            values = self.teacher(batch.children.inputs).reshape(-1).numpy()
        make = data.q_targets_from_values if self.q else data.targets_from_values
        return torch.from_numpy(make(batch.children, values))

    def after_step(self, network: torch.nn.Module, loss: float) -> str | None:
        return None

    state_dict = WalkTargets.state_dict

    def load_state_dict(self, state: dict) -> None:
        pass


# (--head, --targets): the kind of each pair; the settings checks refuse the others.
KINDS = {("value", "walk"): WalkTargets, ("value", "bellman"): BellmanTargets,
         ("value", "teacher"): TeacherTargets, ("q", "walk"): WalkQTargets,
         ("q", "bellman"): QBellmanTargets, ("q", "teacher"): TeacherTargets}


def make_targets(network: torch.nn.Module, settings: dict):
    """The run's kind of targets for `network`; ValueError (or OSError) for an unusable teacher."""
    return KINDS[settings["head"], settings["targets"]](network, settings)


def frozen_copy(network: torch.nn.Module) -> torch.nn.Module:
    """A copy of `network` in eval mode without gradients."""
    target = copy.deepcopy(network).eval()
    target.requires_grad_(False)
    return target
