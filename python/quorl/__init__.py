"""quorl: the native graph kernel of a reactive computation framework.

The kernel keeps a graph's topology and each node's bookkeeping; node values
stay on the Python side. See ``Graph`` for the operations and ``Round`` for an
update round driven by the kernel.
"""

from quorl._quorl import Graph, kernel_version
from quorl._quorl import _Round as Round
from quorl._version import __version__ as __version__

__all__ = ["Graph", "Round", "kernel_version"]
