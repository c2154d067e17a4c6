"""What Python sees of the module and of the Graph type."""

import importlib.metadata
import inspect
import subprocess
import sys
import textwrap
import weakref

import pytest
import quorl._quorl as m
from quorl._quorl import Graph

CLASS_DOC = (
    "A reactive directed acyclic graph: dirty tracking, topological scheduling,\n"
    "propagation, and memo bookkeeping. Holds topology and state only \u2014 node\n"
    "values stay on the Python side."
)
METHODS = [  # in table order
    (
        "add_node",
        "($self, id, kind)",
        "Register a node. `kind` is one of input|source|reactive|view.",
    ),
    (
        "set_deps",
        "($self, id, deps)",
        "Set a node's inbound edges (its dependencies). All deps must exist.",
    ),
    (
        "build",
        "($self)",
        "Validate the graph is acyclic and cache a topological order. Call once\n"
        "after all nodes and edges are declared.",
    ),
    ("topo_order", "($self)", "Full build order: all node ids, topologically sorted."),
    (
        "dirty_subgraph",
        "($self, seeds)",
        "Recompute schedule for changed seeds: the seeds plus all transitively\n"
        "affected nodes, topologically ordered. Pure \u2014 does not mutate state.",
    ),
    (
        "mark_dirty",
        "($self, seeds)",
        "Mark seeds and everything downstream `dirty`; return them topo-ordered.",
    ),
    ("downstream", "($self, id)", "Nodes strictly downstream of `id`, topologically ordered."),
    (
        "needs_recompute",
        "($self, id, input_hash)",
        "Does `id` need recomputation given the content hash of its inputs?",
    ),
    (
        "check_node",
        "($self, id)",
        "Hot-path per-node decision: `(kind, needs_recompute, signature)` in one\n"
        "call. The signature folds the node's dependency state (Input deps by\n"
        "content hash, computed deps by epoch) entirely in C++.",
    ),
    (
        "commit_node",
        "($self, id, signature)",
        "Commit a computed node clean with the signature it ran on; bumps its epoch.",
    ),
    (
        "skip_node",
        "($self, id, signature)",
        "Commit a memo hit: mark clean without bumping the epoch.",
    ),
    (
        "commit_input",
        "($self, id, content_hash)",
        "Record an Input node's current value hash for downstream signatures.",
    ),
    (
        "set_clean",
        "($self, id, hash)",
        "Commit `id` clean with the content hash it was computed from.",
    ),
    ("set_computing", "($self, id)", None),
    ("set_dirty", "($self, id)", None),
    ("state_of", "($self, id)", None),
    ("kind_of", "($self, id)", None),
    ("deps_of", "($self, id)", None),
    ("dirty_nodes", "($self)", "All currently-dirty node ids, topologically ordered."),
    ("views", "($self)", "View-kind node ids in topological order."),
    ("node_ids", "($self)", "All node ids in insertion order."),
    (
        "begin_round",
        "($self, inputs, seeds=())",
        "Start an update round and return it. `inputs` maps the changed inputs to\n"
        "the content hashes of their new values (a mapping or (id, hash) pairs);\n"
        "`seeds` are nodes to give a value whatever their deps say. The kernel\n"
        "settles every node whose signature is unchanged and hands out the rest.",
    ),
]


def test_module_and_kernel_version():
    assert (m.__all__, m.__doc__, m.__name__) == (["kernel_version", "Graph"], "", "quorl._quorl")
    kv = m.kernel_version
    assert (kv(), kv.__text_signature__, kv.__module__, kv.__self__) == (
        "1.2.0",
        "()",
        m.__name__,
        m,
    )
    assert kv.__doc__ == "Version of the compiled C++ kernel."
    with pytest.raises(TypeError, match="takes no arguments"):
        kv(1)


def test_graph_type():
    assert (Graph.__module__, Graph.__name__, Graph.__qualname__) == (
        "quorl._quorl",
        "Graph",
        "Graph",
    )
    assert (Graph.__text_signature__, Graph.__doc__, Graph.__bases__) == (
        "()",
        CLASS_DOC,
        (object,),
    )
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("G", (Graph,), {})
    g = Graph()
    assert not hasattr(g, "__dict__")
    with pytest.raises(AttributeError):
        g.x = 1
    with pytest.raises(TypeError):
        weakref.ref(g)
    with pytest.raises(TypeError, match="not iterable"):
        iter(g)
    with pytest.raises(TypeError, match=r"node_ids\(\) takes no arguments \(1 given\)"):
        g.node_ids(1)


