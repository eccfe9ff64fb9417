"""The vorn command, end to end through subprocess."""

import json
import pathlib
import re
import struct

import pytest

import vorn
from tests.support.command import run, run_on_terminal, write
from tests.support.model import changed_numbers

ROOT = pathlib.Path(__file__).resolve().parent.parent
CATALOG = ROOT / "examples" / "catalog.json"

# The worked example: 92 bytes, blocks at 13 (41 bytes), 54 (6 bytes) and 60 (32 bytes).
EXAMPLE = '{"tags": ["x", "y", "x"], "name": "x"}'
KINDS = ["Null", "Bool", "Int32", "UInt32", "Float32", "String"]
EXAMPLE_DEFINITIONS = [{"index": i, "id": i, "kind": k} for i, k in enumerate(KINDS)] + [
    {"index": 6, "id": 6, "kind": "Array", "elem_type": "String"},
    {"index": 7, "id": 7, "kind": "Object",
     "fields": [{"name": "name", "tag": "String"}, {"name": "tags", "tag": "Array"}]},
]


def example_image(tmp_path, patch=None, cut=None):
    image = bytearray(vorn.dumps(EXAMPLE))
    if patch:
        struct.pack_into(patch[0], image, patch[1], patch[2])
    return write(tmp_path / "example.vorn", bytes(image[:cut]))


def same_json(a, b):
    """Equal values with equal types (1 and 1.0 differ), as json.dumps writes them."""
    return json.dumps(a, sort_keys=True) == json.dumps(b, sort_keys=True)


# --- encode ---------------------------------------------------------------------------------

def test_encode_writes_what_dumps_makes(tmp_path):
    src = write(tmp_path / "catalog.json", CATALOG.read_bytes())
    result = run("encode", src)
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    assert (tmp_path / "catalog.vorn").read_bytes() == vorn.dumps(CATALOG.read_text())


@pytest.mark.parametrize("name, out, written", [
    ("a.json", None, "a.vorn"),
    ("data", None, "data.vorn"),
    ("a.b.json", "dir", "dir/a.b.vorn"),
    ("a.json", "x.bin", "x.bin"),
])
def test_encode_output_names(tmp_path, name, out, written):
    (tmp_path / "dir").mkdir()
    src = write(tmp_path / name, "[true]")
    result = run("encode", src, *(["-o", tmp_path / out] if out else []))
    assert (result.returncode, result.stderr) == (0, "")
    assert (tmp_path / written).read_bytes() == vorn.dumps("[true]")


def test_encode_several_goes_past_a_bad_file(tmp_path):
    good = [write(tmp_path / f"good{i}.json", f'{{"n": {i}}}') for i in range(2)]
    bad = write(tmp_path / "bad.json", '{"n": }')
    out = tmp_path / "out"
    result = run("encode", good[0], bad, good[1], "-o", f"{out}/")
    assert result.returncode == 1
    assert result.stderr == (f"vorn: {bad}: expected value at line 1 column 7\n"
                             "vorn: 1 of 3 files failed\n")
    assert sorted(p.name for p in out.iterdir()) == ["good0.vorn", "good1.vorn"]
    assert (out / "good1.vorn").read_bytes() == vorn.dumps('{"n": 1}')


@pytest.mark.parametrize("data, message", [
    (b'["ok",\n  "\xff"]', "invalid UTF-8 at line 2 column 4"),
    (b'[1, "a"]', "$: Array item 1 is String but elem_type is Int32"),
    (b"", "EOF while parsing a value at line 1 column 0"),
])
def test_encode_refusals(tmp_path, data, message):
    src = write(tmp_path / "in.json", data)
    result = run("encode", src, "-o", tmp_path / "out.vorn")
    assert (result.returncode, result.stderr) == (1, f"vorn: {src}: {message}\n")
    assert not (tmp_path / "out.vorn").exists()


# Overlong forms, surrogates, code points above U+10FFFF, and a text that ends inside a
# sequence: each is refused at its first byte, counted in bytes like the JSON reader's positions.
NOT_UTF8 = [b"\xe0\x80\x80", b"\xe0\x9f\xbf", b"\xc0\xaf", b"\xc1\xbf", b"\xf0\x80\x80\x80",
            b"\xf0\x8f\xbf\xbf", b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xf4\x90\x80\x80",
            b"\xf5\x80\x80\x80"]


