"""Every code example of the documentation runs, and prints what the page shows.

Pages are MyST Markdown under docs/. On each page the ```python blocks run in
order in one namespace, so a tutorial can grow an example step by step. Three
comment lines steer this, each written just above a fence:

- ``% output``: the ```text block below is exactly what the python block
  before it printed;
- ``% skip: why``: the python block below is shown but not run;
- ``% requires: NAME``: the blocks below it on the page run only when the
  ``quorl`` package has NAME (a feature documented before it ships); a page
  that needs it throughout says so at its top.
"""

from __future__ import annotations

import contextlib
import io
import pathlib
import re
from dataclasses import dataclass

import pytest
import quorl

DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs"
FENCE = re.compile(r"^(`{3,})([^\n`]*)\n(.*?)^\1[ \t]*$", re.DOTALL | re.MULTILINE)
MARKER = re.compile(r"^% (output|skip|requires)\b:?[ \t]*(.*)$", re.MULTILINE)


@dataclass
class Block:
    offset: int
    line: int
    language: str
    code: str
    marker: str | None  # output, skip, or None
    reason: str = ""


def blocks(text: str) -> list[Block]:
    found = []
    for match in FENCE.finditer(text):
        before = text[: match.start()].rstrip("\n").rsplit("\n", 1)[-1]
        marker = MARKER.fullmatch(before)
        language = match.group(2).strip()
        found.append(
            Block(
                offset=match.start(),
                line=text.count("\n", 0, match.start()) + 1,
                language=language,
                code=match.group(3),
                marker=marker.group(1) if marker else None,
                reason=marker.group(2) if marker else "",
            )
        )
    return found


def lacks(name: str) -> bool:
    """Whether this build of quorl lacks NAME ("Engine", "Graph.to_bytes")."""
    target = quorl
    for part in name.removeprefix("quorl.").split("."):
        if not hasattr(target, part):
            return True
        target = getattr(target, part)
    return False


def pages() -> list[pathlib.Path]:
    return sorted(DOCS.glob("*.md"))


@pytest.mark.parametrize("page", pages(), ids=lambda p: p.name)
def test_examples_run_and_print_what_the_page_shows(page, tmp_path, monkeypatch):
    text = page.read_text(encoding="utf-8")
    missing = [
        (match.start(), match.group(1))
        for match in re.finditer(r"^% requires: *(\S+)$", text, re.MULTILINE)
        if lacks(match.group(1))
    ]
    monkeypatch.chdir(tmp_path)  # examples that save files write them here
    namespace: dict = {"__name__": f"docs_{page.stem.replace('-', '_')}"}
    printed = None
    ran = 0
    for block in blocks(text):
        where = f"{page.name}:{block.line}"
        if missing and block.offset > missing[0][0]:
            if ran == 0:
                pytest.skip(f"{page.name} documents {missing[0][1]}, which this build lacks")
            break
        if block.language == "python" and block.marker != "skip":
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                exec(compile(block.code, where, "exec"), namespace)
            printed = out.getvalue()
            ran += 1
        elif block.marker == "output":
            assert printed is not None, f"{where}: output shown before any code ran"
            assert printed == block.code, f"{where}: the code above printed something else"
            printed = None
    if ran == 0:
        pytest.skip(f"{page.name} has no example to run")


def test_every_marker_is_attached_to_a_block_it_can_steer():
    for page in pages():
        text = page.read_text(encoding="utf-8")
        steered = [b for b in blocks(text) if b.marker in ("output", "skip")]
        attached = {(b.marker, b.language) for b in steered}
        assert attached <= {("output", "text"), ("skip", "python")}, page.name
        markers = [m.group(1) for m in MARKER.finditer(text) if m.group(1) != "requires"]
        assert len(markers) == len(steered), (
            f"{page.name}: a % output or % skip line is not directly above a fence"
        )


