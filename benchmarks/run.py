#!/usr/bin/env python3
"""Benchmarks of the quorl graph kernel against baselines measured in the same run.

    python benchmarks/run.py [--sizes 1000,100000] [--million] [--quick] [--repeat N] [--cpu-clock]
                             [--plot DIR]

Every size gets one random DAG from a fixed seed: node i ("n<i>") takes 0 to 6
distinct deps among nodes 0..i-1 (3 on average). The same graph feeds quorl,
the pure-Python implementation in pure_python.py, graphlib, networkx and
rustworkx; baselines that are not installed are skipped with a note. Each
figure is the median of several repeats, and each ratio compares two figures
taken side by side in this run, so machine noise mostly cancels out of it.

Targets (reported in the closing "targets" section; a miss never changes the
exit status, since timings on a shared machine are not a test):
  - build() at 10^6 nodes is faster than rustworkx topological_sort, and at
    least 30x faster than networkx lexicographical_topological_sort;
  - an update round (commit_input, mark_dirty, check_node + commit_node per
    scheduled node) takes at least 10x less time per scheduled node than the
    pure-Python implementation;
  - hot calls: state_of and needs_recompute within 1.5x of dict.get on a dict
    of the same ids, commit_node within 2x, check_node within 3x;
  - propagation: downstream/dirty_subgraph of a ~10-node closure, and a round
    seeded at its node, cost the same within 1.5x at 10^6 nodes as at 10^3;
  - memory: at most 150 bytes per node at 10^6 nodes, ids and 3 deps per node
    included (RSS growth over declaration plus build);
  - declaration (add_node + set_deps for every node) at least 5x faster than
    the pure-Python implementation;
  - a round through Graph.begin_round (rounds.py), one input whose change
    closure holds ~10% of the graph, under 1% of it handed out: at least 20x
    faster than the per-node protocol, at least 50x faster than a pure-Python
    driver over graphlib.TopologicalSorter on the same closure, and at most
    2x the cost of mark_dirty on the same seed;
  - ready() + done() per node handed out within 4x of dict.get;
  - the main job's first round, its decisions replayed: through a Round at
    most 1/8 of the per-node protocol.
  - ids crafted to collide under an unkeyed id hash (tests/crafted_ids.py) cost
    within 2x of random ids of the same length, to declare and to look up.
  - snapshots at 10^6 nodes: to_bytes() and Graph.from_bytes() each at most
    2x build() of the same graph, and the snapshot at most 2x the in-memory
    size per node.
  - structural edits, each followed by build(), against a full build() of the
    same graph: a set_deps that only adds deps placed earlier, and appending a
    node with deps, at most 1/100; a set_deps that adds a forward reference at
    a random position at most 1/10 (median); would_cycle() for a node that
    reaches few others at most 1/100.
Without --million the 10^6 targets are checked at the largest size that ran,
and the section says so. The engine's own rows and targets follow (engine.py).
"""

from __future__ import annotations

import argparse
import bisect
import gc
import os
import pickle
import random
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from collections import deque
from graphlib import TopologicalSorter

import _paths  # noqa: F401  (tests/ on the import path)
import rounds
from crafted_ids import colliding_ids, random_ids
from model import Model
from pure_python import PyGraph
from quorl import Graph

try:
    import networkx
except ImportError:
    networkx = None
try:
    import rustworkx
except ImportError:
    rustworkx = None

SEED = 20240611
MILLION = 1_000_000
UPDATE_INPUTS = 8
UPDATE_CLOSURE = (30, 300)  # scheduled nodes per update round, the input included
PROPAGATION_CLOSURE = 10  # nodes strictly downstream of the propagation probe
# Wall-clock by default; --cpu-clock switches to this thread's CPU time, which
# leaves out the time other processes hold the core on a busy machine.
perf_ns = time.perf_counter_ns


# --------------------------------------------------------------------------- graphs


class Dag:
    """One random DAG and the inputs every implementation is fed from it."""

    def __init__(self, deps: list[list[int]], kinds: list[str]) -> None:
        self.n = n = len(deps)
        self.deps = deps
        self.kinds = kinds
        self.ids = ids = [f"n{i}" for i in range(n)]
        self.dep_ids = [[ids[d] for d in node_deps] for node_deps in deps]
        self.edge_count = sum(map(len, deps))
        self._dependents: list[list[int]] | None = None

    @classmethod
    def random(cls, n: int, seed: int = SEED) -> Dag:
        rng = random.Random(seed)
        rnd = rng.random
        deps: list[list[int]] = []
        kinds: list[str] = []
        for i in range(n):
            k = int(rnd() * 7)
            if k > i:
                k = i
            node_deps: list[int] = []
            while len(node_deps) < k:
                d = int(rnd() * i)
                if d not in node_deps:
                    node_deps.append(d)
            deps.append(node_deps)
            if k:
                kinds.append("view" if rnd() < 0.1 else "reactive")
            else:
                kinds.append("input" if rnd() < 0.8 else "source")
        return cls(deps, kinds)

    def save(self, path: str) -> None:
        # Loading this is ten times faster than drawing a large graph again.
        with open(path, "wb") as f:
            pickle.dump((self.deps, self.kinds), f, protocol=pickle.HIGHEST_PROTOCOL)

    @classmethod
    def load(cls, path: str) -> Dag:
        with open(path, "rb") as f:
            return cls(*pickle.load(f))

    def dependents(self) -> list[list[int]]:
        if self._dependents is None:
            out: list[list[int]] = [[] for _ in range(self.n)]
            for i, node_deps in enumerate(self.deps):
                for d in node_deps:
                    out[d].append(i)
            self._dependents = out
        return self._dependents

    def closure_size(self, start: int, cap: int) -> int:
        """Size of start's closure (start included), counting no further than cap + 1."""
        dependents = self.dependents()
        seen = {start}
        queue = deque([start])
        while queue:
            for d in dependents[queue.popleft()]:
                if d not in seen:
                    seen.add(d)
                    if len(seen) > cap:
                        return cap + 1
                    queue.append(d)
        return len(seen)

    def edges(self) -> list[tuple[int, int]]:
        return [(d, i) for i, node_deps in enumerate(self.deps) for d in node_deps]

    def predecessors(self) -> dict[str, list[str]]:
        return dict(zip(self.ids, self.dep_ids, strict=True))


