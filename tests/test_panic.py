"""A broken internal invariant raises PanicException instead of crashing.

No call can break an invariant, so the child process corrupts one node record
through ctypes: the object header, then the kernel graph whose first member is
the node vector (its first word points at the records), and a record's deps
count at byte 40.
"""

import sys

import pytest
from helpers import run_python

CHILD = r"""
    import ctypes, sys
    from quorl._quorl import Graph

    g = Graph()
    g.add_node("a", "source")
    g.add_node("b", "reactive")
    records = ctypes.c_void_p.from_address(id(g) + object.__basicsize__).value
    ctypes.c_uint32.from_address(records + 48 + 40).value = 1 << 30  # b's deps count

    try:
        g.check_node("b")
    except Exception:
        print("caught as Exception")
    except BaseException as exc:
        kind = type(exc)
        print(kind.__module__, kind.__name__, kind.__bases__ == (BaseException,), exc.args)
    # Access was released, and the other nodes still answer.
    print(g.check_node("a")[0], g.state_of("b"))
"""


@pytest.mark.skipif(sys.implementation.name != "cpython", reason="reads CPython object layout")
def test_broken_invariant_raises_panic_exception():
    assert run_python(CHILD, timeout=60).splitlines() == [
        "quorl._quorl PanicException True ('deps out of range of deps storage',)",
        "source dirty",
    ]
