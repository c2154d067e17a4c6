"""The reactive engine: values, node functions and memo over the kernel's rounds.

    from quorl import Engine

    engine = Engine()
    engine.input("price", 100)
    engine.input("rate", 20)
    engine.node("tax", lambda price, rate: price * rate // 100, deps=["price", "rate"])

    @engine.node("label", deps=["tax"], kind="view")
    def label(tax):
        return f"tax due: {tax}"

    engine.set({})                 # the first round computes everything
    engine.set({"price": 120})     # one round: what the change reaches, in order
    engine["label"]                # 'tax due: 24'

The kernel hands out, round by round, the nodes whose deps' keys changed; the
engine computes them (or serves them from their memo) and reports back whether
each value changed. That report is what keeps the memo correct: a node's epoch
advances exactly when its value changes, so every epoch stands for one value
and every memo signature for one set of dep values.
"""

from __future__ import annotations

import os
import struct
import threading
import time
import weakref
from collections.abc import Callable, Iterable, Mapping, Sequence
from concurrent.futures import Executor
from dataclasses import dataclass, field
from math import copysign
from operator import is_
from typing import Any, Final, TypeVar, overload

from quorl._drive import Drive, Progress, drive_here, drive_on, settled_count
from quorl._hashing import stable_hash
from quorl._quorl import Graph, _Round
from quorl._state import Node, State

__all__ = ["Engine", "RoundReport", "stable_hash"]

F = TypeVar("F", bound=Callable[..., Any])
Cutoff = str | Callable[[Any, Any], object]
_Ids = set[str]  # Engine.set hides the builtin inside the class

DEFAULT_MEMO_SIZE: Final = 8
_MISSING: Final[Any] = object()
_EXECUTORS: Final = ("threads", "process")  # the pools the engine can make itself
# What raised a failed node's error (the raisers of quorl._drive's failures).
_RAISED_BY: Final = {
    "function": "raised by the function of quorl node {!r}",
    "cutoff": "raised by the cut-off rule of quorl node {!r}",
    "executor": "raised by the executor, which broke while computing quorl node {!r}",
}


@dataclass(frozen=True)
class RoundReport:
    """What one round did.

    scheduled: nodes the round reached (changed inputs, seeds, all they reach):
    ``inputs + recomputed + memo_hits + unchanged + len(failed) + left_dirty``;
    inputs: inputs committed with their new hashes;
    recomputed: node functions called that returned a value;
    memo_hits: nodes served from their memo;
    unchanged: nodes the kernel settled, none of their deps' keys having changed;
    cut_off: computed or memo-served nodes whose value equalled the current one;
    failed: nodes whose function raised; left_dirty: nodes below them, not computed;
    seconds: wall time of the round;
    why: with ``explain=True``, each handed-out node's deps that changed this round.
    """

    scheduled: int = 0
    """Nodes in the round: the changed inputs, the seeds and all they reach."""
    inputs: int = 0
    """Inputs committed with their new hashes."""
    recomputed: int = 0
    """Node functions called that returned a value."""
    memo_hits: int = 0
    """Nodes served from their memo instead of a call."""
    unchanged: int = 0
    """Nodes settled by the kernel: none of their deps' keys changed."""
    cut_off: int = 0
    """Recomputed or memo-served nodes whose value equalled the current one;
    their dependants see no change."""
    failed: tuple[str, ...] = ()
    """Nodes whose function raised (the first one's exception reaches the caller)."""
    left_dirty: int = 0
    """Nodes below a failed one, not computed; the next round retries them."""
    seconds: float = 0.0
    """Wall time of the round."""
    why: Mapping[str, tuple[str, ...]] | None = field(default=None, repr=False)
    """With ``explain=True``: for each node handed out to be computed, the deps
    whose value changed in this round. An empty tuple means the node ran for
    its own sake: it was new, refreshed, given a new function, or left over by
    a failed round."""
    outcomes: Mapping[str, str] | None = field(default=None, repr=False)
    """With ``explain=True``: each node of the round, in topological order, with
    what it came to: "input", "settled" (by its signature, in the kernel),
    "recomputed", "memo hit" or "failed"; a recomputed or memo-served node
    whose value equalled the current one reads "recomputed, cut off" or "memo
    hit, cut off". Nodes left dirty below a failure are not in it."""


