"""Long runs: memory maps, resident memory and temporary files over many solves.

Solves a fixed pool of 8-puzzle states over and over, first on one thread,
then on many threads at once, and prints the process's memory maps, resident
set size and the bytes under the temporary folder at checkpoints. A run that
holds memory flat shows the same figures from the first checkpoint to the
last; every solve must also return the moves and node count the first solve
of its state returned.

    ./dev run -- python3 bench/stress.py [--solves 20000] [--threads 16] [--per-thread 1000]
        [--json]
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
import threading
import time

import numpy as np

import quelmar_cpp
import quelmar_puzzles

MODELS = os.path.join(os.environ.get("QUELMAR_BUILD_DIR", "build"), "models")


def figures() -> dict:
    with open("/proc/self/maps") as f:
        maps = sum(1 for _ in f)
    with open("/proc/self/status") as f:
        rss_kib = next(int(line.split()[1]) for line in f if line.startswith("VmRSS"))
    temp_bytes = 0
    for root, _, files in os.walk(tempfile.gettempdir()):
        for name in files:
            try:
                temp_bytes += os.lstat(os.path.join(root, name)).st_size
            except OSError:
                pass
    return {"maps": maps, "rss_mib": rss_kib / 1024, "temp_mib": temp_bytes / 2**20}


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--solves", type=int, default=20000, help="solves on one thread")
    parser.add_argument("--threads", type=int, default=16)
    parser.add_argument("--per-thread", type=int, default=1000)
    parser.add_argument("--package", default=os.path.join(MODELS, "puzzle8_manhattan.pt2"))
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args(argv)

    quelmar_puzzles.register()
    pool = [np.asarray(quelmar_puzzles.scramble("puzzle8", 20, seed=s), dtype=np.uint8)
            for s in range(100)]

    def solve(index):
        r = quelmar_cpp.run_weighted_astar(pool[index], "puzzle8", args.package, 1.0, 16, "cpu")
        return r["moves"], r["nodes_generated"]

    expected = [solve(i) for i in range(len(pool))]  # also loads everything once
    report = {"package": args.package, "phases": []}
    mismatches = 0

    # One thread, solve after solve.
    rows = [{"solves": 0, **figures()}]
    start = time.perf_counter()
    checkpoint = max(args.solves // 10, 1)
    for n in range(1, args.solves + 1):
        if solve(n % len(pool)) != expected[n % len(pool)]:
            mismatches += 1
        if n % checkpoint == 0:
            rows.append({"solves": n, **figures()})
    report["phases"].append({"name": f"1 thread x {args.solves}", "rows": rows,
                             "seconds": time.perf_counter() - start})

    # Many threads at once.
    lock = threading.Lock()
    done = [0]
    rows = [{"solves": 0, **figures()}]
    errors = []

    def worker(offset):
        nonlocal mismatches
        try:
            for n in range(args.per_thread):
                index = (offset * 7 + n) % len(pool)
                same = solve(index) == expected[index]
                with lock:
                    done[0] += 1
                    if not same:
                        mismatches += 1
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(repr(e))

    start = time.perf_counter()
    threads = [threading.Thread(target=worker, args=(t,)) for t in range(args.threads)]
    for t in threads:
        t.start()
    total = args.threads * args.per_thread
    while any(t.is_alive() for t in threads):
        time.sleep(2.0)
        rows.append({"solves": done[0], **figures()})
    for t in threads:
        t.join()
    rows.append({"solves": done[0], **figures()})
    report["phases"].append({"name": f"{args.threads} threads x {args.per_thread}",
                             "rows": rows, "seconds": time.perf_counter() - start})
    report["mismatches"] = mismatches
    report["errors"] = errors
    report["cached_packages"] = quelmar_cpp._research_impl._cached_model_packages()

    if args.json:
        print(json.dumps(report, indent=2))
    else:
        for phase in report["phases"]:
            print(f"{phase['name']}: {phase['seconds']:.1f} s")
            print(f"  {'solves':>7} {'maps':>6} {'RSS MiB':>9} {'tmp MiB':>9}")
            shown = phase["rows"] if len(phase["rows"]) <= 12 else (
                phase["rows"][:6] + phase["rows"][-6:])
            for row in shown:
                print(f"  {row['solves']:>7} {row['maps']:>6} {row['rss_mib']:>9.1f} "
                      f"{row['temp_mib']:>9.2f}")
        print(f"results differing from the first solve: {mismatches}; errors: {len(errors)}; "
              f"cached packages: {report['cached_packages']}")
    return 1 if mismatches or errors or total != done[0] else 0


if __name__ == "__main__":
    sys.exit(main())
