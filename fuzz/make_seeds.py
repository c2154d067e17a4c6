#!/usr/bin/env python3
"""Writes the hand-made seed inputs of fuzz/corpus/.

Each seed spells out a short scenario in the byte encoding that the kernel
target (fuzz/harness/kernel_ops.cpp) decodes, so that fuzzing starts from
deep, acyclic and cyclic graphs instead of from nothing. Operation codes, kind
numbers, the id pool and the invalid kinds are read from
fuzz/harness/vocabulary.def, the file the harness is compiled from, and the
model of the test suite tracks which ids each seed has registered. Regression
seeds (crash reproducers) are saved into the corpus directly and are not
written by this script.

    python3 fuzz/make_seeds.py [DIRECTORY]   (default fuzz/corpus)
"""

import ast
import contextlib
import pathlib
import re
import sys

HERE = pathlib.Path(__file__).resolve().parent
CORPUS = HERE / "corpus"
sys.path.insert(0, str(HERE.parent / "tests"))
from model import Model  # noqa: E402


def read_vocabulary(path=HERE / "harness" / "vocabulary.def"):
    """The operations' first codes, the kinds, the id pool and the invalid kinds."""
    ops, tables, code = {}, {"KIND": [], "STATE": [], "ID": [], "BAD_KIND": []}, 0
    for line in path.read_text(encoding="utf-8").splitlines():
        if m := re.fullmatch(r"QUORL_FUZZ_OP\((\w+), (\d+)\)", line):
            ops[m[1]] = code
            code += int(m[2])
        elif m := re.fullmatch(r"QUORL_FUZZ_(KIND|STATE|ID|BAD_KIND)\((\".*\")\)", line):
            # C reads every hex digit after \x; Python reads two.
            if re.search(r"\\x[0-9a-fA-F]{3}", m[2]):
                raise ValueError(f"ambiguous hex escape in {line}")
            raw = ast.literal_eval("b" + m[2])
            tables[m[1]].append(raw.decode("utf-8", "surrogateescape"))
    return ops, tables


OP, _TABLES = read_vocabulary()
KINDS = {name: k for k, name in enumerate(_TABLES["KIND"])}
POOL = _TABLES["ID"]
BAD_KINDS = len(_TABLES["BAD_KIND"])
# A bulk operation's count byte b asks for (b + 1) * BULK_UNIT nodes or
# edits, and bulk ids carry the node's index (both as in kernel_ops.cpp).
BULK_UNIT = 8
MAX_BULK_NODES = 2048


