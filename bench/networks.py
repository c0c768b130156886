"""Solver speed with a small and a realistic heuristic network, side by side.

For each network, in one process and on one fixed set of states:

  project   quelmar_cpp.run_weighted_astar
  baseline  a plain-Python batched weighted A* (heapq OPEN, dict CLOSED, NumPy
            expansion, one eager PyTorch call per batch) that follows the same
            rules: same move order, f = weight*g + h rounded to float32, the
            same OPEN tie order, duplicates updated in place, stop before the
            first popped goal. Node counts must match the project's exactly.
  ceiling   a bare LibTorch matrix-product chain of the network's layer shapes,
            run over the batch sizes the search evaluated: what the hardware
            allows for that network.

    ./dev run -- python3 bench/networks.py [--domain puzzle15|cube3] [--bf16] [--json]

The realistic networks (quelmar_cpp.export.LARGE_MODELS) are exported into
--models (default build/bench-models) the first time, and again when the
exporter changes. Both solvers use the same number of threads (--threads,
default: what OpenMP would use, OMP_NUM_THREADS or every CPU).
"""
from __future__ import annotations

import argparse
import heapq
import json
import os
import sys
import time

import numpy as np
import torch

import quelmar_cpp
import quelmar_puzzles
from quelmar_cpp import export

DOMAINS = {
    # name: (small model file, large model name, default depth, default states)
    "puzzle15": ("puzzle15_manhattan.pt2", "puzzle15_resmlp", 40, 3),
    "cube3": ("cube3_misplaced.pt2", "cube3_resmlp", 4, 3),
}


# --- the domains, vectorised with NumPy -------------------------------------

class SlidingTile:
    def __init__(self, side: int):
        cells = side * side
        self.width, self.moves, self.features = cells, 4, cells * cells
        # Same move order as the plug-in: blank up, down, left, right; a move
        # off the board leaves the state unchanged (and is still generated).
        self.targets = np.full((cells, 4), -1, dtype=np.int64)
        for blank in range(cells):
            row, col = divmod(blank, side)
            self.targets[blank] = [blank - side if row > 0 else -1,
                                   blank + side if row < side - 1 else -1,
                                   blank - 1 if col > 0 else -1,
                                   blank + 1 if col < side - 1 else -1]
        self.goal = np.array([*range(1, cells), 0], dtype=np.uint8)
        self.offsets = np.arange(cells) + 0  # position part of the one-hot index

    def expand(self, states: np.ndarray) -> np.ndarray:
        k = len(states)
        rows = np.arange(k)
        blank = np.argmax(states == 0, axis=1)
        children = np.repeat(states[:, None, :], 4, axis=1)
        for move in range(4):
            target = self.targets[blank, move]
            ok = target >= 0
            r, b, t = rows[ok], blank[ok], target[ok]
            children[r, move, b] = states[r, t]
            children[r, move, t] = 0
        return children.reshape(k * 4, self.width)

    def encode(self, states: np.ndarray) -> np.ndarray:
        x = np.zeros((len(states), self.features), dtype=np.float32)
        index = states.astype(np.int64) * self.width + self.offsets
        np.put_along_axis(x, index, 1.0, axis=1)
        return x


class Cube3:
    def __init__(self):
        self.width, self.moves, self.features = 54, 12, 54 * 6
        self.goal = quelmar_puzzles.goal_state("cube3")
        self.perms = self._move_permutations()
        self.offsets = np.arange(54) * 6

    @staticmethod
    def _move_permutations() -> np.ndarray:
        # The plug-in's moves are sticker permutations (child[i] = parent[p[i]]);
        # recover p from the plug-in's own move application on random states.
        states = [quelmar_puzzles.scramble("cube3", 30, seed=s) for s in range(40)]
        perms = np.zeros((12, 54), dtype=np.int64)
        for move in range(12):
            after = np.array([quelmar_puzzles.apply_moves("cube3", s, [move]) for s in states])
            before = np.array(states)
            for i in range(54):
                candidates = np.flatnonzero((before == after[:, i:i + 1]).all(axis=0))
                if len(candidates) != 1:
                    raise RuntimeError("could not recover the cube3 move permutation")
                perms[move, i] = candidates[0]
        return perms

    def expand(self, states: np.ndarray) -> np.ndarray:
        return states[:, self.perms].reshape(len(states) * 12, 54)

    def encode(self, states: np.ndarray) -> np.ndarray:
        x = np.zeros((len(states), self.features), dtype=np.float32)
        np.put_along_axis(x, self.offsets + states.astype(np.int64), 1.0, axis=1)
        return x


