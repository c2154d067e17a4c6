"""The engine in one thread: the epoch rule, memo, cut-off, failures, bad input."""

import contextlib
import math
import os
import random
import struct
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from decimal import Decimal

import pytest
from engine_support import ROUNDS, from_scratch, make_engine, values
from hypothesis import given, settings
from hypothesis import strategies as st
from quorl import stable_hash


@pytest.fixture(params=ROUNDS)
def rounds(request):
    return request.param


def chain(rounds, middle, **options):
    """i -> m -> d, where d sees i only through m; counts the calls."""
    calls = {"m": 0, "d": 0}

    def m(i):
        calls["m"] += 1
        return middle(i)

    def d(m):
        calls["d"] += 1
        return m + 1

    engine = make_engine(rounds, **options)
    engine.input("i", 10)
    engine.node("m", m, ["i"])
    engine.node("d", d, ["m"])
    engine.set()
    return engine, calls


@pytest.mark.parametrize(
    ("middle", "d_calls", "cut_off"),
    [
        (lambda i: i * 2, 3, 0),  # memo value differs from the current one: d recomputes
        (lambda i: min(i, 5), 1, 1),  # memo value equals the current one: d is cut off
    ],
)
def test_input_returning_to_an_old_value(rounds, middle, d_calls, cut_off):
    engine, calls = chain(rounds, middle)
    engine.set({"i": 20})
    report = engine.set({"i": 10})
    assert (report.scheduled, report.memo_hits, report.cut_off) == (3, 1, cut_off)
    assert calls == {"m": 2, "d": d_calls}
    assert values(engine) == from_scratch(engine)
    assert engine.dirty() == []


def test_equal_input_value_settles_everything_in_the_kernel(rounds):
    engine, calls = chain(rounds, lambda i: i * 2)
    report = engine.set({"i": 10})
    assert (report.inputs, report.unchanged, report.recomputed) == (1, 2, 0)
    assert calls == {"m": 1, "d": 1}


@pytest.mark.parametrize(("memo_size", "m_calls"), [(0, 6), (1, 6), (2, 4), (8, 3)])
def test_memo_is_bounded_least_recently_used_first(rounds, memo_size, m_calls):
    engine, calls = chain(rounds, lambda i: i * 2, memo_size=memo_size)
    # 10 is used again after 20, so with two entries 30 pushes 20 out, not 10.
    for value in (20, 10, 30, 10, 20):
        engine.set({"i": value})
    assert calls["m"] == m_calls
    assert engine["d"] == 41


class NoEquality:
    def __eq__(self, other):
        raise TypeError("no answer")

    __hash__ = None

    def __repr__(self):
        return "NoEquality()"


def test_values_equal_but_of_another_type_are_a_change(rounds):
    engine = make_engine(rounds)
    engine.input("i", 1)
    engine.node("m", lambda i: i if i != 2 else NoEquality(), ["i"])
    engine.node("text", repr, ["m"], kind="view")
    engine.set()
    engine.set({"i": 1.0})
    assert engine["text"] == "1.0"
    engine.set({"i": True})
    assert engine["text"] == "True"
    engine.set({"i": 2})
    assert engine.set({"i": 2.0}, explain=True).why == {"m": ("i",), "text": ("m",)}
    assert engine["text"] == "NoEquality()"  # an == that raises counts as a change


class Loose:
    """Equal to everything, as a careless __eq__ can be; what it holds still shows."""

    def __init__(self, x):
        self.x = x

    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


def observe(value):
    """What code downstream can tell of a value: types, float bits, order."""
    if type(value) is float:
        return struct.pack("<d", value)
    if isinstance(value, dict):
        return ("dict", [(observe(k), observe(v)) for k, v in value.items()])
    if isinstance(value, (list, tuple, set, frozenset)):
        return (type(value).__name__, [observe(item) for item in value])
    if isinstance(value, Loose):
        return ("Loose", observe(value.x))
    return (type(value).__name__, repr(value))


