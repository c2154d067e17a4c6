"""A value format that cannot run code, for the plain value types.

``encode`` writes None, bool, int (any size), float (its exact bits, NaN
payloads and signed zeros included), complex, str, bytes, bytearray and
tuples, lists, dicts, sets and frozensets of these: the types that
``stable_hash`` accepts, exact types only (a subclass may carry behaviour
that a plain copy would lose). ``decode`` gives back equal values of the same
types, and refuses anything else with ``ValueError``: every length is
checked against the bytes that remain before anything is allocated for it,
and nesting is bounded, so crafted input fails cleanly.

Each item is a one-byte tag and its payload (integers little-endian):

    N T F               None, True, False
    i <q                an int in the signed 64-bit range
    u <Q                an int above it, up to 2**64 - 1
    I <Q n, n bytes     any other int, two's complement
    f <d                a float
    c <d <d             a complex
    s b y <Q n, n bytes str (UTF-8, surrogates passed), bytes, bytearray
    ( [ z S <Q n        tuple, list, frozenset, set: n items follow
    { <Q n              dict: n keys, each followed by its value
    L k <Q n, items     a list of 4 or more items, all of column kind k
    K k <Q n, keys      a dict of 4 or more keys, all of column kind k:
                        their column, then the n values item by item
    P k v <Q n, keys, values
                        the same with values all of column kind v, as a
                        column too

A column holds n items of one kind, read at C speed (dicts of node values,
hashes and memo entries are mostly columns): q (ints in the signed 64-bit
range, n <q), Q (other ints up to 2**64 - 1, n <Q), d (floats, n <d), s (str:
n <I lengths in code points, then <Q m and m bytes of their UTF-8 run
together).
"""

from __future__ import annotations

import struct
from collections.abc import Sequence
from itertools import accumulate
from typing import Any, Final

__all__ = ["MAX_DEPTH", "decode", "encode"]

MAX_DEPTH: Final = 100  # as stable_hash
_I64: Final = struct.Struct("<q")
_U64: Final = struct.Struct("<Q")
_F64: Final = struct.Struct("<d")
_C128: Final = struct.Struct("<dd")
_COLUMNS_FROM: Final = 4  # smaller dicts are quicker to read item by item
_SIGNED: Final = range(-(1 << 63), 1 << 63)
_UNSIGNED: Final = range(1 << 64)
_SEQUENCES: Final[dict[type, bytes]] = {tuple: b"(", list: b"[", frozenset: b"z", set: b"S"}
_BYTES: Final[dict[type, bytes]] = {bytes: b"b", bytearray: b"y"}


def _column(items: Sequence[Any]) -> tuple[bytes, bytes] | None:
    """The kind and the packed form of ``items``, if they are all of one
    column kind."""
    kind = type(items[0])
    if any(type(item) is not kind for item in items):
        return None
    n = len(items)
    if kind is str:
        if max(map(len, items)) >> 32:
            return None  # beyond the column's lengths
        text = "".join(items).encode("utf-8", "surrogatepass")
        return b"s", struct.pack(f"<{n}I", *map(len, items)) + _U64.pack(len(text)) + text
    if kind is int:
        fmt = "q" if all(i in _SIGNED for i in items) else "Q"
        if fmt == "Q" and not all(i in _UNSIGNED for i in items):
            return None
    elif kind is float:
        fmt = "d"
    else:
        return None
    return fmt.encode(), struct.pack(f"<{n}{fmt}", *items)


