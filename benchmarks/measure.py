"""The kernel's rows at one graph size, each step measured against its
baselines side by side, into a Results table keyed (size, operation, impl)."""

from __future__ import annotations

import bisect
import gc
import random
import time
from graphlib import TopologicalSorter

import rounds
import timing
from crafted_ids import colliding_ids, random_ids
from pure_python import PyGraph
from quorl import Graph
from timing import Results, gc_paused, per_call_ns, time_once_ns
from workloads import (
    MILLION,
    SEED,
    UPDATE_INPUTS,
    Dag,
    declare,
    declare_ids,
    networkx,
    networkx_graph,
    pick_propagation_probe,
    pick_update_inputs,
    rustworkx,
    rustworkx_graph,
)

TARGET_NS = 1_000_000  # the length of one timed sample


class Size:
    """One size's graph, the table its rows go to, and how often to sample."""

    def __init__(self, dag: Dag, args, res: Results) -> None:
        self.dag, self.n, self.res = dag, dag.n, res
        n = dag.n
        self.repeat = args.repeat or (
            5 if args.quick else 9 if n <= 10_000 else 5 if n <= 100_000 else 3
        )
        # Cheap measurements take many short samples: on a loaded machine a
        # short sample often runs within one time slice, and the median picks those.
        self.cheap_repeat = args.repeat or (7 if args.quick else 21)
        # The slow baseline sorts run once at 10^6 nodes (each takes seconds,
        # and their ratios to build() are far from the targets' thresholds).
        self.slow_repeat = (
            (args.repeat or 1)
            if n >= MILLION
            else min(self.repeat, 3)
            if n >= 100_000
            else self.repeat
        )

    def put(self, op: str, impl: str, samples: list) -> None:
        self.res.put((self.n, op, impl), samples)

    def put_calls(self, calls: dict) -> None:
        for key, value in per_call_ns(calls, self.cheap_repeat, TARGET_NS).items():
            self.res.put((self.n, *key), value)


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
    size = Size(dag, args, res)
    log(f"n={n:,}: repeats {size.repeat}, short samples {size.cheap_repeat}")

    graphs = declaration_and_build(size)
    log(f"n={n:,}: declaration/build/topo_order done")
    info["snapshot_bytes"] = snapshots(size, graphs["quorl"])
    log(f"n={n:,}: snapshots done")
    nx_graph, rx_graph = baseline_sorts(size)
    log(f"n={n:,}: baseline sorts done")
    info["update"] = update_round_rows(size, graphs, 4 if args.quick else UPDATE_INPUTS)
    log(f"n={n:,}: update rounds done")
    probe_id, below = propagation(size, graphs, nx_graph, rx_graph, reference)
    info["probe"] = (probe_id, below)
    if reference is not None:
        info["reference"] = reference[2]
    log(f"n={n:,}: propagation done")
    info["hot"] = hot_calls(size, graphs)
    log(f"n={n:,}: hot calls done")
    edits(size, graphs["quorl"], probe_id)
    log(f"n={n:,}: structural edits done in {time.perf_counter() - t_start:.1f} s total")

    # A round whose closure holds ~10% of the graph, driven by the kernel.
    graphs = nx_graph = rx_graph = None  # their memory is not needed any more
    samples, info["round"] = rounds.measure_random_round(
        dag, declare, size.cheap_repeat, timing.perf_ns
    )
    for impl, values in samples.items():
        size.put("round", "quorl" if impl == "round" else impl, values)
    log(f"n={n:,}: kernel rounds done in {time.perf_counter() - t_start:.1f} s total")
    info["crafted"] = crafted_id_rows(size)
    log(f"n={n:,}: crafted ids done in {time.perf_counter() - t_start:.1f} s total")
    gc.unfreeze()
    return info


def declaration_and_build(size: Size) -> dict:
    """Declaration, build and topo_order, quorl and pure Python interleaved;
    returns the last graphs built."""
    samples: dict[tuple, list[int]] = {}
    graphs = {}
    for _ in range(size.repeat):
        for name, cls in (("quorl", Graph), ("pure", PyGraph)):
            graphs[name] = g = None  # free the previous graph outside the timed sections
            with gc_paused():
                t0 = timing.perf_ns()
                g = declare(cls, size.dag)
                elapsed = timing.perf_ns() - t0
            samples.setdefault(("decl", name), []).append(elapsed)
            samples.setdefault(("build", name), []).append(time_once_ns(g.build))
            samples.setdefault(("topo", name), []).append(time_once_ns(g.topo_order))
            graphs[name] = g
    for key, values in samples.items():
        size.put(*key, values)
    return graphs


