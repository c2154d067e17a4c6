"""Node states and kernel-folded memo signatures."""

import functools
import re

import pytest
from helpers import Index, make_graph
from hypothesis import given, settings
from hypothesis import strategies as st
from model import FOLD_START, KINDS, U64, UNKNOWN_NODE
from model import fold_keys as fold

MASK = U64 - 1
make = functools.partial(make_graph, build=False)


@pytest.mark.parametrize(
    ("op", "kind", "start", "end", "stores", "fold_changes"),
    [
        ("set_dirty", "source", "computing", "dirty", False, False),
        ("set_computing", "source", "dirty", "computing", False, False),
        ("set_clean", "source", "computing", "clean", True, False),
        ("commit_node", "source", "dirty", "clean", True, True),
        (
            "commit_node",
            "input",
            "computing",
            "clean",
            True,
            False,
        ),  # an input dep is keyed by its hash
        ("skip_node", "reactive", "computing", "clean", True, False),
        ("commit_input", "input", "dirty", "clean", True, True),
        ("commit_input", "source", "computing", "clean", True, False),
        ("mark_dirty", "view", "clean", "dirty", False, False),
    ],
)
def test_effects(op, kind, start, end, stores, fold_changes):
    g = make([("x", kind), ("y", "reactive")], {"y": ["x"]})
    g.build()
    g.commit_node("x", 9)
    g.commit_node("y", g.check_node("y")[2])
    {"dirty": g.set_dirty, "computing": g.set_computing, "clean": lambda x: None}[start]("x")
    before = g.check_node("y")
    assert before[1] is False
    getattr(g, op)(
        *{"set_dirty": ["x"], "set_computing": ["x"], "mark_dirty": [["x"]]}.get(op, ["x", 5])
    )
    assert g.state_of("x") == end
    assert ("x" in g.dirty_nodes()) == (end == "dirty")
    assert g.state_of("y") == ("dirty" if op == "mark_dirty" else "clean")
    assert (g.needs_recompute("x", 5), g.needs_recompute("x", 9)) == (not stores, stores)
    assert (g.check_node("y") != before) == fold_changes
    if fold_changes:
        assert g.check_node("y")[1] is True


@pytest.mark.parametrize(
    ("deps", "prepare", "expected"),
    [
        ([], None, FOLD_START),
        (["i"], None, 0x44BD2BD473CCF799),  # uncommitted input
        (["i"], lambda g: g.commit_input("i", 0), 0x44BD2BD473CCF799),
        (
            ["s"],
            lambda g: g.commit_input("s", 5),
            0x44BD2BD473CCF799,
        ),  # a source's epoch, not its hash
        (
            ["i", "j"],
            lambda g: (g.commit_input("i", 1), g.commit_input("j", 2)),
            0x9A65AB00C545D26C,
        ),
        (
            ["j", "i"],
            lambda g: (g.commit_input("i", 1), g.commit_input("j", 2)),
            0x9A624600C542F0F6,
        ),
        (["s", "i"], lambda g: (g.commit_node("s", 7), g.commit_input("i", 2)), 0x9A65AB00C545D26C),
    ],
)
def test_fold_constants(deps, prepare, expected):
    # the reference matches the known values
    assert fold([]) == FOLD_START and fold([1, 2]) == 0x9A65AB00C545D26C
    g = make([("i", "input"), ("j", "input"), ("s", "source"), ("n", "view")], {"n": deps})
    if prepare:
        prepare(g)
    assert g.check_node("n") == ("view", True, expected)
    g.skip_node("n", expected)
    assert g.check_node("n") == ("view", False, expected)


@st.composite
def scenarios(draw):
    n = draw(st.integers(1, 8))
    kinds = draw(st.lists(st.sampled_from(KINDS), min_size=n, max_size=n))
    rank = draw(st.permutations(range(n)))
    deps = [
        draw(st.lists(st.sampled_from([j for j in range(n) if rank[j] < rank[i]]), unique=True))
        if rank[i]
        else []
        for i in range(n)
    ]
    node = st.integers(0, n)  # n stands for an unregistered id
    op = st.sampled_from(
        ["commit_node", "commit_input", "skip_node", "set_clean", "set_dirty", "set_computing"]
    )
    value = st.one_of(st.none(), st.integers(0, 3), st.integers(0, MASK))  # None: current fold
    ops = draw(st.lists(st.tuples(op, node, value), max_size=25))
    return kinds, deps, ops


