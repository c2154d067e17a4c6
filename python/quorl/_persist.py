"""Saving an engine to a file and starting one warm from it.

A saved file holds the kernel's snapshot of the graph (``Graph.to_bytes()``)
and the engine's state: the node values, the inputs' hashes, the memo
entries and the work left for the next round. The values and the memo
entries are encoded apart, and a loaded engine decodes them only when it
first needs them: a warm round that computes nothing never does. Node
functions are code, not data: they are not saved; the loading program
declares the graph again, and the file must match what it declares.

The state is written in the plain codec (quorl._codec), which cannot run
code on load. Values and memo entries of other types are pickled instead,
and the header says so: such a file is only read with ``allow_pickle=True``,
since unpickling it can run any code. A file saved with a key carries an
HMAC-SHA256 tag over all its bytes, checked before anything is decoded.

Layout (integers little-endian):

    0   8   magic b"\\x89QRLENG\\n"
    8   4   format version (FORMAT_VERSION)
    12  4   codec of the values and memo entries: 0 plain, 1 pickle
    16  4   length p of the package version that wrote the file
    20  4   length t of the tag: 0, or 32 for a file saved with a key
    24  8   length g of the graph snapshot
    32  8   length v of the state
    40  8   CRC-32 of the package version and the state (the snapshot
            carries its own checksum)
    48  p   the package version, ASCII (for messages)
        g   the graph snapshot
        v   the state, in the plain codec: a dict of "values" and "memos"
            (each encoded on its own, in the header's codec, as bytes; plain
            memos as three lists of node ids, signatures and values, one item
            per entry), "hashes", "new_inputs" and "seeds"
        t   HMAC-SHA256 with the key of every byte before it

Version 2 files have the 40-byte header ``<8sIIQQQ`` (magic, version, p, g,
v, CRC), no tag, and a pickled state whose values and memos are pickles: they
are read with ``allow_pickle=True`` only.
"""

from __future__ import annotations

import hashlib
import hmac
import os
import pickle
import struct
import zlib
from collections.abc import Callable, Container, Iterable, Mapping
from itertools import chain
from typing import Any, Final, NamedTuple, NoReturn

from quorl import _codec
from quorl._atomic import atomic_writer
from quorl._quorl import Graph
from quorl._state import Node, State
from quorl._version import __version__

MAGIC: Final = b"\x89QRLENG\n"
FORMAT_VERSION: Final = 3
PLAIN: Final = 0
PICKLE: Final = 1
_PREFIX: Final = struct.Struct("<8sI")
_HEADER: Final = struct.Struct("<8sIIIIQQQ")
_HEADER_2: Final = struct.Struct("<8sIIQQQ")
_TAG_SIZE: Final = hashlib.sha256().digest_size
_STATE_KEYS: Final = frozenset({"values", "hashes", "memos", "new_inputs", "seeds"})


class _Pickled(bytes):
    """A values or memos part that the loading caller allowed to be unpickled."""

    __slots__ = ()


def _checksum(*parts: bytes | memoryview) -> int:
    crc = 0
    for part in parts:
        crc = zlib.crc32(part, crc)
    return crc


def _check_key(key: object) -> bytes | None:
    if key is None:
        return None
    if not isinstance(key, (bytes, bytearray)):
        raise TypeError(f"key must be bytes, not {type(key).__qualname__}")
    if not key:
        raise ValueError("key must not be empty")
    return bytes(key)


def _tag(key: bytes, *parts: bytes | memoryview) -> bytes:
    mac = hmac.new(key, digestmod=hashlib.sha256)
    for part in parts:
        mac.update(part)
    return mac.digest()


def _encode_values(
    values: dict[str, Any], memos: dict[str, Any], allow_pickle: bool
) -> tuple[int, bytes, bytes]:
    """The codec and the encoded values and memos: plain where every value
    is of the plain types, else pickled if allowed. Plain memos are written
    as three lists, one item per entry (node ids, signatures, values): mostly
    columns, which decode at C speed, where a dict per node would not."""
    ids = [node_id for node_id, memo in memos.items() for _ in memo]
    signatures = [signature for memo in memos.values() for signature in memo]
    entries = [value for memo in memos.values() for value in memo.values()]
    try:
        return PLAIN, _codec.encode(values), _codec.encode((ids, signatures, entries))
    except (TypeError, ValueError) as exc:
        if not allow_pickle:
            where = next(
                (f"node {node_id!r}" for node_id, value in values.items() if not _plain(value)),
                "a memo entry",
            )
            raise TypeError(
                f"cannot save without pickle: the value of {where} is not of the plain "
                f"types ({exc}); save with allow_pickle=True to pickle the values"
            ) from exc
    # Protocol 5: what every supported Python reads.
    return PICKLE, pickle.dumps(values, protocol=5), pickle.dumps(memos, protocol=5)


