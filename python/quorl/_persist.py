"""Saving an engine to a file and starting one warm from it.

A saved file holds the kernel's snapshot of the graph (``Graph.to_bytes()``)
and, pickled, the node values, the inputs' hashes, the memo entries and the
work left for the next round. Node functions are code, not data: they are
not saved; the loading program declares the graph again, and the file must
match what it declares.

A file is unpickled on load, so it can run any code: load only files you
trust, as with any pickle.

Layout (integers little-endian):

    0   8   magic b"\\x89QRLENG\\n"
    8   4   format version (FORMAT_VERSION)
    12  4   length p of the package version that wrote the file
    16  8   length g of the graph snapshot
    24  8   length v of the pickled values
    32  32  BLAKE2b-256 of everything after this header
    64  p   the package version, ASCII (for messages)
        g   the graph snapshot
        v   the pickled values
"""

from __future__ import annotations

import hashlib
import os
import pickle
import struct
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, Final

from quorl._atomic import atomic_writer
from quorl._quorl import Graph
from quorl._version import __version__

if TYPE_CHECKING:
    from quorl.engine import Engine

MAGIC: Final = b"\x89QRLENG\n"
FORMAT_VERSION: Final = 1
_HEADER: Final = struct.Struct("<8sIIQQ32s")
_STATE_KEYS: Final = frozenset({"values", "hashes", "memos", "new_inputs", "seeds"})


def _digest(*parts: bytes) -> bytes:
    h = hashlib.blake2b(digest_size=32)
    for part in parts:
        h.update(part)
    return h.digest()


def save(engine: Engine, path: str | os.PathLike[str]) -> None:
    """Write ``engine``'s state to ``path`` crash-safely (the caller holds its lock)."""
    state = {
        "values": engine._values,
        "hashes": engine._hashes,
        "memos": {node_id: spec.memo for node_id, spec in engine._nodes.items() if spec.memo},
        "new_inputs": engine._new_inputs,
        "seeds": list(engine._seeds),
    }
    # Pickle before the file is opened: a value that cannot be pickled leaves
    # the old file as it was.
    values = pickle.dumps(state, protocol=pickle.HIGHEST_PROTOCOL)
    graph = engine._graph.to_bytes()
    version = __version__.encode("ascii")
    header = _HEADER.pack(
        MAGIC, FORMAT_VERSION, len(version), len(graph), len(values), _digest(version, graph, values)
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
    magic, version, p, g, v, digest = _HEADER.unpack_from(data)
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
    if _digest(body) != digest:
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


def _first_difference(saved: Graph, declared: Graph) -> str | None:
    saved_ids = saved.node_ids()
    declared_ids = declared.node_ids()
    missing = [i for i in saved_ids if i not in declared]
    if missing:
        return f"the file has node {missing[0]!r}, which is not declared"
    extra = [i for i in declared_ids if i not in saved]
    if extra:
        return f"node {extra[0]!r} is declared but not in the file"
    for node_id in declared_ids:
        if saved.kind_of(node_id) != declared.kind_of(node_id):
            return (
                f"node {node_id!r} is declared {declared.kind_of(node_id)!r} "
                f"but saved as {saved.kind_of(node_id)!r}"
            )
        if saved.deps_of(node_id) != declared.deps_of(node_id):
            return (
                f"node {node_id!r} is declared with deps {declared.deps_of(node_id)!r} "
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
    declare(engine)
    difference = _first_difference(graph, engine._graph)
    if difference is not None:
        raise ValueError(f"{os.fspath(path)!r} was saved for a different graph: {difference}")
    nodes = engine._nodes
    for node_id in changed:
        spec = engine._spec(node_id)  # KeyError for an unknown node
        if spec.kind == "input":
            raise ValueError(f"an input has no function to change: {node_id!r}")
    values, hashes, memos = state["values"], state["hashes"], state["memos"]
    new_inputs, seeds = state["new_inputs"], state["seeds"]
    checks = (
        (values, dict, "values"),
        (hashes, dict, "hashes"),
        (memos, dict, "memos"),
        (new_inputs, dict, "new_inputs"),
        (seeds, list, "seeds"),
    )
    for part, kind, name in checks:
        if type(part) is not kind:
            raise ValueError(f"{os.fspath(path)!r} holds a malformed {name!r} part")
    stray = next(
        (
            i
            for i in (*values, *hashes, *memos, *new_inputs, *seeds)
            if not isinstance(i, str) or i not in nodes
        ),
        None,
    ) or next((i for i in nodes if nodes[i].kind == "input" and i not in hashes), None)
    if stray is not None:
        raise ValueError(f"{os.fspath(path)!r} holds state that does not fit its graph: {stray!r}")

    # The declared inputs' values are today's: those whose hash differs from
    # the saved one are changes for the next round, like a set() would make.
    declared_values = {
        i: engine._values[i] for i in nodes if nodes[i].kind == "input" and inputs == "declared"
    }
    declared_hashes = engine._hashes
    pending = dict(new_inputs)
    for node_id, value in declared_values.items():
        if declared_hashes[node_id] != hashes[node_id]:
            values[node_id] = value
            pending[node_id] = declared_hashes[node_id]
    engine._graph = graph
    engine._begin_round = graph.begin_round
    engine._values = values
    engine._hashes = hashes
    engine._new_inputs = pending
    engine._seeds = dict.fromkeys(seeds)
    for node_id, memo in memos.items():
        spec = nodes[node_id]
        if type(memo) is dict and spec.memo_size:
            spec.memo = dict(list(memo.items())[-spec.memo_size :])
    for node_id in changed:
        nodes[node_id].memo.clear()  # the old function's values
        engine._seeds[node_id] = None
    engine._built = graph.is_built()
    return engine
