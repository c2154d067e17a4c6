"""quorl: reactive computation over a native graph kernel.

``Engine`` is the way to use quorl: declare inputs and node functions, then
``set`` new input values; each round recomputes what the change reaches, in
order, in this thread or on any ``concurrent.futures`` executor. ``Graph`` is
the kernel underneath, for frameworks that drive it themselves: it keeps a
graph's topology and each node's bookkeeping; node values stay on the Python
side. See ``Round`` for an update round driven by the kernel.
"""

from quorl._quorl import Graph, kernel_version
from quorl._quorl import _Round as Round
from quorl._version import __version__ as __version__

TYPE_CHECKING = False  # not typing's: importing typing would cost more than the kernel
if TYPE_CHECKING:
    from quorl.engine import Engine, RoundReport, stable_hash

__all__ = ["Engine", "Graph", "Round", "RoundReport", "kernel_version", "stable_hash"]

_LAZY = {"Engine", "RoundReport", "stable_hash"}


def __getattr__(name: str) -> object:
    # The engine loads threading, concurrent.futures and hashlib: only on first
    # use, so that importing the kernel stays cheap.
    if name in _LAZY:
        from quorl import engine

        value = getattr(engine, name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'quorl' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | _LAZY)
