"""loads refuses a malformed image with the message of the first fault, in the decoder's order."""

import struct

import pytest

import cli_support
import vorn
from vorn_image import (
    ARRAY, BOOL, FLOAT32, INT32, NESTING_DEFS, NULL, OBJECT, PREDEFINED, STRING, UINT32,
    arr, array, assemble, data_block, defs_block, dict_block, i32, image, nested_arrays,
    nested_objects, obj, objv, prim, ref, string,
)

DEFS = defs_block(PREDEFINED)
DICT = dict_block([])
ONE_INT = data_block([(INT32, i32(1))])


def header(version=1, d=13, s=13, a=13):
    return struct.pack("<BIII", version, d, s, a)


def raw_defs(count, body):
    """A definition block whose count need not match its body."""
    return struct.pack("<H", count) + body


def entry_image(def_index, payload, defs=()):
    return image(defs, entries=[(def_index, payload)])


def message(data):
    with pytest.raises(ValueError) as info:
        vorn.loads(data)
    prefix = "Failed to parse VORN: "
    assert str(info.value).startswith(prefix)
    return str(info.value)[len(prefix):]


CASES = [
    # header
    (b"", "Header requires 13 bytes, got 0"),
    (assemble(DEFS, DICT, ONE_INT)[:12], "Header requires 13 bytes, got 12"),
    (assemble(DEFS, DICT, ONE_INT, version=2), "Unsupported VORN version: 2"),
    (header(d=12), "Def block offset 12 before header"),
    (header(d=20, s=19, a=19) + bytes(8), "Dict block offset 19 before defs"),
    (header(s=30, a=29) + bytes(20), "Data block offset 29 before dict"),
    (header(a=40) + bytes(26), "Data block offset 40 exceeds buffer length 39"),
    # definition block
    (header(), "Definition block too short: 0 bytes"),
    (assemble(raw_defs(2049, bytes(6147)), DICT, ONE_INT),
     "Definition count 2049 exceeds max 2048"),
    (assemble(raw_defs(2, bytes(3)), DICT, ONE_INT),
     "Definition block has 5 bytes but 2 defs require 8"),
    (assemble(raw_defs(2, obj(6, [("a", 2)])), DICT, ONE_INT),
     "Truncated definition block at entry 1"),
    (assemble(raw_defs(1, prim(7)), DICT, ONE_INT), "Unknown VORN type tag: 0x07"),
    (assemble(raw_defs(1, arr(6, 0x12)), DICT, ONE_INT), "Unknown VORN type tag: 0x12"),
    (assemble(raw_defs(1, obj(6, [("a", 0xFF)])), DICT, ONE_INT), "Unknown VORN type tag: 0xFF"),
    (assemble(raw_defs(2, obj(6, [("a", 2)]) + b"\x00"), DICT, ONE_INT),
     "Truncated definition index"),
    (assemble(raw_defs(1, arr(6, 2)[:3]), DICT, ONE_INT), "Truncated array elem_type"),
    (assemble(raw_defs(1, obj(6, [])[:3]), DICT, ONE_INT), "Truncated object field count"),
    (assemble(raw_defs(1, struct.pack("<BHH", OBJECT, 9, 257)), DICT, ONE_INT),
     "Object #9 has 257 fields (max 256)"),
    (assemble(raw_defs(1, struct.pack("<BHH", OBJECT, 6, 1)), DICT, ONE_INT),
     "Truncated field 0 name length"),
    (assemble(raw_defs(1, obj(6, [("a", 2), ("bc", 2)])[:-1]), DICT, ONE_INT),
     "Truncated field 1 name data"),
    (assemble(raw_defs(1, obj(6, [(b"a\xff", 2)])), DICT, ONE_INT),
     "Invalid UTF-8 in field name: invalid utf-8 sequence of 1 bytes from index 1"),
    # dict block
    (assemble(DEFS, b"\x00\x00", ONE_INT), "Dict block too short for entry count"),
    (assemble(DEFS, b"\x01\x00\x00\x00", ONE_INT), "Truncated dict string"),
    (assemble(DEFS, b"\x01\x00\x00\x00\xc0\x05hello", ONE_INT),
     "Invalid dict string encoding byte: 0xC0"),
    (assemble(DEFS, b"\x01\x00\x00\x00\xff\x00\x00\x00\x00", ONE_INT),
     "Invalid dict string encoding byte: 0xFF"),
    (assemble(DEFS, b"\x01\x00\x00\x00\xfe\x01\x00", ONE_INT), "Truncated long dict string"),
    (assemble(DEFS, b"\x01\x00\x00\x00\x80", ONE_INT), "Truncated medium dict string"),
    (assemble(DEFS, b"\x01\x00\x00\x00\x05ab", ONE_INT), "Truncated dict string data"),
    (assemble(DEFS, b"\x01\x00\x00\x00\x02a\xc3", ONE_INT),
     "Invalid UTF-8 in dict: incomplete utf-8 byte sequence from index 1"),
    # data block
    (assemble(DEFS, DICT, b"\x00\x00\x00"), "Data block too short: 3 bytes"),
    (assemble(DEFS, DICT, struct.pack("<I", 1048577)),
     "Data entry count 1048577 exceeds max 1048576"),
    (assemble(DEFS, DICT, struct.pack("<IHH", 1, 2, 4)), "Truncated entry 0 header"),
    (assemble(DEFS, DICT, data_block([(INT32, i32(1))])[:-1]),
     "Entry 0 payload (4 bytes) exceeds buffer"),
    (assemble(DEFS, DICT, data_block([(INT32, i32(1)), (NULL, b"")])[:-1]),
     "Truncated entry 1 header"),
    (entry_image(9, i32(1)), "Unknown definition index: 9"),
    (entry_image(NULL, b"\x00"), "Mismatch entry 0: consumed 0 of 1"),
    # arrays
    (entry_image(6, b"\x06", [arr(6, INT32)]), "Truncated array self_def_index"),
    (entry_image(6, array(40, []), [arr(6, INT32)]), "Unknown definition index: 40"),
    (entry_image(6, array(2, []), [arr(6, INT32)]), "Array #2 has no elem_type"),
    (entry_image(6, array(7, []), [arr(6, INT32), obj(7, [])]), "Array #7 has no elem_type"),
    (entry_image(6, array(6, [])[:3], [arr(6, INT32)]), "Truncated array elem_def_index"),
    (entry_image(6, array(6, [])[:5], [arr(6, INT32)]), "Truncated array count"),
    (entry_image(6, array(6, [i32(1)], count=2), [arr(6, INT32)]), "Expected int32 (4 bytes)"),
    # objects
    (entry_image(6, b"\x06", [obj(6, [])]), "Truncated object self_def_index"),
    (entry_image(6, objv(41), [obj(6, [])]), "Unknown definition index: 41"),
    (entry_image(6, objv(1), [obj(6, [])]), "Object #1 has no fields"),
    (entry_image(6, objv(7), [obj(6, []), arr(7, INT32)]), "Object #7 has no fields"),
    # primitives
    (entry_image(BOOL, b""), "Expected bool byte"),
    (entry_image(INT32, b"\x00" * 3), "Expected int32 (4 bytes)"),
    (entry_image(UINT32, b"\x00" * 3), "Expected uint32 (4 bytes)"),
    (entry_image(FLOAT32, b"\x00" * 3), "Expected float32 (4 bytes)"),
    (entry_image(STRING, b""), "Expected string/StrRef byte"),
    (entry_image(STRING, b"\x03a"), "Truncated short string: need 4 bytes, got 2"),
    (entry_image(STRING, b"\x80"), "Truncated medium string length"),
    (entry_image(STRING, b"\x80\x80a"), "Truncated medium string: need 130 bytes, got 3"),
    (entry_image(STRING, b"\xfe\x01\x00"), "Truncated long string length"),
    (entry_image(STRING, b"\xfe\x02\x00\x00a"), "Truncated long string: need 6 bytes, got 5"),
    (entry_image(STRING, b"\xff\x00\x00\x00"), "Truncated StrRef dict index"),
    (entry_image(STRING, b"\x04a\xe2\x82A"),
     "Invalid UTF-8 string: invalid utf-8 sequence of 2 bytes from index 1"),
]