SIGNED_ZEROS_AND_NANS = [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf]
scalars = st.one_of(
    st.floats(),
    st.sampled_from(SIGNED_ZEROS_AND_NANS),
    st.integers(-1, 1),
    st.booleans(),
    st.sampled_from([Decimal("1"), Decimal("1.0"), Decimal("-0")]),
    st.builds(Loose, st.sampled_from([0, 0.0, -0.0, True])),
)
keys = st.one_of(st.integers(0, 1), st.booleans(), st.sampled_from([0.0, -0.0]))
cut_off_values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3),
        st.tuples(inner, inner),
        st.dictionaries(keys, inner, max_size=3),
        st.frozensets(keys, max_size=3),
    ),
    max_leaves=6,
)


@pytest.mark.parametrize("rounds", ROUNDS)
@settings(max_examples=150, deadline=None)
@given(st.lists(cut_off_values, min_size=2, max_size=6))
def test_the_default_cut_off_never_departs_from_a_computation_from_scratch(rounds, seq):
    engine = make_engine(rounds, memo_size=2)
    engine.input("i", 0)
    engine.node("m", seq.__getitem__, ["i"])
    engine.node("seen", observe, ["m"])
    engine.node("sign", lambda m: math.copysign(1.0, m) if type(m) is float else None, ["m"])
    for index in [*range(len(seq)), 0]:
        engine.set({"i": index})
        assert engine["seen"] == observe(seq[index])
        assert engine["sign"] == from_scratch(engine)["sign"]


def always_equal(old, new):
    return True


def cyclic():
    items = [0.5]
    items.append(items)
    return items


