"""vorn decode writes its text straight from the image: the text must be the one the decompiled
value gives (keys in byte order, the last field of a name winning, integers as integers, floats
in their shortest form), compact, indented or as JSON Lines, for one image or several, on
standard output or into a file, and an image that fails writes nothing at all."""

import json
import os
import pathlib
import struct
from decimal import Decimal

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vorn
from tests.support.command import run, write
from tests.support.image import (ARRAY, BOOL, FLOAT32, INT32, NULL, OBJECT, STRING, UINT32, arr,
                                 array, f32, f32_bits, i32, image, nested_arrays, nested_objects,
                                 NESTING_DEFS, obj, objv, ref, string, u32)
from tests.support.refusals import refusal_text

ROOT = pathlib.Path(__file__).resolve().parent.parent
TIMEOUT = 120
# --indent classes: none (compact), 0 (line breaks alone), small, the largest; and JSON Lines.
FORMS = [None, 0, 1, 2, 16, "lines"]


# --- what the text must be ------------------------------------------------------------------------

def double_text(x):
    """The shortest digits that read back to x, in fixed or scientific notation, whichever is
    shorter (fixed on a tie), with ".0" added when it would read back as an integer."""
    sign, digits, exp = Decimal(repr(x)).normalize().as_tuple()
    if digits == (0,):
        text = "0"
    else:
        d = "".join(map(str, digits))
        point = len(d) + exp  # digits before the decimal point
        if exp >= 0:
            # An integer in fixed notation is written exactly, not as its shortest digits.
            fixed = str(abs(int(x)))
        elif point > 0:
            fixed = d[:point] + "." + d[point:]
        else:
            fixed = "0." + "0" * -point + d
        e = point - 1
        sci = d[0] + ("." + d[1:] if len(d) > 1 else "") + f"e{'+' if e >= 0 else '-'}{abs(e):02d}"
        text = fixed if len(fixed) <= len(sci) else sci
    text = ("-" if sign else "") + text
    return text if "." in text or "e" in text else text + ".0"


def json_text(value, indent=None, depth=0):
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return double_text(value)
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, list):
        parts = [json_text(v, indent, depth + 1) for v in value]
        brackets = "[]"
    else:
        colon = ":" if indent is None else ": "
        parts = [json.dumps(k, ensure_ascii=False) + colon + json_text(v, indent, depth + 1)
                 for k, v in value.items()]
        brackets = "{}"
    if not parts:
        return brackets
    if indent is None:
        return brackets[0] + ",".join(parts) + brackets[1]
    pad = "\n" + " " * (indent * (depth + 1))
    return (brackets[0] + ",".join(pad + p for p in parts) + "\n" + " " * (indent * depth)
            + brackets[1])


def entry_count(data):
    data_offset = struct.unpack_from("<I", data, 9)[0]
    return struct.unpack_from("<I", data, data_offset)[0]


def expected(data, form):
    """The text of the image's value as loads reads it: the decompiler's value."""
    value = vorn.loads(data)
    if form != "lines":
        return json_text(value, form) + "\n"
    n = entry_count(data)
    if n == 0:
        return ""
    return "".join(json_text(v) + "\n" for v in (value if n > 1 else [value]))


def form_args(form):
    return [] if form is None else ["--lines"] if form == "lines" else ["--indent", form]


def decode(*args, **kwargs):
    return run("decode", *args, timeout=TIMEOUT, **kwargs)


def float_sweep():
    """Float32 values of every magnitude, where fixed and scientific notation trade places."""
    values = [0.0, -0.0, 1.0, 0.1, 1e-45, 1.1754944e-38, 3.4028235e38, 16777216.0, 16777217.0]
    values += [m * 10.0 ** k for k in range(-38, 39) for m in (1.0, 1.5, -2.25, 1.2345678)]
    values += [2.0 ** k for k in range(-149, 128, 3)]
    bits = {struct.unpack("<I", struct.pack("<f", v))[0] for v in values
            if abs(v) < 3.4028235e38 * 1.0000001}
    return image([arr(6, FLOAT32)], [], [(6, array(6, [f32_bits(b) for b in sorted(bits)]))])


# --- images of every shape ------------------------------------------------------------------------

def wide_strings():
    """65,535 strings: the text crosses many chunk boundaries."""
    defs = [arr(6, STRING)]
    return image(defs, ["shared \u00e9"], [(6, array(6, [string(f"s{i:08d}") if i % 3 else ref(0)
                                                        for i in range(65535)]))])


def reordered_big_fields():
    """Fields out of key order whose values are large: written in key order from the image."""
    defs = [arr(6, INT32), arr(7, STRING), obj(8, [("z", ARRAY), ("m", NULL), ("a", ARRAY),
                                                  ("m", BOOL)])]
    ints = array(6, [i32(i) for i in range(65535)])
    texts = array(7, [string("x" * (i % 50)) for i in range(20000)], elem_def=5)
    return image(defs, [], [(8, objv(8, ints, texts, b"\x01"))])


