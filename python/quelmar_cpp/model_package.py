"""Writing AOTInductor model packages with the JSON manifests the solvers read.

``export_heuristic`` turns a ``torch.nn.Module`` into a ``.pt2`` package whose
batch dimension (dimension 0 of every input) is dynamic, and writes the
manifest next to it (the package path with ".json" appended). Both are
written under temporary names in the same folder and renamed into place when
complete, so an export cut short leaves the previous package whole.

It imports nothing of the trainer, which exports its networks through it
(``quelmar_cpp.train.export_network``); ``quelmar_cpp.export`` builds the
reference models with it.
"""
from __future__ import annotations

import copy
import json
import math
import os
from typing import Sequence

import torch
from torch import nn

from .common.files import not_regular, replacing

__all__ = ["DEFAULT_INDUCTOR_CONFIGS", "PRECISIONS", "export_heuristic", "in_precision", "precision_file_name"]


def _manifest_for(example_inputs: Sequence[torch.Tensor], env: str,
                  input_names: Sequence[str], outputs: int = 1, precision: str = "float32") -> dict:
    inputs = []
    for name, tensor in zip(input_names, example_inputs):
        per_example = list(tensor.shape[1:])
        inputs.append({
            "name": name,
            "numel_per_example": math.prod(per_example),
            "shape": ["batch", *per_example],
            "dtype": "float32",
        })
    # "precision" is for people and for the solvers' warning about bfloat16 on CPUs that
    # emulate it; the inputs and outputs stay float32 either way.
    return {"env": env, "output_elements_per_example": outputs, "inputs": inputs,
            "precision": precision}


# Inductor settings of every export unless the caller passes its own; chosen
# by bench/export_options.py (freezing: equal speed in float32, compiles
# faster, and is what lets bfloat16 use oneDNN's prepacked linear layers).
DEFAULT_INDUCTOR_CONFIGS: dict = {"freezing": True, "cpp.dynamic_threads": True}
PRECISIONS = {"float32": torch.float32, "bfloat16": torch.bfloat16}


class _InPrecision(nn.Module):
    # Runs a copy of `module` in `dtype` behind float32 inputs and a float32
    # output, so the manifest and the solvers see the same interface in every
    # precision; the caller's module stays as it is.
    def __init__(self, module: nn.Module, dtype: torch.dtype):
        super().__init__()
        self.dtype = dtype
        self.module = copy.deepcopy(module).to(dtype)

    def forward(self, *inputs):
        return self.module(*(x.to(self.dtype) for x in inputs)).to(torch.float32)


def in_precision(module: nn.Module, precision: str) -> nn.Module:
    """``module`` as ``export_heuristic(..., precision=precision)`` runs it (a copy for bfloat16)."""
    if precision not in PRECISIONS:
        raise ValueError(f"precision must be one of {tuple(PRECISIONS)}, got {precision!r}")
    return module if precision == "float32" else _InPrecision(module, PRECISIONS[precision])


def precision_file_name(file_name: str, precision: str) -> str:
    """The package file name for ``precision``: ``x.pt2`` or ``x_bf16.pt2``."""
    return file_name if precision == "float32" else file_name[:-len(".pt2")] + "_bf16.pt2"


def export_heuristic(module: nn.Module, example_inputs, package_path: str,
                     env: str = "", input_names: Sequence[str] | None = None, *,
                     precision: str = "float32", inductor_configs: dict | None = None,
                     outputs: int = 1) -> dict:
    """Export ``module`` to ``package_path`` (a ``.pt2`` file) plus its manifest.

    ``example_inputs`` is one tensor or a sequence of tensors, passed to the
    module positionally in this order; each must be float32 with the batch
    first and a batch of at least 2 (a batch of 1 would be specialised by
    the exporter). Dimension 0 of every input becomes one shared dynamic
    dimension; the other dimensions are fixed. A value network (``outputs``
    1) returns one heuristic value per example ([batch] or [batch, k], column
    0 is used); a Q-network returns [batch, outputs], one value per move of
    its environment, which the manifest records (ValueError for another shape).

    The manifest goes to ``package_path + ".json"``; ``input_names`` defaults
    to "input" for a single input and "input0", "input1", ... otherwise.
    ``precision`` "bfloat16" runs the network in bfloat16 (inputs and output
    stay float32; values change). ``inductor_configs`` replaces
    ``DEFAULT_INDUCTOR_CONFIGS``. Returns the manifest as a dict.
    """
    if precision not in PRECISIONS:
        raise ValueError(f"precision must be one of {tuple(PRECISIONS)}, got {precision!r}")
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
    if isinstance(outputs, bool) or not isinstance(outputs, int) or outputs < 1:
        raise ValueError(f"outputs must be a positive integer, got {outputs!r}")
    if outputs > 1:
        with torch.no_grad():
            shape = list(module.eval()(*example_inputs).shape)
        if shape != [int(example_inputs[0].shape[0]), outputs]:
            raise ValueError(f"a Q-network with {outputs} outputs must return [batch, {outputs}], "
                             f"got {shape}")
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

    manifest_path = package_path + ".json"
    for path in (package_path, manifest_path):
        if not_regular(path):
            raise ValueError(f"{path} exists and is not a regular file; it is not replaced")

    batch = torch.export.Dim("batch", min=1)
    dynamic_shapes = tuple({0: batch} for _ in example_inputs)
    module = in_precision(module.eval(), precision).eval()
    if precision != "float32":
        # The wrapper takes *inputs: the exporter sees one tuple argument.
        dynamic_shapes = (dynamic_shapes,)
    configs = dict(DEFAULT_INDUCTOR_CONFIGS if inductor_configs is None else inductor_configs)
    manifest = _manifest_for(example_inputs, env, input_names, outputs, precision)
    # Both files are written under temporary names beside their final ones and renamed into
    # place once complete: an export that is killed or fails leaves the previous package whole.
    # The compiler wants its package's name to end in .pt2.
    with replacing([package_path, manifest_path], keep_suffixes=[".pt2"]) as (tmp_package, tmp_manifest):
        with torch.no_grad():
            program = torch.export.export(module, example_inputs, dynamic_shapes=dynamic_shapes)
            torch._inductor.aoti_compile_and_package(program, package_path=tmp_package,
                                                     inductor_configs=configs)
        with open(tmp_manifest, "w", encoding="utf-8") as f:
            json.dump(manifest, f, indent=2)
            f.write("\n")
    return manifest
