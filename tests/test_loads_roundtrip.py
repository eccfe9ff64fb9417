"""loads(dumps(text)) gives back json.loads(text) with its numbers narrowed to 32 bits."""

import json
import pathlib
import struct

import pytest
from hypothesis import given, strategies as st

import vorn

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT.parent / "shared" / "data" / "corpus"
CORPUS_FILES = sorted(CORPUS.glob("*.json")) if CORPUS.is_dir() else []


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def narrowed(v):
    """The value a compiled text loads back as: integers keep their low 32 bits (as Int32, or
    UInt32 from 2**63 on), floats round to float32, keys come in byte order, and an array whose
    numbers are of mixed kinds holds float32 values only."""
    if isinstance(v, bool) or v is None or isinstance(v, str):
        return v
    if isinstance(v, int):
        low = v & 0xFFFFFFFF
        return low if v >= 2**63 or low < 2**31 else low - 2**32
    if isinstance(v, float):
        return f32(v)
    if isinstance(v, dict):
        return {k: narrowed(v[k]) for k in sorted(v, key=lambda k: k.encode())}
    kinds = {("int32" if x < 2**63 else "uint32") if isinstance(x, int) else "float32"
             for x in v if not isinstance(x, bool) and isinstance(x, (int, float))}
    if len(kinds) > 1:
        return [f32(float(x)) for x in v]
    return [narrowed(x) for x in v]


def same(a, b):
    """Equal with equal types and equal key order all the way down."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b or repr(a) == repr(b)


def widest_object(v):
    if isinstance(v, dict):
        return max([len(v)] + [widest_object(x) for x in v.values()])
    if isinstance(v, list):
        return max([0] + [widest_object(x) for x in v])
    return 0


@pytest.mark.parametrize(
    "text",
    [
        '{"tags": ["x", "y", "x"], "name": "x"}',
        '{"b": 1, "a": [true, false], "c": null}',
        '{"ab": 1, "a": 2, "b": 3, "é": 4, "z": 5}',
        "[]", "{}", "null", "0.1", "[[1, 2], [3], []]",
        "[4294967295, 2147483648, -2147483649, 4294967296]",
        "[9223372036854775808, 18446744073709551615]",
        "[4294967295, 18446744073709551615]",
        "[1, 2.5, 3]", '[{"a": 1}, {"a": "s"}, {"b": [null, null]}]',
        '{"a": "same", "b": ["same", "same"], "c": {"k": "same"}}',
    ],
)
def test_round_trip(text):
    assert same(vorn.loads(vorn.dumps(text)), narrowed(json.loads(text)))


def test_round_trip_of_the_bundled_example():
    text = (ROOT / "examples" / "catalog.json").read_text(encoding="utf-8")
    assert same(vorn.loads(vorn.dumps(text)), narrowed(json.loads(text)))


@pytest.mark.skipif(not CORPUS_FILES, reason="benchmark corpus not present")
@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: p.name)
def test_corpus_round_trip(path):
    text = path.read_text(encoding="utf-8")
    try:
        image = vorn.dumps(text)
    except ValueError:
        pytest.skip("the format cannot hold this file")
    value = json.loads(text)
    if widest_object(value) > 256:
        with pytest.raises(ValueError, match=r"^Failed to parse VORN: Object #\d+ has \d+ fields"):
            vorn.loads(image)
        return
    assert same(vorn.loads(image), narrowed(value))


def one_kind(items):
    """Keeps the items of the first item's kind: the arrays the format describes are
    homogeneous."""
    def kind(x):
        return type(x).__name__
    return [x for x in items if kind(x) == kind(items[0])] if items else items


scalars = (
    st.none()
    | st.booleans()
    | st.integers(-(2**63), 2**63 - 1)
    | st.floats(-1e30, 1e30, allow_nan=False)
    | st.text(max_size=30)
)
values = st.recursive(
    scalars,
    lambda c: st.lists(c, max_size=8).map(one_kind)
    | st.dictionaries(st.text(max_size=12), c, max_size=8),
    max_leaves=40,
)


@given(values)
def test_round_trip_property(value):
    text = json.dumps(value)
    assert same(vorn.loads(vorn.dumps(text)), narrowed(value))
