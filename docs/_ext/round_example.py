"""The round drawn on the "how it works" page, from a real run of the engine.

An order form as a small spreadsheet. Three update rounds run through
``Engine.set(..., explain=True)``; the third one puts the price back to its
first value and changes the parcel's weight, which shows every way a
scheduled node can end: a memo hit that brings back an older value (and so
counts as a change), recomputed nodes, two cut-offs, and nodes settled by
their signature alone.
"""

from __future__ import annotations

from quorl import Engine, _trace

INPUTS = {"price": 100, "qty": 3, "rate": 20, "coupon": "none", "weight": 2}
CELLS = {  # id: (kind, deps, function of the deps' values)
    "subtotal": ("reactive", ("price", "qty"), lambda price, qty: price * qty),
    "discount": ("reactive", ("coupon",), lambda coupon: 10 if coupon == "SAVE10" else 0),
    "net": ("reactive", ("subtotal", "discount"), lambda subtotal, discount: subtotal - discount),
    "tax": ("reactive", ("net", "rate"), lambda net, rate: net * rate // 100),
    "total": ("reactive", ("net", "tax"), lambda net, tax: net + tax),
    "band": ("reactive", ("total",), lambda total: "large" if total >= 300 else "small"),
    "shipping": ("reactive", ("weight",), lambda weight: 0 if weight > 20 else 5),
    "invoice": (
        "view",
        ("total", "tax", "shipping"),
        lambda *xs: "total {}, tax {}, shipping {}".format(*xs),
    ),
    "badge": ("view", ("band",), lambda band: f"[{band} order]"),
}
ROUNDS = [{"price": 120}, {"price": 100, "weight": 3}]  # after the first computation


def run():
    """Run every round; returns the graph, the last round's record (its
    schedule, each node's outcome, the nodes cut off) and the values."""
    engine = Engine()
    for node_id, value in INPUTS.items():
        engine.input(node_id, value)
    for node_id, (kind, deps, fn) in CELLS.items():
        engine.node(node_id, fn, deps, kind)
    report = engine.set(explain=True)
    for changes in ROUNDS:
        report = engine.set(changes, explain=True)
    outcomes, cut_off = _trace.split_outcomes(report.outcomes)
    values = {node_id: engine[node_id] for node_id in engine.graph.node_ids()}
    return engine.graph, (list(report.outcomes), outcomes, cut_off), values


def traced_round_dot() -> str:
    g, (scheduled, outcomes, cut_off), _values = run()
    return _trace.round_dot(
        g, scheduled, outcomes, cut_off, title="price back to 100, weight 2 -> 3"
    )
