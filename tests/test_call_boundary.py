"""Argument binding, conversion, wrapping and access at every method call."""

import sys

import pytest
from helpers import ItemSeq as Seq
from model import (
    ALREADY_BORROWED,
    ALREADY_MUTABLY_BORROWED,
    NOT_A_SEQUENCE,
    NOT_A_STR,
    STR_AS_SEQUENCE,
)
from quorl._quorl import Graph


@pytest.fixture
def g():
    graph = Graph()
    for node in "abc":
        graph.add_node(node, "reactive")
    return graph


def failing(exc, where="next"):
    """A sequence whose own iteration raises exc, at once or after one element."""

    def elements():
        yield "a"
        raise exc

    iterate = (lambda self: raise_(exc)) if where == "iter" else (lambda self: elements())
    return type("Failing", (Seq,), {"__iter__": iterate})(["a"])


def raise_(exc):
    raise exc


MORE, MISSING = "positional arguments but", "missing 1 required positional argument:"
STR, SEQ = NOT_A_STR, NOT_A_SEQUENCE


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda g: g.add_node("a", "b", "c", x=1), f"Graph.add_node() takes 2 {MORE} 3 were given"),
        (lambda g: g.state_of("a", "b"), f"Graph.state_of() takes 1 {MORE} 2 were given"),
        (lambda g: Graph(1, x=1), f"Graph.__new__() takes 0 {MORE} 1 was given"),
        (lambda g: Graph(x=1), "Graph.__new__() got an unexpected keyword argument 'x'"),
        (
            lambda g: g.add_node("a", "b", **{"\ud800": 1}),
            "Graph.add_node() got an unexpected keyword argument '\ud800'",
        ),
        (
            lambda g: g.add_node("a", "input", kind="view"),
            "Graph.add_node() got multiple values for argument 'kind'",
        ),
        (
            lambda g: g.add_node(1),
            f"Graph.add_node() {MISSING} 'kind'",
        ),  # binding before conversion
        (
            lambda g: g.set_deps(),
            "Graph.set_deps() missing 2 required positional arguments: 'id' and 'deps'",
        ),
        (lambda g: g.add_node(1, 2), f"argument 'id': 'int' {STR}"),
        (
            lambda g: g.add_node("a", 2.5),
            f"argument 'kind': 'float' {STR}",
        ),  # before the duplicate id
        (
            lambda g: g.deps_of(type("Inner", (), {"__qualname__": "Outer.Inner"})()),
            f"argument 'id': 'Outer.Inner' {STR}",
        ),
        (lambda g: g.set_deps("zz", "x"), f"argument 'deps': {STR_AS_SEQUENCE}"),
        (
            lambda g: g.set_deps("a", type("S", (str,), {})("b")),
            f"argument 'deps': {STR_AS_SEQUENCE}",
        ),
        (lambda g: g.set_deps("zz", ["b", 2]), f"argument 'deps': 'int' {STR}"),
        (lambda g: g.set_deps("a", {"b"}), f"argument 'deps': 'set' {SEQ}"),
        (lambda g: g.set_deps("a", {"b": 1}), f"argument 'deps': 'dict' {SEQ}"),
        (lambda g: g.set_deps("a", iter(["b"])), f"argument 'deps': 'list_iterator' {SEQ}"),
        (lambda g: g.set_deps("a", (d for d in ["b"])), f"argument 'deps': 'generator' {SEQ}"),
    ],
)
def test_type_error_messages(g, call, message):
    with pytest.raises(TypeError) as info:
        call(g)
    assert (
        type(info.value) is TypeError
        and str(info.value) == message
        and info.value.__cause__ is None
    )
    assert g.node_ids() == ["a", "b", "c"] and g.deps_of("a") == []


def test_keywords_in_any_order_and_str_subclasses():
    g, S = Graph(), type("S", (str,), {})
    g.add_node(kind="input", id="a")
    g.add_node(S("b"), kind=S("view"))
    g.set_deps(deps=[S("a")], id=S("b"))
    assert (g.kind_of(id="a"), g.deps_of(id="b"), g.state_of(id="b")) == ("input", ["a"], "dirty")
    assert type(g.deps_of("b")[0]) is str and type(g.node_ids()[1]) is str


