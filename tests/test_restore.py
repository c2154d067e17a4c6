"""Epochs that come back: epoch_of, restore_node and done(..., epoch), and an
input given deps."""

import pytest
from helpers import Index, make_graph, snapshot
from model import EPOCH_HELD, EPOCH_NEVER_HANDED_OUT, INPUT_WITH_DEPS, quoted
from quorl import Graph
from round_model import prime
from test_snapshot import with_fields


def chain():
    """Source a under reactive b under view c, every node committed once: epochs 1, 2, 3."""
    g = make_graph([("a", "source"), "b", ("c", "view")], {"b": ["a"], "c": ["b"]})
    for n in ("a", "b", "c"):
        g.commit_node(n, g.check_node(n)[2])
    return g


def test_a_revert_comes_from_the_memo_all_the_way_down():
    # a's value changes and goes back: taking back the epoch it held with the
    # old value, a leaves b's fold as it was, so b's memo entry answers, and
    # b, restored in turn, leaves c's as it was.
    g = chain()
    memo = {n: (g.check_node(n)[2], g.epoch_of(n)) for n in ("b", "c")}
    assert [g.epoch_of(n) for n in ("a", "b", "c")] == [1, 2, 3]
    for n in ("a", "b", "c"):  # the upgrade: new values, new epochs 4, 5, 6
        g.commit_node(n, g.check_node(n)[2])
    g.restore_node("a", g.check_node("a")[2], 1)  # the revert
    for n in ("b", "c"):
        _kind, needs, signature = g.check_node(n)
        assert (needs, signature) == (True, memo[n][0])  # a memo hit, under the old signature
        g.restore_node(n, signature, memo[n][1])
    assert [g.epoch_of(n) for n in ("a", "b", "c")] == [1, 2, 3]
    assert g.dirty_nodes() == []
    g.commit_node("a", 0)
    assert g.epoch_of("a") == 7  # the counter did not move back, nor on restores


def test_restoring_the_epoch_a_node_holds_is_a_skip():
    g = chain()
    before = g.check_node("c")[2]
    g.set_dirty("b")
    g.restore_node("b", 11, 2)
    assert (g.state_of("b"), g.needs_recompute("b", 11), g.check_node("c")[2]) == (
        "clean",
        False,
        before,
    )


@pytest.mark.parametrize(
    ("node", "epoch", "message"),
    [
        ("a", 0, EPOCH_NEVER_HANDED_OUT.format(0, 3)),
        ("a", 4, EPOCH_NEVER_HANDED_OUT.format(4, 3)),
        ("a", 2**64 - 1, EPOCH_NEVER_HANDED_OUT.format(2**64 - 1, 3)),
        ("a", 2, EPOCH_HELD.format(2, quoted("b"))),
        ("c", 1, EPOCH_HELD.format(1, quoted("a"))),
    ],
)
def test_a_refused_restore_changes_nothing(node, epoch, message):
    g = chain()
    before = snapshot(g), [g.epoch_of(n) for n in g.node_ids()]
    with pytest.raises(ValueError) as caught:
        g.restore_node(node, 5, epoch)
    assert str(caught.value) == message
    assert (snapshot(g), [g.epoch_of(n) for n in g.node_ids()]) == before
    g.commit_node("a", 0)
    assert g.epoch_of("a") == 4


def test_an_epoch_given_up_may_be_taken_back_by_its_node_only():
    g = chain()
    g.commit_node("b", 0)  # b gives up 2 for 4
    with pytest.raises(ValueError, match=r"^epoch 4 is held by node"):
        g.restore_node("a", 0, 4)
    g.restore_node("b", 0, 2)
    g.restore_node("a", 0, 4)  # nobody holds 4 now: the kernel cannot tell it was b's
    assert (g.epoch_of("a"), g.epoch_of("b")) == (4, 2)
    # Every epoch still held once: the graph's snapshot restores.
    assert snapshot(Graph.from_bytes(g.to_bytes())) == snapshot(g)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda g: g.epoch_of("zz"), KeyError, f"'unknown node: {quoted('zz')}'"),
        (lambda g: g.restore_node("zz", 1, 0), KeyError, f"'unknown node: {quoted('zz')}'"),
        (lambda g: g.restore_node("a", 1, -1), OverflowError, None),
        (lambda g: g.restore_node("a", -1, 1), OverflowError, None),
        (lambda g: g.restore_node("a", 1, 2**64), OverflowError, None),
        (
            lambda g: g.restore_node("a", 1, 1.0),
            TypeError,
            "argument 'epoch': 'float' object cannot be interpreted as an integer",
        ),
        (lambda g: g.epoch_of(1), TypeError, "argument 'id': 'int' object cannot be converted"),
        (
            lambda g: g.restore_node("a", 1),
            TypeError,
            "Graph.restore_node() missing 1 required positional argument: 'epoch'",
        ),
    ],
)
def test_bad_arguments_are_refused_first(call, error, message):
    g = chain()
    before = snapshot(g)
    with pytest.raises(error) as caught:
        call(g)
    if message is not None:
        assert str(caught.value).startswith(message)
    assert snapshot(g) == before


