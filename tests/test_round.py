"""Update rounds driven by the kernel, against the per-node protocol."""

import copy
import gc
import itertools
import pickle
import random
import re
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import helpers
import pytest
from helpers import dag_shapes, snapshot
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from model import ALREADY_BORROWED, NOT_BUILT, quoted
from quorl import Graph, Round
from round_model import PyRounds, epochs_to_restore, per_node_round, prime


def make_graph(kinds, deps):
    """Nodes n0, n1, ... of `kinds`; deps[i] lists the indices n{i} depends on."""
    return helpers.make_graph(
        [(f"n{i}", kind) for i, kind in enumerate(kinds)],
        {f"n{i}": [f"n{d}" for d in ds] for i, ds in enumerate(deps) if ds},
    )


def twins(kinds, deps):
    """Two primed graphs of the same shape: one for the round, one for its twin."""
    return prime(make_graph(kinds, deps)), prime(make_graph(kinds, deps))


def fingerprint(g):
    """Snapshot plus every node's epoch and the epoch counter, read through a probe.

    A probe depending on one node folds that node's key (its epoch for a
    non-input); committing one probe takes the next epoch, which a second
    probe then reads. Changes the graph's structure: call it last.
    """
    before = snapshot(g)
    g.add_node("probe", "view")
    g.add_node("probe2", "view")
    keys = []
    for n in before["ids"]:
        g.set_deps("probe", [n])
        keys.append(g.check_node("probe")[2])
    g.set_deps("probe", [])
    g.set_deps("probe2", ["probe"])
    g.commit_node("probe", 0)
    return before, keys, g.check_node("probe2")[2]


@st.composite
def round_args(draw, kinds):
    ids = [f"n{i}" for i in range(len(kinds))]
    inputs = [i for i, k in zip(ids, kinds, strict=True) if k == "input"]
    given_ = draw(st.lists(st.sampled_from(inputs), unique=True)) if inputs else []
    hashes = {i: draw(st.integers(0, 3)) for i in given_}
    seeds = draw(st.lists(st.sampled_from(ids), max_size=3))
    seeds = [s for s in seeds if s in hashes or s not in inputs]
    decisions = {i: draw(st.booleans()) for i in ids}
    return hashes, seeds, decisions


def restore_picks(kinds):
    """Nodes reported with an epoch to take back, each with its pick (epochs_to_restore)."""
    ids = [f"n{i}" for i in range(len(kinds))]
    return st.dictionaries(st.sampled_from(ids), st.integers(0, 5), max_size=len(ids))


@st.composite
def interludes(draw, kinds):
    """Per-node calls and deps edits made between rounds, outside any round."""
    ops = []
    for _ in range(draw(st.integers(0, 3))):
        i = draw(st.integers(0, len(kinds) - 1))
        op = draw(st.sampled_from(["commit_node", "skip_node", "commit_input", "set_deps"]))
        if op == "set_deps":  # deps on earlier nodes only: never a cycle
            earlier = st.sets(st.integers(0, i - 1), max_size=3) if i else st.just(set())
            arg = [f"n{d}" for d in sorted(draw(earlier))]
        else:
            arg = draw(st.integers(0, 3))
        ops.append((op, f"n{i}", arg))
    return ops


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_sequential_round_equals_the_per_node_protocol(data):
    check_sequential_rounds(data, *data.draw(dag_shapes()))


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_sequential_rounds_on_wide_graphs(data):
    # Walks that gather several batches of rows, and rows longer than the
    # dependants the kernel visits without a loop.
    check_sequential_rounds(data, *data.draw(dag_shapes(min_nodes=40, max_nodes=120, max_deps=8)))


def check_sequential_rounds(data, kinds, deps):
    # Calls outside rounds between them: a round settles a node without
    # reading its deps when no dep's key moved since its signature was folded,
    # so every call that moves a key, a signature or the deps must count.
    kernel, twin, known = make_graph(kinds, deps), make_graph(kinds, deps), {}
    for _ in range(data.draw(st.integers(1, 4))):
        for op, n, arg in data.draw(interludes(kinds)):
            for g in (kernel, twin):
                getattr(g, op)(n, arg)
                g.build()
            if op == "commit_input" and kinds[int(n[1:])] == "input":
                known[n] = arg
        hashes, seeds, decide = data.draw(round_args(kinds))
        restores = data.draw(restore_picks(kinds))
        expected = per_node_round(twin, hashes, decide, seeds, known, restores)
        handed = []
        with kernel.begin_round(hashes, seeds) as r:
            for n, sig in r:
                assert (kernel.state_of(n), r.outstanding) == ("computing", 1)
                handed.append((n, sig))
                r.done(n, decide[n], epochs_to_restore(kernel, [n], restores).get(n))
        assert handed == expected
        assert r.finished and (r.handed_out, r.outstanding) == (len(handed), 0)
        assert r.scheduled == r.settled + r.committed + r.skipped
        assert r.committed == sum(decide[n] for n, _ in handed)
        assert snapshot(kernel) == snapshot(twin)
    assert fingerprint(kernel) == fingerprint(twin)


