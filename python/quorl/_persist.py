"""Saving an engine to a file and starting one warm from it.

A saved file holds the kernel's snapshot of the graph (``Graph.to_bytes()``)
and, pickled, the node values, the inputs' hashes, the memo entries and the
work left for the next round. The values and the memo entries are pickled
apart, and a loaded engine unpickles them only when it first needs them: a
warm round that computes nothing never does. Node functions are code, not
data: they are not saved; the loading program declares the graph again, and
the file must match what it declares.

A file is unpickled on load, so it can run any code: load only files you
trust, as with any pickle.

Layout (integers little-endian):

    0   8   magic b"\\x89QRLENG\\n"
    8   4   format version (FORMAT_VERSION)
    12  4   length p of the package version that wrote the file
    16  8   length g of the graph snapshot
    24  8   length v of the pickled values
    32  8   CRC-32 of the package version and the pickled values (the
            snapshot carries its own checksum)
    40  p   the package version, ASCII (for messages)
        g   the graph snapshot
        v   the pickled state: a dict of "values" and "memos" (each a pickle
            of its own, as bytes), "hashes", "new_inputs" and "seeds"
"""

from __future__ import annotations

import os
import pickle
import struct
import zlib
from collections.abc import Callable, Container, Iterable
from itertools import chain
from typing import TYPE_CHECKING, Any, Final

from quorl._atomic import atomic_writer
from quorl._quorl import Graph
from quorl._version import __version__

if TYPE_CHECKING:
    from quorl.engine import Engine

MAGIC: Final = b"\x89QRLENG\n"
FORMAT_VERSION: Final = 2
_HEADER: Final = struct.Struct("<8sIIQQQ")
_STATE_KEYS: Final = frozenset({"values", "hashes", "memos", "new_inputs", "seeds"})


def _checksum(*parts: bytes | memoryview) -> int:
    crc = 0
    for part in parts:
        crc = zlib.crc32(part, crc)
    return crc


def save(engine: Engine, path: str | os.PathLike[str]) -> None:
    """Write ``engine``'s state to ``path`` crash-safely (the caller holds its lock)."""
    memos = {node_id: spec.memo for node_id, spec in engine._nodes.items() if spec.memo}
    state = {
        "values": pickle.dumps(engine._values, protocol=5),
        "hashes": engine._hashes,
        "memos": pickle.dumps(memos, protocol=5),
        "new_inputs": engine._new_inputs,
        "seeds": list(engine._seeds),
    }
    # Pickle before the file is opened: a value that cannot be pickled leaves
    # the old file as it was.
    values = pickle.dumps(state, protocol=5)  # what every supported Python reads
    graph = engine._graph.to_bytes()
    version = __version__.encode("ascii")
    header = _HEADER.pack(
        MAGIC, FORMAT_VERSION, len(version), len(graph), len(values), _checksum(version, values)
    )
    with atomic_writer(path) as f:
        f.write(header)
        f.write(version)
        f.write(graph)
        f.write(values)


def _read(path: str | os.PathLike[str]) -> tuple[Graph, dict[str, Any]]:
    """The graph and the state saved in ``path``, every part checked."""
    with open(path, "rb") as f:
        data = f.read()
    where = os.fspath(path)
    if len(data) < _HEADER.size:
        raise ValueError(
            f"{where!r} is not a saved quorl engine: {len(data)} bytes, "
            f"shorter than the {_HEADER.size}-byte header"
        )
    magic, version, p, g, v, checksum = _HEADER.unpack_from(data)
    if magic != MAGIC:
        raise ValueError(f"{where!r} is not a saved quorl engine: wrong magic bytes {magic!r}")
    if version != FORMAT_VERSION:
        raise ValueError(
            f"{where!r} was saved in format version {version}; this quorl "
            f"({__version__}) reads version {FORMAT_VERSION} only: compute the graph afresh"
        )
    body = memoryview(data)[_HEADER.size :]
    if p + g + v != len(body):
        raise ValueError(
            f"{where!r} is truncated or padded: its header announces "
            f"{_HEADER.size + p + g + v} bytes, the file has {len(data)}"
        )
    if _checksum(body[:p], body[p + g :]) != checksum:
        raise ValueError(f"{where!r} is corrupted: its checksum does not match its content")
    try:
        graph = Graph.from_bytes(body[p : p + g])
    except ValueError as exc:
        raise ValueError(f"{where!r} holds an unreadable graph snapshot: {exc}") from exc
    try:
        state = pickle.loads(body[p + g :])
    except Exception as exc:
        raise ValueError(f"{where!r} holds unreadable values: {exc!r}") from exc
    if not isinstance(state, dict) or set(state) != _STATE_KEYS:
        raise ValueError(f"{where!r} holds values of an unknown layout")
    return graph, state


