"""The seed corpus is what fuzz/make_seeds.py writes from the harness's
vocabulary: a change to the operation table that would give old seeds a new
meaning shows up here."""

import re
import subprocess
import sys
from pathlib import Path

import make_seeds
import pytest

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"


def test_generated_seeds_match_the_corpus(tmp_path):
    subprocess.run(
        [sys.executable, str(FUZZ / "make_seeds.py"), str(tmp_path)],
        check=True,
        capture_output=True,
        timeout=60,
    )
    generated = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    assert generated, "no seeds written"
    for name, data in generated.items():
        assert (FUZZ / "corpus" / name).read_bytes() == data, name


@pytest.mark.parametrize(
    ("cpp_name", "py_name"),
    [("bulk_unit", "BULK_UNIT"), ("max_bulk_nodes", "MAX_BULK_NODES")],
)
def test_seed_generator_counts_bulk_nodes_as_the_harness_does(cpp_name, py_name):
    # The generator registers the ids of the nodes a bulk operation adds, so
    # it must agree with the harness on how many that is.
    source = (FUZZ / "harness" / "kernel_ops.cpp").read_text(encoding="utf-8")
    found = re.search(rf"constexpr std::size_t {cpp_name} = (\d+);", source)
    assert found, cpp_name
    assert getattr(make_seeds, py_name) == int(found[1])
