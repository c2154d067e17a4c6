"""The native Graph driven side by side with the model by random calls.

Every call goes to both; results must be equal value for value and type for
type, failures equal in class and arguments. After every step the whole
observable state is compared, so a failed call that changed anything shows up.
Set QUORL_MODEL_EXAMPLES for a longer run.
"""

import os
import sys

import pytest
from helpers import Index, OwnTypeError, Seq
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule
from model import FOLD_START, KINDS, Model, quoted
from quorl._quorl import Graph

COUNTS = {"ops": 0, "raised": 0, "checks": 0}

POOL = [
    "a",
    "b",
    "c",
    "",
    'say "hi"',
    "back\\slash",
    "t\tn\nr\r",
    "nul\0",
    "\x1b[0m\x7f",
    "e\u0301",
    "\u0301",
    "zw\u200bj",
    "\U0001f600",
    "\u0378",
    "it's",
    "\U000e0001\U0010ffff",
]


# ---------------------------------------------------------------- argument values


class Sub(str):
    def __repr__(self):
        return f"Sub({str.__repr__(self)})"


FOLD = type(
    "Fold", (), {"__repr__": lambda self: "FOLD"}
)()  # the id's current fold, filled in per call
SIG = type("Sig", (), {"__repr__": lambda self: "SIG"})()  # the id's stored signature


def weighted(*choices):
    """Pick one of the strategies, each in proportion to its weight."""
    return st.sampled_from([s for weight, s in choices for _ in range(weight)]).flatmap(lambda s: s)


class Reg:
    """The k-th registered id (counted modulo their number), picked when the call runs."""

    def __init__(self, k, sub=False):
        self.k, self.sub = k, sub

    def resolve(self, model):
        ids = model.node_ids() or POOL
        node_id = ids[self.k % len(ids)]
        return Sub(node_id) if self.sub else node_id

    def __repr__(self):
        return f"Sub(Reg({self.k}))" if self.sub else f"Reg({self.k})"


class Below:
    """The k-th registered id and everything that depends on it: a set removal accepts."""

    def __init__(self, k, as_list):
        self.k, self.as_list = k, as_list

    def resolve(self, model):
        if not model.nodes:
            return []
        closure = model._closure([self.k % len(model.nodes)])
        ids = [model.nodes[i].id for i in sorted(closure, reverse=True)]
        return ids if self.as_list else set(ids)

    def __repr__(self):
        return f"Below({self.k}, {self.as_list})"


POOL_IDS = st.sampled_from(POOL)
REG = st.builds(Reg, st.integers(0, 15))
FRESH = st.text(min_size=1, max_size=4)
GOOD_IDS = weighted(
    (14, REG), (2, POOL_IDS), (1, FRESH), (1, st.builds(Reg, st.integers(0, 15), st.just(True)))
)
NEW_IDS = weighted((2, POOL_IDS), (5, FRESH), (1, POOL_IDS.map(Sub)), (1, REG))
BAD_STRS = (
    st.sampled_from([1, 2.5, None, b"a", ["a"], ("a",), "\ud800", "b\udfff"])
    | st.builds(set)
    | st.builds(dict)
)
GOOD_KINDS = st.sampled_from(KINDS)
BAD_KINDS = st.sampled_from(
    ["Input", " input", "view ", "", "VIEW", "inputs", "reactive\0", "vi\u0301ew"]
)
ID_LISTS = weighted((6, st.lists(GOOD_IDS, min_size=1, max_size=3)), (1, st.builds(list)))
GOOD_SEQS = weighted(
    (6, ID_LISTS),
    (1, ID_LISTS.map(tuple)),
    (1, st.builds(Seq, ID_LISTS, length=st.sampled_from([None, 0, sys.maxsize, "raise"]))),
)
POOL_LISTS = st.lists(POOL_IDS, max_size=3)
BAD_SEQS = st.one_of(
    st.builds(
        Seq, ID_LISTS, fail=st.sampled_from([TypeError, OwnTypeError, ValueError, RuntimeError])
    ),
    GOOD_IDS,  # a str is never a sequence of characters
    POOL_LISTS.map(set),
    POOL_LISTS.map(dict.fromkeys),
    POOL_LISTS.map(lambda ids: (i for i in ids)),
    POOL_LISTS.map(iter),
    st.sampled_from([b"ab", None, 1, 2.5, ["a", 2], ("a", None), ["a", "\ud800"]]),
)
GOOD_U64 = weighted(
    (3, st.sampled_from([0, 1, 2, 7, 2**63, 2**64 - 1, FOLD, FOLD, SIG, SIG, True, Index(5)])),
    (1, st.integers(0, 2**64 - 1)),
)
BAD_U64 = st.sampled_from(
    [-1, 2**64, -(2**70), 2**100, Index(-1), Index(2**64), 1.0, "1", None, b"\x01"]
)

