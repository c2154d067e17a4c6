#!/usr/bin/env bash
# Mutation score of the test suite: applies each mutant of tools/mutants.txt to
# a private copy of the tree, rebuilds incrementally, runs the suite with a
# per-mutant timeout and prints the score and the survivors. Needs cmake, a
# C++23 compiler and a Python with the test extras installed
# (pip install '.[test]'). The whole list takes about 40 minutes on two cores
# as two runs side by side, each given half of the numbers with --only and a
# --work of its own. Not run in CI.
#
#   tools/mutation.sh                 # every mutant
#   tools/mutation.sh --only 3,17     # the given ones, e.g. the survivors
#   tools/mutation.sh --list          # list them
set -euo pipefail
cd "$(dirname "$0")/.."
exec "${PYTHON:-python3}" tools/mutation.py "$@"