def test_method_signatures_docs_and_order():
    assert [
        (n, getattr(Graph, n).__text_signature__, getattr(Graph, n).__doc__) for n, _, _ in METHODS
    ] == METHODS
    assert [k for k in Graph.__dict__ if not k.startswith("__")] == [n for n, _, _ in METHODS]
    assert [str(inspect.signature(getattr(Graph, n))) for n, _, _ in METHODS] == [
        text.replace("$self", "self, /", 1) for _, text, _ in METHODS
    ]


def test_len_truth_contains_repr():
    g = Graph()
    assert (len(g), bool(g), repr(g), str(g), "" in g) == (
        0,
        False,
        "<quorl.Graph nodes=0>",
        repr(g),
        False,
    )
    g.add_node("a", "input")
    g.add_node("b", "view")
    assert (len(g), bool(g), repr(g), str(g)) == (
        2,
        True,
        "<quorl.Graph nodes=2>",
        "<quorl.Graph nodes=2>",
    )
    assert ("a" in g, "b" in g, "A" in g, "c" in g) == (True, True, False, False)
    with pytest.raises(TypeError) as info:
        _ = 5 in g
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'id': 'int' object cannot be converted to 'PyString'"


def test_graphs_are_independent():
    a, b = Graph(), Graph()
    a.add_node("x", "input")
    b.add_node("x", "view")
    b.add_node("y", "source")
    assert (a.node_ids(), b.node_ids(), a.kind_of("x"), b.kind_of("x")) == (
        ["x"],
        ["x", "y"],
        "input",
        "view",
    )
    del a
    assert b.node_ids() == ["x", "y"] and repr(b) == "<quorl.Graph nodes=2>"


def test_instances_release_their_type():
    before = sys.getrefcount(Graph)
    for i in range(1000):
        Graph().add_node(str(i), "input")
    assert sys.getrefcount(Graph) == before


def run_python(code):
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_reinitialisation_returns_the_same_module():
    assert (
        run_python("""
        import importlib, sys
        import quorl._quorl as first
        graph_type = first.Graph
        del sys.modules["quorl._quorl"]
        second = importlib.import_module("quorl._quorl")
        print(second is first, second.Graph is graph_type, second.Graph(), second.__all__)
    """)
        == "True True <quorl.Graph nodes=0> ['kernel_version', 'Graph']\n"
    )


def test_package_surface_costs_only_the_extension():
    import quorl

    assert (quorl.Graph, quorl.Round, quorl.kernel_version, quorl.__all__) == (
        Graph,
        m._Round,
        m.kernel_version,
        ["Graph", "Round", "kernel_version"],
    )
    # The package's version moves on; the kernel's stays what the kernel is.
    assert quorl.__version__ == importlib.metadata.version("quorl") == "1.3.0"
    assert m.kernel_version() == "1.2.0"
    # A fresh interpreter: importing the package loads nothing beyond its own modules.
    loaded = run_python("""
        import sys
        before = set(sys.modules)
        import quorl
        print(sorted(set(sys.modules) - before))
    """)
    assert loaded == "['quorl', 'quorl._quorl', 'quorl._version']\n"


def test_second_interpreter_is_refused(tmp_path):
    pytest.importorskip("_testcapi")
    report = tmp_path / "report.txt"
    # run_in_subinterp only reports 0 or -1, so the inner code writes what it caught to a file.
    inner = (
        "try:\n    import quorl._quorl\n    msg = 'imported'\nexcept BaseException as exc:\n"
        f"    msg = f'{{type(exc).__name__}}: {{exc}}'\nopen({str(report)!r}, 'w').write(msg)\n"
    )
    assert (
        run_python(f"""
        import _testcapi
        import quorl._quorl as mod
        print(_testcapi.run_in_subinterp({inner!r}))
        g = mod.Graph()
        g.add_node("a", "input")
        print(mod.kernel_version(), g.node_ids(), g.kind_of("a"))
    """)
        == "0\n1.2.0 ['a'] input\n"
    )
    message = report.read_text()
    assert message.startswith("ImportError: ") and "not yet support subinterpreters" in message


def test_type_stubs_match_the_module():
    import ast
    import pathlib

    stub = pathlib.Path(__file__).resolve().parent.parent / "python" / "quorl" / "_quorl.pyi"
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    graph = next(
        node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "Graph"
    )
    methods = [
        f for f in graph.body if isinstance(f, ast.FunctionDef) and not f.name.startswith("__")
    ]
    assert [f.name for f in methods] == [n for n, _, _ in METHODS]
    for f in methods:
        # "$self" stands for the receiver in a text signature.
        args = [a.arg for a in f.args.args[1:]]
        for k, default in enumerate(f.args.defaults, len(args) - len(f.args.defaults)):
            args[k] += "=" + ast.unparse(default)
        params = "($self" + "".join(", " + a for a in args) + ")"
        assert (params, ast.get_docstring(f)) == (
            getattr(Graph, f.name).__text_signature__,
            getattr(Graph, f.name).__doc__,
        )
