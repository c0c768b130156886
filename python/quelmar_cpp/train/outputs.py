"""A run's outputs besides its checkpoint: model.pt, the exported package, train_log.json,
learning_curve.png and the summary printed at the end."""
from __future__ import annotations

import json
import os
import platform
import sys

import numpy as np
import torch

import quelmar_cpp

from ..common.files import write_atomically
from ..model_package import precision_file_name
from .checkpoint import CHECKPOINT
from .network import export_network, network_record

MODEL, LOG, PLOT = "model.pt", "train_log.json", "learning_curve.png"


def write_model(run) -> None:
    """Writes the trained network as model.pt (``load_network`` reads it)."""
    record = network_record(run.network, run.env)
    write_atomically(os.path.join(run.folder, MODEL), lambda f: torch.save(record, f), binary=True)


def export(run) -> str | None:
    """Exports the network as DIR/<env>_learned.pt2 with its manifest (the exporter writes both
    under temporary names and renames them into place), with --bf16 also in bfloat16 as
    DIR/<env>_learned_bf16.pt2; the float32 package's path, or None without --export."""
    if not run.export_package:
        return None
    path = os.path.join(run.folder, f"{run.env}_learned.pt2")
    with run.timer("export"):
        export_network(run.network, path, env=run.env)
        if run.export_bf16:
            export_network(run.network, precision_file_name(path, "bfloat16"), env=run.env,
                           precision="bfloat16")
    return path


def split(run) -> dict:
    """Seconds per phase, and data generation against network training.

    ``data_work``: making batches (C++ helpers, de-duplication, input
    conversion) in the background thread; ``data``: training waiting for
    a batch; ``targets``: the target network's passes over the children;
    ``train``: forward, backward and optimizer steps.
    """
    seconds = {k: round(v, 3) for k, v in sorted(run.timer.seconds.items())}
    train = run.timer.seconds.get("train", 0.0)
    share = lambda phase: round(run.timer.seconds.get(phase, 0.0) / train, 4) if train else None
    return {"seconds": seconds, "data_over_training": share("data_work"),
            "waiting_over_training": share("data")}


def write_log(run, status: str, package: str | None = None, plotted: bool = False) -> None:
    """Writes train_log.json: the settings, the curve, the clocks, the machine and the outputs."""
    s = run.s
    log = {"status": status, "env": run.env, "settings": s, "seed": s["seed"],
           "step": run.step, "elapsed_s": round(run.elapsed, 3),
           "states_trained": run.step * s["batch"],
           "states_per_s": round(run.step * s["batch"] / run.elapsed, 1) if run.elapsed else None,
           "time_split": split(run),
           "network": dict(run.network.shape),
           "parameters": sum(p.numel() for p in run.network.parameters()),
           "versions": _versions(run.plugin),
           "machine": {"cpus": os.cpu_count(), "torch_threads": torch.get_num_threads(),
                       "platform": platform.platform()},
           "target_refreshes": run.refreshes, "sessions": run.sessions, "curve": run.curve,
           "outputs": {"model": MODEL, "package": os.path.basename(package) if package else None,
                       "checkpoint": CHECKPOINT, "plot": PLOT if plotted else None}}
    text = json.dumps(log, indent=2) + "\n"
    write_atomically(os.path.join(run.folder, LOG), lambda f: f.write(text))


def write_plot(run) -> bool:
    """Writes the learning curve; False (with a warning) when matplotlib is missing."""
    try:
        from matplotlib.figure import Figure
    except ImportError:
        print(f"{run.prog}: warning: no matplotlib, so no {PLOT}", file=sys.stderr)
        return False

    fig = Figure(figsize=(9, 3.4), dpi=90, layout="constrained")
    left, right = fig.subplots(1, 2)
    points = [r for r in run.curve if r["loss"] is not None]
    left.plot([r["step"] for r in points], [r["loss"] for r in points])
    for refresh in run.refreshes:
        left.axvline(refresh["step"], color="0.85", lw=0.8, zorder=0)
    left.set(xlabel="step", ylabel="training loss (MSE)", yscale="log",
             title=f"{run.env}, {run.s['targets']} targets")
    checks = [r for r in run.curve if "eval" in r]
    right.plot([r["step"] for r in checks], [100 * r["eval"]["solve_rate"] for r in checks],
               "o-", color="C0")
    right.set(xlabel="step", ylabel="solved (%)", ylim=(-2, 102),
              title=f"checks: {run.s['eval_states']} scrambles of {run.eval_depth} moves")
    twin = right.twinx()
    lengths = [(r["step"], r["eval"]["mean_length"]) for r in checks if r["eval"]["mean_length"]]
    twin.plot([x for x, _ in lengths], [y for _, y in lengths], "s--", color="C1")
    twin.set_ylabel("mean solution length", color="C1")
    write_atomically(os.path.join(run.folder, PLOT), lambda f: fig.savefig(f, format="png"), binary=True)
    return True


def print_summary(run, package: str | None) -> None:
    """The lines printed after a finished run: speed, time split, last check, files written."""
    times = split(run)
    rate = run.step * run.s["batch"] / run.elapsed if run.elapsed else 0.0
    print(f"trained {run.env} ({run.s['targets']} targets) for {run.step} steps in "
          f"{run.elapsed:.1f} s, {rate:,.0f} states/s")
    print("time: " + ", ".join(f"{k} {v:.1f} s" for k, v in times["seconds"].items()))
    if times["data_over_training"] is not None:
        print(f"data generation: {100 * times['data_over_training']:.1f}% of the training time "
              f"(in a background thread; training waited {100 * times['waiting_over_training']:.1f}%)")
    last = next((r["eval"] for r in reversed(run.curve) if "eval" in r), None)
    if last:
        length = "-" if last["mean_length"] is None else f"{last['mean_length']:.2f}"
        print(f"check: solved {last['solved']}/{last['states']} scrambles of {run.eval_depth} "
              f"moves, mean length {length} (beam {run.s['eval_beam']})")
    written = [package, package + ".json"] if package else []
    written += [os.path.join(run.folder, f) for f in (MODEL, LOG, PLOT, CHECKPOINT)]
    print("wrote " + ", ".join(f for f in written if os.path.exists(f)))


def _versions(plugin) -> dict:
    return {"quelmar_cpp": quelmar_cpp.__version__, "torch": torch.__version__,
            "numpy": np.__version__, "python": platform.python_version(),
            "plugin": {"module": plugin.__name__, "version": getattr(plugin, "__version__", None)}}