def _tqdm_progress() -> tuple[Progress, Callable[[], None]]:
    try:
        from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]
    except ImportError as exc:
        raise ModuleNotFoundError(
            "progress=True draws a bar with tqdm, which is not installed "
            "(pip install tqdm), or pass a callback: progress(done, scheduled)"
        ) from exc
    bar = tqdm(total=0, unit="node", leave=False)

    def update(done: int, scheduled: int) -> None:
        bar.total = scheduled
        bar.n = done
        bar.refresh()

    return update, bar.close


class Engine:
    """A reactive computation: input values, node functions over their deps,
    and rounds that recompute exactly what a change reaches.

    ``executor``: any ``concurrent.futures.Executor``; the nodes of a round
    that can run at the same time are submitted to it together. With a
    ``ProcessPoolExecutor`` node functions, their arguments and their values
    must be picklable (functions defined at module level). Without one, nodes
    run in the calling thread. The name "threads" or "process" makes the
    engine create that pool itself, with ``workers`` workers (the pool's
    default when None), and own it: ``close()`` shuts it down, and when a
    worker process dies the next round runs on a new pool. An executor the
    caller gives stays the caller's: the engine never shuts it down, and
    once it is broken a round needs another one (``Engine.executor = ...``).
    ``memo_size``: values kept per node, keyed by the signature of their deps;
    the least recently used goes first; 0 keeps none.
    ``hasher``: the 64-bit hash of input values, for types ``stable_hash``
    refuses; it must be the same in every process, and equal values must get
    equal hashes.
    """

    def __init__(
        self,
        *,
        executor: Executor | str | None = None,
        memo_size: int = DEFAULT_MEMO_SIZE,
        hasher: Callable[[Any], int] | None = None,
        workers: int | None = None,
    ) -> None:
        _check_executor(executor)
        if workers is not None:
            if not isinstance(workers, int) or isinstance(workers, bool):
                raise TypeError(f"workers must be an int, not {type(workers).__name__}")
            if workers < 1:
                raise ValueError(f"workers must be at least 1, not {workers}")
            if not isinstance(executor, str):
                raise ValueError('workers sizes a pool the engine makes: executor="process"')
        _check_memo_size(memo_size)
        self._workers = workers
        self._executor: Executor | None = None
        self._executor_name: str | None = None  # set while the engine owns its executor
        self._shutdown: weakref.finalize[Any, Any] | None = None
        self._broken = False  # the executor broke: the next round needs another
        self._use_executor(executor)
        self._memo_size = memo_size
        self._hasher = stable_hash if hasher is None else hasher
        self._graph = Graph()
        # The kernel's rounds; a stand-in with the same API can take its place.
        self._begin_round: Callable[..., _Round] = self._graph.begin_round
        # Plain data, so it can be saved and restored with the graph: the
        # nodes with their memos, and the state (values, hashes, work left).
        self._nodes: dict[str, Node] = {}
        self._state = State()
        self._lock = threading.Lock()  # one round or declaration at a time
        self.last_report: RoundReport | None = None
        """The report of the last round, also when it raised."""

    # ------------------------------------------------------------------ declaring

    def input(self, node_id: str, value: Any) -> None:
        """Declare an input node with its first value."""
        with self._exclusive("declare a node"):
            self._unpack()
            content_hash = self._hash(node_id, value)
            self._graph.add_node(node_id, "input")
            self._nodes[node_id] = Node("input", None, (), 0, _exact)
            state = self._state
            state.values[node_id] = value
            state.hashes[node_id] = content_hash
            state.new_inputs[node_id] = content_hash

    @overload
    def node(
        self,
        node_id: str,
        fn: None = None,
        deps: Sequence[str] = (),
        kind: str = "reactive",
        *,
        memo_size: int | None = None,
        cutoff: Cutoff = "exact",
    ) -> Callable[[F], F]: ...
    @overload
    def node(
        self,
        node_id: str,
        fn: F,
        deps: Sequence[str] = (),
        kind: str = "reactive",
        *,
        memo_size: int | None = None,
        cutoff: Cutoff = "exact",
    ) -> F: ...
    def node(
        self,
        node_id: str,
        fn: Callable[..., Any] | None = None,
        deps: Sequence[str] = (),
        kind: str = "reactive",
        *,
        memo_size: int | None = None,
        cutoff: Cutoff = "exact",
    ) -> Any:
        """Declare a computed node: ``fn(*values of deps, in order)``.

        ``kind`` is "source" (no deps; read again by ``refresh``), "reactive"
        or "view". Deps must be declared first. Without ``fn`` this returns a
        decorator. Errors are the kernel's: KeyError for an unknown dep,
        ValueError for a registered id or an invalid kind; nothing is declared.
        ``cutoff`` decides when a new value is the current one, which the node
        keeps with its epoch, so its dependants are not recomputed: "exact"
        (same type and same contents, so nothing computed from it could
        differ; objects of other types only when they are the same object),
        "equal" (same type and ``==``), "identity" (``is``), "never", or a
        callable ``(old, new)`` whose truth means unchanged; when it raises,
        the round fails for the node as when its function raises.
        """
        if fn is None:
            _cutoff_rule(cutoff)  # a bad rule is refused here, not at decoration

            def decorate(function: F) -> F:
                self.node(node_id, function, deps, kind, memo_size=memo_size, cutoff=cutoff)
                return function

            return decorate
        with self._exclusive("declare a node"):
            if not callable(fn):
                raise TypeError(f"fn must be callable, not {type(fn).__name__}")
            if isinstance(deps, str) or not isinstance(deps, Sequence):
                raise TypeError("deps must be a sequence of node ids (a str itself is refused)")
            deps = tuple(deps)
            if kind == "input":
                raise ValueError("declare inputs with Engine.input(node_id, value)")
            if kind == "source" and deps:
                raise ValueError(f"a source node has no deps: {node_id!r}")
            if memo_size is not None:
                _check_memo_size(memo_size)
            same = _cutoff_rule(cutoff)
            graph = self._graph
            for dep in deps:
                graph.kind_of(dep)  # the kernel's KeyError for an unknown dep or a bad type
            self._check_picklable(node_id, fn)
            # Every check that can fail has run: the deps exist and the node is
            # new, so set_deps cannot fail (nor form a cycle) once it is added.
            graph.add_node(node_id, kind)
            if deps:
                graph.set_deps(node_id, list(deps))
            size = self._memo_size if memo_size is None else memo_size
            self._nodes[node_id] = Node(kind, fn, deps, size, same)
            self._state.seeds[node_id] = None
            return fn

    def replace(self, node_id: str, fn: Callable[..., Any]) -> None:
        """Give a computed node a new function; the next round recomputes it."""
        with self._exclusive("replace a function"):
            spec = self._spec(node_id)
            if spec.kind == "input":
                raise ValueError(f"an input has no function: {node_id!r}")
            if not callable(fn):
                raise TypeError(f"fn must be callable, not {type(fn).__name__}")
            self._check_picklable(node_id, fn)
            self._unpack()
            spec.fn = fn
            spec.memo.clear()  # its entries are the old function's values
            self._state.seeds[node_id] = None

    # ------------------------------------------------------------------ updating

    def set(
        self,
        changes: Mapping[str, Any] | None = None,
        *,
        explain: bool = False,
        progress: Progress | bool | None = None,
    ) -> RoundReport:
        """Give inputs new values and run one round; return its report.

        The round also computes every node declared, replaced or left
        unfinished since the last round. When a node function raises, the
        nodes that do not depend on it are still computed, then its exception
        is raised with a note naming the node; it and its dependants stay
        dirty and the next round retries them.
        ``explain=True`` fills the report's ``why``. ``progress`` is a callback
        ``progress(settled, scheduled)``, or True for a tqdm bar.
        """
        with self._exclusive("run a round"):
            if changes is None:
                changes = {}
            if not isinstance(changes, Mapping):
                raise TypeError(f"changes must be a mapping, not {type(changes).__name__}")
            values = dict(changes)
            hashes = {}
            for node_id, value in values.items():
                spec = self._nodes.get(node_id) if isinstance(node_id, str) else None
                if spec is not None and spec.kind != "input":
                    raise ValueError(f"not an input node: {node_id!r}")
                if spec is None:
                    self._graph.kind_of(node_id)  # the kernel's KeyError or TypeError
                hashes[node_id] = self._hash(node_id, value)
            return self._round(values, hashes, (), explain, progress)

    def refresh(
        self,
        ids: Iterable[str] = (),
        *,
        explain: bool = False,
        progress: Progress | bool | None = None,
    ) -> RoundReport:
        """Recompute ``ids`` (sources to read again, say) and what they change.

        Their memos are dropped: a refreshed function is called, not served.
        With no ids, this runs the round ``set()`` would.
        """
        with self._exclusive("run a round"):
            if isinstance(ids, str):
                raise TypeError("ids must be an iterable of node ids (a str itself is refused)")
            seeds = list(ids)
            for node_id in seeds:
                self._spec(node_id)
            return self._round({}, {}, seeds, explain, progress)

    # ------------------------------------------------------------------ reading

    def __getitem__(self, node_id: str) -> Any:
        """The node's value; KeyError for an unknown node or one not computed yet."""
        state = self._state
        if state.saved is not None:
            self._unpack()
        try:
            return state.values[node_id]
        except KeyError:
            self._spec(node_id)
            raise KeyError(f"no value yet for node {node_id!r}: run set() first") from None
        except TypeError:
            self._graph.kind_of(node_id)  # the kernel's message for a non-str id
            raise

    def get(self, node_id: str, default: Any = None) -> Any:
        """The node's value, or ``default`` when there is none."""
        state = self._state
        if state.saved is not None:
            self._unpack()
        try:
            return state.values.get(node_id, default)
        except TypeError:
            return default

    def __contains__(self, node_id: object) -> bool:
        """Whether a node of this id is declared."""
        return isinstance(node_id, str) and node_id in self._nodes

    def __len__(self) -> int:
        """The number of declared nodes."""
        return len(self._nodes)

    def __repr__(self) -> str:
        executor = "" if self._executor is None else f" executor={type(self._executor).__name__}"
        return f"<quorl.Engine nodes={len(self._nodes)}{executor}>"

    def deps_of(self, node_id: str) -> tuple[str, ...]:
        """The node's deps, in the order its function takes them."""
        return self._spec(node_id).deps

    def kind_of(self, node_id: str) -> str:
        """The node's kind: input, source, reactive or view."""
        return self._spec(node_id).kind

    def dirty(self) -> list[str]:
        """Nodes whose value waits for the next round, topologically ordered."""
        self._build()
        return self._graph.dirty_nodes()

    @property
    def executor(self) -> Executor | None:
        """The executor the nodes of a round run on; None runs them in the calling thread.

        Setting it takes the values ``Engine(executor=...)`` takes, between
        rounds: a pool the engine made is shut down when replaced, one the
        caller gave is left as it is. It is how a broken executor the
        caller gave is replaced.
        """
        return self._executor

    @executor.setter
    def executor(self, executor: Executor | str | None) -> None:
        with self._exclusive("change the executor"):
            _check_executor(executor)
            if executor is self._executor:
                return  # not a change: a pool the engine made stays its own
            for node_id, spec in self._nodes.items():
                if spec.fn is not None:
                    self._check_picklable(node_id, spec.fn, executor)
            self._use_executor(executor)

    def close(self) -> None:
        """Shut down the pool the engine made (``executor="process"`` or
        "threads"), waiting for its workers; the next round runs in this
        thread. An executor the caller gave is left to the caller."""
        with self._exclusive("close the engine"):
            self._use_executor(None)

    @property
    def graph(self) -> Graph:
        """The kernel graph, for queries (``downstream``, ``topo_order``...).

        Changing it directly (nodes, deps, states) puts it out of step with
        the engine's values; declare through the engine instead.
        """
        return self._graph

    # ------------------------------------------------------------------ saving

    def save(
        self,
        path: str | os.PathLike[str],
        *,
        allow_pickle: bool = True,
        key: bytes | None = None,
    ) -> None:
        """Write the engine's state to ``path``, crash-safely: the graph's
        bookkeeping, node values and memo entries, and the work left for the
        next round. Functions are not saved: see ``Engine.load``.

        Values and memo entries of the plain types (None, bool, int, float,
        complex, str, bytes, bytearray, and tuples, lists, dicts, sets and
        frozensets of them) are written in a format that cannot run code on
        load. If any is of another type, all of them are pickled, and loading
        the file then needs ``allow_pickle=True``; with ``allow_pickle=False``
        such values raise TypeError instead. With ``key`` (bytes) the file
        carries an HMAC-SHA256 tag that ``load`` checks with the same key."""
        from quorl import _persist

        with self._exclusive("save"):
            self._unpack()
            _persist.save(path, self._graph, self._nodes, self._state, allow_pickle, key)

    @classmethod
    def load(
        cls,
        path: str | os.PathLike[str],
        declare: Callable[[Engine], object],
        *,
        changed: Iterable[str] = (),
        inputs: str = "declared",
        executor: Executor | str | None = None,
        memo_size: int = DEFAULT_MEMO_SIZE,
        hasher: Callable[[Any], int] | None = None,
        workers: int | None = None,
        allow_pickle: bool = False,
        key: bytes | None = None,
    ) -> Engine:
        """A warm engine from a file written by ``save``.

        ``declare(engine)`` declares the graph on a new engine, as the program
        that saved it did: the same ids, kinds and deps, with today's
        functions and input values. Inputs whose declared value differs from
        the saved one are changes for the next round; with
        ``inputs="saved"`` the saved values stay and the declared ones are
        ignored (to resume where the saved engine stopped). ``changed`` names
        nodes whose function changed, recomputed next round. Its values and memo
        entries are decoded on first use. ``executor``, ``workers``,
        ``memo_size`` and ``hasher`` are those of ``Engine()``.
        ValueError for a file of another format, a damaged one or one saved for a
        different graph; nothing is loaded.

        Trust: a plain load never runs code from the file; a damaged or
        crafted file gets ValueError (at load, or for its values at their
        first use). A file whose values were pickled (values of types other
        than the plain ones, or any file of format version 2) is refused with
        ValueError before anything is unpickled, unless ``allow_pickle=True``:
        unpickling can run any code, so pass it only for files that nobody
        you do not trust could have written. ``key`` (bytes) checks the tag of
        a file saved with that key before anything is decoded; a wrong key, a
        changed byte or a missing tag is ValueError. A checked tag says who
        wrote the file, not that pickled content is harmless: it still needs
        ``allow_pickle``.
        """
        from quorl import _persist

        engine = cls(executor=executor, memo_size=memo_size, hasher=hasher, workers=workers)
        saved = _persist.read(path, changed, inputs, allow_pickle, key)
        declare(engine)
        if engine.last_report is not None:
            raise ValueError("declare(engine) must only declare nodes, but it ran a round")
        graph, state = _persist.restore(
            saved, engine._graph, engine._nodes, engine._state, engine._spec
        )
        # Everything is checked: only now does the engine take what the file holds.
        engine._graph = graph
        engine._begin_round = graph.begin_round
        engine._state = state
        if saved.changed:
            engine._unpack()  # the changed nodes' memo entries are dropped now
        for node_id in saved.changed:
            engine._nodes[node_id].memo.clear()  # the old function's values
            state.seeds[node_id] = None
        return engine

    # ------------------------------------------------------------------ internals

    def _spec(self, node_id: str) -> Node:
        spec = self._nodes.get(node_id) if isinstance(node_id, str) else None
        if spec is None:
            self._graph.kind_of(node_id)  # the kernel's KeyError (or TypeError)
            raise KeyError(node_id)  # unreachable: every node is registered in both
        return spec

    def _hash(self, node_id: str, value: Any) -> int:
        content_hash = self._hasher(value)
        if not isinstance(content_hash, int) or not 0 <= content_hash < 1 << 64:
            raise ValueError(
                f"the hasher must return an int in 0..2**64-1, not {content_hash!r} "
                f"(for input {node_id!r})"
            )
        return content_hash

    def _check_picklable(
        self, node_id: str, fn: Callable[..., Any], executor: Executor | str | None = _MISSING
    ) -> None:
        from concurrent.futures import ProcessPoolExecutor

        if executor is _MISSING:
            executor = self._executor
        if not isinstance(executor, ProcessPoolExecutor) and executor != "process":
            return
        import pickle

        try:
            pickle.dumps(fn)
        except Exception as exc:
            raise TypeError(
                f"the function of node {node_id!r} cannot be pickled, and a "
                "ProcessPoolExecutor sends node functions to other processes: "
                f"define it at module level ({exc})"
            ) from exc

    def _use_executor(self, executor: Executor | str | None) -> None:
        """Run rounds on ``executor`` (checked), shutting down the pool the engine owned."""
        if self._shutdown is not None:
            self._shutdown()  # once only: a finalize forgets its call after running it
        self._shutdown = None
        self._executor_name = None
        self._broken = False
        if isinstance(executor, str):
            from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

            self._executor_name = executor
            make = ProcessPoolExecutor if executor == "process" else ThreadPoolExecutor
            executor = make(self._workers)
            # An engine dropped without close() still shuts its pool down.
            self._shutdown = weakref.finalize(self, executor.shutdown)
        self._executor = executor

    def _unpack(self) -> None:
        """Decode what a load left encoded, before anything reads or changes it.

        Every write to the values and to a memo comes after this call, so a
        reader unpacking in another thread cannot lose it.
        """
        if self._state.saved is not None:
            from quorl import _persist

            _persist.unpack(self._state, self._nodes)

    def _exclusive(self, what: str) -> _Exclusive:
        return _Exclusive(self._lock, what)

    def _build(self) -> None:
        if not self._graph.is_built():
            self._graph.build()  # deps always exist beforehand: no cycle can form

    def _round(
        self,
        values: dict[str, Any],
        hashes: dict[str, int],
        seeds: Sequence[str],
        explain: bool,
        progress: Progress | bool | None,
    ) -> RoundReport:
        start = time.perf_counter()
        if self._broken:
            if self._executor_name is None:
                raise RuntimeError(
                    "the executor broke in an earlier round (a worker process died): "
                    "give the engine a working one with Engine.executor = ..."
                )
            self._use_executor(self._executor_name)  # a new pool; the broken one is shut down
        self._build()
        state = self._state
        inputs = {**state.new_inputs, **hashes}
        for node_id in seeds:
            if node_id in state.hashes and node_id not in inputs:
                inputs[node_id] = state.hashes[node_id]  # an input seed needs its hash
        all_seeds = list(state.seeds)
        all_seeds.extend(
            dict.fromkeys(s for s in seeds if s not in state.seeds and s not in inputs)
        )
        changed_inputs: list[str] = []
        closure: list[str] = []
        if explain:
            changed_inputs = [i for i, h in inputs.items() if state.hashes.get(i) != h]
            changed_inputs.extend(state.new_inputs)
            # The nodes the kernel settles are never handed out: the closure
            # the round walks (nodes an abandoned round left dirty join it)
            # tells them apart from those the round records.
            graph = self._graph
            closure = graph.dirty_subgraph([*inputs, *all_seeds, *graph.dirty_nodes()])
        if values or seeds:
            self._unpack()  # new values and dropped memos must not be overwritten by the file's
        close_progress = None
        if progress is True:  # before the round begins: tqdm may be missing
            progress, close_progress = _tqdm_progress()
        elif progress is False:
            progress = None
        try:
            round_ = self._begin_round(inputs, all_seeds)  # raises with nothing changed
        except BaseException:
            if close_progress is not None:
                close_progress()
            raise
        state.values.update(values)
        state.hashes.update(hashes)
        state.new_inputs.clear()
        state.seeds.clear()
        for node_id in seeds:
            # Refreshing says the function may answer differently now: what it
            # answered before is no memo to serve from.
            self._nodes[node_id].memo.clear()
        drive: Drive | None = None
        try:
            with round_:
                if not round_.finished:
                    self._unpack()  # something is computed: its deps' values and its memo
                drive = Drive(self._graph, round_, self._nodes, state.values, explain, progress)
                if explain:
                    drive.explain_inputs(inputs, changed_inputs)
                try:
                    if self._executor is None:
                        drive_here(drive)
                    else:
                        drive_on(drive, self._executor)
                finally:
                    self._broken |= drive.broken
                scheduled = round_.scheduled
                if progress is not None and not drive.failures:
                    progress(scheduled, scheduled)
        finally:
            if close_progress is not None:
                close_progress()
        assert drive is not None
        failures = drive.failures
        # An abandoned round leaves every node it did not settle dirty (its
        # seeds still seeds, for the next round); the failed ones among them
        # are counted apart.
        left_dirty = round_.scheduled - settled_count(round_) - len(failures) if failures else 0
        recomputed, hits = drive.recomputed, drive.hits
        report = RoundReport(
            scheduled=scheduled,
            inputs=len(inputs),
            recomputed=recomputed,
            memo_hits=hits,
            unchanged=scheduled - len(inputs) - recomputed - hits - len(failures) - left_dirty,
            cut_off=drive.cut_off,
            failed=tuple(node_id for node_id, _, _ in failures),
            left_dirty=left_dirty,
            seconds=time.perf_counter() - start,
            why=drive.why,
            outcomes=drive.outcomes_of(closure) if explain else None,
        )
        self.last_report = report
        if failures:
            node_id, error, raiser = failures[0]
            note = _RAISED_BY[raiser].format(node_id)
            if len(failures) > 1:
                others = ", ".join(repr(n) for n, _, _ in failures[1:])
                note += f" ({len(failures) - 1} other nodes failed too: {others})"
            error.add_note(note)
            raise error
        return report


