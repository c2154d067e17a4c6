"""The demo driver: its counts add up, memo hits and cut-offs happen, values stay right."""

import dataclasses
import io

import pytest
from helpers import run_python
from quorl.demo import NodeSpec, ProtocolError, build_engine, check, main, run

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


@pytest.mark.parametrize("executor", ["serial", "threads"])
def test_module_entry_point(executor):
    options = ["--nodes", "300", "--rounds", "3", "--executor", executor, "--workers", "2"]
    out = run_python(args=["-m", "quorl", *options, "--verify"], timeout=60)
    rows = [line for line in out.splitlines() if line[:5].strip().isdigit()]
    assert [row.split()[0] for row in rows] == ["1", "2", "3"]
    assert all(row.endswith("x") == (executor != "serial") for row in rows)  # the speed-up


SPECS = [
    NodeSpec("i", "input"),
    NodeSpec("m", "reactive", ("i",), None),
    NodeSpec("d", "reactive", ("m",), lambda m: m + 1),
]


def chain(middle):
    """i -> m -> d, where d sees i only through m."""
    specs = [SPECS[0], NodeSpec("m", "reactive", ("i",), middle), SPECS[2]]
    return build_engine(specs, {"i": 10}), specs


@pytest.mark.parametrize(
    ("middle", "d_recomputed", "d_value"),
    [
        (lambda i: i * 2, 1, 21),  # memo value differs from the current one: d refolds
        (lambda i: min(i, 5), 0, 6),  # memo value equals the current one: d is cut off
    ],
)
def test_input_returning_to_an_old_value(middle, d_recomputed, d_value):
    engine, specs = chain(middle)
    engine.set()
    engine.set({"i": 20})
    report = engine.set({"i": 10})
    assert report.scheduled == 3
    assert (report.memo_hits, report.recomputed, report.unchanged) == (
        1,
        d_recomputed,
        1 - d_recomputed,
    )
    assert engine["d"] == d_value
    assert engine.dirty() == []
    check(engine, specs, verify=True)


class KeepingEpochs:
    """A round whose driver reports every value as unchanged: epochs no longer follow values."""

    def __init__(self, round_):
        self.round = round_

    def __getattr__(self, name):
        return getattr(self.round, name)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return self.round.__exit__(*exc)

    def done(self, node_id, changed):
        self.round.done(node_id, False)


def test_verification_catches_an_epoch_that_does_not_follow_the_value():
    engine, specs = chain(lambda i: i * 2)
    engine.set()
    begin = engine._begin_round
    engine._begin_round = lambda *args: KeepingEpochs(begin(*args))
    engine.set({"i": 20})
    with pytest.raises(ProtocolError, match="stale values, first 'd': 21, expected 41"):
        check(engine, specs, verify=True)


def test_save_then_load_starts_warm(tmp_path):
    path = tmp_path / "job.qrl"
    options = {"nodes": 300, "changes": 4, "seed": 7, "verify": True}
    # Saved right after the first computation: the warm start has nothing to do
    # and the rounds after it are those of a run that never stopped.
    run(**options, rounds=0, save=str(path), out=io.StringIO())
    out = io.StringIO()
    cold = run(**options, rounds=3, out=io.StringIO())
    warm = run(**options, rounds=3, load=str(path), out=out)
    assert ": 0 scheduled, 0 recomputed, 0 memo hits, 0 unchanged" in out.getvalue()
    untimed = [[dataclasses.replace(s, ms=0.0) for s in stats] for stats in (cold, warm)]
    assert untimed[0] == untimed[1]


@pytest.mark.parametrize("options", [["--nodes", "201"], ["--seed", "1"], ["--load", "missing"]])
def test_load_of_a_foreign_or_missing_file_fails_cleanly(tmp_path, capsys, options):
    path = tmp_path / "job.qrl"
    run(nodes=200, rounds=0, save=str(path), out=io.StringIO())
    assert main(["--nodes", "200", "--rounds", "1", "--load", str(path), *options]) == 1
    assert capsys.readouterr().err.startswith("error: ")
