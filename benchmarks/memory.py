"""Memory per node: the RSS growth of declaring and building a saved graph,
each implementation measured in a fresh interpreter (this file run as a
script) so that memory freed by earlier work cannot absorb the growth. The
"churned" graph is the same one after as many nodes again came and went in
sessions, per live node: what removal gives back."""

from __future__ import annotations

import gc
import os
import random
import subprocess
import sys

from pure_python import PyGraph
from quorl import Graph
from workloads import Dag, declare, networkx, rustworkx


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


MEMORY_IMPLS = ("quorl", "churned", "pure", "networkx", "rustworkx")
SESSION = 50  # nodes a churned graph adds and then removes at a time


def churned_over_fresh(dag: Dag) -> float:
    """The graph's own bytes (sys.getsizeof: its tables, room to grow
    included) after the churn, against the same graph freshly declared:
    what the allocator does with freed memory aside, so the same in every run."""
    g = declare(Graph, dag)
    g.build()
    fresh = sys.getsizeof(g)
    churn(g, dag)
    return sys.getsizeof(g) / fresh


def churn(g, dag: Dag) -> None:
    """As many nodes as the graph holds come and go in sessions of SESSION,
    each hanging off random live nodes, built and then removed at once."""
    rng = random.Random(dag.n)
    for session in range(max(1, dag.n // SESSION)):
        ids = [f"session{session}.{j}" for j in range(SESSION)]
        for j, node_id in enumerate(ids):
            g.add_node(node_id, "reactive")
            deps = [dag.ids[rng.randrange(dag.n)] for _ in range(2)] + ids[max(0, j - 1) : j]
            g.set_deps(node_id, deps)
        g.build()
        g.remove_nodes(ids)


def memory_child(impl: str, path: str) -> None:
    """Print the RSS growth, in bytes, of declaring and building the saved graph,
    and its node count. Ids, deps lists and edges exist before the first reading."""
    dag = Dag.load(path)
    n = dag.n
    edges = dag.edges() if impl in ("networkx", "rustworkx") else None
    gc.collect()
    gc.disable()
    before = rss_bytes()
    if impl in ("quorl", "churned"):
        g = declare(Graph, dag)
        g.build()
        if impl == "churned":
            churn(g, dag)
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
    """Bytes per node, measured in a fresh interpreter."""
    proc = subprocess.run(
        [sys.executable, os.path.abspath(__file__), impl, path],
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


if __name__ == "__main__":
    memory_child(*sys.argv[1:])
