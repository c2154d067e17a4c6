"""The benchmarks' targets: each a ratio (or a figure) measured in one run and
its limit. run.py and engine.py print each with pass or FAIL in a closing
"targets" section; a miss never changes the exit status, since timings on a
shared machine are not a test. Ratios compare two figures taken side by side
in the same run, so machine noise mostly cancels out of them.

The kernel's 10^6-node targets are checked at the largest size that ran, and
the section says so when that is less (run.py --million).
"""

from __future__ import annotations

from typing import NamedTuple


class Target(NamedTuple):
    limit: float
    higher: bool  # the value must reach the limit (else: stay within it)
    unit: str = ""  # how engine.py prints value and limit

    def met(self, value: float) -> bool:
        return value >= self.limit if self.higher else value <= self.limit

    @property
    def sign(self) -> str:
        return ">=" if self.higher else "<="


AT_LEAST, AT_MOST = True, False

KERNEL = {
    # build() at 10^6 nodes against the libraries' sorts of the same graph.
    "build / rustworkx topological_sort": Target(1.0, AT_LEAST),
    "build / networkx lexicographical_topological_sort": Target(30, AT_LEAST),
    # commit_input, mark_dirty, check_node + commit_node per scheduled node.
    "update round: pure Python / quorl": Target(10, AT_LEAST),
    # Hot calls against dict.get on a dict of the same ids.
    "state_of / dict.get": Target(1.5, AT_MOST),
    "needs_recompute / dict.get": Target(1.5, AT_MOST),
    "commit_node / dict.get": Target(2, AT_MOST),
    "check_node / dict.get": Target(3, AT_MOST),
    # downstream, dirty_subgraph and a seeded round of a ~10-node closure:
    # the same cost at 10^6 nodes as at 10^3.
    "propagation: 10^6 / 10^3": Target(1.5, AT_MOST),
    # RSS growth over declaration plus build, ids and 3 deps per node included.
    "memory, bytes per node": Target(150, AT_MOST),
    # The graph's own bytes (sys.getsizeof) after as many nodes again were
    # added and removed in sessions of 50 (memory.py), against fresh.
    "memory: churned / fresh": Target(1.2, AT_MOST),
    "snapshot: to_bytes / build": Target(2, AT_MOST),
    "snapshot: from_bytes / build": Target(2, AT_MOST),
    "snapshot bytes / in-memory bytes": Target(2, AT_MOST),
    # add_node + set_deps for every node.
    "declaration: pure Python / quorl": Target(5, AT_LEAST),
    # Graph.begin_round, one input whose closure holds ~10% of the graph, under
    # 1% of it handed out (rounds.py).
    "round: per-node protocol / Round": Target(20, AT_LEAST),
    "round: graphlib driver / Round": Target(50, AT_LEAST),
    "round: mark_dirty / Round": Target(0.5, AT_LEAST),
    "ready + done / dict.get": Target(4, AT_MOST),
    # The main job's first round, its decisions replayed.
    "main job round: Round / per-node protocol": Target(0.125, AT_MOST),
    # Ids crafted to collide under an unkeyed hash (tests/crafted_ids.py)
    # against random ids of the same length, to declare and to look up.
    "crafted ids / random ids": Target(2, AT_MOST),
    # Structural edits, each followed by build(), against a full build().
    "edit: earlier / build": Target(0.01, AT_MOST),
    "edit: append / build": Target(0.01, AT_MOST),
    "edit: forward / build": Target(0.1, AT_MOST),
    "edit: would_cycle / build": Target(0.01, AT_MOST),
}

ENGINE = {
    # Engine.set against the bare round loop, which includes the node functions.
    "Engine.set / bare loop": Target(1.5, AT_MOST, "x"),
    "engine overhead per node": Target(2, AT_MOST, " us"),
    # Engine.set per round against the same logic over other round drivers.
    "other engines / Engine.set": Target(10, AT_LEAST, "x"),
    # 1 ms sleeping functions: 4 threads against one.
    "4 threads / one thread": Target(0.35, AT_MOST, "x"),
    # Engine.load of a file saved after the first computation, then its first
    # round, against the first computation.
    "first computation / warm first round": Target(10, AT_LEAST, "x"),
}