def test_epochs_convert_as_signatures_do():
    g = chain()
    g.commit_node("a", 0)
    g.restore_node("a", True, True)  # bool is an int
    g.restore_node(id="b", signature=Index(3), epoch=Index(2))
    assert (g.epoch_of("a"), g.epoch_of("b"), g.needs_recompute("a", 1)) == (1, 2, False)


def test_epoch_of_reads_an_open_round_and_restore_node_ends_it():
    g = chain()
    r = g.begin_round({}, ["a"])
    ((n, _),) = r.ready()
    r.done(n, True)  # the round goes on to b: a took epoch 4
    assert (g.epoch_of("a"), g.epoch_of("b")) == (4, 2)  # b, not reached, reports its own
    assert not r.finished
    with pytest.raises(ValueError, match=r"^epoch 5 was never handed out"):
        g.restore_node("b", 0, 5)
    assert [n for n, _ in r.ready()] == ["b"]  # the refusal kept the round open
    g.restore_node("b", 0, 2)
    with pytest.raises(RuntimeError, match="ended by another call"):
        r.ready()
    assert (g.state_of("b"), g.state_of("c")) == ("clean", "dirty")


def test_a_refused_restore_keeps_the_round_open():
    g = chain()
    r = g.begin_round({}, ["a"])
    with pytest.raises(ValueError, match=r"^epoch 9 was never handed out"):
        g.restore_node("c", 0, 9)
    with pytest.raises(KeyError):
        g.restore_node("zz", 0, 1)
    assert [n for n, _ in r.ready()] == ["a"]


def batch_graph():
    """Sources a and b under reactive c, all committed: a 1, b 2, c 3."""
    g = make_graph([("a", "source"), ("b", "source"), "c"], {"c": ["a", "b"]})
    for n in ("a", "b", "c"):
        g.commit_node(n, g.check_node(n)[2])
    g.commit_node("a", 0)  # a gives up 1 for 4
    return g


@pytest.mark.parametrize("order", [("a", "b"), ("b", "a")])
def test_a_batch_restores_whatever_the_order_of_its_reports(order):
    g = batch_graph()
    assert g.check_node("c")[1]  # a moved since c's commit
    r = g.begin_round({}, ["a", "b"])
    batch = dict(r.ready())
    epochs = {"a": 1, "b": 2}
    for n in order:
        r.done(n, n == "a", epochs[n])
    # a took 1 back, b kept 2: c folds what it folded at its commit, and
    # the kernel settles it.
    assert r.ready() == [] and r.finished
    assert (g.epoch_of("a"), g.epoch_of("b"), g.check_node("c")[1]) == (1, 2, False)
    assert (r.committed, r.skipped, r.settled) == (1, 1, 1)
    assert (g.needs_recompute("a", batch["a"]), g.state_of("c")) == (False, "clean")
    g.commit_node("a", 0)
    assert g.epoch_of("a") == 5  # no epoch was consumed


@pytest.mark.parametrize(
    ("epoch", "message"),
    [
        (0, EPOCH_NEVER_HANDED_OUT.format(0, 4)),
        # The epoch b's commit in the same batch is still to take: never handed out.
        (5, EPOCH_NEVER_HANDED_OUT.format(5, 4)),
        (3, EPOCH_HELD.format(3, quoted("c"))),
    ],
)
def test_a_refused_done_leaves_the_node_out_and_the_round_open(epoch, message):
    g = batch_graph()
    r = g.begin_round({}, ["a", "b"])
    r.ready()
    r.done("b", True)

    def seen():  # queries that keep the round open, as check_node would not
        return [(g.state_of(n), g.epoch_of(n), g.needs_recompute(n, 0)) for n in "abc"]

    before = seen()
    with pytest.raises(ValueError) as caught:
        r.done("a", True, epoch)
    assert str(caught.value) == message
    assert seen() == before
    assert (r.outstanding, r.committed, g.state_of("a")) == (1, 1, "computing")
    r.done("a", True, epoch=None)
    assert (g.epoch_of("a"), g.epoch_of("b")) == (5, 6)  # in topological order


@pytest.mark.parametrize(
    ("epoch", "error"),
    [(-1, OverflowError), (2**64, OverflowError), ("1", TypeError), (1.5, TypeError)],
)
def test_done_converts_its_epoch_after_the_other_arguments(epoch, error):
    g = batch_graph()
    r = g.begin_round({}, ["a"])
    ((n, _),) = r.ready()
    with pytest.raises(TypeError, match="argument 'changed'"):
        r.done(n, 1, epoch)
    with pytest.raises(error):
        r.done(n, False, epoch)
    assert r.outstanding == 1
    r.done(n, False, True)  # epoch 1, a's own once: nobody holds it
    assert g.epoch_of("a") == 1


