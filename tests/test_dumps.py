"""Compiling JSON text: images, numbers, definitions, the string dict, refusals, files."""

import math
import os
import struct
import subprocess
import sys

import pytest

import vorn
from tests.support.image import PREDEFINED_PARSED, parse_image, root
from tests.support.model import float32
from tests.support.refusals import refusal as refusal_of

F32_MAX = struct.unpack("<f", bytes.fromhex("ffff7f7f"))[0]


def compiled(text):
    img = parse_image(vorn.dumps(text))
    return img, *root(img)


def refusal(text):
    return refusal_of(vorn.dumps, text)


def test_worked_example_image():
    image = vorn.dumps('{"tags": ["x", "y", "x"], "name": "x"}')
    assert image.hex(" ").upper() == (
        "01 0D 00 00 00 36 00 00 00 3C 00 00 00 "
        "08 00 00 00 00 01 01 00 02 02 00 03 03 00 04 04 00 05 05 00 10 06 00 05 "
        "11 07 00 02 00 04 6E 61 6D 65 05 04 74 61 67 73 10 "
        "01 00 00 00 01 78 "
        "01 00 00 00 07 00 16 00 00 00 07 00 01 78 06 00 05 00 03 00 "
        "FF 00 00 00 00 01 79 FF 00 00 00 00"
    )


@pytest.mark.parametrize(
    "text, def_index, payload",
    [
        ("null", 0, ""),
        ("true", 1, "01"),
        ("false", 1, "00"),
        ("-5", 2, "fbffffff"),
        ("1.5", 4, "0000c03f"),
        ('"x"', 5, "0178"),
        ("[]", 6, "060000000000"),
        ("[null, null, null]", 6, "060000000300"),
        ("{}", 6, "0600"),
        ('"' + "a" * 128 + '"', 5, "8080" + "61" * 128),
    ],
)
def test_root_entries(text, def_index, payload):
    image = vorn.dumps(text)
    img = parse_image(image)
    assert img.strings == []
    assert img.entries == [(def_index, bytes.fromhex(payload))]
    assert img.definitions[:6] == PREDEFINED_PARSED
    assert len(img.definitions) == (6 if def_index < 6 else 7)


def test_scalar_root_image_bytes():
    assert vorn.dumps("5").hex() == (
        "010d0000002100000025000000" "0600" "000000010100020200030300040400050500"
        "00000000" "01000000" "0200" "04000000" "05000000"
    )


@pytest.mark.parametrize(
    "text, tag, value",
    [
        ("0", "Int32", 0),
        ("2147483647", "Int32", 2147483647),
        ("2147483648", "Int32", -2147483648),
        ("4294967295", "Int32", -1),
        ("4294967296", "Int32", 0),
        ("9223372036854775807", "Int32", -1),
        ("-1", "Int32", -1),
        ("-2147483648", "Int32", -2147483648),
        ("-2147483649", "Int32", 2147483647),
        ("-9223372036854775808", "Int32", 0),
        ("9223372036854775808", "UInt32", 0),
        ("9223372036854775809", "UInt32", 1),
        ("18446744073709551615", "UInt32", 4294967295),
        ("18446744073709551616", "Float32", 18446744073709551616.0),
        ("-9223372036854775809", "Float32", -9223372036854775808.0),
        ("1" + "0" * 30, "Float32", float32(1e30)),
        ("1.0", "Float32", 1.0),
        ("1e2", "Float32", 100.0),
        ("0.1", "Float32", float32(0.1)),
        ("1.0000000596046448", "Float32", 1.0),  # halfway: ties to even
        ("1.0000001788139343", "Float32", 1.0000002384185791),  # halfway: ties to even
        ("16777217.0", "Float32", 16777216.0),
        ("3.4028234663852886e38", "Float32", F32_MAX),
        ("3.4028235677973362e38", "Float32", F32_MAX),  # just below half an ulp above the max
        ("1e-46", "Float32", 0.0),
        ("1.4e-45", "Float32", float32(1.4e-45)),
        ("1e-400", "Float32", 0.0),
    ],
)
def test_number_classification_and_narrowing(text, tag, value):
    _, index, got = compiled(text)
    assert got == (tag, value)
    assert index == {"Int32": 2, "UInt32": 3, "Float32": 4}[tag]


