"""The graph operations of ``quorl.Graph``, written in plain Python.

This is the baseline the benchmarks compare the kernel against: what a
framework author would write without a native kernel. It keeps the same
observable behaviour for the operations that are benchmarked (and for the
rest of the method table, so the self-check can compare results one for one),
and it is written to be fast in CPython: parallel lists indexed by node index,
one dict from id to index, ``heapq`` for the smallest-index ready queue,
``collections.deque`` for the breadth-first closure and a set for visited
nodes, so a small closure does not pay for the size of the whole graph.
"""

from __future__ import annotations

import heapq
import unicodedata
from collections import deque

__all__ = ["PyGraph"]

INPUT, SOURCE, REACTIVE, VIEW = 0, 1, 2, 3
CLEAN, DIRTY, COMPUTING = 0, 1, 2

_KINDS = {"input": INPUT, "source": SOURCE, "reactive": REACTIVE, "view": VIEW}
_KIND_NAMES = ("input", "source", "reactive", "view")
_STATE_NAMES = ("clean", "dirty", "computing")

FOLD_START = 0x14650FB0739D0383
FOLD_MULTIPLIER = 0x100000001B3
MASK64 = (1 << 64) - 1

_NOT_BUILT = "graph has not been built; call build() after registering nodes"
_SIMPLE_ESCAPES = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r", "\0": "\\0"}


def _quoted(text: str) -> str:
    """The quoted form used in error messages.

    Combining marks stand in for the grapheme-extender property, which the
    ``unicodedata`` module does not expose; ids in benchmarks are ASCII.
    """
    out = ['"']
    for ch in text:
        escaped = _SIMPLE_ESCAPES.get(ch)
        if escaped is not None:
            out.append(escaped)
        elif ch == "'" or (ch.isprintable() and unicodedata.category(ch) not in ("Mn", "Me")):
            out.append(ch)
        else:
            out.append(f"\\u{{{ord(ch):x}}}")
    out.append('"')
    return "".join(out)


def _unknown(node_id: str) -> KeyError:
    return KeyError("unknown node: " + _quoted(node_id))