def swapped_ids():
    """Two object definitions whose ids are each other's positions: values are read by the
    definition at the index's position, keys named by the one whose id is the index."""
    defs = [obj(7, [("p", INT32), ("q", STRING)]), obj(6, [("y", INT32), ("x", STRING)])]
    return image(defs, ["r"], [(6, objv(6, i32(-5), ref(0))), (7, objv(7, i32(9), string("s")))])


def escapes_and_floats():
    defs = [arr(6, FLOAT32), obj(7, [("\u00e9\"\\\n", STRING), ("", UINT32), ("\x01", BOOL),
                                   ("f", ARRAY)])]
    floats = array(6, [f32(v) for v in (0.0, -0.0, 1e5, 1e-7, 3.4028235e38, 0.1, 16777216.0)]
                   + [f32_bits(1)])
    return image(defs, ["\t\u2028\x7f"], [(7, objv(7, ref(0), u32(4294967295), b"\x02", floats))])


def long_strings():
    defs = [arr(6, STRING)]
    return image(defs, ["d" * 20000], [(6, array(6, [string("m" * 300), string("l" * 70000),
                                                     ref(0), string("")]))])


def empties():
    defs = [arr(6, ARRAY), arr(7, NULL), obj(8, []), arr(9, OBJECT),
            obj(10, [("a", ARRAY), ("o", OBJECT), ("e", ARRAY)])]
    value = objv(10, array(6, [array(7, [], count=0), array(7, [], count=2)], elem_def=7),
                 objv(8), array(9, [], elem_def=8))
    return image(defs, [], [(10, value)])


def entries(n):
    return image([arr(6, INT32)], ["e"],
                 [(6, array(6, [i32(i)] * i)) if i % 2 else (5, ref(0)) for i in range(n)])


SHAPES = {
    "example": vorn.dumps('{"tags": ["x", "y", "x"], "name": "x"}'),
    "no entries": image(),
    "one entry that is an array": image([arr(6, INT32)], [], [(6, array(6, [i32(1), i32(2)]))]),
    "three entries": entries(3),
    "a scalar entry": image([], [], [(2, i32(-7))]),
    "wide strings": wide_strings(),
    "fields out of key order": reordered_big_fields(),
    "swapped ids": swapped_ids(),
    "escapes and floats": escapes_and_floats(),
    "long strings": long_strings(),
    "floats of every magnitude": float_sweep(),
    "empty containers": empties(),
    "arrays 128 deep": image(NESTING_DEFS, [], [(6, nested_arrays(128))]),
    "objects 128 deep": image(NESTING_DEFS, [], [(8, nested_objects(128))]),
    "emit, fields f0 to f13": vorn.emit({f"k{i}": {"x": [i, -i]} for i in range(7)}),
}


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("shape", SHAPES)
def test_the_text_is_that_of_the_decompiled_value(tmp_path, shape, form):
    data = SHAPES[shape]
    src = write(tmp_path / "in.vorn", data)
    result = decode(src, *form_args(form))
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == expected(data, form)


@pytest.mark.parametrize("form", [None, 2, "lines"])
def test_a_file_gets_what_standard_output_gets(tmp_path, form):
    data = SHAPES["fields out of key order"]
    src = write(tmp_path / "in.vorn", data)
    out = tmp_path / "out.json"
    result = decode(src, *form_args(form), "-o", out)
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    assert out.read_text() == expected(data, form)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.vorn", "out.json"]


def corpus_dir():
    for candidate in (ROOT.parent / "shared" / "data" / "corpus",
                      pathlib.Path("/work/shared/data/corpus")):
        if candidate.is_dir():
            return candidate
    return None


CORPUS = corpus_dir()
CORPUS_FILES = sorted(CORPUS.glob("*.json")) if CORPUS else []


@pytest.mark.skipif(not CORPUS_FILES, reason="the benchmark corpus is not there")
@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: p.name)
def test_the_corpus(tmp_path, path, form):
    try:
        data = vorn.dumps(path.read_text())
    except ValueError:
        pytest.skip("the compiler refuses this document")
    src = write(tmp_path / "in.vorn", data)
    result = decode(src, *form_args(form))
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == expected(data, form)


# --- generated documents, several images in one run ---------------------------------------------

def homogeneous_lists(children):
    return (st.lists(st.integers(-2**31, 2**32 - 1), max_size=5)
            | st.lists(st.floats(width=32, allow_nan=False, allow_infinity=False), max_size=5)
            | st.lists(st.text(max_size=6), max_size=5)
            | st.lists(st.booleans(), max_size=5)
            | st.lists(st.dictionaries(st.text(max_size=3), children, max_size=4), max_size=3))


