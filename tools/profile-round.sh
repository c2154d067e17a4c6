#!/usr/bin/env bash
# Profile kernel update rounds under callgrind: the instructions one round
# costs, then the functions they go to.
#
#   tools/profile-round.sh [NODES] [ROUNDS]      (default 100000 nodes, 40 rounds)
#
# The workload is the random-DAG round of the benchmark suite, driven through
# the public API only: about 3 deps per node, one input whose change reaches
# about a tenth of the graph, every node handed out reported unchanged, so
# the kernel settles nearly all of it. The graph is declared outside valgrind
# and restored from its snapshot inside, and a run of no rounds is taken off
# the total, so the per-round figures count the rounds alone. Instruction
# counts do not move with the machine's load: compare them before and after
# a change.
#
# PYTHON (default python3) must import the quorl to profile. Function names
# need a build that keeps its symbols, such as the editable RelWithDebInfo
# build of CONTRIBUTING.md; a Release wheel is stripped. QUORL_PROFILE_OUT
# names the callgrind file to keep (for callgrind_annotate or KCachegrind).
set -euo pipefail

nodes=${1:-100000}
rounds=${2:-40}
python=${PYTHON:-python3}
for tool in valgrind callgrind_annotate; do
    command -v "$tool" >/dev/null || {
        echo "$tool is missing (apt-get install valgrind)" >&2
        exit 1
    }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
out=${QUORL_PROFILE_OUT:-$work/rounds.callgrind}

cat >"$work/declare.py" <<'EOF'
import random
import sys

from quorl import Graph

nodes, snapshot = int(sys.argv[1]), sys.argv[2]
rng = random.Random(7)  # the same graph every run, so counts compare
ids = [f"n{i}" for i in range(nodes)]
g = Graph()
for i, node in enumerate(ids):
    g.add_node(node, "input" if i < max(1, nodes // 50) or rng.random() < 0.02 else "reactive")
for i, node in enumerate(ids):
    if i and g.kind_of(node) != "input":
        g.set_deps(node, rng.sample(ids[:i], min(i, rng.randint(1, 5))))
g.build()
inputs = [node for node in ids if g.kind_of(node) == "input"]
with g.begin_round({node: 1 for node in inputs}) as r:  # the first computation
    for node, _signature in r:
        r.done(node, True)
changed = min(inputs[:200], key=lambda node: abs(len(g.dirty_subgraph([node])) - nodes // 10))
with open(snapshot, "wb") as f:
    f.write(g.to_bytes())
print(changed, len(g.dirty_subgraph([changed])))
EOF

cat >"$work/rounds.py" <<'EOF'
import sys

from quorl import Graph

snapshot, changed, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
with open(snapshot, "rb") as f:
    g = Graph.from_bytes(f.read())
# One round more than asked: the first after a restore also derives the
# reverse edges, which the run of no rounds then takes off.
for k in range(rounds + 1):
    with g.begin_round({changed: k + 2}) as r:
        for node, _signature in r:
            r.done(node, False)  # unchanged: its dependants are cut off
EOF

read -r changed closure < <("$python" "$work/declare.py" "$nodes" "$work/graph.snapshot")
echo "$nodes nodes; $rounds rounds, each over a closure of $closure nodes (python: $python)"

# Total instructions of one callgrind run of rounds.py with $1 rounds into $2.
instructions() {
    valgrind --tool=callgrind --callgrind-out-file="$2" "$python" "$work/rounds.py" \
        "$work/graph.snapshot" "$changed" "$1" 2>"$work/valgrind.log" ||
        { cat "$work/valgrind.log" >&2; return 1; }
    sed -n 's/^summary: *\([0-9]*\).*/\1/p' "$2"
}
base=$(instructions 0 "$work/base.callgrind")
total=$(instructions "$rounds" "$out")
per_round=$(((total - base) / rounds))
echo "instructions per round: $per_round ($((per_round / closure)) per closure node)"
echo

# The rounds' share of each function: its count in the run of $rounds rounds
# less its count in the run of none, per round.
functions() {
    callgrind_annotate --auto=no --threshold=100 "$1" |
        awk '/file:function/ { go = 1; next } go && /^ *[0-9]/' | sed 's| \[[^]]*\]$||'
}
functions "$work/base.callgrind" >"$work/base.functions"
functions "$out" >"$work/rounds.functions"
"$python" - "$work/base.functions" "$work/rounds.functions" "$rounds" >"$work/per-round" <<'EOF'
import re
import sys


def counts(path):
    found = {}
    for line in open(path, encoding="utf-8", errors="replace"):
        if match := re.match(r"\s*([\d,]+) \([^)]*\)\s+(.*)", line):
            name = match.group(2)
            found[name] = found.get(name, 0) + int(match.group(1).replace(",", ""))
    return found


base, total, rounds = counts(sys.argv[1]), counts(sys.argv[2]), int(sys.argv[3])
per_round = {name: (n - base.get(name, 0)) // rounds for name, n in total.items()}
for name, n in sorted(per_round.items(), key=lambda item: -item[1]):
    if n > 0:
        print(f"{n:>12,}  {name}")
EOF
echo "--- where a round's instructions go (self, per round)"
head -n 25 "$work/per-round"
if [[ -n ${QUORL_PROFILE_OUT:-} ]]; then
    echo
    echo "callgrind file: $out"
fi
