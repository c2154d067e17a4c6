"""Timing for the benchmarks: the clock that --cpu-clock switches (run.py's
and engine.py's), timed sections with the cyclic collector kept out, per-call
samples from timeit loops, and the medians and spreads of the samples."""

from __future__ import annotations

import gc
import statistics
import time
import timeit

# Wall-clock by default; --cpu-clock switches to this thread's CPU time, which
# leaves out the time other processes hold the core on a busy machine. Read it
# as timing.perf_ns, so that the switch reaches every caller.
perf_ns = time.perf_counter_ns


def use_cpu_clock() -> None:
    global perf_ns
    perf_ns = time.thread_time_ns


class gc_paused:
    """Keep the cyclic collector out of the timed section; collect first when
    asked (cheap once the graph inputs are frozen, see measure_size)."""

    def __init__(self, collect: bool = True) -> None:
        self.collect = collect

    def __enter__(self):
        if self.collect:
            gc.collect()
        gc.disable()

    def __exit__(self, *exc):
        gc.enable()


def time_once_ns(fn) -> int:
    with gc_paused():
        t0 = perf_ns()
        result = fn()
        elapsed = perf_ns() - t0
    del result  # freeing a large result is not part of the operation
    return elapsed


def per_call_ns(calls: dict, repeat: int, target_ns: int) -> dict:
    """Samples of ns per execution of each statement, from timeit loops whose
    names are locals; calls maps a key to (stmt, bindings). The samples of all
    statements are interleaved, so a burst of load hits all of them alike."""
    timers = {}
    for key, (stmt, bindings) in calls.items():
        setup = "; ".join(f"{name} = _bound[{name!r}]" for name in bindings)
        timer = timeit.Timer(stmt, setup=setup, timer=perf_ns, globals={"_bound": bindings})
        number = 1
        while True:
            elapsed = timer.timeit(number)
            if elapsed * 10 >= target_ns or number >= 10_000_000:
                break
            number *= 10
        timers[key] = (timer, max(1, int(number * target_ns / max(elapsed, 1))))
    samples: dict = {key: [] for key in calls}
    for _ in range(repeat):
        for key, (timer, number) in timers.items():
            samples[key].append(timer.timeit(number) / number)
    return samples


class Results:
    """Median and spread of the samples of each measurement."""

    def __init__(self) -> None:
        self.values: dict[tuple, float] = {}
        self.spreads: dict[tuple, float] = {}
        self.samples: dict[tuple, list] = {}  # kept whole for the plots

    def put(self, key: tuple, samples: list) -> None:
        self.samples[key] = list(samples)
        median = statistics.median(samples)
        self.values[key] = median
        if len(samples) >= 4 and median:
            q1, _, q3 = statistics.quantiles(samples, n=4)
            self.spreads[key] = (q3 - q1) / median

    def get(self, key: tuple):
        return self.values.get(key)

    def spread(self, key: tuple) -> str:
        value = self.spreads.get(key)
        return "" if value is None else f"{100 * value:.0f}%"
