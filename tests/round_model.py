"""The update round in Python: a model of the native round, and the per-node driver.

``PyRounds`` offers the API of the native round (``Graph.begin_round``): the
same ``ready()`` / ``done()`` batches, sequential iteration, ``close()`` and
the same counters, built from ``mark_dirty``, ``commit_input``, ``check_node``,
``commit_node`` and ``skip_node``. The engine tests run against it as well as
against the native round, so both keep one behaviour, and the benchmarks use
it as the baseline "the same engine logic over the per-node protocol".

A ``Graph`` has no room for Python attributes, so the state the native round
keeps inside the graph (the open round, the nodes an abandoned round left
unsettled and which of them were seeds) lives in a ``PyRounds`` object, one
per graph:
``PyRounds(graph).begin_round(inputs, seeds)``.

``per_node_round`` is the loop a caller writes without a round object, the
twin the round tests compare with and the benchmarks time; ``prime`` gives
every node of a graph a value once.
"""

from __future__ import annotations

import heapq
import threading
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Self

from quorl import Graph

_MAX_HASH = 2**64 - 1


class PyRounds:
    """Begins rounds on one graph and remembers what abandoned rounds left behind."""

    def __init__(self, graph: Graph) -> None:
        self.graph = graph
        self.unsettled: set[str] = set()
        self.unsettled_seeds: set[str] = set()  # those of them that stay seeds
        self.open: PyRound | None = None

    def begin_round(
        self, inputs: Mapping[str, int] | Iterable[tuple[str, int]], seeds: Sequence[str] = ()
    ) -> PyRound:
        g = self.graph
        pairs = list(inputs.items()) if isinstance(inputs, Mapping) else list(inputs)
        hashes: dict[str, int] = {}
        for pair in pairs:
            node_id, content_hash = pair
            if not isinstance(node_id, str):
                raise TypeError(f"input ids must be str, not {type(node_id).__name__}")
            if not isinstance(content_hash, int) or isinstance(content_hash, bool):
                raise TypeError(f"hashes must be int, not {type(content_hash).__name__}")
            if not 0 <= content_hash <= _MAX_HASH:
                raise OverflowError("hash out of range 0..2**64-1")
            hashes[node_id] = content_hash
        if isinstance(seeds, str):
            raise TypeError("seeds must be a sequence of str, not a str")
        seeds = list(seeds)
        for seed in seeds:
            if not isinstance(seed, str):
                raise TypeError(f"seeds must be str, not {type(seed).__name__}")
        g.dirty_subgraph(list(hashes) + seeds)  # NotBuilt, then KeyError, changing nothing
        for node_id in hashes:
            if g.kind_of(node_id) != "input":
                raise ValueError(f"not an input: {node_id!r}")
        for seed in seeds:
            if g.kind_of(seed) == "input" and seed not in hashes:
                raise ValueError(f"input seed without a hash: {seed!r}")
        if self.open is not None and not self.open.finished and not self.open.closed:
            raise RuntimeError("another round is open on this graph")
        return PyRound(self, hashes, seeds)


