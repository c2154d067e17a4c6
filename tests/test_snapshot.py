"""Graph.to_bytes() and Graph.from_bytes(): exact round trips, the documented
layout, and refusal of anything that is not a whole, intact snapshot."""

import array
import copy
import pickle
import struct

import pytest
from helpers import dag_shapes, make_graph
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from model import ALREADY_MUTABLY_BORROWED, KINDS
from quorl import Graph

PREFIX = "invalid graph snapshot: "
HEADER = struct.Struct("<8sII16sQQQQ")
MAGIC = b"\x89QRL\r\n\x1a\n"
MASK = (1 << 64) - 1


# ---- An independent reading of the documented format ---------------------------


def checksum(data: bytes) -> int:
    def mix(a: int, b: int) -> int:
        product = a * b
        return (product & MASK) ^ (product >> 64)

    multiplier = 0x9E3779B97F4A7C15
    lanes = [0x243F6A8885A308D3, 0x13198A2E03707344, 0xA4093822299F31D0, 0x082EFA98EC4E6C89]
    padded = data + bytes(-len(data) % 32)
    for k in range(0, len(padded), 32):
        for j in range(4):
            word = int.from_bytes(padded[k + 8 * j : k + 8 * j + 8], "little")
            lanes[j] = mix(lanes[j] ^ word, multiplier)
    h = len(data)
    for lane in lanes:
        h = mix(h ^ lane, multiplier)
    return h


def seal(body: bytes) -> bytes:
    return body + checksum(body).to_bytes(8, "little")


def layout(n: int, d: int, b: int, built: bool) -> dict[str, int]:
    """Byte offset of every part, from the counts in the header."""
    at = {"kinds": 64}
    at["states"] = at["kinds"] + n
    at["flags"] = at["states"] + n
    at["id_lengths"] = at["flags"] + n
    at["deps_counts"] = at["id_lengths"] + 4 * n
    at["epochs"] = at["deps_counts"] + 4 * n
    at["signatures"] = at["epochs"] + 8 * n
    at["hashes"] = at["signatures"] + 8 * n
    at["ids"] = at["hashes"] + 8 * n
    at["deps"] = at["ids"] + b
    at["order"] = at["deps"] + 4 * d
    at["checksum"] = at["order"] + (4 * n if built else 0)
    return at


def decode(data: bytes) -> dict:
    magic, version, flags, kernel, n, d, b, counter = HEADER.unpack_from(data)
    at = layout(n, d, b, flags & 1)

    def column(name, fmt):
        return list(struct.unpack_from(f"<{n}{fmt}", data, at[name]))

    s = {
        "magic": magic,
        "version": version,
        "flags": flags,
        "kernel": kernel,
        "counter": counter,
        "kinds": column("kinds", "B"),
        "states": column("states", "B"),
        "node_flags": column("flags", "B"),
        "id_lengths": column("id_lengths", "I"),
        "deps_counts": column("deps_counts", "I"),
        "epochs": column("epochs", "Q"),
        "signatures": column("signatures", "Q"),
        "hashes": column("hashes", "Q"),
        "deps_pool": list(struct.unpack_from(f"<{d}I", data, at["deps"])),
        "order": list(struct.unpack_from(f"<{n if flags & 1 else 0}I", data, at["order"])),
    }
    raw = data[at["ids"] : at["deps"]]
    s["ids"], k = [], 0
    for length in s["id_lengths"]:
        s["ids"].append(raw[k : k + length])
        k += length
    s["deps"], k = [], 0
    for count in s["deps_counts"]:
        s["deps"].append(s["deps_pool"][k : k + count])
        k += count
    assert data[-8:] == checksum(data[:-8]).to_bytes(8, "little")
    # Encoding derives these from the lists unless a test sets them.
    del s["id_lengths"], s["deps_counts"], s["deps_pool"]
    return s


