"""Exception classes and message texts of refused graph operations."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from model import (
    ALREADY_REGISTERED,
    INVALID_KIND,
    SELF_DEPENDENCY,
    UNKNOWN_NODE,
    quoted,
)
from quorl._quorl import Graph

ODD = 'x"\\\n\x1b'
ODD_Q = '"x\\"\\\\\\n\\u{1b}"'


@pytest.mark.parametrize(
    ("call", "exc", "message"),
    [
        (lambda g: g.kind_of("zz"), KeyError, UNKNOWN_NODE.format('"zz"')),
        (lambda g: g.state_of("zz"), KeyError, UNKNOWN_NODE.format('"zz"')),
        (lambda g: g.deps_of("zz"), KeyError, UNKNOWN_NODE.format('"zz"')),
        (lambda g: g.set_deps("a", [ODD]), KeyError, UNKNOWN_NODE.format(ODD_Q)),
        (lambda g: g.add_node("b", ODD), ValueError, INVALID_KIND.format(ODD_Q)),
        (
            lambda g: (g.add_node(ODD, "view"), g.add_node(ODD, "view")),
            ValueError,
            ALREADY_REGISTERED.format(ODD_Q),
        ),
        (
            lambda g: (g.add_node(ODD, "view"), g.set_deps(ODD, [ODD])),
            ValueError,
            SELF_DEPENDENCY.format(ODD_Q),
        ),
    ],
)
def test_class_and_single_argument(call, exc, message):
    g = Graph()
    g.add_node("a", "input")
    with pytest.raises(exc) as info:
        call(g)
    assert type(info.value) is exc and info.value.args == (message,)
    # KeyError shows its argument in repr form; the message itself carries no extra quotes.
    assert str(info.value) == (repr(message) if exc is KeyError else message)


def unknown_message(node):
    with pytest.raises(KeyError) as info:
        Graph().kind_of(node)
    return info.value.args[0]


@pytest.mark.parametrize(
    ("text", "want"),
    [
        ('"', '\\"'),
        ("\\", "\\\\"),
        ("\t", "\\t"),
        ("\n", "\\n"),
        ("\r", "\\r"),
        ("\0", "\\0"),
        ("\x001", "\\01"),
        ("'", "'"),
        (" ", " "),
        ("~", "~"),
        ("\x01", "\\u{1}"),
        ("\x1b", "\\u{1b}"),
        ("\x7f", "\\u{7f}"),
        ("\x85", "\\u{85}"),
        ("\xa0", "\\u{a0}"),
        ("\xad", "\\u{ad}"),
        ("\u200b", "\\u{200b}"),
        ("\ufeff", "\\u{feff}"),
        ("e\u0301", "e\\u{301}"),
        ("\u20dd", "\\u{20dd}"),  # combining and enclosing marks
        ("\u09be", "\\u{9be}"),
        ("\u0903", "\u0903"),  # spacing marks with and without Grapheme_Extend
        ("\uff9e", "\\u{ff9e}"),  # a modifier letter that extends graphemes
        ("\u2028", "\\u{2028}"),
        ("\u2029", "\\u{2029}"),
        ("\u3000", "\\u{3000}"),
        ("\ue000", "\\u{e000}"),
        ("\U000f0000", "\\u{f0000}"),
        ("\u0378", "\\u{378}"),
        ("\U000e0080", "\\u{e0080}"),
        ("\U000e0041", "\\u{e0041}"),
        ("\U0010ffff", "\\u{10ffff}"),
        ("\u00e9", "\u00e9"),
        ("\u4e2d", "\u4e2d"),
        ("\U0001f600", "\U0001f600"),
        ("\U0001f3fb", "\U0001f3fb"),
        ('it\'s "a\\b"', 'it\'s \\"a\\\\b\\"'),
    ],
)
def test_quoted_form(text, want):
    assert unknown_message(text) == UNKNOWN_NODE.format(f'"{want}"')


# The model quotes through the kernel's escape table, which
# test_unicode_table.py checks against Python's own Unicode data.
@settings(max_examples=400, deadline=None)
@given(st.text(st.characters(exclude_categories=("Cs",)), max_size=24))
def test_quoting_matches_the_model(node):
    assert unknown_message(node) == UNKNOWN_NODE.format(quoted(node))
