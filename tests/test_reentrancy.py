"""Calls that reach a graph while another call on it is converting arguments:
from the converting code itself, or from another thread while it lets the
interpreter lock go."""

import sys
import threading
import time

import pytest
from helpers import Index, OwnTypeError, Seq, make_graph, snapshot
from model import ALREADY_BORROWED as BOR
from model import ALREADY_MUTABLY_BORROWED as MUT
from model import FOLD_MULTIPLIER, FOLD_START, U64
from quorl._quorl import Graph


def small_graph():
    g = make_graph(
        [("in", "input"), ("s", "source"), ("r", "reactive"), ("v", "view")],
        {"r": ["in", "s"], "v": ["r"]},
    )
    g.commit_input("in", 7)
    g.commit_node("s", 1)
    return g


# Calls whose conversion runs the caller's code: (name, call(g, hook)).
SHARED_OUTER = [
    ("dirty_subgraph", lambda g, hook: g.dirty_subgraph(Seq(["in", "s"], hook))),
    ("needs_recompute", lambda g, hook: g.needs_recompute("r", Index(5, hook))),
    ("would_cycle", lambda g, hook: g.would_cycle("in", Seq(["v", "s"], hook))),
]
EXCLUSIVE_OUTER = [
    ("set_deps", lambda g, hook: g.set_deps("v", Seq(["r", "s"], hook))),
    ("mark_dirty", lambda g, hook: g.mark_dirty(Seq(["s", "in"], hook))),
    ("commit_node", lambda g, hook: g.commit_node("r", Index(5, hook))),
    ("set_clean", lambda g, hook: g.set_clean("v", Index(5, hook))),
    ("restore_node", lambda g, hook: g.restore_node("s", 2, Index(1, hook))),
    ("remove_nodes", lambda g, hook: g.remove_nodes(Seq(["v", "r"], hook))),
]
SHARED_INNER = [
    ("state_of", lambda g: g.state_of("r")),
    ("kind_of", lambda g: g.kind_of("v")),
    ("deps_of", lambda g: g.deps_of("r")),
    ("len", len),
    ("in", lambda g: "s" in g),
    ("repr", repr),
    ("check_node", lambda g: g.check_node("r")),
    ("node_ids", lambda g: g.node_ids()),
    ("needs_recompute", lambda g: g.needs_recompute("v", Index(3, lambda: g.check_node("v")))),
    ("topo_order", lambda g: g.topo_order()),
    ("views", lambda g: g.views()),
    ("dirty_nodes", lambda g: g.dirty_nodes()),
    ("downstream", lambda g: g.downstream("in")),
    ("dirty_subgraph", lambda g: g.dirty_subgraph(["s"])),
    ("is_built", lambda g: g.is_built()),
    ("dependents_of", lambda g: g.dependents_of("in")),
    ("would_cycle", lambda g: g.would_cycle("in", ["v"])),
    ("cycle_groups", lambda g: g.cycle_groups()),
    ("epoch_of", lambda g: g.epoch_of("s")),
]
EXCLUSIVE_INNER = [
    ("add_node", lambda g: g.add_node("x", "input")),
    ("set_deps", lambda g: g.set_deps("v", [])),
    ("build", lambda g: g.build()),
    ("mark_dirty", lambda g: g.mark_dirty(["in"])),
    ("commit_node", lambda g: g.commit_node("v", 9)),
    ("skip_node", lambda g: g.skip_node("v", 9)),
    ("commit_input", lambda g: g.commit_input("in", 9)),
    ("set_clean", lambda g: g.set_clean("v", 9)),
    ("set_computing", lambda g: g.set_computing("v")),
    ("set_dirty", lambda g: g.set_dirty("r")),
    ("restore_node", lambda g: g.restore_node("s", 9, 1)),
    ("remove_node", lambda g: g.remove_node("v")),
]


def ids(pairs):
    return [f"{outer[0]}-{inner[0]}" for outer, inner, *_ in pairs]


SHARED_PAIRS = [(o, i) for o in SHARED_OUTER for i in SHARED_INNER]
REFUSED = (
    [(o, i, BOR) for o in SHARED_OUTER for i in EXCLUSIVE_INNER]
    + [(o, i, MUT) for o in EXCLUSIVE_OUTER for i in SHARED_INNER]
    + [(o, i, BOR) for o in EXCLUSIVE_OUTER for i in EXCLUSIVE_INNER]
)


def assert_access_is_free(g):
    """The flag is back at 0: an exclusive call is granted, then a shared one."""
    g.set_dirty("in")  # a node no call here removes
    assert g.state_of("in") == "dirty"


