"""Sphinx extension for the quorl site: signatures from the type stubs, and the
round diagram drawn from a real run.

The extension module carries text signatures without types ("($self, id,
kind)"); the stubs say what each parameter and result is, so the reference
shows the stub's signature instead. Docstrings stay the module's own.
"""

from __future__ import annotations

import ast
import pathlib
import re

import quorl
from round_example import traced_round_dot

STUBS = pathlib.Path(quorl.__file__).with_name("_quorl.pyi")
# Native types that live under a private name in quorl._quorl and that the
# package exports under a public one.
EXPORTED_AS = {"_Round": "Round"}


def stub_signatures(source: str) -> dict[str, tuple[str, str]]:
    """``{"Graph.add_node": ("(id: str, kind: str)", "None"), ...}`` from stub text.

    Type aliases of the stub (``_Kind``) are written out, since the reader
    cannot look them up.
    """
    tree = ast.parse(source)
    aliases = {
        node.target.id: ast.unparse(node.value)
        for node in tree.body
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name) and node.value
    }
    # Names imported under a private alias ("Buffer as _Buffer") read as their own.
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom):
            aliases.update({a.asname: a.name for a in node.names if a.asname})

    def text(annotation: ast.expr | None) -> str:
        if annotation is None:
            return ""
        rendered = ast.unparse(annotation)
        for alias, value in aliases.items():
            rendered = re.sub(rf"\b{re.escape(alias)}\b", value, rendered)
        for private, public in EXPORTED_AS.items():
            rendered = re.sub(rf"\b{private}\b", public, rendered)
        return rendered

    def signature(function: ast.FunctionDef) -> tuple[str, str]:
        args = function.args
        params = [*args.posonlyargs, *args.args]
        if params and params[0].arg in ("self", "cls"):
            params = params[1:]
        parts = [f"{p.arg}: {text(p.annotation)}" if p.annotation else p.arg for p in params]
        for p, default in zip(args.kwonlyargs, args.kw_defaults, strict=True):
            shown = f"{p.arg}: {text(p.annotation)}" if p.annotation else p.arg
            parts.append(shown if default is None else f"{shown} = {ast.unparse(default)}")
        defaults = args.defaults
        if defaults:
            first = len(parts) - len(defaults)
            for i, default in enumerate(defaults):
                parts[first + i] += f" = {ast.unparse(default)}"
        return f"({', '.join(parts)})", text(function.returns)

    found: dict[str, tuple[str, str]] = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = signature(node)
        elif isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef) and not member.name.startswith("__"):
                    found[f"{node.name}.{member.name}"] = signature(member)
    return found


def document_under_public_names():
    """Give autodoc the package's names for its private native types.

    autodoc shows a class whose ``__name__`` differs from the name it is
    documented under as "alias of ...", without its docstring, and a native
    type's name cannot be changed. So, in the documentation build only, the
    package attribute is replaced by a plain class of the public name that
    carries the same docstring and the same method and property objects.
    """
    for private, public in EXPORTED_AS.items():
        native = getattr(quorl, public, None)
        if native is None or native.__name__ != private:
            continue
        members = {k: v for k, v in vars(native).items() if not k.startswith("__")}
        stand_in = type(public, (), {**members, "__doc__": native.__doc__, "__module__": "quorl"})
        setattr(quorl, public, stand_in)


def setup(app):
    document_under_public_names()
    signatures = stub_signatures(STUBS.read_text(encoding="utf-8"))

    def from_stubs(app, what, name, obj, options, signature, return_annotation):
        # A native method names its class in __objclass__; a native classmethod,
        # bound to the class, in __self__.
        owner = getattr(obj, "__objclass__", None) or getattr(obj, "__self__", None)
        module = getattr(obj, "__module__", None) or (
            owner.__module__ if isinstance(owner, type) else None
        )
        if module != "quorl._quorl" or what not in ("function", "method", "class"):
            return None
        return signatures.get(getattr(obj, "__qualname__", ""))

    def draw_round(app):
        generated = pathlib.Path(app.srcdir) / "_generated"
        generated.mkdir(exist_ok=True)
        (generated / "round.dot").write_text(traced_round_dot(), encoding="utf-8")

    app.connect("autodoc-process-signature", from_stubs)
    app.connect("builder-inited", draw_round)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
