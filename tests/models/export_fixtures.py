"""Small models for the tests of the native heuristic runner, exported with ``export_heuristic``.

    python3 tests/models/export_fixtures.py --out DIR [--only NAME ...]

The build runs this when tests are built, into ``<build>/models`` beside the
reference models. Env names are the model names; every input is float32 with
4 features unless said otherwise:

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
import os
import sys
import time
from typing import Sequence

import torch
from torch import nn

from quelmar_cpp.export import export_heuristic


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


# name -> (module type, input widths, input names)
FIXTURES = {
    "fixture_two_inputs": (_TwoInputs, (4, 2), ("a", "b")),
    "fixture_three_columns": (_ThreeColumns, (4,), ("x",)),
    "fixture_negative": (_Negative, (4,), ("x",)),
    "fixture_scalar": (_Scalar, (4,), ("x",)),
    "fixture_flat": (_Flat, (4,), ("x",)),
}


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Export the native heuristic runner's test models.")
    parser.add_argument("--out", required=True, help="output folder (created if missing)")
    parser.add_argument("--only", nargs="+", metavar="NAME", choices=sorted(FIXTURES),
                        help="export only these fixtures (default: all)")
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    for name in args.only or FIXTURES:
        start = time.perf_counter()
        module_type, widths, input_names = FIXTURES[name]
        path = os.path.join(args.out, f"{name}.pt2")
        export_heuristic(module_type(), tuple(torch.rand(4, width) for width in widths), path,
                         env=name, input_names=list(input_names))
        print(f"exported {name} -> {path} ({time.perf_counter() - start:.1f} s)", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