def declare(cls, dag: Dag):
    g = cls()
    add, set_deps = g.add_node, g.set_deps
    for node_id, kind in zip(dag.ids, dag.kinds, strict=True):
        add(node_id, kind)
    for node_id, node_deps in zip(dag.ids, dag.dep_ids, strict=True):
        set_deps(node_id, node_deps)
    return g


def declare_ids(ids: list[str]) -> Graph:
    g = Graph()
    for node_id in ids:
        g.add_node(node_id, "input")
    return g


def networkx_graph(dag: Dag):
    # Integer nodes added in registration order, so the lexicographic tie-break
    # is the kernel's smallest-index rule.
    g = networkx.DiGraph()
    g.add_nodes_from(range(dag.n))
    g.add_edges_from(dag.edges())
    return g


def rustworkx_graph(dag: Dag):
    # Zero-padded index strings as node data: key=str then orders ties by index.
    width = len(str(dag.n))
    g = rustworkx.PyDiGraph()
    g.add_nodes_from([str(i).zfill(width) for i in range(dag.n)])
    g.add_edges_from_no_data(dag.edges())
    return g


# --------------------------------------------------------------------------- timing


class gc_paused:
    """Keep the cyclic collector out of the timed section; collect first when
    asked (cheap once the graph inputs are frozen, see measure_size)."""

    def __init__(self, collect: bool = True) -> None:
        self.collect = collect

    def __enter__(self):
        if self.collect:
            gc.collect()
        gc.disable()

    def __exit__(self, *exc):
        gc.enable()


def time_once_ns(fn) -> int:
    with gc_paused():
        t0 = perf_ns()
        result = fn()
        elapsed = perf_ns() - t0
    del result  # freeing a large result is not part of the operation
    return elapsed


def per_call_ns(calls: dict, repeat: int, target_ns: int) -> dict:
    """Samples of ns per execution of each statement, from timeit loops whose
    names are locals; calls maps a key to (stmt, bindings). The samples of all
    statements are interleaved, so a burst of load hits all of them alike."""
    timers = {}
    for key, (stmt, bindings) in calls.items():
        setup = "; ".join(f"{name} = _bound[{name!r}]" for name in bindings)
        timer = timeit.Timer(stmt, setup=setup, timer=perf_ns, globals={"_bound": bindings})
        number = 1
        while True:
            elapsed = timer.timeit(number)
            if elapsed * 10 >= target_ns or number >= 10_000_000:
                break
            number *= 10
        timers[key] = (timer, max(1, int(number * target_ns / max(elapsed, 1))))
    samples: dict = {key: [] for key in calls}
    for _ in range(repeat):
        for key, (timer, number) in timers.items():
            samples[key].append(timer.timeit(number) / number)
    return samples


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# --------------------------------------------------------------------------- memory

MEMORY_IMPLS = ("quorl", "pure", "networkx", "rustworkx")


def memory_child(impl: str, path: str) -> None:
    """Print the RSS growth, in bytes, of declaring and building the saved graph,
    and its node count. Ids, deps lists and edges exist before the first reading."""
    dag = Dag.load(path)
    n = dag.n
    edges = dag.edges() if impl in ("networkx", "rustworkx") else None
    gc.collect()
    gc.disable()
    before = rss_bytes()
    if impl == "quorl":
        g = declare(Graph, dag)
        g.build()
    elif impl == "pure":
        g = declare(PyGraph, dag)
        g.build()
    elif impl == "networkx":
        g = networkx.DiGraph()
        g.add_nodes_from(range(n))
        g.add_edges_from(edges)
    else:
        g = rustworkx.PyDiGraph()
        g.add_nodes_from(range(n))
        g.add_edges_from_no_data(edges)
    after = rss_bytes()
    print(after - before, len(g))


def memory_per_node(impl: str, path: str) -> float | None:
    """Bytes per node, measured in a fresh interpreter so that memory freed by
    earlier work cannot absorb the growth."""
    proc = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--memory-child", f"{impl}:{path}"],
        capture_output=True,
        text=True,
        timeout=1800,
    )
    if proc.returncode != 0:
        print(f"memory child for {impl} failed: {proc.stderr.strip()[-300:]}", file=sys.stderr)
        return None
    grown, count = proc.stdout.split()
    return int(grown) / int(count)


# --------------------------------------------------------------------------- self-check


