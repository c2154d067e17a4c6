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

from collections.abc import Sequence
from typing import Literal, SupportsIndex, TypeAlias, final

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