@pytest.mark.parametrize(
    "deps",
    [
        ("a", "b"),
        ["a", "b", "a"],
        type("L", (list,), {})("ab"),
        Seq("ab"),
        Seq("aba", length=sys.maxsize),
        Seq("ab", length=0),
        Seq("ab", length="raise"),
    ],
)
def test_sequences_accepted_whatever_length_they_report(g, deps):
    g.set_deps("c", deps)
    assert g.deps_of("c") == ["a", "b"]


@pytest.mark.parametrize(
    "call",
    [
        lambda g: g.add_node("\ud800", "input"),
        lambda g: g.add_node("x", "in\udfff"),
        lambda g: g.set_deps("c", ["a", "\ud800"]),
        lambda g: "\udc80" in g,
    ],
)
def test_lone_surrogates_pass_encode_error(g, call):
    with pytest.raises(UnicodeEncodeError, match=r"^'utf-8' codec .* surrogates not allowed$"):
        call(g)
    assert g.node_ids() == ["a", "b", "c"] and g.deps_of("c") == []


@pytest.mark.parametrize(
    "exc", [type("MyTypeError", (TypeError,), {})("own"), ValueError("own"), RuntimeError()]
)
def test_sequence_errors_pass_unchanged(g, exc):
    with pytest.raises(type(exc)) as info:
        g.set_deps("c", failing(exc))
    assert info.value is exc and g.deps_of("c") == []


@pytest.mark.parametrize("cause", [None, ValueError("root")])
@pytest.mark.parametrize("where", ["iter", "next"])
def test_sequence_type_error_is_wrapped(g, cause, where):
    exc = TypeError("bad source")
    exc.__cause__ = cause
    with pytest.raises(TypeError) as info:
        g.set_deps("c", failing(exc, where))
    assert type(info.value) is TypeError and info.value is not exc and info.value.__cause__ is cause
    assert str(info.value) == "argument 'deps': bad source" and g.deps_of("c") == []


SHARED = [
    lambda g: g.state_of("a"),
    lambda g: g.deps_of("a"),
    lambda g: g.node_ids(),
    len,
    repr,
    lambda g: "a" in g,
]
EXCLUSIVE = [lambda g: g.add_node("z", "input"), lambda g: g.set_deps("a", [])]


@pytest.mark.parametrize(
    ("inner", "message"),
    [(c, ALREADY_MUTABLY_BORROWED) for c in SHARED] + [(c, ALREADY_BORROWED) for c in EXCLUSIVE],
)
def test_reentrant_call_during_set_deps(g, inner, message):
    seen = []

    def item(items, i):
        try:
            inner(g)
        except RuntimeError as exc:
            seen.append((type(exc), str(exc)))
        return items[i]

    g.set_deps("c", Seq("ab", item=item))
    assert seen and set(seen) == {(RuntimeError, message)}
    assert g.deps_of("c") == ["a", "b"] and len(g) == 3 and g.deps_of("a") == []


def test_escaping_borrow_error_leaves_graph_unchanged(g):
    g.set_deps("c", ["b"])
    with pytest.raises(RuntimeError) as info:
        g.set_deps("c", Seq("ab", item=lambda items, i: g.state_of("a") if i else items[i]))
    assert type(info.value) is RuntimeError and str(info.value) == ALREADY_MUTABLY_BORROWED
    assert g.deps_of("c") == ["b"]


@pytest.mark.parametrize(
    "failing_call",
    [
        lambda g: g.add_node("a"),
        lambda g: g.add_node(1, "input"),
        lambda g: g.add_node("a", "input"),
        lambda g: g.set_deps("c", {"a"}),
        lambda g: g.set_deps("c", ["c"]),
        lambda g: g.set_deps("c", failing(KeyError())),
        lambda g: g.kind_of("zz"),
        lambda g: g.state_of(5),
        lambda g: 5 in g,
        lambda g: g.node_ids(1),
    ],
)
def test_next_call_works_after_failure(g, failing_call):
    with pytest.raises((TypeError, ValueError, KeyError)):
        failing_call(g)
    g.add_node("d", "view")
    g.set_deps("d", ["a"])
    assert (g.state_of("d"), len(g), g.node_ids(), g.deps_of("d")) == (
        "dirty",
        4,
        ["a", "b", "c", "d"],
        ["a"],
    )
