"""Training steps per second of the trainer's network, with and without glibc's malloc tuning.

    ./dev run -- python3 bench/train_throughput.py [--inputs 324] [--threads 2]

Each configuration runs in a child process (malloc settings are per process):
states/s of forward, backward and Adam step on random inputs of the cube3 width.
"""
import argparse
import subprocess
import sys
import time

CHILD = """
import sys, time, torch
from quelmar_cpp.train import loop
from quelmar_cpp.train.network import build_network
inputs, threads, batch, tuned = (int(a) for a in sys.argv[1:5])
if tuned:
    loop.keep_freed_memory()
torch.set_num_threads(threads)
torch.manual_seed(0)
net = build_network(inputs, 1000, 300, 2, True)
opt = torch.optim.Adam(net.parameters(), 1e-3)
x = (torch.rand(batch, inputs) < 0.2).float()
y = torch.rand(batch) * 26
def step():
    opt.zero_grad()
    loss = ((net(x).squeeze(-1) - y) ** 2).mean()
    loss.backward()
    opt.step()
for _ in range(10):
    step()
start, n = time.perf_counter(), 40
for _ in range(n):
    step()
print(f"{n * batch / (time.perf_counter() - start):.0f}")
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--inputs", type=int, default=324)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=2)
    args = parser.parse_args()
    print(f"{'batch':>6} {'malloc':>8} {'states/s':>10}")
    for _ in range(args.repeats):
        for batch in (1000, 2000):
            for tuned in (0, 1):
                out = subprocess.run([sys.executable, "-c", CHILD, str(args.inputs), str(args.threads),
                                      str(batch), str(tuned)], capture_output=True, text=True, check=True)
                print(f"{batch:>6} {'tuned' if tuned else 'default':>8} {int(out.stdout):>10,}", flush=True)


if __name__ == "__main__":
    main()
