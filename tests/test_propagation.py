"""Change propagation: downstream, dirty_subgraph, mark_dirty."""

import random

import pytest
from helpers import make_graph as make
from helpers import snapshot
from hypothesis import given, settings
from hypothesis import strategies as st
from model import NOT_BUILT, UNKNOWN_NODE

CHAIN = ("abc", {"b": ["a"], "c": ["b"]})
DIAMOND = ("abcd", {"b": ["a"], "c": ["a"], "d": ["c", "b"]})
BRANCHES = ("abxy", {"x": ["a"], "y": ["b"]})
BFS_NOT_TOPO = ("abcd", {"b": ["a"], "c": ["b"], "d": ["a"]})  # breadth first from a: b, d, c
BACKWARDS = ("cba", {"c": ["b"], "b": ["a"]})


def all_clean(g):
    for node in g.node_ids():
        g.commit_node(node, g.check_node(node)[2])
    return g


@pytest.mark.parametrize(
    ("graph", "method", "arg", "expected"),
    [
        (CHAIN, "downstream", "a", ["b", "c"]),
        (CHAIN, "downstream", "c", []),
        (CHAIN, "dirty_subgraph", ["a"], ["a", "b", "c"]),
        (CHAIN, "dirty_subgraph", ["c"], ["c"]),
        (CHAIN, "dirty_subgraph", ["c", "a"], ["a", "b", "c"]),
        (CHAIN, "dirty_subgraph", ("b", "b"), ["b", "c"]),
        (CHAIN, "dirty_subgraph", [], []),
        (DIAMOND, "downstream", "a", ["b", "c", "d"]),
        (DIAMOND, "dirty_subgraph", ["c", "b"], ["b", "c", "d"]),
        (BRANCHES, "dirty_subgraph", ["a"], ["a", "x"]),
        (BFS_NOT_TOPO, "downstream", "a", ["b", "c", "d"]),
        (BFS_NOT_TOPO, "dirty_subgraph", ["d", "b"], ["b", "c", "d"]),
        (BACKWARDS, "downstream", "a", ["b", "c"]),
    ],
)
def test_schedules(graph, method, arg, expected):
    g = all_clean(make(*graph))
    g.set_dirty(g.node_ids()[-1])
    before, order = snapshot(g), g.topo_order()
    assert getattr(g, method)(arg) == expected
    assert snapshot(g) == before
    if method == "dirty_subgraph":  # mark_dirty: the same list, also over Computing nodes
        g = all_clean(make(*graph))
        g.set_computing(g.node_ids()[-1])
        before = snapshot(g)
        assert (g.mark_dirty(arg), g.dirty_nodes(), g.topo_order()) == (expected, expected, order)
        states = [
            "dirty" if n in expected else s
            for n, s in zip(before["ids"], before["states"], strict=True)
        ]
        assert snapshot(g) == {**before, "states": states}


@pytest.mark.parametrize("method", ["dirty_subgraph", "mark_dirty"])
@pytest.mark.parametrize(
    ("seeds", "missing"), [(["a", "zz"], "zz"), (["zz", "yy"], "zz"), (["a", "yy", "zz"], "yy")]
)
def test_unknown_seed(method, seeds, missing):
    g = all_clean(make(*CHAIN))
    before = snapshot(g)
    with pytest.raises(KeyError) as info:
        getattr(g, method)(seeds)
    assert info.value.args == (UNKNOWN_NODE.format(f'"{missing}"'),)
    assert snapshot(g) == before


