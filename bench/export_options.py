"""What the exporter's Inductor options buy for a realistic heuristic network.

Exports the realistic residual MLP once per option set, then times one
forward pass of each package in interleaved rounds (this machine's speed
drifts; interleaving spreads the drift over every option alike) and prints
compile time, the best and median rate at two batch sizes, and whether the
package returns the exact model's values bit for bit.

    ./dev run -- python3 bench/export_options.py [--domain puzzle15|cube3] [--rounds 7]
        [--only NAME ...] [--json]

The exporter's defaults (quelmar_cpp.export.DEFAULT_INDUCTOR_CONFIGS) are the
fastest choice here that keeps the reference networks exact; bfloat16 is an
opt-in because it changes values.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import tempfile
import time

import torch

from quelmar_cpp import export

AUTOTUNE = {"max_autotune": True, "max_autotune_gemm_backends": "CPP,ATEN"}
OPTIONS = {
    # name: (precision, inductor configs)
    "plain": ("float32", {}),
    "freezing (default)": ("float32", {"freezing": True}),
    "freezing, no prepack": ("float32", {"freezing": True, "cpp.weight_prepack": False}),
    "freezing + max-autotune": ("float32", {"freezing": True, **AUTOTUNE}),
    "bf16 plain": ("bfloat16", {}),
    "bf16 freezing (--bf16)": ("bfloat16", {"freezing": True}),
    "bf16 freezing + max-autotune": ("bfloat16", {"freezing": True, **AUTOTUNE}),
}


def allow_autotune_without_cache_sizes():
    # Some virtual machines report no cache sizes, and Inductor's CPU GEMM
    # template then refuses to run; typical sizes are enough for tiling.
    caps = torch.cpu.get_capabilities()
    if caps.get("l1d_cache_size", 0) <= 0:
        caps = dict(caps, l1d_cache_size=48 * 1024, l2_cache_size=2 * 1024 * 1024)
        torch.cpu.get_capabilities = lambda: caps


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--domain", choices=("puzzle15", "cube3"), default="puzzle15")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--batches", type=int, nargs="+", default=[300, 2700])
    parser.add_argument("--only", nargs="+", choices=sorted(OPTIONS), metavar="NAME")
    parser.add_argument("--threads", type=int, default=None)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args(argv)
    threads = args.threads or int(os.environ.get("OMP_NUM_THREADS", "0") or 0) or os.cpu_count()
    torch.set_num_threads(threads)
    allow_autotune_without_cache_sizes()

    module, example, _, env, names = export.LARGE_MODELS[f"{args.domain}_resmlp"](
        torch.device("cpu"))
    module = module.eval()
    x = export._random_one_hot(max(args.batches), *((16, 16) if args.domain == "puzzle15"
                                                    else (54, 6)))
    with torch.inference_mode():
        exact = module.exact(x)
    multiply_adds = sum(i * o for i, o in module.layer_shapes())

    packages = {}
    with tempfile.TemporaryDirectory() as folder:
        for name in args.only or OPTIONS:
            precision, configs = OPTIONS[name]
            path = os.path.join(folder, f"{len(packages)}.pt2")
            start = time.perf_counter()
            export.export_heuristic(module, example, path, env=env, input_names=names,
                                    precision=precision,
                                    inductor_configs={**configs, "cpp.dynamic_threads": True})
            compile_seconds = time.perf_counter() - start
            model = torch._inductor.aoti_load_package(path)
            with torch.inference_mode():
                out = model(x)
            packages[name] = {"model": model, "compile_seconds": compile_seconds,
                              "exact": bool(torch.equal(out, exact)),
                              "times": {b: [] for b in args.batches}}
            print(f"exported {name} in {compile_seconds:.1f} s", file=sys.stderr, flush=True)

        with torch.inference_mode():
            for _ in range(args.rounds):
                for row in packages.values():
                    for b in args.batches:
                        xb = x[:b]
                        row["model"](xb)  # settle caches and the thread team
                        start = time.perf_counter()
                        row["model"](xb)
                        row["times"][b].append(time.perf_counter() - start)

    report = {"domain": args.domain, "threads": threads, "multiply_adds_per_example":
              multiply_adds, "rounds": args.rounds, "options": []}
    for name, row in packages.items():
        rates = {b: {"best_gflops": 2 * b * multiply_adds / min(t) / 1e9,
                     "median_gflops": 2 * b * multiply_adds / statistics.median(t) / 1e9}
                 for b, t in row["times"].items()}
        report["options"].append({"name": name, "precision": OPTIONS[name][0],
                                  "inductor_configs": OPTIONS[name][1],
                                  "compile_seconds": row["compile_seconds"],
                                  "exact": row["exact"], "rates": rates})
    if args.json:
        print(json.dumps(report, indent=2))
        return 0
    print(f"{args.domain} residual MLP, {multiply_adds / 1e6:.1f} M multiply-adds per state, "
          f"{threads} threads, {args.rounds} interleaved rounds; GFLOP/s best/median")
    header = f"{'option':<30} {'compile s':>9} " + " ".join(
        f"{'batch ' + str(b):>15}" for b in args.batches) + "  exact"
    print(header)
    print("-" * len(header))
    for row in report["options"]:
        cells = " ".join(f"{r['best_gflops']:>7.0f}/{r['median_gflops']:<7.0f}"
                         for r in row["rates"].values())
        print(f"{row['name']:<30} {row['compile_seconds']:>9.1f} {cells}  {row['exact']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
