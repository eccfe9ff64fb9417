"""The numbers of the format that every writer and reader shares: the sizes of the fixed parts of
an image, the string forms at their boundaries in payloads and in the dict, and the predefined
definitions, which the decoder takes as one prepared block when an image starts with them."""

import json
import struct

import pytest

import vorn

WRITERS = {
    "dumps": lambda value: vorn.dumps(json.dumps(value)),
    "emit": vorn.emit,
}

# Offsets fixed by the header: the definition block starts right after it.
HEADER = 13
DEF_COUNT_AT = HEADER
PREDEFINED_AT = HEADER + 2
PREDEFINED = bytes.fromhex("000000 010100 020200 030300 040400 050500")


def block_offsets(image):
    return struct.unpack_from("<III", image, 1)


@pytest.mark.parametrize(
    ("writer", "value", "size"),
    [
        # header 13, definition count 2, predefined definitions 18, dict count 4, entry count 4,
        # entry header 6, then the payload, the definitions a value adds and the dict strings
        ("dumps", None, 47),
        ("dumps", True, 48),
        ("emit", True, 48),
        ("dumps", 7, 51),
        ("emit", 7, 51),
        ("dumps", "", 48),
        ("emit", "", 48 + 1),  # emit lists every distinct string in the dict
        ("dumps", [], 47 + 4 + 6),  # an Array definition and an array header
        ("emit", [], 47 + 4 + 6),
        ("dumps", {}, 47 + 5 + 2),  # an Object definition without fields and an object header
        ("emit", {}, 47 + 5 + 2),
        ("dumps", [False, True], 47 + 4 + 6 + 2),
        ("emit", [False, True], 47 + 4 + 6 + 2),
    ],
)
def test_image_size_is_the_sum_of_its_parts(writer, value, size):
    image = WRITERS[writer](value)
    assert len(image) == size
    assert image[PREDEFINED_AT : PREDEFINED_AT + len(PREDEFINED)] == PREDEFINED
    assert vorn.loads(image) == value


# The length prefix of each form at its boundaries, as the writers must lay it out.
PREFIXES = [
    (0, "00"),
    (1, "01"),
    (127, "7f"),
    (128, "8080"),
    (255, "80ff"),
    (256, "8100"),
    (16383, "bfff"),
    (16384, "fe004000"),
    (70000, "fe701101"),
]


@pytest.mark.parametrize("writer", sorted(WRITERS))
@pytest.mark.parametrize(("length", "prefix"), PREFIXES)
def test_inline_string_prefix(writer, length, prefix):
    text = "s" * length
    image = WRITERS[writer](text)
    assert image.endswith(bytes.fromhex(prefix) + text.encode())
    assert vorn.loads(image) == text


@pytest.mark.parametrize(("length", "prefix"), PREFIXES)
def test_dict_string_prefix(length, prefix):
    # A string met twice goes to the dict once; the payload refers to it the second time.
    text = "d" * length
    image = vorn.dumps(json.dumps([text, text]))
    _, dict_at, data_at = block_offsets(image)
    assert image[dict_at:data_at] == b"\x01\x00\x00\x00" + bytes.fromhex(prefix) + text.encode()
    assert image.endswith(b"\xff\x00\x00\x00\x00")
    assert vorn.loads(image) == [text, text]


@pytest.mark.parametrize("lead", [0xC0, 0xC5, 0xFD])
def test_unwritten_lead_bytes_read_as_medium_in_a_payload_only(lead):
    # A medium string whose lead byte keeps its low six bits but gains the top bit 0x40.
    text = "m" * (((lead & 0x3F) << 8) + 200)
    written = lead - 0x40
    image = vorn.dumps(json.dumps(text))
    at = len(image) - len(text) - 2
    assert image[at] == written
    assert vorn.loads(patched(image, at, bytes([lead]))) == text

    twice = vorn.dumps(json.dumps([text, text]))
    _, dict_at, _ = block_offsets(twice)
    assert twice[dict_at + 4] == written
    with pytest.raises(ValueError, match=f"Invalid dict string encoding byte: 0x{lead:02X}$"):
        vorn.loads(patched(twice, dict_at + 4, bytes([lead])))


def patched(image, at, data):
    out = bytearray(image)
    out[at : at + len(data)] = data
    return bytes(out)


def predefined(index, field):
    """Offset of a predefined definition's kind (field 0) or id (field 1)."""
    return PREDEFINED_AT + 3 * index + field


# The decoder takes the predefined definitions as a prepared block only when the image holds
# exactly them; any other bytes there must be read one by one, with every check.
@pytest.mark.parametrize(
    ("text", "at", "data", "value"),
    [
        # Int32 read as UInt32: the kind comes from the image, not from the position.
        ("-1", predefined(2, 0), b"\x03", 4294967295),
        # An id is kept but checked against nothing.
        ("null", predefined(0, 1), b"\x09\x01", None),
        ('"x"', predefined(0, 1), b"\x05\x00", "x"),
    ],
)
def test_predefined_block_is_read_from_the_image(text, at, data, value):
    assert vorn.loads(patched(vorn.dumps(text), at, data)) == value


@pytest.mark.parametrize(
    ("text", "at", "data", "message"),
    [
        ("7", predefined(2, 0), b"\x07", "Unknown VORN type tag: 0x07"),
        ('"x"', predefined(5, 0), b"\x00", "Mismatch entry 0: consumed 0 of 2"),
        ("true", predefined(1, 0), b"\x02", "Expected int32 (4 bytes)"),
        # Fewer definitions than the predefined ones: those past the count are not there.
        ('"x"', DEF_COUNT_AT, b"\x05\x00", "Unknown definition index: 5"),
        ("7", DEF_COUNT_AT, b"\x02\x00", "Unknown definition index: 2"),
    ],
)
def test_predefined_block_is_checked_in_the_image(text, at, data, message):
    with pytest.raises(ValueError) as refused:
        vorn.loads(patched(vorn.dumps(text), at, data))
    assert str(refused.value) == f"Failed to parse VORN: {message}"


@pytest.mark.parametrize("writer", sorted(WRITERS))
@pytest.mark.parametrize(
    "items",
    [
        [1, 2.5],
        [2.5, -3],
        [2**31, 0.5],
        [1, 2**63],
        [2**63, 0.25, -1],
    ],
)
def test_mixed_numbers_make_a_float_array(writer, items):
    image = WRITERS[writer](items)
    result = vorn.loads(image)
    assert all(type(x) is float for x in result)
    assert len(result) == len(items)