class Script:
    """Tracks the registered ids so that ids can be encoded as the harness picks them."""

    def __init__(self):
        self.out = bytearray()
        self.model = Model()

    @property
    def ids(self):
        return self.model.node_ids()

    def id_byte(self, name):
        if name in self.ids:
            return bytes([self.ids.index(name)])  # < 120 and < len(ids): that node
        if name in POOL:
            k = POOL.index(name)
            return bytes([next(b for b in range(120, 244) if b % len(POOL) == k)])
        raw = name.encode() if isinstance(name, str) else name
        return bytes([244, len(raw)]) + raw  # arbitrary bytes

    def dep_byte(self, name):
        if name in self.ids:  # 112..175: any registered node
            return bytes(
                [next(b for b in range(112, 176) if b % len(self.ids) == self.ids.index(name))]
            )
        if name in POOL:
            return bytes([next(b for b in range(176, 250) if b % len(POOL) == POOL.index(name))])
        raw = name.encode() if isinstance(name, str) else name
        return bytes([250, len(raw)]) + raw

    def op(self, name, *parts):
        self.out += bytes([OP[name]])
        for p in parts:
            self.out += p

    def add(self, name, kind):
        # An int stands for the invalid kind of that number in the harness's list.
        kind_byte = (
            bytes([KINDS[kind]])
            if kind in KINDS
            else bytes([next(b for b in range(200, 250) if b % BAD_KINDS == kind)])
        )
        self.op("add_node", self.id_byte(name), kind_byte)
        if kind in KINDS:
            # The model holds str ids: bytes that are not UTF-8 stand in it
            # under their escaped form, which no seed names otherwise.
            node_id = name if isinstance(name, str) else name.decode("utf-8", "backslashreplace")
            with contextlib.suppress(
                ValueError
            ):  # already registered: the harness checks the error
                self.model.add_node(node_id, kind)

    def deps(self, name, deps):
        n = len(deps)
        count = (
            bytes([n])
            if n < 6
            else bytes([200 + next(b for b in range(24) if 14 + (200 + b) % 24 == n)])
        )
        self.op("set_deps", self.id_byte(name), count, *[self.dep_byte(d) for d in deps])

    def ids_arg(self, names):
        n = len(names)
        count = bytes([n]) if n < 5 else bytes([240 + n - 5])
        return count + b"".join(self.id_byte(x) for x in names)

    def value(self, v):
        return bytes([7]) + v.to_bytes(8, "big")

    def bulk_nodes(self, count_byte, kind):
        count = (count_byte + 1) * BULK_UNIT
        assert len(self.ids) + count <= MAX_BULK_NODES, "past the bound: the harness adds fewer"
        for _ in range(count):
            self.model.add_node(f"bulk-node-{len(self.ids):06d}", kind)

    def fan(self, count_byte, kind, hub):
        # The hub's byte names it by index.
        hub_byte = bytes([self.ids.index(hub)])
        self.op("add_fan", bytes([count_byte, KINDS[kind]]), hub_byte)
        self.bulk_nodes(count_byte, kind)

    def layer(self, count_byte, kind, most, seed):
        self.op("add_layer", bytes([count_byte, KINDS[kind], most]), seed.to_bytes(2, "big"))
        self.bulk_nodes(count_byte, kind)

    def rewire(self, count_byte, most, hot, seed):
        self.op("rewire", bytes([count_byte, most, hot - 1]), seed.to_bytes(2, "big"))

    def edit(self, target, deps):
        # set_deps by index on a graph past 120 nodes: a target byte below 120
        # names that node, and a dep byte below 112 (and below the target)
        # names the dep of that index.
        assert target < 120 and all(d < min(target, 112) for d in deps) and len(deps) < 6
        self.op("set_deps", bytes([target, len(deps), *deps]))

    def uniform_round(self, batches, byte):
        # One byte for every node: what it does then does not depend on the
        # node's place in the topological order.
        self.op("kernel_round", bytes([batches]), bytes([byte]) * len(self.ids))


def diamond():
    s = Script()
    for name, kind in [("a", "input"), ("b", "reactive"), ("c", "source"), ("d", "view")]:
        s.add(name, kind)
    s.deps("b", ["a"])
    s.deps("c", ["a"])
    s.deps("d", ["c", "b", "c"])
    s.op("build")
    s.op("mark_dirty", s.ids_arg(["a"]))
    s.op("update_round", b"\x01\x00\x00\x00")
    s.op("commit_input", s.id_byte("a"), s.value(7))
    s.op("check_node", s.id_byte("d"))
    s.op("check_and_commit", s.id_byte("b"), b"\x01")
    s.op("check_and_commit", s.id_byte("c"), b"\x00")
    s.op("downstream", s.id_byte("a"))
    s.op("dirty_subgraph", s.ids_arg(["d", "a", "a"]))
    s.op("needs_recompute", s.id_byte("d"), b"\x06")
    s.op("set_computing", s.id_byte("c"))
    s.op("mark_dirty", s.ids_arg(["b", "zz"]))
    s.op("ids_in_topo_order", b"\x05\x03\x00\x03\x01\x02")
    s.op("downstream_closure", b"\x03\x01\x00\x01")
    return s.out


def cycle():
    s = Script()
    for name in "abcd":
        s.add(name, "reactive")
    s.deps("a", ["b"])
    s.deps("b", ["a"])
    s.deps("c", ["a"])
    s.op("build")
    s.op("downstream", s.id_byte("zz"))
    s.deps("b", [])
    s.op("build")
    s.op("dirty_subgraph", s.ids_arg(["b"]))
    s.add("e", "view")
    s.op("downstream", s.id_byte("a"))
    return s.out


