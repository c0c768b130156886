"""What the command reports: the summary table and the plot."""
from __future__ import annotations

import statistics

import numpy as np

from ..common.files import write_atomically


def summarize(rows: list[dict], optimal: list[int] | None) -> dict[str, str]:
    """The summary table's cells of one run, by row label."""
    n, solved = len(rows), [r for r in rows if r["solved"]]
    lengths = [r["length"] for r in solved]
    nodes = [r["nodes_generated"] for r in rows]
    times = [r["solve_time"] for r in rows]
    checked = [r for r in solved if r["verified"] is not None]
    cells = {"states": str(n), "solved": f"{len(solved)}/{n} ({100 * len(solved) / n:.1f}%)",
             "verified": f"{sum(r['verified'] for r in checked)}/{len(checked)}" if checked else "n/a"}
    if lengths:
        cells.update({"length mean": f"{statistics.mean(lengths):.2f}",
                      "length median": f"{statistics.median(lengths):g}",
                      "length max": str(max(lengths))})
    if optimal is not None and lengths:
        excess = [r["length"] - optimal[r["index"]] for r in solved]
        cells["optimal"] = f"{100 * excess.count(0) / len(excess):.1f}%"
        cells["excess mean"] = f"{statistics.mean(excess):.3f}"
    cells.update({"nodes mean": f"{statistics.mean(nodes):,.0f}",
                  "nodes median": f"{statistics.median(nodes):,.0f}",
                  "time mean (s)": f"{statistics.mean(times):.4f}",
                  "time median (s)": f"{statistics.median(times):.4f}",
                  "nodes/s": f"{sum(nodes) / sum(times):,.0f}" if sum(times) > 0 else "n/a"})
    return cells


def format_table(columns: dict[str, dict[str, str]]) -> str:
    """Rows of labels against one column per run, right-aligned."""
    labels = list(dict.fromkeys(k for cells in columns.values() for k in cells))
    width = max(map(len, labels))
    widths = [max(len(h), *(len(c.get(k, "-")) for k in labels)) for h, c in columns.items()]
    lines = [" " * width + "".join(f"  {h:>{w}}" for h, w in zip(columns, widths))]
    for k in labels:
        lines.append(f"{k:<{width}}" + "".join(f"  {c.get(k, '-'):>{w}}"
                                               for c, w in zip(columns.values(), widths)))
    return "\n".join(lines)


def write_plot(path: str, runs: dict[str, list[dict]]) -> None:
    """Length histogram and time against length per run, and with a sweep the trade-off."""
    from matplotlib.figure import Figure

    sweep = len(runs) > 1
    fig = Figure(figsize=(4.2 * (3 if sweep else 2), 3.6), dpi=90, layout="constrained")
    axes = fig.subplots(1, 3 if sweep else 2)
    means, every = [], [r["length"] for rows in runs.values() for r in rows if r["solved"]]
    if every:  # shared bins, about 25 of them
        step = max(1, round((max(every) - min(every)) / 25))
        bins = np.arange(min(every), max(every) + step + 1, step) - 0.5
    for label, rows in runs.items():
        solved = [r for r in rows if r["solved"]]
        lengths = [r["length"] for r in solved]
        if lengths:
            axes[0].hist(lengths, bins=bins, histtype="step" if sweep else "bar", label=label)
            axes[1].scatter(lengths, [r["solve_time"] for r in solved], s=8, alpha=0.6, label=label)
            means.append((label, statistics.mean(r["nodes_generated"] for r in rows),
                          statistics.mean(lengths)))
    axes[0].set(xlabel="solution length", ylabel="states", title="solution lengths")
    axes[1].set(xlabel="solution length", ylabel="solve time (s)", yscale="log", title="time against length")
    if sweep:
        axes[2].plot([m[1] for m in means], [m[2] for m in means], "o-")
        for label, x, y in means:
            axes[2].annotate(label, (x, y), textcoords="offset points", xytext=(4, 4), fontsize=8)
        axes[2].margins(0.2)
        axes[2].set(xlabel="mean nodes generated", ylabel="mean solution length", xscale="log",
                    title="trade-off")
        axes[0].legend(fontsize=8)
    write_atomically(path, lambda f: fig.savefig(f, format="png"), binary=True)
