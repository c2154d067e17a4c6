"""A 64-bit content hash of input values that is the same in every process.

``hash()`` will not do: it is salted per process for ``str`` and ``bytes``,
and ``hash(-1) == hash(-2)``. ``repr()`` will not do either: two different
objects can share one (and the default one carries an address). So values are
encoded with a type tag per item, covering the built-in value types; anything
else is refused, and the engine takes a ``hasher`` for such types.
"""

from __future__ import annotations

import math
import struct
from hashlib import blake2b
from typing import Any

__all__ = ["stable_hash"]

_pack_double = struct.Struct("<d").pack


def _encode(value: Any, out: list[bytes], depth: int) -> None:
    # Exact types only: a subclass may redefine equality, so it could hash
    # alike two values that it calls different.
    kind = type(value)
    if depth > 100:
        raise ValueError("value nested too deeply to hash")
    if value is None:
        out.append(b"N")
    elif kind is bool:
        out.append(b"T" if value else b"F")
    elif kind is int:
        data = str(value).encode()
        out.append(b"i%d:" % len(data) + data)
    elif kind is float:
        # -0.0 and 0.0 are different values to a formatter; every NaN is one value.
        data = b"nan" if math.isnan(value) else _pack_double(value)
        out.append(b"f" + data)
    elif kind is complex:
        out.append(b"c")
        _encode(value.real, out, depth + 1)
        _encode(value.imag, out, depth + 1)
    elif kind is str:
        data = value.encode("utf-8", "surrogatepass")
        out.append(b"s%d:" % len(data) + data)
    elif kind is bytes or kind is bytearray:
        out.append((b"b" if kind is bytes else b"y") + b"%d:" % len(value) + bytes(value))
    elif kind is tuple or kind is list:
        out.append((b"(" if kind is tuple else b"[") + b"%d:" % len(value))
        for item in value:
            _encode(item, out, depth + 1)
    elif kind is dict:
        out.append(b"{%d:" % len(value))
        items = []
        for key, item in value.items():
            parts: list[bytes] = []
            _encode(key, parts, depth + 1)
            _encode(item, parts, depth + 1)
            items.append(b"".join(parts))
        out.extend(sorted(items))  # equal dicts, whatever their insertion order
    elif kind is frozenset or kind is set:
        out.append((b"z" if kind is frozenset else b"S") + b"%d:" % len(value))
        elements = []
        for item in value:
            parts = []
            _encode(item, parts, depth + 1)
            elements.append(b"".join(parts))
        out.extend(sorted(elements))
    else:
        raise TypeError(
            f"cannot hash a value of type {kind.__qualname__} stably; "
            "give the Engine a hasher for it (Engine(hasher=...))"
        )


def stable_hash(value: Any) -> int:
    """A 64-bit hash of ``value`` that is the same in every process and run.

    Covers None, bool, int, float, complex, str, bytes, bytearray and tuples,
    lists, dicts, sets and frozensets of these; values that compare equal get
    equal hashes (except that 1, 1.0 and True, or 0.0 and -0.0, differ: they are different
    inputs to whatever formats them). Raises TypeError for other types.
    """
    out: list[bytes] = []
    _encode(value, out, 0)
    digest = blake2b(b"".join(out), digest_size=8).digest()
    return int.from_bytes(digest, "little")
