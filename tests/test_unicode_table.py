"""The generated escape table, checked against Python's own Unicode data."""

import itertools
import re
import subprocess
import sys
import unicodedata
from pathlib import Path

import pytest
from model import ESCAPED as RANGES
from model import UNICODE_TABLE as TEXT
from model import escaped

ROOT = Path(__file__).resolve().parent.parent
VERSION = re.search(r'version = "([0-9.]+)"', TEXT).group(1)
UCD = Path("/usr/share/unicode")
NOT_PRINTABLE = {"Cc", "Cf", "Cs", "Co", "Zl", "Zp", "Zs"}  # Cn is left out: versions differ there
EXTENDING_LETTERS = (0xFF9E, 0xFF9F)  # halfwidth katakana sound marks, Lm yet Grapheme_Extend


def test_ranges_sorted_disjoint_merged():
    assert len(RANGES) > 100 and RANGES[-1][1] <= 0x10FFFF
    assert all(first <= last for first, last in RANGES)
    assert all(last + 1 < nxt for (_, last), (nxt, _) in itertools.pairwise(RANGES))


def test_version_names_its_source():
    assert f"DerivedCoreProperties-{VERSION}.txt" in TEXT.split("#pragma once")[0]


def test_agrees_with_python_categories():
    def version(text):
        return tuple(map(int, text.split(".")))

    newer = version(unicodedata.unidata_version) > version(VERSION)
    wrong = []
    for cp in range(0x110000):
        cat = unicodedata.category(chr(cp))
        # Cn may be assigned in the table's version; only some Mc are Grapheme_Extend.
        if cat in ("Cn", "Mc"):
            continue
        want = (
            (cat in NOT_PRINTABLE and cp != 0x20) or cat in ("Mn", "Me") or cp in EXTENDING_LETTERS
        )
        if not want and newer:
            continue  # a character newer than the table is unassigned, so escaped, there
        if escaped(cp) != want:
            wrong.append(f"U+{cp:04X} {cat}")
    assert wrong[:20] == []


@pytest.mark.parametrize(
    ("cp", "want"),
    [
        (0x00, True),
        (0x1F, True),
        (0x20, False),
        (0x7E, False),
        (0x7F, True),
        (0xA0, True),
        (0x0300, True),
        (0x0301, True),
        (0x0378, True),
        (0x0903, False),
        (0x09BE, True),
        (0x200B, True),
        (0x200C, True),
        (0x4E00, False),
        (0xD800, True),
        (0xE000, True),
        (0xFE0F, True),
        (0xFF9E, True),
        (0x1F3FB, False),
        (0x1F600, False),
        (0xE0020, True),
        (0x10FFFF, True),
    ],
)
def test_known_code_points(cp, want):
    assert escaped(cp) == want


def test_header_is_what_the_installed_database_generates(tmp_path):
    source = UCD / "DerivedCoreProperties.txt"
    header = source.read_text("utf-8").partition("\n")[0] if source.is_file() else ""
    if f"DerivedCoreProperties-{VERSION}.txt" not in header:
        pytest.skip(f"Unicode {VERSION} data is not installed (apt-get install unicode-data)")
    out = tmp_path / "unicode_table.hpp"
    script = ROOT / "tools/gen_unicode_table.py"
    subprocess.run([sys.executable, script, "--ucd", UCD, "--output", out], check=True)
    assert out.read_text(encoding="utf-8") == TEXT