def order():
    # Dependencies against registration order, and the smallest ready index.
    s = Script()
    for name in "xyzpqr":
        s.add(name, "source")
    s.deps("x", ["y"])
    s.deps("p", ["r"])
    s.deps("q", ["z", "x"])
    s.op("build")
    s.op("update_round", bytes(6))
    s.deps("q", ["x", "z"])
    s.op("build")
    s.op("mark_dirty", s.ids_arg(["r", "y"]))
    return s.out


def quoting():
    # Every id of the pool registered, errors that carry them, invalid kinds.
    s = Script()
    for name in POOL:
        s.add(name, "input")
    s.add("a", 1)  # AlreadyRegistered before InvalidKind
    s.add(b"\xff\xfe\xc3", "view")  # not UTF-8
    s.add(b"\xed\xa0\x80", "view")  # an encoded surrogate
    s.add("new", 0)  # a kind of the wrong case
    s.add("new", 5)  # a kind with a NUL
    s.deps('"q\\', ["a", '"q\\'])
    s.deps("e\u0301", ["\u00e9", b"\xf4\x90\x80\x80"])
    s.op("queries", s.id_byte(b"\xe2\x80\xa8"))
    s.op("queries", s.id_byte(b"\xef\xbf\xbf\xee\x80\x80"))
    s.op("indices_of", s.ids_arg(["", "\U0001f600", "\U0001f601"]))
    for bad in range(9, BAD_KINDS):  # kinds one byte away from valid ones
        s.add("new", bad)
    s.deps("abcdefgh", ["abcdefgi", "bbcdefgh"])
    s.deps("abcde", ["abcdf", "abdde", "abcde"])
    s.deps(
        "node-with-a-longer-id-0123456789",
        ["node-with-a-longer-id-0123456788", "node-with-a-lonxer-id-0123456789"],
    )
    s.deps("t\tn\nr\r\0z", ["a"])
    s.deps("a", ["t\tn\nr\r\0z"])
    s.op("build")
    return s.out


def long_deps():
    # Deps lists past the length where repeats are found by visit marks, and
    # enough rewrites of long lists that the deps storage is compacted.
    s = Script()
    names = [f"n{i}" for i in range(38)]
    for name in names:
        s.add(name, "reactive")
    s.deps("n37", names[:20] + names[:5] + ["n37"])  # self last: fails
    s.deps("n37", [*names[:30], "zz"])  # unknown last: fails
    for _ in range(16):
        s.deps("n36", [*names[:36], "n0"])
        s.deps("n37", names[:37])
        s.deps("n36", [])
        s.deps("n37", ["n1"])
    s.op("build")
    s.op("mark_dirty", s.ids_arg(["n0"]))
    s.op("downstream", s.id_byte("n1"))
    return s.out


def round_diamond():
    """Input a under b and c, both under view d, built."""
    s = Script()
    for name, kind in [("a", "input"), ("b", "reactive"), ("c", "reactive"), ("d", "view")]:
        s.add(name, kind)
    s.deps("b", ["a"])
    s.deps("c", ["a"])
    s.deps("d", ["b", "c"])
    s.op("build")
    return s


def rounds():
    # Rounds driven by the kernel: one byte for one at a time or batches,
    # then a byte per node in topological order (a, b, c, d): bit 0 gives an
    # input a hash (the top three bits), bit 2 makes a seed, bit 1 reports
    # the node changed, bit 3 runs a traversal before it is reported, bit 4
    # reports another node first (refused), bit 5 reverses a batch's reports
    # or, one at a time, asks for the next node before reporting (refused).
    s = round_diamond()
    s.op("kernel_round", b"\x00", b"\x21\x04\x04\x24")  # all given a value; d asks early
    s.op("kernel_round", b"\x01", b"\x41\x3a\x12\x08")  # a moves: b, c in one batch
    s.op("kernel_round", b"\x00", b"\x41\x00\x00\x00")  # a keeps its hash: nothing out
    s.op("commit_node", s.id_byte("b"), s.value(3))
    s.op("kernel_round", b"\x01", b"\x00\x04\x02\x18")  # b seeded: d folds again
    return s.out