def scenario(cls, dag: Dag) -> list[tuple[str, object]]:
    """Drives a fresh `cls` over `dag` through a fixed sequence of calls (the
    same for every implementation of the Graph interface) and returns what each
    call gave: its result, or its exception's class name and arguments."""
    records: list[tuple[str, object]] = []

    def call(what, fn, *args):
        try:
            result = fn(*args)
        except Exception as exc:  # the class and message are what is compared
            result = (type(exc).__name__, exc.args)
        records.append((what, result))
        return result

    rng = random.Random(SEED + 1)
    g = declare(cls, dag)
    call("topo_order before build", g.topo_order)
    call("downstream before build", g.downstream, "zz")
    g.build()
    for name in ("topo_order", "views", "node_ids"):
        call(name, getattr(g, name))
    sample = rng.sample(dag.ids, min(200, dag.n))
    for node_id in sample:
        call(f"downstream({node_id})", g.downstream, node_id)
    for _ in range(50):
        seeds = rng.sample(dag.ids, 3)
        seeds.append(seeds[0])
        call(f"dirty_subgraph({seeds})", g.dirty_subgraph, seeds)

    # Update rounds: memo decisions and states.
    inputs = [node_id for node_id, kind in zip(dag.ids, dag.kinds, strict=True) if kind == "input"]
    for round_no, seed in enumerate(rng.sample(inputs, min(20, len(inputs)))):
        g.commit_input(seed, round_no * 7919)
        scheduled = call(f"mark_dirty([{seed}])", g.mark_dirty, [seed])
        call(f"mark_dirty([{seed}]) leads with the seed", lambda s=scheduled, t=seed: s[0] == t)
        call("dirty_nodes after mark_dirty", g.dirty_nodes)
        for k, node_id in enumerate(scheduled[1:]):
            decision = call(f"check_node({node_id})", g.check_node, node_id)
            (g.skip_node if k % 5 == 4 else g.commit_node)(node_id, decision[2])
    for node_id in sample:
        call(f"check_node({node_id}) after rounds", g.check_node, node_id)
        call(f"state_of({node_id})", g.state_of, node_id)
        call(f"needs_recompute({node_id})", g.needs_recompute, node_id, rng.getrandbits(64))
    for node_id in sample[:20]:
        g.set_computing(node_id)
    call("dirty_nodes after set_computing", g.dirty_nodes)
    call("check_node(unknown)", g.check_node, "zz")
    call("commit_node(unknown)", g.commit_node, "zz", 1)

    # Declaration refusals, each on a small graph of its own, and what it left.
    cases = [
        ("duplicate id", lambda g: g.add_node("a", "source")),
        ("duplicate id with invalid kind", lambda g: g.add_node("a", "bogus")),
        ("invalid kind", lambda g: g.add_node("d", "Input")),
        ("unknown target", lambda g: g.set_deps("zz", ["yy"])),
        ("unknown dep", lambda g: g.set_deps("c", ["a", "zz", "c"])),
        ("self dep", lambda g: g.set_deps("c", ["a", "c", "zz"])),
        ("repeated deps", lambda g: (g.set_deps("c", ["b", "a", "b"]), g.deps_of("c"))),
        (
            "cycle",
            lambda g: (
                g.set_deps("a", ["c"]),
                g.set_deps("b", ["a"]),
                g.set_deps("c", ["b"]),
                g.build(),
            ),
        ),
        ("not built after set_deps", lambda g: (g.build(), g.set_deps("b", []), g.topo_order())),
    ]
    for what, action in cases:
        small = cls()
        for node_id, kind in (("a", "input"), ("b", "reactive"), ("c", "view")):
            small.add_node(node_id, kind)
        call(what, action, small)
        call(
            f"{what}: graph after",
            lambda s=small: [(i, s.kind_of(i), s.deps_of(i)) for i in s.node_ids()],
        )
    return records


def differences(got: list, want: list, limit: int = 20) -> list[str]:
    """The records of two scenario runs that differ, at most `limit` of them."""
    out = [
        f"{what}: {short(a)} != {short(b)}"
        for (what, a), (_, b) in zip(got, want, strict=True)
        if a != b
    ]
    return out[:limit]


def short(value) -> str:
    text = repr(value)
    return text if len(text) <= 120 else text[:117] + "..."


def pick_update_inputs(dag: Dag, count: int) -> list[int]:
    low, high = UPDATE_CLOSURE
    rng = random.Random(SEED + 2)
    inputs = [i for i, kind in enumerate(dag.kinds) if kind == "input"]
    rng.shuffle(inputs)
    chosen, fallback = [], []
    for i in inputs:
        size = dag.closure_size(i, high)
        if low <= size <= high:
            chosen.append(i)
            if len(chosen) == count:
                break
        elif 1 < size <= high:
            fallback.append((size, i))
    if len(chosen) < count:  # a small graph may have too few: take the largest below the cap
        chosen += [i for _, i in sorted(fallback, reverse=True)[: count - len(chosen)]]
    return chosen


def pick_propagation_probe(dag: Dag) -> tuple[int, int]:
    """A node with PROPAGATION_CLOSURE nodes strictly downstream, or the nearest found."""
    rng = random.Random(SEED + 3)
    candidates = rng.sample(range(dag.n), min(dag.n, 20_000))
    best = (10**9, 0, 0)
    for i in candidates:
        below = dag.closure_size(i, 2 * PROPAGATION_CLOSURE) - 1
        miss = abs(below - PROPAGATION_CLOSURE)
        if miss < best[0]:
            best = (miss, i, below)
            if miss == 0:
                break
    return best[1], best[2]


def update_rounds(g, inputs: list[str], loops: int, hash_base: int) -> tuple[int, int]:
    """The caller's loop for one changed input; returns (ns, scheduled nodes)."""
    commit_input, mark_dirty = g.commit_input, g.mark_dirty
    check_node, commit_node = g.check_node, g.commit_node
    h = hash_base
    scheduled = 0
    with gc_paused(collect=False):
        t0 = perf_ns()
        for _ in range(loops):
            for node_id in inputs:
                h += 1
                commit_input(node_id, h)
                schedule = mark_dirty([node_id])
                # The input leads its own schedule and was committed above.
                for nid in schedule[1:]:
                    _, _, signature = check_node(nid)
                    commit_node(nid, signature)
                scheduled += len(schedule) - 1
        elapsed = perf_ns() - t0
    return elapsed, scheduled