@pytest.mark.parametrize(
    ("call", "a_hash", "handed"),
    [
        (lambda g: g.commit_input("a", 0), 0, []),  # the same hash: no key moved
        (lambda g: g.commit_input("a", 5), 5, ["m", "b"]),  # a dep's key moved
        (lambda g: g.commit_node("m", 7), 0, ["m", "b"]),
        (lambda g: g.skip_node("b", 7), 0, ["b"]),  # the signature itself
        (lambda g: g.set_deps("b", ["a", "c"]), 0, ["b"]),  # the deps
        (lambda g: g.set_deps("b", ["a", "m"]), 0, []),  # the same deps: the same fold
    ],
    ids=["commit_input same", "commit_input", "commit_node", "skip_node", "set_deps", "same deps"],
)
def test_a_call_outside_rounds_makes_the_next_round_fold_again(call, a_hash, handed):
    g = prime(
        helpers.make_graph(
            [("a", "input"), ("c", "input"), "m", "b"], {"m": ["a"], "b": ["a", "m"]}
        )
    )
    call(g)
    g.build()
    with g.begin_round({"a": a_hash}) as r:  # a keeps the hash it has now
        assert [n for n, _ in r if r.done(n, False) is None] == handed


def drive_in_batches(g, hashes, seeds, decide, order, restores=None):
    """ready()/done() until complete; `order` permutes each batch's reports."""
    r = g.begin_round(hashes, seeds)
    batches = []
    while batch := r.ready():
        epochs = epochs_to_restore(g, [n for n, _ in batch], restores)
        positions = {n: k for k, n in enumerate(g.topo_order())}
        assert [positions[n] for n, _ in batch] == sorted(positions[n] for n, _ in batch)
        for n, _ in batch:
            assert g.state_of(n) == "computing"
            assert all(g.state_of(d) == "clean" for d in g.deps_of(n))
        batches.append(batch)
        for n, _ in order(batch):
            r.done(n, decide[n], epochs.get(n))
    assert r.finished and r.outstanding == 0 and g.dirty_nodes() == []
    return batches


@settings(max_examples=100, deadline=None)
@given(st.data())
def test_batch_reports_in_any_order_give_the_same_bookkeeping(data):
    kinds, deps = data.draw(dag_shapes())
    a, b = twins(kinds, deps)
    for _ in range(data.draw(st.integers(1, 3))):
        hashes, seeds, decide = data.draw(round_args(kinds))
        restores = data.draw(restore_picks(kinds))
        in_order = drive_in_batches(a, hashes, seeds, decide, lambda batch: batch, restores)
        shuffled = drive_in_batches(
            b, hashes, seeds, decide, lambda batch: data.draw(st.permutations(batch)), restores
        )
        assert in_order == shuffled
    assert fingerprint(a) == fingerprint(b)


@settings(max_examples=100, deadline=None)
@given(st.data())
def test_rounds_driven_both_ways_at_once_hand_out_what_one_at_a_time_does(data):
    # Between batches a caller may go on one node at a time: whatever the
    # mix, the nodes handed out and the memo answers are the sequential ones.
    kinds, deps = data.draw(dag_shapes())
    mixed, twin = twins(kinds, deps)
    for _ in range(data.draw(st.integers(1, 3))):
        hashes, seeds, decide = data.draw(round_args(kinds))
        with twin.begin_round(hashes, seeds) as r:
            expected = {n for n, _ in r if r.done(n, decide[n]) is None}
        r = mixed.begin_round(hashes, seeds)
        handed = []
        while not r.finished:
            batch = r.ready() if data.draw(st.booleans()) else [next(iter(r))]
            for n, _ in batch:
                assert all(mixed.state_of(d) == "clean" for d in mixed.deps_of(n))
            for n, _ in batch:
                r.done(n, decide[n])
            handed.extend(n for n, _ in batch)
        assert sorted(handed) == sorted(expected)
        assert mixed.dirty_nodes() == []
        memo = [mixed.check_node(n) for n in mixed.node_ids()]
        assert not any(needs for kind, needs, _ in memo if kind != "input")


def diamond():
    """a -> x, y -> z, plus a source s -> y: every node starts dirty."""
    g = make_graph(
        ["input", "source", "reactive", "reactive", "view"], [[], [], [0], [0, 1], [2, 3]]
    )
    with g.begin_round({"n0": 1}, ["n1"]) as r:
        for n, _ in r:
            r.done(n, True)
    return g