def nested(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


@pytest.mark.parametrize(
    ("cutoff", "old", "new", "kept"),
    [
        ("exact", 0.0, -0.0, False),
        ("exact", math.nan, math.nan, True),
        ("exact", 1, 1.0, False),
        ("exact", [1, (2.0, "x")], [1, (2.0, "x")], True),
        ("exact", {"a": 1, "b": 2}, {"b": 2, "a": 1}, False),  # another order to read
        ("exact", Decimal("1.0"), Decimal("1"), False),
        ("exact", cyclic(), cyclic(), True),
        ("exact", nested(5000), nested(5000), False),  # too deep to walk: a change
        ("equal", 0.0, -0.0, True),
        ("equal", Decimal("1.0"), Decimal("1"), True),
        ("equal", 1, 1.0, False),
        ("equal", NoEquality(), NoEquality(), False),
        ("identity", float("5e3"), float("5e3"), False),  # equal, not the same object
        ("never", "same", "same", False),
        (always_equal, 1, 2, True),
    ],
)
def test_a_node_chooses_its_cut_off(rounds, cutoff, old, new, kept):
    engine = make_engine(rounds)
    engine.input("i", 0)
    engine.node("m", [old, new].__getitem__, ["i"], cutoff=cutoff)
    engine.node("d", lambda m: m, ["m"], cutoff="never")
    engine.set()
    report = engine.set({"i": 1})
    assert engine["m"] is engine["d"] is (old if kept else new)
    assert (report.cut_off, report.recomputed) == ((1, 1) if kept else (0, 2))


def test_a_cut_off_rule_that_raises_fails_the_round_for_its_node(rounds):
    calls = []

    def fussy(old, new):
        calls.append((old, new))
        if len(calls) == 1:
            raise LookupError("cannot compare")
        return False

    engine = make_engine(rounds)
    engine.input("i", 1)

    @engine.node("m", deps=["i"], cutoff=fussy)
    def m(i):
        return i * 2

    engine.node("d", lambda m: m + 1, ["m"])
    engine.node("other", lambda i: -i, ["i"])
    engine.set()
    assert calls == []  # a first value has nothing to compare with
    with pytest.raises(LookupError, match="cannot compare") as info:
        engine.set({"i": 2})
    assert info.value.__notes__ == ["raised by the cut-off rule of quorl node 'm'"]
    assert (engine.last_report.failed, engine.dirty(), engine["other"]) == (("m",), ["m", "d"], -2)
    engine.set()
    assert calls == [(2, 4), (2, 4)]
    assert values(engine) == from_scratch(engine)


def random_engine(rounds, seed, count=60, **options):
    rng = random.Random(seed)
    engine = make_engine(rounds, **options)
    ids = []
    for index in range(count):
        node_id = f"n{index}"
        if index < 5 or rng.random() < 0.1:
            engine.input(node_id, rng.randrange(10))
        else:
            deps = rng.sample(ids, rng.randint(1, min(3, len(ids))))
            step = rng.randrange(1, 5)
            engine.node(node_id, lambda *xs, step=step: sum(xs) // step % 7, deps)
        ids.append(node_id)
    return engine, rng


@pytest.mark.parametrize("seed", range(4))
def test_random_rounds_match_a_computation_from_scratch(rounds, seed):
    engine, rng = random_engine(rounds, seed, memo_size=3)
    engine.set()
    inputs = [n for n in engine.graph.node_ids() if engine.kind_of(n) == "input"]
    for _ in range(25):
        report = engine.set({i: rng.randrange(4) for i in rng.sample(inputs, 3)})
        assert report.scheduled == (
            report.inputs + report.recomputed + report.memo_hits + report.unchanged
        )
        assert values(engine) == from_scratch(engine)
        assert engine.dirty() == []


def test_explain_names_the_deps_that_changed(rounds):
    engine = make_engine(rounds)
    engine.input("a", 1)
    engine.input("b", 1)
    engine.node("flat", lambda a: 0, ["a"])
    engine.node("sum", lambda a, b, flat: a + b + flat, ["a", "b", "flat"])
    first = engine.set(explain=True)
    assert first.why == {"flat": ("a",), "sum": ("a", "b", "flat")}
    report = engine.set({"a": 2, "b": 1}, explain=True)  # b keeps its value, flat its result
    assert report.why == {"flat": ("a",), "sum": ("a",)}
    engine.replace("flat", lambda a: 1)
    assert engine.refresh(explain=True).why == {"flat": (), "sum": ("flat",)}


def outcome_engine(rounds, **options):
    """a -> double -> parity -> odd, a -> tens, a -> boom -> below (boom fails for a == 3)."""

    def boom(a):
        if a == 3:
            raise ZeroDivisionError("three")
        return a

    engine = make_engine(rounds, **options)
    engine.input("a", 1)
    engine.input("b", 1)
    engine.node("double", lambda a: a * 2, ["a"])
    engine.node("parity", lambda double: double % 2, ["double"])
    engine.node("odd", lambda parity: parity + 1, ["parity"])
    engine.node("tens", lambda a: a // 10, ["a"])
    engine.node("boom", boom, ["a"])
    engine.node("below", lambda boom: boom, ["boom"])
    engine.node("bees", lambda b: b, ["b"])
    return engine


@pytest.mark.parametrize("executor", [None, "threads"])
def test_explain_reports_what_each_node_came_to(rounds, executor):
    engine = outcome_engine(rounds, executor=executor)
    try:
        first = engine.set(explain=True)
        assert set(first.outcomes.values()) == {"input", "recomputed"}
        assert list(first.outcomes) == engine.graph.topo_order()
        assert engine.set({"a": 2}).outcomes is None  # only with explain
        back = engine.set({"a": 1}, explain=True)
        assert back.outcomes == {
            "a": "input",
            "double": "memo hit",  # an older value comes back: a change
            "tens": "memo hit, cut off",
            "boom": "memo hit",
            "parity": "recomputed, cut off",  # double's new epoch is a new signature
            "below": "recomputed",
            "odd": "settled",
        }
        with pytest.raises(ZeroDivisionError):
            engine.set({"a": 3}, explain=True)
        failed = engine.last_report
        assert failed.outcomes["boom"] == "failed" and "below" not in failed.outcomes
        assert failed.outcomes["tens"] == "recomputed, cut off"
        # The nodes the failed round left dirty join the next one, and its outcomes.
        retried = engine.set({"a": 4}, explain=True)
        assert retried.outcomes["below"] == "recomputed"
        for report in (first, back, failed, retried):
            kinds = list(report.outcomes.values())
            assert len(kinds) == report.scheduled - report.left_dirty
            assert kinds.count("input") == report.inputs
            assert kinds.count("settled") == report.unchanged
            assert kinds.count("failed") == len(report.failed)
            assert sum("cut off" in k for k in kinds) == report.cut_off
            assert sum(k.startswith("memo hit") for k in kinds) == report.memo_hits
            assert sum(k.startswith("recomputed") for k in kinds) == report.recomputed
    finally:
        engine.close()


class InterruptedStore(dict):
    """Values whose first store of "a" is interrupted: the kernel has just
    committed it with a new epoch."""

    armed = True

    def __setitem__(self, key, value):
        if key == "a" and self.armed:
            self.armed = False
            raise KeyboardInterrupt
        super().__setitem__(key, value)


@pytest.mark.parametrize("executor", [None, "threads"])
def test_an_interrupt_after_a_commit_keeps_the_value_with_its_epoch(rounds, executor):
    engine = make_engine(rounds, executor=executor)
    engine.input("i", 1)
    engine.node("a", lambda i: i + 1, ["i"])
    engine.node("b", lambda a: a * 10, ["a"])
    engine.set()
    engine._state.values = InterruptedStore(engine._state.values)
    with pytest.raises(KeyboardInterrupt):
        engine.set({"i": 5})
    assert engine["a"] == 6  # committed with a new epoch: its value is stored
    engine.set()
    assert values(engine) == from_scratch(engine) == {"i": 5, "a": 6, "b": 60}
    engine.close()


def test_progress_reports_up_to_the_whole_round(rounds):
    engine, _ = random_engine(rounds, 7)
    seen = []
    report = engine.set(progress=lambda done, scheduled: seen.append((done, scheduled)))
    assert seen[-1] == (report.scheduled, report.scheduled)
    assert [done for done, _ in seen] == sorted(done for done, _ in seen)


def test_declaring_after_a_round_and_decorator_form(rounds):
    engine, _ = chain(rounds, lambda i: i * 2)

    @engine.node("e", deps=["d", "i"], kind="view")
    def e(d, i):
        return (d, i)

    assert e(1, 2) == (1, 2)  # the decorator hands back the function
    assert "e" in engine and engine.get("e") is None
    with pytest.raises(KeyError, match="no value yet for node 'e'"):
        engine["e"]
    report = engine.set()
    assert (report.scheduled, report.recomputed, engine["e"]) == (1, 1, (21, 10))


def test_sources_are_read_again_on_refresh(rounds):
    readings = iter([1, 2, 2])
    engine = make_engine(rounds)
    engine.node("sensor", lambda: next(readings), kind="source")
    engine.node("double", lambda s: 2 * s, ["sensor"])
    engine.set()
    assert engine.refresh(["sensor"]).recomputed == 2
    assert engine["double"] == 4
    report = engine.refresh(["sensor"])
    assert (report.recomputed, report.cut_off, report.unchanged) == (1, 1, 1)


def test_replaced_function_drops_its_memo(rounds):
    engine, _calls = chain(rounds, lambda i: i * 2)
    engine.set({"i": 20})
    engine.replace("m", lambda i: i * 3)
    engine.set({"i": 10})  # the old function's value for 10 is in no memo now
    assert (engine["m"], engine["d"]) == (30, 31)


# --------------------------------------------------------------------------- failures


class Flaky:
    def __init__(self):
        self.fail = ZeroDivisionError  # what it raises; None: it answers

    def __call__(self, x):
        if self.fail:
            raise self.fail("boom")
        return x + 100


def failing_graph(rounds, **options):
    """i feeds bad (fails while asked) -> below; i also feeds good."""
    flaky = Flaky()
    engine = make_engine(rounds, **options)
    engine.input("i", 1)
    engine.node("bad", flaky, ["i"])
    engine.node("below", lambda b: b + 1, ["bad"])
    engine.node("good", lambda i: i * 10, ["i"])
    return engine, flaky


def test_a_failing_node_stays_dirty_with_its_dependants(rounds):
    engine, flaky = failing_graph(rounds)
    flaky.fail = None
    engine.set()
    flaky.fail = ZeroDivisionError
    with pytest.raises(ZeroDivisionError, match="boom") as info:
        engine.set({"i": 2})
    assert "raised by the function of quorl node 'bad'" in info.value.__notes__[0]
    assert engine.dirty() == ["bad", "below"]
    assert (engine["good"], engine["bad"]) == (20, 101)  # untouched by the failure
    report = engine.last_report
    assert (report.failed, report.left_dirty, report.recomputed) == (("bad",), 1, 1)
    flaky.fail = None
    report = engine.set()
    assert (report.recomputed, engine["below"], engine.dirty()) == (2, 103, [])
    assert values(engine) == from_scratch(engine)


def test_a_failure_in_the_first_round_is_retried(rounds):
    engine, flaky = failing_graph(rounds)
    with pytest.raises(ZeroDivisionError):
        engine.set()
    assert engine["good"] == 10 and engine.get("below") is None
    flaky.fail = None
    engine.refresh()
    assert values(engine) == from_scratch(engine)


@pytest.mark.parametrize("error", [ZeroDivisionError, KeyboardInterrupt])
def test_a_seed_below_a_failure_stays_a_seed(rounds, error):
    engine, flaky = failing_graph(rounds)
    flaky.fail = None
    engine.set()
    engine.replace("below", lambda b: -b)
    flaky.fail = error
    with pytest.raises(error):
        engine.refresh(["bad"])
    flaky.fail = None
    engine.set()  # bad gives its old value again: below must still run its new function
    assert engine["below"] == -101


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda e: e.set({"i": 5}), "cannot run a round"),
        (lambda e: e.node("late", len, ["i"]), "cannot declare a node"),
        (lambda e: e.replace("sneaky", len), "cannot replace a function"),
        (lambda e: setattr(e, "executor", None), "cannot change the executor"),
    ],
)
@pytest.mark.parametrize("workers", [0, 2])
def test_a_node_calling_back_into_its_engine_fails_cleanly(rounds, call, message, workers):
    with ThreadPoolExecutor(workers) if workers else contextlib.nullcontext() as pool:
        engine = make_engine(rounds, executor=pool)
        engine.input("i", 1)
        engine.node("sneaky", lambda i: call(engine), ["i"])
        with pytest.raises(RuntimeError, match=f"{message}: this engine is running") as info:
            engine.set()
    assert "quorl node 'sneaky'" in info.value.__notes__[0]
    assert (engine["i"], engine.dirty(), len(engine)) == (1, ["sneaky"], 2)


