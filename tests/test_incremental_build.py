"""build() after edits gives exactly what a fresh build gives; cycle paths,
is_built and dependents_of.

The reference for every build is a new Graph declared with the same nodes and
deps, whose first build places every node.
"""

import itertools
import os
import random
from collections import deque

import pytest
from helpers import make_graph
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from model import ALREADY_BORROWED
from quorl._quorl import Graph

EXAMPLES = int(os.environ.get("QUORL_MODEL_EXAMPLES", "150"))
NOT_BUILT = "graph has not been built; call build() after registering nodes"


def fresh_copy(g):
    copy = Graph()
    ids = g.node_ids()
    for node in ids:
        copy.add_node(node, g.kind_of(node))
    for node in ids:
        copy.set_deps(node, g.deps_of(node))
    return copy


def build_outcome(g):
    try:
        g.build()
    except ValueError as exc:
        return "cycle", exc.args, exc.cycle
    return "built", g.topo_order(), None


def assert_is_cycle(g, path):
    assert path and len(set(path)) == len(path)
    for k, node in enumerate(path):
        assert path[k - 1] in g.deps_of(node)


def downstream_distance(g, source, targets):
    """Edges from source along dependents to the nearest of targets, or None."""
    dependents = {}
    for node in g.node_ids():
        for d in g.deps_of(node):
            dependents.setdefault(d, []).append(node)
    seen, queue = {source}, deque([(source, 0)])
    while queue:
        node, distance = queue.popleft()
        for j in dependents.get(node, []):
            if j in targets:
                return distance + 1
            if j not in seen:
                seen.add(j)
                queue.append((j, distance + 1))
    return None


def check_against_fresh(g):
    reference = build_outcome(fresh_copy(g))
    outcome = build_outcome(g)
    assert outcome[:2] == reference[:2]
    assert g.is_built() == (outcome[0] == "built")
    if outcome[0] == "cycle":
        assert_is_cycle(g, outcome[2])
        return
    order = g.topo_order()
    for node in order:
        assert g.dependents_of(node) == [x for x in order if node in g.deps_of(x)]


@st.composite
def edit_sessions(draw):
    """A random DAG (deps on earlier nodes only), then rounds of edits each
    followed by a build: new nodes, deps rewired anywhere (forward references
    and cycles included), and cycles repaired."""
    n = draw(st.integers(1, 30))
    deps = [draw(st.lists(st.integers(0, max(i - 1, 0)), max_size=min(i, 4))) for i in range(n)]
    rounds = draw(st.lists(st.lists(st.tuples(st.sampled_from("adr"), st.data())), max_size=6))
    return n, deps, rounds


@settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(edit_sessions())
def test_builds_after_edits_equal_a_fresh_build(session):
    n, deps, rounds = session
    g = Graph()
    for i in range(n):
        g.add_node(f"n{i}", "reactive")
    for i, node_deps in enumerate(deps):
        g.set_deps(f"n{i}", [f"n{d}" for d in node_deps if d != i])
    check_against_fresh(g)
    for edits in rounds:
        for what, data in edits:
            ids = g.node_ids()
            if what == "a":  # a new node, sometimes with deps, sometimes a dep of an old one
                new = f"n{len(ids)}"
                g.add_node(new, "view")
                g.set_deps(new, data.draw(st.lists(st.sampled_from(ids), max_size=3)))
                if data.draw(st.booleans()):
                    old = data.draw(st.sampled_from(ids))
                    g.set_deps(old, [*g.deps_of(old), new])
            elif what == "d":  # rewire: any deps, so forward references and cycles too
                node = data.draw(st.sampled_from(ids))
                others = [x for x in ids if x != node]
                new_deps = (
                    data.draw(st.lists(st.sampled_from(others), max_size=4)) if others else []
                )
                cycle = g.would_cycle(node, new_deps)
                distance = downstream_distance(g, node, set(new_deps))
                assert (cycle is None) == (distance is None)
                if cycle is not None:
                    assert cycle[0] == node and cycle[-1] in new_deps and len(cycle) == distance + 1
                    assert len(set(cycle)) == len(cycle)
                    assert all(a in g.deps_of(b) for a, b in itertools.pairwise(cycle))
                g.set_deps(node, new_deps)
            else:  # repair: drop the deps of a node on a cycle, if there is one
                outcome = build_outcome(g)
                if outcome[0] == "cycle":
                    g.set_deps(data.draw(st.sampled_from(outcome[2])), [])
        check_against_fresh(g)


