"""loads refuses a malformed image with the message of the first fault, in the decoder's order."""

import struct

import pytest

import vorn
from tests.support import command
from tests.support.cases import DECODE_CASES, DEFS, DICT, ONE_INT
from tests.support.image import (
    ARRAY, FLOAT32, INT32, NESTING_DEFS, OBJECT, STRING, arr, array, assemble, dict_block,
    entry_image, i32, image, nested_arrays, nested_objects, obj, objv, ref, string,
)
from tests.support.refusals import refusal


def message(data):
    return refusal(vorn.loads, data)


@pytest.mark.parametrize("data, expected", DECODE_CASES)
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
    result = command.run("decode", path, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == \
        (1, "", f"vorn: {path}: {expected}\n")
