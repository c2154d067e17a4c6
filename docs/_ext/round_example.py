"""The round drawn on the "how it works" page, from a real run of the kernel.

An order form as a small spreadsheet. Three update rounds run through the
per-node protocol; the third one puts the price back to its first value and
changes the parcel's weight, which shows every way a scheduled node can end:
a memo hit that brings back an older value (and so counts as a change),
recomputed nodes, two cut-offs, and nodes settled by their signature alone.
"""

from __future__ import annotations

import hashlib

from quorl import Graph, _trace

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


def content_hash(value):
    return int.from_bytes(hashlib.blake2b(repr(value).encode(), digest_size=8).digest(), "little")


def run():
    """Run every round; returns the graph and the last round's record."""
    g = Graph()
    for node_id in INPUTS:
        g.add_node(node_id, "input")
    for node_id, (kind, deps, _fn) in CELLS.items():
        g.add_node(node_id, kind)
        g.set_deps(node_id, list(deps))
    g.build()
    inputs = dict(INPUTS)
    values, memo = {}, {}

    def update(changed):
        outcomes, cut_off = {}, set()
        scheduled = g.mark_dirty(changed)
        for node in scheduled:
            if g.kind_of(node) == "input":
                values[node] = inputs[node]
                g.commit_input(node, content_hash(values[node]))
                outcomes[node] = _trace.INPUT
                continue
            _kind, needs, signature = g.check_node(node)
            if not needs:
                g.skip_node(node, signature)
                outcomes[node] = _trace.SETTLED
                continue
            if (node, signature) in memo:
                value, outcomes[node] = memo[node, signature], _trace.MEMO_HIT
            else:
                _, deps, fn = CELLS[node]
                value = memo[node, signature] = fn(*(values[d] for d in deps))
                outcomes[node] = _trace.RECOMPUTED
            if node in values and values[node] == value:
                g.skip_node(node, signature)  # same value: the change stops here
                cut_off.add(node)
            else:
                values[node] = value
                g.commit_node(node, signature)  # a new epoch: dependants refold
        return scheduled, outcomes, cut_off

    record = update(list(INPUTS))
    for changes in ROUNDS:
        inputs.update(changes)
        record = update(list(changes))
    return g, record, values


def traced_round_dot() -> str:
    g, (scheduled, outcomes, cut_off), _values = run()
    return _trace.round_dot(
        g, scheduled, outcomes, cut_off, title="price back to 100, weight 2 -> 3"
    )
