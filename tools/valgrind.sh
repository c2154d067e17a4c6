#!/usr/bin/env bash
# Runs every Graph method and every error path (the cases of tests/test_soak.py)
# a few hundred times under memcheck, and fails when memcheck finds a definite
# leak or a memory error (invalid read/write/free, use of uninitialised
# values, ...) with a frame in the extension module. The interpreter's own
# leaks at exit are not ours and are ignored.
#
#   tools/valgrind.sh            # QUORL_VALGRIND_ITERATIONS=300 by default
#
# PYTHONMALLOC=malloc lets memcheck see every object allocation on its own.
set -euo pipefail
cd "$(dirname "$0")/.."

command -v valgrind >/dev/null || { echo "valgrind: not installed" >&2; exit 2; }
# The real interpreter, not a launcher script that memcheck would stop at.
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
iterations=${QUORL_VALGRIND_ITERATIONS:-300}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Exercise the module as installed, not a stray build tree.
module=$("$python" -c 'import quorl._quorl as m; print(m.__file__)')
echo "valgrind: $module, $iterations iterations"

status=0
PYTHONMALLOC=malloc PYTHONPATH="tests${PYTHONPATH:+:$PYTHONPATH}" valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --track-origins=yes --num-callers=50 --xml=yes --xml-file="$work/memcheck.xml" \
    --log-file="$work/valgrind.log" \
    "$python" -c "
import test_soak
test_soak.run_cases(1, verify=True)
print('calls:', test_soak.run_cases($iterations))
" || status=$?

if [ "$status" -ne 0 ]; then
    echo "valgrind: the exercise script failed (exit $status)" >&2
    cat "$work/valgrind.log" >&2 || true
    exit "$status"
fi

"$python" - "$work/memcheck.xml" <<'EOF'
import sys
import xml.etree.ElementTree as ET

root = ET.parse(sys.argv[1]).getroot()
ours, others = [], 0
for error in root.iter("error"):
    kind = error.findtext("kind", "")
    if kind.startswith("Leak_") and kind != "Leak_DefinitelyLost":
        continue
    frames = [(frame.findtext("fn", "???"), frame.findtext("obj", "?")) for frame in error.iter("frame")]
    if any("_quorl" in obj or "quorl::" in fn for fn, obj in frames):
        what = error.find("xwhat/text")
        text = what.text if what is not None else error.findtext("what", "")
        ours.append((kind, text, frames))
    else:
        others += 1

print(f"valgrind: {len(ours)} error(s) in the module; {others} elsewhere (interpreter, ignored)")
for kind, text, frames in ours:
    print(f"\n{kind}: {text}")
    for fn, obj in frames:
        print(f"    {fn}  ({obj})")
sys.exit(1 if ours else 0)
EOF