# A number that narrows to a float32 infinity would make loads refuse the image: dumps refuses it
# first, with the message loads would give.
@pytest.mark.parametrize("text, message", [
    ("3.4028235677973366e38", "Cannot represent float inf"),  # exactly halfway: rounds to 2^128
    ("1e39", "Cannot represent float inf"),
    ("-1e39", "Cannot represent float -inf"),
    ("1.7976931348623157e308", "Cannot represent float inf"),
    ("[0.5, 1e39, 7]", "Cannot represent float inf"),
    ('{"b": 1e39, "a": [-1e39]}', "Cannot represent float -inf"),  # the first in key order
])
def test_numbers_that_narrow_to_infinity_are_refused(text, message):
    assert refusal(text) == message


@pytest.mark.parametrize("text", ["-0", "-0.0", "-1e-400", "-1e-50", "-0e5"])
def test_negative_zero_keeps_its_sign(text):
    _, _, (tag, value) = compiled(text)
    assert tag == "Float32" and value == 0.0 and math.copysign(1.0, value) == -1.0


@pytest.mark.parametrize(
    "text, items",
    [
        ("[1, 2.5]", [1.0, 2.5]),
        ("[2.5, 1]", [2.5, 1.0]),
        ("[1, 9223372036854775808]", [1.0, 9223372036854775808.0]),
        ("[2147483648, 0.5]", [2147483648.0, 0.5]),  # the exact integer, not its low 32 bits
        ("[-2147483649, 0.5]", [-2147483648.0, 0.5]),
        ("[16777217, 0.5]", [16777216.0, 0.5]),  # halfway: ties to even
        ("[16777219, 0.5]", [16777220.0, 0.5]),
        ("[18446744073709551615, 0.5]", [18446744073709551616.0, 0.5]),
    ],
)
def test_mixed_number_arrays_become_float32(text, items):
    img, index, value = compiled(text)
    assert img.definitions == PREDEFINED_PARSED + [(16, 6, 4)]
    assert value == ("Array", 6, 4, [("Float32", x) for x in items])


def test_promoted_arrays_share_the_float32_definition_and_nest():
    img, index, value = compiled("[[0.5, 1], [2.5], [1, 2]]")
    assert img.definitions == PREDEFINED_PARSED + [(16, 6, 4), (16, 7, 2), (16, 8, 16)]
    assert value == ("Array", 8, 4, [
        ("Array", 6, 4, [("Float32", 0.5), ("Float32", 1.0)]),
        ("Array", 6, 4, [("Float32", 2.5)]),
        ("Array", 7, 2, [("Int32", 1), ("Int32", 2)]),
    ])


@pytest.mark.parametrize(
    "text, message",
    [
        ("[1, null]", "Array item 1 is Null but elem_type is Int32"),
        ("[null, 1]", "Array item 0 is Null but elem_type is Int32"),
        ("[1, 2.5, \"a\"]", "Array item 2 is String but elem_type is Int32"),
        ("[1, 2.5, null]", "Array item 2 is Null but elem_type is Int32"),
        ("[true, 1]", "Array item 1 is Int32 but elem_type is Bool"),
        ("[\"a\", {}]", "Array item 1 is Object but elem_type is String"),
        ("[{}, []]", "Array item 1 is Array but elem_type is Object"),
        ("[null, [], 9223372036854775808]", "Array item 0 is Null but elem_type is Array"),
        ("[9223372036854775808, false]", "Array item 1 is Bool but elem_type is UInt32"),
        ("[0.5, \"x\"]", "Array item 1 is String but elem_type is Float32"),
        # The first failure of the walk: items before their array, members in key order.
        ("[[1, \"a\"], [true, 2]]", "Array item 1 is String but elem_type is Int32"),
        ("[\"x\", [true, 2]]", "Array item 1 is Int32 but elem_type is Bool"),
        ('{"b": [1, "a"], "a": [true, 1]}', "Array item 1 is Int32 but elem_type is Bool"),
    ],
)
def test_mixed_arrays_are_refused(text, message):
    assert refusal(text) == message


