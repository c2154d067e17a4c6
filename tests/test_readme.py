"""The README's quickstart runs and prints what the README says it prints."""

import contextlib
import io
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


@pytest.mark.parametrize("section", ["## Quickstart", "## Driving the kernel yourself"])
def test_quickstart_prints_what_the_readme_shows(section):
    quickstart = README.read_text(encoding="utf-8").split(section, 1)[1]
    code, output = re.findall(r"```(?:python|text)\n(.*?)```", quickstart, re.DOTALL)[:2]
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(code, str(README), "exec"), {"__name__": "quickstart"})
    assert printed.getvalue() == output
