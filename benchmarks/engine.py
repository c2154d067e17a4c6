#!/usr/bin/env python3
"""Benchmarks of quorl.Engine against baselines measured in the same run.

    python benchmarks/engine.py [--quick] [--repeat N] [--cpu-clock] [--nodes N]

Rounds on the main job's graph (quorl.demo: a random graph whose node
functions saturate and quantize, a few inputs changed per round, every third
round putting the previous values back), timed for

  - Engine.set, the package's engine over the native round;
  - the bare round loop: ready() / done() with the node functions called and
    each value compared, nothing else (no memo, no report);
  - the same engine logic over the per-node protocol (the round's Python
    model, tests/round_model.py, in place of the native round);
  - equivalent engines over graphlib and over networkx (closure, order,
    signature and memo in Python).

Then a wide graph (8 inputs under 256 nodes under 8 views) with node functions
that sleep 1 ms (waiting without the GIL, as I/O does) or spin 1 ms (holding
it), in this thread and on thread and process pools, and the per-node
scheduling overhead of each executor with trivial functions.

Targets (limits in targets.py; a miss never changes the exit status):
Engine.set against the bare round loop, and the engine's overhead per
recomputed node; Engine.set per round against the engine logic over the
per-node protocol and the graphlib and networkx engines; 4 threads against one
on 1 ms sleeping functions; a warm start's first round (Engine.load of a file
saved after the first computation) against the first computation, the load
itself (declaring aside, which both pay) shown beside it.
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import sys
import tempfile
import time
from collections import deque
from collections.abc import Callable
from concurrent.futures import Executor, ProcessPoolExecutor, ThreadPoolExecutor
from functools import partial
from graphlib import TopologicalSorter
from typing import Any

import _paths  # noqa: F401  (tests/ on the import path)
import timing
from engine_support import make_engine
from quorl import Engine, Graph, stable_hash
from quorl.demo import MEMO_SIZE, REVERT_EVERY, NodeSpec, declare, generate
from targets import ENGINE

try:
    import networkx
except ImportError:
    networkx = None

MISSING = object()


# --------------------------------------------------------------------------- the drivers


def engine_over(specs, inputs, rounds="native", executor=None):
    engine = make_engine(rounds, executor=executor, memo_size=MEMO_SIZE)
    for spec in specs:
        if spec.kind == "input":
            engine.input(spec.id, inputs[spec.id])
        else:
            engine.node(spec.id, spec.fn, spec.deps, spec.kind)
    engine.set()
    return engine


class BareLoop:
    """The least a correct driver does over the native round: call, compare, report."""

    def __init__(self, specs, inputs):
        self.graph = g = Graph()
        self.fns = {s.id: s.fn for s in specs}
        self.deps = {s.id: s.deps for s in specs}
        self.values = dict(inputs)
        for s in specs:
            g.add_node(s.id, s.kind)
        for s in specs:
            if s.deps:
                g.set_deps(s.id, list(s.deps))
        g.build()
        hashes = {i: stable_hash(v) for i, v in inputs.items()}
        self.run(hashes, [s.id for s in specs if s.kind != "input"])

    def set(self, changes):
        self.values.update(changes)
        self.run({i: stable_hash(v) for i, v in changes.items()}, ())

    def run(self, hashes, seeds):
        values, fns, deps = self.values, self.fns, self.deps
        with self.graph.begin_round(hashes, seeds) as r:
            done = r.done
            batch = r.ready()
            while batch:
                for node_id, _signature in batch:
                    value = fns[node_id](*[values[d] for d in deps[node_id]])
                    if values.get(node_id, MISSING) == value:
                        done(node_id, False)
                    else:
                        values[node_id] = value
                        done(node_id, True)
                batch = r.ready()


class ClosureEngine:
    """The engine's logic with the graph work done in Python: the change's
    closure, its order, a signature per node from its deps' versions, a memo
    per node under it, and the epoch rule. ``order_closure`` is the library's."""

    def __init__(self, specs, inputs):
        self.fns = {s.id: s.fn for s in specs}
        self.deps = {s.id: s.deps for s in specs}
        self.kinds = {s.id: s.kind for s in specs}
        self.dependents: dict[str, list[str]] = {s.id: [] for s in specs}
        for s in specs:
            for d in s.deps:
                self.dependents[d].append(s.id)
        self.values: dict[str, Any] = {}
        self.version: dict[str, int] = {}
        self.signature: dict[str, tuple] = {}
        self.memo: dict[str, dict] = {s.id: {} for s in specs}
        self.clock = 0
        self.values.update(inputs)
        self.version.update({i: stable_hash(v) for i, v in inputs.items()})
        self.prepare(specs)
        self.walk(self.order_closure(set(self.fns)))

    def prepare(self, specs):
        pass

    def set(self, changes):
        for node_id, value in changes.items():
            self.values[node_id] = value
            self.version[node_id] = stable_hash(value)
        seen = set(changes)
        queue = deque(changes)
        while queue:
            for d in self.dependents[queue.popleft()]:
                if d not in seen:
                    seen.add(d)
                    queue.append(d)
        self.walk(self.order_closure(seen))

    def walk(self, order):
        values, version, fns, deps = self.values, self.version, self.fns, self.deps
        for node_id in order:
            if self.kinds[node_id] == "input":
                continue
            signature = tuple([version.get(d, 0) for d in deps[node_id]])
            if self.signature.get(node_id) == signature:
                continue
            memo = self.memo[node_id]
            value = memo.pop(signature, MISSING)
            if value is MISSING:
                value = fns[node_id](*[values[d] for d in deps[node_id]])
            memo[signature] = value
            if len(memo) > MEMO_SIZE:
                del memo[next(iter(memo))]
            self.signature[node_id] = signature
            if values.get(node_id, MISSING) != value:
                values[node_id] = value
                self.clock += 1
                version[node_id] = self.clock