def test_encoder_refusals_reached_from_json():
    assert refusal("[" + "0," * 65535 + "0]") == "Array has 65536 items (max 65535)"
    members = ",".join(f'"k{i}":0' for i in range(65536))
    assert refusal("{" + members + "}") == "Object #6 has 65536 fields (max 65535)"
    assert refusal('{"' + "k" * 256 + '": 1}') == "Field name too long"
    assert refusal('"' + "s" * 16777216 + '"') == (
        "String exceeds maximum inline length (16 777 215 bytes)")


def test_definition_table_limit():
    def layouts(n):
        return "[" + ",".join(f'{{"k{i}":0}}' for i in range(n)) + "]"
    # The six predefined definitions, one per layout and the array's own.
    # The encoder's limit comes first, then the decoder's, which the image must meet to load.
    assert refusal(layouts(65529)) == "Too many definitions (65536), max 65535"
    assert refusal(layouts(65528)) == "Definition count 65535 exceeds max 2048"
    assert refusal(layouts(2042)) == "Definition count 2049 exceeds max 2048"
    img = parse_image(vorn.dumps(layouts(2041)))
    assert len(img.definitions) == 2048 and img.definitions[-1] == (16, 2047, 17)


def test_largest_representable_counts_compile():
    img, _, value = compiled("[" + "0," * 65534 + "0]")
    assert len(value[3]) == 65535
    img, index, _ = compiled('{"' + "k" * 255 + '": 1}')
    assert img.definitions[index] == (17, 6, [("k" * 255, 2)])


