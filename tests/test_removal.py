"""Removing nodes: what is left is the graph a fresh declaration of it gives,
the ids come back as new nodes, and a refused removal changes nothing."""

import sys

import pytest
from helpers import snapshot
from hypothesis import given, settings
from hypothesis import strategies as st
from model import STILL_DEPENDED_ON, UNKNOWN_NODE, quoted
from quorl import Graph

KINDS = ("input", "source", "reactive", "view")


def declared(nodes):
    """A graph declared afresh from (id, kind, deps) in registration order."""
    g = Graph()
    for node_id, kind, _ in nodes:
        g.add_node(node_id, kind)
    for node_id, _, deps in nodes:
        g.set_deps(node_id, deps)
    return g


def described(g):
    return [(i, g.kind_of(i), g.deps_of(i)) for i in g.node_ids()]


def chain(*ids, built=True):
    g = declared(
        [(a, "input" if k == 0 else "reactive", ids[k - 1 : k]) for k, a in enumerate(ids)]
    )
    if built:
        g.build()
    return g


# Each op is drawn as numbers and applied to whatever the graph holds then:
# add a node with deps among earlier ones (so the graph stays acyclic), give
# a node new deps, remove a node and everything below it, or build.
OPS = st.lists(
    st.tuples(
        st.sampled_from(["add", "add", "deps", "remove", "remove", "build"]),
        st.integers(0, 10**6),
        st.lists(st.integers(0, 10**6), max_size=3),
    ),
    max_size=60,
)


def apply(g, op, fresh_ids):
    what, k, picks = op
    ids = g.node_ids()
    if what == "add" or not ids:
        node_id = f"n{next(fresh_ids) % 12}"  # ids come back after their removal
        if node_id in g:
            return
        deps = [ids[p % len(ids)] for p in picks] if ids else []
        g.add_node(node_id, KINDS[k % 4])
        g.set_deps(node_id, deps)
    elif what == "deps":
        at = k % len(ids)
        g.set_deps(ids[at], [ids[p % at] for p in picks] if at else [])
    elif what == "remove":
        # Found from the deps, so that unbuilt graphs with edits pending lose nodes too.
        below = [ids[k % len(ids)]]
        for node_id in below:
            below += [i for i in ids if node_id in g.deps_of(i) and i not in below]
        g.remove_nodes(set(below) if k % 2 else below[::-1])
    else:
        g.build()


@settings(max_examples=150, deadline=None)
@given(OPS)
def test_a_churned_graph_is_a_fresh_declaration_of_what_is_left(ops):
    g = Graph()
    counter = iter(range(10**9))
    for op in ops:
        apply(g, op, counter)
    fresh = declared(described(g))
    if g.is_built():
        fresh.build()
    # Structure alone was written, so even the snapshots are byte for byte equal.
    assert g.to_bytes() == fresh.to_bytes()
    assert snapshot(g) == snapshot(fresh)
    g.build()
    fresh.build()
    assert g.to_bytes() == fresh.to_bytes()
    for node_id in g.node_ids():
        assert g.downstream(node_id) == fresh.downstream(node_id)
        assert g.dependents_of(node_id) == fresh.dependents_of(node_id)
    assert g.dirty_nodes() == fresh.dirty_nodes()
    assert g.views() == fresh.views()


def test_a_removed_id_comes_back_as_a_new_node_registered_last():
    g = declared([("x", "input", []), ("y", "input", []), ("v", "view", ["x"])])
    g.build()
    g.commit_input("x", 5)
    g.commit_node("v", 9)
    g.remove_nodes(["v", "x"])
    assert g.is_built() and g.node_ids() == ["y"] and len(g) == 1 and "x" not in g
    with pytest.raises(KeyError):
        g.state_of("x")
    g.add_node("x", "view")
    g.set_deps("x", ["y"])
    g.add_node("a", "input")
    g.build()
    # "x" sorts after "y", which it now depends on, and before "a", added after it.
    assert g.topo_order() == ["y", "x", "a"]
    assert g.state_of("x") == "dirty" and g.kind_of("x") == "view"
    assert g.check_node("x")[1] and g.needs_recompute("x", 0)


@pytest.mark.parametrize(
    ("ids", "error", "message"),
    [
        (["a"], ValueError, STILL_DEPENDED_ON.format(quoted("a"), quoted("b"))),
        (["c", "a"], ValueError, STILL_DEPENDED_ON.format(quoted("a"), quoted("b"))),
        (["b", "a"], ValueError, STILL_DEPENDED_ON.format(quoted("b"), quoted("c"))),
        (["c", "nope"], KeyError, UNKNOWN_NODE.format(quoted("nope"))),
    ],
)
@pytest.mark.parametrize("built", [True, False])
def test_a_refused_removal_changes_nothing(ids, error, message, built):
    g = chain("a", "b", "c", built=built)
    g.commit_input("a", 3)
    before, data = snapshot(g), g.to_bytes()
    with pytest.raises(error) as caught:
        g.remove_nodes(ids)
    assert caught.value.args == (message,)
    assert snapshot(g) == before and g.to_bytes() == data