class PyRound:
    def __init__(self, rounds: PyRounds, hashes: dict[str, int], seeds: list[str]) -> None:
        g = self.graph = rounds.graph
        self.rounds = rounds
        self.lock = threading.Lock()
        leftover = sorted(rounds.unsettled - hashes.keys() - set(seeds))
        order = g.mark_dirty(list(hashes) + seeds + leftover)
        self.forced = set(seeds) | rounds.unsettled_seeds
        rounds.unsettled, rounds.unsettled_seeds = set(), set()
        rounds.open = self
        for node_id, content_hash in hashes.items():
            g.commit_input(node_id, content_hash)
        self.closure = order
        self.position = {node_id: i for i, node_id in enumerate(order)}
        self.pending_deps: dict[str, int] = {}
        self.dependents: dict[str, list[str]] = {node_id: [] for node_id in order}
        self.handed: dict[str, int] = {}  # handed out, not yet reported: id -> signature
        self.reported: set[str] = set()
        self.settled_ids: set[str] = set(hashes)
        self.heap: list[tuple[int, str]] = []
        self.scheduled = len(order)
        self.settled = len(hashes)
        self.handed_out = self.committed = self.skipped = 0
        self.closed = False
        self.sequential = False
        for node_id in order:
            if node_id in hashes:
                continue
            waiting = 0
            for dep in g.deps_of(node_id):
                if dep in self.dependents and dep not in hashes:
                    self.dependents[dep].append(node_id)
                    waiting += 1
            self.pending_deps[node_id] = waiting
            if not waiting:
                heapq.heappush(self.heap, (self.position[node_id], node_id))

    @property
    def finished(self) -> bool:
        return not self.closed and not self.heap and not self.handed and self._all_settled()

    def _all_settled(self) -> bool:
        return len(self.settled_ids) + len(self.reported) == self.scheduled

    @property
    def outstanding(self) -> int:
        return len(self.handed)

    def _check_open(self) -> None:
        if self.closed:
            raise RuntimeError("the round is closed")

    def _settle(self, node_id: str) -> None:
        for dependant in self.dependents[node_id]:
            self.pending_deps[dependant] -= 1
            if not self.pending_deps[dependant]:
                heapq.heappush(self.heap, (self.position[dependant], dependant))

    def _next_handout(self) -> tuple[str, int] | None:
        g = self.graph
        while self.heap:
            _, node_id = heapq.heappop(self.heap)
            _kind, needs, signature = g.check_node(node_id)
            if needs or node_id in self.forced:
                g.set_computing(node_id)
                self.handed[node_id] = signature
                self.handed_out += 1
                return node_id, signature
            g.skip_node(node_id, signature)
            self.settled += 1
            self.settled_ids.add(node_id)
            self._settle(node_id)
        return None

    def ready(self) -> list[tuple[str, int]]:
        with self.lock:
            self._check_open()
            batch = []
            while (item := self._next_handout()) is not None:
                batch.append(item)
            return batch

    def __iter__(self) -> Iterator[tuple[str, int]]:
        return self

    def __next__(self) -> tuple[str, int]:
        with self.lock:
            self._check_open()
            if self.handed:
                raise RuntimeError("report the node handed out before asking for the next")
            item = self._next_handout()
            if item is None:
                raise StopIteration
            return item

    def done(self, node_id: str, changed: bool, epoch: int | None = None) -> None:
        with self.lock:
            self._check_open()
            signature = self.handed.get(node_id)
            if signature is None:
                raise ValueError(f"node was not handed out or was already reported: {node_id!r}")
            if epoch is not None:
                self.graph.restore_node(node_id, signature, epoch)  # refused: still out
            del self.handed[node_id]
            if epoch is not None:
                self.committed += changed
                self.skipped += not changed
            elif changed:
                self.graph.commit_node(node_id, signature)
                self.committed += 1
            else:
                self.graph.skip_node(node_id, signature)
                self.skipped += 1
            self.reported.add(node_id)
            self._settle(node_id)

    def close(self) -> None:
        with self.lock:
            if self.closed or self.finished:
                return
            self.closed = True
            g = self.graph
            left = [n for n in self.closure if n not in self.settled_ids and n not in self.reported]
            for node_id in left:
                g.set_dirty(node_id)
            self.rounds.unsettled.update(left)
            self.rounds.unsettled_seeds.update(self.forced.intersection(left))
            self.heap.clear()
            self.handed.clear()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if not getattr(self, "closed", True):
            self.close()


def prime(g: Graph) -> Graph:
    """A first round that gives every node a value: afterwards all are clean."""
    inputs = [n for n in g.node_ids() if g.kind_of(n) == "input"]
    others = [n for n in g.node_ids() if g.kind_of(n) != "input"]
    with g.begin_round(dict.fromkeys(inputs, 0), others) as r:
        for n, _ in r:
            r.done(n, True)
    return g


def epochs_to_restore(
    g: Graph, node_ids: Iterable[str], picks: Mapping[str, int] | None
) -> dict[str, int]:
    """Epochs for the nodes of `node_ids` in `picks` to take back, each chosen by
    its pick among the node's own and the epochs no node holds, each of those
    to one node at most: what a caller restoring from its memo could do. A
    node whose choice is 0 (never committed) is left out."""
    if not picks:
        return {}
    held = {g.epoch_of(n) for n in g.node_ids()}
    free = [e for e in range(1, max(held, default=0) + 1) if e not in held]
    chosen = {}
    for n in node_ids:
        if n in picks:
            options = [g.epoch_of(n), *free]
            epoch = options[picks[n] % len(options)]
            if epoch:
                chosen[n] = epoch
                if epoch in free:
                    free.remove(epoch)
    return chosen


def per_node_round(
    g: Graph,
    hashes: Mapping[str, int],
    decide: Mapping[str, bool],
    seeds: Sequence[str] = (),
    known: dict[str, int] | None = None,
    restores: Mapping[str, int] | None = None,
) -> list[tuple[str, int]]:
    """The per-node protocol in topological order: what a round would hand out
    (the seeds, and every node whose memo answer says so) is reported changed
    as `decide` says (unlisted: unchanged), or, for a node in `restores`,
    restored with the epoch ``epochs_to_restore`` picks for it when it is
    handed out. Returns what was handed out.

    An input reached through its deps but not given keeps the hash it was last
    committed with, which `known` holds (and is updated with `hashes`).
    """
    check_node, commit_node, skip_node = g.check_node, g.commit_node, g.skip_node
    commit_input, changed, forced = g.commit_input, decide.get, set(seeds)
    handed = []
    for n in g.mark_dirty([*hashes, *seeds]):
        content_hash = hashes.get(n)
        if content_hash is not None:
            commit_input(n, content_hash)
            continue
        kind, needs, sig = check_node(n)
        if kind == "input":
            commit_input(n, known.get(n, 0) if known else 0)
        elif needs or n in forced:
            handed.append((n, sig))
            epoch = epochs_to_restore(g, [n], restores).get(n)
            if epoch is not None:
                g.restore_node(n, sig, epoch)
            else:
                (commit_node if changed(n, False) else skip_node)(n, sig)
        else:
            skip_node(n, sig)
    if known is not None:
        known.update(hashes)
    return handed
