"""Test helpers shared by the test files: graph makers and the shapes of
random graphs, snapshots of what a graph shows, and the odd arguments that run
the caller's code during conversion. What the kernel must answer lives in
model.py; the update round's Python model and per-node driver in round_model.py."""

import subprocess
import sys
import textwrap
from collections.abc import Sequence

from hypothesis import strategies as st
from model import KINDS
from quorl._quorl import Graph


def run_python(code=None, *, args=(), env=None, timeout=120, quiet=False):
    """Runs `code` (dedented), or the interpreter with `args`, in a fresh
    process that must succeed (and, when `quiet`, write nothing to stderr);
    returns what it printed."""
    command = [sys.executable, *(("-c", textwrap.dedent(code)) if code else ()), *args]
    done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=timeout)
    assert done.returncode == 0, done.stderr
    assert not quiet or done.stderr == "", done.stderr
    return done.stdout


def make_graph(nodes, deps=None, build=True):
    """A graph of `nodes` (ids, or (id, kind) pairs; kind defaults to reactive)."""
    g = Graph()
    for node in nodes:
        g.add_node(*(node if isinstance(node, tuple) else (node, "reactive")))
    for node, ds in (deps or {}).items():
        g.set_deps(node, ds)
    if build:
        g.build()
    return g


@st.composite
def dag_shapes(draw, min_nodes=1, max_nodes=10, max_deps=3):
    """(kinds, deps) of nodes 0..n-1, deps[i] the sorted indices of some
    earlier nodes: a graph that builds."""
    n = draw(st.integers(min_nodes, max_nodes))
    kinds = [draw(st.sampled_from(KINDS)) for _ in range(n)]
    deps = [
        sorted(draw(st.sets(st.integers(0, i - 1), max_size=max_deps))) if i else []
        for i in range(n)
    ]
    return kinds, deps


def snapshot(g):
    """Everything a graph shows, its order or the refusal to give one included."""
    ids = g.node_ids()
    try:
        order = g.topo_order()
    except RuntimeError as exc:  # not built
        order = str(exc)
    return {
        "repr": repr(g),
        "ids": ids,
        "kinds": [g.kind_of(i) for i in ids],
        "deps": [g.deps_of(i) for i in ids],
        "states": [g.state_of(i) for i in ids],
        "checks": [g.check_node(i) for i in ids],
        "memo": [g.needs_recompute(i, 1) for i in ids],
        "order": order,
    }


class OwnTypeError(TypeError):
    """A TypeError subclass: passed through as it is, never re-labelled."""


def raiser(cls, message="boom", cause=None):
    """A function raising cls(message), with an instance of `cause` as its cause."""

    def run():
        exc = cls(message)
        exc.__cause__ = cause() if cause else None
        raise exc

    return run


def _reported_length(items, length):
    if length is None:
        return len(items)
    if length == "raise":
        raise OverflowError("no length")
    return length


class Seq(Sequence):
    """A user sequence that iterates itself. Its reported length is only a hint:
    `length` (an int, or "raise") overrides it. `during` runs when the second
    item is reached; `fail`, an exception class, ends the iteration."""

    def __init__(self, items, during=None, length=None, fail=None):
        self.items, self.during, self.length, self.fail = list(items), during, length, fail

    def __len__(self):
        return _reported_length(self.items, self.length)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for k, item in enumerate(self.items):
            if k == 1 and self.during is not None:
                self.during()
            yield item
        if self.fail:
            raise self.fail("own")

    def __repr__(self):
        return f"Seq({self.items!r}, length={self.length!r}, fail={getattr(self.fail, '__name__', None)})"


class ItemSeq:
    """A user sequence without __iter__, so the interpreter iterates it through
    item access. `during` runs when item 1 is asked for; `item(items, i)`
    replaces the item access; `length` as for Seq."""

    def __init__(self, items, during=None, length=None, item=None):
        self.items, self.during, self.length, self.item = list(items), during, length, item

    def __len__(self):
        return _reported_length(self.items, self.length)

    def __getitem__(self, i):
        if self.during is not None and i == 1:
            self.during()
        return self.item(self.items, i) if self.item else self.items[i]


class Index:
    """An integer through __index__. `during` runs first; with no `value`, its
    result is the integer."""

    def __init__(self, value=None, during=None):
        self.value, self.during = value, during

    def __index__(self):
        if self.during is not None:
            result = self.during()
            if self.value is None:
                return result
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"
