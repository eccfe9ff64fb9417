"""loads(dumps(text)) gives back the value of the text as the format holds it: numbers narrowed
to 32 bits, keys in byte order."""

import json
import pathlib
import subprocess
import sys

import pytest
from hypothesis import given, strategies as st

import vorn
from tests.support.model import expected_loads, identical

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT.parent / "shared" / "data" / "corpus"
CORPUS_FILES = sorted(CORPUS.glob("*.json")) if CORPUS.is_dir() else []


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
        "[1, 2.5, 3]", '{"ids": [1, 9223372036854775808]}', "[1, -0]",
        "[1152921573326323713, 0.5]",  # exactly rounded, not through a double
        '[{"a": 1}, {"a": "s"}, {"b": [null, null]}]',
        '{"a": "same", "b": ["same", "same"], "c": {"k": "same"}}',
    ],
)
def test_round_trip(text):
    assert identical(vorn.loads(vorn.dumps(text)), expected_loads(text))


def test_round_trip_of_the_bundled_example():
    text = (ROOT / "examples" / "catalog.json").read_text(encoding="utf-8")
    assert identical(vorn.loads(vorn.dumps(text)), expected_loads(text))


@pytest.mark.parametrize("text", ['{"ids": [1, 9223372036854775808]}', "[2147483648, 0.5]"])
def test_example_script_accepts_mixed_number_arrays(tmp_path, text):
    path = tmp_path / "in.json"
    path.write_text(text, encoding="utf-8")
    # The example runs as a module from the repository root, where the tests' model is a package.
    proc = subprocess.run([sys.executable, "-m", "examples.run", str(path)], cwd=ROOT,
                          capture_output=True, text=True, timeout=300)
    assert (proc.returncode, proc.stderr) == (0, "")
    assert proc.stdout.endswith("equals the JSON narrowed to 32 bits: yes\n")


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
    assert identical(vorn.loads(image), expected_loads(text))


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
    assert identical(vorn.loads(vorn.dumps(text)), expected_loads(text))
