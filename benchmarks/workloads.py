"""The benchmark graphs: one random DAG per size from a fixed seed, declared
alike for quorl, the pure-Python implementation and the other libraries; the
inputs the update and propagation rows start from; and the fixed sequence of
calls (the self-check) every implementation of the Graph interface gets.

Node i ("n<i>") takes 0 to 6 distinct deps among nodes 0..i-1 (3 on average).
This module needs only quorl (networkx and rustworkx when installed), so the
test of the baselines loads it on its own.
"""

from __future__ import annotations

import pickle
import random
from collections import deque

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


# --------------------------------------------------------------------------- where rows start


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