class GraphlibEngine(ClosureEngine):
    def order_closure(self, closure):
        deps = self.deps
        return TopologicalSorter(
            {n: [d for d in deps[n] if d in closure] for n in closure}
        ).static_order()


class NetworkxEngine(ClosureEngine):
    def prepare(self, specs):
        self.g = networkx.DiGraph()
        self.g.add_nodes_from(s.id for s in specs)
        self.g.add_edges_from((d, s.id) for s in specs for d in s.deps)

    def order_closure(self, closure):
        return networkx.topological_sort(self.g.subgraph(closure))


# --------------------------------------------------------------------------- timing


def rounds_plan(specs, inputs, count, seed=1):
    """The main job's changes: new values, and every third round the last ones back."""
    rng = random.Random(seed)
    current = dict(inputs)
    ids = sorted(inputs)
    plans, before_last = [], {}
    for number in range(1, count + 1):
        if number % REVERT_EVERY == 0 and before_last:
            plan = before_last
        else:
            chosen = rng.sample(ids, 5)
            plan = {i: (current[i] + rng.randrange(1, 100)) % 100 for i in chosen}
        before_last = {i: current[i] for i in plan}
        current.update(plan)
        plans.append(plan)
    return plans


def time_rounds(make, plans, repeat):
    """Median, min and max over ``repeat`` runs of the time per round, in ns."""
    samples = []
    for _ in range(repeat):
        driver = make()
        start = timing.perf_ns()
        for plan in plans:
            driver.set(plan)
        samples.append((timing.perf_ns() - start) / len(plans))
    return statistics.median(samples), min(samples), max(samples), driver


def values_of(driver):
    return dict(driver._state.values if isinstance(driver, Engine) else driver.values)


def fmt(ns):
    return f"{ns / 1e6:.3f} ms" if ns >= 1e6 else f"{ns / 1e3:.1f} us"


def row(label, stats, base=None):
    median, low, high, _ = stats
    ratio = "" if base is None else f"{median / base:8.2f}x"
    print(f"  {label:<44} {fmt(median):>12}  ({fmt(low)} .. {fmt(high)}){ratio}")


# --------------------------------------------------------------------------- warm start


def warm_start(specs, inputs, repeat):
    """Medians (min, max) in ns of the first computation of a declared engine,
    of Engine.load without the declaring, and of the warm engine's first round."""
    declare_all = partial(declare, specs=specs, inputs=inputs)
    first, load, warm_round = [], [], []
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "engine.qrl")
        for _ in range(repeat):
            engine = Engine(memo_size=MEMO_SIZE)
            declare_all(engine)
            start = timing.perf_ns()
            engine.set()
            first.append(timing.perf_ns() - start)
            engine.save(path)
            declaring = [0]

            def timed_declare(engine, declaring=declaring):
                start = timing.perf_ns()
                declare_all(engine)
                declaring[0] += timing.perf_ns() - start

            warm = None  # freeing the last warm engine is no part of this load
            start = timing.perf_ns()
            warm = Engine.load(path, timed_declare, memo_size=MEMO_SIZE)
            load.append(timing.perf_ns() - start - declaring[0])
            start = timing.perf_ns()
            report = warm.set()
            warm_round.append(timing.perf_ns() - start)
            assert report.recomputed == report.memo_hits == 0, report
            size = os.path.getsize(path)
    return [
        (statistics.median(xs), min(xs), max(xs), None) for xs in (first, load, warm_round)
    ], size


