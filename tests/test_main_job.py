"""The demo driver: its counts add up, memo hits and cut-offs happen, values stay right."""

import dataclasses
import io

import pytest
from helpers import run_python
from quorl.demo import MEMO_HIT, RECOMPUTED, UNCHANGED, NodeSpec, ProtocolError, Reactor, run

SMALL = {"nodes": 400, "rounds": 9, "changes": 4, "seed": 3}


@pytest.fixture(scope="module")
def small_run():
    out = io.StringIO()
    return run(**SMALL, verify=True, out=out), out.getvalue()


def test_every_scheduled_node_is_accounted_for(small_run):
    stats, _ = small_run
    assert len(stats) == SMALL["rounds"]
    for s in stats:
        assert s.scheduled == s.recomputed + s.memo_hits + s.unchanged + s.changed, s
        assert (s.verified, s.dirty_after) == (True, 0)


def test_rounds_reuse_memo_entries_and_cut_off(small_run):
    stats, output = small_run
    back = [s for s in stats if s.reverted]
    assert [s.round for s in back] == [3, 6, 9]
    assert sum(s.memo_hits for s in back) > 0
    assert sum(s.memo_hits for s in stats if not s.reverted) == 0
    assert any(s.unchanged > 0 for s in stats)
    assert "values equal a from-scratch computation" in output


def test_same_seed_same_counts():
    def counts(stats):
        return [dataclasses.replace(s, ms=0.0) for s in stats]

    again = dict(SMALL, rounds=4)
    assert counts(run(**again, out=io.StringIO())) == counts(run(**again, out=io.StringIO()))


def test_module_entry_point():
    out = run_python(args=["-m", "quorl", "--nodes", "300", "--rounds", "3"], timeout=60)
    rows = [line for line in out.splitlines() if line[:5].strip().isdigit()]
    assert [row.split()[0] for row in rows] == ["1", "2", "3"]


def chain(middle):
    """i -> m -> d, where d sees i only through m."""
    return Reactor(
        [
            NodeSpec("i", "input"),
            NodeSpec("m", "reactive", ("i",), middle),
            NodeSpec("d", "reactive", ("m",), lambda m: m + 1),
        ],
        {"i": 10},
    )


@pytest.mark.parametrize(
    ("middle", "d_outcome", "d_value"),
    [
        (lambda i: i * 2, RECOMPUTED, 21),  # memo value differs from the current one: d refolds
        (lambda i: min(i, 5), UNCHANGED, 6),  # memo value equals the current one: d is cut off
    ],
)
def test_input_returning_to_an_old_value(middle, d_outcome, d_value):
    r = chain(middle)
    r.compute_all()
    r.update({"i": 20})
    scheduled, outcomes = r.update({"i": 10})
    assert scheduled == ["i", "m", "d"]
    assert (outcomes["m"], outcomes["d"]) == (MEMO_HIT, d_outcome)
    assert r.values["d"] == d_value
    assert r.graph.dirty_nodes() == []
    r.check(verify=True)


def test_verification_catches_an_epoch_that_does_not_follow_the_value(monkeypatch):
    def settle_keeping_epoch(self, node_id, sig, value):
        self.values[node_id] = value
        self.graph.skip_node(node_id, sig)

    r = chain(lambda i: i * 2)
    r.compute_all()
    monkeypatch.setattr(Reactor, "settle", settle_keeping_epoch)
    r.update({"i": 20})
    with pytest.raises(ProtocolError, match="stale values, first 'd': 21, expected 41"):
        r.check(verify=True)