def test_progress_bar_needs_tqdm(rounds, monkeypatch):
    engine, _ = chain(rounds, lambda i: i * 2)
    monkeypatch.setitem(sys.modules, "tqdm", None)
    with pytest.raises(ModuleNotFoundError, match="pip install tqdm"):
        engine.set({"i": 3}, progress=True)
    assert (engine["i"], engine.set({"i": 3}).inputs) == (10, 1)  # no round was left open


def test_an_interrupt_closes_the_round_and_keeps_values_in_step(rounds):
    stop = [True]

    def interrupted(i):
        if stop[0]:
            raise KeyboardInterrupt
        return i

    engine = make_engine(rounds)
    engine.input("i", 1)
    engine.node("a", lambda i: i + 1, ["i"])
    engine.node("k", interrupted, ["a"])
    with pytest.raises(KeyboardInterrupt):
        engine.set()
    assert engine.last_report is None
    stop[0] = False
    engine.set({"i": 2})
    assert values(engine) == from_scratch(engine) == {"i": 2, "a": 3, "k": 3}


# --------------------------------------------------------------------------- bad input


def declare_errors():
    return [
        (lambda e: e.node("x", len, ["nope"]), KeyError, 'unknown node: "nope"'),
        (lambda e: e.node("x", len, ["x"]), KeyError, 'unknown node: "x"'),
        (lambda e: e.node("m", len, ["i"]), ValueError, 'node already registered: "m"'),
        (lambda e: e.input("i", 3), ValueError, 'node already registered: "i"'),
        (lambda e: e.node("x", len, ["i"], kind="bogus"), ValueError, 'invalid node kind "bogus"'),
        (lambda e: e.node("x", len, ["i"], kind="input"), ValueError, "Engine.input"),
        (lambda e: e.node("x", len, ["i"], kind="source"), ValueError, "no deps"),
        (lambda e: e.node("x", len, "i"), TypeError, "a str itself is refused"),
        (lambda e: e.node("x", 42, ["i"]), TypeError, "must be callable"),
        (lambda e: e.node("x", len, [7]), TypeError, "cannot be converted"),
        (lambda e: e.node("x", len, memo_size=-1), ValueError, "at least 0"),
        (lambda e: e.node("x", len, ["i"], cutoff="same"), ValueError, "'exact', 'equal'"),
        (lambda e: e.node("x", cutoff=0), TypeError, "cutoff must be a str or a callable"),
        (lambda e: setattr(e, "executor", 4), TypeError, "not int"),
        (lambda e: setattr(e, "executor", "procs"), ValueError, "'threads' or 'process'"),
        (lambda e: e.input("x", object()), TypeError, "cannot hash a value of type object"),
        (lambda e: e.replace("i", len), ValueError, "an input has no function"),
        (lambda e: e.replace("zz", len), KeyError, 'unknown node: "zz"'),
        (lambda e: e.set({"zz": 1}), KeyError, 'unknown node: "zz"'),
        (lambda e: e.set({"m": 1}), ValueError, "not an input node: 'm'"),
        (lambda e: e.set({"i": 5, 3: 1}), TypeError, "cannot be converted"),
        (lambda e: e.set({"i": object()}), TypeError, "cannot hash"),
        (lambda e: e.set([("i", 1)]), TypeError, "must be a mapping"),
        (lambda e: e.refresh("i"), TypeError, "a str itself is refused"),
        (lambda e: e.refresh(["zz"]), KeyError, 'unknown node: "zz"'),
    ]


