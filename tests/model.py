"""Executable model of a quorl Graph, argument handling included.

Every method takes the same Python arguments as the native Graph and either
returns the same value or raises the same exception class with the same
message. A failed call leaves the model untouched: all checks run before the
first write.

This is the one place where the test code writes down the contract: the
kinds, states, fold constants and messages below are imported by the tests,
the fuzz seed generator and the benchmarks' correctness check.
"""

import bisect
import heapq
import operator
import re
from pathlib import Path

# The escape table the kernel is compiled with, so that both agree on the
# Unicode version whatever Python's own unicodedata says.
UNICODE_TABLE = (Path(__file__).resolve().parent.parent / "src/core/unicode_table.hpp").read_text(
    encoding="utf-8"
)
_BODY = UNICODE_TABLE.partition("escaped_ranges[]")[2].partition("};")[0]
ESCAPED = [
    (int(a, 16), int(b, 16))
    for a, b in re.findall(r"\{0x([0-9a-fA-F]+), 0x([0-9a-fA-F]+)\}", _BODY)
]
_STARTS = [first for first, _ in ESCAPED]

KINDS = ("input", "source", "reactive", "view")
STATES = ("clean", "dirty", "computing")
FOLD_START = 0x14650FB0739D0383
FOLD_MULTIPLIER = 0x100000001B3
U64 = 1 << 64

# The kernel's messages; {} takes the quoted id or kind, or for a cycle the
# plain ids joined by ", ".
ALREADY_REGISTERED = "node already registered: {}"
UNKNOWN_NODE = "unknown node: {}"
SELF_DEPENDENCY = "node {} cannot depend on itself"
INVALID_KIND = "invalid node kind {} (expected input|source|reactive|view)"
NOT_BUILT = "graph has not been built; call build() after registering nodes"
CYCLE = "dependency cycle detected involving: {}"
STILL_DEPENDED_ON = "cannot remove {}: {} depends on it and is not removed"
EPOCH_NEVER_HANDED_OUT = "epoch {} was never handed out (the epoch counter is at {})"
EPOCH_HELD = "epoch {} is held by node {}: a node takes back only an epoch it held itself"
INPUT_WITH_DEPS = (
    "input {} has deps ({}): an input takes its value from the caller, not from deps; "
    "give it a hash in inputs or make it another kind"
)
# The call boundary's.
ALREADY_BORROWED = "Already borrowed"  # exclusive access refused: held in any way
ALREADY_MUTABLY_BORROWED = "Already mutably borrowed"  # shared access refused: held exclusively
NOT_A_STR = "object cannot be converted to 'PyString'"
NOT_A_SEQUENCE = "object cannot be converted to 'Sequence'"
NOT_ITERABLE = "object is not iterable"
STR_AS_SEQUENCE = "Can't extract `str` to `Vec`"
NEGATIVE = "can't convert negative int to unsigned"
TOO_BIG = "int too big to convert"
REPR = "<quorl.Graph nodes={}>"
SIMPLE_ESCAPES = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r", "\0": "\\0"}


def escaped(cp):
    """Grapheme extenders and non-printable code points are written as \\u{...}."""
    i = bisect.bisect_right(_STARTS, cp) - 1
    return i >= 0 and cp <= ESCAPED[i][1]


def quoted(text):
    out = ['"']
    for ch in text:
        if ch in SIMPLE_ESCAPES:
            out.append(SIMPLE_ESCAPES[ch])
        elif escaped(ord(ch)):
            out.append(f"\\u{{{ord(ch):x}}}")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def fold_keys(keys):
    """The signature folded over the deps' keys, in deps order."""
    h = FOLD_START
    for key in keys:
        h = ((h ^ key) * FOLD_MULTIPLIER) % U64
    return h


def unknown(node_id):
    return KeyError(UNKNOWN_NODE.format(quoted(node_id)))


# ---------------------------------------------------------------- call boundary


def _names(names):
    names = [f"'{n}'" for n in names]
    if len(names) == 1:
        return names[0]
    if len(names) == 2:
        return f"{names[0]} and {names[1]}"
    return ", ".join(names[:-1]) + ", and " + names[-1]


