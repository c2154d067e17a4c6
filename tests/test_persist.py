"""Saving an engine and starting one warm from the file: the warm engine must
behave exactly as one that never stopped."""

import contextlib
import dataclasses
import functools
import os
import pickle
import random
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time
import zlib
from concurrent.futures import ThreadPoolExecutor

import pytest
from engine_support import values
from hypothesis import given
from hypothesis import strategies as st
from quorl import Engine, _codec
from quorl._persist import FORMAT_VERSION, PICKLE
from quorl.demo import declare, generate, new_values

COUNTS = ("scheduled", "inputs", "recomputed", "memo_hits", "unchanged", "cut_off", "left_dirty")


def counts(report):
    return {name: getattr(report, name) for name in COUNTS}


def graph(nodes=300, seed=5):
    specs, inputs = generate(nodes, seed)
    return specs, inputs, functools.partial(declare, specs=specs, inputs=inputs)


def engine_of(declare_fn):
    engine = Engine(memo_size=8)
    declare_fn(engine)
    return engine


def started(tmp_path, specs, inputs):
    """An engine of the graph, computed and saved; the file's path."""
    running = engine_of(functools.partial(declare, specs=specs, inputs=inputs))
    running.set()
    running.save(tmp_path / "engine.qrl")
    return running, tmp_path / "engine.qrl"


def in_step(warm, running, changes=None):
    """Run the same round on both; it must do and give the same."""
    expected = counts(running.set(changes))
    assert counts(warm.set(changes)) == expected
    assert values(warm) == values(running)
    return expected


def test_a_warm_engine_runs_the_rounds_of_one_that_never_stopped(tmp_path):
    specs, inputs, declare_fn = graph()
    running = engine_of(declare_fn)
    running.set()
    rng = random.Random(1)
    input_ids = sorted(inputs)
    for _ in range(3):  # fill the memos
        running.set(new_values(rng, running, input_ids, 4))
    path = tmp_path / "engine.qrl"
    running.save(path)
    today = {i: running[i] for i in inputs}  # the inputs the program declares again
    warm = Engine.load(path, functools.partial(declare, specs=specs, inputs=today), memo_size=8)
    assert values(warm) == values(running)

    idle = warm.set()
    assert (idle.recomputed, idle.memo_hits, idle.scheduled) == (0, 0, 0)
    plans = [new_values(rng, running, input_ids, 4) for _ in range(4)]
    plans.append({i: running[i] for i in plans[-1]})  # back to memo entries
    plans.append({i: running[i] for i in plans[0]})  # an unchanged value
    hits = sum(in_step(warm, running, plan)["memo_hits"] for plan in plans)
    assert hits > 0  # the saved memos were used


@pytest.mark.parametrize("kept", ["declared", "saved"])
def test_declared_inputs_that_differ_are_the_next_rounds_changes(tmp_path, kept):
    specs, inputs, _ = graph()
    running, path = started(tmp_path, specs, inputs)
    changed = sorted(inputs)[:3]
    today = {**inputs, **{i: (inputs[i] + 1) % 100 for i in changed}}
    declare_today = functools.partial(declare, specs=specs, inputs=today)
    warm = Engine.load(path, declare_today, memo_size=8, inputs=kept)
    # Loading queued the declared changes: warm's next round is running's set().
    expected = counts(running.set({i: today[i] for i in changed} if kept == "declared" else {}))
    assert counts(warm.set()) == expected
    assert values(warm) == values(running)


def test_a_changed_function_is_recomputed_with_what_it_reaches(tmp_path):
    specs, inputs, _ = graph()
    running, path = started(tmp_path, specs, inputs)
    target = next(s for s in specs if s.kind == "reactive" and running.graph.dependents_of(s.id))

    def new_fn(*xs):
        return (sum(xs) + 7) % 100

    today = [dataclasses.replace(s, fn=new_fn) if s.id == target.id else s for s in specs]
    declare_today = functools.partial(declare, specs=today, inputs=inputs)
    warm = Engine.load(path, declare_today, changed=[target.id], memo_size=8)
    running.replace(target.id, new_fn)
    assert in_step(warm, running)["recomputed"] >= 1


