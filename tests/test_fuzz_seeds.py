"""The seed corpus is what fuzz/make_seeds.py writes from the harness's
vocabulary: a change to the operation table that would give old seeds a new
meaning shows up here."""

import subprocess
import sys
from pathlib import Path

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
