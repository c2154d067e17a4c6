"""One update round of an engine: what each node handed out comes to.

The kernel hands out, batch after batch, the nodes whose deps' keys changed.
A ``Drive`` is made per round and owns every decision about them: the memo
recall and remember, the epoch rule, failures, the why map, progress calls,
the outcome of each node, and the repair of a commit an interrupt cut short.
The loops over it (``drive_here`` and ``drive_on``) decide only
where a node function runs.

Outcomes, one per node of the round's closure that the round settled or
failed (nodes left dirty below a failure have none):

- ``INPUT``: an input whose new value hash was committed;
- ``SETTLED``: no dep presented a new key, so the kernel settled the node by
  its signature without handing it out;
- ``RECOMPUTED``: its function ran;
- ``MEMO_HIT``: its value came from the memo under its signature;
- ``FAILED``: its function, its cut-off rule or the executor raised.

A recomputed or memo-served node whose value equalled the current one kept
its epoch: its outcome ends in ``CUT_OFF`` ("recomputed, cut off").
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping, Sequence
from concurrent.futures import BrokenExecutor, Executor, Future
from itertools import chain
from queue import Empty, SimpleQueue
from typing import Any, Final

from quorl._quorl import Graph
from quorl._state import Node

INPUT: Final = "input"
SETTLED: Final = "settled"
RECOMPUTED: Final = "recomputed"
MEMO_HIT: Final = "memo hit"
FAILED: Final = "failed"
CUT_OFF: Final = ", cut off"  # after RECOMPUTED or MEMO_HIT

# A failed node, its error, and what raised it ("function", "cutoff" or "executor").
Failure = tuple[str, Exception, str]
Progress = Callable[[int, int], object]

_MISSING: Final[Any] = object()


class Drive:
    """The bookkeeping of one round over ``round_``, a kernel round or a
    stand-in with its API, writing values into ``values``."""

    __slots__ = (
        "broken",
        "changed",
        "cut_off",
        "failures",
        "graph",
        "hits",
        "nodes",
        "outcomes",
        "progress",
        "recomputed",
        "round",
        "values",
        "why",
    )

    def __init__(
        self,
        graph: Graph,
        round_: Any,
        nodes: dict[str, Node],
        values: dict[str, Any],
        explain: bool,
        progress: Progress | None,
    ) -> None:
        self.graph = graph
        self.round = round_
        self.nodes = nodes
        self.values = values
        self.progress = progress
        self.recomputed = self.hits = self.cut_off = 0
        self.failures: list[Failure] = []
        # With explain: the nodes whose value changed so far, what each node
        # handed out was computed for, and what each one came to.
        self.changed: set[str] | None = set() if explain else None
        self.why: dict[str, tuple[str, ...]] | None = {} if explain else None
        self.outcomes: dict[str, str] | None = {} if explain else None
        self.broken = False  # the executor broke: it runs nothing more this round

    def explain_inputs(self, inputs: Iterable[str], changed: Iterable[str]) -> None:
        """With explain: the inputs the round commits, and those whose value changed."""
        if self.outcomes is not None and self.changed is not None:
            self.outcomes.update(dict.fromkeys(inputs, INPUT))
            self.changed.update(changed)

    def take(
        self,
        batch: Iterable[tuple[str, int]],
        start: Callable[[str, int, Node], bool] | None = None,
        results: Mapping[str, Any] | None = None,
    ) -> None:
        """Settle the nodes of ``batch`` (handed out, or with ``results``
        computed elsewhere): from their memo, or with their function's value,
        computed here or, with ``start``, started elsewhere (``start`` returns
        False to stop taking: nothing more can run).

        One loop for every node so that a node costs no Python call of its
        own beyond its function: this is the engine's per-node overhead.
        """
        nodes = self.nodes
        values = self.values
        why = self.why
        changed = self.changed
        outcomes = self.outcomes
        done = self.round.done
        recomputed = hits = cut_off = 0
        try:
            for node_id, signature in batch:
                spec = nodes[node_id]
                if results is not None:
                    value = results[node_id]
                    hit = False
                else:
                    if why is not None and changed is not None:
                        why[node_id] = tuple(dict.fromkeys(d for d in spec.deps if d in changed))
                    value = spec.memo.pop(signature, _MISSING)
                    hit = value is not _MISSING
                    if hit:
                        spec.memo[signature] = value  # now the most recently used
                    elif start is not None:
                        if start(node_id, signature, spec):
                            continue
                        break
                    else:
                        try:
                            value = spec.fn(*spec.args(values))  # type: ignore[misc]
                        except Exception as error:
                            self.fail(node_id, error, "function")
                            continue
                if hit:
                    hits += 1
                else:
                    recomputed += 1
                    if spec.memo_size:  # the least recently used entry goes
                        memo = spec.memo
                        memo[signature] = value
                        if len(memo) > spec.memo_size:
                            del memo[next(iter(memo))]
                # The epoch rule: a new epoch exactly when the value changes,
                # so every epoch stands for one value and every memo signature
                # for one set of dep values.
                old = values.get(node_id, _MISSING)
                try:
                    same = old is not _MISSING and bool(spec.same(old, value))
                except Exception as error:
                    self.fail(node_id, error, "cutoff")
                    continue
                if same:
                    cut_off += 1
                    done(node_id, False)
                    if outcomes is not None:
                        outcomes[node_id] = (MEMO_HIT if hit else RECOMPUTED) + CUT_OFF
                    continue
                try:
                    done(node_id, True)
                    values[node_id] = value
                except BaseException:
                    # Interrupted between the report and the store: keep the
                    # value in step with the epoch the kernel holds for it.
                    if self.graph.state_of(node_id) == "clean":
                        values[node_id] = value
                    raise
                if outcomes is not None and changed is not None:
                    outcomes[node_id] = MEMO_HIT if hit else RECOMPUTED
                    changed.add(node_id)
        finally:
            self.recomputed += recomputed
            self.hits += hits
            self.cut_off += cut_off

    def fail(self, node_id: str, error: Exception, raiser: str) -> None:
        self.failures.append((node_id, error, raiser))
        if self.outcomes is not None:
            self.outcomes[node_id] = FAILED

    def report_progress(self) -> None:
        """Call the progress callback (the caller checks there is one)."""
        self.progress(settled_count(self.round), self.round.scheduled)  # type: ignore[misc]

    def outcomes_of(self, closure: Sequence[str]) -> dict[str, str]:
        """Every node of the round's ``closure`` (in its order) with its
        outcome: those the kernel settled are the ones never handed out
        that ended clean."""
        recorded = self.outcomes or {}
        failed = bool(self.failures)
        state_of = self.graph.state_of
        return {
            node_id: recorded.get(node_id, SETTLED)
            for node_id in closure
            if node_id in recorded or not failed or state_of(node_id) == "clean"
        }


def settled_count(round_: Any) -> int:
    """How many nodes of its closure ``round_`` has settled so far."""
    return int(round_.settled + round_.committed + round_.skipped)


def drive_here(drive: Drive) -> None:
    """Compute the handed-out nodes in this thread, batch after batch."""
    ready = drive.round.ready
    if drive.progress is None:
        # The batches as one stream: the next is asked for once the last is
        # reported, as the round requires, and the stream is set up once.
        drive.take(chain.from_iterable(iter(ready, [])))
        return
    batch = ready()
    while batch:
        drive.take(batch)
        drive.report_progress()
        batch = ready()


def drive_on(drive: Drive, executor: Executor) -> None:
    """Submit every ready node to ``executor``; settle each as it completes; repeat."""
    submit = executor.submit
    values = drive.values
    ready = drive.round.ready
    running: dict[Future[Any], tuple[str, int]] = {}
    completed: SimpleQueue[Future[Any]] = SimpleQueue()

    def start(node_id: str, signature: int, spec: Node) -> bool:
        try:
            future = submit(spec.fn, *spec.args(values))  # type: ignore[arg-type]
        except BrokenExecutor as error:
            drive.broken = True
            drive.fail(node_id, error, "executor")
            return False
        except Exception as error:  # a shut-down executor, an unpicklable value
            drive.fail(node_id, error, "function")
            return True
        running[future] = (node_id, signature)
        future.add_done_callback(completed.put)
        return True

    try:
        while True:
            # A broken executor runs nothing more: what is not handed out
            # stays dirty, and the next round computes it.
            served = True
            while served and not drive.broken:  # memo hits may make more nodes ready
                hits = drive.hits
                drive.take(ready(), start)
                served = drive.hits != hits
            if not running:
                break
            # A queue fed by the futures' callbacks, not wait(): that one
            # walks every running future on each call.
            finished = [completed.get()]
            try:
                while True:
                    finished.append(completed.get_nowait())
            except Empty:
                pass
            succeeded: list[tuple[str, int]] = []
            computed: dict[str, Any] = {}
            for future in finished:
                node_id, signature = running.pop(future)
                raised = future.exception()
                if raised is None:
                    succeeded.append((node_id, signature))
                    computed[node_id] = future.result()
                    continue
                if not isinstance(raised, Exception):
                    raise raised
                # Every node running on a pool whose worker died gets its
                # error: which of them killed it cannot be told. A function's
                # own BrokenExecutor leaves the pool working.
                broken = isinstance(raised, BrokenExecutor) and bool(
                    getattr(executor, "_broken", True)
                )
                drive.broken |= broken
                drive.fail(node_id, raised, "executor" if broken else "function")
            drive.take(succeeded, results=computed)
            if drive.progress is not None:
                drive.report_progress()
    finally:
        for future in running:  # interrupted: what has not started never will
            future.cancel()