def snapshots(size: Size, g) -> int:
    """to_bytes() and from_bytes() of the built graph interleaved with a full
    build() of the same graph, so that load hits all three alike; returns the
    snapshot's size. A built graph without edits has nothing to build, so
    each build runs on the graph restored unbuilt (not timed)."""
    data = g.to_bytes()
    unbuilt = declare(Graph, size.dag).to_bytes()
    samples: dict[str, list[int]] = {}
    for _ in range(size.repeat):
        fresh = Graph.from_bytes(unbuilt)
        for op, fn in (
            ("build", fresh.build),
            ("to_bytes", g.to_bytes),
            ("from_bytes", lambda: Graph.from_bytes(data)),
        ):
            samples.setdefault(op, []).append(time_once_ns(fn))
    for op in ("build", "to_bytes", "from_bytes"):
        size.put("snapshot", op, samples[op])
    return len(data)


def baseline_sorts(size: Size):
    """The libraries' sorts of the same graph; their graph construction is not
    timed. Returns the networkx and rustworkx graphs (None when not installed)."""
    slow_repeat = size.slow_repeat
    predecessors = size.dag.predecessors()
    size.put(
        "build",
        "graphlib",
        [
            time_once_ns(lambda: list(TopologicalSorter(predecessors).static_order()))
            for _ in range(slow_repeat)
        ],
    )
    predecessors = None  # frees it before the next baselines
    nx_graph = rx_graph = None
    if networkx is not None:
        nx_graph = networkx_graph(size.dag)
        lex = networkx.lexicographical_topological_sort
        size.put(
            "build",
            "networkx",
            [time_once_ns(lambda: list(lex(nx_graph))) for _ in range(slow_repeat)],
        )
    if rustworkx is not None:
        rx_graph = rustworkx_graph(size.dag)
        size.put(
            "build",
            "rustworkx topo",
            [
                time_once_ns(lambda: rustworkx.topological_sort(rx_graph))
                for _ in range(size.repeat)
            ],
        )
        size.put(
            "build",
            "rustworkx lex",
            [
                time_once_ns(lambda: rustworkx.lexicographical_topological_sort(rx_graph, key=str))
                for _ in range(slow_repeat)
            ],
        )
    return nx_graph, rx_graph


def update_rounds(g, inputs: list[str], loops: int, hash_base: int) -> tuple[int, int]:
    """The caller's loop for one changed input; returns (ns, scheduled nodes)."""
    commit_input, mark_dirty = g.commit_input, g.mark_dirty
    check_node, commit_node = g.check_node, g.commit_node
    h = hash_base
    scheduled = 0
    with gc_paused(collect=False):
        t0 = timing.perf_ns()
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
        elapsed = timing.perf_ns() - t0
    return elapsed, scheduled


def update_round_rows(size: Size, graphs: dict, count: int) -> tuple[int, int, int, int]:
    """Update rounds on inputs whose schedules hold tens to hundreds of nodes;
    returns (inputs, nodes scheduled, fewest, most)."""
    dag = size.dag
    chosen = pick_update_inputs(dag, count)
    inputs = [dag.ids[i] for i in chosen]
    # Nodes checked and committed per input: its closure less the input itself.
    sizes = [dag.closure_size(i, 10**9) - 1 for i in chosen]
    if inputs:
        loops = {}
        for name in ("quorl", "pure"):
            elapsed, _ = update_rounds(graphs[name], inputs, 1, 0)
            loops[name] = max(1, int(TARGET_NS / max(elapsed, 1)))
        per_node = {"quorl": [], "pure": []}
        hash_base = 1 << 40  # a fresh content hash in every round: every schedule recomputes
        for _ in range(size.cheap_repeat):
            for name in ("quorl", "pure"):
                elapsed, scheduled = update_rounds(graphs[name], inputs, loops[name], hash_base)
                per_node[name].append(elapsed / scheduled)
                hash_base += loops[name] * len(inputs) + 1
        for name, values in per_node.items():
            size.put("update", name, values)
    return len(inputs), sum(sizes), min(sizes, default=0), max(sizes, default=0)