def bind(method, params, args, kwargs):
    """Fill one slot per parameter from positionals, then keywords in call order."""
    full = f"Graph.{method}()"
    k, p = len(args), len(params)
    if k > p:
        were = "was" if k == 1 else "were"
        raise TypeError(f"{full} takes {p} positional arguments but {k} {were} given")
    slots = dict(zip(params, args, strict=False))  # missing ones are reported below
    for name, value in kwargs.items():
        if name not in params:
            raise TypeError(f"{full} got an unexpected keyword argument '{name}'")
        if name in slots:
            raise TypeError(f"{full} got multiple values for argument '{name}'")
        slots[name] = value
    missing = [name for name in params if name not in slots]
    if missing:
        s = "" if len(missing) == 1 else "s"
        raise TypeError(
            f"{full} missing {len(missing)} required positional argument{s}: {_names(missing)}"
        )
    return [slots[name] for name in params]


def no_arguments(method, args, kwargs):
    """The interpreter's own check for methods that take nothing."""
    if kwargs:
        raise TypeError(f"Graph.{method}() takes no keyword arguments")
    if args:
        raise TypeError(f"Graph.{method}() takes no arguments ({len(args)} given)")


def to_str(obj):
    if not isinstance(obj, str):
        raise TypeError(f"'{type(obj).__qualname__}' {NOT_A_STR}")
    # Lone surrogates raise UnicodeEncodeError here, as in the interpreter.
    return str.encode(obj, "utf-8").decode("utf-8")


def to_str_list(obj):
    if isinstance(obj, str):
        raise TypeError(STR_AS_SEQUENCE)
    is_sequence = hasattr(type(obj), "__getitem__") and not isinstance(obj, dict)
    if not is_sequence:
        raise TypeError(f"'{type(obj).__qualname__}' {NOT_A_SEQUENCE}")
    return [to_str(item) for item in obj]


def to_id_collection(obj):
    """Any iterable of ids, in its own order; a str alone is refused."""
    if isinstance(obj, str):
        raise TypeError(STR_AS_SEQUENCE)
    try:
        items = iter(obj)
    except TypeError:
        raise TypeError(f"'{type(obj).__qualname__}' {NOT_ITERABLE}") from None
    return [to_str(item) for item in items]


def to_u64(obj):
    # operator.index is the interpreter's own integer protocol: ints as they
    # are, other objects through __index__, a TypeError for anything else.
    value = int.__index__(operator.index(obj))
    if value < 0:
        raise OverflowError(NEGATIVE)
    if value >= U64:
        raise OverflowError(TOO_BIG)
    return value


def convert(params, values, converters):
    """Parameter order; a plain TypeError is re-raised under the parameter's name."""
    out = []
    for param, value, conv in zip(params, values, converters, strict=True):
        try:
            out.append(conv(value))
        except TypeError as exc:
            if type(exc) is not TypeError:
                raise
            raise TypeError(f"argument '{param}': {exc}") from exc.__cause__
    return out


_CONVERTERS = {
    "id": to_str,
    "kind": to_str,
    "deps": to_str_list,
    "seeds": to_str_list,
    "ids": to_id_collection,
    "hash": to_u64,
    "input_hash": to_u64,
    "signature": to_u64,
    "content_hash": to_u64,
    "epoch": to_u64,
}


def arguments(method, params, args, kwargs):
    values = bind(method, params, args, kwargs)
    converted = convert(params, values, [_CONVERTERS[p] for p in params])
    return converted[0] if len(converted) == 1 else converted


# ---------------------------------------------------------------- kernel


class Node:
    def __init__(self, node_id, kind):
        self.id = node_id
        self.kind = kind
        self.state = "dirty"
        self.deps = []
        self.signature = None
        self.content_hash = None
        self.epoch = 0


