"""A reactive update loop driven by the quorl kernel, the way a framework runs it.

The kernel keeps the graph's shape and each node's bookkeeping; the values,
the functions that compute them and a small memo table per node stay here.
One update goes like this:

1. ``scheduled = graph.mark_dirty(changed_inputs)``: the changed inputs and
   everything downstream of them, marked dirty, in topological order.
2. A scheduled input records the hash of its new value: ``commit_input(id, h)``.
3. Any other scheduled node asks ``kind, needs, sig = graph.check_node(id)``.
   ``sig`` folds the keys of the node's direct deps (an input's value hash,
   any other node's commit epoch). ``needs`` is false when no key changed since
   the node's last commit: its value stands. Otherwise the value comes from the
   node's memo under ``sig``, or from its function.
4. The node reports back: ``commit_node(id, sig)`` if its value changed (its
   epoch advances, so every dependant folds a new key), ``skip_node(id, sig)``
   if it did not (dependants fold the same key and can be cut off).

``python -m quorl --help`` lists the options of the demo.
"""

from __future__ import annotations

import argparse
import hashlib
import random
import sys
import time
from collections import Counter
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any, TextIO

from quorl import Graph, kernel_version

KINDS = ("input", "source", "reactive", "view")
KIND_WEIGHTS = (10, 2, 78, 10)  # percent of the declared nodes
INPUT_RANGE = 100  # inputs and readings take values 0..99
TOP = INPUT_RANGE - 1
MEMO_SIZE = 8  # memo entries kept per node
RECENT = 64  # deps mostly come from the last RECENT nodes
REVERT_EVERY = 3  # every third round puts back the previous round's inputs

# What happened to one scheduled node.
INPUT = "input"
RECOMPUTED = "recomputed"
MEMO_HIT = "memo hit"
UNCHANGED = "unchanged"


class ProtocolError(RuntimeError):
    """The driver's values disagree with a recomputation, or nodes were left dirty."""


def value_hash(value: Any) -> int:
    """A 64-bit hash of an input value that is the same in every process.

    Not hash(): it is salted per process for str, and hash(-1) == hash(-2).
    """
    digest = hashlib.blake2b(repr(value).encode(), digest_size=8).digest()
    return int.from_bytes(digest, "little")


@dataclass(frozen=True)
class NodeSpec:
    """One declared node; ``fn`` takes the deps' values in order (None for inputs)."""

    id: str
    kind: str
    deps: tuple[str, ...] = ()
    fn: Callable[..., Any] | None = None

    def compute(self, dep_values: Iterable[Any]) -> Any:
        assert self.fn is not None, f"{self.id} is an input: it has no function"
        return self.fn(*dep_values)


@dataclass
class RoundStats:
    round: int
    reverted: bool  # the inputs went back to the values they had before the last round
    changed: int  # inputs given new values
    scheduled: int
    recomputed: int
    memo_hits: int
    unchanged: int
    ms: float
    dirty_after: int  # nodes still dirty once the round is done
    verified: bool  # compared with a from-scratch computation


# --- node functions: most saturate or quantize, so a new result often equals the old one


def clamped(low: int, high: int) -> Callable[..., int]:
    def fn(*xs: int) -> int:
        return min(max(sum(xs), low), high)

    return fn


def stepped(step: int) -> Callable[..., int]:
    def fn(*xs: int) -> int:
        return sum(xs) // len(xs) // step * step  # the mean, down to a multiple of step

    return fn


def switch(level: int) -> Callable[..., int]:
    def fn(*xs: int) -> int:
        return TOP if max(xs) >= level else 0

    return fn


def largest(*xs: int) -> int:
    return max(xs)


def smallest(*xs: int) -> int:
    return min(xs)


def parity(*xs: int) -> int:
    return sum(xs) % 2


def wrapped(*xs: int) -> int:
    return sum(xs) % INPUT_RANGE  # the one kind that rarely hides a change


def reading(value: int) -> Callable[[], int]:
    def fn() -> int:
        return value

    return fn


def labelled(label: str) -> Callable[..., str]:
    def fn(*xs: Any) -> str:
        return f"{label}: " + ", ".join(map(str, xs))

    return fn