@pytest.mark.parametrize("command", ["encode", "stats"])
@pytest.mark.parametrize("sequence, tail", [(s, b'"]') for s in NOT_UTF8] + [(b"\xe2\x82", b"")],
                         ids=lambda v: v.hex())
def test_text_that_is_not_utf8_is_refused(tmp_path, command, sequence, tail):
    src = write(tmp_path / "in.json", b'["\xf0\x9f\x98\x80",\n "\xc3\xa9' + sequence + tail)
    result = run(command, src)
    message = "invalid UTF-8 at line 2 column 5"
    if command == "stats":
        message = f"refused (json): {message}"
    assert (result.returncode, result.stderr) == (1, f"vorn: {src}: {message}\n")
    assert not (tmp_path / "in.vorn").exists()


def test_encode_missing_file(tmp_path):
    result = run("encode", tmp_path / "none.json")
    expected = f"vorn: {tmp_path / 'none.json'}: No such file or directory (os error 2)\n"
    assert (result.returncode, result.stderr) == (1, expected)


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_progress_only_on_a_terminal(tmp_path, jobs):
    inputs = [write(tmp_path / f"f{i}.json", "[1, 2, 3]") for i in range(3)]
    status, shown, _ = run_on_terminal(["encode", "-j", jobs, *inputs, "-o", f"{tmp_path}/tty/"])
    assert status == 0
    assert "[0/3 files] 0 B  " in shown and re.search(r"/f[0-2]\.json\r", shown)
    assert "[3/3 files] 27 B in " in shown  # the final count stays on its line
    assert shown.endswith("\r\n")
    piped = run("encode", "-j", jobs, *inputs, "-o", f"{tmp_path}/pipe/")
    assert (piped.returncode, piped.stderr) == (0, "")
    quiet = run_on_terminal(["encode", "-q", *inputs, "-o", f"{tmp_path}/quiet/"])
    assert quiet[:2] == (0, "")
    single = run_on_terminal(["encode", inputs[0], "-o", tmp_path / "one.vorn"])
    assert single[:2] == (0, "")


# --- decode ---------------------------------------------------------------------------------

def test_decode_matches_load_on_the_example(tmp_path):
    image = write(tmp_path / "catalog.vorn", vorn.dumps(CATALOG.read_text()))
    result = run("decode", image)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.count("\n") == 1  # compact: one line
    assert same_json(json.loads(result.stdout), vorn.load(str(image)))


@pytest.mark.parametrize("text", [
    '{"i": 4294967295, "n": -5, "z": -0.0, "f": 0.1, "big": 1e30, "tiny": 1e-40, "one": 1.0}',
    '["a\\"\\\\\\n\\u0001\\u001f", "é€😀", "", "x", "x"]',
    '{"e": [], "o": {}, "n": [[true, false]], "k": {"": {"k": null}}, "z": [null, null]}',
    '7', '"only"', 'null', '[3.4028234663852886e38, -1.401298464324817e-45]',
])
def test_decode_values_and_types_match_load(tmp_path, text):
    image = write(tmp_path / "v.vorn", vorn.dumps(text))
    for extra in ([], ["--indent", "0"], ["--indent", "3"]):
        result = run("decode", image, *extra)
        assert result.returncode == 0
        assert same_json(json.loads(result.stdout), vorn.load(str(image)))


def test_decode_indent_and_output_file(tmp_path):
    image = write(tmp_path / "v.vorn", vorn.dumps('{"a": [1, -2], "b": {}, "c": [2.5]}'))
    out = tmp_path / "v.json"
    result = run("decode", image, "--indent", "2", "-o", out)
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    assert out.read_text() == ('{\n  "a": [\n    1,\n    -2\n  ],\n  "b": {},\n'
                               '  "c": [\n    2.5\n  ]\n}\n')


def test_decode_damaged_image(tmp_path):
    image = example_image(tmp_path, cut=12)
    out = tmp_path / "out.json"
    result = run("decode", image, "-o", out)
    expected = f"vorn: {image}: Header requires 13 bytes, got 12\n"
    assert (result.returncode, result.stdout, result.stderr) == (1, "", expected)
    assert not out.exists()


