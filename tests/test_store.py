"""Node registration, dependency declaration and the read-only queries."""

import random
import re

import pytest
from helpers import snapshot
from model import (
    ALREADY_REGISTERED,
    INVALID_KIND,
    KINDS,
    SELF_DEPENDENCY,
    UNKNOWN_NODE,
    quoted,
)
from quorl._quorl import Graph


@pytest.fixture
def g():
    graph = Graph()
    for node, kind in zip("abcd", KINDS, strict=True):
        graph.add_node(node, kind)
    return graph


def test_insertion_order_and_fresh_nodes():
    ids = [f"n{i}" for i in range(500)]
    random.Random(7).shuffle(ids)  # a listing taken from a hash map would come out in another order
    g = Graph()
    for n, node in enumerate(ids):
        g.add_node(node, KINDS[n % 4])
    assert g.node_ids() == ids and len(g) == 500
    assert [(g.kind_of(i), g.state_of(i), g.deps_of(i)) for i in ids[:4]] == [
        (k, "dirty", []) for k in KINDS
    ]


@pytest.mark.parametrize(
    "kind", ["Input", "VIEW", " input", "input ", "", "inputs", "inp", "input\0", "\u0456nput"]
)
def test_kinds_are_exact_strings(kind):
    g = Graph()
    with pytest.raises(ValueError) as info:
        g.add_node("a", kind)
    assert info.value.args == (INVALID_KIND.format(quoted(kind)),)
    assert len(g) == 0 and "a" not in g


@pytest.mark.parametrize(
    ("deps", "stored"),
    [
        (["a", "b", "a"], ["a", "b"]),
        (["b", "a", "b", "a"], ["b", "a"]),
        (("c", "a"), ["c", "a"]),
        ([], []),
        (["a"] * 300 + ["b"], ["a", "b"]),
    ],
)
def test_set_deps_dedupes_keeping_first_mention(g, deps, stored):
    g.set_deps("d", deps)
    assert g.deps_of("d") == stored and g.deps_of("c") == []


def test_set_deps_replaces_clears_and_copies(g):
    deps = ["a", "b"]
    g.set_deps("d", deps)
    deps.append("c")
    g.deps_of("d").append("c")
    g.node_ids().clear()
    assert g.deps_of("d") == ["a", "b"] and g.node_ids() == list("abcd")
    g.set_deps("d", ["c", "a"])
    assert g.deps_of("d") == ["c", "a"]
    g.set_deps("d", [])
    assert g.deps_of("d") == [] and [g.state_of(i) for i in "abcd"] == ["dirty"] * 4
    # Forward edges and cycles are accepted here; cycles are refused when the graph is built.
    g.set_deps("a", ["d"])
    g.set_deps("d", ["a"])
    assert (g.deps_of("a"), g.deps_of("d")) == (["d"], ["a"])


@pytest.mark.parametrize(
    ("call", "exc", "message"),
    [
        (lambda g: g.set_deps("zz", ["c"]), KeyError, UNKNOWN_NODE.format('"zz"')),
        (lambda g: g.set_deps("zz", ["yy", "zz"]), KeyError, UNKNOWN_NODE.format('"zz"')),
        (lambda g: g.set_deps("c", ["zz", "c"]), KeyError, UNKNOWN_NODE.format('"zz"')),
        (lambda g: g.set_deps("c", ["c", "zz"]), ValueError, SELF_DEPENDENCY.format('"c"')),
        (lambda g: g.set_deps("c", ["a", "b", "yy", "zz"]), KeyError, UNKNOWN_NODE.format('"yy"')),
        (
            lambda g: g.set_deps("c", ["a", "a", "c"]),
            ValueError,
            SELF_DEPENDENCY.format('"c"'),
        ),
        (lambda g: g.set_deps("c", ["C"]), KeyError, UNKNOWN_NODE.format('"C"')),
        (lambda g: g.add_node("a", "view"), ValueError, ALREADY_REGISTERED.format('"a"')),
        (
            lambda g: g.add_node("b", "bogus"),
            ValueError,
            ALREADY_REGISTERED.format('"b"'),
        ),  # before the kind
        (
            lambda g: g.add_node("e", "Input"),
            ValueError,
            INVALID_KIND.format('"Input"'),
        ),
    ],
)
def test_failure_precedence_and_nothing_changes(g, call, exc, message):
    g.set_deps("c", ["d", "a"])
    before = snapshot(g)
    with pytest.raises(exc) as info:
        call(g)
    assert type(info.value) is exc and info.value.args == (message,)
    assert snapshot(g) == before


def test_empty_string_is_an_id(g):
    assert "" not in g
    g.add_node("", "source")
    assert "" in g and g.kind_of("") == "source" and g.node_ids()[-1] == ""
    g.set_deps("a", ["", "b"])
    assert g.deps_of("a") == ["", "b"]
    message = SELF_DEPENDENCY.format('""')
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        g.set_deps("", [""])


@pytest.mark.parametrize(
    ("one", "other"),
    [
        ("\u00e9", "e\u0301"),
        ("\u212b", "\u00c5"),  # no normalisation
        ("a", "A"),
        ("a", "\uff41"),  # no case or width folding
        ("a", "a\0"),
        ("a\0b", "a\0c"),  # an embedded NUL is part of the id
        ("\U0001f600", "\U0001f600 "),
    ],
)
def test_ids_compare_by_exact_text(one, other):
    g = Graph()
    g.add_node(one, "input")
    assert other not in g
    with pytest.raises(KeyError):
        g.kind_of(other)
    g.add_node(other, "view")
    g.set_deps(other, [one])
    assert g.node_ids() == [one, other] and (g.kind_of(one), g.kind_of(other)) == ("input", "view")
    assert (g.deps_of(one), g.deps_of(other)) == ([], [one])
