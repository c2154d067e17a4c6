"""Calls that cannot get memory raise MemoryError and leave the graph as it was.

Each case runs in one child process that builds its graphs, then lowers its
address-space limit to a little above what it already uses, makes the one call
and raises the limit again to compare the graph with what it was before.
"""

import json
import os
import sys

import pytest
from helpers import run_python

resource = pytest.importorskip("resource")

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS"),
    pytest.mark.skipif(
        "asan" in os.environ.get("LD_PRELOAD", "").lower(),
        reason="the sanitizer reserves address space of its own",
    ),
]

CHILD = r'''
    import gc, json, resource, sys
    from quorl._quorl import Graph

    MB = 1 << 20
    PAGE = resource.getpagesize()
    SOFT, HARD = resource.getrlimit(resource.RLIMIT_AS)

    def address_space():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * PAGE

    def limited(margin, call):
        """Runs call() with `margin` bytes of address space left; the class name of what it raised."""
        gc.collect()
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + margin, HARD))
        try:
            call()
            return None
        except BaseException as exc:
            return type(exc).__name__
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (SOFT, HARD))

    def listing(call):
        try:
            return call()
        except RuntimeError as exc:
            return str(exc)

    def state(g, full=True):
        ids = g.node_ids()
        order = listing(g.topo_order)
        picked = ids if full else ids[:3] + ids[-3:]
        return (ids, order, listing(g.dirty_nodes), [g.deps_of(i) for i in picked], [g.state_of(i) for i in picked],
                [g.check_node(i) for i in picked], [g.needs_recompute(i, 5) for i in picked])

    # Built at run time: one-character and literal strings may be immortal,
    # and the reference count of this one must show what the calls keep.
    BEE = "".join(["be", "e"])

    class Endless:
        """A sequence without a length that never ends."""
        def __getitem__(self, i):
            return BEE

    small = Graph()
    for node, kind in [("a", "input"), (BEE, "source"), ("c", "reactive")]:
        small.add_node(node, kind)
    small.set_deps("c", ["a", BEE])
    small.build()
    small.commit_input("a", 5)
    small.commit_node(BEE, 5)
    small.skip_node("c", 5)
    huge = "x" * (200 * MB)

    def star(n):
        """Every node depends on the hub, so one seed reaches them all."""
        g = Graph()
        g.add_node("hub", "input")
        for i in range(1, n):
            g.add_node(f"n{i}", "reactive")
            g.set_deps(f"n{i}", ["hub"])
        g.build()
        return g

    n = 500_000
    big = star(n)
    big.commit_input("hub", 5)
    for i in range(1, n):
        big.commit_node(f"n{i}", 5)
    big.dirty_subgraph(["hub"])  # sizes the traversal marks

    # Every node edited since the last build: build() has nothing to reuse
    # and places every node again.
    rewired = star(n)
    for i in range(1, n):
        rewired.set_deps(f"n{i}", ["hub"])

    cases = {
        "set_deps endless deps": (small, 16 * MB, lambda: small.set_deps("c", Endless())),
        "dirty_subgraph endless seeds": (small, 16 * MB, lambda: small.dirty_subgraph(Endless())),
        "mark_dirty endless seeds": (small, 16 * MB, lambda: small.mark_dirty(Endless())),
        "add_node huge id": (small, 100 * MB, lambda: small.add_node(huge, "source")),
        "kind_of huge unknown id": (small, 100 * MB, lambda: small.kind_of(huge)),
        "set_deps huge unknown dep": (small, 100 * MB, lambda: small.set_deps("c", ["a", huge])),
        "build large graph": (rewired, 1 * MB, rewired.build),
        "topo_order large result": (big, 1 * MB, big.topo_order),
        "node_ids large result": (big, 1 * MB, big.node_ids),
        "downstream large closure": (big, 1 * MB, lambda: big.downstream("hub")),
        "dirty_subgraph large closure": (big, 1 * MB, lambda: big.dirty_subgraph(["hub"])),
        "mark_dirty large closure": (big, 1 * MB, lambda: big.mark_dirty(["hub"])),
        # room for the closure, not for the result list of 500k new strings
        "mark_dirty large result": (big, 12 * MB, lambda: big.mark_dirty(["n1", "hub"])),
        "cycle_groups large graph": (big, 1 * MB, big.cycle_groups),
    }
    expected = {id(g): state(g, full=g is small) for g in (small, big, rewired)}
    refs = sys.getrefcount(BEE)
    results = {}
    for name, (g, margin, call) in cases.items():
        raised = limited(margin, call)
        results[name] = {"raised": raised, "unchanged": state(g, full=g is small) == expected[id(g)],
                         "refs": sys.getrefcount(BEE) - refs}

    # Fully usable afterwards.
    assert huge not in small and len(big) == n
    small.add_node(huge, "source")
    small.set_deps("c", ["a", BEE, huge])
    small.build()
    assert small.mark_dirty(["a"]) == ["a", "c"] and small.deps_of("c") == ["a", BEE, huge]
    assert len(big.mark_dirty(["hub"])) == n and len(big.dirty_nodes()) == n
    big.add_node("tail", "view")
    big.set_deps("tail", ["n1", "hub"])
    big.build()
    assert big.topo_order()[-2:] == [f"n{n - 1}", "tail"] and big.downstream("n1") == ["tail"]
    print(json.dumps(results))
'''

CASES = [
    "set_deps endless deps",
    "dirty_subgraph endless seeds",
    "mark_dirty endless seeds",
    "add_node huge id",
    "kind_of huge unknown id",
    "set_deps huge unknown dep",
    "build large graph",
    "topo_order large result",
    "node_ids large result",
    "downstream large closure",
    "dirty_subgraph large closure",
    "mark_dirty large closure",
    "mark_dirty large result",
    "cycle_groups large graph",
]


@pytest.fixture(scope="module")
def results():
    # Large blocks come straight from the system and go back to it when
    # freed, so the address space in use tells how much room a call has.
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536", MALLOC_TRIM_THRESHOLD_="65536")
    return json.loads(run_python(CHILD, env=env).splitlines()[-1])


def test_every_case_ran(results):
    assert sorted(results) == sorted(CASES)


@pytest.mark.parametrize("case", CASES)
def test_memory_error_leaves_graph_unchanged(results, case):
    assert results[case] == {"raised": "MemoryError", "unchanged": True, "refs": 0}
