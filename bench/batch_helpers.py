"""Throughput of the batch helpers that feed training, in states per second.

    ./dev run -- python3 bench/batch_helpers.py [--walks 100000] [--max-length 30] [--repeats 3]

random_walks makes `--walks` cube walks of up to `--max-length` moves (lengths uniform in
[0, max], so about max/2 moves each); network_inputs, goal_flags and expand_states then
run on the walks' end states, all at once and in slices of `--chunk` states (as a
training loop takes minibatches). Each figure is the best of `--repeats` runs. OpenMP
threads: OMP_NUM_THREADS, else the CPUs other processes leave free (README, "Threads on a shared machine").

A call's result is fresh memory: 100,000 cube input rows are 130 MB, above glibc's
largest mmap threshold (32 MB), so every such call maps new pages and pays one page
fault per 4 KiB page. Slices small enough to be served from reused heap memory avoid that.
"""
import argparse
import os
import time

import quelmar_cpp
import quelmar_puzzles as qp


def best_seconds(call, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--env", default="cube3")
    parser.add_argument("--walks", type=int, default=100_000)
    parser.add_argument("--max-length", type=int, default=30)
    parser.add_argument("--chunk", type=int, default=10_000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    qp.register()
    goal = qp.goal_state(args.env)
    states, lengths = quelmar_cpp.random_walks(args.env, goal, args.walks, args.max_length, 1)
    threads = os.environ.get("OMP_NUM_THREADS", "shared by load")
    print(f"{args.env}, {args.walks:,} states, walks of 0..{args.max_length} moves "
          f"(mean {lengths.mean():.1f}), OpenMP threads: {threads}")
    runs = [
        ("random_walks", lambda: quelmar_cpp.random_walks(args.env, goal, args.walks, args.max_length, 1),
         int(lengths.sum())),
        ("network_inputs", lambda: quelmar_cpp.network_inputs(args.env, states), None),
        ("goal_flags", lambda: quelmar_cpp.goal_flags(args.env, states), None),
        ("expand_states", lambda: quelmar_cpp.expand_states(args.env, states), None),
    ]
    for name, call, moves in runs:
        seconds = best_seconds(call, args.repeats)
        extra = f", {moves / seconds:,.0f} moves/s" if moves else ""
        print(f"{name:<23} {seconds:8.4f} s  {args.walks / seconds:14,.0f} states/s{extra}")
    slices = [states[i:i + args.chunk] for i in range(0, len(states), args.chunk)]
    for name in ("network_inputs", "goal_flags", "expand_states"):
        helper = getattr(quelmar_cpp, name)
        def sliced():
            for part in slices:  # each result dropped before the next, as a training step would
                helper(args.env, part)

        seconds = best_seconds(sliced, args.repeats)
        label = f"{name} /{args.chunk:,}"
        print(f"{label:<23} {seconds:8.4f} s  {args.walks / seconds:14,.0f} states/s")


if __name__ == "__main__":
    main()