@pytest.mark.parametrize("data, expected", CASES)
def test_malformed_image(data, expected):
    assert message(data) == expected


UTF8_CASES = [
    (b"\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"ab\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 2"),
    (b"\xc3A", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xe0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # overlong
    (b"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # surrogate
    (b"\xe2\x82\x41", "invalid utf-8 sequence of 2 bytes from index 0"),
    (b"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # above U+10FFFF
    (b"\xf0\x9f\x98A", "invalid utf-8 sequence of 3 bytes from index 0"),
    (b"\xf0\x9fA", "invalid utf-8 sequence of 2 bytes from index 0"),
    (b"\xf0\x9f\x98", "incomplete utf-8 byte sequence from index 0"),
    ("é12345678".encode() + b"\xc3", "incomplete utf-8 byte sequence from index 10"),
    ("0123456789€".encode() + b"\xff", "invalid utf-8 sequence of 1 bytes from index 13"),
]


@pytest.mark.parametrize("raw, error", UTF8_CASES)
@pytest.mark.parametrize("place", ["payload", "dict", "field name"])
def test_invalid_utf8(raw, error, place):
    string = struct.pack("<B", len(raw)) + raw
    if place == "payload":
        data = entry_image(STRING, string)
        expected = f"Invalid UTF-8 string: {error}"
    elif place == "dict":
        data = assemble(DEFS, b"\x01\x00\x00\x00" + string, ONE_INT)
        expected = f"Invalid UTF-8 in dict: {error}"
    else:
        data = image([obj(6, [(raw, INT32)])], entries=[(6, objv(6, i32(1)))])
        expected = f"Invalid UTF-8 in field name: {error}"
    assert message(data) == expected


def test_unwritten_lead_byte_reads_as_medium_in_payloads():
    # The same lead byte in the dict block is refused (see the table above).
    assert vorn.loads(entry_image(STRING, b"\xc0\x05hello")) == "hello"


def test_256_fields_decode_257_do_not():
    fields = [(f"k{i:03}", INT32) for i in range(256)]
    data = image([obj(6, fields)], entries=[(6, objv(6, *(i32(i) for i in range(256))))])
    assert vorn.loads(data) == {f"k{i:03}": i for i in range(256)}


@pytest.mark.parametrize(
    "entry_def, payload, expected",
    [
        (6, nested_arrays(128), None),
        (6, nested_arrays(129), "Max recursion depth"),
        (8, nested_objects(128), None),
        (8, nested_objects(129), "Max recursion depth 128 exceeded at Object"),
    ],
)
def test_nesting_limit(entry_def, payload, expected):
    data = image(NESTING_DEFS, entries=[(entry_def, payload)])
    if expected is not None:
        assert message(data) == expected
        return
    value, depth = vorn.loads(data), 0
    while isinstance(value, (list, dict)):
        value = value[0] if isinstance(value, list) else value["o" if "o" in value else "v"]
        depth += 1
    assert (depth, value) == (128, 7)


@pytest.mark.parametrize(
    "data, expected",
    [
        # A StrRef past the dict, which only the decompiler refuses, then a cut entry.
        (image(entries=[(STRING, ref(5)), (INT32, i32(1))])[:-1],
         "Entry 1 payload (4 bytes) exceeds buffer"),
        # A NaN in the first field, bad UTF-8 in a string of the second.
        (image([obj(6, [("f", FLOAT32), ("l", ARRAY)]), arr(7, STRING)],
               entries=[(6, objv(6, struct.pack("<I", 0x7FC00000),
                                 array(7, [b"\x01a", b"\x01\xff"])))]),
         "Invalid UTF-8 string: invalid utf-8 sequence of 1 bytes from index 0"),
        # An object without a definition of its id, then an unknown array definition.
        (image([obj(6, [("o", OBJECT), ("l", ARRAY)]), obj(9, [])],
               entries=[(6, objv(6, objv(7), array(99, [])))]),
         "Unknown definition index: 99"),
    ],
)
def test_decoder_faults_come_before_decompiler_faults(data, expected):
    assert message(data) == expected


def test_hostile_counts_fail_on_their_bytes():
    # A few bytes claiming the most entries, dict strings and items fail at once.
    assert message(assemble(DEFS, DICT, struct.pack("<I", 1048576))) == "Truncated entry 0 header"
    assert message(assemble(DEFS, b"\xff\xff\xff\xff\x00", ONE_INT)) == "Truncated dict string"
    many = array(6, [], count=65535)
    assert message(entry_image(6, many, [arr(6, INT32)])) == "Expected int32 (4 bytes)"


# Every multi-byte form, with the bounds of its second byte (overlong and surrogate guards).
UTF8_FORMS = ["é", "߿", "ࠀ", "€", "\ud7ff", "\ue000", "\uffff", "\U00010000", "😀", "\U0010ffff"]


def cut_sequences():
    for form in UTF8_FORMS:
        raw = form.encode("utf-8", "surrogatepass")
        for cut in range(1, len(raw)):
            yield pytest.param(raw[:cut], id=f"{raw.hex()}[:{cut}]")


@pytest.mark.parametrize("cut", cut_sequences())
@pytest.mark.parametrize("place", ["payload", "dict", "field name"])
def test_a_sequence_cut_at_the_end_of_a_string(cut, place, tmp_path):
    # What follows the string in the image would complete the sequence: the next string's
    # two-byte length prefix starts with the continuation byte 0x80, and a field name is followed
    # by its tag. A reader must stop at the string's own end.
    raw = b"ab" + cut
    long_string = "x" * 128
    if place == "payload":
        data = image([arr(6, STRING)], entries=[(6, array(6, [string(raw), string(long_string)]))])
        expected = "Invalid UTF-8 string: "
    elif place == "dict":
        data = assemble(DEFS, dict_block([raw, long_string]), ONE_INT)
        expected = "Invalid UTF-8 in dict: "
    else:
        data = image([obj(6, [(raw, INT32)])], entries=[(6, objv(6, i32(1)))])
        expected = "Invalid UTF-8 in field name: "
    expected += "incomplete utf-8 byte sequence from index 2"
    assert message(data) == expected
    path = tmp_path / "cut.vorn"
    path.write_bytes(data)
    result = cli_support.run("decode", path, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == \
        (1, "", f"vorn: {path}: {expected}\n")
