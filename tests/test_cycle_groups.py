"""Graph.cycle_groups(): every group of nodes that depend on each other."""

import contextlib

import pytest
from helpers import make_graph, snapshot
from hypothesis import given, settings
from hypothesis import strategies as st
from model import Model
from quorl import Graph


@st.composite
def edited_graphs(draw, max_nodes=12):
    """(ids, edits): nodes registered in order, then set_deps calls in order,
    each replacing a node's deps with any other nodes: cycles included."""
    n = draw(st.integers(1, max_nodes))
    ids = [f"n{i}" for i in draw(st.permutations(range(n)))]
    node = st.integers(0, n - 1)
    edits = [
        (ids[i], [ids[d] for d in draw(st.lists(node, max_size=4)) if d != i])
        for i in draw(st.lists(node, max_size=2 * n))
    ]
    return ids, edits


def declare(g, ids, edits):
    for node_id in ids:
        g.add_node(node_id, "reactive")
    for node_id, deps in edits:
        g.set_deps(node_id, deps)
    return g


@settings(max_examples=300, deadline=None)
@given(edited_graphs(), st.booleans())
def test_groups_match_the_reference_and_change_nothing(graph, try_build):
    ids, edits = graph
    g, model = declare(Graph(), ids, edits), declare(Model(), ids, edits)
    if try_build:
        with contextlib.suppress(ValueError):  # a cycle: the graph stays unbuilt
            g.build()
    before = snapshot(g)
    groups = g.cycle_groups()
    assert groups == model.cycle_groups()
    assert snapshot(g) == before
    assert g.cycle_groups() == groups
    # The graph builds exactly when there is no group.
    try:
        g.build()
        assert groups == []
    except ValueError:
        assert groups != []


@pytest.mark.parametrize(
    ("ids", "deps", "groups"),
    [
        # registered interleaved: groups by first member, members by registration
        (
            ["x", "p", "y", "q"],
            {"q": ["p"], "p": ["q"], "x": ["y"], "y": ["x"]},
            [["x", "y"], ["p", "q"]],
        ),
        # two cycles through one node are one group; the chain to it is not in it
        (
            ["s", "h", "u", "v", "w"],
            {"h": ["s", "u", "w"], "u": ["h"], "w": ["v"], "v": ["h"]},
            [["h", "u", "v", "w"]],
        ),
        # a group another one depends on: the walk finishes it first
        (
            ["a", "b", "c", "d"],
            {"a": ["b", "c"], "b": ["a"], "c": ["d"], "d": ["c"]},
            [["a", "b"], ["c", "d"]],
        ),
    ],
    ids=["interleaved", "figure-eight", "upstream"],
)
def test_groups_and_their_order(ids, deps, groups):
    g = make_graph(ids, deps, build=False)
    assert g.cycle_groups() == groups


@pytest.mark.parametrize("closed", [True, False], ids=["ring", "chain"])
def test_a_long_chain_needs_no_deep_stack(closed):
    n = 100_000
    g = make_graph([f"n{i}" for i in range(n)], build=False)
    for i in range(1, n):
        g.set_deps(f"n{i}", [f"n{i - 1}"])
    if closed:
        g.set_deps("n0", [f"n{n - 1}"])
    assert g.cycle_groups() == ([g.node_ids()] if closed else [])


def test_a_built_graph_stays_built_and_an_edit_that_closes_a_cycle_shows():
    g = make_graph(["a", "b", "c"], {"b": ["a"], "c": ["b"]})
    assert (g.cycle_groups(), g.is_built()) == ([], True)
    g.set_deps("a", ["c"])
    assert g.cycle_groups() == [["a", "b", "c"]]
    g.set_deps("a", [])
    g.build()
    assert (g.cycle_groups(), g.topo_order()) == ([], ["a", "b", "c"])


def test_a_round_goes_on_as_if_nothing_was_asked():
    # The call shares the traversal marks with the open round's walk.
    def finish(g, ask):
        with g.begin_round({"a": 2}) as r:
            for n, _ in r:
                if ask:
                    assert g.cycle_groups() == []
                r.done(n, n != "b")
        return snapshot(g), (r.handed_out, r.committed, r.skipped, r.settled)

    deps = {"b": ["a"], "c": ["b"], "d": ["a", "c"], "e": ["d"]}
    graphs = [make_graph([("a", "input"), "b", "c", "d", "e"], deps) for _ in range(2)]
    for g in graphs:
        with g.begin_round({"a": 1}) as r:
            for n, _ in r:
                r.done(n, True)
    assert finish(graphs[0], True) == finish(graphs[1], False)


@pytest.mark.parametrize(
    ("args", "kwargs"), [((1,), {}), ((), {"id": "a"}), ((None, None), {})], ids=str
)
def test_no_arguments_are_accepted(args, kwargs):
    g = make_graph(["a", "b"], {"a": ["b"]}, build=False)
    before = snapshot(g)
    with pytest.raises(TypeError) as expected:
        Model().cycle_groups(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        g.cycle_groups(*args, **kwargs)
    assert got.value.args == expected.value.args
    assert snapshot(g) == before