def _plain(value: Any) -> bool:
    try:
        _codec.encode(value)
    except (TypeError, ValueError):
        return False
    return True


def save(
    path: str | os.PathLike[str],
    graph: Graph,
    nodes: Mapping[str, Node],
    state: State,
    allow_pickle: bool,
    key: bytes | None,
) -> None:
    """Write an engine's graph, nodes and state to ``path`` crash-safely (the
    caller holds the engine's lock, and has decoded what a load left encoded)."""
    key = _check_key(key)
    memos = {node_id: spec.memo for node_id, spec in nodes.items() if spec.memo}
    # Encoded before the file is opened: a value that cannot be encoded
    # leaves the old file as it was.
    codec, values, memos_data = _encode_values(state.values, memos, allow_pickle)
    encoded = _codec.encode(
        {
            "values": values,
            "hashes": state.hashes,
            "memos": memos_data,
            "new_inputs": state.new_inputs,
            "seeds": list(state.seeds),
        }
    )
    snapshot = graph.to_bytes()
    version = __version__.encode("ascii")
    header = _HEADER.pack(
        MAGIC,
        FORMAT_VERSION,
        codec,
        len(version),
        0 if key is None else _TAG_SIZE,
        len(snapshot),
        len(encoded),
        _checksum(version, encoded),
    )
    with atomic_writer(path) as f:
        for part in (header, version, snapshot, encoded):
            f.write(part)
        if key is not None:
            f.write(_tag(key, header, version, snapshot, encoded))


def _read(
    path: str | os.PathLike[str], allow_pickle: bool, key: bytes | None
) -> tuple[Graph, dict[str, Any], bool]:
    """The graph and the state saved in ``path``, every part checked, and
    whether its values and memos are pickles.

    Nothing is decoded before the header, the tag and the checksum are
    checked, and nothing is unpickled unless ``allow_pickle``.
    """
    with open(path, "rb") as f:
        data = f.read()
    where = os.fspath(path)
    if len(data) < _PREFIX.size:
        _too_short(where, data, _HEADER.size)
    magic, version = _PREFIX.unpack_from(data)
    if magic != MAGIC:
        raise ValueError(f"{where!r} is not a saved quorl engine: wrong magic bytes {magic!r}")
    if version == 2:
        if key is not None:
            raise ValueError(f"{where!r} is of format version 2, which carries no tag to check")
        if not allow_pickle:
            _refuse_pickled(where, "format version 2 is always pickled")
        header, codec, t = _HEADER_2, PICKLE, 0
        if len(data) < header.size:
            _too_short(where, data, header.size)
        _, _, p, g, v, checksum = header.unpack_from(data)
    elif version == FORMAT_VERSION:
        header = _HEADER
        if len(data) < header.size:
            _too_short(where, data, header.size)
        _, _, codec, p, t, g, v, checksum = header.unpack_from(data)
    else:
        raise ValueError(
            f"{where!r} was saved in format version {version}; this quorl "
            f"({__version__}) reads versions 2 and {FORMAT_VERSION} only: compute the graph afresh"
        )
    end = header.size + p + g + v
    if end + t != len(data):
        raise ValueError(
            f"{where!r} is truncated or padded: its header announces "
            f"{end + t} bytes, the file has {len(data)}"
        )
    view = memoryview(data)
    if t not in (0, _TAG_SIZE):
        raise ValueError(f"{where!r} is corrupted: its header announces a {t}-byte tag")
    if key is not None and not t:
        raise ValueError(f"{where!r} was saved without a key: it carries no tag to check")
    if key is None and t:
        raise ValueError(f"{where!r} was saved with a key: load it with the same key=")
    if key is not None and not hmac.compare_digest(_tag(key, view[:end]), view[end:]):
        raise ValueError(f"{where!r} fails its tag check: a wrong key, or the file was changed")
    body = view[header.size : end]
    if _checksum(body[:p], body[p + g :]) != checksum:
        raise ValueError(f"{where!r} is corrupted: its checksum does not match its content")
    if codec not in (PLAIN, PICKLE):
        raise ValueError(f"{where!r} has values in an unknown codec {codec}")
    if codec == PICKLE and not allow_pickle:
        _refuse_pickled(where, "values of types other than the plain ones")
    try:
        graph = Graph.from_bytes(body[p : p + g])
    except ValueError as exc:
        raise ValueError(f"{where!r} holds an unreadable graph snapshot: {exc}") from exc
    try:
        # Version 2 pickled the whole state; later ones never pickle its frame.
        state = pickle.loads(body[p + g :]) if version == 2 else _codec.decode(body[p + g :])
    except Exception as exc:
        raise ValueError(f"{where!r} holds unreadable values: {exc!r}") from exc
    if not isinstance(state, dict) or set(state) != _STATE_KEYS:
        raise ValueError(f"{where!r} holds values of an unknown layout")
    return graph, state, codec == PICKLE


