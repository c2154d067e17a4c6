"""Puts tests/ on the import path, the one place the benchmarks do so: they
share the test suite's models (the Graph contract in model.py, the round's
Python model and per-node driver in round_model.py, the crafted ids) rather
than keep copies. Imported first by the scripts that run on their own."""

import sys
from pathlib import Path

TESTS = str(Path(__file__).resolve().parent.parent / "tests")
if TESTS not in sys.path:
    sys.path.insert(1, TESTS)  # after the script's own folder