@pytest.mark.parametrize(
    ("edit", "order"),
    [
        # deps placed earlier than the node: the order stands
        (lambda g: g.set_deps("d", ["a", "b"]), ["a", "b", "c", "d", "e"]),
        # a forward reference moves the node and what depends on it
        (lambda g: g.set_deps("b", ["a", "e"]), ["a", "d", "e", "b", "c"]),
        # dropping the only dep lets a node move up
        (lambda g: g.set_deps("c", []), ["a", "b", "c", "d", "e"]),
        # a new node that an old node now needs is placed before it
        (
            lambda g: (g.add_node("f", "input"), g.set_deps("c", ["b", "f"])),
            ["a", "b", "d", "e", "f", "c"],
        ),
        # a new node with late deps goes at the end
        (
            lambda g: (g.add_node("f", "input"), g.set_deps("f", ["e"])),
            ["a", "b", "c", "d", "e", "f"],
        ),
    ],
)
def test_order_after_one_edit(edit, order):
    # a <- b <- c, d independent, e <- d
    g = Graph()
    for node in "abcde":
        g.add_node(node, "reactive")
    g.set_deps("b", ["a"])
    g.set_deps("c", ["b"])
    g.set_deps("e", ["d"])
    g.build()
    edit(g)
    assert not g.is_built()
    g.build()
    reference = fresh_copy(g)
    reference.build()
    assert g.topo_order() == order == reference.topo_order()
    assert g.is_built()


def test_cycle_error_names_the_short_cycle_and_keeps_its_message():
    g = Graph()
    ids = [f"a, {i}" for i in range(2000)]  # ids with ", " in them
    for node in ids:
        g.add_node(node, "reactive")
    for i in range(1, len(ids)):
        g.set_deps(ids[i], [ids[i - 1]])
    g.build()
    g.set_deps(ids[10], [ids[9], ids[11]])  # closes the cycle 10 -> 11 -> 10
    with pytest.raises(ValueError) as caught:
        g.build()
    assert caught.value.args == ("dependency cycle detected involving: " + ", ".join(ids[10:]),)
    assert caught.value.cycle == [ids[10], ids[11]]
    assert not g.is_built()
    # The order of the last successful build is not touched by the failure.
    g.set_deps(ids[10], [ids[9]])
    g.build()
    assert g.topo_order() == ids


def test_cycle_path_goes_through_the_last_edited_node():
    # x <-> y is a cycle, and a -> b -> c -> d -> a (a's deps set last) another.
    deps = {"x": ["y"], "y": ["x"], "b": ["a"], "c": ["b"], "d": ["c"], "a": ["d"]}
    g = make_graph("abcdxy", deps, build=False)
    with pytest.raises(ValueError) as caught:
        g.build()
    assert caught.value.cycle == ["a", "b", "c", "d"]


def test_would_cycle_changes_nothing_and_prefers_the_shortest_cycle():
    g = make_graph("abcde", {"b": ["a"], "c": ["b"], "d": ["c"], "e": ["a"]}, build=False)
    # Before any build: the reverse edges are derived on demand.
    assert g.would_cycle("a", ["d", "e"]) == ["a", "e"]
    assert not g.is_built()
    g.build()
    order = g.topo_order()
    assert g.would_cycle("a", ["d"]) == ["a", "b", "c", "d"]
    assert g.would_cycle("b", ["e", "a"]) is None
    assert g.would_cycle("e", []) is None
    assert g.is_built() and g.topo_order() == order
    g.set_deps("e", ["a", "c"])  # kept current by set_deps between builds
    assert g.would_cycle("c", ["e"]) == ["c", "e"]


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda g: g.would_cycle("zz", ["a"]), KeyError, 'unknown node: "zz"'),
        (lambda g: g.would_cycle("a", ["b", "zz"]), KeyError, 'unknown node: "zz"'),
        (lambda g: g.would_cycle("a", ["b", "a"]), ValueError, None),
        (lambda g: g.would_cycle("a", "b"), TypeError, "argument 'deps': "),
        (lambda g: g.would_cycle(1, ["b"]), TypeError, "argument 'id': "),
        (lambda g: g.dependents_of("zz"), KeyError, 'unknown node: "zz"'),
        (lambda g: g.dependents_of(b"a"), TypeError, "argument 'id': "),
        (lambda g: g.is_built(1), TypeError, None),
    ],
)
def test_bad_arguments_leave_the_graph_as_it_was(call, error, message):
    g = Graph()
    for node in "abc":
        g.add_node(node, "input")
    g.set_deps("b", ["a"])
    g.build()
    with pytest.raises(error) as caught:
        call(g)
    if message is not None:
        assert str(caught.value.args[0]).startswith(message)
    assert g.is_built() and g.topo_order() == ["a", "b", "c"] and g.deps_of("b") == ["a"]
    if error is ValueError:
        with pytest.raises(ValueError) as refused:
            g.set_deps("a", ["b", "a"])
        assert refused.value.args == caught.value.args


