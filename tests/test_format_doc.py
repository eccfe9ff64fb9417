"""docs/FORMAT.md against the module, so that the reference cannot drift from the code: every
annotated image in it is byte for byte what the call on its first line returns, and the refusal
messages it lists are exactly those that loads raises for the crafted images of the loads tests."""

import ast
import re
from pathlib import Path

import pytest

import vorn
from tests.support.cases import DECODE_CASES, DECOMPILE_CASES
from tests.support.image import NESTING_DEFS, image, nested_arrays, nested_objects
from tests.support.model import expected_emit_loads, expected_loads, identical
from tests.support.refusals import refusal

DOC = (Path(__file__).resolve().parent.parent / "docs" / "FORMAT.md").read_text(encoding="utf-8")


def image_blocks():
    """(call, lines) for each ```vorn-image block: the call on its first line and, per following
    line, its offset, bytes and annotation (columns apart by two spaces or more)."""
    blocks = []
    for body in re.findall(r"^```vorn-image\n(.*?)^```$", DOC, re.M | re.S):
        call, *rows = body.splitlines()
        lines = []
        for row in rows:
            offset, hex_bytes, note = re.split(r"\s{2,}", row.strip(), maxsplit=2)
            lines.append((int(offset), bytes.fromhex(hex_bytes), note))
        blocks.append((call.strip(), lines))
    return blocks


BLOCKS = image_blocks()


def run_call(call):
    """The function named by `call` (dumps or emit), its literal argument, and its result."""
    node = ast.parse(call, mode="eval").body
    assert isinstance(node, ast.Call) and isinstance(node.func, ast.Name), call
    assert node.func.id in ("dumps", "emit") and len(node.args) == 1 and not node.keywords, call
    argument = ast.literal_eval(node.args[0])
    return node.func.id, argument, getattr(vorn, node.func.id)(argument)


def test_the_reference_examples_are_there():
    calls = [call for call, _ in BLOCKS]
    assert """dumps('{"tags": ["x", "y", "x"], "name": "x"}')""" in calls
    assert 'emit({"a": 1})' in calls


@pytest.mark.parametrize("call, lines", BLOCKS, ids=[call for call, _ in BLOCKS])
def test_annotated_image(call, lines):
    name, argument, produced = run_call(call)
    position = 0
    for offset, data, note in lines:
        assert offset == position, f"offset {offset} where {position} was due ({note})"
        position += len(data)
    assert b"".join(data for _, data, _ in lines) == produced
    expected = expected_loads(argument) if name == "dumps" else expected_emit_loads(argument)
    assert identical(vorn.loads(produced), expected)


def refusal_templates():
    """The message column of every table in the section on refusals."""
    section = DOC.split("## What a reader refuses, in order", 1)[1].split("\n## ", 1)[0]
    templates = set()
    for row in section.splitlines():
        if row.startswith("|") and not row.startswith("|---"):
            templates.update(re.findall(r"`([^`]+)`", row.rstrip(" |").rsplit("|", 1)[1]))
    return templates


def pattern(template):
    """A template's fixed text, with any text in place of each {placeholder}."""
    return re.compile(".+?".join(re.escape(part) for part in re.split(r"\{[^{}]*\}", template)))


def raised_messages():
    """What loads raises for every crafted image of the decoder and decompiler tests, and for
    nesting one level too deep."""
    crafted = [data for data, _ in DECODE_CASES + DECOMPILE_CASES]
    crafted += [image(NESTING_DEFS, entries=[(6, nested_arrays(129))]),
                image(NESTING_DEFS, entries=[(8, nested_objects(129))])]
    messages = set()
    for data in crafted:
        messages.add(refusal(vorn.loads, data))
    return messages


def test_listed_messages_are_the_raised_ones():
    templates = refusal_templates()
    assert len(templates) > 50
    raised = raised_messages()
    never_raised = [t for t in templates if not any(pattern(t).fullmatch(m) for m in raised)]
    assert never_raised == [], "listed in FORMAT.md, but loads raises no such message"
    unlisted = [m for m in raised if not any(pattern(t).fullmatch(m) for t in templates)]
    assert unlisted == [], "raised by loads, but not listed in FORMAT.md"
