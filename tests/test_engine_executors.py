"""The engine on executors: threads, processes and a Dask cluster give the
values a round in one thread gives; failures in a parallel batch."""

import multiprocessing
import os
import random
import threading
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from functools import partial

import pytest
from engine_support import ROUNDS, from_scratch, make_engine, values

needs_processes = pytest.mark.skipif(
    not {"fork", "spawn", "forkserver"} & set(multiprocessing.get_all_start_methods()),
    reason="no way to start worker processes",
)


def mix(step, *xs):
    return sum(xs) // step % 11


def fail_on(bad, x):
    if x == bad:
        raise ArithmeticError(f"no {bad}")
    return x


def exit_once(marker, x):
    """Kills its worker process the first time it runs, then computes."""
    if not os.path.exists(marker):
        open(marker, "w").close()
        os._exit(1)
    return x * 10


def bounded(call, timeout=60):
    """``call()`` in a thread, failing the test rather than hanging it."""
    outcome = {}

    def run():
        try:
            outcome["value"] = call()
        except BaseException as error:  # handed to the test's thread
            outcome["error"] = error

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(timeout)
    if thread.is_alive():
        pytest.fail(f"no answer in {timeout} s")
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


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


def broken_pool_engine(executor, marker, workers=None):
    """i -> boom -> after, with siblings of boom, one of them on the same layer."""
    engine = make_engine(executor=executor, workers=workers)
    engine.input("i", 1)
    engine.input("j", 2)
    engine.node("boom", partial(exit_once, str(marker)), ["i"])
    engine.node("after", partial(mix, 1), ["boom", "j"])
    engine.node("side", partial(mix, 2), ["j"])
    engine.node("below", partial(mix, 3), ["side", "after"])
    return engine


def round_with_a_dying_worker(engine):
    with pytest.raises(BrokenProcessPool) as info:
        bounded(engine.set)
    notes = " ".join(info.value.__notes__)
    assert "the executor, which broke while computing quorl node" in notes
    assert "'boom'" in notes
    report = engine.last_report
    dirty = engine.dirty()
    assert "boom" in report.failed and {"boom", "after", "below"} <= set(dirty)
    assert len(dirty) == len(report.failed) + report.left_dirty
    return dirty


@needs_processes
def test_a_pool_the_engine_made_is_replaced_when_a_worker_dies(tmp_path):
    engine = broken_pool_engine("process", tmp_path / "died", workers=2)
    broken = engine.executor
    dirty = round_with_a_dying_worker(engine)
    report = bounded(engine.set)
    assert engine.executor is not broken and isinstance(engine.executor, ProcessPoolExecutor)
    assert broken._shutdown_thread  # the engine shut its broken pool down
    # Exactly what round 1 left dirty is computed, once each, on the new pool.
    assert report.scheduled == report.recomputed == len(dirty)
    assert (report.failed, engine.dirty()) == ((), [])
    assert values(engine) == from_scratch(engine)
    pool = engine.executor
    engine.close()
    with pytest.raises(RuntimeError, match="after shutdown"):
        pool.submit(abs, 1)
    assert engine.executor is None
    engine.set({"j": 5})  # in this thread now
    assert values(engine) == from_scratch(engine)


@needs_processes
def test_a_broken_pool_of_the_caller_is_replaced_by_the_caller(tmp_path):
    with ProcessPoolExecutor(2) as pool, ProcessPoolExecutor(2) as fresh:
        engine = broken_pool_engine(pool, tmp_path / "died")
        dirty = round_with_a_dying_worker(engine)
        with pytest.raises(RuntimeError, match=r"broke in an earlier round.*Engine\.executor ="):
            engine.set()
        assert engine.dirty() == dirty  # refused before anything changed
        engine.executor = fresh
        report = bounded(engine.set)
        assert report.scheduled == report.recomputed == len(dirty)
        assert values(engine) == from_scratch(engine)
        assert not fresh._shutdown_thread  # the caller's pools stay the caller's
        engine.executor = None
        assert bounded(lambda: fresh.submit(abs, -3).result(timeout=30)) == 3


def test_an_executor_set_later_is_checked_before_it_is_used():
    engine = make_engine()
    engine.input("i", 1)
    engine.node("local", lambda i: i + 1, ["i"])
    with ProcessPoolExecutor(1) as unstarted:
        for executor in ("process", unstarted):
            with pytest.raises(TypeError, match="'local' cannot be pickled"):
                engine.executor = executor
            assert engine.executor is None  # no pool was made, none kept
    with pytest.raises(ValueError, match="workers sizes a pool the engine makes"):
        make_engine(workers=2)
    with ThreadPoolExecutor(2) as pool:
        engine.executor = pool
        engine.set()
        engine.executor = "threads"
    engine.executor = engine.executor  # no change: the engine's pool stays open
    engine.set({"i": 1})
    assert (engine["local"], repr(engine)) == (
        2,
        "<quorl.Engine nodes=2 executor=ThreadPoolExecutor>",
    )
    engine.close()


def test_a_function_raising_broken_pool_itself_leaves_the_executor_in_use():
    raised = []

    def inner_pool_failed(i):
        if not raised:
            raised.append(i)
            raise BrokenProcessPool("a pool of its own")
        return i

    with ThreadPoolExecutor(2) as pool:
        engine = make_engine(executor=pool)
        engine.input("i", 1)
        engine.node("n", inner_pool_failed, ["i"])
        with pytest.raises(BrokenProcessPool) as info:
            engine.set()
        assert info.value.__notes__ == ["raised by the function of quorl node 'n'"]
        engine.set()
        assert (engine["n"], engine.executor) == (1, pool)
