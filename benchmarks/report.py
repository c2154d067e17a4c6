"""The kernel's tables: one per graph size, the kernel-driven rounds, and the
closing targets section with each target's measured ratio."""

from __future__ import annotations

from memory import SESSION
from targets import KERNEL, Target
from timing import Results
from workloads import MILLION, SEED, networkx, rustworkx

WIDTH = 56
MISSING = {
    "networkx": "networkx not installed: skipped (pip install networkx)",
    "rustworkx": "rustworkx not installed: skipped (pip install rustworkx)",
}
INSTALLED = {"networkx": networkx is not None, "rustworkx": rustworkx is not None}
QUORL_AND_PURE = [("quorl", "quorl"), ("pure Python", "pure")]
# Structural edits: result key (its target: "edit: KEY / build"), row label.
EDIT_ROWS = (
    ("earlier", "set_deps adding a dep placed earlier + build()"),
    ("append", "add_node + set_deps (3 deps) + build()"),
    ("forward", "set_deps adding a forward reference, random nodes + build()"),
    ("would_cycle", "would_cycle(id, deps), id with ~10 nodes downstream"),
)


def fmt_time(ns) -> str:
    if ns is None:
        return "-"
    if ns < 1_000:
        return f"{ns:.0f} ns" if ns >= 100 else f"{ns:.1f} ns"
    for unit, scale in (("us", 1e3), ("ms", 1e6), ("s", 1e9)):
        value = ns / scale
        if value < 1000 or unit == "s":
            return f"{value:.3g} {unit}" if value < 100 else f"{value:.0f} {unit}"
    return f"{ns:.0f} ns"


def fmt_ratio(base, quorl) -> str:
    if base is None or not quorl:
        return ""
    return f"{base / quorl:.2f}"


def row(label: str, shown: str, spread: str, ratio: str) -> None:
    print(f"  {label:<{WIDTH - 2}} {shown:>10} {spread:>7} {ratio:>11}")


# --------------------------------------------------------------------------- one size


def size_groups(n: int, info: dict) -> list[tuple[str, list, str]]:
    """The timed groups of one size's table, in order: (title, rows, operation),
    a row being (label, impl)."""
    count, total, low, high = info["update"]
    probe_id, below = info["probe"]
    reference = (
        [(f"quorl at n={info['reference']:,}, same closure size, same batch", "reference")]
        if "reference" in info
        else []
    )
    groups = [
        ("declaration: add_node + set_deps for every node", QUORL_AND_PURE, "decl"),
        (
            "build: dependents, smallest-index topological order",
            [
                ("quorl build()", "quorl"),
                ("pure Python build()", "pure"),
                ("graphlib TopologicalSorter(preds).static_order()", "graphlib"),
                ("networkx lexicographical_topological_sort", "networkx"),
                ("rustworkx topological_sort", "rustworkx topo"),
                ("rustworkx lexicographical_topological_sort(key=str)", "rustworkx lex"),
            ],
            "build",
        ),
        ("topo_order(): all ids in order", QUORL_AND_PURE, "topo"),
        (
            f"update round, per scheduled node ({count} inputs: {total:,} scheduled, {low} to {high} each)",
            QUORL_AND_PURE,
            "update",
        ),
        (
            f"downstream(id), {below} nodes downstream of {probe_id}",
            [
                ("quorl downstream", "quorl"),
                ("pure Python downstream", "pure"),
                ("networkx descendants (unordered set)", "networkx"),
                ("rustworkx descendants (unordered set)", "rustworkx"),
                *reference,
            ],
            "downstream",
        ),
        (
            "dirty_subgraph([id]), same node",
            [*QUORL_AND_PURE, *reference],
            "dirty_subgraph",
        ),
        (
            "a round seeded at the same node, its deps unchanged: one node handed out, per round",
            [("quorl begin_round + iteration + done", "quorl"), *reference],
            "small round",
        ),
    ]
    hot_id, hot_deps = info["hot"]
    for op, what in (
        ("state_of", "state_of(id)"),
        ("check_node", f"check_node(id), {hot_id} with {hot_deps} deps"),
        ("needs_recompute", "needs_recompute(id, h)"),
        ("commit_node", "commit_node(id, s)"),
    ):
        rows = [
            ("quorl", "quorl"),
            ("dict.get on {id: index}", "dict.get"),
            ("pure Python", "pure"),
        ]
        groups.append((f"{what}, per call", rows, op))
    if "round" in info:
        r = info["round"]
        groups.append(
            (
                f"round from {r['source']}: {r['closure']:,} nodes scheduled "
                f"({100 * r['closure'] / n:.0f}%), {r['handed']} handed out; per scheduled node",
                [
                    ("quorl begin_round + iteration + done", "quorl"),
                    ("per-node protocol: mark_dirty, check_node + skip_node", "per-node"),
                    ("pure Python over graphlib TopologicalSorter", "graphlib"),
                    ("quorl mark_dirty alone, same seed", "mark_dirty"),
                ],
                "round",
            )
        )
    crafted = f"{info['crafted']:,} ids of 48 bytes"
    crafted_rows = [("quorl, crafted ids", "quorl"), ("quorl, random ids", "random")]
    groups += [
        (
            f"declaration of {crafted}: crafted to collide under an unkeyed hash, and random",
            crafted_rows,
            "crafted decl",
        ),
        ("state_of(id) on the last of them, per call", crafted_rows, "crafted lookup"),
    ]
    return groups