def test_unchanged_nodes_are_settled_in_the_kernel_and_seeds_are_forced():
    g = diamond()
    r = g.begin_round({"n0": 1})  # the same hash: nothing downstream needs a value
    assert (r.finished, r.scheduled, r.settled, r.ready()) == (True, 4, 4, [])
    r = g.begin_round([("n0", 1)], seeds=["n2"])
    assert [n for n, _ in r.ready()] == ["n2"]
    r.done("n2", False)  # unchanged: the cut-off holds, n4 is settled
    assert (r.finished, r.settled, r.skipped) == (True, 3, 1)
    r = g.begin_round({"n0": 2})
    assert [n for n, _ in r.ready()] == ["n2", "n3"]
    r.done("n3", True)
    r.done("n2", False)
    assert r.ready() == [("n4", g.check_node("n4")[2])]


BAD_BEGINS = [
    (({"zz": 1},), KeyError, f"'unknown node: {quoted('zz')}'"),
    (({"n0": 1}, ["zz"]), KeyError, f"'unknown node: {quoted('zz')}'"),
    (({"n2": 1},), ValueError, 'node "n2" is not an input: only inputs take a hash'),
    (({}, ["n0"]), ValueError, 'input "n0" is a seed without a hash: give its hash in inputs'),
    (({"n0": -1},), OverflowError, None),
    (({"n0": 1 << 64},), OverflowError, None),
    ((5,), TypeError, "argument 'inputs': 'int' object is not iterable"),
    (
        ([("n0",)],),
        TypeError,
        "argument 'inputs': 'tuple' object cannot be converted to 'tuple[str, int]'",
    ),
    (
        (["n0"],),
        TypeError,
        "argument 'inputs': 'str' object cannot be converted to 'tuple[str, int]'",
    ),
    (({"n0": "1"},), TypeError, None),
    (({1: 1},), TypeError, "argument 'inputs': 'int' object cannot be converted to 'PyString'"),
    (({}, "n2"), TypeError, "argument 'seeds': Can't extract `str` to `Vec`"),
    ((), TypeError, "Graph.begin_round() missing 1 required positional argument: 'inputs'"),
    (({}, (), 1), TypeError, "Graph.begin_round() takes 2 positional arguments but 3 were given"),
]


@pytest.mark.parametrize(("args", "error", "message"), BAD_BEGINS)
def test_a_refused_begin_changes_nothing(args, error, message):
    g = diamond()
    before = snapshot(g)
    with pytest.raises(error) as caught:
        g.begin_round(*args)
    if message is not None:
        assert str(caught.value) == message
    assert snapshot(g) == before
    assert g.begin_round({"n0": 2}).scheduled == 4  # no round was left open


def test_an_input_seed_needs_a_hash_of_its_own():
    g = make_graph(["input", "input", "reactive"], [[], [], [0, 1]])
    before = snapshot(g)
    with pytest.raises(ValueError) as caught:
        g.begin_round({"n0": 1}, ["n1"])  # another input's hash does not do
    assert str(caught.value) == 'input "n1" is a seed without a hash: give its hash in inputs'
    assert snapshot(g) == before
    assert g.begin_round({"n0": 1, "n1": 2}, ["n1"]).scheduled == 3


def test_begin_refuses_an_unbuilt_graph_and_a_second_open_round():
    g = Graph()
    g.add_node("a", "input")
    with pytest.raises(RuntimeError, match=f"^{re.escape(NOT_BUILT)}$"):
        g.begin_round({"a": 1})
    g = diamond()
    r = g.begin_round({"n0": 5})
    with pytest.raises(RuntimeError, match="another round on this graph is still open"):
        g.begin_round({"n0": 6})
    assert r.outstanding == 0 and not r.finished


def test_reports_that_are_refused_change_nothing():
    g = diamond()
    r = g.begin_round({"n0": 2})
    (first, _), _ = r.ready()
    r.done(first, True)
    states = [g.state_of(n) for n in g.node_ids()]
    for node_id, changed, error, message in [
        ("n4", True, ValueError, 'node "n4" was not handed out by this round'),
        ("zz", True, ValueError, 'node "zz" was not handed out by this round'),
        (first, False, ValueError, 'node "n2" was already reported'),
        ("n3", 1, TypeError, "argument 'changed': 'int' object cannot be converted to 'bool'"),
        (3, True, TypeError, "argument 'node_id': 'int' object cannot be converted to 'PyString'"),
    ]:
        with pytest.raises(error) as caught:
            r.done(node_id, changed)
        assert str(caught.value) == message
    assert [g.state_of(n) for n in g.node_ids()] == states
    assert (r.committed, r.skipped, r.outstanding) == (1, 0, 1)


