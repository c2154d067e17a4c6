"""The engine on executors: threads, processes and a Dask cluster give the
values a round in one thread gives; failures in a parallel batch."""

import random
import threading
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from functools import partial

import pytest
from engine_support import ROUNDS, from_scratch, make_engine, values


def mix(step, *xs):
    return sum(xs) // step % 11


def fail_on(bad, x):
    if x == bad:
        raise ArithmeticError(f"no {bad}")
    return x


def wide_graph(rounds, executor, seed=0, count=80):
    """Inputs, then layers of nodes over random earlier nodes: wide batches."""
    rng = random.Random(seed)
    engine = make_engine(rounds, executor=executor, memo_size=2)
    ids = []
    for index in range(count):
        node_id = f"n{index}"
        if index < 8:
            engine.input(node_id, rng.randrange(10))
        else:
            deps = rng.sample(ids, rng.randint(1, 3))
            engine.node(node_id, partial(mix, rng.randrange(1, 4)), deps)
        ids.append(node_id)
    return engine


def run_rounds(engine, seed=1, count=6):
    rng = random.Random(seed)
    history = []
    engine.set()
    history.append(values(engine))
    for _ in range(count):
        engine.set({f"n{i}": rng.randrange(5) for i in rng.sample(range(8), 3)})
        history.append(values(engine))
        assert values(engine) == from_scratch(engine)
    return history


@pytest.fixture(scope="module")
def serial_history():
    return run_rounds(wide_graph("python", None))


@pytest.mark.parametrize("rounds", ROUNDS)
@pytest.mark.parametrize("workers", [1, 4])
def test_threads_give_the_values_of_one_thread(rounds, workers, serial_history):
    with ThreadPoolExecutor(workers) as pool:
        assert run_rounds(wide_graph(rounds, pool)) == serial_history


def test_processes_give_the_values_of_one_thread(serial_history):
    with ProcessPoolExecutor(2) as pool:
        engine = wide_graph("native", pool)
        assert run_rounds(engine) == serial_history
        with pytest.raises(TypeError, match=r"'late' cannot be pickled.*define it at module level"):
            engine.node("late", lambda x: x, ["n0"])
        assert "late" not in engine


def test_a_failure_in_the_middle_of_a_parallel_batch():
    started = threading.Barrier(3)
    finished = []

    def slow(tag, x):
        started.wait(timeout=10)  # all three run at once: the failure is mid-batch
        time.sleep(0.05)
        finished.append(tag)
        if tag == "bad":
            raise ArithmeticError("mid-batch")
        return (tag, x)

    with ThreadPoolExecutor(3) as pool:
        engine = make_engine(executor=pool)
        engine.input("i", 1)
        for tag in ("left", "bad", "right"):
            engine.node(tag, partial(slow, tag), ["i"])
        engine.node("after_bad", lambda b: b, ["bad"])
        engine.node("after_left", lambda a: a, ["left"], kind="view")
        with pytest.raises(ArithmeticError, match="mid-batch") as info:
            engine.set()
    assert "quorl node 'bad'" in info.value.__notes__[0]
    assert sorted(finished) == ["bad", "left", "right"]  # the running nodes finished
    assert (engine["left"], engine["right"], engine["after_left"]) == (
        ("left", 1),
        ("right", 1),
        ("left", 1),
    )
    assert engine.dirty() == ["bad", "after_bad"]
    assert engine.last_report.failed == ("bad",)


def test_failures_in_a_process_name_their_node():
    with ProcessPoolExecutor(2) as pool:
        engine = make_engine(executor=pool)
        engine.input("i", 3)
        engine.node("ok", partial(fail_on, 0), ["i"])
        engine.node("bad", partial(fail_on, 3), ["i"])
        with pytest.raises(ArithmeticError, match="no 3") as info:
            engine.set()
        assert "quorl node 'bad'" in info.value.__notes__[0]
        assert (engine["ok"], engine.dirty()) == (3, ["bad"])
        engine.set({"i": 4})
        assert (engine["ok"], engine["bad"], engine.dirty()) == (4, 4, [])


def test_a_dask_cluster_gives_the_values_of_one_thread(serial_history):
    distributed = pytest.importorskip("dask.distributed")
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        engine = wide_graph("native", client.get_executor())
        assert run_rounds(engine, count=3) == serial_history[:4]
