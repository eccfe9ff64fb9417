"""Reading JSON text: what the reader accepts, and every message with its line and column."""

import pytest

import vorn
from tests.support.image import parse_image, root, to_python
from tests.support.refusals import refusal


def value_of(text):
    return to_python(parse_image(vorn.dumps(text)))


CONTROL = "control character (\\u0000-\\u001F) found while parsing a string"


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "EOF while parsing a value at line 1 column 0"),
        (" \t\r\n", "EOF while parsing a value at line 2 column 0"),
        ("[1,", "EOF while parsing a value at line 1 column 3"),
        ('{"a":', "EOF while parsing a value at line 1 column 5"),
        ('{"a":1,', "EOF while parsing a value at line 1 column 7"),
        ("tru", "EOF while parsing a value at line 1 column 3"),
        ("[", "EOF while parsing a list at line 1 column 1"),
        ("[1", "EOF while parsing a list at line 1 column 2"),
        ("[1,\n2", "EOF while parsing a list at line 2 column 1"),
        ("{", "EOF while parsing an object at line 1 column 1"),
        ('{"a"', "EOF while parsing an object at line 1 column 4"),
        ('{"a":1 ', "EOF while parsing an object at line 1 column 7"),
        ('"abc', "EOF while parsing a string at line 1 column 4"),
        ('"\\', "EOF while parsing a string at line 1 column 2"),
        ('"\\u12', "EOF while parsing a string at line 1 column 5"),
        ('"\\ud800', "EOF while parsing a string at line 1 column 7"),
        ('"\\ud800\\', "EOF while parsing a string at line 1 column 8"),
        ('{"a" 1}', "expected `:` at line 1 column 6"),
        ("[1 2]", "expected `,` or `]` at line 1 column 4"),
        ("[truex]", "expected `,` or `]` at line 1 column 6"),
        ('{"a":1 "b":2}', "expected `,` or `}` at line 1 column 8"),
        ("trUe", "expected ident at line 1 column 3"),
        ("nul1", "expected ident at line 1 column 4"),
        ("[fals]", "expected ident at line 1 column 6"),
        ("x", "expected value at line 1 column 1"),
        ("[,1]", "expected value at line 1 column 2"),
        ('{"a":}', "expected value at line 1 column 6"),
        ("+1", "expected value at line 1 column 1"),
        ("\ufeff1", "expected value at line 1 column 1"),
        ('"\\x"', "invalid escape at line 1 column 3"),
        ('"\\U0041"', "invalid escape at line 1 column 3"),
        ('"\\u12g4"', "invalid escape at line 1 column 7"),
        ('"\\ud800\\u00x1"', "invalid escape at line 1 column 13"),
        ("01", "invalid number at line 1 column 2"),
        ("-01", "invalid number at line 1 column 3"),
        ("-", "invalid number at line 1 column 1"),
        ("-x", "invalid number at line 1 column 2"),
        ("1.", "invalid number at line 1 column 2"),
        ("1.e5", "invalid number at line 1 column 3"),
        ("1e", "invalid number at line 1 column 2"),
        ("[1e+]", "invalid number at line 1 column 5"),
        ("1E-x", "invalid number at line 1 column 4"),
        ("1e400", "number out of range at line 1 column 5"),
        ("[0, -1.5e308999 ]", "number out of range at line 1 column 15"),
        ("1" + "0" * 400, "number out of range at line 1 column 401"),
        ('"a\tb"', f"{CONTROL} at line 1 column 3"),
        ('"é\x01"', f"{CONTROL} at line 1 column 4"),
        ('"\\n\x1f"', f"{CONTROL} at line 1 column 4"),
        ('"\\udc00"', "lone leading surrogate in hex escape at line 1 column 7"),
        ('"\\ud800\\u0041"', "lone leading surrogate in hex escape at line 1 column 13"),
        ('"\\ud800\\ud800"', "lone leading surrogate in hex escape at line 1 column 13"),
        ('"\\ud800"', "unexpected end of hex escape at line 1 column 8"),
        ('"\\ud800\\n"', "unexpected end of hex escape at line 1 column 9"),
        ("{1:2}", "key must be a string at line 1 column 2"),
        ('{"a":1,2}', "key must be a string at line 1 column 8"),
        ("[1,]", "trailing comma at line 1 column 4"),
        ('{"a":1 , }', "trailing comma at line 1 column 10"),
        ("[1,\r\n]", "trailing comma at line 2 column 1"),
        ("7 x", "trailing characters at line 1 column 3"),
        ("[]]", "trailing characters at line 1 column 3"),
        ("1\f", "trailing characters at line 1 column 2"),
        ("[" * 128, "recursion limit exceeded at line 1 column 128"),
        ('{"a":' * 127 + "[", "recursion limit exceeded at line 1 column 636"),
        ('{\n  "a": [1,\n   2,\n  x]}', "expected value at line 4 column 3"),
        ('[\n"é",\n\n  "\\q"]', "invalid escape at line 4 column 5"),
        ("[1,\n", "EOF while parsing a value at line 2 column 0"),
    ],
)
def test_reader_messages(text, message):
    assert refusal(vorn.dumps, text) == message


@pytest.mark.parametrize(
    "text, value",
    [
        (" 7 \n", 7),
        ("\t\r\n[ 1 ,\n2 ]\r\n", [1, 2]),
        ('{"b":1,"a":2}', {"a": 2, "b": 1}),
        ('{"a":1,"a":2}', {"a": 2}),
        ('{"b":0,"a":1,"b":2,"a":3,"c":4}', {"a": 3, "b": 2, "c": 4}),
        ('"\\"\\\\\\/\\b\\f\\n\\r\\t"', '"\\/\b\f\n\r\t'),
        ('"\\u0041\\u00e9\\u20AC\\ud83d\\ude00\\u0000"', "A\u00e9\u20ac\U0001f600\x00"),
        ('"é€😀\x7f"', "é€😀\x7f"),
        ('"' + "a" * 37 + '\\n' + "b" * 21 + '"', "a" * 37 + "\n" + "b" * 21),
    ],
)
def test_accepted_texts(text, value):
    assert value_of(text) == value


def test_member_order_is_by_key_bytes():
    text = '{"b": 1, "a": 2, "ab": 3, "B": 4, "é": 5, "": 6, "a\\u0000": 7}'
    img = parse_image(vorn.dumps(text))
    names = [name for name, _ in img.definitions[root(img)[0]][2]]
    assert names == ["", "B", "a", "a\x00", "ab", "b", "é"]


def test_nesting_limit():
    assert value_of("[" * 127 + "]" * 127) is not None
    deep = '{"a":' * 127 + "1" + "}" * 127
    value = value_of(deep)
    for _ in range(127):
        value = value["a"]
    assert value == 1
