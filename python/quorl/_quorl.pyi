# Type stubs for the extension module quorl._quorl.
#
# Docstrings are the module's own. Failures: an unregistered id raises
# KeyError; a registered id, an invalid kind, a self dependency and a cycle
# raise ValueError; a call that needs build() first, or that meets the graph in
# use by another call, raises RuntimeError; a wrong argument type raises
# TypeError, an integer outside 0..2**64-1 OverflowError, and a call that runs
# out of memory MemoryError. A broken internal check raises PanicException, a
# BaseException subclass that the module does not export. The ValueError of a
# cycle found by build() carries one cycle as `cycle`, a list of ids in
# dependency order (each a dep of the next, the last a dep of the first).

import sys
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from types import TracebackType
from typing import Any, Literal, Self, SupportsIndex, TypeAlias, final

if sys.version_info >= (3, 12):
    from collections.abc import Buffer as _Buffer
else:
    from typing_extensions import Buffer as _Buffer

__all__ = ["kernel_version", "Graph"]  # noqa: RUF022 -- the module's own order

_Kind: TypeAlias = Literal["input", "source", "reactive", "view"]
_State: TypeAlias = Literal["clean", "dirty", "computing"]

def kernel_version() -> str:
    """Version of the compiled C++ kernel."""

@final
class Graph:
    """A reactive directed acyclic graph: dirty tracking, topological scheduling,
    propagation, and memo bookkeeping. Holds topology and state only — node
    values stay on the Python side."""

    def __init__(self) -> None: ...
    def __len__(self) -> int: ...
    def __contains__(self, key: str, /) -> bool: ...
    # Kinds often arrive in variables typed str; the kernel validates them.
    def add_node(self, id: str, kind: str) -> None:
        """Register a node. `kind` is one of input|source|reactive|view."""
    # A str is a sequence of str to a type checker, but deps and seeds refuse one.
    def set_deps(self, id: str, deps: Sequence[str]) -> None:
        """Set a node's inbound edges (its dependencies). All deps must exist."""
    def build(self) -> None:
        """Validate the graph is acyclic and cache a topological order. Call once
        after all nodes and edges are declared."""
    def topo_order(self) -> list[str]:
        """Full build order: all node ids, topologically sorted."""
    def dirty_subgraph(self, seeds: Sequence[str]) -> list[str]:
        """Recompute schedule for changed seeds: the seeds plus all transitively
        affected nodes, topologically ordered. Pure — does not mutate state."""
    def mark_dirty(self, seeds: Sequence[str]) -> list[str]:
        """Mark seeds and everything downstream `dirty`; return them topo-ordered."""
    def downstream(self, id: str) -> list[str]:
        """Nodes strictly downstream of `id`, topologically ordered."""
    def needs_recompute(self, id: str, input_hash: SupportsIndex) -> bool:
        """Does `id` need recomputation given the content hash of its inputs?"""
    def check_node(self, id: str) -> tuple[_Kind, bool, int]:
        """Hot-path per-node decision: `(kind, needs_recompute, signature)` in one
        call. The signature folds the node's dependency state (Input deps by
        content hash, computed deps by epoch) entirely in C++."""
    def commit_node(self, id: str, signature: SupportsIndex) -> None:
        """Commit a computed node clean with the signature it ran on; bumps its epoch."""
    def skip_node(self, id: str, signature: SupportsIndex) -> None:
        """Commit a memo hit: mark clean without bumping the epoch."""
    def commit_input(self, id: str, content_hash: SupportsIndex) -> None:
        """Record an Input node's current value hash for downstream signatures."""
    def set_clean(self, id: str, hash: SupportsIndex) -> None:
        """Commit `id` clean with the content hash it was computed from."""
    def set_computing(self, id: str) -> None: ...
    def set_dirty(self, id: str) -> None: ...
    def state_of(self, id: str) -> _State: ...
    def kind_of(self, id: str) -> _Kind: ...
    def deps_of(self, id: str) -> list[str]: ...
    def dirty_nodes(self) -> list[str]:
        """All currently-dirty node ids, topologically ordered."""
    def views(self) -> list[str]:
        """View-kind node ids in topological order."""
    def node_ids(self) -> list[str]:
        """All node ids in insertion order."""
    def begin_round(
        self,
        inputs: Mapping[str, SupportsIndex] | Iterable[tuple[str, SupportsIndex]],
        seeds: Sequence[str] = (),
    ) -> _Round:
        """Start an update round and return it. `inputs` maps the changed inputs to
        the content hashes of their new values (a mapping or (id, hash) pairs);
        `seeds` are nodes to give a value whatever their deps say. The kernel
        settles every node whose signature is unchanged and hands out the rest."""
    def to_bytes(self) -> bytes:
        """The graph's whole state as bytes: nodes, kinds, deps, states, memo fields,
        the epoch counter and the cached order. `Graph.from_bytes` restores it."""
    @classmethod
    def from_bytes(cls, data: _Buffer) -> Graph:
        """A new graph restored exactly from the output of `to_bytes()`, given as any
        bytes-like object. Data that is not a whole, intact snapshot of a format
        version this kernel reads raises ValueError saying what is wrong and where."""
    def __reduce__(self) -> tuple[Callable[[bytes], Graph], tuple[bytes]]: ...
    def __copy__(self) -> Graph: ...
    def __deepcopy__(self, memo: Any, /) -> Graph: ...
    def _same_structure(self, other: Graph) -> bool:
        """Whether `other` has the same ids, kinds and deps, node by node in
        insertion order (states and memo fields aside)."""
    def is_built(self) -> bool:
        """Whether the cached topological order is current: true after a successful
        build() until the next successful add_node or set_deps."""
    def dependents_of(self, id: str) -> list[str]:
        """Nodes that list `id` among their deps (its direct dependants),
        topologically ordered."""
    def would_cycle(self, id: str, deps: Sequence[str]) -> list[str] | None:
        """Would `set_deps(id, deps)` close a cycle? None if not; else the shortest
        such cycle as ids in dependency order, starting at `id` (each id is a dep
        of the next, and the last one would be a dep of `id`). Changes nothing."""
    def __sizeof__(self) -> int:
        """Size of the graph in memory, in bytes: its object and its tables, room to
        grow included."""
    def remove_node(self, id: str) -> None:
        """Unregister a node no other node depends on. Its id may be registered
        again, as a new node. A built graph stays built."""
    def remove_nodes(self, ids: Iterable[str]) -> None:
        """Unregister several nodes at once, in any order (any iterable of ids). Every
        node that depends on one of them must be among them; otherwise, or if one
        is unknown, nothing is removed. A built graph stays built."""
    def cycle_groups(self) -> list[list[str]]:
        """Groups of nodes that depend on each other through their deps (each a
        cycle or several joined), as lists of ids: members in registration order,
        groups ordered by their first member. Needs no build; changes nothing."""
    def restore_node(self, id: str, signature: SupportsIndex, epoch: SupportsIndex) -> None:
        """Commit a memo hit that brings back an earlier value: mark clean with the
        signature it ran on and take back `epoch`, the epoch the node held with
        that value, instead of a new one. ValueError, with nothing changed, for an
        epoch never handed out or one another node holds."""
    def epoch_of(self, id: str) -> int:
        """The node's epoch: 0 until its first commit, then that of its last commit
        or restore."""

