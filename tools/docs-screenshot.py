#!/usr/bin/env python3
"""Screenshot pages of the built documentation site in headless Chromium.

    tools/docs-screenshot.py HTML_DIR [OUT_DIR]

Takes the index and "how it works" (the page with the drawn round) at
1280x900 and fails unless each picture shows a page: a PNG of that size,
not one flat colour, with enough ink on it to be text and figures. A theme
whose CSS failed to load, or a page that did not render, fails here while
the HTML build itself passes. Needs only the standard library and a
`chromium` (or `chromium-browser`) on PATH.
"""

from __future__ import annotations

import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

PAGES = ["index.html", "how-it-works.html"]
WIDTH, HEIGHT = 1280, 900
MIN_COLOURS = 16  # anti-aliased text alone gives far more; a blank page gives 1
MIN_INK = 0.02  # share of pixels away from the background colour


def decode_png(data: bytes) -> tuple[int, int, list[bytes]]:
    """Width, height and unfiltered rows of an 8-bit RGB or RGBA PNG."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    pos, idat, header = 8, [], None
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos : pos + 4])
        kind, body = data[pos + 4 : pos + 8], data[pos + 8 : pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat.append(body)
    if header is None:
        raise ValueError("PNG without a header")
    width, height, depth, colour_type, *_ = header
    if depth != 8 or colour_type not in (2, 6):
        raise ValueError(f"unexpected PNG format: depth {depth}, colour type {colour_type}")
    bpp = 3 if colour_type == 2 else 4
    raw = zlib.decompress(b"".join(idat))
    stride = width * bpp
    rows: list[bytes] = []
    previous = bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1 : start + 1 + stride])
        for i in range(stride):
            left = line[i - bpp] if i >= bpp else 0
            up, up_left = previous[i], previous[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - up_left
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - up_left)
                pred = left if pa <= pb and pa <= pc else up if pb <= pc else up_left
                line[i] = (line[i] + pred) & 0xFF
        rows.append(bytes(b for i, b in enumerate(line) if bpp == 3 or i % 4 != 3))
        previous = line
    return width, height, rows


def check(png: pathlib.Path) -> str:
    """What is wrong with the screenshot, or "" when it shows a page."""
    width, height, rows = decode_png(png.read_bytes())
    if (width, height) != (WIDTH, HEIGHT):
        return f"{width}x{height}, not {WIDTH}x{HEIGHT}"
    counts: dict[bytes, int] = {}
    for row in rows[::4]:  # every fourth row and column is plenty to judge
        for x in range(0, len(row), 12):
            pixel = row[x : x + 3]
            counts[pixel] = counts.get(pixel, 0) + 1
    total = sum(counts.values())
    background = max(counts.values())
    ink = 1 - background / total
    if len(counts) < MIN_COLOURS or ink < MIN_INK:
        return f"looks blank: {len(counts)} colours, {ink:.1%} of it away from the background"
    return ""


def main(argv: list[str]) -> int:
    if len(argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    html = pathlib.Path(argv[1]).resolve()
    out = pathlib.Path(argv[2] if len(argv) == 3 else tempfile.mkdtemp(prefix="quorl-shots-"))
    out.mkdir(parents=True, exist_ok=True)
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        print("chromium is not installed (apt-get install chromium)", file=sys.stderr)
        return 1
    failed = False
    for page in PAGES:
        source = html / page
        shot = out.resolve() / (source.stem + ".png")
        shot.unlink(missing_ok=True)
        with tempfile.TemporaryDirectory() as profile:  # no state shared between runs
            subprocess.run(
                [
                    browser,
                    "--headless",
                    "--no-sandbox",  # CI runs as root, where the sandbox refuses to start
                    "--disable-gpu",
                    "--hide-scrollbars",
                    f"--user-data-dir={profile}",
                    f"--window-size={WIDTH},{HEIGHT}",
                    f"--screenshot={shot}",
                    source.as_uri(),
                ],
                check=False,
                capture_output=True,
                timeout=120,
            )
        problem = check(shot) if shot.exists() else "no screenshot written"
        print(f"{page}: {problem or 'ok'} ({shot})")
        failed |= bool(problem)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
