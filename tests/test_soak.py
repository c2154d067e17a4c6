"""Leak soak: every method and every error path, many times over.

Runs only with QUORL_SOAK=1 (it takes most of a minute); QUORL_SOAK_ITERATIONS
changes the length. tools/valgrind.sh drives the same cases via run_cases().
"""

import copy
import gc
import os
import sys
import time
import tracemalloc

import pytest
from helpers import Index, OwnTypeError, raiser, snapshot
from helpers import ItemSeq as Seq
from model import (
    ALREADY_BORROWED,
    ALREADY_MUTABLY_BORROWED,
    ALREADY_REGISTERED,
    CYCLE,
    INVALID_KIND,
    NEGATIVE,
    NOT_A_SEQUENCE,
    NOT_A_STR,
    NOT_BUILT,
    SELF_DEPENDENCY,
    STR_AS_SEQUENCE,
    TOO_BIG,
    UNKNOWN_NODE,
)
from quorl._quorl import Graph, kernel_version

pytestmark = [
    pytest.mark.soak,
    pytest.mark.skipif(os.environ.get("QUORL_SOAK") != "1", reason="set QUORL_SOAK=1 to run"),
]

ITERATIONS = int(os.environ.get("QUORL_SOAK_ITERATIONS", "30000"))
PAGE = os.sysconf("SC_PAGE_SIZE")

# Built at run time, so that their reference counts belong to this test alone.
# Long enough that any copy of one leaked per call shows in the RSS.
ID = "node-" + "i" * 250
DEP = "dep-" + "d" * 250
MISSING = "zz" * 125
DEPS = ["in", "src", DEP]
SEEDS = ["in", "src"]
SIG = 2**63 + 12345
SURROGATE = "".join(["x", "\ud800"])
MUT, BOR = ALREADY_MUTABLY_BORROWED, ALREADY_BORROWED
# A snapshot whose checksum no longer matches.
DAMAGED = b"\x89QRL\r\n\x1a\n" + bytes(64)


def make_graphs():
    g = Graph()
    for node, kind in [
        ("in", "input"),
        ("src", "source"),
        (DEP, "source"),
        ("r", "reactive"),
        ("v", "view"),
    ]:
        g.add_node(node, kind)
    g.set_deps("r", DEPS)
    g.set_deps("v", ["r"])
    g.build()
    unbuilt = Graph()
    unbuilt.add_node("a", "input")
    cyclic = Graph()
    cyclic.add_node("a", "source")
    cyclic.add_node("b", "source")
    cyclic.set_deps("a", ["b"])
    cyclic.set_deps("b", ["a"])
    return g, unbuilt, cyclic


def lifecycle():
    h = Graph()
    h.add_node(ID, "input")
    h.add_node("x", "view")
    h.set_deps("x", [ID])
    h.build()
    return h.topo_order()


