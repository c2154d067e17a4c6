"""Faults found by attack: the type's immutability, ids crafted to collide, errors
from a sequence's __len__, and what the call boundary assumes about access
and borrowed ids."""

import contextlib
import gc
import random
import signal
import sys

import pytest
from crafted_ids import colliding_ids, random_ids, unkeyed_hash
from helpers import Index, Seq, run_python, snapshot
from model import ALREADY_BORROWED
from quorl._quorl import Graph

# ---- the type cannot be changed ----------------------------------------------


@pytest.mark.parametrize(
    "attack",
    [
        "Graph.__new__ = staticmethod(lambda cls: object.__new__(cls))",
        "Graph.__new__ = lambda cls: object.__new__(cls)",
        "del Graph.__new__",
        "Graph.add_node = lambda self, id, kind: None",
        "del Graph.add_node",
        "Graph.__init__ = lambda self: None",
        "Graph.extra = 1",
        "setattr(Graph, '__len__', lambda self: 0)",
        "type.__setattr__(Graph, '__new__', staticmethod(lambda cls: object.__new__(cls)))",
    ],
)
def test_type_attributes_are_immutable(attack):
    # In a child process: where the attack works, the next call crashes it.
    out = run_python(
        f"""
        from quorl._quorl import Graph
        try:
            {attack}
        except TypeError as exc:
            assert "immutable type" in str(exc), exc
        else:
            raise SystemExit("attribute change accepted")
        g = Graph()
        g.add_node("", "input")
        g.add_node("a" * 40, "view")
        g.set_deps("a" * 40, [""])
        assert len(g) == 2 and g.deps_of("a" * 40) == [""]
        try:
            object.__new__(Graph)
        except TypeError:
            pass
        else:
            raise SystemExit("object.__new__ made a Graph")
        print("ok")
    """,
        timeout=60,
        quiet=True,
    )
    assert out == "ok\n"


# ---- ids crafted against an unkeyed hash --------------------------------------


def test_crafted_ids_collide_under_the_unkeyed_hash():
    ids = colliding_ids(300)
    assert len(set(ids)) == 300 and all(len(i) == 48 and i.isascii() for i in ids)
    assert {unkeyed_hash(i.encode()) for i in ids} == {0}
    assert len({unkeyed_hash(i.encode()) for i in random_ids(300)}) == 300


@pytest.mark.parametrize("make", [colliding_ids, random_ids])
def test_crafted_ids_are_ordinary_ids(make):
    ids = make(3000)
    g = Graph()
    for node in ids:
        g.add_node(node, "input")
    with pytest.raises(ValueError, match="already registered"):
        g.add_node(ids[1234], "view")
    assert len(g) == 3000 and g.node_ids() == ids
    assert all(node in g for node in ids)
    assert not any(node[:-1] + "\x7f" in g for node in ids[:200])
    g.add_node("t", "view")
    g.set_deps("t", ids[::-7])
    assert g.deps_of("t") == ids[::-7]


# ---- errors raised by __len__ --------------------------------------------------


def diamond():
    g = Graph()
    for node, kind in [("in", "input"), ("a", "reactive"), ("b", "reactive"), ("v", "view")]:
        g.add_node(node, kind)
    g.set_deps("a", ["in"])
    g.set_deps("b", ["in"])
    g.set_deps("v", ["a", "b"])
    g.build()
    for node in g.node_ids():
        g.set_clean(node, 1)
    return g


