"""The main job: a random reactive graph driven through update rounds by the engine.

It declares a graph of inputs and node functions on a ``quorl.Engine``,
computes it, then changes a few inputs per round (every third round puts the
previous round's values back, so memo entries come back into use) and prints
what each round did: nodes scheduled, recomputed, served from the memo, left
unchanged, and the time. With ``--executor`` the nodes of a round run on
threads, processes or a Dask cluster, and a second engine in this thread runs
the same rounds for the speed-up column. ``--verify`` compares every value
with a computation from scratch after each round.

``python -m quorl --help`` lists the options.
"""

from __future__ import annotations

import argparse
import contextlib
import random
import sys
import time
from collections import Counter
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Executor, ProcessPoolExecutor, ThreadPoolExecutor
from dataclasses import dataclass
from functools import partial
from typing import Any, TextIO

from quorl import Engine, RoundReport, _trace, kernel_version

KINDS = ("input", "source", "reactive", "view")
KIND_WEIGHTS = (10, 2, 78, 10)  # percent of the declared nodes
INPUT_RANGE = 100  # inputs and readings take values 0..99
TOP = INPUT_RANGE - 1
MEMO_SIZE = 8  # memo entries kept per node
RECENT = 64  # deps mostly come from the last RECENT nodes
REVERT_EVERY = 3  # every third round puts back the previous round's inputs
EXECUTORS = ("serial", "threads", "processes", "dask")


class ProtocolError(RuntimeError):
    """The engine's values disagree with a recomputation, or nodes were left dirty."""


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
    speedup: float | None = None  # the same round in this thread, over this one's time


# --- node functions: most saturate or quantize, so a new result often equals the old one


# Module-level functions bound with partial, so a process pool can pickle them.


def _clamped(low: int, high: int, *xs: int) -> int:
    return min(max(sum(xs), low), high)


def clamped(low: int, high: int) -> Callable[..., int]:
    return partial(_clamped, low, high)


def _stepped(step: int, *xs: int) -> int:
    return sum(xs) // len(xs) // step * step  # the mean, down to a multiple of step


def stepped(step: int) -> Callable[..., int]:
    return partial(_stepped, step)


def _switch(level: int, *xs: int) -> int:
    return TOP if max(xs) >= level else 0


def switch(level: int) -> Callable[..., int]:
    return partial(_switch, level)


def largest(*xs: int) -> int:
    return max(xs)


def smallest(*xs: int) -> int:
    return min(xs)


def parity(*xs: int) -> int:
    return sum(xs) % 2


def wrapped(*xs: int) -> int:
    return sum(xs) % INPUT_RANGE  # the one kind that rarely hides a change


def _reading(value: int) -> int:
    return value


def reading(value: int) -> Callable[[], int]:
    return partial(_reading, value)


def _labelled(label: str, *xs: Any) -> str:
    return f"{label}: " + ", ".join(map(str, xs))


def labelled(label: str) -> Callable[..., str]:
    return partial(_labelled, label)


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


def _sleeping(seconds: float, fn: Callable[..., Any], *xs: Any) -> Any:
    time.sleep(seconds)  # waits without the GIL: I/O stands in for real work
    return fn(*xs)


def with_sleep(specs: list[NodeSpec], ms: float) -> list[NodeSpec]:
    """The same graph, each node function first sleeping ``ms`` milliseconds."""
    if ms <= 0:
        return specs
    return [
        spec
        if spec.fn is None
        else NodeSpec(spec.id, spec.kind, spec.deps, partial(_sleeping, ms / 1000, spec.fn))
        for spec in specs
    ]


# --- running it


def build_engine(
    specs: list[NodeSpec], inputs: dict[str, Any], executor: Executor | None = None
) -> Engine:
    """Declare the graph on an engine (not yet computed)."""
    engine = Engine(executor=executor, memo_size=MEMO_SIZE)
    declare(engine, specs, inputs)
    return engine


def declare(engine: Engine, specs: list[NodeSpec], inputs: dict[str, Any]) -> None:
    """Declare the nodes of ``specs`` on ``engine``, inputs with their values."""
    for spec in specs:
        if spec.kind == "input":
            engine.input(spec.id, inputs[spec.id])
        else:
            assert spec.fn is not None
            engine.node(spec.id, spec.fn, spec.deps, spec.kind)


def recompute_from_scratch(engine: Engine, specs: list[NodeSpec]) -> dict[str, Any]:
    """Every value straight from the inputs, with no memo and no kernel."""
    fresh: dict[str, Any] = {}
    for spec in specs:  # declared deps first, so declaration order will do
        fresh[spec.id] = (
            engine[spec.id] if spec.kind == "input" else spec.compute(fresh[d] for d in spec.deps)
        )
    return fresh


