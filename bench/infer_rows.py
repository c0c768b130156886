"""Network rows scored per second against the rows of one package call, on the CPU.

    ./dev run -- python3 bench/infer_rows.py PACKAGE.pt2 [--rows 49152] [--threads 2]

The CPU runner slices larger batches into calls of at most 4,096 rows; this
shows why: one call over a beam's whole set of children is several times
slower than the same rows in slices of a few thousand.
"""
import argparse
import json
import statistics
import time

import torch


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("package")
    parser.add_argument("--rows", type=int, default=49152)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    with open(args.package + ".json", encoding="utf-8") as f:
        width = json.load(f)["inputs"][0]["numel_per_example"]
    model = torch._inductor.aoti_load_package(args.package)
    x = (torch.rand(args.rows, width) < 0.2).float()

    def score(rows_per_call):
        with torch.inference_mode():
            for first in range(0, args.rows, rows_per_call):
                model(x[first:first + rows_per_call])

    score(1024)
    print(f"{args.rows} rows of {width} inputs, {args.threads} threads")
    print(f"{'rows/call':>10} {'rows/s':>10}")
    for rows_per_call in (args.rows, 16384, 8192, 4096, 2048, 512):
        rates = []
        for _ in range(args.repeats):
            start = time.perf_counter()
            score(rows_per_call)
            rates.append(args.rows / (time.perf_counter() - start))
        print(f"{rows_per_call:>10} {statistics.median(rates):>10,.0f}", flush=True)


if __name__ == "__main__":
    main()