class Model:
    def __init__(self, /, *args, **kwargs):
        bind("__new__", (), args, kwargs)
        self.nodes = []
        self.index = {}
        self.order = []
        self.epoch_counter = 0
        self.built = False

    # -- lookups and helpers

    def _index_of(self, node_id):
        if node_id not in self.index:
            raise unknown(node_id)
        return self.index[node_id]

    def _need_built(self):
        if not self.built:
            raise RuntimeError(NOT_BUILT)

    def _dependents(self):
        """The reverse edges: for each node, the nodes whose deps name it."""
        dependents = [[] for _ in self.nodes]
        for i, node in enumerate(self.nodes):
            for d in node.deps:
                dependents[d].append(i)
        return dependents

    def _closure(self, seeds):
        """Seeds plus everything that depends on one of them, each once."""
        dependents = self._dependents()
        queue = list(dict.fromkeys(seeds))  # a repeated seed counts once
        seen = set(queue)
        for u in queue:
            for d in dependents[u]:
                if d not in seen:
                    seen.add(d)
                    queue.append(d)
        return seen

    def _in_order(self, selected):
        return [self.nodes[i].id for i in self.order if i in selected]

    def fold(self, node):
        return fold_keys(
            (dep.content_hash or 0) if dep.kind == "input" else dep.epoch
            for dep in (self.nodes[d] for d in node.deps)
        )

    # -- slots

    def __len__(self):
        return len(self.nodes)

    def __contains__(self, obj):
        node_id = convert(("id",), (obj,), (to_str,))[0]
        return node_id in self.index

    def __repr__(self):
        return REPR.format(len(self.nodes))

    # -- registration and queries

    def add_node(self, /, *args, **kwargs):
        node_id, kind = arguments("add_node", ("id", "kind"), args, kwargs)
        if node_id in self.index:
            raise ValueError(ALREADY_REGISTERED.format(quoted(node_id)))
        if kind not in KINDS:
            raise ValueError(INVALID_KIND.format(quoted(kind)))
        self.index[node_id] = len(self.nodes)
        self.nodes.append(Node(node_id, kind))
        self.built = False

    def set_deps(self, /, *args, **kwargs):
        node_id, deps = arguments("set_deps", ("id", "deps"), args, kwargs)
        target = self._index_of(node_id)
        new = []
        for dep in deps:
            if dep == node_id:
                raise ValueError(SELF_DEPENDENCY.format(quoted(node_id)))
            d = self._index_of(dep)
            if d not in new:
                new.append(d)
        self.nodes[target].deps = new
        self.built = False

    def remove_node(self, /, *args, **kwargs):
        self._remove([arguments("remove_node", ("id",), args, kwargs)])

    def remove_nodes(self, /, *args, **kwargs):
        self._remove(arguments("remove_nodes", ("ids",), args, kwargs))

    def _remove(self, ids):
        removed = dict.fromkeys(self._index_of(node_id) for node_id in ids)
        dependents = self._dependents()
        for r in removed:
            for d in dependents[r]:
                if d not in removed:
                    raise ValueError(
                        STILL_DEPENDED_ON.format(quoted(self.nodes[r].id), quoted(self.nodes[d].id))
                    )
        if not removed:
            return
        kept = [i for i in range(len(self.nodes)) if i not in removed]
        renumber = {old: new for new, old in enumerate(kept)}
        self.nodes = [self.nodes[i] for i in kept]
        for node in self.nodes:
            node.deps = [renumber[d] for d in node.deps]
        self.index = {node.id: i for i, node in enumerate(self.nodes)}
        if self.built:  # what remains is built afresh: the order a new declaration gets
            self.order = self._greedy_order()

    def node_ids(self, /, *args, **kwargs):
        no_arguments("node_ids", args, kwargs)
        return [node.id for node in self.nodes]

    def kind_of(self, /, *args, **kwargs):
        return self.nodes[self._index_of(arguments("kind_of", ("id",), args, kwargs))].kind

    def state_of(self, /, *args, **kwargs):
        return self.nodes[self._index_of(arguments("state_of", ("id",), args, kwargs))].state

    def deps_of(self, /, *args, **kwargs):
        node = self.nodes[self._index_of(arguments("deps_of", ("id",), args, kwargs))]
        return [self.nodes[d].id for d in node.deps]

    # -- build and ordered listings

    def build(self, /, *args, **kwargs):
        no_arguments("build", args, kwargs)
        self.order = self._greedy_order()
        self.built = True

    def _greedy_order(self):
        in_degree = [len(node.deps) for node in self.nodes]
        dependents = self._dependents()
        # Always the smallest ready index next: the lexicographically least order.
        ready = [i for i, n in enumerate(in_degree) if n == 0]
        heapq.heapify(ready)
        order = []
        while ready:
            u = heapq.heappop(ready)
            order.append(u)
            for j in dependents[u]:
                in_degree[j] -= 1
                if in_degree[j] == 0:
                    heapq.heappush(ready, j)
        if len(order) < len(self.nodes):
            stuck = [self.nodes[i].id for i, n in enumerate(in_degree) if n > 0]
            raise ValueError(CYCLE.format(", ".join(stuck)))
        return order

    def topo_order(self, /, *args, **kwargs):
        no_arguments("topo_order", args, kwargs)
        self._need_built()
        return [self.nodes[i].id for i in self.order]

    def views(self, /, *args, **kwargs):
        no_arguments("views", args, kwargs)
        self._need_built()
        return self._in_order({i for i, n in enumerate(self.nodes) if n.kind == "view"})

    def dirty_nodes(self, /, *args, **kwargs):
        no_arguments("dirty_nodes", args, kwargs)
        self._need_built()
        return self._in_order({i for i, n in enumerate(self.nodes) if n.state == "dirty"})

    # -- propagation

    def downstream(self, /, *args, **kwargs):
        node_id = arguments("downstream", ("id",), args, kwargs)
        self._need_built()
        t = self._index_of(node_id)
        return self._in_order(self._closure([t]) - {t})

    def dirty_subgraph(self, /, *args, **kwargs):
        seeds = arguments("dirty_subgraph", ("seeds",), args, kwargs)
        self._need_built()
        return self._in_order(self._closure([self._index_of(s) for s in seeds]))

    def mark_dirty(self, /, *args, **kwargs):
        seeds = arguments("mark_dirty", ("seeds",), args, kwargs)
        self._need_built()
        affected = self._closure([self._index_of(s) for s in seeds])
        for i in affected:
            self.nodes[i].state = "dirty"
        return self._in_order(affected)

    # -- states and caller-hashed memo

    def set_dirty(self, /, *args, **kwargs):
        self.nodes[self._index_of(arguments("set_dirty", ("id",), args, kwargs))].state = "dirty"

    def set_computing(self, /, *args, **kwargs):
        self.nodes[
            self._index_of(arguments("set_computing", ("id",), args, kwargs))
        ].state = "computing"

    def set_clean(self, /, *args, **kwargs):
        node_id, value = arguments("set_clean", ("id", "hash"), args, kwargs)
        node = self.nodes[self._index_of(node_id)]
        node.state, node.signature = "clean", value

    def needs_recompute(self, /, *args, **kwargs):
        node_id, value = arguments("needs_recompute", ("id", "input_hash"), args, kwargs)
        return self.nodes[self._index_of(node_id)].signature != value

    # -- kernel-folded memo

    def check_node(self, /, *args, **kwargs):
        node = self.nodes[self._index_of(arguments("check_node", ("id",), args, kwargs))]
        fold = self.fold(node)
        return (node.kind, node.signature != fold, fold)

    def commit_node(self, /, *args, **kwargs):
        node_id, signature = arguments("commit_node", ("id", "signature"), args, kwargs)
        node = self.nodes[self._index_of(node_id)]
        self.epoch_counter = (self.epoch_counter + 1) % U64
        node.state, node.signature, node.epoch = "clean", signature, self.epoch_counter

    def skip_node(self, /, *args, **kwargs):
        node_id, signature = arguments("skip_node", ("id", "signature"), args, kwargs)
        node = self.nodes[self._index_of(node_id)]
        node.state, node.signature = "clean", signature

    def commit_input(self, /, *args, **kwargs):
        node_id, content_hash = arguments("commit_input", ("id", "content_hash"), args, kwargs)
        node = self.nodes[self._index_of(node_id)]
        node.state, node.signature, node.content_hash = "clean", content_hash, content_hash

    # -- cycle groups

    def _reached_by_deps(self, start):
        """Every node `start` depends on through one or more deps."""
        reached, stack = set(), list(self.nodes[start].deps)
        while stack:
            d = stack.pop()
            if d not in reached:
                reached.add(d)
                stack.extend(self.nodes[d].deps)
        return reached

    def cycle_groups(self, /, *args, **kwargs):
        no_arguments("cycle_groups", args, kwargs)
        reached = [self._reached_by_deps(i) for i in range(len(self.nodes))]
        groups, grouped = [], set()
        for i in range(len(self.nodes)):
            if i in grouped or i not in reached[i]:
                continue
            members = [j for j in range(len(self.nodes)) if j in reached[i] and i in reached[j]]
            grouped.update(members)
            groups.append([self.nodes[j].id for j in members])
        return groups

    # -- restored epochs

    def epoch_of(self, /, *args, **kwargs):
        return self.nodes[self._index_of(arguments("epoch_of", ("id",), args, kwargs))].epoch

    def refuse_epoch(self, i, epoch):
        """Why node i cannot take back `epoch`: never handed out, or another node's."""
        if not 0 < epoch <= self.epoch_counter:
            return ValueError(EPOCH_NEVER_HANDED_OUT.format(epoch, self.epoch_counter))
        for j, other in enumerate(self.nodes):
            if j != i and other.epoch == epoch:
                return ValueError(EPOCH_HELD.format(epoch, quoted(other.id)))
        return None

    def restore_node(self, /, *args, **kwargs):
        params = ("id", "signature", "epoch")
        node_id, signature, epoch = arguments("restore_node", params, args, kwargs)
        i = self._index_of(node_id)
        if refused := self.refuse_epoch(i, epoch):
            raise refused
        node = self.nodes[i]
        node.state, node.signature, node.epoch = "clean", signature, epoch
