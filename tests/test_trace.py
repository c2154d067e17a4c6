"""The round diagram: right colours from a real round, safe DOT for any id."""

import html
import re
import shutil
import subprocess

import pytest
import round_example
from helpers import make_graph
from quorl import _trace
from quorl.demo import run

NODE = re.compile(r"^  (n\d+) \[label=(\"(?:[^\"\\]|\\.)*\"), (.*)\];$", re.MULTILINE)
has_dot = pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz's dot is not installed")


def drawn_nodes(dot):
    """{label text: attribute text} of every node statement outside the legend."""
    return {label[1:-1]: attributes for _name, label, attributes in NODE.findall(dot)}


@pytest.fixture(scope="module")
def example():
    """The order sheet drawn on the "how it works" page, run for real."""
    return round_example


def test_each_node_is_drawn_as_what_happened_to_it(example):
    _graph, (_scheduled, outcomes, cut_off), _values = example.run()
    nodes = drawn_nodes(example.traced_round_dot())
    colour = {
        label: re.search(r'fillcolor="([^"]+)"', attrs).group(1) for label, attrs in nodes.items()
    }
    unscheduled = {"qty", "discount", "rate"}  # read by scheduled nodes
    assert colour == {
        node: _trace.COLOURS[outcome] for node, outcome in outcomes.items()
    } | dict.fromkeys(unscheduled, _trace.UNSCHEDULED)
    assert {label for label, attrs in nodes.items() if "peripheries=2" in attrs} == cut_off
    assert {label for label, attrs in nodes.items() if "dashed" in attrs} == unscheduled


def test_a_large_round_keeps_the_nodes_where_something_happened():
    ids = [f"n{i}" for i in range(50)]
    g = make_graph(ids, build=False)
    outcomes = dict.fromkeys(ids, _trace.SETTLED)
    outcomes["n40"] = _trace.RECOMPUTED
    outcomes["n45"] = _trace.FAILED
    dot = _trace.round_dot(g, ids, outcomes, node_limit=10)
    assert list(drawn_nodes(dot)) == [*ids[:8], "n40", "n45"]  # topological order kept
    assert "(40 more scheduled, not drawn)" in dot


HOSTILE_IDS = [
    'say "hi"',
    "back\\slash",
    "\\N\\l\\G",  # DOT's label escapes
    "two\nlines",
    "nul\x00 and bell\x07",
    '"; n0 -> n0; "',
    "}",
    "<b>html</b>",
    "\u200b",
    "x" * 500,
    "",
]


@pytest.mark.parametrize("node_id", HOSTILE_IDS, ids=repr)
def test_any_id_gives_dot_that_shows_it_literally(node_id):
    g = make_graph([(node_id, "input"), "after"], {"after": [node_id]}, build=False)
    dot = _trace.round_dot(
        g, [node_id, "after"], {node_id: _trace.INPUT, "after": _trace.RECOMPUTED}
    )
    nodes = drawn_nodes(dot)
    assert len(nodes) == 2 and set(nodes) >= {"after"}
    assert dot.count(" -> n1;") == 1  # the one real edge, nothing injected
    for line in dot.splitlines():
        assert all(ch.isprintable() for ch in line), repr(line)
    if shutil.which("dot") is not None:
        svg = _trace.render_svg(dot).decode()
        texts = {html.unescape(t) for t in re.findall(r"<text[^>]*>(.*?)</text>", svg)}
        shown = node_id if len(node_id) <= _trace.LABEL_LIMIT else node_id[:39] + "…"
        printable = "".join(ch if ch.isprintable() else f"\\u{{{ord(ch):x}}}" for ch in shown)
        assert printable in texts or not printable.strip()


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda g: _trace.round_dot(g, ["a"], {"a": "stale"}), ValueError),
        (lambda g: _trace.round_dot(g, ["a"], {}, node_limit=0), ValueError),
        (lambda g: _trace.round_dot(g, ["missing"], {}), KeyError),
    ],
)
def test_bad_arguments_are_refused(call, error):
    g = make_graph([("a", "input")], build=False)
    with pytest.raises(error):
        call(g)


def test_svg_needs_dot(tmp_path, monkeypatch):
    monkeypatch.setattr(shutil, "which", lambda _name: None)
    with pytest.raises(RuntimeError, match="needs Graphviz's dot"):
        _trace.write_round(tmp_path / "round.svg", "digraph {}")
    assert not (tmp_path / "round.svg").exists()
    assert _trace.write_round(tmp_path / "round.dot", "digraph {}") == [str(tmp_path / "round.dot")]


@has_dot
def test_the_main_job_draws_its_last_round(tmp_path):
    out = tmp_path / "out.txt"
    with open(out, "w") as f:
        run(nodes=300, rounds=3, changes=5, seed=0, out=f, trace=str(tmp_path / "round.svg"))
    assert "round 3 drawn to" in out.read_text()
    svg = (tmp_path / "round.svg").read_text()
    assert svg.startswith("<?xml") and "round 3 of 300 nodes" in svg
    done = subprocess.run(["dot", "-Tsvg"], input=svg, capture_output=True, text=True)
    assert done.returncode != 0  # SVG, not DOT: dot cannot read it back


def test_the_documented_round_is_the_one_its_page_describes(example):
    # docs/how-it-works.md walks through this diagram node by node.
    _graph, (scheduled, outcomes, cut_off), values = example.run()
    assert scheduled[:2] == ["price", "weight"]
    assert outcomes == {
        "price": _trace.INPUT,
        "weight": _trace.INPUT,
        "subtotal": _trace.MEMO_HIT,
        "net": _trace.RECOMPUTED,
        "tax": _trace.RECOMPUTED,
        "total": _trace.RECOMPUTED,
        "band": _trace.RECOMPUTED,
        "shipping": _trace.RECOMPUTED,
        "invoice": _trace.RECOMPUTED,
        "badge": _trace.SETTLED,
    }
    assert cut_off == {"band", "shipping"}
    assert (values["subtotal"], values["band"], values["shipping"]) == (300, "large", 5)
    assert "1 memo hit," in example.traced_round_dot()
