"""The trainable heuristic network and its ``model.pt`` file."""
from __future__ import annotations

import os

import torch
from torch import nn

from ..model_package import export_heuristic

# Stored in every model.pt, so a reader can tell the layout it is given.
MODEL_FORMAT = "quelmar_cpp.heuristic_network/1"
SHAPE_KEYS = ("inputs", "first", "hidden", "blocks", "batch_norm", "outputs")


class HeuristicNetwork(nn.Module):
    """A residual MLP estimating cost-to-go from an environment's network inputs.

    ``inputs -> first -> hidden -> blocks x (two hidden-wide layers + skip) -> outputs``
    with ReLU activations (and batch norm after each hidden layer when
    ``batch_norm``). ``raw(x)`` is the unbounded linear head, which training
    regresses so that no gradient is cut off below zero; ``forward(x)`` is that
    value clamped at 0, the non-negative estimate that searches, Bellman
    targets and exported packages use. Output shape [batch, outputs]: one
    value (``outputs`` 1), or a Q-network's value per move.
    """

    def __init__(self, inputs: int, first: int = 1000, hidden: int = 300, blocks: int = 2,
                 batch_norm: bool = False, outputs: int = 1):
        super().__init__()
        for name, value, low in (("inputs", inputs, 1), ("first", first, 1),
                                 ("hidden", hidden, 1), ("blocks", blocks, 0), ("outputs", outputs, 1)):
            if not isinstance(value, int) or isinstance(value, bool) or value < low:
                raise ValueError(f"{name} must be an integer >= {low}, got {value!r}")
        self.shape = {"inputs": inputs, "first": first, "hidden": hidden, "blocks": blocks,
                      "batch_norm": bool(batch_norm), "outputs": outputs}

        def layer(n_in, n_out):
            parts = [nn.Linear(n_in, n_out)]
            if batch_norm:
                parts.append(nn.BatchNorm1d(n_out))
            return parts

        self.stem = nn.Sequential(*layer(inputs, first), nn.ReLU(), *layer(first, hidden), nn.ReLU())
        self.blocks = nn.ModuleList(
            nn.Sequential(*layer(hidden, hidden), nn.ReLU(), *layer(hidden, hidden))
            for _ in range(blocks))
        self.head = nn.Linear(hidden, outputs)

    def raw(self, x: torch.Tensor) -> torch.Tensor:
        z = self.stem(x)
        for block in self.blocks:
            z = torch.relu(z + block(z))
        return self.head(z)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.raw(x).clamp_min(0.0)

    def state_values(self, x: torch.Tensor) -> torch.Tensor:
        """The cost to go of each state ([batch]): the value, or a Q-network's least Q."""
        return self.forward(x).min(dim=1).values


def build_network(inputs: int, first: int = 1000, hidden: int = 300, blocks: int = 2,
                  batch_norm: bool = False, seed: int | None = None, outputs: int = 1) -> HeuristicNetwork:
    """A freshly initialised ``HeuristicNetwork``; with ``seed``, the same weights every time
    (the global torch generator is left as it was)."""
    if seed is None:
        return HeuristicNetwork(inputs, first, hidden, blocks, batch_norm, outputs)
    with torch.random.fork_rng(devices=[]):
        torch.manual_seed(seed)
        return HeuristicNetwork(inputs, first, hidden, blocks, batch_norm, outputs)


def network_record(network: HeuristicNetwork, env: str) -> dict:
    """What ``model.pt`` holds: the format, the environment, the shape and the weights."""
    return {"format": MODEL_FORMAT, "env": env, "shape": dict(network.shape),
            "state_dict": {k: v.detach().cpu().clone() for k, v in network.state_dict().items()}}


def network_from_record(record: dict, where: str = "model") -> HeuristicNetwork:
    """The network a ``network_record`` describes; ValueError naming `where` if it is malformed."""
    if not isinstance(record, dict) or record.get("format") != MODEL_FORMAT:
        raise ValueError(f"{where}: not a {MODEL_FORMAT} record")
    shape = record.get("shape")
    if isinstance(shape, dict) and "outputs" not in shape:
        shape = {**shape, "outputs": 1}  # written before Q-networks: a value network
    if not isinstance(shape, dict) or set(shape) != set(SHAPE_KEYS):
        raise ValueError(f"{where}: network shape must have the keys {', '.join(SHAPE_KEYS)}")
    network = HeuristicNetwork(**shape)
    try:
        network.load_state_dict(record["state_dict"])
    except (KeyError, RuntimeError) as exc:
        raise ValueError(f"{where}: weights do not fit the network shape: {exc}") from None
    network.env = record.get("env", "")
    return network.eval()


def load_network(path: str | os.PathLike) -> HeuristicNetwork:
    """The network of a ``model.pt`` written by the trainer, in eval mode, with ``.env`` set.

    ``.shape`` holds the constructor arguments. Raises ValueError for a file
    that is not such a model, OSError when it cannot be read.
    """
    try:
        record = torch.load(os.fspath(path), map_location="cpu", weights_only=True)
    except OSError:
        raise
    except Exception as exc:  # torch reports a damaged file through many exception types
        raise ValueError(f"{os.fspath(path)}: cannot read the model: {exc}") from None
    return network_from_record(record, os.fspath(path))


def export_network(network: HeuristicNetwork, package_path: str | os.PathLike, env: str | None = None,
                   **options) -> dict:
    """Exports `network` (in eval mode, left as it was) as an AOTInductor package plus manifest.

    ``env`` defaults to the network's ``.env`` (set by ``load_network``);
    ``options`` go to ``quelmar_cpp.model_package.export_heuristic``. Returns the manifest.
    """
    env = getattr(network, "env", "") if env is None else env
    clone = HeuristicNetwork(**network.shape)
    clone.load_state_dict(network.state_dict())
    # Tracing needs only the input's shape; a batch of 2 keeps the batch dimension dynamic.
    example = torch.zeros(2, network.shape["inputs"])
    return export_heuristic(clone.eval(), example, os.fspath(package_path), env=env,
                            outputs=network.shape["outputs"], **options)