def test_reports_of_the_strs_handed_out_are_checked_the_same():
    # A report naming the str handed out next in line skips the id lookup;
    # it is refused as any other report would be.
    g = diamond()
    r = g.begin_round({"n0": 2})
    (first, _), (second, _) = r.ready()
    with pytest.raises(TypeError, match="argument 'changed'"):
        r.done(first, 1)
    r.done(first, True)
    with pytest.raises(ValueError, match='node "n2" was already reported'):
        r.done(first, True)
    g.add_node("late", "input")  # ends the round
    with pytest.raises(RuntimeError, match="ended by another call"):
        r.done(second, True)
    assert (r.committed, r.skipped, r.outstanding) == (1, 0, 1)


@pytest.mark.parametrize(
    "given",
    [dict, list, lambda pairs: (p for p in pairs)],
    ids=["mapping", "pairs", "iterator"],
)
def test_the_inputs_given_are_let_go(given):
    # begin() holds each given id and pair for the call only, whatever form
    # the inputs come in.
    g = diamond()
    node = "".join(["n", "0"])  # not interned: its count is this test's
    pair = (node, 2)
    held = sys.getrefcount(node), sys.getrefcount(pair)
    with g.begin_round(given([pair])) as r:
        for n, _ in r:
            r.done(n, True)
    del r
    assert (sys.getrefcount(node), sys.getrefcount(pair)) == held


def test_the_ids_handed_out_are_let_go():
    # The round holds the ids of its last batch until each is reported, and
    # the rest until it is dropped.
    g = diamond()
    r = g.begin_round({"n0": 2})
    batch = r.ready()
    ids = [n for n, _ in batch]
    del batch
    held = [sys.getrefcount(n) for n in ids]
    r.done(ids[0], True)
    assert sys.getrefcount(ids[0]) == held[0] - 1
    del r
    assert [sys.getrefcount(n) for n in ids] == [h - 1 for h in held]
    r = g.begin_round({"n0": 3})
    (node, _) = next(iter(r))
    held = sys.getrefcount(node)
    r.done(node, True)
    assert sys.getrefcount(node) == held - 1


def test_asking_for_the_next_node_before_reporting_is_refused():
    g = diamond()
    r = g.begin_round({"n0": 2})
    n, _ = next(r)
    with pytest.raises(RuntimeError, match="report the node handed out with done"):
        next(r)
    r.done(n, False)
    assert next(r)[0] == "n3"
    # After a batch, the refusal counts what is still out.
    r = diamond().begin_round({"n0": 2})
    batch = [node for node, _ in r.ready()]
    with pytest.raises(RuntimeError, match=r"^report the nodes handed out with done"):
        next(r)
    r.done(batch[0], True)
    with pytest.raises(RuntimeError, match=r"^report the node handed out with done"):
        next(r)


ENDING_CALLS = [
    lambda g: g.mark_dirty(["n1"]),
    lambda g: g.check_node("n4"),
    lambda g: g.commit_node("n4", 1),
    lambda g: g.skip_node("n4", 1),
    lambda g: g.commit_input("n0", 2),
    lambda g: g.set_clean("n4", 1),
    lambda g: g.set_dirty("n4"),
    lambda g: g.set_computing("n1"),
    lambda g: g.add_node("new", "view"),
    lambda g: g.set_deps("n4", ["n2"]),
    lambda g: g.build(),
]


@pytest.mark.parametrize("call", ENDING_CALLS)
def test_a_protocol_call_or_structural_change_ends_the_round(call):
    g = diamond()
    r = g.begin_round({"n0": 2})
    (a, _), (b, _) = r.ready()
    r.done(a, True)
    call(g)
    for use in (r.ready, lambda: r.done(b, True), lambda: next(r)):
        with pytest.raises(RuntimeError, match="ended by another call on its graph"):
            use()
    r.close()  # still idempotent
    assert "computing" not in [g.state_of(n) for n in ("n2", "n3", "n4")]
    g.build()
    assert g.begin_round({}).scheduled >= 2  # b and n4 were left for the next round


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda g: g.check_node("zz"), KeyError),
        (lambda g: g.mark_dirty(["n0", "zz"]), KeyError),
        (lambda g: g.add_node("n0", "input"), ValueError),
        (lambda g: g.set_deps("n4", ["n4"]), ValueError),
        (lambda g: g.state_of("n2"), None),
        (lambda g: g.needs_recompute("n2", 1), None),
        (lambda g: g.dirty_subgraph(["n0"]), None),
    ],
)
def test_queries_and_refused_calls_keep_the_round(call, error):
    g = diamond()
    r = g.begin_round({"n0": 2})
    handed = r.ready()
    if error is None:
        call(g)
    else:
        with pytest.raises(error):
            call(g)
    for n, _ in handed:
        r.done(n, True)
    assert [n for n, _ in r.ready()] == ["n4"]