def _encode(value: Any, out: list[bytes], depth: int) -> None:
    if depth > MAX_DEPTH:
        raise ValueError(f"value nested more than {MAX_DEPTH} deep")
    kind = type(value)
    if value is None:
        out.append(b"N")
    elif kind is bool:
        out.append(b"T" if value else b"F")
    elif kind is int:
        if value in _SIGNED:
            out.append(b"i" + _I64.pack(value))
        elif value in _UNSIGNED:
            out.append(b"u" + _U64.pack(value))
        else:
            data = value.to_bytes((value.bit_length() + 8) // 8, "little", signed=True)
            out.append(b"I" + _U64.pack(len(data)) + data)
    elif kind is float:
        out.append(b"f" + _F64.pack(value))
    elif kind is complex:
        out.append(b"c" + _C128.pack(value.real, value.imag))
    elif kind is str:
        data = value.encode("utf-8", "surrogatepass")
        out.append(b"s" + _U64.pack(len(data)) + data)
    elif kind is bytes or kind is bytearray:
        out.append(_BYTES[kind] + _U64.pack(len(value)) + value)
    elif kind in _SEQUENCES:
        column = _column(value) if kind is list and len(value) >= _COLUMNS_FROM else None
        if column is not None:
            out.append(b"".join((b"L", column[0], _U64.pack(len(value)), column[1])))
            return
        out.append(_SEQUENCES[kind] + _U64.pack(len(value)))
        for item in value:
            _encode(item, out, depth + 1)
    elif kind is dict:
        keys = _column(list(value)) if len(value) >= _COLUMNS_FROM else None
        if keys is not None:
            values = _column(list(value.values()))
            n = _U64.pack(len(value))
            if values is not None:
                out.append(b"".join((b"P", keys[0], values[0], n, keys[1], values[1])))
                return
            out.append(b"".join((b"K", keys[0], n, keys[1])))
            for item in value.values():
                _encode(item, out, depth + 1)
            return
        out.append(b"{" + _U64.pack(len(value)))
        for key, item in value.items():
            _encode(key, out, depth + 1)
            _encode(item, out, depth + 1)
    else:
        raise TypeError(f"a value of type {kind.__qualname__} is not of the plain types")


def encode(value: Any) -> bytes:
    """``value`` as bytes; TypeError for a type outside the plain ones,
    ValueError for nesting deeper than ``MAX_DEPTH``."""
    out: list[bytes] = []
    _encode(value, out, 0)
    return b"".join(out)


class _Reader:
    __slots__ = ("data", "end", "pos")

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0
        self.end = len(data)

    def take(self, n: int) -> int:
        """The offset of the next ``n`` bytes, which must be there."""
        start = self.pos
        if n > self.end - start:
            raise ValueError(
                f"truncated: {n} bytes announced at offset {start}, {self.end - start} left"
            )
        self.pos = start + n
        return start

    def u64(self) -> int:
        return _U64.unpack_from(self.data, self.take(8))[0]

    def count(self, item_size: int) -> int:
        """A count of items of at least ``item_size`` bytes each, which must fit."""
        n = self.u64()
        if n * item_size > self.end - self.pos:
            raise ValueError(f"truncated: {n} items announced at offset {self.pos}")
        return n


def _read_column(reader: _Reader, kind: int, n: int) -> list[Any] | tuple[Any, ...]:
    data = reader.data
    if kind != 0x73:  # s
        if kind not in (0x71, 0x51, 0x64):  # q Q d
            raise ValueError(f"unknown column kind {kind:#04x}")
        return struct.unpack_from(f"<{n}{chr(kind)}", data, reader.take(8 * n))
    lengths = struct.unpack_from(f"<{n}I", data, reader.take(4 * n))
    size = reader.u64()
    start = reader.take(size)
    try:
        text = data[start : start + size].decode("utf-8", "surrogatepass")
    except UnicodeDecodeError as exc:
        raise ValueError(f"a str that is not UTF-8: {exc}") from None
    ends = list(accumulate(lengths))
    if ends[-1] != len(text):
        raise ValueError("a str column whose lengths do not add up")
    return [text[a:b] for a, b in zip([0, *ends[:-1]], ends, strict=True)]


def _packed(reader: _Reader) -> dict[Any, Any]:
    key_kind, value_kind = reader.data[reader.take(2) : reader.pos]
    n = reader.count(8)  # at least 4 bytes per key and value
    if not n:
        raise ValueError("an empty packed dict")
    keys = _read_column(reader, key_kind, n)
    result = dict(zip(keys, _read_column(reader, value_kind, n), strict=True))
    if len(result) != n:
        raise ValueError("a dict or set with a repeated key or element")
    return result


_SCALARS: Final = {ord("N"): None, ord("T"): True, ord("F"): False}
_FIXED: Final = {ord("i"): _I64, ord("u"): _U64, ord("f"): _F64}
_CONTAINERS: Final = {ord(t): t for t in "([zS{"}


def _build(tag: str, items: list[Any], keys: Sequence[Any]) -> Any:
    try:
        if tag == "(":
            return tuple(items)
        if tag == "[":
            return items
        if tag == "{":
            result: Any = dict(zip(items[::2], items[1::2], strict=True))
            count = len(items) // 2
        elif tag == "K":
            result = dict(zip(keys, items, strict=True))
            count = len(items)
        else:
            result = frozenset(items) if tag == "z" else set(items)
            count = len(items)
    except TypeError as exc:  # an unhashable key or element
        raise ValueError(f"a key or element that cannot be one: {exc}") from None
    if len(result) != count:
        raise ValueError("a dict or set with a repeated key or element")
    return result


def _decode(data: bytes) -> Any:
    reader = _Reader(data)
    # Open containers, innermost last: tag, items expected, items so far,
    # and a K dict's keys.
    stack: list[tuple[str, int, list[Any], Sequence[Any]]] = []
    value: Any
    while True:
        tag = data[reader.take(1)]
        if tag in _SCALARS:
            value = _SCALARS[tag]
        elif tag in _FIXED:
            fixed = _FIXED[tag]
            value = fixed.unpack_from(data, reader.take(8))[0]
        elif tag == 0x63:  # c
            value = complex(*_C128.unpack_from(data, reader.take(16)))
        elif tag in (0x73, 0x62, 0x79, 0x49):  # s b y I
            size = reader.u64()
            start = reader.take(size)
            raw = data[start : start + size]
            if tag == 0x73:
                try:
                    value = raw.decode("utf-8", "surrogatepass")
                except UnicodeDecodeError as exc:
                    raise ValueError(f"a str that is not UTF-8: {exc}") from None
            elif tag == 0x49:
                value = int.from_bytes(raw, "little", signed=True)
            else:
                value = raw if tag == 0x62 else bytearray(raw)
        elif tag == 0x50:  # P
            value = _packed(reader)
        elif tag == 0x4C:  # L
            key_kind = data[reader.take(1)]
            n = reader.count(4)
            if not n:
                raise ValueError("an empty list column")
            value = list(_read_column(reader, key_kind, n))
        elif tag == 0x4B:  # K
            key_kind = data[reader.take(1)]
            n = reader.count(5)  # at least 4 bytes per key and 1 per value
            if not n or len(stack) >= MAX_DEPTH:
                raise ValueError("an empty or too deeply nested dict of packed keys")
            stack.append(("K", n, [], _read_column(reader, key_kind, n)))
            continue
        elif tag in _CONTAINERS:
            kind = _CONTAINERS[tag]
            n = reader.count(1) * (2 if kind == "{" else 1)
            if n > reader.end - reader.pos:
                raise ValueError(f"truncated: {n} items announced at offset {reader.pos}")
            if n:
                if len(stack) >= MAX_DEPTH:
                    raise ValueError(f"nested more than {MAX_DEPTH} deep")
                stack.append((kind, n, [], ()))
                continue
            value = _build(kind, [], ())
        else:
            raise ValueError(f"unknown tag {tag:#04x} at offset {reader.pos - 1}")
        # Hand the value to the containers it completes.
        while stack:
            kind, n, items, keys = stack[-1]
            items.append(value)
            if len(items) < n:
                break
            stack.pop()
            value = _build(kind, items, keys)
        else:
            if reader.pos != reader.end:
                raise ValueError(f"{reader.end - reader.pos} stray bytes after the value")
            return value


def decode(data: bytes | memoryview) -> Any:
    """The value ``encode`` wrote as ``data``; ValueError for anything else."""
    return _decode(bytes(data))