@pytest.mark.parametrize(
    "text, definitions, value",
    [
        # Arrays share one definition per element kind, whatever their length.
        ("[[], [null, null]]", [(16, 6, 0), (16, 7, 16)],
         ("Array", 7, 0, [("Array", 6, 0, []), ("Array", 6, 0, [("Null", None)] * 2)])),
        ("[[1, 2], [-3], [9223372036854775808]]", [(16, 6, 2), (16, 7, 3), (16, 8, 16)],
         ("Array", 8, 2, [("Array", 6, 2, [("Int32", 1), ("Int32", 2)]),
                          ("Array", 6, 2, [("Int32", -3)]), ("Array", 7, 3, [("UInt32", 0)])])),
        # Objects share a definition when names and kinds agree.
        ('[{"a": 1}, {"a": 2}, {"a": 1.5}, {"a": 9223372036854775808}]',
         [(17, 6, [("a", 2)]), (17, 7, [("a", 4)]), (17, 8, [("a", 3)]), (16, 9, 17)],
         ("Array", 9, 6, [("Object", 6, [("Int32", 1)]), ("Object", 6, [("Int32", 2)]),
                          ("Object", 7, [("Float32", 1.5)]), ("Object", 8, [("UInt32", 0)])])),
        ('[{}, {"x": {}}]', [(17, 6, []), (17, 7, [("x", 17)]), (16, 8, 17)],
         ("Array", 8, 6, [("Object", 6, []), ("Object", 7, [("Object", 6, [])])])),
        ('[{"a": {"x": 1}}, {"a": {"y": "s"}}]',
         [(17, 6, [("x", 2)]), (17, 7, [("a", 17)]), (17, 8, [("y", 5)]), (16, 9, 17)],
         ("Array", 9, 7, [("Object", 7, [("Object", 6, [("Int32", 1)])]),
                          ("Object", 7, [("Object", 8, [("String", "s")])])])),
        # Post-order numbering, members in key order.
        ('{"b": [true], "a": {"c": null}}',
         [(17, 6, [("c", 0)]), (16, 7, 1), (17, 8, [("a", 17), ("b", 16)])],
         ("Object", 8, [("Object", 6, [("Null", None)]), ("Array", 7, 1, [("Bool", 1)])])),
        # An array of arrays records its first inner array's element definition.
        ("[[], [1]]", [(16, 6, 0), (16, 7, 2), (16, 8, 16)],
         ("Array", 8, 0, [("Array", 6, 0, []), ("Array", 7, 2, [("Int32", 1)])])),
        ('[null, null]', [(16, 6, 0)], ("Array", 6, 0, [("Null", None)] * 2)),
        # Key order in the text, and repeated keys, do not change the layout.
        ('[{"b": 1, "a": 2}, {"a": 3, "b": 4}, {"b": 5, "a": 6, "b": 7}, {"a": 8, "a": "x"}]',
         [(17, 6, [("a", 2), ("b", 2)]), (17, 7, [("a", 5)]), (16, 8, 17)],
         ("Array", 8, 6, [("Object", 6, [("Int32", 2), ("Int32", 1)]),
                          ("Object", 6, [("Int32", 3), ("Int32", 4)]),
                          ("Object", 6, [("Int32", 6), ("Int32", 7)]),
                          ("Object", 7, [("String", "x")])])),
        ('[{"a": 1, "b": "s"}, {"b": 1, "a": "s"}, {"a": 2, "b": "t"}]',
         [(17, 6, [("a", 2), ("b", 5)]), (17, 7, [("a", 5), ("b", 2)]), (16, 8, 17)],
         ("Array", 8, 6, [("Object", 6, [("Int32", 1), ("String", "s")]),
                          ("Object", 7, [("StrRef", 0), ("Int32", 1)]),
                          ("Object", 6, [("Int32", 2), ("String", "t")])])),
        ('[[{"a": 1}]]', [(17, 6, [("a", 2)]), (16, 7, 17), (16, 8, 16)],
         ("Array", 8, 6, [("Array", 7, 6, [("Object", 6, [("Int32", 1)])])])),
    ],
)
def test_definition_sharing_and_numbering(text, definitions, value):
    img, index, got = compiled(text)
    assert img.definitions == PREDEFINED_PARSED + definitions
    assert (index, got) == (value[1], value)


@pytest.mark.parametrize(
    "text, fields",
    [
        ('[{"a:0,b": null}, {"a": null, "b": null}]', [[("a:0,b", 0)], [("a", 0), ("b", 0)]]),
        ('[{"a": null, "b": null}, {"a:0,b": null}]', [[("a", 0), ("b", 0)], [("a:0,b", 0)]]),
        ('[{"a:2": 1}, {"a": 1, "": 1}]', [[("a:2", 2)], [("", 2), ("a", 2)]]),
        ('[{"x,y:5": 1, "z": 2}, {"x": 1, "y:5,z": 2}]',
         [[("x,y:5", 2), ("z", 2)], [("x", 2), ("y:5,z", 2)]]),
    ],
)
def test_ambiguous_names_never_share(text, fields):
    img, _, _ = compiled(text)
    objects = [d[2] for d in img.definitions if d[0] == 17]
    assert objects == fields


def test_names_with_separators_still_share_when_equal():
    img, _, value = compiled('[{"a,b": 1, "c:d": "x"}, {"c:d": "y", "a,b": 2}]')
    assert img.definitions[6:] == [(17, 6, [("a,b", 2), ("c:d", 5)]), (16, 7, 17)]
    assert [item[1] for item in value[3]] == [6, 6]