@pytest.mark.parametrize("how", ["close", "drop", "with"])
def test_an_abandoned_round_leaves_its_unsettled_nodes_to_the_next(how):
    g = diamond()
    r = g.begin_round({"n0": 2})
    (a, _), _ = r.ready()
    r.done(a, True)
    if how == "close":
        r.close()
    elif how == "drop":
        del r
        gc.collect()
    else:
        with pytest.raises(ZeroDivisionError), r:
            1 / 0  # noqa: B018
    assert [g.state_of(n) for n in ("n2", "n3", "n4")] == ["clean", "dirty", "dirty"]
    assert g.dirty_nodes() == ["n3", "n4"]
    r = g.begin_round({})  # not forced: n3 still needs its value, so n4 follows
    assert (r.scheduled, [n for n, _ in r.ready()]) == (2, ["n3"])
    r.done("n3", False)  # n2 changed in the abandoned round: n4 must not be settled unread
    assert [n for n, _ in r.ready()] == ["n4"]


@pytest.mark.parametrize("how", ["close", "drop"])
def test_an_abandoned_round_keeps_its_seeds_as_seeds(how):
    # The seed n4 waits behind n2 and n3, which n0's new hash moves; abandoned
    # with them out, the next round without seeds hands n4 out although they
    # are reported unchanged and keep their keys.
    g = diamond()
    r = g.begin_round({"n0": 2}, ["n4"])
    assert [n for n, _ in r.ready()] == ["n2", "n3"]
    if how == "close":
        r.close()
    else:
        del r
        gc.collect()
    assert g.dirty_nodes() == ["n2", "n3", "n4"]
    r = g.begin_round({})
    assert [n for n, _ in r.ready()] == ["n2", "n3"]
    r.done("n3", False)
    r.done("n2", False)
    assert [n for n, _ in r.ready()] == ["n4"]
    r.done("n4", False)
    assert r.finished and g.dirty_nodes() == []
    assert g.begin_round({}).scheduled == 0  # a seed once reached is no seed any more


def test_a_finished_round_leaves_nothing_open():
    g = diamond()
    old = g.begin_round({"n0": 1})
    assert old.finished
    new = g.begin_round({"n0": 2})
    assert (old.ready(), list(old)) == ([], [])
    with pytest.raises(ValueError, match="the round is finished"):
        old.done("n2", True)
    old.close()
    assert not new.finished and isinstance(new, Round)
    with pytest.raises(TypeError):
        Round()
    with pytest.raises(TypeError):
        type("R", (Round,), {})


def test_reports_from_worker_threads():
    kinds = ["input"] + ["reactive"] * 64 + ["view"]
    deps = [[]] + [[0]] * 64 + [list(range(1, 65))]
    threaded, twin = make_graph(kinds, deps), make_graph(kinds, deps)
    decide = {f"n{i}": i % 3 == 0 for i in range(len(kinds))}
    lock = threading.Lock()  # the graph refuses overlapping calls; real work runs outside

    def report(r, node_id):
        with lock:
            r.done(node_id, decide[node_id])

    with ThreadPoolExecutor(4) as pool:
        r = threaded.begin_round({"n0": 1})
        while batch := r.ready():
            list(pool.map(lambda pair: report(r, pair[0]), reversed(batch)))
    drive_in_batches(twin, {"n0": 1}, [], decide, lambda batch: batch)
    assert fingerprint(threaded) == fingerprint(twin)


def test_reentrant_inputs_are_refused_and_change_nothing():
    g = diamond()
    before = snapshot(g)

    class Sneaky:
        def keys(self):
            return ["n0"]

        def items(self):
            g.commit_input("n0", 99)
            return [("n0", 2)]

    with pytest.raises(RuntimeError, match=ALREADY_BORROWED):
        g.begin_round(Sneaky())
    assert snapshot(g) == before


@pytest.mark.parametrize(
    "save", [Graph.to_bytes, copy.copy, copy.deepcopy, pickle.dumps], ids=lambda f: f.__name__
)
def test_an_open_round_refuses_copies_and_snapshots(save):
    g = diamond()
    r = g.begin_round({"n0": 2})
    with pytest.raises(RuntimeError, match="a round is open on this graph"):
        save(g)
    assert not r.finished and r.ready()  # the refusal ended nothing
    r.close()
    twin = copy.copy(g)
    r = g.begin_round({})  # the copy's round is its own, so both may run one
    assert twin.begin_round({}).scheduled == r.scheduled == 3


def test_a_restored_graph_gives_its_dirty_nodes_to_the_next_round():
    g = diamond()
    r = g.begin_round({"n0": 2})
    (a, _), _ = r.ready()
    r.done(a, True)
    r.close()
    restored = Graph.from_bytes(g.to_bytes())
    for graph in (g, restored):
        r = graph.begin_round({})
        assert (r.scheduled, [n for n, _ in r.ready()]) == (2, ["n3"])