def test_skipped_blocks_say_why():
    for page in pages():
        for block in blocks(page.read_text(encoding="utf-8")):
            if block.marker == "skip":
                assert block.reason, f"{page.name}:{block.line}: % skip needs a reason"


def public_names() -> list[str]:
    names = [f"quorl.{name}" for name in quorl.__all__]
    names += [
        f"quorl.{cls}.{member}"
        for cls in quorl.__all__
        if isinstance(getattr(quorl, cls), type)
        for member in vars(getattr(quorl, cls))
        if not member.startswith("_")
    ]
    return names


def test_the_api_reference_documents_every_public_name():
    reference = "".join(page.read_text(encoding="utf-8") for page in DOCS.glob("api*.md"))
    entries = re.findall(
        r"^\.\. auto(class|function|method|attribute|property):: (\S+)\n((?:[ \t]+:.*\n)*)",
        reference,
        re.MULTILINE,
    )
    documented = {name for _what, name, _options in entries}
    whole = {name for what, name, options in entries if what == "class" and ":members:" in options}
    missing = [
        name
        for name in public_names()
        if name not in documented and name.rpartition(".")[0] not in whole
    ]
    assert not missing, f"add these to docs/api*.md: {missing}"


def test_the_five_methods_without_a_docstring_keep_it_that_way():
    # Their text is fixed as empty at runtime; the reference page documents them.
    bare = ["set_computing", "set_dirty", "state_of", "kind_of", "deps_of"]
    assert [getattr(quorl.Graph, name).__doc__ for name in bare] == [None] * 5
    reference = (DOCS / "api.md").read_text(encoding="utf-8")
    for name in bare:
        entry = reference.split(f".. automethod:: quorl.Graph.{name}\n", 1)[1].split("\n.. ", 1)[0]
        assert len(entry.split()) > 5, f"docs/api.md says too little about {name}"


ROOT = DOCS.parent
README = ROOT / "README.md"
# The two commands a fresh machine runs: the main job, and the test suite as
# .ci/run runs it.
FRESH_MACHINE = "pip install . && python -m quorl\npip install '.[test]' && pytest\n"


def test_readme_is_a_front_page_that_opens_with_the_two_commands():
    text = README.read_text(encoding="utf-8")
    first = blocks(text)[0]
    assert first.language == "sh" and first.code == FRESH_MACHINE
    assert text[: first.offset].strip() == "# quorl", "nothing may come before the commands"
    assert len(text.splitlines()) < 170, "README is a front page: move details to docs/"
    ci = (ROOT / ".ci" / "run").read_text(encoding="utf-8")
    assert "pip install -q '.[test]' && pytest\n" in ci


def local_links(page: pathlib.Path) -> list[str]:
    """The link and image targets of a Markdown page that are files of the repository."""
    targets = re.findall(r"\]\(([^)\s]+)\)", page.read_text(encoding="utf-8"))
    return [t for t in targets if not re.match(r"[a-z]+:|#", t)]


@pytest.mark.parametrize("page", [README, ROOT / "CONTRIBUTING.md", *pages()], ids=lambda p: p.name)
def test_every_local_link_resolves_to_a_file(page):
    links = local_links(page)
    missing = [t for t in links if not (page.parent / t.split("#", 1)[0]).is_file()]
    assert not missing, f"{page.name} links to files that do not exist: {missing}"
    if page == README:  # a front page points into the site
        assert any(t.startswith("docs/") and t.endswith(".md") for t in links)


def test_pre_commit_pins_the_lint_groups_versions():
    pyproject = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    hooks = (ROOT / ".pre-commit-config.yaml").read_text(encoding="utf-8")
    pinned = re.findall(r'"((?:ruff|clang-format)==[^"]+)"', hooks)
    assert {pin.split("==")[0] for pin in pinned} == {"ruff", "clang-format"}
    groups = pyproject.split("[dependency-groups]", 1)[1].split("\n[", 1)[0]
    for pin in pinned:
        assert f'"{pin}"' in groups, f"{pin} differs from the lint groups of pyproject.toml"