def encode(s: dict) -> bytes:
    """Sealed bytes from a decoded snapshot; counts follow the lists unless
    the dict overrides them (n, d, b)."""
    n = s.get("n", len(s["kinds"]))
    ids = b"".join(s["ids"])
    pool = [x for deps in s["deps"] for x in deps]
    out = [
        HEADER.pack(
            s["magic"],
            s["version"],
            s["flags"],
            s["kernel"],
            n,
            s.get("d", len(pool)),
            s.get("b", len(ids)),
            s["counter"],
        ),
        bytes(s["kinds"]),
        bytes(s["states"]),
        bytes(s["node_flags"]),
        struct.pack(f"<{len(s['ids'])}I", *s.get("id_lengths", [len(i) for i in s["ids"]])),
        struct.pack(f"<{len(s['deps'])}I", *s.get("deps_counts", [len(x) for x in s["deps"]])),
        struct.pack(f"<{len(s['epochs'])}Q", *s["epochs"]),
        struct.pack(f"<{len(s['signatures'])}Q", *s["signatures"]),
        struct.pack(f"<{len(s['hashes'])}Q", *s["hashes"]),
        ids,
        struct.pack(f"<{len(pool)}I", *pool),
        struct.pack(f"<{len(s['order'])}I", *s["order"]),
    ]
    return seal(b"".join(out))


# ---- Graphs --------------------------------------------------------------------


def sample_graph(built: bool = True) -> Graph:
    """a (input) <- b (reactive) <- c (view), d (source) <- c; some memo state."""
    g = Graph()
    for node_id, kind in [("a", "input"), ("b", "reactive"), ("c", "view"), ("d", "source")]:
        g.add_node(node_id, kind)
    g.set_deps("b", ["a"])
    g.set_deps("c", ["d", "b"])
    g.commit_input("a", 7)
    g.commit_node("b", g.check_node("b")[2])
    g.set_computing("d")
    g.skip_node("c", 2**64 - 1)
    if built:
        g.build()
    return g


@st.composite
def graphs(draw, max_nodes=12):
    """A graph of unique ids with deps on earlier nodes (so it can be built),
    then a random mix of later deps changes and state and memo calls."""
    ids = draw(
        st.lists(
            st.text(st.characters(codec="utf-8"), max_size=14), max_size=max_nodes, unique=True
        )
    )
    kinds, deps = draw(dag_shapes(len(ids), len(ids), max_deps=4))
    g = Graph()
    for node_id, kind in zip(ids, kinds, strict=True):
        g.add_node(node_id, kind)
    for i, node_id in enumerate(ids):
        if i:
            g.set_deps(node_id, [ids[d] for d in draw(st.permutations(deps[i]))])
    if draw(st.booleans()):
        g.build()
    for _ in range(draw(st.integers(0, 12))) if ids else ():
        node_id = draw(st.sampled_from(ids))
        value = draw(st.integers(0, MASK))
        call = draw(st.sampled_from(["commit", "skip", "input", "clean", "dirty", "computing"]))
        if call == "commit":
            g.commit_node(node_id, value if draw(st.booleans()) else g.check_node(node_id)[2])
        elif call == "skip":
            g.skip_node(node_id, value)
        elif call == "input":
            g.commit_input(node_id, value)
        elif call == "clean":
            g.set_clean(node_id, value)
        elif call == "dirty":
            g.set_dirty(node_id)
        else:
            g.set_computing(node_id)
    if len(ids) > 1 and draw(st.booleans()):
        # A graph made unbuilt again, possibly with a cycle.
        g.set_deps(ids[0], draw(st.lists(st.sampled_from(ids[1:]), max_size=2)))
    return g


def observable(g: Graph) -> dict:
    ids = g.node_ids()
    state = {
        "ids": ids,
        "nodes": [(g.kind_of(i), g.deps_of(i), g.state_of(i), g.check_node(i)) for i in ids],
    }
    try:
        state["order"] = (g.topo_order(), g.views(), g.dirty_nodes())
        state["downstream"] = [g.downstream(i) for i in ids]
    except RuntimeError as e:
        state["order"] = str(e)
    return state


