"""Engines for the tests and the engine benchmarks: over the native round,
and over the round's Python model (the same API over the per-node protocol)."""

from quorl import Engine
from round_model import PyRounds

ROUNDS = ["native", "python"]


def make_engine(rounds="native", **options):
    engine = Engine(**options)
    if rounds == "python":
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