@pytest.mark.parametrize(
    "text, strings, items",
    [
        ('["a", "a", "a"]', ["a"], [("String", "a"), ("StrRef", 0), ("StrRef", 0)]),
        ('["a", "b", "b", "a"]', ["b", "a"],
         [("String", "a"), ("String", "b"), ("StrRef", 0), ("StrRef", 1)]),
        ('["", ""]', [""], [("String", ""), ("StrRef", 0)]),
        ('["A", "\\u0041", "\\/", "/"]', ["A", "/"],
         [("String", "A"), ("StrRef", 0), ("String", "/"), ("StrRef", 1)]),
        ('["a", "A", "a "]', [], [("String", "a"), ("String", "A"), ("String", "a ")]),
    ],
)
def test_string_dict(text, strings, items):
    img, _, value = compiled(text)
    assert img.strings == strings
    assert value[3] == items


def test_members_are_compiled_in_key_order():
    img, _, value = compiled('{"b": "s", "a": "s"}')
    assert img.strings == ["s"]
    assert value[2] == [("String", "s"), ("StrRef", 0)]


def test_keys_are_not_string_occurrences():
    image = vorn.dumps('{"a": "a", "b": {"a": "b"}}')
    dict_offset, data_offset = struct.unpack_from("<II", image, 5)
    assert image[dict_offset:data_offset] == bytes(4)  # the count 0 alone


def test_long_dict_strings_use_their_forms():
    medium, long = "m" * 16383, "l" * 16384
    img, _, value = compiled(f'["{medium}", "{long}", "{long}", "{medium}"]')
    assert img.strings == [long, medium]
    image = vorn.dumps(f'["{long}", "{long}"]')
    assert image.find(bytes.fromhex("fe004000") + b"l") > 0


def test_same_text_gives_same_bytes_in_two_processes():
    text = "[" + ",".join(
        f'{{"k{i % 7}": "v{i % 13}", "n": {i}, "s": "{chr(0x61 + i % 26) * (i % 9)}"}}'
        for i in range(300)) + "]"
    code = "import sys, vorn; sys.stdout.write(vorn.dumps(sys.stdin.read()).hex())"
    runs = [subprocess.run([sys.executable, "-c", code], input=text, capture_output=True,
                           text=True, check=True, env={**os.environ, "PYTHONHASHSEED": seed},
                           timeout=120).stdout
            for seed in ("1", "2")]
    assert runs[0] == runs[1] == vorn.dumps(text).hex()


def test_dump_writes_the_image(tmp_path):
    path = tmp_path / "out.vorn"
    text = '{"tags": ["x", "y", "x"], "name": "x"}'
    assert vorn.dump(text, str(path)) is None
    assert path.read_bytes() == vorn.dumps(text)


def test_dump_replaces_an_existing_file_whole(tmp_path):
    path = tmp_path / "out.vorn"
    path.write_bytes(b"\xaa" * 4096)
    vorn.dump("1", str(path))
    assert path.read_bytes() == vorn.dumps("1")


@pytest.mark.parametrize(
    "text, message",
    [
        ("{", "EOF while parsing an object at line 1 column 1"),
        ("[1, null]", "Array item 1 is Null but elem_type is Int32"),
        ("[" + "0," * 65535 + "0]", "Array has 65536 items (max 65535)"),
    ],
)
def test_failed_dump_leaves_files_alone(tmp_path, text, message):
    fresh, existing = tmp_path / "fresh.vorn", tmp_path / "existing.vorn"
    existing.write_bytes(b"old contents")
    for path in (fresh, existing):
        assert refusal_of(vorn.dump, text, str(path)) == message
    assert not fresh.exists()
    assert existing.read_bytes() == b"old contents"


def test_dump_into_a_missing_directory(tmp_path):
    path = tmp_path / "missing" / "out.vorn"
    with pytest.raises(ValueError) as info:
        vorn.dump("[1]", str(path))
    assert str(info.value) == "IO error: No such file or directory (os error 2)"
