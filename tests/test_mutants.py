"""The mutation tool's list stays usable: every mutant still finds its one
place in the source, and every source file has mutants (the tool itself runs
outside CI, so a list gone stale would otherwise surface only there)."""

from pathlib import Path

from mutation import parse_mutants

ROOT = Path(__file__).resolve().parent.parent

MUTANTS = parse_mutants((ROOT / "tools" / "mutants.txt").read_text())


def test_every_mutant_finds_its_one_place():
    stale = [
        f"{m.number} {m.title} ({m.path})"
        for m in MUTANTS
        if m.before == m.after or (ROOT / m.path).read_text().count(m.before) != 1
    ]
    assert stale == []


def test_every_source_file_has_mutants():
    sources = {str(p.relative_to(ROOT)) for p in (ROOT / "src").rglob("*.[ch]pp")}
    assert sources - {m.path for m in MUTANTS} == set()
    assert len({m.title for m in MUTANTS}) == len(MUTANTS)