# --- the plain-Python baseline ----------------------------------------------

class _Entry:
    # OPEN compares keys only, like the project's heap, so equal keys come out
    # in the same order (heapq and std::push_heap/pop_heap sift alike).
    __slots__ = ("key", "node")

    def __init__(self, key, node):
        self.key, self.node = key, node

    def __lt__(self, other):
        return self.key < other.key


def python_weighted_astar(domain, network, state, weight: float, batch: int):
    """Returns (moves, nodes generated, seconds, network seconds, batch sizes)."""
    w = float(np.float32(weight))
    width = domain.width
    start_time = time.perf_counter()
    network_seconds = 0.0
    batch_sizes = []

    def heuristic(states):
        nonlocal network_seconds
        x = torch.from_numpy(domain.encode(states))
        t = time.perf_counter()
        with torch.inference_mode():
            out = network(x)
        network_seconds += time.perf_counter() - t
        batch_sizes.append(len(states))
        return out.reshape(len(states), -1)[:, 0].numpy().astype(np.float64)

    def is_goal(states):
        return (states == domain.goal).all(axis=1)

    state = np.asarray(state, dtype=np.uint8)
    # Nodes as parallel lists: state bytes, depth, parent, move, open cost.
    n_state, n_depth, n_parent, n_move, n_cost = [state.tobytes()], [0], [-1], [-1], [0.0]
    h0 = heuristic(state[None, :])[0]
    n_cost[0] = 0.0 if is_goal(state[None, :])[0] else float(np.float32(h0))
    closed = {n_state[0]: 0}
    open_list = [_Entry(n_cost[0], 0)]
    goal = 0 if is_goal(state[None, :])[0] else None
    generated = 0

    while goal is None and open_list:
        k = min(batch, len(open_list))
        popped = [heapq.heappop(open_list).node for _ in range(k)]
        flags = is_goal(np.frombuffer(b"".join(n_state[i] for i in popped), dtype=np.uint8)
                        .reshape(k, width))
        if flags.any():
            first = int(np.argmax(flags))
            for i in np.flatnonzero(flags):
                node = popped[i]
                if goal is None or n_cost[node] < n_cost[goal]:
                    goal = node
            popped = popped[:first]  # stop before the first goal of the batch
            if not popped:
                break
        parents = np.frombuffer(b"".join(n_state[i] for i in popped), dtype=np.uint8)
        children = domain.expand(parents.reshape(len(popped), width))
        child_goal = is_goal(children)
        buffer = children.tobytes()
        # Child depths are fixed at expansion: a parent updated in place later
        # in this same batch keeps the depth it was expanded at.
        child_depths = [n_depth[p] + 1 for p in popped]
        accepted, accepted_rows = [], []
        for j in range(len(children)):
            parent = popped[j // domain.moves]
            key = buffer[j * width:(j + 1) * width]
            depth = child_depths[j // domain.moves]
            existing = closed.get(key)
            if existing is not None:
                if depth >= n_depth[existing]:
                    continue
                n_depth[existing], n_parent[existing], n_move[existing] = (
                    depth, parent, j % domain.moves)
                accepted.append(existing)
            else:
                node = len(n_state)
                n_state.append(key), n_depth.append(depth), n_parent.append(parent)
                n_move.append(j % domain.moves), n_cost.append(0.0)
                closed[key] = node
                accepted.append(node)
            accepted_rows.append(j)
        if accepted:
            h = heuristic(children[accepted_rows])
            h[child_goal[accepted_rows]] = 0.0
            g = np.array([n_depth[a] for a in accepted], dtype=np.float64)
            costs = (w * g + h).astype(np.float32).tolist()
            for node, cost in zip(accepted, costs):
                n_cost[node] = cost
                heapq.heappush(open_list, _Entry(cost, node))
        generated += len(children)
        if flags.any():
            break
    seconds = time.perf_counter() - start_time
    moves = []
    node = goal
    while node is not None and node > 0:
        moves.append(n_move[node])
        node = n_parent[node]
    return moves[::-1], generated, seconds, network_seconds, batch_sizes


# --- the ceiling: a bare matrix-product chain --------------------------------

def layer_shapes(network, features: int):
    if isinstance(network, export.ResidualMLP):
        return network.layer_shapes()
    return [(features, 1)]  # the exact models are one product with the inputs


def matmul_chain_seconds(shapes, batch_sizes, dtype=torch.float32, repeats=1):
    """Best of `repeats` runs of the chain over every evaluated batch size.

    Weights are stored (out, in) and used transposed, as nn.Linear does, and
    every product writes into a preallocated buffer: fresh 100 MB outputs
    would measure the allocator's page faults, not the hardware.
    """
    weights = [torch.randn(o, i, dtype=dtype).t() for i, o in shapes]
    largest = max(batch_sizes)
    x_full = torch.randn(largest, shapes[0][0], dtype=dtype)
    outs = [torch.empty(largest, o, dtype=dtype) for _, o in shapes]

    def chain(b):
        z = x_full[:b]
        for w, out in zip(weights, outs):
            z = torch.mm(z, w, out=out[:b])

    best = float("inf")
    with torch.inference_mode():
        chain(largest)  # warm-up: first touch of every buffer
        for _ in range(repeats):
            t = time.perf_counter()
            for b in batch_sizes:
                chain(b)
            best = min(best, time.perf_counter() - t)
    return best


# --- driver -----------------------------------------------------------------

def ensure_large_model(name: str, large, models_dir: str, precision: str) -> str:
    """Path of the exported `large` model in `precision`, exported if stale."""
    module, inputs, file_name, env, input_names = large
    path = os.path.join(models_dir, export.precision_file_name(file_name, precision))
    stale = (not os.path.exists(path + ".json")
             or os.path.getmtime(path + ".json") < os.path.getmtime(export.__file__))
    if stale:
        os.makedirs(models_dir, exist_ok=True)
        print(f"exporting {name} ({precision}) into {models_dir} ...", file=sys.stderr, flush=True)
        export.export_heuristic(module, inputs, path, env=env, input_names=input_names,
                                precision=precision)
    return path


def run_network(label, domain_name, domain, package, network, states, args, dtype):
    network = network.eval()
    # Warm-up: loads the package and LibTorch's kernels in both solvers.
    quelmar_cpp.run_weighted_astar(states[0], domain_name, package, args.weight, args.batch, "cpu")
    python_weighted_astar(domain, network, states[0], args.weight, min(args.batch, 8))

    project = {"nodes": 0, "seconds": 0.0, "network_seconds": 0.0}
    baseline = {"nodes": 0, "seconds": 0.0, "network_seconds": 0.0}
    all_batches, mismatches = [], []
    for index, state in enumerate(states):
        r = quelmar_cpp.run_weighted_astar(state, domain_name, package, args.weight, args.batch,
                                           "cpu", operation_breakdown=True)
        if not r["solved"]:
            raise SystemExit(f"{label}: state {index} not solved by the project")
        project["nodes"] += r["nodes_generated"]
        project["seconds"] += r["solve_time"]
        project["network_seconds"] += r["operation_timings"]["heuristic"]["core_seconds"]
        moves, nodes, seconds, net_seconds, batches = python_weighted_astar(
            domain, network, state, args.weight, args.batch)
        baseline["nodes"] += nodes
        baseline["seconds"] += seconds
        baseline["network_seconds"] += net_seconds
        all_batches += batches
        if nodes != r["nodes_generated"] or len(moves) != len(r["moves"]):
            mismatches.append({"state": index, "project_nodes": r["nodes_generated"],
                               "baseline_nodes": nodes, "project_length": len(r["moves"]),
                               "baseline_length": len(moves)})
    shapes = layer_shapes(network.module if hasattr(network, "module") else network,
                          domain.features)
    ceiling = matmul_chain_seconds(shapes, all_batches, dtype)
    for row in (project, baseline):
        row["nodes_per_second"] = row["nodes"] / row["seconds"]
        row["network_share"] = row["network_seconds"] / row["seconds"]
        row["network_vs_ceiling"] = ceiling / row["network_seconds"]
    return {
        "network": label, "package": package, "examples_evaluated": sum(all_batches),
        "multiply_adds_per_example": sum(i * o for i, o in shapes),
        "project": project, "baseline": baseline, "ceiling_seconds": ceiling,
        "project_over_baseline": project["nodes_per_second"] / baseline["nodes_per_second"],
        "node_counts_match": not mismatches, "mismatches": mismatches,
    }


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--domain", choices=sorted(DOMAINS), default="puzzle15")
    parser.add_argument("--states", type=int, help="number of fixed states (seeds 1..N)")
    parser.add_argument("--depth", type=int, help="scramble depth of the states")
    parser.add_argument("--batch", type=int, default=1000)
    parser.add_argument("--weight", type=float, default=1.0)
    parser.add_argument("--threads", type=int, default=None)
    parser.add_argument("--models", default=os.path.join("build", "bench-models"))
    parser.add_argument("--small-models", default=os.path.join("build", "models"))
    parser.add_argument("--bf16", action="store_true", help="add the realistic network in bfloat16")
    parser.add_argument("--only-realistic", action="store_true")
    parser.add_argument("--json", action="store_true", help="print one JSON document")
    args = parser.parse_args(argv)

    small_file, large_name, depth, count = DOMAINS[args.domain]
    depth = args.depth or depth
    count = args.states or count
    threads = args.threads or int(os.environ.get("OMP_NUM_THREADS", "0") or 0) or os.cpu_count()
    os.environ["OMP_NUM_THREADS"] = str(threads)  # the project's default, before it loads
    torch.set_num_threads(threads)
    quelmar_puzzles.register()
    domain = SlidingTile(4) if args.domain == "puzzle15" else Cube3()
    states = [quelmar_puzzles.scramble(args.domain, depth, seed=s) for s in range(1, count + 1)]

    exact = export.manhattan_network(4) if args.domain == "puzzle15" \
        else export.cube3_misplaced_network()
    large = export.LARGE_MODELS[large_name](torch.device("cpu"))
    runs = []
    if not args.only_realistic:
        runs.append(("small", os.path.join(args.small_models, small_file), exact, torch.float32))
    for label, precision in [("realistic", "float32")] + [("realistic-bf16", "bfloat16")] * args.bf16:
        runs.append((label, ensure_large_model(large_name, large, args.models, precision),
                     export.in_precision(large[0], precision), export.PRECISIONS[precision]))
    results = [run_network(label, args.domain, domain, package, network, states, args, dtype)
               for label, package, network, dtype in runs]
    report = {"domain": args.domain, "states": count, "depth": depth, "batch": args.batch,
              "weight": args.weight, "threads": threads, "results": results}
    if args.json:
        print(json.dumps(report, indent=2))
    else:
        print(f"{args.domain}: {count} states scrambled {depth} moves, batch {args.batch}, "
              f"weight {args.weight}, {threads} threads")
        header = (f"{'network':<15} {'solver':<9} {'nodes':>9} {'seconds':>8} {'nodes/s':>10} "
                  f"{'in network':>10} {'net/ceiling':>11}")
        print(header)
        print("-" * len(header))
        for r in results:
            for solver in ("project", "baseline"):
                row = r[solver]
                print(f"{r['network']:<15} {solver:<9} {row['nodes']:>9} {row['seconds']:>8.3f} "
                      f"{row['nodes_per_second']:>10.0f} {row['network_share']:>10.1%} "
                      f"{row['network_vs_ceiling']:>11.1%}")
            print(f"{r['network']:<15} {'ceiling':<9} {'':>9} {r['ceiling_seconds']:>8.3f}   "
                  f"project/baseline {r['project_over_baseline']:.2f}x, "
                  f"node counts {'match' if r['node_counts_match'] else 'DIFFER'}")
    fp32_mismatch = any(not r["node_counts_match"] for r in results
                        if not r["network"].endswith("bf16"))
    return 1 if fp32_mismatch else 0


if __name__ == "__main__":
    sys.exit(main())