# --------------------------------------------------------------------------- wide graph


def sleeping(seconds, *xs):
    time.sleep(seconds)
    return sum(xs) % 97


def spinning(seconds, *xs):
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass
    return sum(xs) % 97


def trivial(*xs):
    return sum(xs) % 97


def wide_specs(fn, width=256):
    specs = [NodeSpec(f"in{i}", "input") for i in range(8)]
    specs += [NodeSpec(f"w{k}", "reactive", (f"in{k % 8}",), fn) for k in range(width)]
    specs += [
        NodeSpec(f"view{v}", "view", tuple(f"w{k}" for k in range(v, width, 8)), trivial)
        for v in range(8)
    ]
    return specs, {f"in{i}": i for i in range(8)}


def wide_round(specs, inputs, executor, repeat):
    """Time per round when every input changes: all nodes run. Wall clock: parallel time."""
    engine = engine_over(specs, inputs, executor=executor)
    samples = []
    for k in range(repeat):
        plan = {i: 100 + k * 10 + j for j, i in enumerate(inputs)}
        start = time.perf_counter_ns()
        report = engine.set(plan)
        samples.append(time.perf_counter_ns() - start)
    return statistics.median(samples), min(samples), max(samples), report


def executors(workers, quick):
    yield "this thread", lambda: None
    yield f"{workers} threads", lambda: ThreadPoolExecutor(workers)
    yield (
        f"{min(workers, os.cpu_count() or 1)} processes",
        lambda: ProcessPoolExecutor(min(workers, os.cpu_count() or 1)),
    )


class Closing:
    def __init__(self, executor: Executor | None, cleanup: Callable[[], None] = lambda: None):
        self.executor, self.cleanup = executor, cleanup

    def __enter__(self):
        return self.executor

    def __exit__(self, *exc):
        if self.executor is not None:
            self.executor.shutdown()
        self.cleanup()


def dask_executor():
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        return None
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None)
    client = Client(cluster)

    def cleanup():
        client.close()
        cluster.close()

    return Closing(client.get_executor(), cleanup)


# --------------------------------------------------------------------------- main


def main_job_rows(specs, inputs, plans, repeat):
    """Engine.set against the bare loop and the other engines; returns each
    one's stats by name and the engine's overhead per handed-out node, in ns."""
    stats = {
        "engine": time_rounds(lambda: engine_over(specs, inputs), plans, repeat),
        "bare": time_rounds(lambda: BareLoop(specs, inputs), plans, repeat),
    }
    counting = engine_over(specs, inputs)
    handed = sum((r := counting.set(plan)).recomputed + r.memo_hits for plan in plans) / len(plans)
    stats["per-node protocol"] = time_rounds(
        lambda: engine_over(specs, inputs, "python"), plans, repeat
    )
    stats["graphlib"] = time_rounds(lambda: GraphlibEngine(specs, inputs), plans, repeat)
    if networkx is not None:
        stats["networkx"] = time_rounds(lambda: NetworkxEngine(specs, inputs), plans, repeat)
    expected = values_of(stats["engine"][3])
    problems = [
        name
        for name, measured in stats.items()
        if name != "engine" and values_of(measured[3]) != expected
    ]
    base = stats["engine"][0]
    for name, label in (
        ("engine", "Engine.set (native round)"),
        ("bare", "bare round loop (node functions included)"),
        ("per-node protocol", "engine logic over the per-node protocol"),
        ("graphlib", "engine over graphlib"),
        ("networkx", "engine over networkx"),
    ):
        if name in stats:
            row(label, stats[name], base)
    overhead = (base - stats["bare"][0]) / handed if handed else 0.0
    print(
        f"  nodes handed out per round: {handed:.1f}; engine overhead per node "
        f"over the bare loop: {overhead / 1e3:.2f} us"
    )
    print(
        "  values after the rounds: "
        + ("all equal" if not problems else "MISMATCH in " + ", ".join(problems))
    )
    return stats, overhead