# --- inspect --------------------------------------------------------------------------------

def test_inspect_text(tmp_path):
    image = example_image(tmp_path)
    result = run("inspect", image)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == f"""file: {image} (92 bytes)
header: version 1
  definition block  offset         13  size         41
  dict block        offset         54  size          6
  data block        offset         60  size         32
definitions: 8
  index     id  kind    contents
      0      0  Null
      1      1  Bool
      2      2  Int32
      3      3  UInt32
      4      4  Float32
      5      5  String
      6      6  Array   of String
      7      7  Object  2 fields: "name" String, "tags" Array
dict: 1 string, 1 byte
      0  "x"
entries: 1
  index  definition  kind    payload
      0           7  Object  22 bytes
"""


def test_inspect_json_of_the_example(tmp_path):
    image = example_image(tmp_path)
    result = run("inspect", image, "--json")
    assert (result.returncode, result.stderr) == (0, "")
    assert json.loads(result.stdout) == {
        "file": str(image), "size": 92,
        "header": {"version": 1,
                   "definition_block": {"offset": 13, "size": 41},
                   "dict_block": {"offset": 54, "size": 6},
                   "data_block": {"offset": 60, "size": 32}},
        "definitions": {"count": 8, "items": EXAMPLE_DEFINITIONS},
        "dict": {"count": 1, "bytes": 1, "first_strings": ["x"]},
        "entries": {"count": 1,
                    "items": [{"definition": 7, "kind": "Object", "payload_size": 22}]},
        "error": None,
    }


def test_inspect_json_of_the_catalog(tmp_path):
    image_bytes = vorn.dumps(CATALOG.read_text())
    image = write(tmp_path / "catalog.vorn", image_bytes)
    report = json.loads(run("inspect", image, "--json").stdout)
    offsets = struct.unpack_from("<III", image_bytes, 1)
    header = report["header"]
    assert [header[b]["offset"] for b in ("definition_block", "dict_block", "data_block")] == \
        list(offsets)
    assert report["definitions"]["count"] == len(report["definitions"]["items"])
    assert report["definitions"]["items"][:6] == EXAMPLE_DEFINITIONS[:6]
    assert report["entries"]["items"][0]["payload_size"] == len(image_bytes) - offsets[2] - 10
    assert report["error"] is None


# (patch or cut, what is shown before the fault, the decoder's message)
DAMAGED = [
    ({"cut": 12}, {"header": None, "definitions": None}, "Header requires 13 bytes, got 12"),
    ({"patch": ("<B", 0, 2)}, {"definitions": None}, "Unsupported VORN version: 2"),
    ({"patch": ("<H", 13, 2049)}, {"definitions": {"count": 2049, "items": []}, "dict": None},
     "Definition count 2049 exceeds max 2048"),
    ({"patch": ("<B", 47, 7)}, {"definitions": {"count": 8, "items": EXAMPLE_DEFINITIONS[:7]}},
     "Unknown VORN type tag: 0x07"),
    ({"patch": ("<B", 58, 0xC3)},
     {"dict": {"count": 1, "bytes": 0, "first_strings": []}, "entries": None},
     "Invalid dict string encoding byte: 0xC3"),
    ({"cut": 91}, {"entries": {"count": 1, "items": []}},
     "Entry 0 payload (22 bytes) exceeds buffer"),
    ({"patch": ("<I", 81, 5)}, {"dict": {"count": 1, "bytes": 1, "first_strings": ["x"]}},
     "StrRef index 5 out of bounds"),
    ({"patch": ("<I", 9, 93)},
     {"header": {"version": 1, "definition_block": {"offset": 13, "size": None},
                 "dict_block": {"offset": 54, "size": None},
                 "data_block": {"offset": 93, "size": None}}, "definitions": None},
     "Data block offset 93 exceeds buffer length 92"),
    ({"patch": ("<B", 44, 0xC0)}, {"definitions": {"count": 8, "items": EXAMPLE_DEFINITIONS[:7]}},
     "Invalid UTF-8 in field name: invalid utf-8 sequence of 1 bytes from index 1"),
    ({"patch": ("<B", 54, 9)}, {"dict": {"count": 9, "bytes": 1, "first_strings": ["x"]}},
     "Truncated dict string"),
    # The entry whose payload is at fault has passed its header checks: it is listed.
    ({"patch": ("<B", 73, 0xFF)},
     {"entries": {"count": 1, "items": [{"definition": 7, "kind": "Object", "payload_size": 22}]}},
     "Invalid UTF-8 string: invalid utf-8 sequence of 1 bytes from index 0"),
]