def make_cases(g, u, c):
    """(call, exception class or None, message or None) for every path."""
    ok = [
        lifecycle,
        lambda: g.set_deps("r", DEPS),
        g.build,
        lambda: g.set_deps("r", tuple(DEPS)),
        g.build,
        lambda: g.set_deps("r", Seq(DEPS, length=sys.maxsize)),
        g.build,
        g.topo_order,
        lambda: g.dirty_subgraph(SEEDS),
        lambda: g.mark_dirty(SEEDS),
        lambda: g.downstream("in"),
        lambda: g.needs_recompute("r", SIG),
        lambda: g.check_node("r"),
        lambda: g.commit_node("r", SIG),
        lambda: g.commit_node(id="r", signature=Index(SIG)),
        lambda: g.skip_node("v", True),
        lambda: g.commit_input("in", SIG),
        lambda: g.set_clean("src", 2**64 - 1),
        lambda: g.set_computing("v"),
        lambda: g.set_dirty("v"),
        lambda: g.state_of("r"),
        lambda: g.kind_of("r"),
        lambda: g.deps_of("r"),
        g.dirty_nodes,
        g.views,
        g.node_ids,
        lambda: len(g),
        lambda: "in" in g,
        lambda: ID in g,
        lambda: repr(g),
        kernel_version,
        # shared access inside shared access
        lambda: g.dirty_subgraph(Seq(SEEDS, during=lambda: (g.state_of("r"), g.check_node("v")))),
        lambda: g.needs_recompute(
            "r", Index(during=lambda: len(g) + g.needs_recompute("v", Index(3)))
        ),
        # snapshots, and pickle and copy support
        g.to_bytes,
        lambda: Graph.from_bytes(memoryview(g.to_bytes())),
        g.__reduce__,
        lambda: copy.deepcopy(g),
        g.is_built,
        lambda: g.dependents_of("in"),
        lambda: g.would_cycle("in", ["r"]),
        lambda: g.would_cycle("r", DEPS),
        g.cycle_groups,
    ]
    ok = [(call, None, None) for call in ok]

    more = "positional arguments but"
    s, seq = NOT_A_STR, NOT_A_SEQUENCE
    integer = "object cannot be interpreted as an integer"
    unknown = UNKNOWN_NODE.format(f'"{MISSING}"')
    not_built = NOT_BUILT
    errors = [
        # argument matcher
        (
            lambda: g.add_node("a", "b", "c"),
            TypeError,
            f"Graph.add_node() takes 2 {more} 3 were given",
        ),
        (lambda: Graph(1), TypeError, f"Graph.__new__() takes 0 {more} 1 was given"),
        (lambda: Graph(x=1), TypeError, "Graph.__new__() got an unexpected keyword argument 'x'"),
        (
            lambda: g.add_node("a", x=1),
            TypeError,
            "Graph.add_node() got an unexpected keyword argument 'x'",
        ),
        (
            lambda: g.state_of(**{"\udc00": 1}),
            TypeError,
            "Graph.state_of() got an unexpected keyword argument '\udc00'",
        ),
        (
            lambda: g.add_node("a", id="b"),
            TypeError,
            "Graph.add_node() got multiple values for argument 'id'",
        ),
        (
            lambda: g.add_node("a"),
            TypeError,
            "Graph.add_node() missing 1 required positional argument: 'kind'",
        ),
        (
            lambda: g.set_deps(),
            TypeError,
            "Graph.set_deps() missing 2 required positional arguments: 'id' and 'deps'",
        ),
        (lambda: g.build(1), TypeError, None),
        # conversions
        (lambda: g.state_of(1), TypeError, f"argument 'id': 'int' {s}"),
        (lambda: g.add_node("n", None), TypeError, f"argument 'kind': 'NoneType' {s}"),
        (lambda: 5 in g, TypeError, f"argument 'id': 'int' {s}"),
        (lambda: g.set_deps("r", "in"), TypeError, f"argument 'deps': {STR_AS_SEQUENCE}"),
        (lambda: g.set_deps("r", {"in"}), TypeError, f"argument 'deps': 'set' {seq}"),
        (lambda: g.dirty_subgraph(["in", 2]), TypeError, f"argument 'seeds': 'int' {s}"),
        (lambda: g.mark_dirty(iter([])), TypeError, f"argument 'seeds': 'list_iterator' {seq}"),
        (lambda: g.commit_node("r", 1.5), TypeError, f"argument 'signature': 'float' {integer}"),
        (lambda: g.needs_recompute("r", "x"), TypeError, f"argument 'input_hash': 'str' {integer}"),
        (
            lambda: g.commit_node(MISSING, -1),
            OverflowError,
            NEGATIVE,
        ),
        (lambda: g.set_clean("r", 2**64), OverflowError, TOO_BIG),
        (
            lambda: g.commit_input("in", Index(-SIG)),
            OverflowError,
            NEGATIVE,
        ),
        (lambda: g.add_node(SURROGATE, "input"), UnicodeEncodeError, None),
        (lambda: g.state_of(SURROGATE), UnicodeEncodeError, None),
        (lambda: g.set_deps("r", ["in", SURROGATE]), UnicodeEncodeError, None),
        (lambda: SURROGATE in g, UnicodeEncodeError, None),
        # errors raised by the caller's own objects during conversion
        (lambda: g.set_deps("r", Seq(DEPS, during=raiser(ValueError))), ValueError, "boom"),
        (lambda: g.mark_dirty(Seq(SEEDS, during=raiser(RuntimeError))), RuntimeError, "boom"),
        (lambda: g.dirty_subgraph(Seq(SEEDS, during=raiser(OwnTypeError))), OwnTypeError, "boom"),
        (
            lambda: g.set_deps("r", Seq(DEPS, during=raiser(TypeError, cause=ValueError))),
            TypeError,
            "argument 'deps': boom",
        ),
        (lambda: g.skip_node("r", Index(during=raiser(ValueError))), ValueError, "boom"),
        (
            lambda: g.skip_node("r", Index(during=raiser(TypeError))),
            TypeError,
            "argument 'signature': boom",
        ),
        # kernel refusals
        (lambda: g.add_node("in", "input"), ValueError, ALREADY_REGISTERED.format('"in"')),
        (
            lambda: g.add_node("q", "Input"),
            ValueError,
            INVALID_KIND.format('"Input"'),
        ),
        (lambda: g.set_deps("r", ["in", "r"]), ValueError, SELF_DEPENDENCY.format('"r"')),
        (c.build, ValueError, CYCLE.format("a, b")),
        (lambda: g.set_deps(MISSING, []), KeyError, unknown),
        (lambda: g.set_deps("r", ["in", MISSING]), KeyError, unknown),
        (lambda: g.dirty_subgraph(["in", MISSING]), KeyError, unknown),
        (lambda: g.mark_dirty([MISSING]), KeyError, unknown),
        *[
            (lambda m=m: getattr(g, m)(MISSING), KeyError, unknown)
            for m in (
                "downstream",
                "check_node",
                "set_computing",
                "set_dirty",
                "state_of",
                "kind_of",
                "deps_of",
            )
        ],
        *[
            (lambda m=m: getattr(g, m)(MISSING, 1), KeyError, unknown)
            for m in ("needs_recompute", "commit_node", "skip_node", "commit_input", "set_clean")
        ],
        *[
            (call, RuntimeError, not_built)
            for call in (
                u.topo_order,
                u.views,
                u.dirty_nodes,
                lambda: u.downstream("a"),
                lambda: u.mark_dirty(["a"]),
                lambda: u.dirty_subgraph([]),
            )
        ],
        # access refused to a call made from inside a conversion
        (lambda: g.set_deps("r", Seq(DEPS, during=lambda: g.state_of("r"))), RuntimeError, MUT),
        (lambda: g.dirty_subgraph(Seq(SEEDS, during=lambda: g.set_dirty("v"))), RuntimeError, BOR),
        (
            lambda: g.commit_node("r", Index(during=lambda: g.add_node("zz", "input"))),
            RuntimeError,
            BOR,
        ),
        (lambda: Graph.from_bytes(g.to_bytes()[:-1]), ValueError, None),
        (lambda: Graph.from_bytes(DAMAGED), ValueError, None),
        (
            lambda: Graph.from_bytes(data=ID),
            TypeError,
            "argument 'data': a bytes-like object is required, not 'str'",
        ),
    ]
    ok += [
        (call, None, None)
        for call in (
            lambda: drive_round(g.begin_round({"in": SIG}, ["r"])),
            lambda: drive_round(g.begin_round([("in", 1)], ("v",)), batches=True),
            lambda: g.begin_round({"in": 2}, ["r", "v"]).ready(),  # dropped open: abandoned
            lambda: drive_round(g.begin_round({})),  # picks up what the last one left
        )
    ]
    errors += [
        (lambda: g.begin_round({"zz": 1}), KeyError, 'unknown node: "zz"'),
        (lambda: g.begin_round({"r": 1}), ValueError, None),
        (lambda: g.begin_round({}).done("v", True), ValueError, None),
    ]
    return ok + errors