def _refuse_pickled(where: str, why: str) -> NoReturn:
    raise ValueError(
        f"{where!r} holds pickled data ({why}), and unpickling can run any code: "
        "load it with allow_pickle=True only if you trust whoever could write the file"
    )


def _too_short(where: str, data: bytes, size: int) -> NoReturn:
    raise ValueError(
        f"{where!r} is not a saved quorl engine: {len(data)} bytes, "
        f"shorter than the {size}-byte header"
    )


def _first_difference(saved: Graph, nodes: Mapping[str, Node]) -> str | None:
    """The first way the declared graph differs from the saved one, if any
    (nodes may have been declared in another order)."""
    missing = next((i for i in saved.node_ids() if i not in nodes), None)
    if missing is not None:
        return f"the file has node {missing!r}, which is not declared"
    for node_id, spec in nodes.items():
        if node_id not in saved:
            return f"node {node_id!r} is declared but not in the file"
        if saved.kind_of(node_id) != spec.kind:
            return f"node {node_id!r} is declared {spec.kind!r} but saved as {saved.kind_of(node_id)!r}"
        if tuple(saved.deps_of(node_id)) != spec.deps:
            return (
                f"node {node_id!r} is declared with deps {list(spec.deps)!r} "
                f"but saved with {saved.deps_of(node_id)!r}"
            )
    return None


class Saved(NamedTuple):
    """A file's content, checked on its own, before anything is declared."""

    where: str
    graph: Graph
    state: dict[str, Any]
    pickled: bool  # its values and memos are pickles
    changed: list[str]  # the nodes whose function changed since the save
    inputs: str  # whose input values win: "declared" or "saved"


def read(
    path: str | os.PathLike[str],
    changed: Iterable[str],
    inputs: str,
    allow_pickle: bool,
    key: bytes | None,
) -> Saved:
    """The arguments of ``Engine.load`` checked, and the file at ``path`` read."""
    if isinstance(changed, str):
        raise TypeError("changed must be an iterable of node ids (a str itself is refused)")
    changed = list(changed)
    if inputs not in ("declared", "saved"):
        raise ValueError(f"inputs must be 'declared' or 'saved', not {inputs!r}")
    graph, state, pickled = _read(path, allow_pickle, _check_key(key))
    return Saved(os.fspath(path), graph, state, pickled, changed, inputs)


