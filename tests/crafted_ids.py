"""Ids crafted offline to collide under the unkeyed id hash of quorl 1.2.0.

That hash folded each 8-byte word of a long id into a state with a fixed
multiplier, from a start that depended on the length alone. A 16-byte block
(a, b) with b equal to the state after a takes the state to zero, and from zero
back to zero; about one random ASCII word in 256 gives an ASCII b. Joining a
first block that reaches zero with any two zero-to-zero blocks makes 48-byte
ASCII ids that all hash to 0. A keyed hash must treat them like any others.
"""

from __future__ import annotations

import random

MASK = (1 << 64) - 1
K0, K1 = 0x9E3779B97F4A7C15, 0xD6E8FEB86659FD93
LENGTH = 48


def fold(a: int, b: int) -> int:
    product = a * b
    return (product & MASK) ^ (product >> 64)


def unkeyed_hash(id_bytes: bytes) -> int:
    """The 1.2.0 hash of an id longer than 11 bytes."""
    n = len(id_bytes)
    h = K0 ^ ((n * K1) & MASK)
    full = n - n % 8
    for k in range(0, full, 8):
        h = fold(h ^ int.from_bytes(id_bytes[k : k + 8], "little"), K1)
    if n > 8 and n % 8:
        h = fold(h ^ int.from_bytes(id_bytes[-8:], "little"), 0xA0761D6478BD642F)
    return fold(h, K0)


def _ascii(word: int) -> bool:
    return word & 0x8080808080808080 == 0


def _block(rng: random.Random, state: int) -> bytes:
    """A 16-byte ASCII block that takes `state` to zero."""
    while True:
        a = int.from_bytes(bytes(rng.randrange(0x20, 0x7F) for _ in range(8)), "little")
        b = fold(state ^ a, K1)
        if _ascii(b):
            return a.to_bytes(8, "little") + b.to_bytes(8, "little")


def colliding_ids(count: int, seed: int = 11) -> list[str]:
    """`count` distinct 48-byte ASCII ids whose unkeyed hash is 0."""
    rng = random.Random(seed)
    start = K0 ^ ((LENGTH * K1) & MASK)
    first = _block(rng, start)
    side = 1
    while side * side < count:
        side += 1
    blocks = list(dict.fromkeys(_block(rng, 0) for _ in range(side + 8)))[:side]
    ids = [(first + x + y).decode("ascii") for x in blocks for y in blocks]
    return ids[:count]


def random_ids(count: int, seed: int = 11) -> list[str]:
    """`count` distinct random 48-byte ASCII ids, for comparison."""
    rng = random.Random(seed)
    ids: dict[str, None] = {}
    while len(ids) < count:
        ids[bytes(0x20 + b % 95 for b in rng.randbytes(LENGTH)).decode("ascii")] = None
    return list(ids)
