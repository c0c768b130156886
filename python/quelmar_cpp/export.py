"""Export heuristic networks as AOTInductor packages with their manifests.

``export_heuristic`` (defined in ``quelmar_cpp.model_package``) turns a
``torch.nn.Module`` into a ``.pt2`` package whose batch dimension (dimension 0
of every input) is dynamic, and writes the JSON manifest the solver reads next
to it (the package path with ".json" appended). Both are written under
temporary names in the same folder and renamed into place when complete, so an
export cut short leaves the previous package whole.

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
``puzzle8_q``, ``puzzle15_q``: ``puzzleK_manhattan_q.pt2``, env ``puzzleK``. A
    Q-network: output [batch, 4], column a = 1 + the Manhattan distance of the state
    move a (up, down, left, right: where the blank goes) leads to, the state
    itself for a move off the board. Exact in float32.
``cube3``: ``cube3_misplaced.pt2``, env ``cube3``. Input: one-hot over
    54 stickers x 6 colours, index ``sticker * 6 + colour``; sticker i is
    solved when its colour is ``i // 9``. Output [batch, 1]: the number of
    stickers not showing their solved colour divided by 20. A quarter turn
    moves 20 stickers, so this never exceeds the number of quarter turns
    still needed (admissible, but weak).

Networks of the size researchers train (exported only when named with
``--only``; about 57 MB and 15 s each): a ``ResidualMLP`` (inputs -> 5000 ->
1000 -> four residual blocks of two 1000-wide layers -> 1, 14.3 M
multiply-adds per example for the 15-puzzle) whose value is bit for bit the
exact model's, so a search with it expands the same nodes while paying a real
network's cost:

``puzzle15_resmlp``: ``puzzle15_resmlp.pt2``, env ``puzzle15``, Manhattan distance.
``cube3_resmlp``: ``cube3_resmlp.pt2``, env ``cube3``, misplaced stickers / 20.

Export options. Packages are compiled with Inductor's freezing (weights
become constants, which lets bfloat16 linear layers use oneDNN with prepacked
weights) and with kernels that take their thread count from OpenMP at run
time rather than from the exporting machine. ``--precision bfloat16`` or
``--bf16`` (``precision="bfloat16"``; ``--precision both`` writes both
packages) runs the network in bfloat16 behind float32 inputs and outputs:
2.7x faster here on a CPU with native bfloat16 (AVX512-BF16), but it
changes values, so it is opt-in. ``python3 bench/export_options.py`` measures
each option.
"""
from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Callable, Sequence

import torch
from torch import nn

from .common.errors import UsageError
from .common.files import make_folder
from .model_package import (DEFAULT_INDUCTOR_CONFIGS, PRECISIONS, export_heuristic, in_precision,
                            precision_file_name)
from .train.network import export_network, load_network

__all__ = [
    "DEFAULT_INDUCTOR_CONFIGS",
    "PRECISIONS",
    "ResidualMLP",
    "export_heuristic",
    "in_precision",
    "precision_file_name",
    "manhattan_network",
    "manhattan_q_network",
    "cube3_misplaced_network",
    "REFERENCE_MODELS",
    "LARGE_MODELS",
    "main",
]


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


class _ManhattanQ(nn.Module):
    # Q(s, a) = 1 + Manhattan distance of the child move a leads to: the
    # parent's distance plus the change of the one tile the move slides. A
    # move off the board leaves the state as it is. Integer arithmetic in
    # float32, so every value is exact.
    def __init__(self, n: int):
        super().__init__()
        cells = n * n
        distance = torch.zeros(cells, cells)  # [tile, position]; the blank counts nothing
        for tile in range(1, cells):
            goal_row, goal_col = divmod(tile - 1, n)
            for position in range(cells):
                row, col = divmod(position, n)
                distance[tile, position] = abs(row - goal_row) + abs(col - goal_col)
        # targets[a, b, t] = 1 when move a takes the blank from b to t (moves: up, down, left, right).
        targets = torch.zeros(4, cells, cells)
        for blank in range(cells):
            row, col = divmod(blank, n)
            for move, (ok, step) in enumerate(((row > 0, -n), (row < n - 1, n),
                                               (col > 0, -1), (col < n - 1, 1))):
                if ok:
                    targets[move, blank, blank + step] = 1.0
        self.cells = cells
        self.register_buffer("distance", distance)
        self.register_buffer("targets", targets)

    def forward(self, x):
        tiles = x.view(-1, self.cells, self.cells)              # [batch, tile, position]
        here = (tiles * self.distance).sum(dim=(1, 2))           # the parent's distance
        blank = tiles[:, 0, :]                                   # [batch, position]
        target = torch.einsum("bp,apt->bat", blank, self.targets)  # where the blank goes
        moved = torch.einsum("btp,bap->bat", tiles, target)      # which tile slides, per move
        before = torch.einsum("bat,tp,bap->ba", moved, self.distance, target)
        after = torch.einsum("bat,tp,bp->ba", moved, self.distance, blank)
        return 1.0 + here[:, None] + after - before