@pytest.mark.parametrize(("outer", "inner"), SHARED_PAIRS, ids=ids(SHARED_PAIRS))
def test_shared_inside_shared_succeeds(outer, inner):
    g = small_graph()
    expected_inner, expected_outer, before = inner[1](g), outer[1](g, None), snapshot(g)
    seen = []
    assert outer[1](g, lambda: seen.append(inner[1](g))) == expected_outer
    assert seen == [expected_inner]
    assert snapshot(g) == before
    assert_access_is_free(g)


@pytest.mark.parametrize("escape", [True, False], ids=["escapes", "caught"])
@pytest.mark.parametrize(("outer", "inner", "message"), REFUSED, ids=ids(REFUSED))
def test_conflicting_inner_call_is_refused(outer, inner, message, escape):
    g, reference = small_graph(), small_graph()
    before = snapshot(g)
    raised = []

    def hook():
        try:
            inner[1](g)
        except RuntimeError as exc:
            raised.append(exc)
            if escape:
                raise

    if escape:
        with pytest.raises(RuntimeError) as info:
            outer[1](g, hook)
        assert info.value is raised[0]
        assert snapshot(g) == before
    else:
        # The refusal does not disturb the outer call: it has the effect of
        # the same call on an identical graph.
        assert outer[1](g, hook) == outer[1](reference, None)
        assert snapshot(g) == snapshot(reference)
    assert [(type(e), str(e)) for e in raised] == [(RuntimeError, message)]
    assert_access_is_free(g)


SEQUENCE_ARGS = [
    ("set_deps", "deps", lambda g, s: g.set_deps("v", s)),
    ("dirty_subgraph", "seeds", lambda g, s: g.dirty_subgraph(s)),
    ("mark_dirty", "seeds", lambda g, s: g.mark_dirty(s)),
    ("remove_nodes", "ids", lambda g, s: g.remove_nodes(s)),
]
INDEX_ARGS = [
    ("commit_node", "signature", lambda g, i: g.commit_node("r", i)),
    ("skip_node", "signature", lambda g, i: g.skip_node("r", i)),
    ("commit_input", "content_hash", lambda g, i: g.commit_input("in", i)),
    ("set_clean", "hash", lambda g, i: g.set_clean("v", i)),
    ("needs_recompute", "input_hash", lambda g, i: g.needs_recompute("v", i)),
    ("restore_node", "epoch", lambda g, i: g.restore_node("s", 5, i)),
]


@pytest.mark.parametrize(
    "make", [ValueError, RuntimeError, OwnTypeError, KeyboardInterrupt, TypeError]
)
@pytest.mark.parametrize(
    ("method", "param", "call"),
    [(m, p, lambda g, hook, c=c: c(g, Seq(["in", "s"], hook))) for m, p, c in SEQUENCE_ARGS]
    + [(m, p, lambda g, hook, c=c: c(g, Index(1, hook))) for m, p, c in INDEX_ARGS],
    ids=[m for m, *_ in SEQUENCE_ARGS + INDEX_ARGS],
)
def test_error_raised_during_conversion(method, param, call, make):
    g = small_graph()
    before = snapshot(g)
    exc = make("boom")
    exc.__cause__ = cause = ValueError("root")

    def hook():
        raise exc

    with pytest.raises(BaseException) as info:
        call(g, hook)
    if make is TypeError:  # exactly TypeError: reported as a bad argument
        assert type(info.value) is TypeError and info.value is not exc
        assert str(info.value) == f"argument '{param}': boom" and info.value.__cause__ is cause
    else:
        assert info.value is exc
    assert snapshot(g) == before
    assert_access_is_free(g)


# ---- Threads ----------------------------------------------------------------


def during_conversion_in_thread(g, outer, inner):
    """Runs outer in a thread that parks inside its conversion, calls inner
    meanwhile, and returns (inner's result or RuntimeError, outer's result)."""
    entered, release = threading.Event(), threading.Event()
    outcome = {}

    def hook():
        entered.set()
        assert release.wait(10)  # lets the interpreter lock go while access is held

    def run():
        try:
            outcome["outer"] = outer(g, hook)
        except BaseException as exc:
            outcome["outer"] = exc

    thread = threading.Thread(target=run)
    thread.start()
    try:
        assert entered.wait(10)
        try:
            inner_result = inner(g)
        except RuntimeError as exc:
            inner_result = exc
    finally:
        release.set()
        thread.join(10)
    assert not thread.is_alive()
    return inner_result, outcome["outer"]