def continue_update(g: Graph) -> list:
    """The same calls on equal graphs must give equal results: commits hand out
    epochs from the restored counter, and a build orders the same way."""
    out = []
    for node_id in g.node_ids():
        g.commit_node(node_id, g.check_node(node_id)[2])
    out.append([g.check_node(i) for i in g.node_ids()])
    try:
        g.build()
        out.append(g.topo_order())
    except ValueError as e:
        out.append(str(e))
    return out


# ---- Round trips ---------------------------------------------------------------


@settings(max_examples=150, suppress_health_check=[HealthCheck.too_slow])
@given(graphs())
def test_round_trip_is_exact(g):
    data = g.to_bytes()
    restored = Graph.from_bytes(data)
    assert restored.to_bytes() == data
    assert observable(restored) == observable(g)
    assert continue_update(restored) == continue_update(g)


@pytest.mark.parametrize(
    "restore",
    [
        lambda g: Graph.from_bytes(g.to_bytes()),
        lambda g: Graph.from_bytes(data=bytearray(g.to_bytes())),
        lambda g: Graph.from_bytes(memoryview(g.to_bytes())),
        lambda g: Graph.from_bytes(array.array("B", g.to_bytes())),
        lambda g: g.from_bytes(g.to_bytes()),
        copy.copy,
        copy.deepcopy,
        *(
            lambda g, p=protocol: pickle.loads(pickle.dumps(g, protocol=p))
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1)
        ),
    ],
)
@pytest.mark.parametrize("built", [True, False])
def test_every_way_of_restoring_gives_an_independent_equal_graph(restore, built):
    g = sample_graph(built)
    data = g.to_bytes()
    twin = restore(g)
    assert type(twin) is Graph and twin is not g
    assert twin.to_bytes() == data and observable(twin) == observable(g)
    twin.add_node("new", "view")
    twin.commit_node("a", 1)
    assert g.to_bytes() == data and "new" not in g


def test_layout_is_the_documented_one():
    g = sample_graph()
    g.add_node("\u00e9\0", "view")  # non-ASCII and NUL are id bytes like any other
    g.set_deps("\u00e9\0", ["c", "a"])
    g.build()
    s = decode(g.to_bytes())
    assert (s["magic"], s["version"], s["flags"], s["kernel"]) == (
        MAGIC,
        1,
        1,
        b"1.2.0".ljust(16, b"\0"),
    )
    assert s["ids"] == [b"a", b"b", b"c", b"d", "\u00e9\0".encode()]
    assert s["kinds"] == [0, 2, 3, 1, 3]
    assert s["states"] == [0, 0, 0, 2, 1]
    assert s["deps"] == [[], [0], [3, 1], [], [2, 0]]
    assert s["hashes"][0] == 7 and s["epochs"] == [0, 1, 0, 0, 0] and s["counter"] == 1
    assert s["node_flags"] == [1, 1, 1, 0, 0]
    assert s["signatures"] == [7, s["signatures"][1], MASK, 0, 0]
    assert s["order"] == [0, 1, 3, 2, 4]
    assert encode(s) == g.to_bytes()
    # Unbuilt: no order is stored.
    g.add_node("x", "input")
    s = decode(g.to_bytes())
    assert (s["flags"], s["order"]) == (0, [])


def test_an_empty_graph_round_trips():
    data = Graph().to_bytes()
    assert len(data) == 72
    assert Graph.from_bytes(data).to_bytes() == data