def _first_difference(saved: Graph, engine: Engine) -> str | None:
    """The first way the declared graph differs from the saved one, if any
    (nodes may have been declared in another order)."""
    nodes = engine._nodes
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


def load(
    path: str | os.PathLike[str],
    declare: Callable[[Engine], object],
    changed: Iterable[str],
    inputs: str,
    engine: Engine,
) -> Engine:
    """Fill the fresh ``engine`` from ``path``; ``declare`` declares its graph.

    Everything is checked before the engine takes anything from the file,
    and the engine is only returned when all of it is in place.
    """
    if isinstance(changed, str):
        raise TypeError("changed must be an iterable of node ids (a str itself is refused)")
    changed = list(changed)
    if inputs not in ("declared", "saved"):
        raise ValueError(f"inputs must be 'declared' or 'saved', not {inputs!r}")
    graph, state = _read(path)
    where = os.fspath(path)
    declare(engine)
    if engine.last_report is not None:
        raise ValueError("declare(engine) must only declare nodes, but it ran a round")
    # Compared while what declare() made is still in the cache (checked below
    # before it is used): one comparison in C when no input changed.
    declared_inputs = engine._new_inputs  # every input, just declared
    unchanged = declared_inputs == state["hashes"]
    # Node by node in the kernel; the slow search for the first difference
    # also accepts the same graph declared in another order.
    if not graph._same_structure(engine._graph):
        difference = _first_difference(graph, engine)
        if difference is not None:
            raise ValueError(f"{where!r} was saved for a different graph: {difference}")
    nodes = engine._nodes
    for node_id in changed:
        spec = engine._spec(node_id)  # KeyError for an unknown node
        if spec.kind == "input":
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
    # They stay in _values, over the file's values when those are unpickled.
    pending = dict(new_inputs)
    today: dict[str, Any] = {}
    if inputs == "declared" and not unchanged:
        for node_id, content_hash in declared_inputs.items():
            if content_hash != hashes[node_id]:
                today[node_id] = engine._values[node_id]
                pending[node_id] = content_hash
    engine._graph = graph
    engine._begin_round = graph.begin_round
    engine._values = today
    engine._saved = (where, values, memos)
    engine._hashes = hashes
    engine._new_inputs = pending
    engine._seeds = dict.fromkeys(seeds)
    engine._built = graph.is_built()
    if changed:
        unpack(engine)  # the changed nodes' memo entries are dropped now
    for node_id in changed:
        nodes[node_id].memo.clear()  # the old function's values
        engine._seeds[node_id] = None
    return engine


def _refuse_stray(where: str, names: Iterable[Any], known: Container[Any]) -> None:
    """Refuse a file whose state names nodes its graph does not have: the
    first of ``names`` not in ``known``. A loop over the few names rather
    than set operations over every node: this is on the warm start's path."""
    for name in names:
        if name not in known:
            raise ValueError(f"{where!r} holds state that does not fit its graph: {name!r}")


def unpack(engine: Engine) -> None:
    """Unpickle the values and memo entries a load left pickled, into ``engine``.

    Checked before anything is taken: a failure leaves the engine as it was.
    """
    with engine._saved_lock:
        saved = engine._saved
        if saved is None:
            return  # another thread was first
        where, values_data, memos_data = saved
        try:
            values = pickle.loads(values_data)
            memos = pickle.loads(memos_data)
        except Exception as exc:
            raise ValueError(f"{where!r} holds unreadable values: {exc!r}") from exc
        if type(values) is not dict or type(memos) is not dict:
            raise ValueError(f"{where!r} holds values of an unknown layout")
        nodes = engine._nodes
        _refuse_stray(where, chain(values, memos), nodes)
        values.update(engine._values)  # set since the load: today's
        for node_id, memo in memos.items():
            spec = nodes[node_id]
            if type(memo) is not dict or not spec.memo_size:
                continue
            # The most recently used entries last: a smaller memo_size keeps those.
            spec.memo = (
                memo if len(memo) <= spec.memo_size else dict(list(memo.items())[-spec.memo_size :])
            )
        engine._values = values
        engine._saved = None
