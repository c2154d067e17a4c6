"""Build, the cached topological order and the ordered listings."""

import contextlib
import re

import pytest
from helpers import make_graph as make
from hypothesis import given, settings
from hypothesis import strategies as st
from model import CYCLE, NOT_BUILT


def assert_not_built(g):
    for listing in (g.topo_order, g.views, g.dirty_nodes):
        with pytest.raises(RuntimeError) as info:
            listing()
        assert info.value.args == (NOT_BUILT,)


@pytest.mark.parametrize(
    ("nodes", "deps", "order"),
    [
        ("", {}, []),
        ("abc", {}, ["a", "b", "c"]),
        ("ab", {"a": ["b"]}, ["b", "a"]),
        ("xyz", {"x": ["y"]}, ["y", "x", "z"]),  # newly ready x overtakes z
        ("cba", {"c": ["b"], "b": ["a"]}, ["a", "b", "c"]),
        ("abc", {"a": ["b", "c"]}, ["b", "c", "a"]),
        ("abc", {"a": ["c", "b"]}, ["b", "c", "a"]),  # deps order is irrelevant
        ("pqr", {"p": ["r"]}, ["q", "r", "p"]),
    ],
)
def test_topo_order(nodes, deps, order):
    g = make(list(nodes), deps)
    assert g.topo_order() == order
    g.build()
    assert g.topo_order() == order


@pytest.mark.parametrize(
    ("nodes", "deps", "listed"),
    [
        (["a", "b", "c", "d"], {"a": ["b"], "b": ["a"], "c": ["a"]}, "a, b, c"),
        # downstream of the cycle through another node, registered before it; r is placed
        (
            ["p", "q", "r", "s", "t"],
            {"t": ["s"], "s": ["t", "r"], "p": ["q"], "q": ["t"]},
            "p, q, s, t",
        ),
        (
            ["x", 'q"1', "n\nl", "b\\s"],
            {'q"1': ["n\nl"], "n\nl": ["b\\s"], "b\\s": ['q"1']},
            'q"1, n\nl, b\\s',
        ),
    ],
)
def test_cycle_lists_unplaceable_nodes(nodes, deps, listed):
    g = make(nodes, deps, build=False)
    assert_not_built(g)
    with pytest.raises(ValueError) as info:
        g.build()
    assert type(info.value) is ValueError
    assert info.value.args == (CYCLE.format(listed),)
    assert_not_built(g)


def test_failed_build_then_fix():
    g = make(["a", "b", "c"], {"b": ["a"], "c": ["b"]})
    g.set_deps("a", ["c"])
    with pytest.raises(ValueError, match=r"involving: a, b, c$"):
        g.build()
    assert_not_built(g)
    with pytest.raises(RuntimeError, match=f"^{re.escape(NOT_BUILT)}$"):
        g.downstream("a")
    for node, deps in [("a", []), ("c", []), ("b", ["c"])]:
        g.set_deps(node, deps)
    g.build()
    assert (g.topo_order(), g.downstream("c")) == (["a", "c", "b"], ["b"])


@pytest.mark.parametrize(
    ("change", "clears"),
    [
        (lambda g: g.add_node("e", "view"), True),
        (lambda g: g.set_deps("d", ["b", "c"]), True),  # repeats the current deps
        (lambda g: g.set_deps("a", []), True),  # already empty
        (lambda g: g.add_node("a", "view"), False),
        (lambda g: g.add_node("e", "Input"), False),
        (lambda g: g.set_deps("d", ["zz"]), False),
        (lambda g: g.set_deps("d", ["a", "d"]), False),
        (lambda g: g.set_deps("zz", []), False),
        (lambda g: g.commit_node("zz", 1), False),
        (lambda g: g.mark_dirty(["a", "zz"]), False),
        (
            lambda g: (
                g.set_dirty("a"),
                g.set_computing("a"),
                g.set_clean("a", 1),
                g.commit_node("b", 1),
                g.skip_node("b", 1),
                g.commit_input("a", 1),
                g.mark_dirty(["a"]),
                g.dirty_subgraph(["a"]),
                g.downstream("a"),
                g.check_node("d"),
                g.needs_recompute("d", 1),
                g.build(),
            ),
            False,
        ),
    ],
)
def test_built_flag(change, clears):
    g = make(
        [("a", "input"), ("b", "reactive"), ("c", "source"), ("d", "view")],
        {"b": ["a"], "d": ["b", "c"]},
    )
    order = g.topo_order()
    with contextlib.suppress(KeyError, ValueError):
        change(g)
    if clears:
        assert_not_built(g)
        g.build()
    assert g.topo_order() == order + ["e"] * ("e" in g)


def test_views_and_dirty_nodes_follow_the_order():
    g = make(
        [("v", "view"), ("w", "view"), ("i", "input"), ("u", "reactive")],
        {"v": ["w", "i"], "w": ["u"]},
    )
    assert g.topo_order() == ["i", "u", "w", "v"]
    assert g.views() == ["w", "v"]
    assert g.dirty_nodes() == ["i", "u", "w", "v"]
    g.set_clean("u", 0), g.set_computing("i")
    assert g.dirty_nodes() == ["w", "v"]
    g.build()
    assert [g.state_of(n) for n in "vwiu"] == ["dirty", "dirty", "computing", "clean"]
    g.add_node("x", "view"), g.set_deps("w", ["x", "u"]), g.build()
    assert (g.views(), g.dirty_nodes()) == (["x", "w", "v"], ["x", "w", "v"])


def smallest_order(deps):
    """Brute-force greedy: the smallest unplaced index whose deps are all placed."""
    order = []
    while ready := [
        i for i in range(len(deps)) if i not in order and set(order).issuperset(deps[i])
    ]:
        order.append(ready[0])
    return order


@st.composite
def digraphs(draw):
    # deps per node index; acyclic ones follow a hidden order, so deps point both ways
    n, acyclic = draw(st.integers(0, 12)), draw(st.booleans())
    rank = draw(st.permutations(range(n)))
    allowed = [
        [j for j in range(n) if (rank[j] < rank[i] if acyclic else j != i)] for i in range(n)
    ]
    return [
        draw(st.lists(st.sampled_from(a), unique=True, max_size=4)) if a else [] for a in allowed
    ]


@settings(max_examples=300, deadline=None)
@given(digraphs())
def test_order_is_lexicographically_smallest(deps):
    ids = [f"n{i}" for i in range(len(deps))]
    g = make(ids, {ids[i]: [ids[d] for d in ds] for i, ds in enumerate(deps)}, build=False)
    expected = [ids[i] for i in smallest_order(deps)]
    if len(expected) == len(deps):
        g.build()
        assert g.topo_order() == expected
    else:
        with pytest.raises(ValueError) as info:
            g.build()
        assert info.value.args == (CYCLE.format(", ".join(i for i in ids if i not in expected)),)