def drive_round(r, batches=False):
    if batches:
        while batch := r.ready():
            for n, _ in batch:
                r.done(n, True)
    else:
        for n, _ in r:
            r.done(n, False)


def run_cases(iterations, verify=False, graphs=None):
    """Runs every case `iterations` times, on `graphs` (from make_graphs) or
    fresh ones; returns the number of calls made."""
    g, u, c = graphs or make_graphs()
    cases = make_cases(g, u, c)
    for _ in range(iterations):
        for call, expected, message in cases:
            before = snapshot(g) if verify and expected else None
            try:
                call()
            except BaseException as exc:
                if type(exc) is not expected:
                    raise AssertionError(f"{call}: expected {expected}, got {exc!r}") from exc
                if verify:
                    text = exc.args[0] if expected is KeyError else str(exc)
                    assert message is None or text == message, (text, message)
                    if expected is UnicodeEncodeError:
                        assert "surrogates not allowed" in text
            else:
                if expected is not None:
                    raise AssertionError(f"{call}: expected {expected.__name__}, got no exception")
            if before is not None:
                assert snapshot(g) == before, call
    assert u.node_ids() == ["a"] and c.node_ids() == ["a", "b"]
    return iterations * len(cases)


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def refcounts():
    """Counts that must come back exactly after the loop."""
    watched = {
        "Graph": Graph,
        "id": ID,
        "missing": MISSING,
        "dep": DEP,
        "deps": DEPS,
        "seeds": SEEDS,
        "sig": SIG,
        "surrogate": SURROGATE,
        "kind str": "reactive",
        "True": True,
        "False": False,
    }
    return {name: sys.getrefcount(obj) for name, obj in watched.items()}