# Created by Graph.begin_round only; exported by the package as quorl.Round.
@final
class _Round:
    """An update round of a Graph, from Graph.begin_round(). Iterate it for
    (id, signature) pairs one at a time, or call ready() for every node
    computable now; report each node with done(node_id, changed)."""

    def __iter__(self) -> Iterator[tuple[str, int]]: ...
    def __next__(self) -> tuple[str, int]: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> Literal[False]:
        """close() the round."""
    def ready(self) -> list[tuple[str, int]]:
        """Every node computable now, as (id, signature) pairs in topological order,
        marked computing. [] with nothing outstanding: the round is complete."""
    def done(self, node_id: str, changed: bool, epoch: SupportsIndex | None = None) -> None:
        """Report a node handed out: changed=True commits it with a new epoch, as
        commit_node does; False settles it as skip_node does. With `epoch`, the
        node takes back that earlier epoch of its own instead, as restore_node
        does, and `changed` only says how the report is counted."""
    def close(self) -> None:
        """Abandon the round: every node not settled stays dirty and joins the
        graph's next round. A finished round is unaffected."""
    @property
    def finished(self) -> bool:
        """True once every node of the round's closure is settled."""
    @property
    def scheduled(self) -> int:
        """Nodes in the round's change closure."""
    @property
    def settled(self) -> int:
        """Nodes settled inside the kernel, with no Python call."""
    @property
    def handed_out(self) -> int:
        """Nodes handed out for a value."""
    @property
    def committed(self) -> int:
        """Nodes reported with changed=True."""
    @property
    def skipped(self) -> int:
        """Nodes reported with changed=False."""
    @property
    def outstanding(self) -> int:
        """Nodes handed out and not reported yet."""
