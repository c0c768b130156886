"""Export heuristic networks as AOTInductor packages with their manifests.

``export_heuristic`` turns a ``torch.nn.Module`` into a ``.pt2`` package whose
batch dimension (dimension 0 of every input) is dynamic, and writes the JSON
manifest the solver reads next to it (the package path with ".json" appended).

Run as a program, it builds the reference models::

    python3 -m quelmar_cpp.export --out DIR [--device cpu|cuda] [--only NAME ...]

Reference models (name: file, manifest env, what it computes):

``puzzle8``, ``puzzle15``, ``puzzle24``: ``puzzleK_manhattan.pt2``, env
    ``puzzleK``. The sum of the Manhattan distances of the tiles of an N x N
    sliding-tile puzzle (N = 3, 4, 5), an admissible estimate of the number of
    moves. Input: one float per (tile, position) pair, one-hot, index
    ``tile * N*N + position`` (positions row-major, tile 0 is the blank and
    counts nothing). Tile t >= 1 belongs at position t - 1, the blank at the
    last position. One bias-free linear layer with integer weights, so the
    result is exact in float32. Output [batch, 1].
``cube3``: ``cube3_misplaced.pt2``, env ``cube3``. Input: one-hot over
    54 stickers x 6 colours, index ``sticker * 6 + colour``; sticker i is
    solved when its colour is ``i // 9``. Output [batch, 1]: the number of
    stickers not showing their solved colour divided by 20. A quarter turn
    moves 20 stickers, so this never exceeds the number of quarter turns
    still needed (admissible, but weak).

Small fixtures for the tests of the native heuristic runner (env names
``fixture_*``; every input is float32 with 4 features unless said otherwise):

``fixture_two_inputs``: inputs ``a`` [batch, 4] and ``b`` [batch, 2];
    output [batch, 1] = a . (1, 2, 3, 4) + b . (10, 20).
``fixture_three_columns``: output [batch, 3], columns
    x . (1, 2, 3, 4), 100 + x . (1, 2, 3, 4) and -7.
``fixture_negative``: output [batch, 1] = -0.5 - sum(x).
``fixture_scalar``: output of zero dimensions, the sum over the whole batch.
``fixture_flat``: output [batch] (one dimension) = x . (1, 2, 3, 4).
"""
from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from typing import Callable, Sequence

import torch
from torch import nn

__all__ = [
    "export_heuristic",
    "manhattan_network",
    "cube3_misplaced_network",
    "REFERENCE_MODELS",
    "main",
]


def _manifest_for(example_inputs: Sequence[torch.Tensor], env: str,
                  input_names: Sequence[str]) -> dict:
    inputs = []
    for name, tensor in zip(input_names, example_inputs):
        per_example = list(tensor.shape[1:])
        inputs.append({
            "name": name,
            "numel_per_example": math.prod(per_example),
            "shape": ["batch", *per_example],
            "dtype": "float32",
        })
    return {"env": env, "output_elements_per_example": 1, "inputs": inputs}


def export_heuristic(module: nn.Module, example_inputs, package_path: str,
                     env: str = "", input_names: Sequence[str] | None = None) -> dict:
    """Export ``module`` to ``package_path`` (a ``.pt2`` file) plus its manifest.

    ``example_inputs`` is one tensor or a sequence of tensors, passed to the
    module positionally in this order; each must be float32 with the batch
    first and a batch of at least 2 (a batch of 1 would be specialised by
    the exporter). Dimension 0 of every input becomes one shared dynamic
    dimension; the other dimensions are fixed. The network must return one
    heuristic value per example ([batch] or [batch, k], column 0 is used).

    The manifest goes to ``package_path + ".json"``; ``input_names`` defaults
    to "input" for a single input and "input0", "input1", ... otherwise.
    Returns the manifest as a dict.
    """
    if isinstance(example_inputs, torch.Tensor):
        example_inputs = (example_inputs,)
    example_inputs = tuple(example_inputs)
    if not example_inputs:
        raise ValueError("export_heuristic needs at least one example input")
    for i, tensor in enumerate(example_inputs):
        if not isinstance(tensor, torch.Tensor):
            raise TypeError(f"example input {i} is not a tensor")
        if tensor.dtype != torch.float32:
            raise ValueError(f"example input {i} must be float32, got {tensor.dtype}")
        if tensor.dim() < 1 or tensor.shape[0] < 2:
            raise ValueError(f"example input {i} must have a batch dimension of at least 2, "
                             f"got shape {list(tensor.shape)}")
    if len({int(t.shape[0]) for t in example_inputs}) != 1:
        raise ValueError("all example inputs must have the same batch size")
    if input_names is None:
        input_names = (["input"] if len(example_inputs) == 1
                       else [f"input{i}" for i in range(len(example_inputs))])
    input_names = list(input_names)
    if len(input_names) != len(example_inputs):
        raise ValueError(f"{len(input_names)} input names given for "
                         f"{len(example_inputs)} example inputs")
    if not str(package_path).endswith(".pt2"):
        raise ValueError(f"package path must end with '.pt2': {package_path}")
    package_path = os.fspath(package_path)

    batch = torch.export.Dim("batch", min=1)
    dynamic_shapes = tuple({0: batch} for _ in example_inputs)
    module = module.eval()
    with torch.no_grad():
        program = torch.export.export(module, example_inputs, dynamic_shapes=dynamic_shapes)
        torch._inductor.aoti_compile_and_package(program, package_path=package_path)

    manifest = _manifest_for(example_inputs, env, input_names)
    # Write beside and rename, so a reader never sees half a manifest.
    manifest_path = package_path + ".json"
    tmp_path = manifest_path + ".tmp"
    with open(tmp_path, "w", encoding="utf-8") as f:
        json.dump(manifest, f, indent=2)
        f.write("\n")
    os.replace(tmp_path, manifest_path)
    return manifest


