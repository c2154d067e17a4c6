"""Writes the seed corpus of the snapshot fuzzer, fuzz/corpus-snapshot/.

    python fuzz/make_snapshot_seeds.py     (with quorl installed)

Mode 1 seeds are real snapshots, resealed by the harness after each mutation;
mode 2 seeds are short declaration programs (see fuzz/snapshot_fuzzer.cpp).
"""

import pathlib

from quorl import Graph

out = pathlib.Path(__file__).resolve().parent / "corpus-snapshot"


def chain(built: bool) -> Graph:
    g = Graph()
    for i, kind in enumerate(["input", "source", "reactive", "view", "reactive"]):
        g.add_node(f"n{i}" if i % 2 else f"node-\u00e9-{i}-long-enough", kind)
    ids = g.node_ids()
    for i in range(1, len(ids)):
        g.set_deps(ids[i], ids[max(0, i - 2) : i])
    g.build()
    g.commit_input(ids[0], 99)
    g.commit_node(ids[2], g.check_node(ids[2])[2])
    g.skip_node(ids[3], 2**64 - 1)
    g.set_computing(ids[4])
    if not built:
        g.set_deps(ids[0], [ids[4]])  # a cycle in an unbuilt graph
    return g


def main() -> None:
    out.mkdir(exist_ok=True)
    seeds = {
        "empty": b"\1" + Graph().to_bytes(),
        "built": b"\1" + chain(True).to_bytes(),
        "unbuilt": b"\1" + chain(False).to_bytes(),
        "raw": b"\0" + chain(True).to_bytes(),
        "program": bytes([2, 6, 0, 17, 2, 3, 31, 1, 2, 0, 1, 3, 0, 1, 2, 1, 0, 1, 4, 2, 1, 7, 0]),
        "damage": bytes([2, 4, 0, 1, 2, 3, 1, 0, 1, 1, 1, 1, 0, 1, 0, 0, 8, 2, 0, 100, 7]),
    }
    for name, data in seeds.items():
        (out / f"seed-{name}").write_bytes(data)


if __name__ == "__main__":
    main()