def total(*xs: int) -> str:
    return f"total {sum(xs)}"


# Each makes a node's function from the graph's random source (and a view's id).
REACTIVE_FUNCTIONS: list[Callable[[random.Random], Callable[..., Any]]] = [
    lambda rng: clamped(low=rng.randrange(40), high=rng.randrange(50, INPUT_RANGE)),
    lambda rng: stepped(step=rng.randrange(2, 12)),
    lambda rng: switch(level=rng.randrange(INPUT_RANGE)),
    lambda rng: largest,
    lambda rng: smallest,
    lambda rng: parity,
    lambda rng: wrapped,
]

VIEW_FUNCTIONS: list[Callable[[random.Random, str], Callable[..., Any]]] = [
    lambda rng, node_id: labelled(node_id),
    lambda rng, node_id: total,
]


# --- declaring a graph


def pick_deps(rng: random.Random, earlier: list[str], count: int) -> tuple[str, ...]:
    """Mostly recent nodes, now and then any earlier one: long chains and some fan-in."""
    pool = earlier[-RECENT:] if rng.random() < 0.8 else earlier
    return tuple(rng.sample(pool, min(count, len(pool))))


def generate(count: int, seed: int) -> tuple[list[NodeSpec], dict[str, int]]:
    """A random graph of ``count`` nodes and the first values of its inputs."""
    rng = random.Random(seed)
    specs: list[NodeSpec] = []
    inputs: dict[str, int] = {}
    earlier: list[str] = []  # nodes a later node may depend on: views are leaves
    for index in range(count):
        kind = rng.choices(KINDS, KIND_WEIGHTS)[0] if earlier else "input"
        node_id = f"{kind}-{index}"
        if kind == "input":
            spec = NodeSpec(node_id, kind)
            inputs[node_id] = rng.randrange(INPUT_RANGE)
        elif kind == "source":
            spec = NodeSpec(node_id, kind, (), reading(rng.randrange(INPUT_RANGE)))
        elif kind == "reactive":
            deps = pick_deps(rng, earlier, rng.randint(1, 3))
            spec = NodeSpec(node_id, kind, deps, rng.choice(REACTIVE_FUNCTIONS)(rng))
        else:
            deps = pick_deps(rng, earlier, rng.randint(1, 4))
            spec = NodeSpec(node_id, kind, deps, rng.choice(VIEW_FUNCTIONS)(rng, node_id))
        specs.append(spec)
        if kind != "view":
            earlier.append(node_id)
    return specs, inputs


# --- running it


def remember(memo: dict[int, Any], sig: int, value: Any) -> None:
    """Store ``value`` under ``sig``; beyond MEMO_SIZE entries the oldest goes."""
    memo[sig] = value
    if len(memo) > MEMO_SIZE:
        del memo[next(iter(memo))]