@pytest.mark.parametrize("damage, shown, message", DAMAGED)
def test_inspect_damaged_image(tmp_path, damage, shown, message):
    image = example_image(tmp_path, **damage)
    result = run("inspect", image, "--json")
    assert (result.returncode, result.stderr) == (1, f"vorn: {image}: {message}\n")
    report = json.loads(result.stdout)
    assert report["error"] == message
    for key, value in shown.items():
        assert report[key] == value
    text = run("inspect", image)
    assert (text.returncode, text.stderr) == (1, f"vorn: {image}: {message}\n")
    if report["header"] is not None:
        assert "header: version" in text.stdout


def test_inspect_text_marks_a_block_cut_short(tmp_path):
    image = example_image(tmp_path, patch=("<B", 47, 7))
    result = run("inspect", image)
    assert result.returncode == 1
    assert result.stdout.endswith("definitions: 8 (only 7 read)\n  index     id  kind    contents\n"
                                  "      0      0  Null\n      1      1  Bool\n"
                                  "      2      2  Int32\n"
                                  "      3      3  UInt32\n      4      4  Float32\n"
                                  "      5      5  String\n      6      6  Array   of String\n")


def test_inspect_lists_the_entries_read_before_a_fault(tmp_path):
    image = bytearray(vorn.dumps(EXAMPLE))
    struct.pack_into("<I", image, 60, 3)  # three entries: the first, a copy, and one cut short
    image += image[64:92] + image[64:91]
    src = write(tmp_path / "three.vorn", bytes(image))
    result = run("inspect", src, "--json")
    message = "Entry 2 payload (22 bytes) exceeds buffer"
    assert (result.returncode, result.stderr) == (1, f"vorn: {src}: {message}\n")
    entry = {"definition": 7, "kind": "Object", "payload_size": 22}
    assert json.loads(result.stdout)["entries"] == {"count": 3, "items": [entry, entry]}
    text = run("inspect", src).stdout
    assert text.endswith("entries: 3 (only 2 read)\n  index  definition  kind    payload\n"
                         "      0           7  Object  22 bytes\n"
                         "      1           7  Object  22 bytes\n")


# --- stats ----------------------------------------------------------------------------------

def test_stats_of_the_example():
    text = CATALOG.read_text()
    result = run("stats", CATALOG, "--json")
    assert (result.returncode, result.stderr) == (0, "")
    [report] = json.loads(result.stdout)
    image = vorn.dumps(text)
    changed = changed_numbers(json.loads(text), vorn.loads(image))
    assert report["file"] == str(CATALOG)
    assert report["json_size"] == len(text.encode())
    assert report["minified_size"] == len(json.dumps(json.loads(text), separators=(",", ":"),
                                                     ensure_ascii=False).encode())
    assert report["vorn_size"] == len(image)
    assert report["changed"] == changed
    assert report["round_trip"] == ("narrowed" if changed else "exact")
    plain = run("stats", CATALOG)
    assert plain.returncode == 0
    assert f"VORN            {len(image):,} bytes" in plain.stdout