def wide_rows(args, repeat, workers):
    """The wide graph's rounds in this thread and on each executor, by (function, executor)."""
    print("\nwide graph: 8 inputs, 256 nodes, 8 views; every input changes; wall clock")
    wide = {}
    for label, fn in [
        ("sleep 1 ms", partial(sleeping, 0.001)),
        ("spin 1 ms", partial(spinning, 0.001)),
        ("trivial", trivial),
    ]:
        if args.quick and label == "spin 1 ms":
            continue
        wspecs, winputs = wide_specs(fn, 64 if args.quick else 256)
        for name, make in executors(workers, args.quick):
            with Closing(make()) as executor:
                stats = wide_round(wspecs, winputs, executor, repeat)
            wide[label, name] = stats
            base_stats = wide.get((label, "this thread"), stats)
            row(f"{label}, {name}", stats, base_stats[0])
        if label == "trivial" and not args.quick and not args.no_dask:
            closing = dask_executor()
            if closing is not None:
                with closing as executor:
                    stats = wide_round(wspecs, winputs, executor, repeat)
                wide[label, "dask"] = stats
                row(
                    f"{label}, Dask cluster (2 worker processes)",
                    stats,
                    wide[label, "this thread"][0],
                )
    print("  per-node scheduling overhead (trivial functions, per node run):")
    for (label, name), stats in wide.items():
        if label == "trivial":
            nodes_run = stats[3].recomputed + stats[3].memo_hits
            print(f"    {name:<36} {fmt(stats[0] / nodes_run)}")
    return wide


def print_targets(stats, overhead, wide, workers, first, load, warm_round):
    print("\nengine targets (ratios measured side by side in this run)")

    def target(text, value, shown, name):
        limit = ENGINE[name]
        verdict = "pass" if limit.met(value) else "FAIL"
        print(f"  {text:<72} {shown:>9} (limit {limit.limit:g}{limit.unit}) {verdict}")

    engine = stats["engine"][0]
    ratio = engine / stats["bare"][0]
    target(
        "Engine.set / bare round loop with the node functions",
        ratio,
        f"{ratio:.2f}x",
        "Engine.set / bare loop",
    )
    target(
        "engine overhead per handed-out node",
        overhead / 1e3,
        f"{overhead / 1e3:.2f} us",
        "engine overhead per node",
    )
    for label in ("per-node protocol", "graphlib", "networkx"):
        if label in stats:
            speed = stats[label][0] / engine
            target(
                f"Engine.set faster than the engine over {label}",
                speed,
                f"{speed:.1f}x",
                "other engines / Engine.set",
            )
    threads = wide["sleep 1 ms", f"{workers} threads"][0] / wide["sleep 1 ms", "this thread"][0]
    target(
        "4 threads / one thread, 1 ms sleeping functions",
        threads,
        f"{threads:.2f}x",
        "4 threads / one thread",
    )
    warm = first[0] / warm_round[0]
    target(
        "warm start's first round faster than the first computation",
        warm,
        f"{warm:.0f}x",
        "first computation / warm first round",
    )
    loaded = first[0] / (load[0] + warm_round[0])
    print(
        f"  (load and first round, declaring excluded: {loaded:.1f}x faster than the first computation)"
    )


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, few repeats")
    parser.add_argument("--repeat", type=int, help="repeats per measurement")
    parser.add_argument("--nodes", type=int, help="main job graph size (5000; --quick 1000)")
    parser.add_argument("--cpu-clock", action="store_true", help="thread CPU time for the rounds")
    parser.add_argument("--no-dask", action="store_true", help="skip the Dask cluster rows")
    args = parser.parse_args(argv)
    if args.cpu_clock:
        timing.use_cpu_clock()
    repeat = args.repeat or (3 if args.quick else 7)
    nodes = args.nodes or (1000 if args.quick else 5000)
    rounds = 9 if args.quick else 30

    print(
        f"\nengine benchmarks: main job graph of {nodes} nodes, {rounds} rounds per run, "
        f"median of {repeat} runs (min .. max); ratio to Engine.set"
    )
    specs, inputs = generate(nodes, seed=0)
    stats, overhead = main_job_rows(specs, inputs, rounds_plan(specs, inputs, rounds), repeat)

    print(
        f"\nwarm start of the main job's graph ({nodes} nodes), saved after its first computation"
    )
    (first, load, warm_round), file_size = warm_start(specs, inputs, repeat)
    row("first computation (set() of a declared engine)", first, first[0])
    row("Engine.load (declaring excluded)", load, first[0])
    row("the warm engine's first round", warm_round, first[0])
    print(f"  file size: {file_size / 1e3:.0f} kB, {file_size / nodes:.0f} bytes per node")

    workers = 4
    wide = wide_rows(args, repeat, workers)
    print_targets(stats, overhead, wide, workers, first, load, warm_round)
    return 0


if __name__ == "__main__":
    sys.exit(main())