def check(engine: Engine, specs: list[NodeSpec], verify: bool) -> None:
    """Raise ProtocolError on nodes left dirty or, with ``verify``, on stale values."""
    dirty = engine.dirty()
    if dirty:
        raise ProtocolError(f"{len(dirty)} nodes left dirty, first {dirty[0]!r}")
    if verify:
        fresh = recompute_from_scratch(engine, specs)
        wrong = [node_id for node_id, value in fresh.items() if engine.get(node_id) != value]
        if wrong:
            raise ProtocolError(
                f"{len(wrong)} stale values, first {wrong[0]!r}: "
                f"{engine.get(wrong[0])!r}, expected {fresh[wrong[0]]!r}"
            )


def new_values(rng: random.Random, engine: Engine, inputs: list[str], count: int) -> dict[str, int]:
    """``count`` inputs, each given a value different from its current one."""
    chosen = rng.sample(inputs, min(count, len(inputs)))
    return {i: (engine[i] + rng.randrange(1, INPUT_RANGE)) % INPUT_RANGE for i in chosen}


@contextlib.contextmanager
def open_executor(name: str, workers: int) -> Iterator[Executor | None]:
    """The executor named on the command line, shut down on exit."""
    if name == "serial":
        yield None
    elif name == "threads":
        with ThreadPoolExecutor(workers) as pool:
            yield pool
    elif name == "processes":
        with ProcessPoolExecutor(workers) as pool:
            yield pool
    elif name == "dask":
        try:
            from dask.distributed import Client, LocalCluster
        except ImportError as exc:
            raise ProtocolError(
                "--executor dask needs dask.distributed: pip install 'quorl[dask]'"
            ) from exc
        with (
            LocalCluster(  # type: ignore[no-untyped-call]
                n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
            ) as cluster,
            Client(cluster) as client,  # type: ignore[no-untyped-call]
        ):
            yield client.get_executor()
    else:
        raise ValueError(f"unknown executor {name!r} (expected {', '.join(EXECUTORS)})")


def run(
    nodes: int = 5000,
    rounds: int = 8,
    changes: int = 5,
    seed: int = 0,
    verify: bool = False,
    out: TextIO | None = None,
    executor: str = "serial",
    workers: int = 4,
    sleep_ms: float = 0.0,
    trace: str | None = None,
    save: str | None = None,
    load: str | None = None,
) -> list[RoundStats]:
    """Declare, build and compute a graph, run the update rounds, report on ``out``.

    ``trace`` draws the last round to that file (see quorl._trace.write_round).
    With ``load`` the engine starts warm from that file (saved by a run of the
    same graph), its inputs given the graph's first values; with ``save`` it
    is saved after the last round.
    """
    out = sys.stdout if out is None else out
    if trace is not None and executor not in ("serial", "threads"):
        raise ValueError("--trace needs the node functions in this process: serial or threads")
    specs, inputs = generate(nodes, seed)
    specs = with_sleep(specs, sleep_ms)
    with open_executor(executor, workers) as pool:
        how = "in this thread" if pool is None else f"on {executor}, {workers} workers"
        engine, twin = start(specs, inputs, pool, load, verify, out, f"seed {seed}, {how}")
        stats, last = run_rounds(
            engine, twin, specs, sorted(inputs), rounds, changes, seed, verify, trace, out
        )
        if save is not None:
            started = time.perf_counter()
            engine.save(save)
            saved_ms = (time.perf_counter() - started) * 1000
            print(f"saved to {save} in {saved_ms:.1f} ms", file=out)
    summarise(stats, verify, out)
    if trace is not None and last is not None:
        title = f"round {stats[-1].round} of {nodes} nodes, seed {seed}"
        for path in draw_round(trace, engine, last, title):
            print(f"round {stats[-1].round} drawn to {path}", file=out)
    return stats


def start(
    specs: list[NodeSpec],
    inputs: dict[str, int],
    pool: Executor | None,
    load: str | None,
    verify: bool,
    out: TextIO,
    where: str,
) -> tuple[Engine, Engine | None]:
    """Declare the graph (or load it) and compute it; print what that took.

    With an executor, a twin engine in this thread runs the same rounds for
    the speed-up column: it is the second engine returned.
    """

    def declared(executor: Executor | None) -> Engine:
        if load is None:
            return build_engine(specs, inputs, executor)
        return Engine.load(
            load,
            partial(declare, specs=specs, inputs=inputs),
            executor=executor,
            memo_size=MEMO_SIZE,
        )

    started = time.perf_counter()
    engine = declared(pool)
    twin = None if pool is None else declared(None)
    build_ms = (time.perf_counter() - started) * 1000
    started = time.perf_counter()
    warm = engine.set()
    initial_ms = (time.perf_counter() - started) * 1000
    if twin is not None:
        twin.set()
    check(engine, specs, verify)

    kinds = Counter(spec.kind for spec in specs)
    print(
        f"quorl kernel {kernel_version()}: {len(specs)} nodes ("
        + ", ".join(f"{kinds[kind]} {kind}" for kind in KINDS)
        + f"), {sum(len(spec.deps) for spec in specs)} deps, {where}",
        file=out,
    )
    if load is None:
        print(f"declare {build_ms:.1f} ms, first computation {initial_ms:.1f} ms", file=out)
    else:
        print(
            f"declare and load {build_ms:.1f} ms, warm start {initial_ms:.1f} ms: "
            f"{warm.scheduled} scheduled, {warm.recomputed} recomputed, "
            f"{warm.memo_hits} memo hits, {warm.unchanged} unchanged",
            file=out,
        )
    return engine, twin