@pytest.mark.parametrize("text, verdict, extra", [
    ('{"a": 1, "b": ["x", "x"]}', "exact", {"changed": 0, "examples": [], "dict_strings": 1}),
    ('{"i": [4294967296, 1, 2147483648, 3], "f": [0.5, 0.1], "g": 0.2}', "narrowed",
     {"changed": 4, "examples": [
         {"path": "$.f[1]", "before": "0.1", "after": "0.10000000149011612"},
         {"path": "$.g", "before": "0.2", "after": "0.20000000298023224"},
         {"path": "$.i[0]", "before": "4294967296", "after": "0"}]}),
    ('{"a b": {"c": [1e-50]}}', "narrowed",
     {"examples": [{"path": '$["a b"].c[0]', "before": "1e-50", "after": "0.0"}]}),
    ("[1e39]", "refused",
     {"rule": "reader", "error": "$[0]: Cannot represent float inf"}),
    ('[1, "a"]', "refused",
     {"rule": "writer", "error": "$: Array item 1 is String but elem_type is Int32"}),
    (json.dumps({"a": [{f"k{i}": 1} for i in range(2043)], "s": ["t", "t"]}), "refused",
     {"rule": "reader", "error": "$.a[2042]: Definition count 2052 exceeds max 2048",
      "definitions": 2052, "dict_strings": 1}),
    (json.dumps({"k" * 256: 1, "s": ["t", "t"]}), "refused",
     {"rule": "format", "error": "$: Field name too long", "minified_size": 276,
      "vorn_size": 0, "definitions": 8, "dict_strings": 1}),
    ('{"a": [1, "x"', "refused",
     {"rule": "json", "error": "EOF while parsing a list at line 1 column 13",
      "minified_size": 0, "definitions": 0}),
])
def test_stats_verdicts(tmp_path, text, verdict, extra):
    src = write(tmp_path / "in.json", text)
    result = run("stats", src, "--json")
    [report] = json.loads(result.stdout)
    assert report["round_trip"] == verdict
    assert {k: report[k] for k in extra} == extra
    if verdict == "refused":
        message = f"refused ({extra['rule']}): {extra['error']}"
        assert (result.returncode, result.stderr) == (1, f"vorn: {src}: {message}\n")
    else:
        assert (result.returncode, result.stderr) == (0, "")


def test_stats_goes_past_a_missing_file(tmp_path):
    good = write(tmp_path / "good.json", "[1]")
    result = run("stats", tmp_path / "none.json", good, "--json")
    assert result.returncode == 1
    assert result.stderr == (f"vorn: {tmp_path / 'none.json'}: "
                             "No such file or directory (os error 2)\n"
                             "vorn: 1 of 2 files failed\n")
    assert [r["file"] for r in json.loads(result.stdout)] == [str(good)]


def test_stats_text_shows_examples(tmp_path):
    src = write(tmp_path / "in.json", "[0.1, 0.5]")
    result = run("stats", src)
    assert result.returncode == 0
    assert result.stdout.endswith("  round trip      after 32-bit narrowing: 1 value changed\n"
                                  "    $[0]: 0.1 -> 0.10000000149011612\n")


# --- usage ----------------------------------------------------------------------------------

@pytest.mark.parametrize("args, message", [
    ([], "no command given (see 'vorn --help')"),
    (["frob"], "unknown command 'frob' (see 'vorn --help')"),
    (["encode", "a.json", "-o"], "encode: option '-o' needs a value (see 'vorn encode --help')"),
    (["encode", "a.json", "--fast"], "encode: unknown option '--fast' (see 'vorn encode --help')"),
    (["encode", "d/a.json", "e/a.json", "-o", "out/"],
     "encode: two inputs would both be written to 'out/a.vorn' (see 'vorn encode --help')"),
    (["decode", "a.vorn", "--indent", "x"],
     "decode: --indent takes a number from 0 to 16 (see 'vorn decode --help')"),
    (["inspect", "a.vorn", "--json=yes"],
     "inspect: option '--json' takes no value (see 'vorn inspect --help')"),
])
def test_usage_errors(args, message):
    result = run(*args)
    assert (result.returncode, result.stdout, result.stderr) == (2, "", f"vorn: {message}\n")


def test_several_inputs_need_a_directory(tmp_path):
    target = write(tmp_path / "file", "")
    result = run("encode", "a.json", "b.json", "-o", target)
    assert result.returncode == 2
    assert result.stderr.startswith(f"vorn: encode: several inputs need -o DIR/, a directory: "
                                    f"'{target}' is not one")


@pytest.mark.parametrize("command", ["encode", "decode", "inspect", "stats"])
def test_help(command):
    overview = run("--help")
    assert overview.returncode == 0 and re.search(rf"\n  {command} \[?IN\.", overview.stdout)
    for flag in ("--help", "-h"):
        result = run(command, flag)
        assert (result.returncode, result.stderr) == (0, "")
        assert result.stdout.startswith(f"usage: vorn {command} ")
        assert run("help", command).stdout == result.stdout