GOOD_ID_COLLECTIONS = weighted(
    (4, st.builds(Below, st.integers(0, 15), st.booleans())),
    (2, GOOD_SEQS),
    (1, POOL_LISTS.map(set)),
    (1, POOL_LISTS.map(dict.fromkeys)),
)
BAD_ID_COLLECTIONS = GOOD_IDS | st.sampled_from([None, 1, 2.5, b"ab", ["a", 2], {"a", None}])
GOOD = {
    "id": GOOD_IDS,
    "kind": GOOD_KINDS,
    "deps": GOOD_SEQS,
    "seeds": GOOD_SEQS,
    "hash": GOOD_U64,
    "ids": GOOD_ID_COLLECTIONS,
}
BAD = {
    "id": BAD_STRS,
    "kind": BAD_KINDS | BAD_STRS,
    "deps": BAD_SEQS,
    "seeds": BAD_SEQS,
    "hash": BAD_U64,
    "ids": BAD_ID_COLLECTIONS,
}
for table in (GOOD, BAD):
    table.update(input_hash=table["hash"], signature=table["hash"], content_hash=table["hash"])
# Small epochs are often handed out already: a node's own, another's, or none.
GOOD["epoch"] = weighted((3, st.integers(0, 6)), (1, GOOD_U64))
BAD["epoch"] = BAD_U64
EXTRA_NAMES = ["x", "ID", "Id", "\ud800", "kind", "seeds", "self"]

# name: (parameters, weight); None marks a method the interpreter checks for no arguments.
METHODS = {
    "add_node": (("id", "kind"), 5),
    "set_deps": (("id", "deps"), 5),
    "build": (None, 6),
    "topo_order": (None, 1),
    "views": (None, 1),
    "dirty_nodes": (None, 1),
    "node_ids": (None, 1),
    "dirty_subgraph": (("seeds",), 2),
    "mark_dirty": (("seeds",), 2),
    "downstream": (("id",), 2),
    "needs_recompute": (("id", "input_hash"), 2),
    "check_node": (("id",), 2),
    "commit_node": (("id", "signature"), 3),
    "skip_node": (("id", "signature"), 2),
    "commit_input": (("id", "content_hash"), 3),
    "set_clean": (("id", "hash"), 2),
    "set_computing": (("id",), 2),
    "set_dirty": (("id",), 2),
    "state_of": (("id",), 1),
    "kind_of": (("id",), 1),
    "deps_of": (("id",), 1),
    "__len__": ((), 1),
    "__contains__": (("id",), 2),
    "__repr__": ((), 1),
    "__new__": (None, 1),
    "remove_node": (("id",), 2),
    "remove_nodes": (("ids",), 2),
    "epoch_of": (("id",), 1),
    "restore_node": (("id", "signature", "epoch"), 3),
}


def rank(node_id):
    return POOL.index(node_id) if node_id in POOL else len(POOL)


