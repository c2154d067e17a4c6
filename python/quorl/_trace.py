"""Draw one update round as a Graphviz diagram.

A round run with ``explain=True`` reports what happened to each of its
nodes (``RoundReport.outcomes``), ``split_outcomes`` parts that report into
the outcomes and the nodes cut off, and ``round_dot`` turns them into DOT: the round's scheduled nodes, the
deps they read (in grey when the round did not schedule them), and a colour
for each outcome. ``write_round`` writes the DOT text, and SVG as well when
Graphviz's ``dot`` program is installed.

Outcomes, one per scheduled node:

- ``INPUT``: an input whose new value hash was committed;
- ``SETTLED``: no dep presented a new key, so the node was settled by its
  signature without computing anything (in the kernel, when a round drives);
- ``RECOMPUTED``: its function ran;
- ``MEMO_HIT``: its value came from the memo under the folded signature;
- ``FAILED``: its function raised.

Apart from those, a node in ``cut_off`` produced a value equal to the one it
had, so it kept its epoch and its dependants saw no change: the change stopped
there. It is drawn with a double border.
"""

from __future__ import annotations

import os
import shutil
import subprocess
from collections.abc import Collection, Mapping, Sequence

from quorl._drive import CUT_OFF, FAILED, INPUT, MEMO_HIT, RECOMPUTED, SETTLED
from quorl._quorl import Graph

OUTCOMES = (INPUT, SETTLED, RECOMPUTED, MEMO_HIT, FAILED)
NAMES = {  # one, many
    INPUT: ("input", "inputs"),
    SETTLED: ("settled", "settled"),
    RECOMPUTED: ("recomputed", "recomputed"),
    MEMO_HIT: ("memo hit", "memo hits"),
    FAILED: ("failed", "failed"),
}

# Fill colours, light enough for black text, distinct in print and for the
# common forms of colour blindness (blue/orange rather than red/green).
COLOURS = {
    INPUT: "#cfe2f3",
    SETTLED: "#ffffff",
    RECOMPUTED: "#f6b26b",
    MEMO_HIT: "#b4a7d6",
    FAILED: "#e06666",
}
UNSCHEDULED = "#eeeeee"
LABEL_LIMIT = 40  # characters of an id shown in its box; the tooltip has it whole
DEFAULT_NODE_LIMIT = 300  # beyond this dot's layout gets slow and the picture unreadable


def quote(text: str) -> str:
    """``text`` as a DOT double-quoted string that shows every character literally.

    Ids are arbitrary strings: a quote, a backslash (DOT reads ``\\l`` and
    ``\\N`` in labels as commands) or a control character must not end the
    string or change the layout, so those are escaped.
    """
    out = ['"']
    for ch in text:
        if ch == "\\":
            out.append("\\\\")
        elif ch == '"':
            out.append('\\"')
        elif ch.isprintable():
            out.append(ch)
        else:
            # Shown as the characters \u{...}: a doubled backslash is a literal one.
            out.append(f"\\\\u{{{ord(ch):x}}}")
    out.append('"')
    return "".join(out)


def _shorten(node_id: str) -> str:
    return node_id if len(node_id) <= LABEL_LIMIT else node_id[: LABEL_LIMIT - 1] + "…"


def split_outcomes(reported: Mapping[str, str]) -> tuple[dict[str, str], set[str]]:
    """A round's ``RoundReport.outcomes`` as ``round_dot`` takes them: each
    node's outcome, and the nodes whose value was cut off."""
    outcomes: dict[str, str] = {}
    cut_off: set[str] = set()
    for node_id, outcome in reported.items():
        if outcome.endswith(CUT_OFF):
            outcome = outcome[: -len(CUT_OFF)]
            cut_off.add(node_id)
        outcomes[node_id] = outcome
    return outcomes, cut_off