class Results:
    """Median and spread of the samples of each measurement."""

    def __init__(self) -> None:
        self.values: dict[tuple, float] = {}
        self.spreads: dict[tuple, float] = {}
        self.samples: dict[tuple, list] = {}  # kept whole for the plots

    def put(self, key: tuple, samples: list) -> None:
        self.samples[key] = list(samples)
        median = statistics.median(samples)
        self.values[key] = median
        if len(samples) >= 4 and median:
            q1, _, q3 = statistics.quantiles(samples, n=4)
            self.spreads[key] = (q3 - q1) / median

    def get(self, key: tuple):
        return self.values.get(key)

    def spread(self, key: tuple) -> str:
        value = self.spreads.get(key)
        return "" if value is None else f"{100 * value:.0f}%"


def measure_size(dag: Dag, args, res: Results, log, reference=None) -> dict:
    """Measure every row at one size. reference is (graph, probe id, n) of the
    smallest size: its propagation calls join this size's batch, so the
    comparison across sizes is taken side by side too."""
    n = dag.n
    info: dict = {}
    t_start = time.perf_counter()
    dag.dependents()
    info["edges"] = dag.edge_count
    # Millions of long-lived objects: freezing them keeps each collection
    # before a timed section short.
    gc.collect()
    gc.freeze()
    repeat = args.repeat or (5 if args.quick else 9 if n <= 10_000 else 5 if n <= 100_000 else 3)
    # Cheap measurements take many short samples: on a loaded machine a short
    # sample often runs within one time slice, and the median picks those.
    cheap_repeat = args.repeat or (7 if args.quick else 21)
    target_ns = 1_000_000
    log(f"n={n:,}: repeats {repeat}, short samples {cheap_repeat}")

    # Declaration, build and topo_order, quorl and pure Python interleaved.
    samples: dict[tuple, list[int]] = {}
    graphs = {}
    for _ in range(repeat):
        for name, cls in (("quorl", Graph), ("pure", PyGraph)):
            graphs[name] = g = None  # free the previous graph outside the timed sections
            with gc_paused():
                t0 = perf_ns()
                g = declare(cls, dag)
                elapsed = perf_ns() - t0
            samples.setdefault(("decl", name), []).append(elapsed)
            samples.setdefault(("build", name), []).append(time_once_ns(g.build))
            samples.setdefault(("topo", name), []).append(time_once_ns(g.topo_order))
            graphs[name] = g
    for key, values in samples.items():
        res.put((n, *key), values)
    log(f"n={n:,}: declaration/build/topo_order done")

    # Snapshots of the built graph: to_bytes() and from_bytes() interleaved
    # with a full build() of the same graph, so that load hits all three
    # alike. A built graph without edits has nothing to build, so each build
    # runs on the graph restored unbuilt (not timed).
    g = graphs["quorl"]
    data = g.to_bytes()
    unbuilt = declare(Graph, dag).to_bytes()
    info["snapshot_bytes"] = len(data)
    for _ in range(repeat):
        fresh = Graph.from_bytes(unbuilt)
        for op, fn in (
            ("build", fresh.build),
            ("to_bytes", g.to_bytes),
            ("from_bytes", lambda: Graph.from_bytes(data)),
        ):
            samples.setdefault(("snapshot", op), []).append(time_once_ns(fn))
    for op in ("build", "to_bytes", "from_bytes"):
        res.put((n, "snapshot", op), samples[("snapshot", op)])
    g = data = unbuilt = fresh = None
    log(f"n={n:,}: snapshots done")

    # Baseline sorts on the same graph; their graph construction is not timed.
    # The slow ones run once at 10^6 nodes (each takes seconds, and their
    # ratios to build() are far from the targets' thresholds).
    slow_repeat = (args.repeat or 1) if n >= MILLION else min(repeat, 3) if n >= 100_000 else repeat
    predecessors = dag.predecessors()
    res.put(
        (n, "build", "graphlib"),
        [
            time_once_ns(lambda: list(TopologicalSorter(predecessors).static_order()))
            for _ in range(slow_repeat)
        ],
    )
    predecessors = None  # frees it before the next baselines
    nx_graph = rx_graph = None
    if networkx is not None:
        nx_graph = networkx_graph(dag)
        lex = networkx.lexicographical_topological_sort
        res.put(
            (n, "build", "networkx"),
            [time_once_ns(lambda: list(lex(nx_graph))) for _ in range(slow_repeat)],
        )
    if rustworkx is not None:
        rx_graph = rustworkx_graph(dag)
        res.put(
            (n, "build", "rustworkx topo"),
            [time_once_ns(lambda: rustworkx.topological_sort(rx_graph)) for _ in range(repeat)],
        )
        res.put(
            (n, "build", "rustworkx lex"),
            [
                time_once_ns(lambda: rustworkx.lexicographical_topological_sort(rx_graph, key=str))
                for _ in range(slow_repeat)
            ],
        )
    log(f"n={n:,}: baseline sorts done")

    # Update rounds on inputs whose schedules hold tens to hundreds of nodes.
    chosen = pick_update_inputs(dag, 4 if args.quick else UPDATE_INPUTS)
    inputs = [dag.ids[i] for i in chosen]
    # Nodes checked and committed per input: its closure less the input itself.
    sizes = [dag.closure_size(i, 10**9) - 1 for i in chosen]
    info["update"] = (len(inputs), sum(sizes), min(sizes, default=0), max(sizes, default=0))
    if inputs:
        loops = {}
        for name in ("quorl", "pure"):
            elapsed, _ = update_rounds(graphs[name], inputs, 1, 0)
            loops[name] = max(1, int(target_ns / max(elapsed, 1)))
        per_node = {"quorl": [], "pure": []}
        hash_base = 1 << 40  # a fresh content hash in every round: every schedule recomputes
        for _ in range(cheap_repeat):
            for name in ("quorl", "pure"):
                elapsed, scheduled = update_rounds(graphs[name], inputs, loops[name], hash_base)
                per_node[name].append(elapsed / scheduled)
                hash_base += loops[name] * len(inputs) + 1
        for name, values in per_node.items():
            res.put((n, "update", name), values)
    log(f"n={n:,}: update rounds done")

    # Propagation from a node with about ten nodes downstream.
    probe, below = pick_propagation_probe(dag)
    probe_id = dag.ids[probe]
    info["probe"] = (probe_id, below)
    calls = {}
    for name in ("quorl", "pure"):
        g = graphs[name]
        calls["downstream", name] = ("f(x)", {"f": g.downstream, "x": probe_id})
        calls["dirty_subgraph", name] = ("f(x)", {"f": g.dirty_subgraph, "x": [probe_id]})
    calls["small round", "quorl"] = (
        "f(g, x)",
        {"f": rounds.seeded_round, "g": graphs["quorl"], "x": probe_id},
    )
    if nx_graph is not None:
        calls["downstream", "networkx"] = (
            "f(g, x)",
            {"f": networkx.descendants, "g": nx_graph, "x": probe},
        )
    if rx_graph is not None:
        calls["downstream", "rustworkx"] = (
            "f(g, x)",
            {"f": rustworkx.descendants, "g": rx_graph, "x": probe},
        )
    if reference is not None:
        ref_graph, ref_id, ref_n = reference
        info["reference"] = ref_n
        calls["downstream", "reference"] = ("f(x)", {"f": ref_graph.downstream, "x": ref_id})
        calls["dirty_subgraph", "reference"] = (
            "f(x)",
            {"f": ref_graph.dirty_subgraph, "x": [ref_id]},
        )
        calls["small round", "reference"] = (
            "f(g, x)",
            {"f": rounds.seeded_round, "g": ref_graph, "x": ref_id},
        )
    for key, value in per_call_ns(calls, cheap_repeat, target_ns).items():
        res.put((n, *key), value)
    log(f"n={n:,}: propagation done")

    # Hot single calls against dict.get on a dict of the same ids.
    three = next((i for i in range(n // 2, n) if len(dag.deps[i]) == 3), None)
    if three is None:  # only in a tiny graph
        three = min(range(n), key=lambda i: abs(len(dag.deps[i]) - 3))
    hot_id = dag.ids[three]
    info["hot"] = (hot_id, len(dag.deps[three]))
    id_dict = {node_id: i for i, node_id in enumerate(dag.ids)}
    calls = {("hot", "dict.get"): ("f(x)", {"f": id_dict.get, "x": hot_id})}
    for name in ("quorl", "pure"):
        g = graphs[name]
        signature = g.check_node(hot_id)[2]
        calls["state_of", name] = ("f(x)", {"f": g.state_of, "x": hot_id})
        calls["check_node", name] = ("f(x)", {"f": g.check_node, "x": hot_id})
        calls["needs_recompute", name] = (
            "f(x, h)",
            {"f": g.needs_recompute, "x": hot_id, "h": signature ^ 1},
        )
        calls["commit_node", name] = ("f(x, h)", {"f": g.commit_node, "x": hot_id, "h": signature})
    for key, value in per_call_ns(calls, cheap_repeat, target_ns).items():
        res.put((n, *key), value)
    log(f"n={n:,}: hot calls done")

    measure_edits(dag, graphs["quorl"], probe_id, n, res, cheap_repeat, target_ns)
    log(f"n={n:,}: structural edits done in {time.perf_counter() - t_start:.1f} s total")

    # A round whose closure holds ~10% of the graph, driven by the kernel.
    graphs = nx_graph = rx_graph = None  # their memory is not needed any more
    samples, info["round"] = rounds.measure_random_round(dag, declare, cheap_repeat, perf_ns)
    for impl, values in samples.items():
        res.put((n, "round", "quorl" if impl == "round" else impl), values)
    log(f"n={n:,}: kernel rounds done in {time.perf_counter() - t_start:.1f} s total")
    # Ids crafted to collide under an unkeyed hash against random ids of the
    # same length: a keyed hash gives both the same cost.
    count = min(n, 100_000)
    id_sets = {"quorl": colliding_ids(count), "random": random_ids(count)}
    declared: dict[str, list[int]] = {name: [] for name in id_sets}
    for _ in range(cheap_repeat):  # alternating, so both see the same machine
        for name, ids in id_sets.items():
            declared[name].append(time_once_ns(lambda ids=ids: declare_ids(ids)))
    calls = {}
    for name, ids in id_sets.items():
        res.put((n, "crafted decl", name), declared[name])
        calls["crafted lookup", name] = ("f(x)", {"f": declare_ids(ids).state_of, "x": ids[-1]})
    for key, value in per_call_ns(calls, cheap_repeat, target_ns).items():
        res.put((n, *key), value)
    info["crafted"] = count
    log(f"n={n:,}: crafted ids done in {time.perf_counter() - t_start:.1f} s total")
    graphs = nx_graph = rx_graph = calls = None
    gc.unfreeze()
    return info


def measure_edits(dag: Dag, g, probe_id: str, n: int, res: Results, repeat: int, target_ns: int):
    """Edits of a built graph, each followed by build(), a sample per edit; the
    graph is put back (untimed) after each. Last: appending nodes grows it.
    The generated graph's order is its registration order, so a node's index
    is its position."""
    rng = random.Random(SEED + 5)
    ids, deps = dag.ids, dag.dep_ids
    inputs = [i for i in range(n) if not dag.deps[i]]

    def edit_samples(pick) -> list[int]:
        samples = []
        for _ in range(repeat):
            node, new_deps = pick()
            with gc_paused(collect=False):
                t0 = perf_ns()
                g.set_deps(node, new_deps)
                g.build()
                samples.append(perf_ns() - t0)
            g.set_deps(node, deps[int(node[1:])])
            g.build()
        return samples

    def earlier():
        v = rng.randrange(n // 2, n)
        d = rng.randrange(v)
        return ids[v], ([*deps[v], ids[d]] if ids[d] not in deps[v] else deps[v])

    def forward():
        # A node with no deps cannot close a cycle, wherever it is placed;
        # any one placed later than the edited node will do.
        v = rng.randrange(n)
        first_later = bisect.bisect_right(inputs, v)
        if first_later == len(inputs):
            return ids[v], deps[v]
        return ids[v], [*deps[v], ids[inputs[rng.randrange(first_later, len(inputs))]]]

    res.put((n, "edit", "earlier"), edit_samples(earlier))
    res.put((n, "edit", "forward"), edit_samples(forward))

    check = {"f": g.would_cycle, "x": probe_id, "d": [*deps[int(probe_id[1:])], ids[0]]}
    samples = per_call_ns({"would_cycle": ("f(x, d)", check)}, repeat, target_ns)
    res.put((n, "edit", "would_cycle"), samples["would_cycle"])

    appended = []
    for k in range(repeat):
        node = f"appended{k}"
        new_deps = list(dict.fromkeys(ids[rng.randrange(n)] for _ in range(3)))
        with gc_paused(collect=False):
            t0 = perf_ns()
            g.add_node(node, "view")
            g.set_deps(node, new_deps)
            g.build()
            appended.append(perf_ns() - t0)
    res.put((n, "edit", "append"), appended)


EDIT_ROWS = (
    ("earlier", "set_deps adding a dep placed earlier + build()", 0.01),
    ("append", "add_node + set_deps (3 deps) + build()", 0.01),
    ("forward", "set_deps adding a forward reference, random nodes + build()", 0.1),
    ("would_cycle", "would_cycle(id, deps), id with ~10 nodes downstream", 0.01),
)


# --------------------------------------------------------------------------- report


def fmt_time(ns) -> str:
    if ns is None:
        return "-"
    if ns < 1_000:
        return f"{ns:.0f} ns" if ns >= 100 else f"{ns:.1f} ns"
    for unit, scale in (("us", 1e3), ("ms", 1e6), ("s", 1e9)):
        value = ns / scale
        if value < 1000 or unit == "s":
            return f"{value:.3g} {unit}" if value < 100 else f"{value:.0f} {unit}"
    return f"{ns:.0f} ns"


def fmt_ratio(base, quorl) -> str:
    if base is None or not quorl:
        return ""
    return f"{base / quorl:.2f}"


MISSING = {
    "networkx": "networkx not installed: skipped (pip install networkx)",
    "rustworkx": "rustworkx not installed: skipped (pip install rustworkx)",
}


def print_size_table(n: int, info: dict, res: Results, memory: dict) -> None:
    width = 56
    print()
    print(
        f"n = {n:,} nodes, {info['edges']:,} deps ({info['edges'] / n:.2f} per node), seed {SEED}"
    )
    print(
        f"{'operation / implementation':<{width}} {'median':>10} {'spread':>7} {'base/quorl':>11}"
    )
    print("-" * (width + 30))

    def group(title, rows, op):
        print(title)
        quorl = res.get((n, op, "quorl"))
        for label, impl, library in rows:
            if (library == "networkx" and networkx is None) or (
                library == "rustworkx" and rustworkx is None
            ):
                print(f"  {label:<{width - 2}} {MISSING[library]}")
                continue
            value = res.get((n, op, impl))
            ratio = "1.00" if impl == "quorl" else fmt_ratio(value, quorl)
            spread = res.spread((n, op, impl))
            print(f"  {label:<{width - 2}} {fmt_time(value):>10} {spread:>7} {ratio:>11}")

    group(
        "declaration: add_node + set_deps for every node",
        [("quorl", "quorl", None), ("pure Python", "pure", None)],
        "decl",
    )
    group(
        "build: dependents, smallest-index topological order",
        [
            ("quorl build()", "quorl", None),
            ("pure Python build()", "pure", None),
            ("graphlib TopologicalSorter(preds).static_order()", "graphlib", None),
            ("networkx lexicographical_topological_sort", "networkx", "networkx"),
            ("rustworkx topological_sort", "rustworkx topo", "rustworkx"),
            ("rustworkx lexicographical_topological_sort(key=str)", "rustworkx lex", "rustworkx"),
        ],
        "build",
    )
    group(
        "topo_order(): all ids in order",
        [("quorl", "quorl", None), ("pure Python", "pure", None)],
        "topo",
    )
    count, total, low, high = info["update"]
    group(
        f"update round, per scheduled node ({count} inputs: {total:,} scheduled, {low} to {high} each)",
        [("quorl", "quorl", None), ("pure Python", "pure", None)],
        "update",
    )
    probe_id, below = info["probe"]
    reference = (
        [(f"quorl at n={info['reference']:,}, same closure size, same batch", "reference", None)]
        if "reference" in info
        else []
    )
    group(
        f"downstream(id), {below} nodes downstream of {probe_id}",
        [
            ("quorl downstream", "quorl", None),
            ("pure Python downstream", "pure", None),
            ("networkx descendants (unordered set)", "networkx", "networkx"),
            ("rustworkx descendants (unordered set)", "rustworkx", "rustworkx"),
            *reference,
        ],
        "downstream",
    )
    group(
        "dirty_subgraph([id]), same node",
        [("quorl", "quorl", None), ("pure Python", "pure", None), *reference],
        "dirty_subgraph",
    )
    group(
        "a round seeded at the same node, its deps unchanged: one node handed out, per round",
        [("quorl begin_round + iteration + done", "quorl", None), *reference],
        "small round",
    )
    hot_id, hot_deps = info["hot"]
    for op, what in (
        ("state_of", "state_of(id)"),
        ("check_node", f"check_node(id), {hot_id} with {hot_deps} deps"),
        ("needs_recompute", "needs_recompute(id, h)"),
        ("commit_node", "commit_node(id, s)"),
    ):
        for table in (res.values, res.spreads):
            if (n, "hot", "dict.get") in table:
                table[n, op, "dict.get"] = table[n, "hot", "dict.get"]
        group(
            f"{what}, per call",
            [
                ("quorl", "quorl", None),
                ("dict.get on {id: index}", "dict.get", None),
                ("pure Python", "pure", None),
            ],
            op,
        )
    if "round" in info:
        r = info["round"]
        group(
            f"round from {r['source']}: {r['closure']:,} nodes scheduled "
            f"({100 * r['closure'] / n:.0f}%), {r['handed']} handed out; per scheduled node",
            [
                ("quorl begin_round + iteration + done", "quorl", None),
                ("per-node protocol: mark_dirty, check_node + skip_node", "per-node", None),
                ("pure Python over graphlib TopologicalSorter", "graphlib", None),
                ("quorl mark_dirty alone, same seed", "mark_dirty", None),
            ],
            "round",
        )
    crafted = f"{info['crafted']:,} ids of 48 bytes"
    group(
        f"declaration of {crafted}: crafted to collide under an unkeyed hash, and random",
        [("quorl, crafted ids", "quorl", None), ("quorl, random ids", "random", None)],
        "crafted decl",
    )
    group(
        "state_of(id) on the last of them, per call",
        [("quorl, crafted ids", "quorl", None), ("quorl, random ids", "random", None)],
        "crafted lookup",
    )
    print("snapshot of the built graph, against build() of the same graph")
    built = res.get((n, "snapshot", "build"))
    for op, label in (
        ("build", "quorl build()"),
        ("to_bytes", "quorl to_bytes()"),
        ("from_bytes", "quorl Graph.from_bytes()"),
    ):
        value = res.get((n, "snapshot", op))
        spread = res.spread((n, "snapshot", op))
        times = "-" if value is None or not built else f"{value / built:.2f}x"
        print(f"  {label:<{width - 2}} {fmt_time(value):>10} {spread:>7} {times:>11}")
    per_node = info["snapshot_bytes"] / n
    in_memory = memory.get(n, {}).get("quorl")
    versus = "" if in_memory is None else f" ({per_node / in_memory:.2f}x the in-memory size)"
    print(f"  {'snapshot size, bytes per node':<{width - 2}} {per_node:>9.1f} B{versus}")
    full = res.get((n, "build", "quorl"))
    print("structural edits of the built graph; ratio = full build() / edit (above 100: 1/100)")
    for key, label, _ in EDIT_ROWS:
        value = res.get((n, "edit", key))
        spread = res.spread((n, "edit", key))
        print(
            f"  {label:<{width - 2}} {fmt_time(value):>10} {spread:>7} {fmt_ratio(full, value):>11}"
        )
    if n in memory:
        print("memory: RSS growth over declaration + build, bytes per node")
        values = memory[n]
        for label, impl in (
            ("quorl", "quorl"),
            ("pure Python", "pure"),
            ("networkx DiGraph (nodes + edges)", "networkx"),
            ("rustworkx PyDiGraph (nodes + edges)", "rustworkx"),
        ):
            if impl not in values:
                continue
            value = values[impl]
            shown = "-" if value is None else f"{value:.0f} B"
            ratio = "1.00" if impl == "quorl" else fmt_ratio(value, values.get("quorl"))
            print(f"  {label:<{width - 2}} {shown:>10} {'':>7} {ratio:>11}")


def print_targets(
    sizes: list[int], res: Results, memory: dict, snapshot_sizes: dict[int, float]
) -> None:
    largest = max(sizes)
    smallest = min(sizes)
    at = f"at n={largest:,}"
    million_note = (
        "" if largest >= MILLION else f" (target is at 10^6; measured {at}, run with --million)"
    )
    lines = []

    def target(label, value, limit, better, note=""):
        if value is None:
            lines.append(f"  [skip] {label}: not measured{note}")
            return
        ok = value >= limit if better == "higher" else value <= limit
        sign = ">=" if better == "higher" else "<="
        lines.append(
            f"  [{'pass' if ok else 'FAIL'}] {label}: {value:.2f} (target {sign} {limit}){note}"
        )

    def ratio(a, b):
        return None if a is None or b is None or not b else a / b

    q_build = res.get((largest, "build", "quorl"))
    target(
        "build(): rustworkx topological_sort / quorl build()",
        ratio(res.get((largest, "build", "rustworkx topo")), q_build),
        1.0,
        "higher",
        million_note,
    )
    target(
        "build(): networkx lexicographical_topological_sort / quorl build()",
        ratio(res.get((largest, "build", "networkx")), q_build),
        30,
        "higher",
        million_note,
    )
    target(
        f"update round per scheduled node: pure Python / quorl {at}",
        ratio(res.get((largest, "update", "pure")), res.get((largest, "update", "quorl"))),
        10,
        "higher",
    )
    dict_get = res.get((largest, "hot", "dict.get"))
    for op, limit in (
        ("state_of", 1.5),
        ("needs_recompute", 1.5),
        ("commit_node", 2),
        ("check_node", 3),
    ):
        target(
            f"{op} / dict.get {at}",
            ratio(res.get((largest, op, "quorl")), dict_get),
            limit,
            "lower",
        )
    if largest > smallest:
        note = (
            ""
            if largest >= MILLION and smallest <= 1000
            else f" (target compares 10^6 with 10^3; measured n={largest:,} vs n={smallest:,}, run with --million)"
        )
        for op in ("downstream", "dirty_subgraph", "small round"):
            target(
                f"{op} of a ~10-node closure: n={largest:,} / n={smallest:,}",
                ratio(res.get((largest, op, "quorl")), res.get((largest, op, "reference"))),
                1.5,
                "lower",
                note,
            )
    else:
        lines.append("  [skip] propagation at two sizes: only one size ran")
    memory_sizes = sorted(memory)
    if memory_sizes:
        m = memory_sizes[-1]
        note = (
            "" if m >= MILLION else f" (target is at 10^6; measured at n={m:,}, run with --million)"
        )
        target(
            f"memory, bytes per node, quorl at n={m:,}", memory[m].get("quorl"), 150, "lower", note
        )
    q_snapshot_build = res.get((largest, "snapshot", "build"))
    for op in ("to_bytes", "from_bytes"):
        target(
            f"snapshot: {op} / build() {at}",
            ratio(res.get((largest, "snapshot", op)), q_snapshot_build),
            2,
            "lower",
            million_note,
        )
    if memory_sizes:
        m = memory_sizes[-1]
        snapshot_bytes = snapshot_sizes.get(m)
        target(
            f"snapshot bytes per node / in-memory bytes per node at n={m:,}",
            ratio(snapshot_bytes, memory[m].get("quorl")),
            2,
            "lower",
            ""
            if m >= MILLION
            else f" (target is at 10^6; measured at n={m:,}, run with --million)",
        )
    target(
        f"declaration: pure Python / quorl {at}",
        ratio(res.get((largest, "decl", "pure")), res.get((largest, "decl", "quorl"))),
        5,
        "higher",
    )
    rq = res.get((largest, "round", "quorl"))
    for label, impl, limit, better in (
        ("per-node protocol / Round", "per-node", 20, "higher"),
        ("graphlib driver / Round", "graphlib", 50, "higher"),
        ("mark_dirty / Round", "mark_dirty", 0.5, "higher"),
    ):
        target(
            f"round with a ~10% closure: {label} {at}",
            ratio(res.get((largest, "round", impl)), rq),
            limit,
            better,
            million_note,
        )
    target(
        "ready() + done() per node handed out / dict.get",
        ratio(res.get((0, "ready_done", "quorl")), res.get((0, "ready_done", "dict.get"))),
        4,
        "lower",
    )
    target(
        "main job's first round, decisions replayed: Round / per-node protocol",
        ratio(res.get((0, "main_job", "quorl")), res.get((0, "main_job", "per-node"))),
        0.125,
        "lower",
    )
    for op, what in (("crafted decl", "declaration"), ("crafted lookup", "lookup")):
        target(
            f"ids crafted against an unkeyed hash / random ids, {what} {at}",
            ratio(res.get((largest, op, "quorl")), res.get((largest, op, "random"))),
            2,
            "lower",
        )
    for key, label, limit in EDIT_ROWS:
        target(
            f"{label} / full build() {at}",
            ratio(res.get((largest, "edit", key)), q_build),
            limit,
            "lower",
        )
    print()
    print("targets (ratios measured side by side in this run)")
    print("\n".join(lines))


# --------------------------------------------------------------------------- main


def main(argv=None) -> int:
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
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    global perf_ns
    if args.cpu_clock:
        perf_ns = time.thread_time_ns

    if args.memory_child:
        impl, path = args.memory_child.split(":", 1)
        memory_child(impl, path)
        return 0

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

    started = time.perf_counter()

    def log(message):
        print(f"[{time.perf_counter() - started:6.1f} s] {message}", file=sys.stderr, flush=True)

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

    small_dag = Dag.random(min(sizes))
    expected = scenario(Model, small_dag)
    problems = differences(scenario(Graph, small_dag), expected)
    print(
        f"self-check at n={min(sizes):,} (quorl against the model of the test suite): "
        f"{'MISMATCH' if problems else 'ok'}, {len(expected)} results compared"
    )
    for problem in problems:
        print(f"  {problem}")
    log("self-check done")

    res = Results()
    infos = {}
    memory: dict[int, dict] = {}
    memory_sizes = [n for n in sizes if n >= 100_000] or [max(sizes)]
    impls = (
        ["quorl", "pure"]
        if args.quick
        else [
            impl
            for impl in MEMORY_IMPLS
            if impl in ("quorl", "pure")
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
                path = os.path.join(scratch, f"dag-{n}.pickle")
                dag.save(path)
                del dag
                memory[n] = {impl: memory_per_node(impl, path) for impl in impls}
                log(f"n={n:,}: memory done")

    for impl, values in rounds.measure_ready_done(21 if args.quick else 101, perf_ns).items():
        res.put((0, "ready_done", "quorl" if impl == "round" else impl), values)
    samples, main_job = rounds.measure_main_job(5 if args.quick else 21, perf_ns)
    for impl, values in samples.items():
        res.put((0, "main_job", "quorl" if impl == "round" else impl), values)
    log("ready()/done() and the main job's round done")

    for n in sizes:
        print_size_table(n, infos[n], res, memory)
    print()
    print("kernel-driven rounds, per call or per round")
    for label, key, impl in (
        ("ready() + done(), per node handed out", "ready_done", "quorl"),
        ("dict.get, per call", "ready_done", "dict.get"),
        (
            f"main job round 1 ({main_job['scheduled']} scheduled, {main_job['handed']} "
            "handed out) through a Round",
            "main_job",
            "quorl",
        ),
        ("the same decisions through the per-node protocol", "main_job", "per-node"),
    ):
        print(
            f"  {label:<78} {fmt_time(res.get((0, key, impl))):>10} {res.spread((0, key, impl)):>7}"
        )
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