def calls_in_rounds():
    # A round left open, then another call: the round byte, a byte per node
    # as in rounds(), then a byte (bits 0-1: batches run whole; bit 2: one
    # more batch, with its first bits 3-7 nodes reported), then the call.
    s = round_diamond()
    nodes = b"\x41\x06\x02\x02"  # a moves; b a seed; all reported changed

    def call(nodes, batches, op, *args):
        s.op("call_in_round", nodes, batches, bytes([OP[op]]), *args)

    call(nodes, b"\x0c", "check_node", s.id_byte("d"))  # b reported, c out: b's epoch waits
    call(nodes, b"\x04", "commit_node", s.id_byte("c"), s.value(5))
    call(nodes, b"\x0d", "set_dirty", s.id_byte("zz"))  # unknown: the round stays open
    call(b"\x21\x04\x00\x00", b"\x04", "add_node", s.id_byte("e"), bytes([KINDS["view"]]))
    s.model.add_node("e", "view")
    s.op("build")  # order a, b, c, d, e
    nodes += b"\x00"
    call(nodes, b"\x0c", "mark_dirty", s.ids_arg(["a"]))
    call(nodes, b"\x01", "set_deps", s.id_byte("d"), b"\x01", s.dep_byte("a"))
    s.op("build")
    s.op("kernel_round", b"\x01", b"\x00\x00\x00\x00\x00")  # the nodes left unsettled
    return s.out


def abandoned_rounds():
    # Rounds closed before a report (round byte bit 1, at the first node
    # handed out whose byte has bit 6), and the rounds that take up what they
    # left; node bytes as in rounds(), over a <- b <- c <- d.
    s = Script()
    for name, kind in [("a", "input"), ("b", "reactive"), ("c", "reactive"), ("d", "view")]:
        s.add(name, kind)
    s.deps("b", ["a"])
    s.deps("c", ["b"])
    s.deps("d", ["c"])
    s.op("build")
    s.op("kernel_round", b"\x00", b"\x21\x04\x04\x04")  # every node given a value
    s.op("kernel_round", b"\x03", b"\x41\x40\x00\x04")  # closed with b out: d, a seed, unreached
    s.op("kernel_round", b"\x00", b"\x00\x00\x00\x00")  # b unchanged, c settles, d still a seed
    s.op("kernel_round", b"\x02", b"\x61\x02\x40\x00")  # b changed, closed with c out
    s.op("kernel_round", b"\x01", b"\x00\x00\x00\x00")  # c, then d, no seed
    return s.out


def fan_round():
    # A fan of 1000 nodes on one input: its row is far longer than the rows
    # the walk gathers per batch of heads. The round byte: bits as in
    # rounds(), here the same for every node.
    s = Script()
    s.add("a", "input")
    s.fan(124, "reactive", "a")
    s.op("build")
    s.uniform_round(1, 0x63)  # a gets hash 3; one batch of 1000, reported changed, in reverse
    s.uniform_round(0, 0x2B)  # a gets hash 1; one at a time, with traversals and early asks
    return s.out


def wide_batches():
    # 64 inputs under 600 nodes of up to 8 deps each: a batch of heads
    # gathers more dependants than the walk's queue has room for, and the
    # closure has more edges than its first edge buffer.
    s = Script()
    s.layer(7, "input", 0, 0)
    s.layer(74, "reactive", 8, 0x1234)
    s.op("build")
    s.uniform_round(1, 0x21)  # every input gets hash 1; batches reversed
    s.uniform_round(1, 0x21)  # the same hashes: the kernel settles the whole closure
    s.uniform_round(1, 0x0E)  # inputs back to hash 0; every other node a seed, changed
    return s.out