def manhattan_network(n: int) -> nn.Module:
    """Linear network giving the Manhattan distance sum of an n x n sliding-tile state."""
    if n < 2:
        raise ValueError("sliding-tile puzzles need n >= 2")
    cells = n * n
    weight = torch.zeros(1, cells * cells, dtype=torch.float32)
    for tile in range(1, cells):
        goal_row, goal_col = divmod(tile - 1, n)
        for position in range(cells):
            row, col = divmod(position, n)
            weight[0, tile * cells + position] = abs(row - goal_row) + abs(col - goal_col)
    layer = nn.Linear(cells * cells, 1, bias=False)
    with torch.no_grad():
        layer.weight.copy_(weight)
    layer.requires_grad_(False)
    return layer


def cube3_misplaced_network() -> nn.Module:
    """Linear network giving (stickers off their solved colour) / 20 for the 3x3x3 cube."""
    weight = torch.full((1, 54 * 6), 1.0 / 20.0, dtype=torch.float32)
    for sticker in range(54):
        weight[0, sticker * 6 + sticker // 9] = 0.0
    layer = nn.Linear(54 * 6, 1, bias=False)
    with torch.no_grad():
        layer.weight.copy_(weight)
    layer.requires_grad_(False)
    return layer


def _random_one_hot(batch: int, slots: int, values: int) -> torch.Tensor:
    # Any valid-looking input works for tracing; the values do not matter.
    idx = torch.randint(0, values, (batch, slots))
    return torch.nn.functional.one_hot(idx, values).to(torch.float32).reshape(batch, -1)


class _TwoInputs(nn.Module):
    def __init__(self):
        super().__init__()
        self.register_buffer("w1", torch.tensor([1.0, 2.0, 3.0, 4.0]))
        self.register_buffer("w2", torch.tensor([10.0, 20.0]))

    def forward(self, a, b):
        return ((a * self.w1).sum(dim=1) + (b * self.w2).sum(dim=1)).unsqueeze(1)


class _ThreeColumns(nn.Module):
    def __init__(self):
        super().__init__()
        self.register_buffer("w", torch.tensor([1.0, 2.0, 3.0, 4.0]))

    def forward(self, x):
        first = (x * self.w).sum(dim=1)
        return torch.stack([first, first + 100.0, torch.full_like(first, -7.0)], dim=1)


class _Negative(nn.Module):
    def forward(self, x):
        return -0.5 - x.sum(dim=1, keepdim=True)


class _Scalar(nn.Module):
    def forward(self, x):
        return x.sum()


class _Flat(nn.Module):
    def __init__(self):
        super().__init__()
        self.register_buffer("w", torch.tensor([1.0, 2.0, 3.0, 4.0]))

    def forward(self, x):
        return (x * self.w).sum(dim=1)


def _puzzle(n: int) -> Callable[[torch.device], tuple]:
    def build(device):
        cells = n * n
        return (manhattan_network(n), (_random_one_hot(4, cells, cells),),
                f"puzzle{cells - 1}_manhattan.pt2", f"puzzle{cells - 1}", ["input"])
    return build


def _fixture(name: str, module_type, input_widths: Sequence[int], input_names: Sequence[str]):
    def build(device):
        inputs = tuple(torch.rand(4, width) for width in input_widths)
        return module_type(), inputs, f"{name}.pt2", name, list(input_names)
    return build


# name -> builder(device) returning (module, example inputs, file name, env, input names)
REFERENCE_MODELS: dict[str, Callable] = {
    "puzzle8": _puzzle(3),
    "puzzle15": _puzzle(4),
    "puzzle24": _puzzle(5),
    "cube3": lambda device: (cube3_misplaced_network(), (_random_one_hot(4, 54, 6),),
                             "cube3_misplaced.pt2", "cube3", ["input"]),
    "fixture_two_inputs": _fixture("fixture_two_inputs", _TwoInputs, (4, 2), ("a", "b")),
    "fixture_three_columns": _fixture("fixture_three_columns", _ThreeColumns, (4,), ("x",)),
    "fixture_negative": _fixture("fixture_negative", _Negative, (4,), ("x",)),
    "fixture_scalar": _fixture("fixture_scalar", _Scalar, (4,), ("x",)),
    "fixture_flat": _fixture("fixture_flat", _Flat, (4,), ("x",)),
}


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python3 -m quelmar_cpp.export",
        description="Export the reference heuristic models and their manifests.")
    parser.add_argument("--out", required=True, help="output folder (created if missing)")
    parser.add_argument("--device", choices=("cpu", "cuda"), default="cpu",
                        help="device the packages are compiled for (default: cpu)")
    parser.add_argument("--only", nargs="+", metavar="NAME", choices=sorted(REFERENCE_MODELS),
                        help="export only these models (default: all)")
    args = parser.parse_args(argv)

    if args.device == "cuda" and not torch.cuda.is_available():
        parser.error("--device cuda requested but CUDA is not available to PyTorch")
    device = torch.device(args.device)
    os.makedirs(args.out, exist_ok=True)
    names = args.only or list(REFERENCE_MODELS)
    for name in names:
        start = time.perf_counter()
        module, inputs, file_name, env, input_names = REFERENCE_MODELS[name](device)
        module = module.to(device)
        inputs = tuple(t.to(device) for t in inputs)
        path = os.path.join(args.out, file_name)
        export_heuristic(module, inputs, path, env=env, input_names=input_names)
        print(f"exported {name} -> {path} ({time.perf_counter() - start:.1f} s)", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