THREAD_INNER_SHARED = [
    i for i in SHARED_INNER if i[0] in ("state_of", "len", "check_node", "topo_order")
]
THREAD_INNER_EXCLUSIVE = [i for i in EXCLUSIVE_INNER if i[0] in ("add_node", "build", "set_dirty")]
THREAD_CASES = (
    [(o, i, None) for o in SHARED_OUTER for i in THREAD_INNER_SHARED]
    + [(o, i, BOR) for o in SHARED_OUTER for i in THREAD_INNER_EXCLUSIVE]
    + [(o, i, MUT) for o in EXCLUSIVE_OUTER[::2] for i in THREAD_INNER_SHARED]
    + [(o, i, BOR) for o in EXCLUSIVE_OUTER[::2] for i in THREAD_INNER_EXCLUSIVE]
)


@pytest.mark.parametrize(("outer", "inner", "message"), THREAD_CASES, ids=ids(THREAD_CASES))
def test_other_thread_during_conversion(outer, inner, message):
    g, reference = small_graph(), small_graph()
    expected_inner = inner[1](small_graph())
    inner_result, outer_result = during_conversion_in_thread(g, outer[1], inner[1])
    if message is None:
        assert inner_result == expected_inner
    else:
        assert type(inner_result) is RuntimeError and str(inner_result) == message
    assert outer_result == outer[1](reference, None)
    assert snapshot(g) == snapshot(reference)
    assert_access_is_free(g)


def unfold_epoch(signature):
    """The epoch of the single non-input dep that folded to `signature`."""
    return (signature * pow(FOLD_MULTIPLIER, -1, U64)) % U64 ^ FOLD_START


def test_threads_hammering_one_graph():
    threads, seconds = 8, 2.0
    g = Graph()
    for t in range(threads):
        g.add_node(f"w{t}", "reactive")
        g.add_node(f"d{t}", "view")
        g.set_deps(f"d{t}", [f"w{t}"])
    g.add_node("probe", "source")
    g.add_node("q", "view")
    g.set_deps("q", ["probe"])
    g.build()
    commits = [0] * threads
    refused = [0] * threads
    failures = []

    def yielding():
        time.sleep(0)

    def retry(t, call):
        while True:
            try:
                return call()
            except RuntimeError as exc:
                if str(exc) not in (MUT, BOR):
                    raise
                refused[t] += 1
                time.sleep(1e-4)  # let the holder finish instead of spinning

    def worker(t):
        node = f"w{t}"
        deadline = time.monotonic() + seconds
        try:
            while time.monotonic() < deadline or commits[t] < 20:
                retry(t, lambda: g.commit_node(node, Index(commits[t] + 1, yielding)))
                commits[t] += 1
                assert (
                    retry(t, lambda: g.needs_recompute(node, Index(commits[t], yielding))) is False
                )
                assert retry(t, lambda: g.check_node(f"d{t}"))[0] == "view"
                assert node in retry(t, lambda: g.dirty_subgraph(Seq([node, node], yielding)))
                assert retry(t, lambda: g.mark_dirty(Seq([node, node], yielding))) == [
                    node,
                    f"d{t}",
                ]
                assert (
                    retry(t, lambda: (len(g), repr(g), g.topo_order()[-1], g.state_of(node)))[0]
                    == 2 * threads + 2
                )
                if time.monotonic() > deadline + 30:
                    raise AssertionError("no progress")
        except BaseException as exc:
            failures.append(exc)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        workers = [threading.Thread(target=worker, args=(t,)) for t in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(60)
    finally:
        sys.setswitchinterval(interval)
    assert not failures, failures
    assert not any(w.is_alive() for w in workers)
    assert sum(refused) > 0, "the threads never met: the test exercised nothing"

    # Every successful commit_node handed out its own epoch: the last one of
    # each node is distinct, and one more commit gets exactly the next one.
    total = sum(commits)
    epochs = [unfold_epoch(g.check_node(f"d{t}")[2]) for t in range(threads)]
    assert len(set(epochs)) == threads and max(epochs) == total
    g.commit_node("probe", 0)
    assert unfold_epoch(g.check_node("q")[2]) == total + 1
    # No lost update: each node holds the signature of its own last commit.
    for t in range(threads):
        assert g.needs_recompute(f"w{t}", commits[t]) is False
        assert g.needs_recompute(f"w{t}", commits[t] - 1) is True

    # The flag is back at 0: exclusive access is granted at once, and taking
    # it still shuts out shared calls (it did not drift away from -1 or 0).
    g.set_dirty("w0")
    with pytest.raises(RuntimeError, match=MUT):
        g.set_deps("q", Seq(["probe", "w0"], lambda: g.state_of("q")))
    with pytest.raises(RuntimeError, match=BOR):
        g.dirty_subgraph(Seq(["probe", "w0"], lambda: g.set_dirty("q")))
    assert g.deps_of("q") == ["probe"] and g.state_of("w0") == "dirty"