SCALARS = (st.none() | st.booleans() | st.integers(-2**31, 2**32 - 1)
           | st.floats(width=32, allow_nan=False, allow_infinity=False) | st.text(max_size=8))
DOCUMENTS = st.recursive(
    SCALARS,
    lambda c: homogeneous_lists(c) | st.dictionaries(st.text(max_size=4), c, max_size=6),
    max_leaves=30)
EMIT_SCALARS = (st.booleans() | st.integers(-2**31, 2**31 - 1)
                | st.floats(allow_nan=False, allow_infinity=False) | st.text(max_size=8))
EMIT_VALUES = st.recursive(
    EMIT_SCALARS,
    lambda c: st.lists(c, max_size=4) | st.dictionaries(st.text(max_size=4), c, max_size=14),
    max_leaves=30)


def images_of(draws, make):
    out = []
    for value in draws:
        try:
            out.append(make(value))
        except ValueError:  # a document the writers refuse (a mixed array, ...)
            pass
    return out


def check_batch(tmp_path, images):
    paths = [write(tmp_path / f"{i}.vorn", data) for i, data in enumerate(images)]
    for form in (None, 3, "lines"):
        want = "".join(expected(data, form) for data in images)
        for jobs in ("1", "2"):
            result = decode("-j", jobs, *paths, *form_args(form))
            assert (result.returncode, result.stderr) == (0, "")
            assert result.stdout == want


@settings(max_examples=25, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(DOCUMENTS, min_size=1, max_size=12))
def test_documents_through_dumps(tmp_path, documents):
    check_batch(tmp_path, images_of(documents, lambda d: vorn.dumps(json.dumps(d))) or [image()])


@settings(max_examples=25, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(EMIT_VALUES, min_size=1, max_size=12))
def test_values_through_emit(tmp_path, values):
    check_batch(tmp_path, images_of(values, vorn.emit) or [image()])


# --- an image that fails writes nothing -----------------------------------------------------------

def late_faults():
    """Images whose fault lies after a long valid stretch, with the message each gives."""
    strings = array(6, [string("abcdefghij")] * 60000 + [ref(3)], elem_def=5)
    floats = array(7, [f32(1.5)] * 65534 + [f32_bits(0x7F800000)])
    good = vorn.dumps(json.dumps([f"v{i}" for i in range(30000)]))
    defs = [arr(6, STRING), arr(7, FLOAT32), obj(8, [("a", ARRAY), ("b", OBJECT)])]
    return {
        "dict reference": (image(defs, ["x"], [(6, strings)]),
                           "StrRef index 3 out of bounds"),
        "non-finite float": (image(defs, [], [(7, floats)]),
                             "Cannot represent float inf"),
        "second entry": (image(defs, [], [(7, array(7, [f32(2.0)] * 60000)), (8, objv(8, b""))]),
                         "Truncated array self_def_index"),
        "cut short": (good[:-3], None),
    }


LATE = late_faults()


@pytest.mark.parametrize("fault", LATE)
def test_a_failing_image_writes_nothing(tmp_path, fault):
    data, message = LATE[fault]
    src = write(tmp_path / "bad.vorn", data)
    with pytest.raises(ValueError) as refused:
        vorn.loads(data)
    fault_text = refusal_text(refused.value)
    assert fault_text == (message or fault_text)
    line = f"vorn: {src}: {fault_text}\n"

    to_stdout = decode(src, "--indent", "2")
    assert (to_stdout.returncode, to_stdout.stdout, to_stdout.stderr) == (1, "", line)

    new = tmp_path / "new.json"
    to_file = decode(src, "-o", new)
    assert (to_file.returncode, to_file.stderr) == (1, line)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.vorn"]  # no temporary left

    kept = write(tmp_path / "kept.json", "[1]\n")
    replacing = decode(src, "-f", "-o", kept)
    assert (replacing.returncode, replacing.stderr) == (1, line)
    assert kept.read_text() == "[1]\n"

    good = write(tmp_path / "good.vorn", SHAPES["example"])
    for jobs in ("1", "2"):
        several = decode("-j", jobs, good, src, good, "--lines")
        assert several.stdout == expected(SHAPES["example"], "lines") * 2
        assert (several.returncode, several.stderr) == (1, line + "vorn: 1 of 3 files failed\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.vorn", "good.vorn", "kept.json"]


def test_an_output_directory_keeps_the_good_files_alone(tmp_path):
    data, _ = LATE["dict reference"]
    inputs = [write(tmp_path / "a.vorn", SHAPES["example"]), write(tmp_path / "b.vorn", data)]
    result = decode("-j", "2", *inputs, "-o", f"{tmp_path}/out/")
    assert result.returncode == 1
    assert os.listdir(tmp_path / "out") == ["a.json"]
    assert (tmp_path / "out" / "a.json").read_text() == expected(SHAPES["example"], None)
