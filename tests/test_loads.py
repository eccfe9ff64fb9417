"""loads and load rebuild Python values from images, with the decompiler's checks."""

import struct

import pytest

import vorn
from tests.support.cases import DECOMPILE_CASES
from tests.support.image import (
    ARRAY, BOOL, FLOAT32, INT32, NULL, OBJECT, PREDEFINED, STRING, UINT32,
    arr, array, assemble, data_block, defs_block, dict_block, f32, f32_bits, i32, image, obj,
    objv, ref, string, u32,
)
from tests.support.refusals import refusal

# The worked example of the format: one object {"a": 1}, 61 bytes.
EXAMPLE = bytes.fromhex(
    "010d000000290000002d000000"
    "0700" "000000" "010100" "020200" "030300" "040400" "050500" "1106000100016102"
    "00000000"
    "01000000" "0600" "06000000" "0600" "01000000"
)


def failure(data):
    return refusal(vorn.loads, data)


def test_worked_example():
    assert len(EXAMPLE) == 61
    assert vorn.loads(EXAMPLE) == {"a": 1}


@pytest.mark.parametrize(
    "def_index, payload, expected",
    [
        (NULL, b"", None),
        (BOOL, b"\x01", True),
        (BOOL, b"\x7f", True),
        (INT32, i32(0), 0),
        (INT32, i32(-5), -5),
        (INT32, u32(0xB2D05E00), -1294967296),
        (UINT32, u32(4294967295), 4294967295),
        (FLOAT32, f32(0.1), 0.10000000149011612),
        (FLOAT32, f32(-0.0), -0.0),
        (FLOAT32, f32_bits(0x7F7FFFFF), 3.4028234663852886e38),
        (STRING, string(""), ""),
        (STRING, string("é" * 100), "é" * 100),
        (STRING, string("y" * 16383), "y" * 16383),
        (STRING, string("a\x00b"), "a\x00b"),
        (STRING, string("日本語 🎉"), "日本語 🎉"),
        (STRING, b"\x80\x03abc", "abc"),  # medium form of a short length is readable
        (STRING, b"\xfe\x02\x00\x00ab", "ab"),
    ],
)
def test_scalar_entries(def_index, payload, expected):
    value = vorn.loads(image(entries=[(def_index, payload)]))
    assert type(value) is type(expected)
    assert repr(value) == repr(expected)


@pytest.mark.parametrize(
    "entries, expected",
    [
        ([], None),
        ([(INT32, i32(1))], 1),
        ([(INT32, i32(1)), (INT32, i32(2))], [1, 2]),
        ([(6, array(6, [i32(1)])), (NULL, b""), (STRING, string("s"))], [[1], None, "s"]),
    ],
)
def test_entries(entries, expected):
    assert vorn.loads(image([arr(6, INT32)], entries=entries)) == expected


def test_arrays():
    defs = [arr(6, INT32), arr(7, ARRAY), arr(8, NULL), arr(9, STRING)]
    payload = array(7, [array(6, [i32(1), i32(2)]), array(6, []), array(8, [], count=3),
                        array(9, [string("a"), ref(0)])])
    assert vorn.loads(image(defs, ["d"], [(7, payload)])) == [[1, 2], [], [None] * 3, ["a", "d"]]


def test_array_elements_follow_the_payloads_own_definition():
    # Entry definition 6 says an array comes; the payload names definition 7 (of Bool).
    data = image([arr(6, INT32), arr(7, BOOL)], entries=[(6, array(7, [b"\x01", b"\x00"]))])
    assert vorn.loads(data) == [True, False]


@pytest.mark.parametrize(
    "names, expected_keys",
    [
        (["b", "a", "c"], ["a", "b", "c"]),
        (["ab", "a", "b"], ["a", "ab", "b"]),
        (["é", "z", "Z", ""], ["", "Z", "z", "é"]),
        (["\U0001f600", "\uffff"], ["\uffff", "\U0001f600"]),
    ],
)
def test_keys_in_byte_order(names, expected_keys):
    fields = [(n, INT32) for n in names]
    data = image([obj(6, fields)], entries=[(6, objv(6, *(i32(i) for i in range(len(names)))))])
    value = vorn.loads(data)
    assert list(value) == expected_keys
    assert value == {n: i for i, n in enumerate(names)}


def test_last_duplicate_field_wins():
    fields = [("x", INT32), ("y", STRING), ("x", INT32)]
    data = image([obj(6, fields)], entries=[(6, objv(6, i32(1), string("s"), i32(2)))])
    assert vorn.loads(data) == {"x": 2, "y": "s"}