class Reactor:
    """Owns a kernel Graph plus everything the kernel leaves to Python."""

    def __init__(self, specs: list[NodeSpec], inputs: dict[str, Any]):
        self.specs = {spec.id: spec for spec in specs}
        self.inputs = dict(inputs)  # the outside world's current input values
        self.values: dict[str, Any] = {}  # what the graph currently holds
        self.memos: dict[str, dict[int, Any]] = {
            spec.id: {} for spec in specs if spec.kind != "input"
        }
        self.graph = Graph()
        for spec in specs:
            self.graph.add_node(spec.id, spec.kind)
        for spec in specs:
            if spec.deps:
                self.graph.set_deps(spec.id, list(spec.deps))
        self.graph.build()
        self.cut_off: set[str] = set()  # nodes of the last walk whose value stayed the same
        self.last_round: tuple[list[str], dict[str, str]] = ([], {})

    def compute_all(self) -> dict[str, str]:
        """First computation: build() leaves every node dirty, so walk them all."""
        return self.walk(self.graph.topo_order())

    def update(self, changes: dict[str, Any]) -> tuple[list[str], dict[str, str]]:
        """Apply new input values; returns the schedule and each node's outcome."""
        self.inputs.update(changes)
        scheduled = self.graph.mark_dirty(list(changes))
        self.last_round = (scheduled, self.walk(scheduled))
        return self.last_round

    def walk(self, order: list[str]) -> dict[str, str]:
        self.cut_off = set()
        return {node_id: self.refresh(node_id) for node_id in order}

    def refresh(self, node_id: str) -> str:
        spec = self.specs[node_id]
        if spec.kind == "input":
            value = self.inputs[node_id]
            self.values[node_id] = value
            self.graph.commit_input(node_id, value_hash(value))
            return INPUT
        _kind, needs, sig = self.graph.check_node(node_id)
        if not needs:
            self.graph.skip_node(node_id, sig)
            return UNCHANGED
        memo = self.memos[node_id]
        if sig in memo:
            value, outcome = memo[sig], MEMO_HIT
        else:
            value, outcome = spec.compute(self.values[dep] for dep in spec.deps), RECOMPUTED
            remember(memo, sig, value)
        if not self.settle(node_id, sig, value):
            self.cut_off.add(node_id)
        return outcome

    def settle(self, node_id: str, sig: int, value: Any) -> bool:
        """Record the node's new value; returns whether it changed."""
        # Dependants fold this node's epoch as its key, so the epoch advances
        # exactly when the value changes: then each epoch stands for one value,
        # and each memo signature for one set of dep values. A value served from
        # an older memo entry can differ from the current one (its input went
        # A -> B -> A); committing it hands out a fresh epoch, so no dependant
        # keeps folding the key of the B-time value. An equal value keeps the
        # epoch, and the dependants are cut off.
        if node_id in self.values and self.values[node_id] == value:
            self.graph.skip_node(node_id, sig)
            return False
        self.values[node_id] = value
        self.graph.commit_node(node_id, sig)
        return True

    def trace(self, path: str, title: str) -> list[str]:
        """Draw the last update round to ``path`` (see quorl._trace.write_round)."""
        from quorl import _trace

        scheduled, outcomes = self.last_round
        kinds = {INPUT: _trace.INPUT, UNCHANGED: _trace.SETTLED}
        traced = {node_id: kinds.get(outcome, outcome) for node_id, outcome in outcomes.items()}
        dot = _trace.round_dot(self.graph, scheduled, traced, self.cut_off, title)
        return _trace.write_round(path, dot)

    def recompute_from_scratch(self) -> dict[str, Any]:
        """Every value straight from the inputs, with no memo and no kernel."""
        fresh: dict[str, Any] = {}
        for node_id in self.graph.topo_order():
            spec = self.specs[node_id]
            if spec.kind == "input":
                fresh[node_id] = self.inputs[node_id]
            else:
                fresh[node_id] = spec.compute(fresh[dep] for dep in spec.deps)
        return fresh

    def check(self, verify: bool) -> None:
        """Raise ProtocolError on nodes left dirty or, with ``verify``, on stale values."""
        dirty = self.graph.dirty_nodes()
        if dirty:
            raise ProtocolError(f"{len(dirty)} nodes left dirty, first {dirty[0]!r}")
        if verify:
            fresh = self.recompute_from_scratch()
            wrong = [
                node_id for node_id, value in fresh.items() if self.values.get(node_id) != value
            ]
            if wrong:
                raise ProtocolError(
                    f"{len(wrong)} stale values, first {wrong[0]!r}: "
                    f"{self.values.get(wrong[0])!r}, expected {fresh[wrong[0]]!r}"
                )


def new_values(rng: random.Random, reactor: Reactor, count: int) -> dict[str, int]:
    """``count`` inputs, each given a value different from its current one."""
    chosen = rng.sample(sorted(reactor.inputs), min(count, len(reactor.inputs)))
    return {i: (reactor.inputs[i] + rng.randrange(1, INPUT_RANGE)) % INPUT_RANGE for i in chosen}


def run_round(
    reactor: Reactor, number: int, changes: dict[str, Any], reverted: bool, verify: bool
) -> RoundStats:
    start = time.perf_counter()
    scheduled, outcomes = reactor.update(changes)
    ms = (time.perf_counter() - start) * 1000
    counts = Counter(outcomes.values())
    dirty_after = len(reactor.graph.dirty_nodes())
    reactor.check(verify)
    return RoundStats(
        number,
        reverted,
        len(changes),
        len(scheduled),
        counts[RECOMPUTED],
        counts[MEMO_HIT],
        counts[UNCHANGED],
        ms,
        dirty_after,
        verify,
    )


