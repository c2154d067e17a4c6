#!/usr/bin/env python3
"""Generate src/core/unicode_table.hpp: the code points escaped when quoting an id.

A code point is escaped when it has the Grapheme_Extend property (it would
otherwise merge with the quote or the preceding character) or when it is not
printable: general category Cc, Cf, Cs, Co, Cn, Zl, Zp, or Zs other than
U+0020 SPACE.

The data comes from the Unicode Character Database files UnicodeData.txt and
DerivedCoreProperties.txt. On Debian and Ubuntu, `apt-get install unicode-data`
puts them in /usr/share/unicode; use --ucd DIR for another location.
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

MAX_CODE_POINT = 0x10FFFF
DEFAULT_UCD = Path("/usr/share/unicode")
REPO_ROOT = Path(__file__).resolve().parent.parent
DEFAULT_OUTPUT = REPO_ROOT / "src" / "core" / "unicode_table.hpp"

NOT_PRINTABLE = frozenset({"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"})
VERSION_RE = re.compile(r"^#\s*DerivedCoreProperties-(\d+\.\d+\.\d+)\.txt\s*$")
CODE_POINT_RE = re.compile(r"[0-9A-Fa-f]{4,6}")
RANGES_PER_LINE = 4


class UcdError(Exception):
    """Missing or malformed input; reported without a traceback."""


def parse_code_point(text: str, where: str) -> int:
    if not CODE_POINT_RE.fullmatch(text):
        raise UcdError(f"{where}: bad code point {text!r}")
    cp = int(text, 16)
    if cp > MAX_CODE_POINT:
        raise UcdError(f"{where}: code point {text!r} out of range")
    return cp


def read_lines(path: Path):
    try:
        with path.open(encoding="utf-8") as f:
            yield from enumerate(f, start=1)
    except OSError as e:
        raise UcdError(f"cannot read {path}: {e.strerror or e}") from None
    except UnicodeDecodeError as e:
        raise UcdError(f"{path}: not UTF-8 ({e.reason})") from None


def general_categories(path: Path) -> list[str]:
    """Category of every code point; absent ones stay Cn."""
    cats = ["Cn"] * (MAX_CODE_POINT + 1)
    range_start: tuple[int, str] | None = None  # (code point, name) of an open <..., First>
    for lineno, line in read_lines(path):
        line = line.strip()
        if not line:
            continue
        where = f"{path}:{lineno}"
        fields = line.split(";")
        if len(fields) < 3:
            raise UcdError(f"{where}: expected at least 3 ';'-separated fields")
        cp = parse_code_point(fields[0], where)
        name, cat = fields[1], fields[2]
        if len(cat) != 2:
            raise UcdError(f"{where}: bad general category {cat!r}")
        if name.endswith(", First>"):
            if range_start is not None:
                raise UcdError(f"{where}: range start inside another range")
            range_start = (cp, name[: -len(", First>")])
            continue
        if name.endswith(", Last>"):
            if range_start is None or range_start[1] != name[: -len(", Last>")]:
                raise UcdError(f"{where}: range end without a matching start")
            first = range_start[0]
            if first > cp:
                raise UcdError(f"{where}: range end before its start")
            cats[first : cp + 1] = [cat] * (cp - first + 1)
            range_start = None
            continue
        if range_start is not None:
            raise UcdError(f"{where}: entry inside an open range")
        cats[cp] = cat
    if range_start is not None:
        raise UcdError(f"{path}: range starting at U+{range_start[0]:04X} never ends")
    return cats


def grapheme_extend(path: Path) -> tuple[str, list[tuple[int, int]]]:
    """Unicode version from the header line, and the Grapheme_Extend ranges."""
    version = None
    ranges = []
    for lineno, line in read_lines(path):
        if version is None and (m := VERSION_RE.match(line.strip())):
            version = m.group(1)
        data = line.split("#", 1)[0].strip()
        if not data:
            continue
        where = f"{path}:{lineno}"
        fields = [f.strip() for f in data.split(";")]
        if len(fields) < 2:
            raise UcdError(f"{where}: expected 'code points ; property'")
        if fields[1] != "Grapheme_Extend":
            continue
        first_text, _, last_text = fields[0].partition("..")
        first = parse_code_point(first_text, where)
        last = parse_code_point(last_text, where) if last_text else first
        if first > last:
            raise UcdError(f"{where}: range end before its start")
        ranges.append((first, last))
    if version is None:
        raise UcdError(f"{path}: no '# DerivedCoreProperties-X.Y.Z.txt' header line")
    if not ranges:
        raise UcdError(f"{path}: no Grapheme_Extend entries")
    return version, ranges


def escaped_ranges(cats: list[str], extend: list[tuple[int, int]]) -> list[tuple[int, int]]:
    escaped = bytearray(cat in NOT_PRINTABLE for cat in cats)
    escaped[0x20] = 0  # the one space character that stays as is
    for first, last in extend:
        escaped[first : last + 1] = b"\x01" * (last - first + 1)
    ranges: list[tuple[int, int]] = []
    start = None
    for cp, flag in enumerate(escaped):
        if flag and start is None:
            start = cp
        elif not flag and start is not None:
            ranges.append((start, cp - 1))
            start = None
    if start is not None:
        ranges.append((start, MAX_CODE_POINT))
    return ranges


def render(version: str, ranges: list[tuple[int, int]]) -> str:
    cells = [f"{{0x{a:x}, 0x{b:x}}}," for a, b in ranges]
    rows = [
        "    " + " ".join(cells[i : i + RANGES_PER_LINE])
        for i in range(0, len(cells), RANGES_PER_LINE)
    ]
    body = "\n".join(rows)
    return f"""\