def print_group(n: int, res: Results, title: str, rows: list, op: str) -> None:
    print(title)
    quorl = res.get((n, op, "quorl"))
    for label, impl in rows:
        library = impl.split()[0]  # the impl of another library's row starts with its name
        if not INSTALLED.get(library, True):
            print(f"  {label:<{WIDTH - 2}} {MISSING[library]}")
            continue
        value = res.get((n, op, impl))
        ratio = "1.00" if impl == "quorl" else fmt_ratio(value, quorl)
        row(label, fmt_time(value), res.spread((n, op, impl)), ratio)


def print_size_table(n: int, info: dict, res: Results, memory: dict) -> None:
    print()
    print(
        f"n = {n:,} nodes, {info['edges']:,} deps ({info['edges'] / n:.2f} per node), seed {SEED}"
    )
    print(
        f"{'operation / implementation':<{WIDTH}} {'median':>10} {'spread':>7} {'base/quorl':>11}"
    )
    print("-" * (WIDTH + 30))
    # The hot calls' groups compare with the one dict.get row measured.
    for table in (res.values, res.spreads):
        if (n, "hot", "dict.get") in table:
            for op in ("state_of", "check_node", "needs_recompute", "commit_node"):
                table[n, op, "dict.get"] = table[n, "hot", "dict.get"]
    for title, rows, op in size_groups(n, info):
        print_group(n, res, title, rows, op)
    print_snapshot_rows(n, info, res, memory)
    print("structural edits of the built graph; ratio = full build() / edit (above 100: 1/100)")
    full = res.get((n, "build", "quorl"))
    for key, label in EDIT_ROWS:
        value = res.get((n, "edit", key))
        row(label, fmt_time(value), res.spread((n, "edit", key)), fmt_ratio(full, value))
    if n in memory:
        print_memory_rows(memory[n])


def print_snapshot_rows(n: int, info: dict, res: Results, memory: dict) -> None:
    print("snapshot of the built graph, against build() of the same graph")
    built = res.get((n, "snapshot", "build"))
    for op, label in (
        ("build", "quorl build()"),
        ("to_bytes", "quorl to_bytes()"),
        ("from_bytes", "quorl Graph.from_bytes()"),
    ):
        value = res.get((n, "snapshot", op))
        times = "-" if value is None or not built else f"{value / built:.2f}x"
        row(label, fmt_time(value), res.spread((n, "snapshot", op)), times)
    per_node = info["snapshot_bytes"] / n
    in_memory = memory.get(n, {}).get("quorl")
    versus = "" if in_memory is None else f" ({per_node / in_memory:.2f}x the in-memory size)"
    print(f"  {'snapshot size, bytes per node':<{WIDTH - 2}} {per_node:>9.1f} B{versus}")


def print_memory_rows(values: dict) -> None:
    print("memory: RSS growth over declaration + build, bytes per node")
    for label, impl in (
        ("quorl", "quorl"),
        (f"quorl after as many nodes came and went, {SESSION} at a time", "churned"),
        ("pure Python", "pure"),
        ("networkx DiGraph (nodes + edges)", "networkx"),
        ("rustworkx PyDiGraph (nodes + edges)", "rustworkx"),
    ):
        if impl not in values:
            continue
        value = values[impl]
        shown = "-" if value is None else f"{value:.0f} B"
        ratio = "1.00" if impl == "quorl" else fmt_ratio(value, values.get("quorl"))
        row(label, shown, "", ratio)


# --------------------------------------------------------------------------- rounds and targets


def print_kernel_rounds(res: Results, main_job: dict) -> None:
    print()
    print("kernel-driven rounds, per call or per round")
    for label, key, impl in (
        ("ready() + done(), per node handed out", "ready_done", "quorl"),
        ("dict.get, per call", "ready_done", "dict.get"),
        (
            f"main job round 1 ({main_job['scheduled']} scheduled, {main_job['handed']} "
            "handed out) through a Round",
            "main_job",
            "quorl",
        ),
        ("the same decisions through the per-node protocol", "main_job", "per-node"),
    ):
        print(
            f"  {label:<78} {fmt_time(res.get((0, key, impl))):>10} {res.spread((0, key, impl)):>7}"
        )