def test_work_left_by_a_failed_round_survives_a_save(tmp_path):
    path = tmp_path / "engine.qrl"
    broken = {"on": True}

    def declare_fn(engine):
        engine.input("a", 1)
        engine.node("b", lambda a: 1 // (a - 1) if broken["on"] else a, deps=["a"])
        engine.node("c", lambda b: b + 1, deps=["b"])

    running = engine_of(declare_fn)
    with pytest.raises(ZeroDivisionError):
        running.set()
    running.save(path)
    broken["on"] = False
    warm = Engine.load(path, declare_fn)
    assert warm.dirty() == running.dirty() == ["b", "c"]
    in_step(warm, running)
    assert values(warm) == {"a": 1, "b": 1, "c": 2}


def saved(tmp_path):
    specs, inputs, declare_fn = graph(nodes=60)
    _, path = started(tmp_path, specs, inputs)
    return path, path.read_bytes(), declare_fn


def other_version(data):
    return data[:8] + struct.pack("<I", FORMAT_VERSION + 1) + data[12:]


@pytest.mark.parametrize(
    ("damage", "message"),
    [
        (lambda d: b"", "shorter than the"),
        (lambda d: d[:30], "shorter than the"),
        (lambda d: d[: len(d) // 2], "truncated"),
        (lambda d: d + b"\0", "padded"),
        (lambda d: b"PNG" + d[3:], "wrong magic"),
        (other_version, "format version"),
        (lambda d: d[:-5] + bytes([d[-5] ^ 1]) + d[-4:], "checksum"),
        (lambda d: d[:200] + bytes([d[200] ^ 0x40]) + d[201:], "graph snapshot"),
    ],
)
def test_a_damaged_or_foreign_file_is_refused(tmp_path, damage, message):
    path, data, declare_fn = saved(tmp_path)
    path.write_bytes(damage(data))
    declared = []
    with pytest.raises(ValueError, match=message):
        Engine.load(path, lambda e: declared.append(e) or declare_fn(e))
    assert not declared  # refused before any declaring


def drop_last(specs):
    return specs[:-1]


def add_one(specs):
    return [*specs, dataclasses.replace(specs[-1], id="extra")]


def swap_deps(specs):
    i = next(k for k, s in enumerate(specs) if len(s.deps) > 1)
    return [
        *specs[:i],
        dataclasses.replace(specs[i], deps=specs[i].deps[::-1]),
        *specs[i + 1 :],
    ]


def view_to_reactive(specs):
    i = next(k for k, s in enumerate(specs) if s.kind == "view")
    return [*specs[:i], dataclasses.replace(specs[i], kind="reactive"), *specs[i + 1 :]]


@pytest.mark.parametrize(
    ("edit", "message"),
    [
        (drop_last, "not declared"),
        (add_one, "declared but not in the file"),
        (swap_deps, "with deps"),
        (view_to_reactive, "saved as 'view'"),
    ],
)
def test_a_file_saved_for_another_graph_is_refused(tmp_path, edit, message):
    specs, inputs = generate(60, 5)
    path, _, _ = saved(tmp_path)
    with pytest.raises(ValueError, match=f"different graph: .*{message}"):
        Engine.load(path, functools.partial(declare, specs=edit(specs), inputs=inputs))


def test_the_same_graph_declared_in_another_order_loads(tmp_path):
    path = tmp_path / "engine.qrl"

    def declare_fn(engine, order):
        for node_id in order:
            if node_id in "ab":
                engine.input(node_id, 2 if node_id == "a" else 3)
            else:
                engine.node(node_id, lambda a, b: a * b, deps=["a", "b"])

    running = engine_of(functools.partial(declare_fn, order="abc"))
    running.set()
    running.save(path)
    warm = Engine.load(path, functools.partial(declare_fn, order="bac"))
    assert warm["c"] == 6
    assert warm.set({"a": 5}).recomputed == 1
    assert warm["c"] == 15


@pytest.mark.parametrize(
    ("options", "error"),
    [
        ({"changed": ["nope"]}, KeyError),
        ({"changed": ["input-0"]}, ValueError),
        ({"changed": "reactive-1"}, TypeError),
        ({"inputs": "mine"}, ValueError),
        ({"declare": lambda d: lambda e: d(e) or e.set()}, ValueError),  # a round too
    ],
)
def test_bad_load_options_are_refused(tmp_path, options, error):
    path, _, declare_fn = saved(tmp_path)
    options = dict(options)
    wrap = options.pop("declare", None)
    with pytest.raises(error):
        Engine.load(path, wrap(declare_fn) if wrap else declare_fn, **options)


def test_a_failed_save_leaves_the_old_file(tmp_path):
    path, data, _ = saved(tmp_path)
    engine = Engine()
    engine.input("a", 1)
    engine.node("f", lambda a: lambda: a, deps=["a"])  # a value pickle refuses
    engine.set()
    with pytest.raises((AttributeError, TypeError, pickle.PicklingError)):
        engine.save(path)
    assert path.read_bytes() == data
    assert os.listdir(tmp_path) == [path.name]


def test_saving_from_inside_a_round_is_refused(tmp_path):
    engine = Engine()
    engine.input("a", 1)
    caught = []

    def save_inside(a):
        try:
            engine.save(tmp_path / "x")
        except RuntimeError as exc:
            caught.append(str(exc))
        return a

    engine.node("b", save_inside, deps=["a"])
    engine.set()
    assert caught and "cannot save" in caught[0]
    assert not (tmp_path / "x").exists()


DECLARE = textwrap.dedent(
    """
    def declare(engine):
        engine.input("n", 0)
        engine.node("big", lambda n: [n] * 50_000, deps=["n"])
    """
)
SAVING_CHILD = DECLARE + textwrap.dedent(
    """
    import sys
    from quorl import Engine

    path, n = sys.argv[1], int(sys.argv[2])
    engine = Engine.load(path, declare, inputs="saved")
    while True:
        n += 1
        engine.set({"n": n})
        engine.save(path)
    """
)


@pytest.mark.skipif(sys.platform == "win32", reason="needs SIGKILL")
def test_a_saver_killed_at_random_moments_leaves_a_whole_file(tmp_path):
    path = tmp_path / "engine.qrl"
    namespace = {}
    exec(DECLARE, namespace)
    declare_fn = namespace["declare"]
    first = engine_of(declare_fn)
    first.set()
    first.save(path)

    def load():
        return Engine.load(path, declare_fn, inputs="saved")

    rng = random.Random(16)
    n = 0
    for _ in range(5):
        proc = subprocess.Popen([sys.executable, "-c", SAVING_CHILD, str(path), str(n)])
        deadline = time.monotonic() + 60
        while load()["n"] == n and time.monotonic() < deadline:
            time.sleep(0.005)
        time.sleep(rng.random() * 0.05)
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        warm = load()
        assert warm["n"] > n
        assert warm["big"] == [warm["n"]] * 50_000
        assert warm.set().recomputed == 0
        n = warm["n"]


UNPICKLED = []


class Counted(int):
    """An int that counts how often it is unpickled."""

    def __reduce__(self):
        return (_unpickle_counted, (int(self),))


def _unpickle_counted(x):
    UNPICKLED.append(x)
    return Counted(x)


def counted_graph(engine, a=1, times=10):
    engine.input("a", Counted(a))
    engine.input("k", Counted(1))
    engine.node("b", lambda a: Counted(a * times), deps=["a"])
    engine.node("c", lambda b, k: Counted(b + k), deps=["b", "k"])


def loaded(tmp_path, **options):
    """A saved engine of counted_graph (memos of b for a = 1 and 2), loaded again."""
    running = Engine(memo_size=8, hasher=int)
    counted_graph(running)
    running.set()
    running.set({"a": Counted(2)})
    running.set({"a": Counted(1)})
    running.save(tmp_path / "engine.qrl")
    UNPICKLED.clear()
    declare_fn = options.pop("declare", counted_graph)
    return running, load_counted(tmp_path / "engine.qrl", declare_fn, **options)


def load_counted(path, declare_fn=counted_graph, **options):
    return Engine.load(path, declare_fn, memo_size=8, hasher=int, allow_pickle=True, **options)


def test_a_warm_round_that_computes_nothing_unpickles_no_value(tmp_path):
    running, warm = loaded(tmp_path)
    assert warm.set().scheduled == 0 and not UNPICKLED
    assert warm["c"] == 11 and UNPICKLED  # read: now they are
    assert values(warm) == values(running)


def replaced(engine):
    engine.replace("b", lambda a: Counted(a * 100))
    return engine.set({"a": Counted(2)})


@pytest.mark.parametrize(
    ("step", "hits", "expected"),
    [
        # A change computes b from its saved memo entry for a = 2.
        (lambda e: e.set({"a": Counted(2)}), 1, {"a": 2, "b": 20, "c": 21}),
        # Dropped memo entries stay dropped: the file's must not come back.
        (replaced, 0, {"a": 2, "b": 200, "c": 201}),
        (lambda e: e.refresh(["b"]), 0, {"a": 1, "b": 10, "c": 11}),
        # Declared after the load: kept over the file's values.
        (lambda e: e.input("z", Counted(5)) or e.set(), 0, {"a": 1, "b": 10, "c": 11, "z": 5}),
    ],
    ids=["set", "replace", "refresh", "input"],
)
def test_the_first_use_after_a_load_sees_the_saved_state(tmp_path, step, hits, expected):
    _, warm = loaded(tmp_path)
    assert step(warm).memo_hits == hits
    assert values(warm) == {"k": 1, **expected}


def test_memo_entries_dropped_at_load_stay_dropped(tmp_path):
    today = functools.partial(counted_graph, times=100)
    _, warm = loaded(tmp_path, declare=today, changed=["b"])
    assert warm.set({"a": Counted(2)}).memo_hits == 0
    assert values(warm) == {"a": 2, "k": 1, "b": 200, "c": 201}


def test_a_declared_input_that_differs_is_read_before_the_round(tmp_path):
    _, warm = loaded(tmp_path, declare=functools.partial(counted_graph, a=3))
    assert (warm["a"], warm["b"]) == (3, 10)  # b is the saved value until the round
    warm.set()
    assert values(warm) == {"a": 3, "k": 1, "b": 30, "c": 31}


def test_a_round_started_by_a_declared_change_reads_the_saved_values(tmp_path):
    # Nothing read the values before the round: c needs k's, from the file.
    _, warm = loaded(tmp_path, declare=functools.partial(counted_graph, a=3))
    warm.set()
    assert values(warm) == {"a": 3, "k": 1, "b": 30, "c": 31}


def test_saving_a_loaded_engine_keeps_everything(tmp_path):
    running, warm = loaded(tmp_path)
    warm.save(tmp_path / "again.qrl")
    again = load_counted(tmp_path / "again.qrl")
    assert values(again) == values(running)
    assert again.set({"a": Counted(2)}).memo_hits == 1


def test_threads_reading_a_loaded_engine_all_see_its_values(tmp_path):
    running, warm = loaded(tmp_path)
    barrier = threading.Barrier(8)

    def read(_):
        barrier.wait()
        return values(warm)

    with ThreadPoolExecutor(8) as pool:
        assert all(v == values(running) for v in pool.map(read, range(8)))


HEADER = struct.Struct("<8sIIIIQQQ")


def write_file(path, state, *, graph, version=b"1.3.0", codec=PICKLE):
    """A file of ``state`` (already encoded), checksum and all, as only a
    hand-made file could be."""
    crc = zlib.crc32(state, zlib.crc32(version))
    header = HEADER.pack(
        b"\x89QRLENG\n", FORMAT_VERSION, codec, len(version), 0, len(graph), len(state), crc
    )
    path.write_bytes(header + version + graph + state)


def read_file(path):
    """The graph snapshot and the decoded state of the file at ``path``."""
    data = path.read_bytes()
    _, _, _, p, _, g, v, _ = HEADER.unpack_from(data)
    body = data[HEADER.size + p :]
    return body[:g], _codec.decode(body[g : g + v])


def rewrite_state(path, edit, codec=PICKLE):
    """Rewrite the state of the file at ``path`` with ``edit(state)``."""
    graph, state = read_file(path)
    edit(state)
    write_file(path, _codec.encode(state), graph=graph, codec=codec)


def test_values_that_cannot_be_unpickled_fail_at_first_use_and_change_nothing(tmp_path):
    # The checksum guards the file at load; a pickle that is bad despite it
    # (written by hand) fails where it is first unpickled.
    loaded(tmp_path)
    path = tmp_path / "engine.qrl"
    rewrite_state(path, lambda state: state.update(values=b"not a pickle"))
    warm = load_counted(path)
    assert warm.set().scheduled == 0  # nothing to compute: nothing unpickled
    for _ in range(2):
        with pytest.raises(ValueError, match="unreadable values"):
            warm["c"]


def _repickled(key, edit):
    def apply(state):
        part = pickle.loads(state[key])
        edit(part)
        state[key] = pickle.dumps(part)

    return apply


@pytest.mark.parametrize(
    ("edit", "at_load"),
    [
        (lambda state: state["new_inputs"].update(ghost=1), True),
        (lambda state: state["seeds"].append("ghost"), True),
        (lambda state: state["hashes"].update(ghost=1), True),
        (lambda state: state["hashes"].pop("k"), True),
        (_repickled("values", lambda values: values.update(ghost=1)), False),
        (_repickled("memos", lambda memos: memos.update(ghost={})), False),
    ],
    ids=["new input", "seed", "extra hash", "missing hash", "value", "memo"],
)
def test_state_naming_nodes_the_graph_lacks_is_refused(tmp_path, edit, at_load):
    loaded(tmp_path)
    path = tmp_path / "engine.qrl"
    rewrite_state(path, edit)
    refused = pytest.raises(ValueError, match="holds state that does not fit its graph")
    if at_load:
        with refused:
            load_counted(path)
        return
    warm = load_counted(path)  # values and memos are checked where they are unpickled
    for _ in range(2):
        with refused:
            warm["c"]


# ---------------------------------------------------------------- what a load may run

RAN = []


class Payload:
    """What a crafted file would unpickle: a call of the crafter's choosing."""

    def __reduce__(self):
        return (RAN.append, ("ran",))


def plain_engine():
    """A computed engine of plain values (views give str), the declaring function."""

    def declare_fn(engine):
        engine.input("a", 2)
        engine.node("b", lambda a: a * 3, deps=["a"])
        engine.node("c", lambda b: f"c={b}", deps=["b"], kind="view")

    engine = engine_of(declare_fn)
    engine.set()
    return engine, declare_fn


def version_2_file(path, state, graph):
    """A file of format version 2, whose whole state is one pickle."""
    body = pickle.dumps(state, protocol=5)
    version = b"1.3.0"
    crc = zlib.crc32(body, zlib.crc32(version))
    header = struct.pack("<8sIIQQQ", b"\x89QRLENG\n", 2, len(version), len(graph), len(body), crc)
    path.write_bytes(header + version + graph + body)


def crafted(kind, path, graph):
    evil = pickle.dumps(Payload())
    if kind == "v2":  # the pickle runs as the state is read
        version_2_file(path, Payload(), graph)
        return
    state = {"values": evil, "memos": evil, "hashes": {}, "new_inputs": {}, "seeds": []}
    # "plain" says the values are in the plain codec: they are decoded as such.
    write_file(path, _codec.encode(state), graph=graph, codec=0 if kind == "plain" else PICKLE)


def load_and_read(path, declare_fn):
    return Engine.load(path, declare_fn)["c"]  # values are decoded at their first use


@pytest.mark.parametrize("kind", ["v2", "pickled", "plain"])
def test_a_crafted_file_runs_no_code_on_a_plain_load(tmp_path, kind):
    engine, declare_fn = plain_engine()
    path = tmp_path / "evil.qrl"
    crafted(kind, path, engine.graph.to_bytes())
    other = functools.partial(declare, specs=generate(5, 1)[0], inputs=generate(5, 1)[1])
    for declared in (declare_fn, other):  # whatever the loader declares
        if kind == "plain":
            with pytest.raises(ValueError, match=r"does not fit|different graph|unreadable"):
                load_and_read(path, declared)
        else:
            with pytest.raises(ValueError, match=r"holds pickled data.*allow_pickle=True"):
                Engine.load(path, declared)
    assert not RAN


def test_an_old_file_loads_only_with_allow_pickle(tmp_path):
    engine, declare_fn = plain_engine()
    memos = {n: spec.memo for n, spec in engine._nodes.items() if spec.memo}
    state = {
        "values": pickle.dumps(engine._state.values),
        "hashes": engine._state.hashes,
        "memos": pickle.dumps(memos),
        "new_inputs": {},
        "seeds": [],
    }
    path = tmp_path / "old.qrl"
    version_2_file(path, state, engine.graph.to_bytes())
    with pytest.raises(ValueError, match="format version 2 is always pickled"):
        Engine.load(path, declare_fn)
    warm = Engine.load(path, declare_fn, allow_pickle=True)
    assert values(warm) == values(engine) == {"a": 2, "b": 6, "c": "c=6"}
    assert warm.set().scheduled == 0


def test_values_of_other_types_are_pickled_and_need_the_opt_in(tmp_path):
    running, _ = loaded(tmp_path)  # Counted values: pickled
    path = tmp_path / "engine.qrl"
    with pytest.raises(ValueError, match="holds pickled data"):
        Engine.load(path, counted_graph, memo_size=8, hasher=int)
    data = path.read_bytes()
    with pytest.raises(TypeError, match=r"node 'a' is not of the plain types.*allow_pickle=True"):
        running.save(path, allow_pickle=False)
    assert path.read_bytes() == data


FLOATS = [
    0.0,
    -0.0,
    float("inf"),
    -float("inf"),
    float("nan"),
    struct.unpack("<d", b"\1" + b"\0" * 5 + b"\xf8\xff")[0],
]
PLAIN_VALUES = [
    None,
    True,
    0,
    -(1 << 63),
    (1 << 64) - 1,
    -(10**40),
    *FLOATS,
    complex(-0.0, float("nan")),
    "",
    "x\ud800",
    b"\0",
    bytearray(b"y"),
    (1, [True, {"k": (None,)}]),
    {1: "a", 2: 3.5},
    {"a": 1 << 63, "b": 1},
    {frozenset({1, "2"}): {(1, 2)}},
    # Columns: a surrogate pair split over two items must stay split.
    ["\ud800", "\udc00", "", "x"],
    FLOATS,
    dict.fromkeys(range(-2, 3), "v"),
]


def exact(value):
    """``value`` with its types all the way down and floats as their bits."""
    kind = type(value)
    if kind is float:
        return kind, struct.pack("<d", value)
    if kind is complex:
        return kind, exact(value.real), exact(value.imag)
    if kind is tuple or kind is list:
        return kind, tuple(map(exact, value))
    if kind is dict:  # in order: the memos' order is their recency
        return kind, tuple((exact(k), exact(v)) for k, v in value.items())
    if kind is set or kind is frozenset:
        return kind, tuple(sorted(repr(exact(v)) for v in value))
    return kind, value


def same(a, b):
    return exact(a) == exact(b)


def test_plain_values_round_trip_exactly_without_pickle(tmp_path):
    def declare_fn(engine):
        for i, value in enumerate(PLAIN_VALUES):
            engine.input(f"v{i}", value)
        engine.node("all", lambda *xs: list(xs), deps=[f"v{i}" for i in range(len(PLAIN_VALUES))])

    running = engine_of(declare_fn)
    running.set()
    path = tmp_path / "plain.qrl"
    running.save(path, allow_pickle=False)
    assert path.read_bytes()[12] == 0  # the plain codec
    warm = Engine.load(path, declare_fn)
    assert same(warm["all"], PLAIN_VALUES)
    assert all(same(warm[f"v{i}"], v) for i, v in enumerate(PLAIN_VALUES))
    assert warm.set().scheduled == 0


scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(-(1 << 70), 1 << 70),
    st.floats(allow_nan=True),
    st.complex_numbers(),
    st.text(),
    st.binary(),
)
hashable = st.recursive(
    scalars, lambda inner: st.tuples(inner, inner) | st.frozensets(inner, max_size=4), max_leaves=8
)
plain = st.recursive(
    scalars,
    lambda inner: (
        st.lists(inner, max_size=4).map(tuple)
        | st.lists(inner, max_size=4)
        | st.dictionaries(hashable, inner, max_size=4)
        | st.dictionaries(st.text(), st.integers(0, (1 << 64) - 1), max_size=8)
        | st.sets(hashable, max_size=4)
        | st.binary().map(bytearray)
    ),
    max_leaves=30,
)


@given(plain)
def test_the_codec_round_trips_every_plain_value(value):
    assert same(_codec.decode(_codec.encode(value)), value)


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"s" + struct.pack("<Q", 1 << 62) + b"abc",  # a length beyond the input
        b"[" + struct.pack("<Q", 1 << 61),  # a count beyond it
        b"{" + struct.pack("<Q", 1 << 60) + b"N" * 10,
        b"P" + b"sq" + struct.pack("<Q", 1 << 59),
        b"Psq" + struct.pack("<QIQ", 1, 5, 1) + b"a" + b"\0" * 8,  # key lengths do not add up
        b"Psx" + struct.pack("<QIQ", 1, 1, 1) + b"a" + b"\0" * 8,  # unknown column kind
        (b"[" + struct.pack("<Q", 1)) * 150 + b"N",  # nested too deeply
        b"NN",  # stray bytes
        b"?",
        b"s" + struct.pack("<Q", 1) + b"\xff",  # not UTF-8
        b"{" + struct.pack("<Q", 2) + b"NNNN",  # a repeated key
        b"{" + struct.pack("<Q", 1) + b"[" + struct.pack("<Q", 0) + b"N",  # unhashable
        b"z" + struct.pack("<Q", 1) + b"S" + struct.pack("<Q", 0),
    ],
)
def test_the_codec_refuses_malformed_input_with_value_error(data):
    with pytest.raises(ValueError):
        _codec.decode(data)


