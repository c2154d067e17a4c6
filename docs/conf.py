"""Sphinx configuration of the quorl documentation site.

    python -m pip install -U pip && pip install . --group docs
    sphinx-build -W --keep-going -b html docs docs/_build/html

The API reference is read from the installed package, so build it against the
quorl you mean to document. The round diagram is drawn at build time from a
real run (docs/_ext/round_example.py), which needs Graphviz's dot.
"""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent / "_ext"))

import quorl

project = "quorl"
author = "The quorl developers"
copyright = "the quorl developers, MIT license"
release = quorl.__version__
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.graphviz",
    "quorl_docs",
]
source_suffix = {".md": "markdown"}
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3


def _lacks(name: str) -> bool:
    """Whether this build of quorl lacks NAME ("Engine", "Graph.to_bytes")."""
    target = quorl
    for part in name.split("."):
        if not hasattr(target, part):
            return True
        target = getattr(target, part)
    return False


# A reference page of a feature this build lacks would only fail to import
# it: such a page opens with "% requires: NAME" and is left out.
_lacking = [
    page.name
    for page in sorted(pathlib.Path(__file__).parent.glob("api-*.md"))
    if (first := page.read_text(encoding="utf-8").split("\n", 1)[0]).startswith("% requires: ")
    and _lacks(first.removeprefix("% requires: ").strip())
]
exclude_patterns = ["_build", *_lacking]

autodoc_typehints = "signature"
autodoc_member_order = "bysource"
graphviz_output_format = "svg"
nitpicky = False

html_theme = "furo"
html_title = f"quorl {release}"
