"""check_node reads, but ends an open round: it takes the graph shared, as
calls that may overlap do, and exclusively only while a round is open."""

import pytest
from helpers import Seq, make_graph
from model import ALREADY_BORROWED, ALREADY_MUTABLY_BORROWED


def chain():
    """a -> b -> c, built and settled, so that a round hands out what it seeds."""
    g = make_graph(["a", "b", "c"], {"b": ["a"], "c": ["b"]})
    with g.begin_round({}, ["a"]) as r:
        for n, _ in r:
            r.done(n, True)
    return g


def states(g):
    return [g.state_of(i) for i in g.node_ids()]


def test_shared_calls_still_overlap_check_node_without_a_round():
    g = chain()
    seen = []
    g.dirty_subgraph(Seq(["a", "b"], during=lambda: seen.append(g.check_node("c"))))
    assert seen == [g.check_node("c")]


@pytest.mark.parametrize(
    ("holder", "message"),
    [
        ("dirty_subgraph", ALREADY_BORROWED),  # held shared: ending the round would write under it
        ("set_deps", ALREADY_MUTABLY_BORROWED),  # held exclusively: refused as any shared call
    ],
)
def test_check_node_during_a_round_and_another_borrow_is_refused_and_changes_nothing(
    holder, message
):
    g = chain()
    r = g.begin_round({}, ["a"])
    (handed,) = r.ready()
    before = states(g)
    errors = []

    def check():
        with pytest.raises(RuntimeError, match=message) as info:
            g.check_node("c")
        errors.append(info.value)

    deps = Seq(["a", "a"], during=check)
    if holder == "dirty_subgraph":
        g.dirty_subgraph(deps)
    else:
        g.set_deps("c", deps)  # succeeds afterwards, and ends the round itself
    assert len(errors) == 1
    if holder == "dirty_subgraph":
        assert states(g) == before and r.outstanding == 1
        r.done(handed[0], False)  # the round went on
        assert r.finished


def test_check_node_ends_a_round_it_may_take_exclusively():
    g = chain()
    r = g.begin_round({}, ["a"])
    r.ready()
    kind, stale, _ = g.check_node("c")
    assert (kind, stale) == ("reactive", False)
    assert states(g) == ["dirty", "dirty", "dirty"] and not r.finished
    with pytest.raises(RuntimeError, match="ended"):
        r.ready()