@pytest.mark.parametrize(
    "unbuild", [None, lambda g: g.add_node("e", "view"), lambda g: g.set_deps("c", ["b"])]
)
@pytest.mark.parametrize(
    ("method", "arg", "error"),
    [
        ("downstream", "zz", NOT_BUILT),
        ("downstream", "a", NOT_BUILT),
        ("dirty_subgraph", ["zz"], NOT_BUILT),
        ("mark_dirty", ["a", "zz"], NOT_BUILT),
        ("downstream", 1, "argument 'id': "),
        ("dirty_subgraph", "a", "argument 'seeds': "),
        ("mark_dirty", ["a", None], "argument 'seeds': "),
    ],
)
def test_check_precedence_on_unbuilt_graph(unbuild, method, arg, error):
    g = make(*CHAIN, build=unbuild is not None)
    if unbuild:
        unbuild(g)
    g.set_clean("a", 1)
    with pytest.raises(RuntimeError if error == NOT_BUILT else TypeError) as info:
        getattr(g, method)(arg)
    assert str(info.value).startswith(error)
    assert g.state_of("a") == "clean"


def check_against_reference(g, deps, seed_lists, singles):
    dependents = {n: [] for n in deps}
    for m, ds in deps.items():
        for d in ds:
            dependents[d].append(m)

    def closure(seeds):  # reachable along reverse deps, depth first
        reach, stack = set(seeds), list(seeds)
        while stack:
            new = [d for d in dependents[stack.pop()] if d not in reach]
            reach.update(new)
            stack += new
        return reach

    order = g.topo_order()
    for seeds in seed_lists:
        reach = closure(seeds)
        expected = [n for n in order if n in reach]
        assert g.dirty_subgraph(seeds) == expected
        for n in order:
            g.set_clean(n, 0)
        assert (g.mark_dirty(seeds), g.dirty_nodes()) == (expected, expected)
    for x in singles:
        reach = closure([x]) - {x}
        assert g.downstream(x) == [n for n in order if n in reach]


@st.composite
def dags_and_seeds(draw):
    n = draw(st.integers(1, 14))
    rank = draw(st.permutations(range(n)))
    deps = {
        f"n{i}": [
            f"n{j}"
            for j in draw(st.sets(st.sampled_from(range(n)), max_size=4))
            if rank[j] < rank[i]
        ]
        for i in range(n)
    }
    ids = st.sampled_from(sorted(deps))
    return deps, draw(st.lists(st.lists(ids, max_size=5), min_size=1, max_size=3))


@settings(max_examples=200, deadline=None)
@given(dags_and_seeds())
def test_closures_match_reference(case):
    deps, seed_lists = case
    g = make([f"n{i}" for i in range(len(deps))], deps)
    check_against_reference(g, deps, seed_lists, g.node_ids())


def test_large_graph():
    rng = random.Random(1234)
    n, ids = 3000, [f"v{i}" for i in range(3000)]
    hidden = rng.sample(ids, n)  # hidden topological order, unrelated to registration
    deps = {
        node: rng.sample(hidden[max(0, k - 40) : k], min(k, rng.randint(0, 3)))
        for k, node in enumerate(hidden)
    }
    for k in range(1, 400):  # a spine so that early nodes reach much of the graph
        deps[hidden[k]].append(hidden[k - 1])
    g = make(ids, {node: list(dict.fromkeys(ds)) for node, ds in deps.items()})
    seeds = [
        [hidden[0]],
        [hidden[2900]],
        [hidden[1500], hidden[10]],
        [hidden[2999]],
        hidden[2000:2600:7],
    ]
    singles = [hidden[0], hidden[5], hidden[2500], hidden[2999]]
    sizes = [len(g.dirty_subgraph(s)) for s in seeds]
    assert max(sizes) > 1000 and min(sizes) < 20
    check_against_reference(g, deps, seeds, singles)
    for i in range(n, n + 500):  # grow and rebuild: the traversal state must follow
        g.add_node(f"v{i}", "reactive")
        g.set_deps(
            f"v{i}",
            deps.setdefault(f"v{i}", [hidden[rng.randrange(n)], f"v{i - 1}"] if i > n else ["v0"]),
        )
    g.build()
    check_against_reference(g, deps, [*seeds, [f"v{n + 250}"]], [*singles, f"v{n}"])