class Call:
    def __init__(self, name, args, kwargs, tame=False):
        self.name, self.args, self.kwargs, self.tame = name, tuple(args), dict(kwargs), tame

    def __repr__(self):
        parts = [repr(a) for a in self.args] + [
            f"**{{{k!r}: {v!r}}}" for k, v in self.kwargs.items()
        ]
        return f"{self.name}({', '.join(parts)})"

    def resolve(self, model):
        """Pick registered ids, and numbers that make memo checks hit."""

        def fill(v):
            if isinstance(v, (Reg, Below)):
                return v.resolve(model)
            if type(v) in (list, tuple):
                return type(v)(map(fill, v))
            if isinstance(v, Seq):
                return Seq(map(fill, v.items), length=v.length, fail=v.fail)
            return v

        args, kwargs = list(map(fill, self.args)), {k: fill(v) for k, v in self.kwargs.items()}
        node_id = kwargs.get("id", args[0] if args else None)
        node = (
            model.nodes[model.index[node_id]]
            if isinstance(node_id, str) and node_id in model.index
            else None
        )
        signature = node.signature if node and node.signature is not None else 1
        for i, v in list(enumerate(args)) + list(kwargs.items()):
            if v is FOLD or v is SIG:
                (args if isinstance(i, int) else kwargs)[i] = (
                    signature if v is SIG else model.fold(node) if node else 0
                )
        deps = kwargs.get("deps", args[1] if len(args) > 1 else None)
        if self.tame and isinstance(node_id, str) and type(deps) is list:
            # Deps ranked below their node in POOL cannot form a cycle, so most builds succeed.
            deps[:] = [d for d in deps if not isinstance(d, str) or rank(d) < rank(node_id)]
        return Call(self.name, args, kwargs)

    def run(self, target):
        if self.name == "__len__":
            return len(target)
        if self.name == "__contains__":
            return self.args[0] in target
        if self.name == "__repr__":
            return repr(target)
        if self.name == "__new__":
            return repr(type(target)(*self.args, **self.kwargs))
        return getattr(target, self.name)(*self.args, **self.kwargs)


def arrange(name, params, values, n_pos, names):
    """The first n_pos values positionally (extra copies beyond the parameters), then the named keywords."""
    by_name = dict(zip(params, values, strict=False))
    args = list(values[:n_pos]) + [values[0]] * (n_pos - len(params))
    return Call(name, args, {n: by_name.get(n, 1) for n in names})


def calls(name):
    """Mostly well-formed calls with valid arguments, sometimes anything."""
    params, _ = METHODS[name]
    if name in ("__len__", "__repr__"):
        return st.just(Call(name, (), {}))
    if params is None:  # no arguments at all; the odd ones meet the interpreter's own check
        odd = st.sampled_from([((1,), {}), ((), {"x": 1}), ((1, 2), {"id": "a"})])
        return weighted((8, st.just(Call(name, (), {}))), (1, odd.map(lambda ak: Call(name, *ak))))
    good_table = dict(GOOD, id=NEW_IDS) if name == "add_node" else GOOD
    good = st.tuples(*(good_table[p] for p in params))
    mixed = st.integers(0, len(params) - 1).flatmap(  # one bad value, the others good
        lambda bad: st.tuples(*(BAD[p] if i == bad else GOOD[p] for i, p in enumerate(params)))
    )
    if name == "__contains__":
        return weighted((4, good), (1, mixed)).map(lambda v: Call(name, v, {}))
    positional = st.builds(
        Call, st.just(name), good, st.just({}), st.sampled_from([name == "set_deps", False])
    )
    keywords = st.builds(
        lambda v, order: Call(name, (), {p: v[params.index(p)] for p in order}),
        good,
        st.permutations(params),
    )
    shapes = st.integers(0, len(params) + 1).flatmap(
        lambda k: st.builds(
            arrange,
            st.just(name),
            st.just(params),
            good | mixed,
            st.just(k),
            st.permutations(params[k:])
            | st.lists(st.sampled_from(list(params) + EXTRA_NAMES), unique=True, max_size=3),
        )
    )
    return weighted(
        (16, positional), (2, keywords), (1, shapes), (2, mixed.map(lambda v: Call(name, v, {})))
    )


STRATEGIES = {name: calls(name) for name in METHODS}
CALLS = st.sampled_from(
    [name for name, (_, weight) in METHODS.items() for _ in range(weight)]
).flatmap(STRATEGIES.__getitem__)


# ---------------------------------------------------------------- comparison


def outcome(fn):
    try:
        return True, fn()
    except Exception as exc:  # a BaseException-derived internal fault must fail the test
        return False, exc


def typed(value):
    if isinstance(value, (list, tuple)):
        return type(value), tuple(typed(v) for v in value)
    return type(value), value