def propagation(size: Size, graphs, nx_graph, rx_graph, reference) -> tuple[str, int]:
    """Propagation from a node with about ten nodes downstream, and from the
    smallest size's probe in the same batch; returns (probe id, nodes below)."""
    dag = size.dag
    probe, below = pick_propagation_probe(dag)
    probe_id = dag.ids[probe]
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
        ref_graph, ref_id, _ = reference
        calls["downstream", "reference"] = ("f(x)", {"f": ref_graph.downstream, "x": ref_id})
        calls["dirty_subgraph", "reference"] = (
            "f(x)",
            {"f": ref_graph.dirty_subgraph, "x": [ref_id]},
        )
        calls["small round", "reference"] = (
            "f(g, x)",
            {"f": rounds.seeded_round, "g": ref_graph, "x": ref_id},
        )
    size.put_calls(calls)
    return probe_id, below


def hot_calls(size: Size, graphs: dict) -> tuple[str, int]:
    """Hot single calls against dict.get on a dict of the same ids; returns the
    node called and its number of deps."""
    dag, n = size.dag, size.n
    three = next((i for i in range(n // 2, n) if len(dag.deps[i]) == 3), None)
    if three is None:  # only in a tiny graph
        three = min(range(n), key=lambda i: abs(len(dag.deps[i]) - 3))
    hot_id = dag.ids[three]
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
    size.put_calls(calls)
    return hot_id, len(dag.deps[three])


def edits(size: Size, g, probe_id: str) -> None:
    """Edits of a built graph, each followed by build(), a sample per edit; the
    graph is put back (untimed) after each. Last: appending nodes grows it.
    The generated graph's order is its registration order, so a node's index
    is its position."""
    dag, n, repeat = size.dag, size.n, size.cheap_repeat
    rng = random.Random(SEED + 5)
    ids, deps = dag.ids, dag.dep_ids
    inputs = [i for i in range(n) if not dag.deps[i]]

    def edit_samples(pick) -> list[int]:
        samples = []
        for _ in range(repeat):
            node, new_deps = pick()
            with gc_paused(collect=False):
                t0 = timing.perf_ns()
                g.set_deps(node, new_deps)
                g.build()
                samples.append(timing.perf_ns() - t0)
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

    size.put("edit", "earlier", edit_samples(earlier))
    size.put("edit", "forward", edit_samples(forward))

    check = {"f": g.would_cycle, "x": probe_id, "d": [*deps[int(probe_id[1:])], ids[0]]}
    samples = per_call_ns({"would_cycle": ("f(x, d)", check)}, repeat, TARGET_NS)
    size.put("edit", "would_cycle", samples["would_cycle"])

    appended = []
    for k in range(repeat):
        node = f"appended{k}"
        new_deps = list(dict.fromkeys(ids[rng.randrange(n)] for _ in range(3)))
        with gc_paused(collect=False):
            t0 = timing.perf_ns()
            g.add_node(node, "view")
            g.set_deps(node, new_deps)
            g.build()
            appended.append(timing.perf_ns() - t0)
    size.put("edit", "append", appended)


def crafted_id_rows(size: Size) -> int:
    """Ids crafted to collide under an unkeyed hash against random ids of the
    same length: a keyed hash gives both the same cost. Returns the id count."""
    count = min(size.n, 100_000)
    id_sets = {"quorl": colliding_ids(count), "random": random_ids(count)}
    declared: dict[str, list[int]] = {name: [] for name in id_sets}
    for _ in range(size.cheap_repeat):  # alternating, so both see the same machine
        for name, ids in id_sets.items():
            declared[name].append(time_once_ns(lambda ids=ids: declare_ids(ids)))
    calls = {}
    for name, ids in id_sets.items():
        size.put("crafted decl", name, declared[name])
        calls["crafted lookup", name] = ("f(x)", {"f": declare_ids(ids).state_of, "x": ids[-1]})
    size.put_calls(calls)
    return count
