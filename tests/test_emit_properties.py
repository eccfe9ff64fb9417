"""emit on generated values whose lists are homogeneous: it succeeds, the image holds the
positional form of the value and loads reads that form back."""

from hypothesis import given
from hypothesis import strategies as st

import vorn
from tests.support.image import parse_image, to_python
from tests.support.model import expected_emit_loads, identical

numbers = st.integers(-(2**70), 2**70) | st.floats(width=32, allow_nan=False, allow_infinity=False)


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
    parsed = parse_image(image)
    expected = expected_emit_loads(value)
    assert identical(to_python(parsed), expected)
    assert parsed.strings == strings(value, {})
    assert identical(vorn.loads(image), expected)