class Sized:
    """A sequence whose __len__ runs `length`; iteration works."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        return self.length()

    def __getitem__(self, i):
        return self.items[i]


def interrupt():
    # The interpreter's own handler raises KeyboardInterrupt; it is not
    # installed where SIGINT was ignored at start-up (a background job).
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        signal.raise_signal(signal.SIGINT)
    finally:
        signal.signal(signal.SIGINT, previous)
    return 2


def raise_(exc):
    raise exc


CALLS = [
    ("set_deps", lambda g, seq: g.set_deps("v", seq), ["a"]),
    ("mark_dirty", lambda g, seq: g.mark_dirty(seq), ["a"]),
    ("dirty_subgraph", lambda g, seq: g.dirty_subgraph(seq), ["a"]),
]


@pytest.mark.parametrize(("name", "call", "items"), CALLS, ids=[c[0] for c in CALLS])
@pytest.mark.parametrize(
    ("length", "expected"),
    [
        (lambda: raise_(KeyboardInterrupt("stop")), KeyboardInterrupt),
        (lambda: raise_(SystemExit(3)), SystemExit),
        (lambda: raise_(MemoryError()), MemoryError),
        (interrupt, KeyboardInterrupt),
    ],
    ids=["KeyboardInterrupt", "SystemExit", "MemoryError", "signal"],
)
def test_len_interrupts_reach_the_caller(name, call, items, length, expected):
    g = diamond()
    before = snapshot(g)
    with pytest.raises(expected) as info:
        call(g, Sized(items, length))
    assert info.type is expected
    assert snapshot(g) == before


@pytest.mark.parametrize(("name", "call", "items"), CALLS, ids=[c[0] for c in CALLS])
@pytest.mark.parametrize(
    "length",
    [
        lambda: raise_(ValueError("broken")),
        lambda: raise_(RuntimeError("broken")),
        lambda: raise_(LookupError("broken")),
        lambda: -1,
        lambda: "two",
        lambda: 10**30,
    ],
    ids=["ValueError", "RuntimeError", "LookupError", "negative", "not int", "huge"],
)
def test_broken_len_is_only_a_hint(name, call, items, length):
    g = diamond()
    result = call(g, Sized(items, length))
    if name == "set_deps":
        assert result is None and g.deps_of("v") == items
    else:
        assert result == ["a", "v"]


# ---- access held through nested calls ----------------------------------------


SHARED_OUTER = [
    ("dirty_subgraph", lambda g, hook: g.dirty_subgraph(Seq(["in", "a"], hook))),
    ("needs_recompute", lambda g, hook: g.needs_recompute("a", Index(1, hook))),
]
NESTED_SHARED = [
    ("state_of", lambda g: g.state_of("a")),
    ("check_node", lambda g: g.check_node("v")),
    ("len", len),
    ("dirty_subgraph", lambda g: g.dirty_subgraph(["b"])),
    ("twice", lambda g: (g.kind_of("a"), g.deps_of("v"))),
]


@pytest.mark.parametrize("outer", SHARED_OUTER, ids=[o[0] for o in SHARED_OUTER])
@pytest.mark.parametrize("nested", NESTED_SHARED, ids=[n[0] for n in NESTED_SHARED])
def test_finished_nested_shared_call_keeps_the_outer_hold(outer, nested):
    g = diamond()
    before = snapshot(g)
    refused = []

    def hook():
        nested[1](g)
        for attempt in (lambda: g.set_dirty("a"), lambda: g.mark_dirty(["in"]), g.build):
            with pytest.raises(RuntimeError, match=ALREADY_BORROWED):
                attempt()
            refused.append(True)

    outer[1](g, hook)
    assert len(refused) == 3 and snapshot(g) == before
    g.set_dirty("a")  # the outer call let go: exclusive access is free again
    assert g.state_of("a") == "dirty"


# ---- ids made on the fly by a sequence's iteration -----------------------------


def fresh(text):
    """A new str object with the text of `text`, referenced by nothing else."""
    return "".join(list(text))


class Fresh:
    """Yields a freshly built str per item and churns memory between items,
    so an item that is not kept alive is freed and overwritten."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return fresh(self.items[i])

    def __iter__(self):
        for item in self.items:
            yield fresh(item)
            junk = [fresh("x" * len(item)) + str(k) for k in range(50)]
            del junk
            gc.collect(0)


# UTF-8 lengths: short, at and just past the inline size, long; ASCII and not.
FRESH_IDS = [
    *((str(k) + "x" * n)[:n] for k, n in enumerate([1, 7, 11, 12, 13, 40, 200])),
    "\u00e9" * 5 + "y",
    "\u00e9" * 6,
    "\u4e2d\u6587" * 20,
]


def fresh_graph():
    g = Graph()
    ids = FRESH_IDS
    for node in ids:
        g.add_node(node, "input")
    g.add_node("t", "view")
    return g, ids


@pytest.mark.parametrize("order", ["ascending", "descending"])
def test_ids_made_during_iteration_are_read_whole(order):
    g, ids = fresh_graph()
    items = ids if order == "ascending" else ids[::-1]
    g.set_deps("t", Fresh(items))
    assert g.deps_of("t") == items
    g.build()
    expected = [*ids, "t"]
    assert g.dirty_subgraph(Fresh(items)) == expected
    assert g.mark_dirty(Fresh(items)) == expected
    assert g.dirty_nodes() == expected