def test_the_codec_refuses_every_truncation_with_value_error():
    data = _codec.encode(PLAIN_VALUES)
    for end in range(len(data)):
        with pytest.raises(ValueError):
            _codec.decode(data[:end])


@given(st.binary(max_size=64))
def test_the_codec_refuses_noise_only_with_value_error(data):
    with contextlib.suppress(ValueError):
        _codec.decode(data)


@pytest.mark.parametrize(
    ("saved_with", "loaded_with", "damage", "message"),
    [
        (b"k1", b"k2", None, "fails its tag check"),
        (b"k1", b"k1", 60, "fails its tag check"),  # a changed byte
        (b"k1", b"k1", -1, "fails its tag check"),  # in the tag itself
        (b"k1", None, None, "saved with a key"),
        (None, b"k1", None, "saved without a key"),
    ],
)
def test_a_keyed_file_loads_only_with_its_key_and_unchanged(
    tmp_path, saved_with, loaded_with, damage, message
):
    engine, declare_fn = plain_engine()
    path = tmp_path / "keyed.qrl"
    engine.save(path, key=saved_with)
    if damage is not None:
        data = bytearray(path.read_bytes())
        data[damage] ^= 1
        path.write_bytes(bytes(data))
    declared = []
    with pytest.raises(ValueError, match=message):
        Engine.load(path, lambda e: declared.append(e) or declare_fn(e), key=loaded_with)
    assert not declared
    if damage is None and saved_with is not None:
        assert values(Engine.load(path, declare_fn, key=saved_with)) == values(engine)