class _Exclusive:
    """Refuses a second round or declaration while one runs, instead of
    deadlocking: a node function that calls back into its engine, or a
    second thread, gets RuntimeError."""

    __slots__ = ("lock", "what")

    def __init__(self, lock: threading.Lock, what: str) -> None:
        self.lock = lock
        self.what = what

    def __enter__(self) -> None:
        if not self.lock.acquire(blocking=False):
            raise RuntimeError(
                f"cannot {self.what}: this engine is running a round or a declaration"
            )

    def __exit__(self, *exc: object) -> None:
        self.lock.release()


def _check_memo_size(memo_size: int) -> None:
    if not isinstance(memo_size, int) or isinstance(memo_size, bool):
        raise TypeError(f"memo_size must be an int, not {type(memo_size).__name__}")
    if memo_size < 0:
        raise ValueError(f"memo_size must be at least 0, not {memo_size}")


def _check_executor(executor: object) -> None:
    if isinstance(executor, str):
        if executor not in _EXECUTORS:
            raise ValueError(
                f"executor names a pool the engine makes: {' or '.join(map(repr, _EXECUTORS))}, "
                f"not {executor!r}"
            )
    elif executor is not None and not isinstance(executor, Executor):
        raise TypeError(
            f"executor must be a concurrent.futures.Executor, not {type(executor).__name__}"
        )