# ---- deps storage under heavy rewiring -----------------------------------------


def test_deps_survive_heavy_rewiring():
    rng = random.Random(7)
    g = Graph()
    ids = [f"n{i}" for i in range(600)]
    for node in ids:
        g.add_node(node, "reactive")
    expected = {}

    def set_deps(i, count):
        deps = rng.sample(ids[:i], min(count, i))
        g.set_deps(ids[i], deps)
        expected[ids[i]] = deps

    for i in range(600):
        set_deps(i, rng.randint(3, 6))
    for i in range(600):
        if i % 10:
            set_deps(i, 1)  # most shrink: their old storage is garbage
    for round_ in range(3):
        for i in range(5 + round_, 200, 23):
            set_deps(i, rng.randint(7, 12))  # early ones grow: storage is reclaimed
        assert {n: g.deps_of(n) for n in ids} == expected
    g.build()
    assert len(g.topo_order()) == 600


# ---- long ids that share their last bytes --------------------------------------


@pytest.mark.parametrize("length", [16, 17, 23, 24, 40, 100])
def test_long_ids_sharing_their_last_word_are_two_nodes(length):
    tail = "-the-end"  # the last 8 bytes
    a = "a" * (length - 8) + tail
    b = "b" * (length - 8) + tail
    g = Graph()
    g.add_node(a, "input")
    g.add_node(b, "reactive")  # no AlreadyRegistered
    g.set_deps(b, [a])  # no SelfDependency
    g.set_deps(a, [])
    assert (len(g), g.deps_of(b), g.deps_of(a)) == (2, [a], [])
    g.build()
    assert g.downstream(a) == [b] and g.downstream(b) == []


# ---- around the inline capacity of the argument buffer --------------------------


@pytest.mark.parametrize("count", [0, 1, 7, 8, 9, 15, 16, 17, 33])
@pytest.mark.parametrize("container", [list, tuple])
def test_sequences_around_the_inline_capacity(count, container):
    g = Graph()
    ids = [f"id-{k}" if k % 2 else f"long-id-number-{k:04}" for k in range(count)]
    for node in ids:
        g.add_node(node, "input")
    g.add_node("t", "view")
    g.set_deps("t", container(ids[::-1] + ids[:1]))  # a repeat is dropped
    assert g.deps_of("t") == ids[::-1]
    g.build()
    expected = [*ids, "t"] if count else []
    assert g.dirty_subgraph(container(ids)) == expected
    assert g.mark_dirty(container(ids[::-1])) == expected
    assert g.dirty_nodes() == [*ids, "t"]


# ---- the receiver's reference count --------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda g: g.state_of("in"),
        lambda g: g.commit_node("a", 3),
        lambda g: g.mark_dirty(Seq(["in", "a"], lambda: None)),
        lambda g: g.state_of("missing"),
        lambda g: g.set_deps("v", ["v"]),
        lambda g: g.commit_node("a", -1),
        lambda g: len(g),
        lambda g: "a" in g,
        repr,
    ],
    ids=[
        "shared",
        "exclusive",
        "iterated",
        "KeyError",
        "ValueError",
        "OverflowError",
        "len",
        "in",
        "repr",
    ],
)
def test_calls_leave_the_receivers_reference_count(call):
    g = diamond()
    before = sys.getrefcount(g)
    for _ in range(20):
        with contextlib.suppress(KeyError, ValueError, OverflowError):
            call(g)
    assert sys.getrefcount(g) == before


def test_ids_of_12_to_15_bytes_hash_only_their_own_bytes():
    # A non-ASCII str keeps its UTF-8 in a small block of its own, next to
    # the UTF-8 of other strs: reading a byte outside the id would make equal
    # ids differ.
    g = Graph()
    ids = ["\u00e9" * 6, "\u00e9" * 6 + "x", "\u00e9" * 7, "\u00e9" * 7 + "y"]  # 12 to 15 bytes
    for node in ids:
        g.add_node(node, "input")
    kept = []
    for k in range(400):
        decoy = fresh("\u00e9" * 6 + f"{k:03}")  # 15 bytes, its end varying
        copy = fresh(ids[k % 4])
        kept += [decoy, copy]
        assert decoy not in g  # its UTF-8 is made first, then the copy's
        assert copy in g
