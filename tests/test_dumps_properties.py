"""Properties of dumps on JSON text that json.dumps makes from generated values."""

import json
import math
import struct

from hypothesis import given, strategies as st

import vorn
from image_parts import parse_image, root, to_python

F32_OVERFLOW = 2.0**128 - 2.0**103  # the smallest magnitude that rounds to a float32 infinity
F32_MAX = struct.unpack("<f", bytes.fromhex("ffff7f7f"))[0]


class Refused(Exception):
    pass


def narrow(x):
    if abs(x) >= F32_OVERFLOW:
        return math.copysign(math.inf, x)
    if abs(x) > F32_MAX:
        return math.copysign(F32_MAX, x)
    return struct.unpack("<f", struct.pack("<f", x))[0]


def kind(v):
    if v is None:
        return "Null"
    if isinstance(v, bool):
        return "Bool"
    if isinstance(v, int):
        if -2**63 <= v < 2**63:
            return "Int32"
        return "UInt32" if 2**63 <= v < 2**64 else "Float32"
    return {float: "Float32", str: "String", list: "Array", dict: "Object"}[type(v)]


def model(v):
    """What loading the image gives back, or Refused with the compiler's message."""
    if isinstance(v, bool) or v is None or isinstance(v, str):
        return v
    if isinstance(v, int):
        if kind(v) == "Float32":
            return narrow(float(v))
        low = v & 0xFFFFFFFF
        return low - 2**32 if kind(v) == "Int32" and low >= 2**31 else low
    if isinstance(v, float):
        return narrow(v)
    if isinstance(v, dict):
        return {k: model(v[k]) for k in sorted(v, key=lambda k: k.encode())}
    items = [model(x) for x in v]
    kinds = [kind(x) for x in v]
    elem = next((k for k in kinds if k != "Null"), "Null")
    numbers = {"Int32", "UInt32", "Float32"}
    for i, k in enumerate(kinds):
        if k != elem and not (k in numbers and elem in numbers):
            raise Refused(f"Array item {i} is {k} but elem_type is {elem}")
    if len(set(kinds)) > 1:  # numbers of mixed kinds: every item a float32
        return [narrow(float(x)) for x in v]
    return items


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, float) and a == 0:
        return math.copysign(1, a) == math.copysign(1, b)
    return a == b


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
        expected = model(value)
    except Refused as refused:
        try:
            vorn.dumps(text)
        except ValueError as e:
            assert str(e) == f"Failed to parse VORN: {refused}"
        else:
            raise AssertionError("compiled a refused text")
        return
    image = vorn.dumps(text)
    assert same(to_python(parse_image(image)), expected)
    assert vorn.dumps(text) == image
    # The image depends on the values, not on how the text spells them.
    assert vorn.dumps(json.dumps(value, indent=1, ensure_ascii=not ascii_only)) == image


@given(st.lists(st.dictionaries(st.sampled_from(["a", "b", "a:2", "a,b", "b:2,a", ""]),
                                st.none() | st.integers(0, 3) | st.text(max_size=1),
                                max_size=3), max_size=8))
def test_objects_share_definitions_exactly_when_member_lists_agree(objects):
    img = parse_image(vorn.dumps(json.dumps(objects)))
    assert same(to_python(img), model(objects))
    used = [item[1] for item in root(img)[1][3]]
    layouts = [tuple((k, kind(o[k])) for k in sorted(o, key=str.encode)) for o in objects]
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
    assert to_python(parse_image(vorn.dumps(repr(x)))) == struct.unpack("<f", struct.pack("<f", x))[0]