def run(
    nodes: int = 5000,
    rounds: int = 8,
    changes: int = 5,
    seed: int = 0,
    verify: bool = False,
    out: TextIO | None = None,
    trace: str | None = None,
) -> list[RoundStats]:
    """Declare, build and compute a graph, run the update rounds, report on ``out``."""
    out = sys.stdout if out is None else out
    specs, inputs = generate(nodes, seed)
    start = time.perf_counter()
    reactor = Reactor(specs, inputs)
    build_ms = (time.perf_counter() - start) * 1000
    start = time.perf_counter()
    reactor.compute_all()
    initial_ms = (time.perf_counter() - start) * 1000
    reactor.check(verify)

    kinds = Counter(spec.kind for spec in specs)
    print(
        f"quorl kernel {kernel_version()}: {nodes} nodes ("
        + ", ".join(f"{kinds[kind]} {kind}" for kind in KINDS)
        + f"), {sum(len(spec.deps) for spec in specs)} deps, seed {seed}",
        file=out,
    )
    print(f"declare + build {build_ms:.1f} ms, first computation {initial_ms:.1f} ms", file=out)
    print("round  inputs       scheduled  recomputed  memo hits  unchanged       ms", file=out)

    rng = random.Random(seed + 1)
    before_last: dict[str, Any] = {}  # changed inputs' values before the last round
    stats = []
    for number in range(1, rounds + 1):
        reverted = number % REVERT_EVERY == 0 and bool(before_last)
        plan = before_last if reverted else new_values(rng, reactor, changes)
        before_last = {i: reactor.inputs[i] for i in plan}
        s = run_round(reactor, number, plan, reverted, verify)
        stats.append(s)
        label = f"{s.changed} {'back' if reverted else 'new'}"
        print(
            f"{s.round:5}  {label:<10} {s.scheduled:10} {s.recomputed:11} {s.memo_hits:10}"
            f" {s.unchanged:10} {s.ms:8.2f}",
            file=out,
        )

    if stats:
        mean_ms = sum(s.ms for s in stats) / len(stats)
        print(
            f"total: {sum(s.scheduled for s in stats)} scheduled, "
            f"{sum(s.recomputed for s in stats)} recomputed, "
            f"{sum(s.memo_hits for s in stats)} memo hits, "
            f"{sum(s.unchanged for s in stats)} unchanged; {mean_ms:.2f} ms per round",
            file=out,
        )
    print(
        "checked after every round: no dirty nodes"
        + ("; values equal a from-scratch computation" if verify else ""),
        file=out,
    )
    if trace is not None and stats:
        title = f"round {stats[-1].round} of {nodes} nodes, seed {seed}"
        for path in reactor.trace(trace, title):
            print(f"round {stats[-1].round} drawn to {path}", file=out)
    return stats


def at_least(minimum: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        number = int(text)
        if number < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, not {number}")
        return number

    return parse


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m quorl",
        description="Build a random reactive graph and run update rounds through the kernel.",
    )
    parser.add_argument("--nodes", type=at_least(1), default=5000, help="nodes to declare (5000)")
    parser.add_argument("--rounds", type=at_least(0), default=8, help="update rounds (8)")
    parser.add_argument(
        "--changes", type=at_least(1), default=5, help="inputs changed per round (5)"
    )
    parser.add_argument("--seed", type=int, default=0, help="seed of the graph and the changes (0)")
    parser.add_argument(
        "--verify",
        action="store_true",
        help="compare with a from-scratch computation after every round",
    )
    parser.add_argument(
        "--trace",
        metavar="FILE",
        help="draw the last round: Graphviz DOT, plus FILE's .svg when dot is installed"
        " (a FILE ending in .svg gets SVG only)",
    )
    args = parser.parse_args(argv)
    try:
        run(args.nodes, args.rounds, args.changes, args.seed, args.verify, trace=args.trace)
    except ProtocolError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    except (OSError, RuntimeError) as error:  # the trace file could not be written or drawn
        print(f"error: {error}", file=sys.stderr)
        return 1
    return 0