def test_the_first_remaining_dependant_is_named():
    g = declared([("a", "input", []), ("z", "view", ["a"]), ("b", "view", ["a"])])
    with pytest.raises(ValueError, match='"z" depends on it'):
        g.remove_node("a")


@pytest.mark.parametrize(
    "ids",
    [
        ["c", "b"],
        ("b", "c", "b"),
        {"b", "c"},
        {"b": 1, "c": 2},
        frozenset(["c", "b"]),
        (i for i in ["c", "b"]),
    ],
)
def test_removal_takes_any_collection_in_any_order(ids):
    g = chain("a", "b", "c")
    g.remove_nodes(ids)
    assert g.node_ids() == ["a"] and g.topo_order() == ["a"]


def test_removing_nothing_changes_nothing_and_keeps_a_round():
    g = chain("a", "b")
    r = g.begin_round({"a": 1})
    g.remove_nodes([])
    assert not r.finished and r.ready() == [("b", g.check_node("b")[2])]


def test_a_removal_ends_an_open_round_and_the_next_round_picks_up_what_it_left():
    # "d" comes first, so removing it moves every other node down one place.
    g = declared(
        [("d", "input", []), ("a", "input", []), ("b", "reactive", ["a"]), ("c", "view", ["b"])]
    )
    g.build()
    r = g.begin_round({"a": 1, "d": 1})
    (handed,) = r.ready()
    assert handed[0] == "b"
    g.remove_node("d")
    assert "ended" in repr(r) or "closed" in repr(r)
    with pytest.raises(RuntimeError):
        r.ready()
    assert g.dirty_nodes() == ["b", "c"]
    r = g.begin_round({})
    assert [node_id for node_id, _ in r.ready()] == ["b"]
    r.done("b", True)
    assert [node_id for node_id, _ in r.ready()] == ["c"]
    r.done("c", False)
    assert r.finished and g.dirty_nodes() == []


def test_a_restored_graph_after_removals_matches():
    g = chain("a", "b", "c", "d")
    g.commit_input("a", 1)
    g.commit_node("b", g.check_node("b")[2])
    g.remove_nodes(["d", "c"])
    copy = Graph.from_bytes(g.to_bytes())
    assert snapshot(copy) == snapshot(g) and copy.to_bytes() == g.to_bytes()


def test_a_cycle_found_after_a_removal_starts_at_the_node_edited_last():
    g = declared([("a", "input", []), ("x", "reactive", []), ("y", "reactive", [])])
    g.set_deps("x", ["y"])
    g.set_deps("y", ["x"])
    g.remove_node("a")  # "y" moves down a place
    with pytest.raises(ValueError) as caught:
        g.build()
    assert caught.value.cycle == ["y", "x"]


def test_seeds_a_removal_leaves_unsettled_stay_seeds():
    g = declared([("d", "input", []), ("a", "input", []), ("b", "reactive", ["a"])])
    g.build()
    g.commit_input("a", 1)
    g.commit_node("b", g.check_node("b")[2])
    r = g.begin_round({}, ["b"])  # b's fold matches: only the seed hands it out
    g.remove_node("d")
    assert r.outstanding == 0 and g.dirty_nodes() == ["b"]
    assert [node_id for node_id, _ in g.begin_round({}).ready()] == ["b"]


def test_sessions_that_come_and_go_cost_no_memory_per_session():
    g = declared([(f"shared{i}", "input", []) for i in range(500)])
    g.build()
    fresh = sys.getsizeof(g)
    sizes = []
    for session in range(200):
        ids = [f"s{session}.{j}" for j in range(50)]
        for j, node_id in enumerate(ids):
            g.add_node(node_id, "reactive")
            g.set_deps(node_id, [f"shared{(session + j) % 500}", *ids[max(0, j - 1) : j]])
        g.build()
        g.remove_nodes(ids)
        sizes.append(sys.getsizeof(g))
    # The tables reach their peak within the first sessions and stay there.
    assert max(sizes[20:]) <= sizes[19]
    assert sys.getsizeof(Graph()) < fresh


def test_a_graph_s_size_counts_its_records_and_index():
    def size(n):
        return sys.getsizeof(declared([(f"n{i}", "input", []) for i in range(n)]))

    # Twice the nodes: twice the room for records (48 bytes each), index
    # slots (16 bytes, a third spare) and state bytes.
    assert size(2048) - size(1024) >= 1024 * (48 + 16 + 1)


def test_an_epoch_held_is_still_refused_to_another_node_after_a_removal():
    g = declared([("x", "input", []), ("a", "source", []), ("b", "source", [])])
    g.commit_node("a", 1)
    g.commit_node("b", 2)
    g.restore_node("a", 1, g.epoch_of("a"))  # the holders of epochs are indexed now
    g.remove_node("x")  # and every node moves down a place
    with pytest.raises(ValueError, match='is held by node "b"'):
        g.restore_node("a", 2, g.epoch_of("b"))
    assert [g.epoch_of(i) for i in ("a", "b")] == [1, 2]
