"""What Python sees of the module and of the Graph type."""

import ast
import importlib.metadata
import inspect
import sys
import weakref
from pathlib import Path

import pytest
import quorl._quorl as m
from helpers import run_python
from model import NOT_A_STR, REPR
from quorl._quorl import Graph

# The docstrings are written once more in the type stubs, for editors: the
# module must carry exactly those. Text signatures follow from the parameters.
STUB = ast.parse(
    (Path(__file__).resolve().parent.parent / "python/quorl/_quorl.pyi").read_text(encoding="utf-8")
)
STUB_GRAPH = next(n for n in STUB.body if isinstance(n, ast.ClassDef) and n.name == "Graph")
CLASS_DOC = ast.get_docstring(STUB_GRAPH)
VERSION_DOC = ast.get_docstring(
    next(n for n in STUB.body if isinstance(n, ast.FunctionDef) and n.name == "kernel_version")
)


def text_signature(f: ast.FunctionDef) -> str:
    """The text signature a stub function stands for ("$self" or "$type" is the receiver)."""
    receiver = "$type" if f.args.args[0].arg == "cls" else "$self"
    args = [a.arg for a in f.args.args[1:]]
    for k, default in enumerate(f.args.defaults, len(args) - len(f.args.defaults)):
        args[k] += "=" + ast.unparse(default)
    return "(" + receiver + "".join(", " + a for a in args) + ")"


METHODS = [  # in table order: (name, text signature, docstring)
    (f.name, text_signature(f), ast.get_docstring(f))
    for f in STUB_GRAPH.body
    if isinstance(f, ast.FunctionDef) and not f.name.startswith("__")
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
    assert kv.__doc__ == VERSION_DOC
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


def test_method_signatures_docs_and_order_match_the_stubs():
    assert [
        (n, getattr(Graph, n).__text_signature__, getattr(Graph, n).__doc__) for n, _, _ in METHODS
    ] == METHODS
    assert [k for k in Graph.__dict__ if not k.startswith("__")] == [n for n, _, _ in METHODS]
    # A class method's receiver ("$type") is bound, so its signature omits it.
    assert [str(inspect.signature(getattr(Graph, n))) for n, _, _ in METHODS] == [
        text.replace("$self", "self, /", 1).replace("$type, ", "", 1) for _, text, _ in METHODS
    ]


def test_len_truth_contains_repr():
    g = Graph()
    assert (len(g), bool(g), repr(g), str(g), "" in g) == (
        0,
        False,
        REPR.format(0),
        repr(g),
        False,
    )
    g.add_node("a", "input")
    g.add_node("b", "view")
    assert (len(g), bool(g), repr(g), str(g)) == (
        2,
        True,
        REPR.format(2),
        REPR.format(2),
    )
    assert ("a" in g, "b" in g, "A" in g, "c" in g) == (True, True, False, False)
    with pytest.raises(TypeError) as info:
        _ = 5 in g
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument 'id': 'int' {NOT_A_STR}"


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
    assert b.node_ids() == ["x", "y"] and repr(b) == REPR.format(2)


def test_instances_release_their_type():
    before = sys.getrefcount(Graph)
    for i in range(1000):
        Graph().add_node(str(i), "input")
    assert sys.getrefcount(Graph) == before


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
        == f"True True {REPR.format(0)} ['kernel_version', 'Graph']\n"
    )


def test_package_surface_costs_only_the_extension():
    import quorl

    assert (quorl.Graph, quorl.Round, quorl.kernel_version, quorl.__all__) == (
        Graph,
        m._Round,
        m.kernel_version,
        ["Engine", "Graph", "Round", "RoundReport", "kernel_version", "stable_hash"],
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