def total_refcount():  # debug builds only
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None


def test_every_path_verified_once():
    run_cases(1, verify=True)


def test_memory_stays_flat():
    run_cases(max(ITERATIONS // 10, 50))  # warm-up: caches, arenas, first-use allocations
    gc.collect()
    counts, total, rss_before = refcounts(), total_refcount(), rss()
    started = time.monotonic()
    calls = run_cases(ITERATIONS)
    elapsed = time.monotonic() - started
    gc.collect()
    rss_after, total_after, counts_after = rss(), total_refcount(), refcounts()
    print(
        f"\nsoak: {ITERATIONS} iterations, {calls} calls in {elapsed:.1f} s; "
        f"RSS {rss_before / 1024:.0f} KiB -> {rss_after / 1024:.0f} KiB "
        f"({(rss_after - rss_before) / 1024:+.0f} KiB); refcounts {counts} -> {counts_after}; "
        f"total refcount {total} -> {total_after}"
    )
    assert counts_after == counts
    assert rss_after - rss_before < 2 * 1024 * 1024
    if total is not None:
        # Interpreter caches may move it a little; one leaked reference per
        # iteration would move it by thousands.
        assert abs(total_after - total) < ITERATIONS // 10


def test_python_allocations_stay_flat():
    iterations = max(ITERATIONS // 20, 100)  # tracing makes every call several times slower
    graphs = make_graphs()
    tracemalloc.start()
    try:
        # As long a warm-up, on the same graphs, as the run measured: what
        # the interpreter caches grows to a bound (about 12 KiB), then stops,
        # and a shorter warm-up left part of it to the run measured.
        run_cases(iterations, graphs=graphs)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        run_cases(iterations, graphs=graphs)
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    print(
        f"\ntracemalloc: {iterations} iterations, traced {before} -> {after} bytes ({after - before:+d})"
    )
    # Far less than one leaked object per iteration.
    assert after - before < 8 * 1024