def agree(real, expected, what):
    (real_ok, got), (want_ok, want) = real, expected
    if not want_ok:
        assert not real_ok, f"{what}: expected {type(want).__name__}{want.args}, got {got!r}"
        assert type(got) is type(want), (
            f"{what}: expected {type(want).__name__}{want.args}, got {got!r}"
        )
        if isinstance(want, (OverflowError, UnicodeEncodeError)):
            assert "argument" not in str(got), f"{what}: {got!r}"
        else:
            assert got.args == want.args, f"{what}: {got.args!r} != {want.args!r}"
    else:
        assert real_ok, f"{what}: expected {want!r}, got {type(got).__name__}{got.args}"
        assert typed(got) == typed(want), f"{what}: {got!r} != {want!r}"


class GraphMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.graph, self.model = Graph(), Model()

    def same(self, call, count=True):
        real, expected = (
            outcome(lambda: call.run(self.graph)),
            outcome(lambda: call.run(self.model)),
        )
        if count:
            COUNTS["ops"] += 1
            COUNTS["raised"] += not expected[0]
        else:
            COUNTS["checks"] += 1
        agree(real, expected, repr(call))
        return expected

    @initialize(
        nodes=st.lists(
            st.tuples(POOL_IDS, st.sampled_from(KINDS)), max_size=10, unique_by=lambda t: t[0]
        ),
        build=st.booleans(),
    )
    def register(self, nodes, build):
        for node_id, kind in nodes:
            self.same(Call("add_node", (node_id, kind), {}))
        if build:
            self.same(Call("build", (), {}))

    @rule(call=CALLS)
    def step(self, call):
        self.same(call.resolve(self.model))

    @invariant()
    def everything_observable_agrees(self):
        for name in (
            "node_ids",
            "topo_order",
            "views",
            "dirty_nodes",
            "__len__",
            "__repr__",
            "cycle_groups",
        ):
            self.same(Call(name, (), {}), count=False)
        for node_id in self.model.node_ids():
            for name in (
                "kind_of",
                "state_of",
                "deps_of",
                "check_node",
                "epoch_of",
                "__contains__",
            ):
                self.same(Call(name, (node_id,), {}), count=False)
            signature = self.model.nodes[self.model.index[node_id]].signature
            if signature is not None:
                self.same(Call("needs_recompute", (node_id, signature), {}), count=False)


class CountReport:
    def pytest_terminal_summary(self, terminalreporter):
        if COUNTS["ops"]:
            terminalreporter.write_sep(
                "-",
                "model test: {ops} operations ({raised} raising), "
                "{checks} state comparisons".format(**COUNTS),
            )


@pytest.fixture(scope="module", autouse=True)
def count_report(request):
    """Tell how many random calls ran, in the summary at the end of the session."""
    plugins = request.config.pluginmanager
    if not plugins.has_plugin("quorl-model-count"):
        plugins.register(CountReport(), "quorl-model-count")


EXAMPLES = int(os.environ.get("QUORL_MODEL_EXAMPLES", "0")) or 60
GraphMachine.TestCase.settings = settings(
    max_examples=EXAMPLES,
    stateful_step_count=60,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
TestGraphAgainstModel = GraphMachine.TestCase


# A few fixed facts for the model itself, so that it cannot drift along with the kernel.
@pytest.mark.parametrize(
    ("text", "want"),
    [
        ("a", '"a"'),
        ('q"\\', '"q\\"\\\\"'),
        ("\t\n\r\0'", '"\\t\\n\\r\\0\'"'),
        ("\x1b\x7f", '"\\u{1b}\\u{7f}"'),
        ("e\u0301", '"e\\u{301}"'),
        ("\u200b \u00e9\u4e2d\U0001f600", '"\\u{200b} \u00e9\u4e2d\U0001f600"'),
    ],
)
def test_model_quotes_ids(text, want):
    assert quoted(text) == want


@pytest.mark.parametrize(
    ("keys", "fold"),
    [
        ((), FOLD_START),
        ((0,), 0x44BD2BD473CCF799),
        ((1, 2), 0x9A65AB00C545D26C),
        ((2, 1), 0x9A624600C542F0F6),
    ],
)
def test_model_folds_input_keys(keys, fold):
    m = Model()
    m.add_node("n", "reactive")
    for i, key in enumerate(keys):
        m.add_node(f"i{i}", "input")
        m.commit_input(f"i{i}", key)
    m.set_deps("n", [f"i{i}" for i in range(len(keys))])
    assert m.check_node("n") == ("reactive", True, fold)