def _cutoff_rule(cutoff: Cutoff) -> Callable[[Any, Any], object]:
    if isinstance(cutoff, str):
        try:
            return _CUTOFFS[cutoff]
        except KeyError:
            pass
        raise ValueError(
            f"cutoff must be one of {', '.join(map(repr, _CUTOFFS))} or a callable "
            f"(old, new) -> bool, not {cutoff!r}"
        )
    if not callable(cutoff):
        raise TypeError(
            f"cutoff must be a str or a callable (old, new) -> bool, not {type(cutoff).__name__}"
        )
    return cutoff


_pack_double = struct.Struct("<d").pack
# Types whose == tells apart every two values anything computed from them could tell apart.
_BY_EQUALITY: Final = frozenset({int, str, bool, bytes, bytearray, type(None)})
_CONTAINERS: Final = frozenset({tuple, list, dict, set, frozenset, complex})


def _exact(old: Any, new: Any) -> bool:
    """The default cut-off: whether nothing computed from ``new`` could differ
    from what is computed from ``old``. Same type, then: equal for ints, strs,
    bytes; the same bits for floats (so -0.0 is not 0.0, a NaN is the same NaN);
    the same items in the same order for containers of these; the same object
    for anything else, whose ``==`` may equate values that behave differently."""
    if old is new:
        return True
    kind = type(old)
    if kind is not type(new):
        return False
    if kind in _BY_EQUALITY:
        return old == new  # type: ignore[no-any-return]
    if kind is float:
        if old == new:
            return old != 0.0 or copysign(1.0, old) == copysign(1.0, new)
        return old != old and new != new and _pack_double(old) == _pack_double(new)
    return kind in _CONTAINERS and _same_items(old, new, set(), 0)