class PyGraph:
    """A reactive DAG: dirty tracking, topological scheduling, propagation and
    memo bookkeeping, with the same method names and results as the kernel."""

    __slots__ = (
        "_built",
        "_content_hashes",
        "_dependents",
        "_deps",
        "_epoch_counter",
        "_epochs",
        "_ids",
        "_index",
        "_keys",
        "_kinds",
        "_order",
        "_position",
        "_signatures",
        "_states",
    )

    def __init__(self) -> None:
        self._ids: list[str] = []
        self._index: dict[str, int] = {}
        self._kinds: list[int] = []
        self._states: list[int] = []
        self._deps: list[list[int]] = []
        self._dependents: list[list[int]] = []
        self._signatures: list[int | None] = []
        self._content_hashes: list[int | None] = []
        self._epochs: list[int] = []
        # What each node contributes to its dependants' folds (the content
        # hash of an input, the epoch of anything else), kept current by the
        # commits so check_node reads one list instead of branching on kind.
        self._keys: list[int] = []
        self._order: list[int] = []
        self._position: list[int] = []
        self._epoch_counter = 0
        self._built = False

    # -- registration and queries -------------------------------------------

    def __len__(self) -> int:
        return len(self._ids)

    def __contains__(self, node_id: str) -> bool:
        if not isinstance(node_id, str):
            raise TypeError("id must be str")
        return node_id in self._index

    def add_node(self, id: str, kind: str) -> None:
        if id in self._index:
            raise ValueError("node already registered: " + _quoted(id))
        k = _KINDS.get(kind)
        if k is None:
            raise ValueError(
                f"invalid node kind {_quoted(kind)} (expected input|source|reactive|view)"
            )
        self._index[id] = len(self._ids)
        self._ids.append(id)
        self._kinds.append(k)
        self._states.append(DIRTY)
        self._deps.append([])
        self._dependents.append([])
        self._signatures.append(None)
        self._content_hashes.append(None)
        self._epochs.append(0)
        self._keys.append(0)
        self._built = False

    def set_deps(self, id: str, deps) -> None:
        if isinstance(deps, str):
            raise TypeError("deps must be a sequence of str, not str")
        index = self._index
        target = index.get(id)
        if target is None:
            raise _unknown(id)
        resolved: list[int] = []
        for dep in deps:
            if dep == id:
                raise ValueError(f"node {_quoted(id)} cannot depend on itself")
            d = index.get(dep)
            if d is None:
                raise _unknown(dep)
            if d not in resolved:
                resolved.append(d)
        self._deps[target] = resolved
        self._built = False

    def _lookup(self, node_id: str) -> int:
        i = self._index.get(node_id)
        if i is None:
            raise _unknown(node_id)
        return i

    def node_ids(self) -> list[str]:
        return list(self._ids)

    def kind_of(self, id: str) -> str:
        return _KIND_NAMES[self._kinds[self._lookup(id)]]

    def deps_of(self, id: str) -> list[str]:
        ids = self._ids
        return [ids[d] for d in self._deps[self._lookup(id)]]

    def state_of(self, id: str) -> str:
        i = self._index.get(id)
        if i is None:
            raise _unknown(id)
        return _STATE_NAMES[self._states[i]]

    # -- build and ordered listings -----------------------------------------

    def build(self) -> None:
        deps = self._deps
        n = len(deps)
        dependents: list[list[int]] = [[] for _ in range(n)]
        for i, node_deps in enumerate(deps):
            for d in node_deps:
                dependents[d].append(i)
        self._dependents = dependents
        in_degree = [len(node_deps) for node_deps in deps]
        # Ascending, so it is already a valid heap.
        ready = [i for i in range(n) if not in_degree[i]]
        order: list[int] = []
        push, pop, append = heapq.heappush, heapq.heappop, order.append
        while ready:
            u = pop(ready)
            append(u)
            for j in dependents[u]:
                left = in_degree[j] - 1
                in_degree[j] = left
                if not left:
                    push(ready, j)
        if len(order) < n:
            ids = self._ids
            stuck = [ids[i] for i in range(n) if in_degree[i] > 0]
            raise ValueError("dependency cycle detected involving: " + ", ".join(stuck))
        position = [0] * n
        for k, i in enumerate(order):
            position[i] = k
        self._order = order
        self._position = position
        self._built = True

    def _require_built(self) -> None:
        if not self._built:
            raise RuntimeError(_NOT_BUILT)

    def topo_order(self) -> list[str]:
        self._require_built()
        ids = self._ids
        return [ids[i] for i in self._order]

    def views(self) -> list[str]:
        self._require_built()
        ids, kinds = self._ids, self._kinds
        return [ids[i] for i in self._order if kinds[i] == VIEW]

    def dirty_nodes(self) -> list[str]:
        self._require_built()
        ids, states = self._ids, self._states
        return [ids[i] for i in self._order if states[i] == DIRTY]

    # -- propagation ----------------------------------------------------------

    def _closure(self, seeds: list[int]) -> list[int]:
        dependents = self._dependents
        seen = set()
        queue: deque[int] = deque()
        for s in seeds:
            if s not in seen:
                seen.add(s)
                queue.append(s)
        closure: list[int] = []
        take, enqueue, keep, mark = queue.popleft, queue.append, closure.append, seen.add
        while queue:
            u = take()
            keep(u)
            for d in dependents[u]:
                if d not in seen:
                    mark(d)
                    enqueue(d)
        return closure

    def _ids_in_topo_order(self, indices: list[int]) -> list[str]:
        indices.sort(key=self._position.__getitem__)
        ids = self._ids
        return [ids[i] for i in indices]

    def _seed_indices(self, seeds) -> list[int]:
        if isinstance(seeds, str):
            raise TypeError("seeds must be a sequence of str, not str")
        index = self._index
        out = []
        for s in seeds:
            i = index.get(s)
            if i is None:
                raise _unknown(s)
            out.append(i)
        return out

    def downstream(self, id: str) -> list[str]:
        self._require_built()
        t = self._lookup(id)
        closure = self._closure([t])
        # The seed leaves the queue first.
        del closure[0]
        return self._ids_in_topo_order(closure)

    def dirty_subgraph(self, seeds) -> list[str]:
        self._require_built()
        return self._ids_in_topo_order(self._closure(self._seed_indices(seeds)))

    def mark_dirty(self, seeds) -> list[str]:
        self._require_built()
        closure = self._closure(self._seed_indices(seeds))
        states = self._states
        for i in closure:
            states[i] = DIRTY
        return self._ids_in_topo_order(closure)

    # -- states and caller-hashed memo ------------------------------------------

    def set_dirty(self, id: str) -> None:
        self._states[self._lookup(id)] = DIRTY

    def set_computing(self, id: str) -> None:
        self._states[self._lookup(id)] = COMPUTING

    def set_clean(self, id: str, hash: int) -> None:
        i = self._lookup(id)
        self._states[i] = CLEAN
        self._signatures[i] = hash

    def needs_recompute(self, id: str, input_hash: int) -> bool:
        i = self._index.get(id)
        if i is None:
            raise _unknown(id)
        return self._signatures[i] != input_hash

    # -- kernel-folded memo -----------------------------------------------------

    def check_node(self, id: str) -> tuple[str, bool, int]:
        i = self._index.get(id)
        if i is None:
            raise _unknown(id)
        keys = self._keys
        h = FOLD_START
        for d in self._deps[i]:
            h = ((h ^ keys[d]) * FOLD_MULTIPLIER) & MASK64
        return _KIND_NAMES[self._kinds[i]], self._signatures[i] != h, h

    def commit_node(self, id: str, signature: int) -> None:
        i = self._index.get(id)
        if i is None:
            raise _unknown(id)
        epoch = self._epoch_counter = (self._epoch_counter + 1) & MASK64
        self._states[i] = CLEAN
        self._signatures[i] = signature
        self._epochs[i] = epoch
        if self._kinds[i] != INPUT:
            self._keys[i] = epoch

    def skip_node(self, id: str, signature: int) -> None:
        i = self._lookup(id)
        self._states[i] = CLEAN
        self._signatures[i] = signature

    def commit_input(self, id: str, content_hash: int) -> None:
        i = self._lookup(id)
        self._content_hashes[i] = content_hash
        self._signatures[i] = content_hash
        self._states[i] = CLEAN
        if self._kinds[i] == INPUT:
            self._keys[i] = content_hash

    def __repr__(self) -> str:
        return f"<PyGraph nodes={len(self._ids)} built={self._built}>"