@settings(max_examples=300, deadline=None)
@given(scenarios())
def test_fold_matches_reference(scenario):
    """Never built: every state and memo operation works on an unbuilt graph."""
    kinds, deps, ops = scenario
    ids = [f"n{i}" for i in range(len(kinds))] + ["missing"]
    g = make(
        zip(ids, kinds, strict=False), {ids[i]: [ids[d] for d in ds] for i, ds in enumerate(deps)}
    )
    counter, epoch, content, stored = 0, [0] * len(kinds), [0] * len(kinds), [None] * len(kinds)
    state = ["dirty"] * len(kinds)

    def model_fold(j):
        return fold([content[d] if kinds[d] == "input" else epoch[d] for d in deps[j]])

    for op, i, value in ops:
        value = model_fold(i) if value is None and i < len(kinds) else value or 0
        setter = op in ("set_dirty", "set_computing")
        args = (ids[i],) if setter else (ids[i], value)
        if i == len(kinds):
            with pytest.raises(KeyError):
                getattr(g, op)(*args)
            continue
        getattr(g, op)(*args)
        if op == "commit_node":
            counter += 1
            epoch[i] = counter
        if op == "commit_input":
            content[i] = value
        if not setter:
            stored[i] = value
        state[i] = {"set_dirty": "dirty", "set_computing": "computing"}.get(op, "clean")
        assert [g.state_of(x) for x in ids[:-1]] == state
        assert g.needs_recompute(ids[i], value) == (stored[i] != value)
        for j, kind in enumerate(kinds):
            assert g.check_node(ids[j]) == (kind, stored[j] != model_fold(j), model_fold(j))


def test_failed_commit_does_not_advance_epoch():
    g = make([("a", "source"), ("b", "reactive"), ("c", "source")], {"b": ["a"]})
    g.commit_node("a", 0)
    assert g.check_node("b")[2] == fold([1])
    unknown = repr(UNKNOWN_NODE.format('"zz"'))
    with pytest.raises(KeyError, match=f"^{re.escape(unknown)}$"):
        g.commit_node("zz", 0)
    g.commit_node("c", 0), g.commit_node("a", 0)
    assert g.check_node("b")[2] == fold([3])


def test_commit_input_same_hash_and_extremes():
    g = make([("i", "input"), ("r", "reactive")], {"r": ["i"]})
    g.commit_input("i", 7)
    first, _ = g.check_node("r"), g.commit_input("i", 7)
    assert g.check_node("r") == first
    g.commit_input("i", MASK), g.commit_node("r", MASK)
    assert (g.needs_recompute("i", MASK), g.needs_recompute("r", MASK)) == (False, False)
    assert g.check_node("r") == ("reactive", True, fold([MASK]))


@pytest.mark.parametrize(
    ("method", "param"),
    [
        ("set_clean", "hash"),
        ("needs_recompute", "input_hash"),
        ("commit_node", "signature"),
        ("skip_node", "signature"),
        ("commit_input", "content_hash"),
    ],
)
def test_unsigned_argument(method, param):
    g = make([("a", "source")])
    call = getattr(g, method)
    assert g.needs_recompute("a", 0) is True  # absent is not 0: see the last stored value
    for value, stored in [(True, 1), (Index(MASK), MASK), (Index(3), 3), (False, 0)]:
        result = call("a", value)
        if method == "needs_recompute":
            assert result is True
            g.set_clean("a", stored)
            assert call("a", value) is False
        assert g.needs_recompute("a", stored) is False
    for value in (1.0, "1", None, Index(1.5)):
        with pytest.raises(TypeError) as info:
            call("a", value)
        assert str(info.value).startswith(f"argument '{param}': ")
    for value in (-1, 2**64, Index(-1)):
        with pytest.raises(OverflowError) as info:
            call("a", value)
        assert not str(info.value).startswith("argument")
    with pytest.raises(OverflowError):
        call("missing", -1)
    assert g.needs_recompute("a", 0) is False


def test_typical_update():
    g = make(
        [("price", "input"), ("tax", "reactive"), ("page", "view")],
        {"tax": ["price"], "page": ["tax"]},
    )
    g.build()
    assert g.dirty_nodes() == ["price", "tax", "page"]
    for round_, price in enumerate([1999, 1999]):
        assert g.mark_dirty(["price"]) == ["price", "tax", "page"]
        g.commit_input("price", price)
        for node, kind, keys in [("tax", "reactive", [price]), ("page", "view", [1])]:
            _, recompute, s = check = g.check_node(node)
            assert check == (kind, round_ == 0, fold(keys))  # round 1: served from memo
            (g.commit_node if recompute else g.skip_node)(node, s)
        assert g.dirty_nodes() == []
        assert [g.state_of(n) for n in ("price", "tax", "page")] == ["clean"] * 3
    assert g.check_node("page") == ("view", False, fold([1]))
