"""Engines for the tests: over the native round, and over the Python round
driver of the benchmarks (the same API over the per-node protocol)."""

import os
import sys

import pytest
from quorl import Engine, Graph

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "benchmarks"))
from py_round import PyRounds

NATIVE = hasattr(Graph, "begin_round")
ROUNDS = [
    pytest.param("native", marks=pytest.mark.skipif(not NATIVE, reason="no native round")),
    "python",
]


def make_engine(rounds="native", **options):
    engine = Engine(**options)
    if rounds == "python" or not NATIVE:
        engine._begin_round = PyRounds(engine.graph).begin_round
    return engine


def from_scratch(engine):
    """Every value straight from the inputs: no memo, no kernel."""
    fresh = {}
    for node_id in engine.graph.topo_order():
        if engine.kind_of(node_id) == "input":
            fresh[node_id] = engine[node_id]
        else:
            fn = engine._nodes[node_id].fn
            fresh[node_id] = fn(*(fresh[d] for d in engine.deps_of(node_id)))
    return fresh


def values(engine):
    return {node_id: engine.get(node_id) for node_id in engine.graph.node_ids()}
