"""Plots of a benchmark run: time against graph size, quorl beside its baselines.

``python benchmarks/run.py --plot DIR`` calls ``write_plots`` once every size
has run; each figure goes to DIR as PNG and SVG. matplotlib is needed only
here (``pip install '.[bench]'``), so a run without --plot never imports it.

A point is the median of the repeats at one size; its bar spans the first to
the third quartile (the least to the greatest value below four repeats), from
the same samples the table's "spread" column comes from.
"""

from __future__ import annotations

import os
import statistics
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass

# What each implementation is called in a legend, and its colour and marker,
# the same in every figure so the eye can follow one line across them.
STYLES: dict[str, tuple[str, str, str]] = {
    "quorl": ("quorl", "#1b6ac9", "o"),
    "pure": ("pure Python", "#c0392b", "s"),
    "graphlib": ("graphlib", "#7f8c8d", "^"),
    "networkx": ("networkx", "#27ae60", "v"),
    "rustworkx topo": ("rustworkx topological_sort", "#8e44ad", "D"),
    "rustworkx lex": ("rustworkx lexicographical", "#d68910", "P"),
    "per-node": ("quorl, per-node protocol from Python", "#5dade2", "x"),
    "mark_dirty": ("quorl mark_dirty alone", "#aab7b8", "."),
}


@dataclass(frozen=True)
class Figure:
    name: str  # file name without extension
    op: str  # the operation's key in the run's results
    title: str
    ylabel: str
    impls: tuple[str, ...]
    labels: tuple[tuple[str, str], ...] = ()  # legend names particular to this figure


FIGURES = (
    Figure(
        "kernel-round",
        "round",
        "Round over a closure of ~10% of the graph, <1% needing a value",
        "time per node in the closure",
        ("quorl", "per-node", "graphlib", "mark_dirty"),
        (("quorl", "quorl Graph.begin_round"), ("graphlib", "pure Python over graphlib")),
    ),
    Figure(
        "update-round",
        "update",
        "Update round: time per scheduled node",
        "time per scheduled node",
        ("quorl", "pure"),
    ),
    Figure(
        "build",
        "build",
        "build(): smallest topological order of the whole graph",
        "time per build",
        ("quorl", "pure", "graphlib", "networkx", "rustworkx topo", "rustworkx lex"),
    ),
)


def _time_axis(ns_values: Sequence[float]) -> tuple[float, str]:
    """The unit that keeps the largest value readable, as (divisor, name)."""
    top = max(ns_values, default=0)
    for divisor, unit in ((1e9, "s"), (1e6, "ms"), (1e3, "µs")):
        if top >= divisor:
            return divisor, unit
    return 1.0, "ns"


def write_plots(
    samples: Mapping[tuple, Sequence[float]],
    sizes: Sequence[int],
    directory: str,
    note: str = "",
    log: Callable[[str], None] = print,
) -> list[str]:
    """Write every figure that has data; returns the paths written.

    ``samples`` maps ``(n, op, impl)`` to the raw timings in nanoseconds.
    """
    import matplotlib

    matplotlib.use("Agg")  # no display: files only
    import matplotlib.pyplot as plt

    # Byte-identical SVGs for identical numbers, so a committed plot only
    # changes in a diff when the figures do.
    matplotlib.rcParams["svg.hashsalt"] = "quorl"
    matplotlib.rcParams["svg.fonttype"] = "none"
    os.makedirs(directory, exist_ok=True)
    written = []
    for figure in FIGURES:
        series = {}
        for impl in figure.impls:
            points = [
                (n, sorted(samples[n, figure.op, impl]))
                for n in sizes
                if samples.get((n, figure.op, impl))
            ]
            if points:
                series[impl] = points
        if not series:
            log(f"plot {figure.name}: no data, skipped")
            continue
        divisor, unit = _time_axis([v for pts in series.values() for _, s in pts for v in s])
        fig, ax = plt.subplots(figsize=(7, 4.2), dpi=120)
        for impl, points in series.items():
            label, colour, marker = STYLES[impl]
            label = dict(figure.labels).get(impl, label)
            xs = [n for n, _ in points]
            medians, lows, highs = [], [], []
            for _, values in points:
                median, low, high = _median_and_quartiles(values)
                medians.append(median / divisor)
                lows.append((median - low) / divisor)
                highs.append((high - median) / divisor)
            ax.errorbar(
                xs,
                medians,
                yerr=[lows, highs],
                label=label,
                color=colour,
                marker=marker,
                capsize=3,
                linewidth=1.5,
                markersize=5,
            )
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("nodes in the graph")
        ax.set_ylabel(f"{figure.ylabel} ({unit})")
        ax.set_title(figure.title, fontsize=11)
        ax.grid(True, which="major", linewidth=0.5, alpha=0.5)
        ax.legend(fontsize=8, frameon=False)
        if note:
            fig.text(0.01, 0.01, note, fontsize=7, color="#555555")
        fig.tight_layout(rect=(0, 0.04 if note else 0, 1, 1))
        for extension in ("svg", "png"):
            path = os.path.join(directory, f"{figure.name}.{extension}")
            fig.savefig(path, metadata={"Date": None} if extension == "svg" else None)
            written.append(path)
        plt.close(fig)
    return written


def _median_and_quartiles(values: Sequence[float]) -> tuple[float, float, float]:
    median = statistics.median(values)
    if len(values) < 4:
        return median, min(values), max(values)
    q1, _, q3 = statistics.quantiles(values, n=4)
    return median, q1, q3
