"""The benchmarks compare like with like: on a benchmark graph, quorl and the
pure-Python baseline give what the model gives, and the other libraries'
orders and descendants are the ones quorl computes."""

import importlib.util
import random
from pathlib import Path

import pytest
from model import Model
from quorl._quorl import Graph

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"


def load(name):
    """A benchmark module that imports none of its neighbours, loaded by its
    path: benchmarks/ stays off the suite's import path."""
    spec = importlib.util.spec_from_file_location(f"benchmarks_{name}", BENCHMARKS / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


bench = load("workloads")
PyGraph = load("pure_python").PyGraph

DAG = bench.Dag.random(1000)


@pytest.fixture(scope="module")
def expected():
    return bench.scenario(Model, DAG)


@pytest.mark.parametrize("impl", [Graph, PyGraph], ids=["quorl", "pure_python"])
def test_implementation_matches_the_model(impl, expected):
    assert len(expected) > 1500  # the scenario ran to its end
    assert bench.differences(bench.scenario(impl, DAG), expected) == []


@pytest.fixture(scope="module")
def built():
    g = bench.declare(Graph, DAG)
    g.build()
    return g


def test_networkx_agrees(built):
    networkx = pytest.importorskip("networkx")
    nx_graph = bench.networkx_graph(DAG)
    order = built.topo_order()
    assert order == [DAG.ids[i] for i in networkx.lexicographical_topological_sort(nx_graph)]
    position = {node_id: k for k, node_id in enumerate(order)}
    for node_id in random.Random(bench.SEED + 1).sample(DAG.ids, 200):
        descendants = networkx.descendants(nx_graph, int(node_id[1:]))
        assert built.downstream(node_id) == sorted(
            (DAG.ids[i] for i in descendants), key=position.get
        )


def test_rustworkx_agrees(built):
    rustworkx = pytest.importorskip("rustworkx")
    order = rustworkx.lexicographical_topological_sort(bench.rustworkx_graph(DAG), key=str)
    assert built.topo_order() == [DAG.ids[int(s)] for s in order]
