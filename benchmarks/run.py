#!/usr/bin/env python3
"""Benchmarks of the quorl graph kernel against baselines measured in the same run.

    python benchmarks/run.py [--sizes 1000,100000] [--million] [--quick] [--repeat N] [--cpu-clock]
                             [--plot DIR]

Every size gets one random DAG from a fixed seed (workloads.py): node i
("n<i>") takes 0 to 6 distinct deps among nodes 0..i-1 (3 on average). The
same graph feeds quorl, the pure-Python implementation in pure_python.py,
graphlib, networkx and rustworkx; baselines that are not installed are
skipped with a note. Each figure is the median of several repeats, and each
ratio compares two figures taken side by side in this run, so machine noise
mostly cancels out of it.

The rows of one size are measured in measure.py (the kernel-driven rounds in
rounds.py, memory in memory.py) and printed by report.py. A closing "targets"
section gives each target's measured ratio with pass or FAIL; the targets and
their limits are in targets.py, and a miss never changes the exit status,
since timings on a shared machine are not a test. Without --million the 10^6
targets are checked at the largest size that ran, and the section says so.
The engine's own rows and targets follow (engine.py).
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

import _paths  # noqa: F401  (tests/ on the import path)
import rounds
import timing
from measure import measure_size
from memory import MEMORY_IMPLS, churned_over_fresh, memory_per_node
from model import Model
from quorl import Graph
from report import print_kernel_rounds, print_size_table, print_targets
from timing import Results
from workloads import (
    MILLION,
    SEED,
    Dag,
    declare,
    differences,
    networkx,
    pick_propagation_probe,
    rustworkx,
    scenario,
)


def parse_args(argv):
    """The options, and the sorted sizes they ask for."""
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0], formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--sizes", help="comma-separated node counts (default 1000,100000; --quick: 1000)"
    )
    parser.add_argument(
        "--million", action="store_true", help="add the 10^6-node size (slow baselines)"
    )
    parser.add_argument(
        "--quick", action="store_true", help="one small size and few repeats, for a smoke run"
    )
    parser.add_argument(
        "--repeat", type=int, help="repeats per measurement (default depends on size)"
    )
    parser.add_argument(
        "--cpu-clock",
        action="store_true",
        help="time with this thread's CPU time instead of the wall clock (for a busy machine)",
    )
    parser.add_argument(
        "--plot",
        metavar="DIR",
        help="write plots of time against graph size to DIR as PNG and SVG (needs matplotlib)",
    )
    args = parser.parse_args(argv)
    if args.sizes:
        try:
            sizes = [int(s.replace("_", "")) for s in args.sizes.split(",") if s.strip()]
        except ValueError:
            parser.error(f"--sizes takes comma-separated integers, not {args.sizes!r}")
    else:
        sizes = [1000] if args.quick else [1000, 100_000]
    if args.million and MILLION not in sizes:
        sizes.append(MILLION)
    sizes = sorted(set(sizes))
    if not sizes or min(sizes) < 20:
        parser.error("sizes must be at least 20 nodes")
    if args.repeat is not None and args.repeat < 1:
        parser.error("--repeat must be at least 1")
    if args.plot:
        # Fail before minutes of measuring, not after them.
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            parser.error("--plot needs matplotlib: pip install '.[bench]'")
    return args, sizes


def print_header(args, sizes: list[int]) -> None:
    print(
        f"quorl benchmarks: python {sys.version.split()[0]}, "
        f"networkx {getattr(networkx, '__version__', 'missing')}, "
        f"rustworkx {getattr(rustworkx, '__version__', 'missing')}; sizes {', '.join(f'{s:,}' for s in sizes)}"
    )
    load = os.getloadavg()[0]
    clock = "thread CPU time" if args.cpu_clock else "wall clock (perf_counter_ns)"
    print(
        f"clock: {clock}; load average {load:.1f} on {os.cpu_count()} cores"
        + (
            ""
            if load < 1.5 or args.cpu_clock
            else ": the machine is busy, expect noise (see --cpu-clock)"
        )
    )
    print(
        "median of repeats; spread = interquartile range / median; "
        "base/quorl = baseline / quorl (above 1: quorl is faster or smaller)"
    )


def self_check(dag: Dag) -> None:
    """quorl against the test suite's model, through the same calls."""
    expected = scenario(Model, dag)
    problems = differences(scenario(Graph, dag), expected)
    print(
        f"self-check at n={dag.n:,} (quorl against the model of the test suite): "
        f"{'MISMATCH' if problems else 'ok'}, {len(expected)} results compared"
    )
    for problem in problems:
        print(f"  {problem}")