def test_is_built_and_dependents_of_follow_the_build_state():
    g = Graph()
    assert not g.is_built()
    g.add_node("a", "input")
    g.add_node("b", "view")
    g.add_node("c", "view")
    g.set_deps("c", ["a"])
    g.set_deps("b", ["c", "a"])
    with pytest.raises(RuntimeError) as caught:
        g.dependents_of("a")
    assert caught.value.args == (NOT_BUILT,)
    g.build()
    assert g.is_built() and g.dependents_of("a") == ["c", "b"] and g.dependents_of("b") == []
    with pytest.raises(ValueError):
        g.add_node("a", "input")  # refused: still built
    assert g.is_built()
    g.add_node("d", "input")
    assert not g.is_built()


def test_reentrant_edit_during_would_cycle_is_refused():
    g = Graph()
    g.add_node("a", "input")
    g.add_node("b", "input")
    g.build()

    class Sneaky:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError
            g.set_deps("a", ["b"])
            return "b"

    with pytest.raises(RuntimeError, match=ALREADY_BORROWED):
        g.would_cycle("a", Sneaky())
    assert g.is_built() and g.deps_of("a") == []


# ---- the reverse edges kept by set_deps on a built graph ------------------------

# The reverse-edge pool is compacted only past this many entries, and set_deps
# compares the old and new deps pairwise only while their sizes' product is
# at most SCAN_PRODUCT; beyond, through the visit marks.
POOL_COMPACTS_ABOVE = 1024
SCAN_PRODUCT = 256


def assert_reverse_edges_fresh(g, probes=()):
    """Builds g and a fresh copy; the reverse edges, what lies downstream of
    `probes` and the order must be the same."""
    reference = fresh_copy(g)
    reference.build()
    g.build()
    assert g.topo_order() == reference.topo_order()
    ids = g.node_ids()
    assert [g.dependents_of(n) for n in ids] == [reference.dependents_of(n) for n in ids]
    assert [g.downstream(n) for n in probes] == [reference.downstream(n) for n in probes]


def test_reverse_edges_stay_exact_through_many_edits_of_a_built_graph():
    # More edges than the pool's compaction size, then rows moved and grown
    # one edit after another, new nodes among them, checked after every build.
    rng = random.Random(11)
    size = POOL_COMPACTS_ABOVE + 200
    g = make_graph([f"n{i}" for i in range(size)], build=False)
    for i in range(1, size):
        g.set_deps(f"n{i}", [f"n{d}" for d in rng.sample(range(i), min(i, 2))])
    assert_reverse_edges_fresh(g)
    hubs = [f"n{i}" for i in range(8)]
    for step in range(30):
        ids = g.node_ids()
        for _ in range(8):  # a few hubs gain many dependants, others lose theirs
            i = rng.randrange(len(hubs), len(ids))
            deps = rng.sample(hubs, rng.randrange(len(hubs))) + rng.sample(ids[:i], 2)
            g.set_deps(ids[i], [d for d in dict.fromkeys(deps) if d != ids[i]])
        if step % 5 == 0:
            new = f"x{step}"
            g.add_node(new, "view")
            g.set_deps(new, rng.sample(ids, 3))
        assert_reverse_edges_fresh(g, probes=hubs[:2])


def deps_range(first, count):
    return [f"d{i}" for i in range(first, first + count)]


LONG = 300
SHORT = 17  # SHORT * SHORT passes SCAN_PRODUCT: the marks compare them


@pytest.mark.parametrize(
    ("old", "new"),
    [
        (deps_range(0, LONG), deps_range(LONG // 2, LONG)),  # overlapping
        (deps_range(0, LONG), deps_range(LONG, LONG)),  # disjoint
        (deps_range(0, LONG), deps_range(0, 2 * LONG)),  # a superset
        (deps_range(0, 2 * LONG), deps_range(LONG // 3, LONG // 3)),  # a subset
        (deps_range(0, LONG)[::-1], deps_range(0, LONG)),  # the same, reordered
        (deps_range(0, LONG), []),
        ([], deps_range(0, LONG)),
        (deps_range(0, SHORT), deps_range(SHORT // 2, SHORT)),
        (deps_range(0, SHORT), deps_range(SHORT, 1)),
    ],
    ids=[
        "overlap",
        "disjoint",
        "superset",
        "subset",
        "reordered",
        "cleared",
        "from none",
        "short overlap",
        "short to one",
    ],
)
def test_set_deps_replacing_long_lists_keeps_the_reverse_edges(old, new):
    assert SHORT * SHORT > SCAN_PRODUCT
    g = make_graph([f"d{i}" for i in range(2 * LONG)] + ["x", "y"], build=False)
    g.set_deps("x", old)
    g.set_deps("y", old[: len(old) // 2])  # shares runs with x
    assert_reverse_edges_fresh(g)
    for deps in (new, old, new):  # there and back, on the rows moved before
        g.set_deps("x", deps)
        assert_reverse_edges_fresh(g, probes=["d0", f"d{LONG}"])