def target_line(label: str, value, target: Target, note: str = "") -> str:
    if value is None:
        return f"  [skip] {label}: not measured{note}"
    verdict = "pass" if target.met(value) else "FAIL"
    return f"  [{verdict}] {label}: {value:.2f} (target {target.sign} {target.limit}){note}"


def target_lines(sizes: list[int], res: Results, memory: dict, snapshot_sizes: dict) -> list[str]:
    """Every kernel target's line: its ratio, taken at the largest size (the
    kernel-driven rounds at size 0), against its limit."""
    big, small = max(sizes), min(sizes)
    at = f"at n={big:,}"
    million = "" if big >= MILLION else f" (target is at 10^6; measured {at}, run with --million)"
    lines = []

    def ratio(label, a, b, name, note=""):
        value = None if a is None or b is None or not b else a / b
        lines.append(target_line(label, value, KERNEL[name], note))

    def get(op, impl, size=big):
        return res.get((size, op, impl))

    q_build = get("build", "quorl")
    ratio(
        "build(): rustworkx topological_sort / quorl build()",
        get("build", "rustworkx topo"),
        q_build,
        "build / rustworkx topological_sort",
        million,
    )
    ratio(
        "build(): networkx lexicographical_topological_sort / quorl build()",
        get("build", "networkx"),
        q_build,
        "build / networkx lexicographical_topological_sort",
        million,
    )
    ratio(
        f"update round per scheduled node: pure Python / quorl {at}",
        get("update", "pure"),
        get("update", "quorl"),
        "update round: pure Python / quorl",
    )
    for op in ("state_of", "needs_recompute", "commit_node", "check_node"):
        ratio(f"{op} / dict.get {at}", get(op, "quorl"), get("hot", "dict.get"), f"{op} / dict.get")
    if big > small:
        note = (
            ""
            if big >= MILLION and small <= 1000
            else f" (target compares 10^6 with 10^3; measured n={big:,} vs n={small:,}, run with --million)"
        )
        for op in ("downstream", "dirty_subgraph", "small round"):
            label = f"{op} of a ~10-node closure: n={big:,} / n={small:,}"
            ratio(label, get(op, "quorl"), get(op, "reference"), "propagation: 10^6 / 10^3", note)
    else:
        lines.append("  [skip] propagation at two sizes: only one size ran")
    m = max(memory, default=None)
    if m is not None:
        at_m = (
            "" if m >= MILLION else f" (target is at 10^6; measured at n={m:,}, run with --million)"
        )
        label = f"memory, bytes per node, quorl at n={m:,}"
        ratio(label, memory[m].get("quorl"), 1, "memory, bytes per node", at_m)  # a figure
        ratio(
            f"graph bytes per live node after churn / fresh at n={m:,}",
            memory[m].get("churned / fresh"),
            1,
            "memory: churned / fresh",
            "" if m >= 100_000 else f" (target is at 10^5; measured at n={m:,})",
        )
    for op in ("to_bytes", "from_bytes"):
        label = f"snapshot: {op} / build() {at}"
        ratio(
            label, get("snapshot", op), get("snapshot", "build"), f"snapshot: {op} / build", million
        )
    if m is not None:
        ratio(
            f"snapshot bytes per node / in-memory bytes per node at n={m:,}",
            snapshot_sizes.get(m),
            memory[m].get("quorl"),
            "snapshot bytes / in-memory bytes",
            at_m,
        )
    ratio(
        f"declaration: pure Python / quorl {at}",
        get("decl", "pure"),
        get("decl", "quorl"),
        "declaration: pure Python / quorl",
    )
    for label, impl in (
        ("per-node protocol / Round", "per-node"),
        ("graphlib driver / Round", "graphlib"),
        ("mark_dirty / Round", "mark_dirty"),
    ):
        ratio(
            f"round with a ~10% closure: {label} {at}",
            get("round", impl),
            get("round", "quorl"),
            f"round: {label}",
            million,
        )
    ratio(
        "ready() + done() per node handed out / dict.get",
        get("ready_done", "quorl", 0),
        get("ready_done", "dict.get", 0),
        "ready + done / dict.get",
    )
    ratio(
        "main job's first round, decisions replayed: Round / per-node protocol",
        get("main_job", "quorl", 0),
        get("main_job", "per-node", 0),
        "main job round: Round / per-node protocol",
    )
    for op, what in (("crafted decl", "declaration"), ("crafted lookup", "lookup")):
        label = f"ids crafted against an unkeyed hash / random ids, {what} {at}"
        ratio(label, get(op, "quorl"), get(op, "random"), "crafted ids / random ids")
    for key, label in EDIT_ROWS:
        ratio(f"{label} / full build() {at}", get("edit", key), q_build, f"edit: {key} / build")
    return lines


def print_targets(
    sizes: list[int], res: Results, memory: dict, snapshot_sizes: dict[int, float]
) -> None:
    print()
    print("targets (ratios measured side by side in this run)")
    print("\n".join(target_lines(sizes, res, memory, snapshot_sizes)))