def test_empty_object_and_nesting():
    defs = [obj(6, []), obj(7, [("e", OBJECT), ("l", ARRAY)]), arr(8, OBJECT)]
    payload = objv(7, objv(6), array(8, [objv(6), objv(6)]))
    assert vorn.loads(image(defs, entries=[(7, payload)])) == {"e": {}, "l": [{}, {}]}


def test_definition_found_by_id_not_position():
    # Position 6 holds id 7 and position 7 id 6. A payload naming 6 is read by position 6
    # (two Int32 values) and named by the definition whose id is 6 (position 7).
    defs = [obj(7, [("a", INT32), ("b", INT32)]), obj(6, [("q", INT32), ("p", INT32)])]
    data = image(defs, entries=[(6, objv(6, i32(1), i32(2)))])
    assert vorn.loads(data) == {"p": 2, "q": 1}


def test_dict_strings_are_shared():
    defs = [arr(6, STRING)]
    data = image(defs, ["shared", "other"], [(6, array(6, [ref(0), ref(1), ref(0), string("x")]))])
    value = vorn.loads(data)
    assert value == ["shared", "other", "shared", "x"]
    assert value[0] is value[2]


@pytest.mark.parametrize("empty_dict", [True, False])
def test_empty_dict_block_forms(empty_dict):
    data = image(entries=[(STRING, string("v"))], empty_dict=empty_dict)
    assert vorn.loads(data) == "v"
    if empty_dict:
        assert failure(image(entries=[(STRING, ref(0))], empty_dict=True)) == (
            "StrRef index 0 out of bounds (dict len 0)")


def test_bytes_after_counted_content_are_ignored():
    defs = defs_block(PREDEFINED) + b"junk"
    strings = dict_block(["a"]) + b"\xff"
    data = assemble(defs, strings, data_block([(STRING, ref(0))]) + b"tail")
    assert vorn.loads(data) == "a"
    # A def block offset past the header leaves a gap that is ignored too.
    gap = struct.pack("<BIII", 1, 15, 15 + len(defs), 15 + len(defs) + len(strings))
    assert vorn.loads(gap + b"??" + data[13:]) == "a"




@pytest.mark.parametrize("data, expected", DECOMPILE_CASES)
def test_decompiler_faults(data, expected):
    assert failure(data) == expected


def test_load_reads_a_file(tmp_path):
    path = tmp_path / "image.vorn"
    path.write_bytes(image([arr(6, STRING)], ["d"], [(6, array(6, [ref(0), string("é")]))]))
    assert vorn.load(str(path)) == ["d", "é"]
    (tmp_path / "bad.vorn").write_bytes(b"\x01")
    with pytest.raises(ValueError,
                       match=r"^Failed to parse VORN: Header requires 13 bytes, got 1$"):
        vorn.load(str(tmp_path / "bad.vorn"))


def test_load_of_a_missing_file(tmp_path):
    with pytest.raises(ValueError) as info:
        vorn.load(str(tmp_path / "missing.vorn"))
    assert str(info.value) == "IO error: No such file or directory (os error 2)"


def test_repeated_and_colliding_integers():
    values = [v for i in range(3000) for v in (i * 1024 + 300, -i - 6, 123456789, i % 7)]
    data = image([arr(6, INT32), arr(7, UINT32)],
                 entries=[(6, array(6, [i32(v) for v in values[:60000]])),
                          (7, array(7, [u32(4294967295), u32(2**31), u32(4294967295)]))])
    assert vorn.loads(data) == [values[:60000], [4294967295, 2**31, 4294967295]]


def test_a_long_dict_string_referred_to_many_times_is_one_str():
    # About 1.3 MB of image; copying the string for every reference would need 60 GB.
    data = image([arr(6, STRING)], ["x" * 1_000_000], [(6, array(6, [ref(0)] * 60000))])
    value = vorn.loads(data)
    assert len(value) == 60000 and len(value[0]) == 1_000_000
    assert all(item is value[0] for item in value)


def test_numbers_in_dropped_duplicate_fields():
    # Values that a later field of the same name replaces are released only at the end; equal
    # numbers elsewhere may be the same objects.
    fields = [("x", FLOAT32), ("x", INT32), ("y", FLOAT32), ("z", INT32)]
    one = objv(6, f32(0.5), i32(70000), f32(0.5), i32(70000))
    data = image([obj(6, fields), arr(7, OBJECT)], entries=[(7, array(7, [one, one, one]))])
    assert vorn.loads(data) == [{"x": 70000, "y": 0.5, "z": 70000}] * 3