def _same_items(old: Any, new: Any, seen: set[tuple[int, int]], depth: int) -> bool:
    # Too deep a nesting counts as a change: a recomputation, never a wrong value.
    if depth > 100:
        return False
    # A pair met before is not walked again: it is in progress (a cycle) or
    # equal, since a difference ends the walk.
    pair = (id(old), id(new))
    if pair in seen:
        return True
    seen.add(pair)
    if type(old) is complex:
        return _exact(old.real, new.real) and _exact(old.imag, new.imag)
    if len(old) != len(new):
        return False
    # In iteration order: that is what a dict or set shows to code reading it.
    # A dict pairs up its (key, value) items, anything else is one pair of sequences.
    items = zip(old.items(), new.items(), strict=True) if type(old) is dict else ((old, new),)
    for olds, news in items:
        for a, b in zip(olds, news, strict=True):
            if a is b:
                continue
            kind = type(a)
            if kind is not type(b):
                return False
            if kind in _CONTAINERS:
                if not _same_items(a, b, seen, depth + 1):
                    return False
            elif not _exact(a, b):
                return False
    return True


def _equal(old: Any, value: Any) -> bool:
    """The "equal" cut-off: the same type and ``==``; an ``==`` that raises, or
    whose result has no truth value, counts as a change."""
    if old is value:
        return True
    if type(old) is not type(value):
        return False
    try:
        return bool(old == value)
    except Exception:  # an == that cannot answer: treat as a change
        return False


_CUTOFFS: Final[dict[str, Callable[[Any, Any], object]]] = {
    "exact": _exact,
    "equal": _equal,
    "identity": is_,
    "never": lambda old, new: False,
}
