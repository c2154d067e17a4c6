"""What an engine holds between rounds, as plain data.

``Node`` is one declared node: its function, its deps and its memo. ``State``
is the rest: the values, the inputs' hashes, the work left for the next round
and what a load left encoded. The engine owns one of each per node and one
State; saving reads them and loading builds a State, so the file format never
reaches into the engine and the engine never into the format.
"""

from __future__ import annotations

import threading
from collections.abc import Callable
from operator import itemgetter
from typing import Any


class Node:
    __slots__ = ("args", "deps", "fn", "kind", "memo", "memo_size", "same")

    def __init__(
        self,
        kind: str,
        fn: Callable[..., Any] | None,
        deps: tuple[str, ...],
        memo_size: int,
        same: Callable[[Any, Any], object],
    ) -> None:
        self.kind = kind
        self.fn = fn
        self.deps = deps
        # The cut-off rule: whether a new value is the current one (keep it and its epoch).
        self.same = same
        # The deps' values as a tuple, from the values dict, in one C call.
        self.args: Callable[[dict[str, Any]], tuple[Any, ...]] = (
            _no_args if not deps else itemgetter(*deps) if len(deps) > 1 else _one_arg(deps[0])
        )
        # Sources read the outside world: a memo keyed by their (constant)
        # signature would never call them again.
        self.memo_size = 0 if kind in ("input", "source") else memo_size
        self.memo: dict[int, Any] = {}


class State:
    """The engine's values and the work it owes the next round."""

    __slots__ = ("hashes", "lock", "new_inputs", "saved", "seeds", "values")

    def __init__(
        self,
        values: dict[str, Any] | None = None,
        hashes: dict[str, int] | None = None,
        new_inputs: dict[str, int] | None = None,
        seeds: dict[str, None] | None = None,
        saved: tuple[str, bytes, bytes] | None = None,
    ) -> None:
        self.values: dict[str, Any] = {} if values is None else values
        self.hashes: dict[str, int] = {} if hashes is None else hashes
        self.new_inputs: dict[str, int] = (
            {} if new_inputs is None else new_inputs
        )  # since the last round
        # To compute next round whatever their deps say.
        self.seeds: dict[str, None] = {} if seeds is None else seeds
        # A loaded file's encoded values and memo entries, decoded on first
        # use (a warm round that computes nothing never needs them); values
        # set since the load stay in ``values`` and win over the file's.
        self.saved = saved
        self.lock = threading.Lock()  # one decoding of ``saved``


def _no_args(values: dict[str, Any]) -> tuple[Any, ...]:
    return ()


def _one_arg(dep: str) -> Callable[[dict[str, Any]], tuple[Any, ...]]:
    # itemgetter of one key returns the value itself, not a 1-tuple.
    get = itemgetter(dep)
    return lambda values: (get(values),)