// Generated by tools/gen_unicode_table.py from the Unicode Character Database
// (UnicodeData.txt, DerivedCoreProperties-{version}.txt). Do not edit by hand.
// Regenerate (needs `apt-get install unicode-data`, or pass --ucd DIR):
//   python3 tools/gen_unicode_table.py
#pragma once

#include <algorithm>
#include <iterator>

namespace quorl::core::unicode {{

struct CodePointRange {{
    char32_t first;
    char32_t last;  // inclusive
}};

inline constexpr char const* version = "{version}";

// Code points written as escapes in a quoted id: Grapheme_Extend (they would
// fuse with the quote or the previous character), or not printable (general
// category Cc, Cf, Cs, Co, Cn, Zl, Zp, or Zs other than U+0020).
// Sorted, disjoint, adjacent ranges merged: {len(ranges)} ranges.
inline constexpr CodePointRange escaped_ranges[] = {{
{body}
}};

constexpr bool is_escaped(char32_t c) noexcept {{
    if (c > 0x10FFFF) return false;
    // The only range that can hold c is the last one starting at or before it.
    auto const* after =
        std::upper_bound(std::begin(escaped_ranges), std::end(escaped_ranges), c,
                         [](char32_t v, CodePointRange const& r) {{ return v < r.first; }});
    return after != std::begin(escaped_ranges) && c <= std::prev(after)->last;
}}

}}  // namespace quorl::core::unicode
"""


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--ucd",
        type=Path,
        default=DEFAULT_UCD,
        help="directory with UnicodeData.txt and DerivedCoreProperties.txt"
        f" (default {DEFAULT_UCD})",
    )
    parser.add_argument(
        "--output",
        type=Path,
        default=DEFAULT_OUTPUT,
        help="header to write (default src/core/unicode_table.hpp in the repository)",
    )
    args = parser.parse_args(argv)

    unicode_data = args.ucd / "UnicodeData.txt"
    derived = args.ucd / "DerivedCoreProperties.txt"
    missing = [p for p in (unicode_data, derived) if not p.is_file()]
    if missing:
        print(
            f"error: {', '.join(map(str, missing))} not found.\n"
            "Install the Unicode Character Database with `apt-get install unicode-data`,\n"
            "or point --ucd at a directory holding UnicodeData.txt and DerivedCoreProperties.txt.",
            file=sys.stderr,
        )
        return 1
    try:
        version, extend = grapheme_extend(derived)
        ranges = escaped_ranges(general_categories(unicode_data), extend)
        args.output.parent.mkdir(parents=True, exist_ok=True)
        args.output.write_text(render(version, ranges), encoding="utf-8", newline="\n")
    except UcdError as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"error: cannot write {args.output}: {e.strerror or e}", file=sys.stderr)
        return 1
    print(f"wrote {args.output}: {len(ranges)} ranges, Unicode {version}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
