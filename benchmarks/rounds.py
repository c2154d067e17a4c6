"""Update rounds driven by the kernel (Graph.begin_round) against the loops they replace.

Used by run.py, which prints the rows and checks the targets:
  - random DAG, one input whose change closure holds about 10% of the graph,
    every node handed out reported unchanged (so under 1% needs a value):
    a Round against the per-node protocol (check_node + skip_node per
    scheduled node), against a pure-Python driver over graphlib's
    TopologicalSorter on the same closure, and against mark_dirty alone;
  - ready() + done() per node handed out, against dict.get;
  - the main job's graph and first round, decisions recorded and replayed
    through a Round and through the per-node protocol.
"""

from __future__ import annotations

import random
from graphlib import TopologicalSorter

from quorl import Graph
from round_model import per_node_round, prime

CLOSURE_SHARE = (0.08, 0.12)  # of the graph, for the random-DAG round
WIDE = 1000  # nodes handed out in one batch, for ready()/done()


def pick_round_input(dag) -> tuple[int, set[int]]:
    """An input whose closure holds about CLOSURE_SHARE of the graph, with that closure."""
    low, high = (int(share * dag.n) for share in CLOSURE_SHARE)
    middle = (low + high) // 2
    dependents = dag.dependents()
    best: tuple[int, set[int]] = (-1, set())
    # Later nodes reach fewer: scan from early on until the closures get too small.
    for i in range(dag.n // 100, dag.n):
        if dag.kinds[i] != "input":
            continue
        seen, stack = {i}, [i]
        while stack and len(seen) <= high:
            for d in dependents[stack.pop()]:
                if d not in seen:
                    seen.add(d)
                    stack.append(d)
        if best[0] < 0 or abs(len(seen) - middle) < abs(len(best[1]) - middle):
            best = (i, seen)
        if low <= len(seen) <= high or len(seen) < low // 4:
            break
    return best


def kernel_round(g: Graph, hashes: dict, decide: dict) -> None:
    r = g.begin_round(hashes)
    done, get = r.done, decide.get
    for n, _ in r:
        done(n, get(n, False))


def seeded_round(g: Graph, seed: str) -> None:
    """A round that gives `seed` a value again, reported unchanged."""
    r = g.begin_round({}, (seed,))
    done = r.done
    for n, _ in r:
        done(n, False)


def graphlib_round(predecessors: dict, needs: set) -> None:
    """A pure-Python driver over TopologicalSorter on the same closure."""
    ts = TopologicalSorter(predecessors)
    ts.prepare()
    computed = 0
    while ts.is_active():
        ready = ts.get_ready()
        for n in ready:
            if n in needs:
                computed += 1
        ts.done(*ready)


def measure_random_round(dag, declare, repeat: int, clock) -> tuple[dict, dict]:
    """Per-closure-node times of each way to run the round; returns (samples, info)."""
    source, closure = pick_round_input(dag)
    ids = dag.ids
    graphs = {}
    for name in ("round", "per-node"):
        g = declare(Graph, dag)
        g.build()
        prime(g)
        graphs[name] = g
    source_id = ids[source]
    needs = {ids[d] for d in dag.dependents()[source]}
    predecessors = {ids[i]: [ids[d] for d in dag.deps[i] if d in closure] for i in closure}
    k = len(closure)
    samples: dict[str, list[float]] = {}
    h = 1

    def timed(fn, *args):
        t0 = clock()
        fn(*args)
        return (clock() - t0) / k

    for _ in range(repeat):
        h += 1
        hashes = {source_id: h}
        samples.setdefault("round", []).append(timed(kernel_round, graphs["round"], hashes, {}))
        samples.setdefault("per-node", []).append(
            timed(per_node_round, graphs["per-node"], hashes, {})
        )
        samples.setdefault("graphlib", []).append(timed(graphlib_round, predecessors, needs))
        samples.setdefault("mark_dirty", []).append(timed(graphs["round"].mark_dirty, [source_id]))
    r = graphs["round"].begin_round({source_id: h + 1})
    handed = sum(1 for n, _ in r if r.done(n, False) is None)
    info = {"source": source_id, "closure": k, "handed": handed}
    return samples, info


def measure_ready_done(repeat: int, clock) -> dict:
    """ready() + done() per node handed out, and dict.get over the same ids."""
    g = Graph()
    g.add_node("in", "input")
    ids = [f"w{i}" for i in range(WIDE)]
    for n in ids:
        g.add_node(n, "reactive")
        g.set_deps(n, ["in"])
    g.build()
    table = dict.fromkeys(ids, 0)
    get = table.get
    samples: dict[str, list[float]] = {"round": [], "dict.get": []}
    for h in range(repeat):
        r = g.begin_round({"in": h + 1})
        done = r.done
        t0 = clock()
        for n, _ in r.ready():
            done(n, False)
        samples["round"].append((clock() - t0) / WIDE)
        t0 = clock()
        for n in ids:
            get(n, False)
        samples["dict.get"].append((clock() - t0) / WIDE)
    return samples


def measure_main_job(repeat: int, clock) -> tuple[dict, dict]:
    """The main job's first round, its decisions replayed both ways."""
    from quorl import demo, stable_hash

    specs, inputs = demo.generate(5000, 0)
    engines = [demo.build_engine(specs, inputs) for _ in range(3)]
    for engine in engines:
        engine.set()
    live = engines[0]
    plan = demo.new_values(random.Random(1), live, sorted(inputs), 5)
    before = {n: live.get(n) for n in live.graph.node_ids()}
    scheduled = live.set(plan).scheduled
    # The engine's decisions: a node changed exactly when its value did.
    decide = {n: value != live.get(n) for n, value in before.items()}
    forward = {i: stable_hash(v) for i, v in plan.items()}
    back = {i: stable_hash(inputs[i]) for i in plan}
    samples: dict[str, list[float]] = {"round": [], "per-node": []}
    for k in range(repeat):
        hashes = forward if k % 2 == 0 else back
        for name, fn, engine in (
            ("round", kernel_round, engines[1]),
            ("per-node", per_node_round, engines[2]),
        ):
            t0 = clock()
            fn(engine.graph, hashes, decide)
            samples[name].append(clock() - t0)
    r = engines[1].graph.begin_round(forward if repeat % 2 == 0 else back)
    handed = sum(1 for n, _ in r if r.done(n, decide.get(n, False)) is None)
    return samples, {"scheduled": scheduled, "handed": handed}
