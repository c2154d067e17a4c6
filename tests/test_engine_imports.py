"""The package's modules import one another one way: no module needs one
that needs it back, so each can be imported first, on its own."""

import ast
import graphlib
import pathlib
import subprocess
import sys

import pytest
import quorl

PACKAGE = pathlib.Path(quorl.__file__).parent
MODULES = sorted(
    "quorl" if path.stem == "__init__" else f"quorl.{path.stem}" for path in PACKAGE.glob("*.py")
)


def imports_of(module):
    """The quorl modules ``module`` imports anywhere in its source: at the
    top, inside functions and under TYPE_CHECKING alike."""
    path = PACKAGE / ("__init__.py" if module == "quorl" else module.split(".")[1] + ".py")
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module is not None:
            # `from quorl import _persist` needs a module, `from quorl import Engine` the package.
            for alias in node.names:
                name = f"{node.module}.{alias.name}"
                found.add(name if name in MODULES else node.module)
    return {name for name in found if name in MODULES and name != module}


def test_the_imports_form_no_cycle():
    graph = {module: imports_of(module) for module in MODULES}
    assert graph["quorl.engine"] >= {"quorl._drive", "quorl._persist", "quorl._state"}
    assert "quorl.engine" not in graph["quorl._persist"]
    try:
        order = list(graphlib.TopologicalSorter(graph).static_order())
    except graphlib.CycleError as error:
        pytest.fail(f"the modules import one another in a circle: {error.args[1]}")
    assert set(order) == set(MODULES)


@pytest.mark.parametrize("module", [m for m in MODULES if m != "quorl.__main__"])
def test_each_module_imports_first_in_a_fresh_interpreter(module):
    done = subprocess.run(
        [sys.executable, "-c", f"import {module}"], capture_output=True, text=True, check=False
    )
    assert done.returncode == 0, done.stderr