def test_done_binds_its_epoch_by_keyword():
    g = batch_graph()
    r = g.begin_round({}, ["a"])
    ((n, _),) = r.ready()
    with pytest.raises(TypeError, match="takes 3 positional arguments but 4 were given"):
        r.done(n, True, 1, 2)
    r.done(node_id=n, epoch=Index(1), changed=True)
    assert (g.epoch_of("a"), r.committed) == (1, 1)


# ---------------------------------------------------------------- an input given deps


def test_an_input_seed_with_deps_is_refused_naming_them():
    g = make_graph([("a", "source"), ("b", "source"), ("x", "input")], {"x": ["b", "a"]})
    before = snapshot(g)
    with pytest.raises(ValueError) as caught:
        g.begin_round({}, ["x"])
    assert str(caught.value) == INPUT_WITH_DEPS.format(quoted("x"), '"b", "a"')
    assert snapshot(g) == before
    assert g.begin_round({"x": 3}, ["x"]).finished  # with a hash it is an input like another


def test_an_input_reached_through_its_deps_keeps_its_hash():
    # A dep of an input changing does not change the input's value: it
    # settles with the hash it has, and what folds it sees no move.
    g = make_graph([("a", "source"), ("x", "input"), "r"], {"x": ["a"], "r": ["x"]})
    with g.begin_round({"x": 5}, ["a", "r"]) as r:
        for n, _ in r:
            r.done(n, True)
    fold = g.check_node("r")[2]
    with g.begin_round({}, ["a"]) as r:
        assert [n for n, _ in r if r.done(n, True) is None] == ["a"]
    assert r.finished and g.needs_recompute("x", 5) is False
    assert g.check_node("r") == ("reactive", False, fold)


# ---------------------------------------------------------------- who holds an epoch


def indexed_chain():
    """chain() after a restore: the kernel now keeps which node holds each epoch."""
    g = chain()
    g.restore_node("c", 0, 3)
    return g


@pytest.mark.parametrize(
    ("commit", "holder"),
    [
        (lambda g: g.commit_node("a", 0), "a"),
        (lambda g: drive(g, "a"), "a"),
        # More commits than the graph has nodes, none restored: the index is
        # let go, and rebuilt whole for the next restore.
        (lambda g: [g.commit_node("a", 0)] + [g.commit_node("c", 0) for _ in range(80)], "a"),
    ],
    ids=["commit_node", "round", "many commits"],
)
def test_an_epoch_handed_out_after_a_restore_is_known_as_held(commit, holder):
    g = indexed_chain()
    commit(g)
    epoch = g.epoch_of(holder)
    with pytest.raises(ValueError) as caught:
        g.restore_node("b", 0, epoch)
    assert str(caught.value) == EPOCH_HELD.format(epoch, quoted(holder))


def drive(g, seed):
    """A round with `seed` reported changed, and whatever it hands out after."""
    with g.begin_round({}, [seed]) as r:
        for n, _ in r:
            r.done(n, n == seed)


def test_an_epoch_taken_by_another_node_is_no_longer_its_old_holders():
    g = indexed_chain()
    g.commit_node("a", 0)  # a gives up 1
    g.restore_node("b", 0, 1)  # b takes it
    with pytest.raises(ValueError) as caught:
        g.restore_node("a", 0, 1)
    assert str(caught.value) == EPOCH_HELD.format(1, quoted("b"))


def test_a_restore_outside_rounds_makes_the_next_round_fold_again():
    # A round settles a node without folding while no dep's key moved since
    # its signature was folded: a restore that moves a key, or stores a
    # signature, must count.
    g = prime(make_graph([("s", "source"), "t", "u", "w"], {"t": ["s"], "u": ["s"], "w": ["u"]}))
    g.commit_node("t", g.check_node("t")[2])  # t gives up 2 for 5
    g.restore_node("s", g.check_node("s")[2], 2)  # s's key moves: t and u fold again
    g.restore_node("w", 12345, g.epoch_of("w"))  # w's signature is not its fold
    with g.begin_round({}, ["s"]) as r:
        assert [n for n, _ in r if r.done(n, False) is None] == ["s", "t", "u", "w"]


def test_restores_take_none_of_the_epochs_left():
    limit = 2**63 - 1
    g = Graph.from_bytes(with_fields(counter=limit - 1))  # one epoch left; b holds 1
    with g.begin_round({}, ["b", "d"]) as r:
        assert sorted(dict(r.ready())) == ["b", "d"]
        r.done("b", True, 1)
        r.done("d", True)  # the last epoch
        ((n, _),) = r.ready()
        with pytest.raises(OverflowError, match=r"^epoch counter exhausted"):
            r.done(n, True)
        with pytest.raises(ValueError, match=f"^epoch {limit} is held by node"):
            r.done(n, True, epoch=limit)  # d's, whose commit took it
        r.done(n, False, epoch=limit - 1)  # nobody's: the snapshot's counter alone had it
    assert (g.epoch_of("b"), g.epoch_of("c"), g.epoch_of("d")) == (1, limit - 1, limit)