@pytest.mark.parametrize(("key", "error"), [("k", TypeError), (b"", ValueError)])
def test_a_bad_key_is_refused(tmp_path, key, error):
    engine, _ = plain_engine()
    with pytest.raises(error):
        engine.save(tmp_path / "x", key=key)
    assert not (tmp_path / "x").exists()


@pytest.mark.parametrize(
    "memos",
    [([[1]], [2], [3]), (["b"], [1, 2], [3]), (["b"], [[1]], [3]), ["b", 1, 2]],
    ids=["unhashable id", "lengths", "unhashable signature", "not a tuple"],
)
def test_plain_memos_of_a_foreign_layout_are_refused_at_first_use(tmp_path, memos):
    engine, declare_fn = plain_engine()
    path = tmp_path / "plain.qrl"
    engine.save(path)
    rewrite_state(path, lambda state: state.update(memos=_codec.encode(memos)), codec=0)
    warm = Engine.load(path, declare_fn)
    for _ in range(2):
        with pytest.raises(ValueError, match="unknown layout"):
            warm["c"]


def test_a_warm_engine_takes_the_executors_a_new_one_does(tmp_path):
    specs, inputs, declare_fn = graph(nodes=60)
    running, path = started(tmp_path, specs, inputs)
    warm = Engine.load(path, declare_fn, memo_size=8, executor="threads", workers=2)
    try:
        assert isinstance(warm.executor, ThreadPoolExecutor)
        assert warm.executor._max_workers == 2
        in_step(warm, running, new_values(random.Random(3), running, sorted(inputs), 5))
    finally:
        warm.close()
    assert warm.executor is None