def round_dot(
    graph: Graph,
    scheduled: Sequence[str],
    outcomes: Mapping[str, str],
    cut_off: Collection[str] = (),
    title: str = "",
    node_limit: int = DEFAULT_NODE_LIMIT,
) -> str:
    """DOT text for one round on ``graph``.

    ``scheduled`` is the round's schedule in topological order; ``outcomes``
    gives each scheduled node's outcome (one of ``OUTCOMES``; a node missing
    from it was never handled, as below a failure); ``cut_off`` the nodes
    whose new value equalled the old one. At most ``node_limit`` scheduled
    nodes are drawn, those that were not settled first, and the title says
    how many were left out. Raises ``ValueError`` for an unknown outcome and
    the graph's ``KeyError`` for an id it does not hold.
    """
    if node_limit < 1:
        raise ValueError(f"node_limit must be at least 1, not {node_limit}")
    for node_id, given in outcomes.items():
        if given not in COLOURS:
            raise ValueError(
                f"unknown outcome {given!r} for node {node_id!r}; expected one of {OUTCOMES}"
            )
    unique = list(dict.fromkeys(scheduled))
    if len(unique) > node_limit:
        # Keep the nodes where something happened; settled ones fill the rest.
        busy = [n for n in unique if outcomes.get(n) != SETTLED]
        keep = set(busy[:node_limit])
        keep.update([n for n in unique if n not in keep][: node_limit - len(keep)])
        drawn = [n for n in unique if n in keep]
    else:
        drawn = unique
    left_out = len(unique) - len(drawn)
    in_round = set(drawn)
    cut = set(cut_off)
    # Deps outside the schedule are drawn too: they are what the scheduled
    # nodes' signatures read, and without them a node's inputs look missing.
    context: list[str] = []
    seen = set(in_round)
    deps = {node_id: graph.deps_of(node_id) for node_id in drawn}
    for node_deps in deps.values():
        for dep in node_deps:
            if dep not in seen:
                seen.add(dep)
                context.append(dep)
    names = {node_id: f"n{i}" for i, node_id in enumerate(drawn + context)}

    counts = dict.fromkeys(OUTCOMES, 0)
    for node_id in drawn:
        if node_id in outcomes:
            counts[outcomes[node_id]] += 1
    parts = [f"{count} {NAMES[outcome][count != 1]}" for outcome, count in counts.items() if count]
    if cut & in_round:
        parts.append(f"{len(cut & in_round)} cut off")
    summary = f"{len(drawn)} scheduled" + (": " + ", ".join(parts) if parts else "")
    if left_out:
        summary += f" ({left_out} more scheduled, not drawn)"
    heading = "\\n".join(quote(line)[1:-1] for line in [*title.splitlines(), summary])

    lines = [
        "digraph round {",
        f'  graph [rankdir=LR, labelloc=t, fontname=Helvetica, fontsize=12, label="{heading}"];',
        '  node [shape=box, style="rounded,filled", fontname=Helvetica, fontsize=10, fillcolor="#ffffff"];',
        '  edge [color="#888888", arrowsize=0.6];',
    ]
    for node_id in context:
        lines.append(
            f"  {names[node_id]} [label={quote(_shorten(node_id))}, tooltip={quote(f'{node_id} ({graph.kind_of(node_id)}): not scheduled')}, "
            f'style="rounded,filled,dashed", fillcolor="{UNSCHEDULED}", fontcolor="#666666", color="#999999"];'
        )
    for node_id in drawn:
        outcome = outcomes.get(node_id)
        what = outcome if outcome is not None else "not handled"
        attributes = [
            f"label={quote(_shorten(node_id))}",
            f"tooltip={quote(f'{node_id} ({graph.kind_of(node_id)}): {what}' + (', cut off' if node_id in cut else ''))}",
            f'fillcolor="{COLOURS[outcome]}"' if outcome is not None else 'style="rounded,dotted"',
        ]
        if node_id in cut:
            attributes.append("peripheries=2")
        lines.append(f"  {names[node_id]} [{', '.join(attributes)}];")
    for node_id in drawn:
        for dep in deps[node_id]:
            lines.append(f"  {names[dep]} -> {names[node_id]};")
    lines.extend(_legend())
    lines.append("}")
    return "\n".join(lines) + "\n"


def _legend() -> list[str]:
    entries = [(outcome, f'fillcolor="{COLOURS[outcome]}"') for outcome in OUTCOMES]
    entries.append(("cut off", "peripheries=2"))
    entries.append(("not scheduled", f'style="rounded,filled,dashed", fillcolor="{UNSCHEDULED}"'))
    lines = [
        "  subgraph cluster_legend {",
        '    label="legend"; fontsize=10; color="#cccccc"; rank=same;',
    ]
    for i, (label, style) in enumerate(entries):
        lines.append(f"    legend{i} [label={quote(label)}, {style}];")
    # Invisible edges keep the legend in one column.
    lines.extend(f"    legend{i} -> legend{i + 1} [style=invis];" for i in range(len(entries) - 1))
    lines.append("  }")
    return lines


def render_svg(dot_text: str) -> bytes:
    """SVG from DOT text through Graphviz's ``dot``; ``RuntimeError`` when it is missing or fails."""
    program = shutil.which("dot")
    if program is None:
        raise RuntimeError("drawing SVG needs Graphviz's dot program (apt-get install graphviz)")
    done = subprocess.run(
        [program, "-Tsvg"], input=dot_text.encode(), capture_output=True, timeout=120, check=False
    )
    if done.returncode != 0:
        raise RuntimeError(f"dot failed: {done.stderr.decode(errors='replace').strip()}")
    return done.stdout


def write_round(path: str | os.PathLike[str], dot_text: str) -> list[str]:
    """Write a round diagram; returns the paths written.

    A path ending in ``.svg`` gets SVG (Graphviz's ``dot`` is then required);
    any other path gets the DOT text, plus SVG beside it (same name, ``.svg``)
    when ``dot`` is installed.
    """
    path = os.fspath(path)
    base, extension = os.path.splitext(path)
    if extension.lower() == ".svg":
        svg = render_svg(dot_text)
        with open(path, "wb") as f:
            f.write(svg)
        return [path]
    with open(path, "w", encoding="utf-8") as f:
        f.write(dot_text)
    written = [path]
    if shutil.which("dot") is not None:
        with open(base + ".svg", "wb") as f:
            f.write(render_svg(dot_text))
        written.append(base + ".svg")
    return written