@pytest.mark.parametrize(("call", "error", "message"), declare_errors())
def test_bad_input_raises_and_leaves_the_engine_as_it_was(rounds, call, error, message):
    engine, calls = chain(rounds, lambda i: i * 2)
    before = (values(engine), engine.graph.node_ids(), engine.dirty(), dict(calls))
    with pytest.raises(error) as info:
        call(engine)
    assert message in str(info.value)
    assert (values(engine), engine.graph.node_ids(), engine.dirty(), calls) == before
    engine.set({"i": 11})
    assert values(engine) == from_scratch(engine) == {"i": 11, "m": 22, "d": 23}


def test_hasher_is_pluggable_and_checked(rounds):
    engine = make_engine(rounds, hasher=lambda value: len(value))
    engine.input("s", "ab")
    engine.node("up", str.upper, ["s"])
    engine.set()
    assert engine.set({"s": "cd"}).unchanged == 1  # same hash: the hasher says same value
    engine = make_engine(rounds, hasher=lambda value: -1)
    with pytest.raises(ValueError, match=r"must return an int in 0\.\.2\*\*64-1"):
        engine.input("s", "ab")
    assert "s" not in engine


# --------------------------------------------------------------------------- stable_hash


@pytest.mark.parametrize(
    ("a", "b"),
    [(1, 1.0), (1, True), (0.0, -0.0), ("1", 1), ((1, 2), [1, 2]), (b"a", bytearray(b"a")),
     ({1: 2}, {2: 1}), ((1, (2,)), ((1,), 2)), ("ab", ("a", "b")), (frozenset(), set())],
)  # fmt: skip
def test_stable_hash_tells_values_apart(a, b):
    assert stable_hash(a) != stable_hash(b)


def test_stable_hash_is_the_same_in_every_process():
    literal = '{"k": [1, 2.5, None, ("é", b"\\x00")], "s": frozenset({"x", "y"}), -1: float("nan")}'
    value = eval(literal)
    code = f"from quorl import stable_hash; print(stable_hash({literal}))"
    seen = {
        subprocess.run(
            [sys.executable, "-c", code],
            env={**os.environ, "PYTHONHASHSEED": seed},
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
        for seed in ("1", "2")
    }
    assert seen == {str(stable_hash(value))}
    assert stable_hash({1: 2, 3: 4}) == stable_hash({3: 4, 1: 2})
    assert 0 <= stable_hash(value) < 2**64


@pytest.mark.parametrize("value", [object(), [object()], {1: {2: lambda: 0}}])
def test_stable_hash_refuses_what_it_cannot_hash(value):
    with pytest.raises(TypeError, match="cannot hash a value of type"):
        stable_hash(value)
    nested = []
    for _ in range(200):
        nested = [nested]
    with pytest.raises(ValueError, match="nested too deeply"):
        stable_hash(nested)