def manhattan_q_network(n: int) -> nn.Module:
    """Q-network of an n x n sliding-tile puzzle: 1 + the Manhattan distance of each move's child."""
    if n < 2:
        raise ValueError("sliding-tile puzzles need n >= 2")
    return _ManhattanQ(n).requires_grad_(False)


class _MisplacedStickers(nn.Module):
    # Counts with integer weights (exact in float32 in any summation order),
    # then divides once, so every export of it gives the same float for a count.
    def __init__(self):
        super().__init__()
        weight = torch.ones(1, 54 * 6, dtype=torch.float32)
        for sticker in range(54):
            weight[0, sticker * 6 + sticker // 9] = 0.0
        self.count = nn.Linear(54 * 6, 1, bias=False)
        with torch.no_grad():
            self.count.weight.copy_(weight)
        self.requires_grad_(False)

    def forward(self, x):
        return self.count(x) / 20.0


def cube3_misplaced_network() -> nn.Module:
    """Network giving (stickers off their solved colour) / 20 for the 3x3x3 cube."""
    return _MisplacedStickers()


class ResidualMLP(nn.Module):
    """A heuristic network of the size researchers train, valued as an exact model.

    Body: ``inputs -> first -> hidden -> blocks x (two hidden-wide layers with
    a skip connection) -> 1``, ReLU activations, seeded default initialisation.
    Its output is ``exact(x) * (1 + 2**-30 * sigmoid(body(x)))``: the factor
    rounds to exactly 1 in float32 (and the product to ``exact(x)`` whatever
    way a compiler arranges it, 0 staying 0), so the network returns the
    exact model's values bit for bit while paying the full body's cost. A
    search with it expands exactly the nodes the exact model expands.
    """

    def __init__(self, exact: nn.Module, inputs: int, first: int = 5000, hidden: int = 1000,
                 blocks: int = 4, seed: int = 0):
        super().__init__()
        generator_state = torch.random.get_rng_state()
        torch.manual_seed(seed)
        try:
            self.exact = exact
            self.stem = nn.Sequential(nn.Linear(inputs, first), nn.ReLU(),
                                      nn.Linear(first, hidden), nn.ReLU())
            self.blocks = nn.ModuleList(
                nn.Sequential(nn.Linear(hidden, hidden), nn.ReLU(), nn.Linear(hidden, hidden))
                for _ in range(blocks))
            self.head = nn.Linear(hidden, 1)
        finally:
            torch.random.set_rng_state(generator_state)
        self.requires_grad_(False)

    def body(self, x):
        z = self.stem(x)
        for block in self.blocks:
            z = torch.relu(z + block(z))
        return self.head(z)

    def forward(self, x):
        exact = self.exact(x)
        return exact * (1.0 + 2.0 ** -30 * torch.sigmoid(self.body(x)))

    def layer_shapes(self) -> list[tuple[int, int]]:
        """(in, out) of every layer of the body, in evaluation order."""
        return [(m.in_features, m.out_features)
                for part in (self.stem, self.blocks, self.head)
                for m in part.modules() if isinstance(m, nn.Linear)]


def _random_one_hot(batch: int, slots: int, values: int) -> torch.Tensor:
    # Any valid-looking input works for tracing; the values do not matter.
    idx = torch.randint(0, values, (batch, slots))
    return torch.nn.functional.one_hot(idx, values).to(torch.float32).reshape(batch, -1)


def _puzzle(n: int, q: bool = False) -> Callable[[torch.device], tuple]:
    def build(device):
        cells = n * n
        network = manhattan_q_network(n) if q else manhattan_network(n)
        name = f"puzzle{cells - 1}_manhattan{'_q' if q else ''}.pt2"
        return (network, (_random_one_hot(4, cells, cells),), name, f"puzzle{cells - 1}", ["input"],
                4 if q else 1)
    return build


# name -> builder(device) returning (module, example inputs, file name, env, input names,
# outputs per example)
REFERENCE_MODELS: dict[str, Callable] = {
    "puzzle8": _puzzle(3),
    "puzzle8_q": _puzzle(3, q=True),
    "puzzle15_q": _puzzle(4, q=True),
    "puzzle15": _puzzle(4),
    "puzzle24": _puzzle(5),
    "cube3": lambda device: (cube3_misplaced_network(), (_random_one_hot(4, 54, 6),),
                             "cube3_misplaced.pt2", "cube3", ["input"], 1),
}


def _resmlp(exact: Callable[[], nn.Module], inputs: int, slots: int, values: int,
            file_name: str, env: str) -> Callable[[torch.device], tuple]:
    def build(device):
        return (ResidualMLP(exact(), inputs), (_random_one_hot(4, slots, values),), file_name,
                env, ["input"], 1)
    return build


# Exported only on request: large, and only the benchmarks need them.
LARGE_MODELS: dict[str, Callable] = {
    "puzzle15_resmlp": _resmlp(lambda: manhattan_network(4), 256, 16, 16,
                               "puzzle15_resmlp.pt2", "puzzle15"),
    "cube3_resmlp": _resmlp(cube3_misplaced_network, 324, 54, 6,
                            "cube3_resmlp.pt2", "cube3"),
}


def _precisions(args) -> list[str]:
    if args.bf16:
        return ["bfloat16"]
    return ["float32", "bfloat16"] if args.precision == "both" else [args.precision]


def _export_learned(folders: Sequence[str], out: str, precisions: Sequence[str]) -> int:
    """Exports each folder's trained model.pt as <folder name>.pt2 (and <name>_bf16.pt2 for
    bfloat16); 1 (with a message) on a bad one."""
    for folder in folders:
        start = time.perf_counter()
        name = os.path.basename(os.path.normpath(folder))
        try:
            network = load_network(os.path.join(folder, "model.pt"))
        except (OSError, ValueError) as exc:
            print(f"python3 -m quelmar_cpp.export: {exc}", file=sys.stderr)
            return 1
        for precision in precisions:
            path = os.path.join(out, precision_file_name(name + ".pt2", precision))
            export_network(network, path, precision=precision)
            print(f"exported {name} -> {path} ({time.perf_counter() - start:.1f} s)", flush=True)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python3 -m quelmar_cpp.export",
        description="Export the reference heuristic models and their manifests.")
    parser.add_argument("--out", required=True, help="output folder (created if missing)")
    parser.add_argument("--device", choices=("cpu", "cuda"), default="cpu",
                        help="device the packages are compiled for (default: cpu)")
    parser.add_argument("--only", nargs="+", metavar="NAME",
                        choices=sorted([*REFERENCE_MODELS, *LARGE_MODELS]),
                        help="export only these models (default: every reference model;"
                             f" the large {', '.join(LARGE_MODELS)} only when named)")
    parser.add_argument("--learned", nargs="+", metavar="DIR",
                        help="instead, export the trainer's model.pt in each DIR as "
                             "<DIR's name>.pt2 (e.g. models/cube3_learned)")
    parser.add_argument("--precision", choices=("float32", "bfloat16", "both"), default="float32",
                        help="float32 (default), bfloat16 (the network runs in bfloat16: faster on "
                             "CPUs with native bfloat16, AVX512-BF16 or AMX, many times slower "
                             "elsewhere; changes values; file names get a '_bf16' suffix), or both")
    parser.add_argument("--bf16", action="store_true", help="the same as --precision bfloat16")
    args = parser.parse_args(argv)
    if args.bf16 and args.precision == "both":
        parser.error("--bf16 and --precision both exclude each other")

    if args.device == "cuda" and not torch.cuda.is_available():
        parser.error("--device cuda requested but CUDA is not available to PyTorch")
    device = torch.device(args.device)
    try:
        make_folder(args.out, "--out")
    except UsageError as exc:
        parser.error(str(exc))
    if args.learned:
        if args.only:
            parser.error("--learned and --only exclude each other")
        if args.device != "cpu":
            parser.error("--learned exports for the CPU only")
        return _export_learned(args.learned, args.out, _precisions(args))
    names = args.only or list(REFERENCE_MODELS)
    for name in names:
        start = time.perf_counter()
        builder = REFERENCE_MODELS.get(name) or LARGE_MODELS[name]
        module, inputs, file_name, env, input_names, outputs = builder(device)
        module = module.to(device)
        inputs = tuple(t.to(device) for t in inputs)
        for precision in _precisions(args):
            path = os.path.join(args.out, precision_file_name(file_name, precision))
            export_heuristic(module, inputs, path, env=env, input_names=input_names,
                             precision=precision, outputs=outputs)
            print(f"exported {name} -> {path} ({time.perf_counter() - start:.1f} s)", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