class Pair:
    """An (id, hash) pair whose __len__ raises `error`."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        raise self.error

    def __getitem__(self, i):
        return ("n0", 1)[i]


class KeysRaise:
    """An object whose `keys` lookup raises `error`."""

    def __init__(self, error):
        self.error = error

    def __getattr__(self, name):
        raise self.error

    def __iter__(self):
        return iter([("n0", 1)])


@pytest.mark.parametrize("make", [Pair, KeysRaise], ids=["pair __len__", "mapping keys"])
@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
def test_interrupts_while_reading_inputs_reach_the_caller(make, error):
    g = diamond()
    before = snapshot(g)
    argument = [make(error())] if make is Pair else make(error())
    with pytest.raises(error):
        g.begin_round(argument)
    assert snapshot(g) == before
    assert g.begin_round({"n0": 2}).scheduled == 4


def test_other_errors_while_reading_inputs_are_tolerated():
    g = diamond()
    with pytest.raises(TypeError, match="cannot be converted to 'tuple\\[str, int\\]'"):
        g.begin_round([Pair(ValueError())])  # a broken __len__: not a pair
    assert g.begin_round(KeysRaise(AttributeError())).scheduled == 4  # no keys: pairs


def test_rounds_stay_exact_when_the_visit_stamps_wrap():
    # Each round numbers its closure past every stamp given out before, by
    # the graph's size: a graph of 2^18 nodes wraps the 32-bit stamps within
    # 2^14 rounds, and a traversal between rounds takes stamps of its own.
    g = Graph()
    size = 1 << 18
    for i in range(size - 2):
        g.add_node(f"i{i}", "input")
    g.add_node("r", "reactive")
    g.set_deps("r", ["i0", "i1"])
    g.add_node("v", "view")
    g.set_deps("v", ["r"])
    g.build()
    prime(g)
    for h in range(1, (1 << 14) + 64):
        r = g.begin_round({"i0": h})
        assert (r.scheduled, [n for n, _ in r.ready()]) == (3, ["r"])
        if h % 1000 == 0:
            assert g.dirty_subgraph(["i1"]) == ["i1", "r", "v"]
        r.done("r", h % 3 == 0)
        assert [n for n, _ in r.ready()] == (["v"] if h % 3 == 0 else [])
        if h % 3 == 0:
            r.done("v", False)
        assert r.finished


# ---- rounds against the per-node protocol, at the walk's limits -----------------

# What a walk gathers at once: the rows of this many heads, rows of up to
# this many dependants copied whole-lane, into room for both.
WALK_BATCH = 32
ROW_COPY = 4
# The walk starts with room for the whole graph, up to this many nodes.
WALK_ROOM = 1 << 16


def drive(r, plan, decide, reorder=lambda batch: batch):
    """Runs a round to the end, a batch or one node at a time as `plan` (a
    cycle of "ready"/"next") says; reports in `reorder(batch)` order."""
    handed, steps = [], itertools.cycle(plan)
    while not r.finished:
        batch = r.ready() if next(steps) == "ready" else list(itertools.islice(r, 1))
        if batch:  # the Python driver may find out it is finished one call late
            handed.append([n for n, _ in batch])
        for n, _ in reorder(batch):
            r.done(n, decide[n])
    return handed


def counts(r):
    return r.scheduled, r.settled, r.handed_out, r.committed, r.skipped, r.outstanding


def fan_out_graph(heads, fan_out, extra_deps, seed=7):
    """Inputs i0, i1; `heads` reactive heads on them; `heads * fan_out` leaves,
    each on one head plus `extra_deps` more heads or earlier leaves."""
    rng = random.Random(seed)
    nodes = [("i0", "input"), ("i1", "input")]
    deps = {}
    head_ids = [f"h{k}" for k in range(heads)]
    for k, h in enumerate(head_ids):
        nodes.append((h, "reactive"))
        deps[h] = ["i0", "i1"] if k % 2 else ["i0"]
    leaves = []
    for j in range(heads * fan_out):
        leaf = f"l{j}"
        pool = head_ids + leaves[-50:]
        deps[leaf] = sorted({head_ids[j % heads], *rng.sample(pool, extra_deps)})
        nodes.append((leaf, "view" if j % 5 == 0 else "reactive"))
        leaves.append(leaf)
    return lambda: helpers.make_graph(nodes, deps)


@pytest.mark.parametrize("plan", [["next"], ["ready"], ["ready", "next", "next"]])
@pytest.mark.parametrize(
    ("heads", "fan_out", "extra_deps"),
    [
        # Rows far past the gathered room, several such heads in one batch, and
        # more closure edges than the twice-the-nodes the walk starts with.
        (6, 500, 3),
        # More heads than one batch gathers, each row just past a whole-lane copy.
        (3 * WALK_BATCH + 1, ROW_COPY + 1, 1),
    ],
    ids=["wide rows", "many heads"],
)
def test_rounds_over_large_fan_outs_equal_the_per_node_protocol(plan, heads, fan_out, extra_deps):
    make = fan_out_graph(heads, fan_out, extra_deps)
    kernel, twin = prime(make()), prime(make())
    twin_rounds = PyRounds(twin)
    rng = random.Random(3)
    for hashes in ({"i0": 1}, {"i0": 2, "i1": 5}, {"i1": 6}):
        decide = {n: rng.random() < 0.4 for n in kernel.node_ids()}
        r, expected = kernel.begin_round(hashes), twin_rounds.begin_round(hashes, [])
        assert drive(r, plan, decide) == drive(expected, plan, decide)
        assert counts(r) == counts(expected)
        assert snapshot(kernel) == snapshot(twin)
    assert fingerprint(kernel) == fingerprint(twin)


def test_a_round_past_the_walks_initial_room_equals_the_per_node_protocol():
    # One node whose row holds more dependants than the walk has room for at
    # first, so every buffer of the walk grows while a row is visited. It is
    # reported unchanged, so the kernel settles its row without a handout.
    size = WALK_ROOM + 3 * WALK_BATCH * ROW_COPY
    nodes = [("i0", "input"), ("i1", "input"), "m"] + [f"r{j}" for j in range(size)]
    deps = {"m": ["i0"]} | {f"r{j}": ["m"] if j % 3 else ["m", "i1"] for j in range(size)}
    kernel, twin = helpers.make_graph(nodes, deps), helpers.make_graph(nodes, deps)
    for g in (kernel, twin):  # primed in batches: the graph is too large to go one by one
        r = g.begin_round({"i0": 0, "i1": 0}, g.node_ids()[2:])
        drive(r, ["ready"], dict.fromkeys(nodes[2:], True))
    seeds = [f"r{j}" for j in (0, size // 2, size - 1)]
    decide = dict.fromkeys(kernel.node_ids(), False)
    expected = per_node_round(twin, {"i0": 9}, decide, seeds, {"i0": 0, "i1": 0})
    r = kernel.begin_round({"i0": 9}, seeds)
    handed = r.ready()
    r.done("m", False)
    handed += r.ready()
    assert handed == expected and [n for n, _ in handed] == ["m", *seeds]
    for n in seeds:
        r.done(n, False)
    assert (r.finished, r.scheduled, r.settled) == (True, size + 2, size + 2 - len(expected))
    assert kernel.dirty_nodes() == twin.dirty_nodes() == []
    assert [kernel.check_node(n) for n in seeds] == [twin.check_node(n) for n in seeds]


@st.composite
def plans(draw):
    return draw(st.lists(st.sampled_from(["ready", "next"]), min_size=1, max_size=4))


@st.composite
def driver_graphs(draw, **sizes):
    """Graphs whose inputs have no deps: the Python driver hands out an input
    reached through its deps, where the kernel commits it with its hash."""
    kinds, deps = draw(dag_shapes(**sizes))
    return kinds, [[] if kind == "input" else ds for kind, ds in zip(kinds, deps, strict=True)]


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_mixed_batches_and_single_nodes_come_in_the_promised_order(data):
    # The exact sequence: one at a time the earliest node in the cached order,
    # a batch every node computable then, in that order. Reports within a
    # batch in any order; the epochs still go in topological order.
    kinds, deps = data.draw(driver_graphs(max_nodes=14))
    kernel, twin = twins(kinds, deps)
    twin_rounds = PyRounds(twin)
    for _ in range(data.draw(st.integers(1, 3))):
        hashes, seeds, decide = data.draw(round_args(kinds))
        plan = data.draw(plans())
        r, expected = kernel.begin_round(hashes, seeds), twin_rounds.begin_round(hashes, seeds)
        shuffled = drive(r, plan, decide, lambda batch: data.draw(st.permutations(batch)))
        assert shuffled == drive(expected, plan, decide)
        assert counts(r) == counts(expected)
    assert fingerprint(kernel) == fingerprint(twin)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_an_abandoned_rounds_leftovers_are_taken_up_once(data):
    # Reports pending when a round is abandoned get their epochs in
    # topological order whatever order they came in; what it left dirty goes
    # to the next round (abandoned too, sometimes) and to no round after.
    kinds, deps = data.draw(driver_graphs(min_nodes=3, max_nodes=14))
    kernel, twin = twins(kinds, deps)
    twin_rounds = PyRounds(twin)
    hashes, seeds, decide = data.draw(round_args(kinds))
    left_some = None  # nothing to take up before the first round
    for abandon in (True, data.draw(st.booleans()), False, False):
        r, expected = kernel.begin_round(hashes, seeds), twin_rounds.begin_round(hashes, seeds)
        if left_some is False:
            assert (r.finished, r.scheduled) == (True, 0)
        left_some = abandon
        if abandon:
            # The driver settles what reports unblock at its next call, so
            # the last batch is left short of a report, where both wait.
            batches = data.draw(st.integers(1, 2))
            for k in range(batches):
                batch = [n for n, _ in r.ready()]
                assert batch == [n for n, _ in expected.ready()]
                if not batch:
                    break
                room = len(batch) - (k == batches - 1)
                reported = data.draw(st.lists(st.sampled_from(batch), unique=True, max_size=room))
                for n in sorted(reported, key=batch.index, reverse=True):
                    r.done(n, decide[n])
                for n in sorted(reported, key=batch.index):
                    expected.done(n, decide[n])
                if len(reported) < len(batch):
                    break
            r.close()
            expected.close()
            assert r.finished == (r.scheduled == r.settled + r.committed + r.skipped)
            assert "computing" not in [kernel.state_of(n) for n in kernel.node_ids()]
            # The driver settles lazily: only the reports' counts compare.
            assert counts(r)[2:5] == counts(expected)[2:5]
        else:
            assert drive(r, ["ready"], decide) == drive(expected, ["ready"], decide)
            assert counts(r) == counts(expected)
        assert snapshot(kernel) == snapshot(twin)
        hashes, seeds = {}, []
    assert kernel.dirty_nodes() == []
    assert fingerprint(kernel) == fingerprint(twin)


@pytest.mark.parametrize(
    "stop",
    [
        lambda g, r: r.close(),
        lambda g, r: r.__exit__(None, None, None),
        *(lambda g, r, call=call: call(g) for call in ENDING_CALLS),
    ],
    ids=["close", "exit"] + [f"ended {k}" for k in range(len(ENDING_CALLS))],
)
def test_a_closed_or_ended_round_is_not_finished(stop):
    g = diamond()
    r = g.begin_round({"n0": 2})
    (a, _), _ = r.ready()
    r.done(a, True)
    stop(g, r)
    assert not r.finished
    r.close()  # and closing it again does not finish it
    assert not r.finished
    done = g.begin_round({"n0": 2}) if g.is_built() else None
    if done is not None:  # a finished round stays finished when closed
        while batch := done.ready():
            for n, _ in batch:
                done.done(n, False)
        done.close()
        assert done.finished


@pytest.mark.parametrize(
    "order",
    [lambda b: b, lambda b: b[::-1], lambda b: b[1:] + b[:1]],
    ids=["in order", "reversed", "rotated"],
)
def test_the_ids_of_a_batch_are_let_go_when_it_is_reported(order):
    # Reported in any order, and by an equal str that is not the one handed
    # out, the ids go back to what they were once the batch is complete,
    # with the round object still alive.
    kinds = ["input"] + ["reactive"] * (2 * WALK_BATCH) + ["view"]
    deps = [[]] + [[0]] * (2 * WALK_BATCH) + [list(range(1, 2 * WALK_BATCH + 1))]
    g = prime(make_graph(kinds, deps))
    r = g.begin_round({"n0": 1})
    ids = [n for n, _ in r.ready()]
    held = [sys.getrefcount(n) for n in ids]
    for n in order(ids):
        r.done("".join(n) if n == ids[-1] else n, True)
    del n
    assert [sys.getrefcount(n) for n in ids] == [h - 1 for h in held]
    ((last, _),) = r.ready()
    held = sys.getrefcount(last)
    r.done(last, False)
    assert r.finished and sys.getrefcount(last) == held - 1


@pytest.mark.parametrize("how", ["close", "ended"])
def test_reports_pending_at_an_abandon_get_their_epochs_in_topological_order(how):
    # A batch wider than a walk's batch, reported in reverse but one, then
    # abandoned: the epochs are those of reports in topological order.
    kinds = ["input"] + ["reactive"] * (WALK_BATCH + 1) + ["view"]
    deps = [[]] + [[0]] * (WALK_BATCH + 1) + [list(range(1, WALK_BATCH + 2))]
    kernel, twin = twins(kinds, deps)
    r, expected = kernel.begin_round({"n0": 1}), PyRounds(twin).begin_round({"n0": 1}, [])
    batch = [n for n, _ in r.ready()]
    assert batch == [n for n, _ in expected.ready()] and len(batch) == WALK_BATCH + 1
    for n in batch[:0:-1]:
        r.done(n, True)
    for n in batch[1:]:
        expected.done(n, True)
    if how == "close":
        r.close()
    else:
        kernel.set_dirty("n0")
        twin.set_dirty("n0")
    expected.close()
    assert fingerprint(kernel) == fingerprint(twin)