def test_a_large_graph_round_trips():
    g = Graph()
    n = 20_000
    for i in range(n):
        g.add_node(f"node-{i:06}-with-a-long-id" if i % 2 else str(i), KINDS[i % 4])
    ids = g.node_ids()
    for i in range(1, n):
        g.set_deps(ids[i], [ids[(i * 7919 + 3) % i], ids[i // 2], ids[max(0, i - 20)]])
    g.build()
    data = g.to_bytes()
    restored = Graph.from_bytes(data)
    assert restored.to_bytes() == data
    assert restored.topo_order() == g.topo_order()
    assert restored.downstream(ids[1]) == g.downstream(ids[1])


# ---- Refusals ------------------------------------------------------------------


def refused(data) -> str:
    with pytest.raises(ValueError) as info:
        Graph.from_bytes(data)
    message = str(info.value)
    assert message.startswith(PREFIX)
    return message[len(PREFIX) :]


def test_every_truncation_is_refused():
    data = sample_graph().to_bytes()
    for size in range(len(data)):
        assert "truncated" in refused(data[:size])
    assert refused(b"") == "truncated: 0 bytes, but the header and checksum alone take 72"
    assert refused(data[:-1]) == (
        f"truncated: {len(data) - 1} bytes, but the counts in the header need {len(data)}"
    )


def with_fields(**changes) -> bytes:
    s = decode(sample_graph().to_bytes())
    for key, value in changes.items():
        if callable(value):
            value(s[key])
        else:
            s[key] = value
    return encode(s)


AT = layout(4, 3, 4, True)  # sample_graph(): 4 nodes, 3 deps entries, 4 id bytes


def setitem(index, value):
    return lambda column: column.__setitem__(index, value)


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (b"PK\3\4" + bytes(100), "the data does not start with the snapshot magic bytes (byte 0)"),
        (
            with_fields(version=2),
            "format version 2 (byte 8) is newer than this kernel reads (up to 1)",
        ),
        (with_fields(version=0), "format version 0 (byte 8) is not a version of the format"),
        (with_fields(flags=3), "unknown flags 0x0000000000000003 (byte 12)"),
        (
            with_fields(kernel=b"1.2.0\n".ljust(16, b"\0")),
            "the kernel version field (byte 21) is not printable ASCII padded with zero bytes",
        ),
        (with_fields(n=2**32), "node count 4294967296 (byte 32) is over the limit of 4294967295"),
        (with_fields(d=2**40), "deps entry count 1099511627776 (byte 40) is over the limit"),
        (with_fields(b=2**63), "truncated: the id byte count 9223372036854775808 (byte 48)"),
        (
            with_fields(kinds=setitem(1, 4)),
            f"node 1: kind 4 (byte {AT['kinds'] + 1}) is not a node kind",
        ),
        (
            with_fields(states=setitem(2, 3)),
            f"node 2: state 3 (byte {AT['states'] + 2}) is not a node state",
        ),
        (
            with_fields(node_flags=setitem(0, 3)),
            f"node 0: unknown flags 0x0000000000000003 (byte {AT['flags']})",
        ),
        (
            with_fields(signatures=setitem(3, 5)),
            f"node 3: signature 0x0000000000000005 (byte {AT['signatures'] + 24}) is set, "
            "but the node's flags say it has none",
        ),
        (
            with_fields(epochs=setitem(2, 2)),
            f"node 2: epoch 2 (byte {AT['epochs'] + 16}) is after the epoch counter 1",
        ),
        (
            with_fields(id_lengths=[1, 1, 5, 1]),
            f"node 2: id length 5 (byte {AT['id_lengths'] + 8}) runs past the 4 id bytes",
        ),
        (
            with_fields(id_lengths=[1, 1, 1, 0]),
            "the ids take 3 bytes, but the header (byte 48) counts 4",
        ),
        (
            with_fields(deps_counts=[0, 1, 1, 0]),
            "the deps take 2 entries, but the header (byte 40) counts 3",
        ),
        (
            with_fields(ids=setitem(3, b"b")),
            f'node 3: id "b" (byte {AT["ids"] + 3}) is already the id of node 1',
        ),
        (
            with_fields(ids=setitem(1, b"\xc0")),
            f"node 1: id (byte {AT['ids'] + 1}) is not valid UTF-8 at its byte 0",
        ),
        (
            with_fields(deps=setitem(2, [3, 9])),
            f"node 2: dep 9 (byte {AT['deps'] + 8}) is not a node (there are 4)",
        ),
        (
            with_fields(deps=setitem(2, [3, 2])),
            f"node 2: dep 2 (byte {AT['deps'] + 8}) is the node itself",
        ),
        (
            with_fields(deps=setitem(2, [1, 1])),
            f"node 2: dep 1 (byte {AT['deps'] + 8}) is listed twice",
        ),
        (
            with_fields(order=[0, 1, 3, 3]),
            f"cached order (byte {AT['order'] + 12}): node 3 is listed twice",
        ),
        (
            with_fields(order=[0, 2, 3, 1]),
            f"cached order (byte {AT['order'] + 4}): node 2 comes before its dep 3",
        ),
        (
            with_fields(order=[0, 3, 1, 2]),
            f"cached order (byte {AT['order'] + 4}): node 3 at position 1 comes before the "
            "smaller ready node 1, which is not the order build() gives",
        ),
        (
            # A cycle cannot be in a built graph: no order puts both first.
            with_fields(deps=setitem(0, [1])),
            f"cached order (byte {layout(4, 4, 4, True)['order']}): node 0 comes before its dep 1",
        ),
        (sample_graph().to_bytes() + b"\0", "trailing data after the checksum"),
        # States no sequence of calls reaches: check_invariants() refuses them too.
        (
            with_fields(states=setitem(3, 0)),
            f"node 3: state clean (byte {AT['states'] + 3}) is set, but the node's flags say "
            "it has no signature",
        ),
        (
            with_fields(epochs=setitem(3, 1)),
            f"node 3: epoch 1 (byte {AT['epochs'] + 24}) is set, but the node's flags say "
            "it has no signature",
        ),
        (
            with_fields(hashes=setitem(3, 5)),
            f"node 3: content hash 0x0000000000000005 (byte {AT['hashes'] + 24}) is set, but "
            "the node's flags say it has no signature",
        ),
        (
            with_fields(epochs=[0, 1, 1, 0]),
            f"node 2: epoch 1 (byte {AT['epochs'] + 16}) is also the epoch of node 1",
        ),
        (
            # Of several shared epochs, the first node in node order that repeats one.
            with_fields(epochs=[1, 1, 1, 0]),
            f"node 1: epoch 1 (byte {AT['epochs'] + 8}) is also the epoch of node 0",
        ),
        (
            # Radix passes over every byte: epochs that differ only in their top byte.
            with_fields(epochs=[2**56 + 3, 3, 2**56 + 3, 0], counter=2**57),
            f"node 2: epoch 72057594037927939 (byte {AT['epochs'] + 16}) is also the epoch of node 0",
        ),
        (
            with_fields(counter=2**64 - 1),
            "epoch counter 18446744073709551615 (byte 56) is over the limit of "
            "9223372036854775807, which leaves no room for commits",
        ),
        (with_fields(counter=2**63), "epoch counter 9223372036854775808 (byte 56) is over"),
        (
            with_fields(deps=setitem(2, [3, 4])),
            f"node 2: dep 4 (byte {AT['deps'] + 8}) is not a node (there are 4)",
        ),
        *(
            (
                with_fields(kernel=field.ljust(16, b"\0")),
                f"the kernel version field (byte {16 + at}) is not printable ASCII padded",
            )
            for field, at in [
                (b"\x011.2.0", 0),
                (b"1.2\x1f0", 3),
                (b"1.2.0\x7f", 5),
                (b"1.2.0\xff", 5),
                (b"1.2\x000", 4),  # a character after the padding
            ]
        ),
    ],
)
def test_damaged_snapshots_are_refused_saying_what_and_where(data, message):
    assert message in refused(data)


@pytest.mark.parametrize(
    "bad_utf8",
    [
        b"\xed\xa0\x80",
        b"\xc0\x80",
        b"\xe0\x80\x80",
        b"\xf4\x90\x80\x80",
        b"\xff",
        b"a\xc3",
        b"\x80",
    ],
)
def test_ids_must_be_text_python_could_have_given(bad_utf8):
    data = with_fields(
        ids=setitem(3, bad_utf8), b=3 + len(bad_utf8), id_lengths=[1, 1, 1, len(bad_utf8)]
    )
    assert "is not valid UTF-8" in refused(data)


def test_an_id_is_checked_on_its_own_bytes_not_its_neighbours():
    # A sequence cut at the end of one id must not be completed by the next
    # id's bytes, and nine-byte ASCII ids put word reads across the boundary.
    cut = with_fields(ids=[b"a", b"\xc3", b"\xa9", b"d"])
    assert refused(cut) == f"node 1: id (byte {AT['ids'] + 1}) is not valid UTF-8 at its byte 0"
    long_ids = [b"abcdefgh" + bytes([c]) for c in b"abcd"]
    g = Graph.from_bytes(with_fields(ids=long_ids))
    assert g.node_ids() == [i.decode() for i in long_ids]
    tail = [b"abcdefgh\xc3", b"\xa9bcdefghi", b"x", b"y"]
    assert "node 0: id (byte" in refused(with_fields(ids=tail))


def test_long_deps_lists_sharing_deps_restore_and_repeats_are_found():
    # Lists longer than the short-list scan are checked with the visit marks,
    # which must start afresh for every node.
    g = Graph()
    ids = [f"n{k}" for k in range(60)]
    for node_id in ids:
        g.add_node(node_id, "source")
    for k in range(40, 60):
        g.set_deps(ids[k], ids[k - 40 : k - 15])  # 25 deps, overlapping neighbours
    g.build()
    data = g.to_bytes()
    assert Graph.from_bytes(data).to_bytes() == data
    s = decode(data)
    s["deps"][59] = [*s["deps"][59][:-1], s["deps"][59][3]]
    message = refused(encode(s))
    assert message.startswith(f"node 59: dep {s['deps'][59][3]} (byte ")
    assert message.endswith(") is listed twice")


def test_a_counter_at_its_limit_restores_but_refuses_to_wrap():
    limit = 2**63 - 1
    g = Graph.from_bytes(with_fields(counter=limit))
    before = g.to_bytes()
    exhausted = "epoch counter exhausted: no commit can be given a new epoch"
    with pytest.raises(OverflowError) as info:
        g.commit_node("b", 1)
    assert str(info.value) == exhausted
    with pytest.raises(KeyError, match="unknown node"):
        g.commit_node("missing", 1)  # an unknown id is still what is reported first
    assert g.to_bytes() == before
    g.skip_node("b", 9)  # a memo hit takes no epoch
    g.set_dirty("b")
    # A round refuses the change report before it writes anything, and still
    # accepts a report that keeps the epoch.
    with g.begin_round({}, ["b", "d"]) as round_:
        batch = dict(round_.ready())
        assert set(batch) == {"b", "d"}
        with pytest.raises(OverflowError) as info:
            round_.done("b", True)
        assert str(info.value) == exhausted and g.state_of("b") == "computing"
        round_.done("b", False)
        round_.done("d", False)
        assert [node_id for node_id, _ in round_.ready()] == ["c"]
        round_.done("c", False)
        assert round_.finished
    assert g.dirty_nodes() == [] and decode(g.to_bytes())["counter"] == limit


def test_a_flipped_bit_anywhere_fails_the_checksum():
    data = sample_graph().to_bytes()
    for k in range(72, len(data)):
        damaged = bytearray(data)
        damaged[k] ^= 0x10
        assert "checksum mismatch" in refused(bytes(damaged))


@settings(max_examples=300, suppress_health_check=[HealthCheck.too_slow])
@given(
    graphs(max_nodes=6),
    st.lists(st.tuples(st.integers(0, 10**6), st.integers(0, 255)), min_size=1, max_size=4),
    st.booleans(),
)
def test_hostile_bytes_are_refused_or_restore_to_exactly_themselves(g, edits, reseal):
    data = bytearray(g.to_bytes())
    for position, value in edits:
        data[position % len(data)] = value
    if reseal:
        data = bytearray(seal(bytes(data[:-8])))
    error = None
    try:
        restored = Graph.from_bytes(data)
    except ValueError as e:
        error = str(e)
    if error is not None:
        assert error.startswith(PREFIX)
        return
    # The encoding is canonical: whatever is accepted re-encodes to itself,
    # but for the kernel version field, which records who wrote it.
    again = restored.to_bytes()
    assert again[:16] + again[32:-8] == bytes(data[:16] + data[32:-8])
    observable(restored)
    continue_update(restored)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: Graph.from_bytes(), TypeError, r"missing 1 required positional argument: 'data'"),
        (lambda: Graph.from_bytes(b"", b""), TypeError, r"takes 1 positional arguments but 2"),
        (lambda: Graph.from_bytes(bytes=b""), TypeError, r"unexpected keyword argument 'bytes'"),
        (
            lambda: Graph.from_bytes("text"),
            TypeError,
            r"^argument 'data': a bytes-like object is required, not 'str'$",
        ),
        (lambda: Graph.from_bytes([1, 2]), TypeError, r"^argument 'data': .* not 'list'$"),
        (lambda: Graph.from_bytes(memoryview(bytes(80))[::2]), BufferError, "contiguous"),
        (lambda: Graph().to_bytes(1), TypeError, r"takes no arguments"),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_a_graph_in_use_cannot_be_saved():
    g = sample_graph()

    class Sneaky(list):
        def __iter__(self):
            with pytest.raises(RuntimeError, match=ALREADY_MUTABLY_BORROWED):
                g.to_bytes()
            with pytest.raises(RuntimeError, match=ALREADY_MUTABLY_BORROWED):
                copy.copy(g)
            return super().__iter__()

    before = g.to_bytes()
    g.set_deps("c", Sneaky(["a"]))
    assert g.to_bytes() != before and g.deps_of("c") == ["a"]