def compaction():
    # 2048 set_deps calls on a built graph, with deps among a few hot
    # nodes: reverse-edge runs move again and again and both edge stores
    # fill with garbage. Then a full build, edits that the incremental build
    # handles, and a round over everything.
    s = Script()
    s.layer(63, "reactive", 4, 0x0BAD)
    s.op("build")
    s.rewire(255, 32, 48, 0x5EED)
    s.op("build")
    s.edit(119, [0, 3, 111])
    s.edit(113, [])
    s.op("build")
    s.uniform_round(1, 0x06)  # every node a seed, reported changed
    return s.out


def restores():
    # Epochs taken back, per node and in a round. An epoch byte b picks 0
    # (b % 6 == 0), one past the counter (1), the node's own (2), epoch
    # 1 + (b >> 3) % counter (3), the counter (4) or the next eight bytes (5).
    s = round_diamond()
    s.op("kernel_round", b"\x00", b"\x21\x06\x06\x06")  # b, c, d take epochs 1, 2, 3
    s.op("epoch_of", s.id_byte("c"))
    s.op("commit_node", s.id_byte("b"), s.value(9))  # b gives up 1 for 4
    s.op("restore_node", s.id_byte("b"), s.value(9), b"\x03")  # and takes 1 back
    s.op("restore_node", s.id_byte("c"), s.value(5), b"\x02")  # its own 2: a skip
    s.op("restore_node", s.id_byte("d"), s.value(5), b"\x03")  # b's 1: refused
    s.op("restore_node", s.id_byte("a"), s.value(5), b"\x00")  # 0: refused
    s.op("restore_node", s.id_byte("zz"), s.value(5), b"\x00")  # unknown first
    # A round on a new hash of a, one node at a time; bit 7 of a node's byte
    # reports it with an epoch, read when it is reported: b takes 4 back
    # (its key moves), c its own 2, d is refused 0 and reported changed.
    s.op("restoring_round", b"\x00", b"\x41\x82\x80\x82", b"\x04\x02\x00")
    # The same in one batch, a moved again: b takes back 1, c keeps 2.
    s.op("restoring_round", b"\x01", b"\x61\x80\x80\x00", b"\x03\x02")
    s.op("epoch_of", s.id_byte("b"))
    s.op(
        "call_in_round",
        b"\x41\x02\x02\x02",
        b"\x0c",
        bytes([OP["restore_node"]]),
        s.id_byte("c"),
        s.value(1),
        b"\x01",
    )  # past the counter: the round stays open
    return s.out


def removals():
    # Nodes going: a leaf, one refused for its dependant, an id that is
    # unknown, a node with everything below it (bit 5 of the first byte) and
    # a repeat (bit 4), then a round on what is left and an id come back.
    s = round_diamond()
    s.op("remove_nodes", b"\x00", s.id_byte("d"))  # one id: d, a leaf
    s.model.remove_node("d")
    s.op("remove_nodes", b"\x00", s.id_byte("a"))  # refused: b depends on a
    s.op("remove_nodes", b"\x01", s.id_byte("zz"), s.id_byte("c"))  # unknown first
    s.op("remove_nodes", b"\x30", s.id_byte("b"))  # b, its repeat and what is below it
    s.model.remove_node("b")
    s.add("b", "view")  # back, as a new node registered last
    s.deps("b", ["a", "c"])
    s.op("build")
    s.op("kernel_round", b"\x00", b"\x01\x02\x02")  # a, c, b: a given a hash
    return s.out


def main(argv=sys.argv[1:]):
    corpus = pathlib.Path(argv[0]) if argv else CORPUS
    corpus.mkdir(exist_ok=True)
    for name, make in [
        ("diamond", diamond),
        ("cycle", cycle),
        ("order", order),
        ("quoting", quoting),
        ("long_deps", long_deps),
        ("rounds", rounds),
        ("abandoned_rounds", abandoned_rounds),
        ("fan_round", fan_round),
        ("wide_batches", wide_batches),
        ("compaction", compaction),
        ("calls_in_rounds", calls_in_rounds),
        ("restores", restores),
        ("removals", removals),
    ]:
        data = bytes(make())
        (corpus / f"seed-{name}").write_bytes(data)
        print(f"seed-{name}: {len(data)} bytes")


if __name__ == "__main__":
    main()
