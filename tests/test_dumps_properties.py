"""Properties of dumps on JSON text that json.dumps makes from generated values."""

import json
import math
import struct

from hypothesis import given, strategies as st

import vorn
from tests.support.image import parse_image, root, to_python
from tests.support.model import Refused, expected_loads, float32, identical, kind, read_json
from tests.support.refusals import refusal, refusal_text


scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-2**70, max_value=2**70)
    | st.sampled_from([0, -1, 2**31, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -2**63 - 1])
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=12)
)
# Arrays of one kind mostly, so that most examples compile; mixed ones test the refusals.
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=6)
    | st.lists(st.integers(-5, 5), max_size=4)
    | st.lists(st.text(alphabet="ab,:", max_size=3), max_size=4)
    | st.dictionaries(st.text(max_size=8), inner, max_size=5),
    max_leaves=25,
)


@given(values, st.booleans())
def test_dumps_compiles_or_refuses_as_decided(value, ascii_only):
    text = json.dumps(value, ensure_ascii=ascii_only)
    try:
        expected = expected_loads(text)
    except Refused as refused:
        try:
            vorn.dumps(text)
        except ValueError as e:
            assert refusal_text(e) == str(refused)
        else:
            raise AssertionError("compiled a refused text")
        return
    image = vorn.dumps(text)
    assert identical(to_python(parse_image(image)), expected)
    assert vorn.dumps(text) == image
    # The image depends on the values, not on how the text spells them.
    assert vorn.dumps(json.dumps(value, indent=1, ensure_ascii=not ascii_only)) == image


@given(st.lists(st.dictionaries(st.sampled_from(["a", "b", "a:2", "a,b", "b:2,a", ""]),
                                st.none() | st.integers(0, 3) | st.text(max_size=1),
                                max_size=3), max_size=8))
def test_objects_share_definitions_exactly_when_member_lists_agree(objects):
    text = json.dumps(objects)
    img = parse_image(vorn.dumps(text))
    assert identical(to_python(img), expected_loads(text))
    used = [item[1] for item in root(img)[1][3]]
    layouts = [tuple((k, kind(v)) for k, v in o.items()) for o in read_json(text)]
    for i in range(len(objects)):
        for j in range(len(objects)):
            assert (used[i] == used[j]) == (layouts[i] == layouts[j])


@given(st.integers(0x00800000, 0x7F7FFFFE), st.sampled_from([-1, 0, 1]))
def test_decimals_convert_with_correct_rounding(bits, step):
    # The double halfway between two neighbouring floats, or its neighbour on either side: a
    # decimal that converts one double ulp off would round to the other float.
    low = struct.unpack("<f", struct.pack("<I", bits))[0]
    high = struct.unpack("<f", struct.pack("<I", bits + 1))[0]
    mid = (low + high) / 2
    x = mid if step == 0 else math.nextafter(mid, math.inf * step)
    assert to_python(parse_image(vorn.dumps(repr(x)))) == float32(x)


# JSON text spelled every way the grammar allows, not only the way json.dumps spells it: every
# escape (a character that has a short escape also as \u), digit runs of any length around the
# reader's eight-at-a-time steps, exponents with signs and leading zeros, and all four kinds of
# whitespace between tokens.
SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "/": "\\/", "\b": "\\b", "\f": "\\f", "\n": "\\n",
                 "\r": "\\r", "\t": "\\t"}
whitespace = st.text(alphabet=" \t\n\r", max_size=3)


@st.composite
def spelled_strings(draw):
    out = ['"']
    for ch in draw(st.text(max_size=10)):
        how = draw(st.sampled_from(["plain", "short", "unicode"]))
        if how == "short" and ch in SHORT_ESCAPES:
            out.append(SHORT_ESCAPES[ch])
        elif how == "unicode" or ch in '"\\' or ord(ch) < 0x20:
            out.append(json.dumps(ch, ensure_ascii=True)[1:-1] if ord(ch) > 0xFFFF
                       else f"\\u{ord(ch):04{draw(st.sampled_from('xX'))}}")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


digits = st.text(alphabet="0123456789", min_size=1, max_size=30)


@st.composite
def spelled_numbers(draw):
    whole = draw(digits).lstrip("0") or "0"
    text = draw(st.sampled_from(["", "-"])) + whole
    if draw(st.booleans()):
        text += "." + draw(digits)
    if draw(st.booleans()):
        text += draw(st.sampled_from("eE")) + draw(st.sampled_from(["", "+", "-"]))
        text += draw(st.text(alphabet="0", max_size=3)) + draw(st.text(alphabet="0123456789",
                                                                       min_size=1, max_size=2))
    return text


@st.composite
def spelled_documents(draw):
    ws = lambda: draw(whitespace)  # noqa: E731
    kind = draw(st.sampled_from(["strings", "numbers", "object"]))
    if kind == "object":
        keys = draw(st.lists(spelled_strings(), max_size=4))
        members = [f"{ws()}{k}{ws()}:{ws()}{draw(spelled_numbers())}{ws()}" for k in keys]
        return "{" + ",".join(members) + ws() + "}"
    items = draw(st.lists(spelled_strings() if kind == "strings" else spelled_numbers(),
                          max_size=6))
    return ws() + "[" + ",".join(f"{ws()}{item}{ws()}" for item in items) + ws() + "]" + ws()


@given(spelled_documents())
def test_every_spelling_reads_as_json_reads_it(text):
    try:
        expected = expected_loads(text)
    except Refused as refused:
        assert refusal(vorn.dumps, text) == str(refused)
        return
    assert identical(vorn.loads(vorn.dumps(text)), expected)