def measure_sizes(args, sizes: list[int], small_dag: Dag, res: Results, log):
    """Every size's rows, and memory per node at the sizes that take it;
    returns (each size's info, each size's memory per node by impl)."""
    infos = {}
    memory: dict[int, dict] = {}
    memory_sizes = [n for n in sizes if n >= 100_000] or [max(sizes)]
    impls = (
        ["quorl", "churned", "pure"]
        if args.quick
        else [
            impl
            for impl in MEMORY_IMPLS
            if impl in ("quorl", "churned", "pure")
            or (networkx if impl == "networkx" else rustworkx) is not None
        ]
    )
    reference_graph = declare(Graph, small_dag)
    reference_graph.build()
    reference = (reference_graph, small_dag.ids[pick_propagation_probe(small_dag)[0]], small_dag.n)
    with tempfile.TemporaryDirectory(prefix="quorl-bench-") as scratch:
        for n in sizes:
            dag = Dag.random(n)
            log(f"n={n:,}: graph generated")
            infos[n] = measure_size(dag, args, res, log, reference if n > small_dag.n else None)
            if n in memory_sizes:
                churned = churned_over_fresh(dag)
                path = os.path.join(scratch, f"dag-{n}.pickle")
                dag.save(path)
                del dag
                memory[n] = {impl: memory_per_node(impl, path) for impl in impls}
                memory[n]["churned / fresh"] = churned
                log(f"n={n:,}: memory done")
    return infos, memory


def measure_kernel_rounds(args, res: Results) -> dict:
    """ready() + done() against dict.get, and the main job's first round."""
    clock = timing.perf_ns
    for impl, values in rounds.measure_ready_done(21 if args.quick else 101, clock).items():
        res.put((0, "ready_done", "quorl" if impl == "round" else impl), values)
    samples, main_job = rounds.measure_main_job(5 if args.quick else 21, clock)
    for impl, values in samples.items():
        res.put((0, "main_job", "quorl" if impl == "round" else impl), values)
    return main_job


def main(argv=None) -> int:
    args, sizes = parse_args(argv)
    if args.cpu_clock:
        timing.use_cpu_clock()
    started = time.perf_counter()

    def log(message):
        print(f"[{time.perf_counter() - started:6.1f} s] {message}", file=sys.stderr, flush=True)

    print_header(args, sizes)
    small_dag = Dag.random(min(sizes))
    self_check(small_dag)
    log("self-check done")
    res = Results()
    infos, memory = measure_sizes(args, sizes, small_dag, res, log)
    main_job = measure_kernel_rounds(args, res)
    log("ready()/done() and the main job's round done")

    for n in sizes:
        print_size_table(n, infos[n], res, memory)
    print_kernel_rounds(res, main_job)
    print_targets(sizes, res, memory, {n: info["snapshot_bytes"] / n for n, info in infos.items()})
    # The engine's rows and targets (quorl.Engine against its baselines).
    import engine as engine_benchmarks

    engine_benchmarks.main(
        (["--quick"] if args.quick else []) + (["--cpu-clock"] if args.cpu_clock else [])
    )
    if args.plot:
        from plot import write_plots

        clock = "thread CPU time" if args.cpu_clock else "wall clock"
        note = f"python {sys.version.split()[0]}, {clock}, {os.cpu_count()} cores; seed {SEED}"
        for path in write_plots(res.samples, sizes, args.plot, note, log):
            print(f"plot: {path}")
    print(f"\ntotal time {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