def restore(
    saved: Saved,
    declared: Graph,
    nodes: Mapping[str, Node],
    today: State,
    spec_of: Callable[[str], Node],
) -> tuple[Graph, State]:
    """The saved graph and the state a loaded engine starts from, given what
    ``declare`` made of a fresh engine: its graph, nodes and state, and its
    lookup of a node (KeyError for an unknown one).

    Everything is checked before anything is built, and the engine's own
    objects are only read.
    """
    where, graph, state = saved.where, saved.graph, saved.state
    # Compared while what declare() made is still in the cache (checked below
    # before it is used): one comparison in C when no input changed.
    declared_inputs = today.new_inputs  # every input, just declared
    unchanged = declared_inputs == state["hashes"]
    # Node by node in the kernel; the slow search for the first difference
    # also accepts the same graph declared in another order.
    if not graph._same_structure(declared):
        difference = _first_difference(graph, nodes)
        if difference is not None:
            raise ValueError(f"{where!r} was saved for a different graph: {difference}")
    for node_id in saved.changed:
        if spec_of(node_id).kind == "input":  # KeyError for an unknown node
            raise ValueError(f"an input has no function to change: {node_id!r}")
    values, hashes, memos = state["values"], state["hashes"], state["memos"]
    new_inputs, seeds = state["new_inputs"], state["seeds"]
    checks = (
        (values, bytes, "values"),
        (hashes, dict, "hashes"),
        (memos, bytes, "memos"),
        (new_inputs, dict, "new_inputs"),
        (seeds, list, "seeds"),
    )
    for part, kind, name in checks:
        if type(part) is not kind:
            raise ValueError(f"{where!r} holds a malformed {name!r} part")
    _refuse_stray(where, chain(new_inputs, seeds), nodes)
    if not unchanged:  # equal dicts have the same keys
        _refuse_stray(where, hashes, declared_inputs)
        _refuse_stray(where, declared_inputs, hashes)

    # The declared inputs' values are today's: those whose hash differs from
    # the saved one are changes for the next round, like a set() would make.
    # They stay in the values, over the file's values when those are decoded.
    pending = dict(new_inputs)
    values_today: dict[str, Any] = {}
    if saved.inputs == "declared" and not unchanged:
        for node_id, content_hash in declared_inputs.items():
            if content_hash != hashes[node_id]:
                values_today[node_id] = today.values[node_id]
                pending[node_id] = content_hash
    if saved.pickled:
        values, memos = _Pickled(values), _Pickled(memos)
    return graph, State(values_today, hashes, pending, dict.fromkeys(seeds), (where, values, memos))


def _refuse_stray(where: str, names: Iterable[Any], known: Container[Any]) -> None:
    """Refuse a file whose state names nodes its graph does not have: the
    first of ``names`` not in ``known``. A loop over the few names rather
    than set operations over every node: this is on the warm start's path."""
    for name in names:
        if name not in known:
            raise ValueError(f"{where!r} holds state that does not fit its graph: {name!r}")


def unpack(state: State, nodes: Mapping[str, Node]) -> None:
    """Decode the values and memo entries a load left encoded, into ``state``
    and the memos of ``nodes``.

    Checked before anything is taken: a failure leaves both as they were.
    """
    with state.lock:
        saved = state.saved
        if saved is None:
            return  # another thread was first
        where, values_data, memos_data = saved
        # Only a load with allow_pickle makes a _Pickled part.
        decode = pickle.loads if type(values_data) is _Pickled else _codec.decode
        try:
            values = decode(values_data)
            memos = decode(memos_data)
        except Exception as exc:
            raise ValueError(f"{where!r} holds unreadable values: {exc!r}") from exc
        if type(memos) is tuple:
            memos = _memos_of_lists(memos)
        if type(values) is not dict or type(memos) is not dict:
            raise ValueError(f"{where!r} holds values of an unknown layout")
        _refuse_stray(where, chain(values, memos), nodes)
        values.update(state.values)  # set since the load: today's
        for node_id, memo in memos.items():
            spec = nodes[node_id]
            if type(memo) is not dict or not spec.memo_size:
                continue
            # The most recently used entries last: a smaller memo_size keeps those.
            spec.memo = (
                memo if len(memo) <= spec.memo_size else dict(list(memo.items())[-spec.memo_size :])
            )
        state.values = values
        state.saved = None


def _memos_of_lists(lists: tuple[Any, ...]) -> dict[str, dict[Any, Any]] | None:
    """The memos that a plain save wrote as lists, or None if they are not three
    lists of one length (every node's entries together, least recent first)."""
    if len(lists) != 3 or any(type(part) is not list for part in lists):
        return None
    ids, signatures, entries = lists
    if not len(ids) == len(signatures) == len(entries):
        return None
    memos: dict[str, dict[Any, Any]] = {}
    try:
        for node_id, signature, value in zip(ids, signatures, entries, strict=True):
            memo = memos.get(node_id)
            if memo is None:
                memo = memos[node_id] = {}
            memo[signature] = value
    except TypeError:  # an id or signature that cannot be a key
        return None
    return memos