def run_rounds(
    engine: Engine,
    twin: Engine | None,
    specs: list[NodeSpec],
    input_ids: list[str],
    rounds: int,
    changes: int,
    seed: int,
    verify: bool,
    trace: str | None,
    out: TextIO,
) -> tuple[list[RoundStats], RoundReport | None]:
    """Run the update rounds, printing a line for each; returns their stats
    and, with ``trace``, the last round's report (run with explain)."""
    print(
        "round  inputs       scheduled  recomputed  memo hits  unchanged       ms"
        + ("" if twin is None else "  speed-up"),
        file=out,
    )
    rng = random.Random(seed + 1)
    before_last: dict[str, Any] = {}  # changed inputs' values before the last round
    stats = []
    last = None
    for number in range(1, rounds + 1):
        reverted = number % REVERT_EVERY == 0 and bool(before_last)
        plan = before_last if reverted else new_values(rng, engine, input_ids, changes)
        before_last = {i: engine[i] for i in plan}
        explain = trace is not None and number == rounds
        report = engine.set(plan, explain=explain)
        if explain:
            last = report
        speedup = None
        if twin is not None:
            twin_report = twin.set(plan)
            speedup = twin_report.seconds / report.seconds
        dirty_after = len(engine.dirty())
        check(engine, specs, verify)
        s = RoundStats(
            number,
            reverted,
            len(plan),
            report.scheduled,
            report.recomputed,
            report.memo_hits,
            report.unchanged,
            report.seconds * 1000,
            dirty_after,
            verify,
            speedup,
        )
        stats.append(s)
        label = f"{s.changed} {'back' if reverted else 'new'}"
        print(
            f"{s.round:5}  {label:<10} {s.scheduled:10} {s.recomputed:11} {s.memo_hits:10}"
            f" {s.unchanged:10} {s.ms:8.2f}" + ("" if speedup is None else f"  {speedup:7.2f}x"),
            file=out,
        )
    return stats, last


def summarise(stats: list[RoundStats], verify: bool, out: TextIO) -> None:
    """The totals of the rounds, and what was checked after each."""
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


def draw_round(path: str, engine: Engine, report: RoundReport, title: str) -> list[str]:
    """Draw a round run with ``explain=True`` to ``path``; returns the paths written."""
    assert report.outcomes is not None
    outcomes, cut_off = _trace.split_outcomes(report.outcomes)
    dot = _trace.round_dot(engine.graph, list(report.outcomes), outcomes, cut_off, title)
    return _trace.write_round(path, dot)


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
        description="Build a random reactive graph and run update rounds through the engine.",
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
        "--executor",
        choices=EXECUTORS,
        default="serial",
        help="where node functions run (serial: this thread; dask needs quorl[dask])",
    )
    parser.add_argument(
        "--workers", type=at_least(1), default=4, help="threads, processes or Dask workers (4)"
    )
    parser.add_argument(
        "--sleep-ms",
        type=float,
        default=0.0,
        help="each node function first sleeps this long, standing in for I/O (0)",
    )
    parser.add_argument(
        "--trace",
        metavar="FILE",
        help="draw the last round: Graphviz DOT, plus FILE's .svg when dot is installed"
        " (a FILE ending in .svg gets SVG only; serial or threads executor)",
    )
    parser.add_argument(
        "--save", metavar="PATH", help="save the engine to PATH after the last round"
    )
    parser.add_argument(
        "--load",
        metavar="PATH",
        help="start warm from PATH (saved by --save with the same --nodes and --seed)",
    )
    args = parser.parse_args(argv)
    try:
        run(
            args.nodes,
            args.rounds,
            args.changes,
            args.seed,
            args.verify,
            executor=args.executor,
            workers=args.workers,
            sleep_ms=args.sleep_ms,
            trace=args.trace,
            save=args.save,
            load=args.load,
        )
    except (OSError, ValueError) as error:
        # a missing, damaged or foreign file, or a trace that cannot be written
        if args.load is None and args.save is None and args.trace is None:
            raise
        print(f"error: {error}", file=sys.stderr)
        return 1
    except ProtocolError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    except RuntimeError as error:  # dot could not draw the trace
        if args.trace is None:
            raise
        print(f"error: {error}", file=sys.stderr)
        return 1
    return 0
