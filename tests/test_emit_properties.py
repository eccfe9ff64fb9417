"""emit on generated values whose lists are homogeneous: it succeeds, and the image holds the
positional form of the value."""

import struct

from hypothesis import given
from hypothesis import strategies as st

import vorn
from image_reader import Image

INT64 = range(-(2**63), 2**63)
numbers = st.integers(-(2**70), 2**70) | st.floats(width=32, allow_nan=False, allow_infinity=False)


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def kind(v):
    if isinstance(v, int) and not isinstance(v, bool):
        return "Int32" if v in INT64 else "Float32"
    return "Float32" if isinstance(v, float) else type(v).__name__


def positional(v, as_float=False):
    """What the image holds: keys interleaved with values, integers cut to their low 32 bits,
    numbers rounded to float32, Int32 items of an array holding both kinds of numbers promoted."""
    if isinstance(v, dict):
        return ("obj", [x for k, item in v.items() for x in (k, positional(item))])
    if isinstance(v, list):
        promote = {kind(x) for x in v} == {"Int32", "Float32"}
        return [positional(x, promote) for x in v]
    if kind(v) == "Int32":
        v = (v + 2**31) % 2**32 - 2**31
        return f32(v) if as_float else v
    return f32(float(v)) if kind(v) == "Float32" else v


def loaded(v):
    """What loads gives back: a dict's items as fields "f0", "f1", ... in key order."""
    v = positional(v)

    def rebuild(p):
        if isinstance(p, tuple):
            return {f"f{i}": rebuild(x) for i, x in enumerate(p[1])}
        return [rebuild(x) for x in p] if isinstance(p, list) else p

    return rebuild(v)


def canonical(v):
    """Tells 1 from 1.0 and True, and ignores the order of dict keys."""
    if isinstance(v, dict):
        return sorted((k, canonical(x)) for k, x in v.items())
    if isinstance(v, list):
        return [canonical(x) for x in v]
    return (type(v).__name__, v)


def payload(p):
    if isinstance(p, tuple):
        return [payload(x) for x in p[3]] if p[0] == "arr" else ("obj", [payload(x) for x in p[2]])
    return p


def strings(v, seen):
    if isinstance(v, str):
        seen.setdefault(v)
    items = [x for kv in v.items() for x in kv] if isinstance(v, dict) else v
    for x in items if isinstance(v, (dict, list)) else ():
        strings(x, seen)
    return list(seen)


def homogeneous_lists(children):
    return st.one_of(
        st.lists(st.booleans()), st.lists(numbers), st.lists(st.text()),
        st.lists(children.map(lambda v: [v]), max_size=4),
        st.lists(st.dictionaries(st.text(max_size=3), children, max_size=3), max_size=4))


values = st.recursive(
    st.booleans() | numbers | st.text(),
    lambda c: homogeneous_lists(c) | st.dictionaries(st.text(), c, max_size=5), max_leaves=25)


@given(values)
def test_emit_holds_the_positional_form(value):
    image = vorn.emit(value)
    assert vorn.emit(value) == image
    parsed = Image(image)
    assert repr(payload(parsed.payload)) == repr(positional(value))
    assert parsed.strings == strings(value, {})
    assert canonical(vorn.loads(image)) == canonical(loaded(value))