SHAPE = ([("a", "input"), ("b", "reactive"), ("c", "view")], {"b": ["a"], "c": ["a", "b"]})


@pytest.mark.parametrize(
    ("nodes", "deps", "same"),
    [
        (*SHAPE, True),
        ([("a", "input"), ("b", "reactive"), ("c", "reactive")], SHAPE[1], False),  # a kind
        ([("a", "input"), ("b", "reactive"), ("x", "view")], {"b": ["a"], "x": ["a", "b"]}, False),
        (SHAPE[0], {"b": ["a"], "c": ["b", "a"]}, False),  # dep order
        (SHAPE[0], {"b": ["a"], "c": ["a"]}, False),
        ([*SHAPE[0], ("d", "view")], SHAPE[1], False),
        ([("b", "reactive"), ("a", "input"), ("c", "view")], SHAPE[1], False),  # node order
    ],
)
def test_same_structure_compares_ids_kinds_and_deps_only(nodes, deps, same):
    g = make_graph(*SHAPE)
    g.commit_input("a", 3)  # states and memo fields are not structure
    other = make_graph(nodes, deps, build=False)
    assert g._same_structure(other) is same
    assert other._same_structure(g) is same
    assert g._same_structure(g) is True


def test_same_structure_sees_through_how_deps_are_stored():
    g = make_graph(*SHAPE)
    other = make_graph(*SHAPE, build=False)
    other.set_deps("c", ["b"])
    other.set_deps("c", ["a", "b"])  # the same deps, stored after a stale run
    assert g._same_structure(other) and other._same_structure(g)
    other.set_deps("c", ["b", "a"])
    assert not g._same_structure(other)


def test_same_structure_argument_errors():
    g = make_graph(*SHAPE)
    with pytest.raises(TypeError, match="cannot be converted to 'Graph'"):
        g._same_structure(g.to_bytes())
    with pytest.raises(TypeError, match="takes exactly one argument"):
        g._same_structure()

    class Sneaky(list):
        def __iter__(self):
            with pytest.raises(RuntimeError, match=ALREADY_MUTABLY_BORROWED):
                Graph()._same_structure(g)
            return super().__iter__()

    g.set_deps("c", Sneaky(["a"]))


@pytest.mark.parametrize("damage", [False, True], ids=["restored", "refused"])
def test_a_bytearray_restored_from_can_be_resized_after(damage):
    # The buffer is exported only for the call, a refused one too: a
    # bytearray still exported cannot change size.
    data = bytearray(sample_graph().to_bytes())
    if damage:
        data[-1] ^= 1
        with pytest.raises(ValueError, match="checksum mismatch"):
            Graph.from_bytes(data)
    else:
        Graph.from_bytes(data)
    data.extend(b"more")
    del data[:4]
