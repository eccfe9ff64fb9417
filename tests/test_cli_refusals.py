"""The command's refusals: the place of the refused value, the rule that refuses it in stats, the
hint for JSON Lines read as one text, the -o rule for several inputs, stats from a pipe."""

import json
import os
import pty
import re
import struct
import subprocess

import pytest
from hypothesis import given, settings, strategies as st

from tests.support.command import run, vorn_command, write

LONG = 16_777_216  # one byte past the longest string the format holds
TOO_LONG = "String exceeds maximum inline length (16 777 215 bytes)"


def wide(n, prefix="k"):
    return {f"{prefix}{i}": 1 for i in range(n)}


# (id, document text, rule, the place and message after the file name). One row per kind of
# refusal that is about one value, each inside containers, in the compiler's order.
REFUSED = [
    ("mixed", json.dumps({"name": "x", "exports": {".": [{"a": 1}, "s"]}}), "writer",
     '$.exports["."]: Array item 1 is String but elem_type is Object'),
    ("mixed-quoted-key", '{"a\\"b": {"é ü": [null, 1]}}', "writer",
     '$["a\\"b"]["é ü"]: Array item 0 is Null but elem_type is Int32'),
    ("mixed-key-order", '{"b": [1, "x"], "a": [true, 1]}', "writer",
     "$.a: Array item 1 is Int32 but elem_type is Bool"),
    ("mixed-inner-first", '{"a": [[1, "x"], "y"]}', "writer",
     "$.a[0]: Array item 1 is String but elem_type is Int32"),
    ("mixed-last-duplicate", '{"a": [1], "a": [2, "x"]}', "writer",
     "$.a: Array item 1 is String but elem_type is Int32"),
    ("mixed-long-array", json.dumps({"p": [1.5] + [2] * 70000 + [None]}), "writer",
     "$.p: Array item 70001 is Null but elem_type is Float32"),
    ("items", json.dumps({"features": [{"geometry": {"coordinates": [0, 1]}}] * 3
                          + [{"geometry": {"coordinates": [0] * 70000}}]}), "format",
     "$.features[3].geometry.coordinates: Array has 70000 items (max 65535)"),
    ("fields-format", json.dumps({"plugins": wide(65536)}), "format",
     "$.plugins: Object #6 has 65536 fields (max 65535)"),
    ("fields-reader", json.dumps({"a": {"b c": wide(300)}}), "reader",
     '$.a["b c"]: Object #6 has 300 fields (max 256)'),
    ("field-name", json.dumps({"x": [{"k" * 256: 1}]}), "format", "$.x[0]: Field name too long"),
    ("string", json.dumps({"n": 1, "s": ["ok", "a" * LONG]}), "format", f"$.s[1]: {TOO_LONG}"),
    # A string met twice is a dict string, which the format refuses before any inline one.
    ("dict-string", json.dumps({"a": "a" * LONG, "b": ["b" * LONG, "b" * LONG]}), "format",
     f"$.b[0]: {TOO_LONG}"),
    ("float", json.dumps({"x": [1.5, 1e39]}), "reader", "$.x[1]: Cannot represent float inf"),
    ("float-negative", '{"y": {"z": -1e39}}', "reader", "$.y.z: Cannot represent float -inf"),
    ("definitions-reader", json.dumps({"a": [{f"k{i}": 1} for i in range(2043)]}), "reader",
     "$.a[2042]: Definition count 2051 exceeds max 2048"),
    ("definitions-format", json.dumps([{f"k{i}": 1} for i in range(65530)]), "format",
     "$[65529]: Too many definitions (65537), max 65535"),
    ("json", '{"a": [1, 2', "json", "EOF while parsing a list at line 1 column 11"),
]


@pytest.mark.parametrize("text, rule, message", [r[1:] for r in REFUSED],
                         ids=[r[0] for r in REFUSED])
def test_a_refusal_names_the_refused_value(tmp_path, text, rule, message):
    src = write(tmp_path / "in.json", text)
    encoded = run("encode", src, timeout=120)
    assert (encoded.returncode, encoded.stderr) == (1, f"vorn: {src}: {message}\n")
    assert not (tmp_path / "in.vorn").exists()
    stats = run("stats", "--json", src, timeout=120)
    assert (stats.returncode, stats.stderr) == (1, f"vorn: {src}: refused ({rule}): {message}\n")
    [report] = json.loads(stats.stdout)
    assert (report["round_trip"], report["rule"], report["error"]) == ("refused", rule, message)


@pytest.mark.parametrize("text, shown", [
    ('[1, "a"]', "(writer) $: Array item 1 is String but elem_type is Int32"),
    ('{"a": [1.0, 1e39]}', "(reader) $.a[1]: Cannot represent float inf"),
    ("[1,", "(json) EOF while parsing a value at line 1 column 3"),
])
def test_stats_text_names_the_rule(tmp_path, text, shown):
    src = write(tmp_path / "in.json", text)
    result = run("stats", src, timeout=60)
    assert result.returncode == 1
    assert result.stdout.endswith(f"  refused         {shown}\n")


# JSON Lines: the line, then the place within that line, whether the refusal is the line's own
# or comes once every line is walked.
LINES = [
    ('[1]\n\n{"a": [1, "x"]}\n', "writer",
     "line 3: $.a: Array item 1 is String but elem_type is Int32"),
    ('[1]\n{"b": {"c": [2.5, 1e39]}}\n[1e40]\n', "reader",
     "line 2: $.b.c[1]: Cannot represent float inf"),
    ('{"c": [1]}\n{"c": [' + ", ".join(["0"] * 70000) + "]}\n", "format",
     "line 2: $.c: Array has 70000 items (max 65535)"),
    ("[1]\n" + json.dumps({"w": wide(300)}) + "\n", "reader",
     "line 2: $.w: Object #7 has 300 fields (max 256)"),
    ("[1]\n{\"a\": }\n", "json", "line 2: expected value at line 1 column 7"),
    ("1\n" * 1_048_577, "writer", "JSON Lines text has 1048577 lines (max 1048576)"),
]


@pytest.mark.parametrize("text, rule, message", LINES,
                         ids=["mixed", "float", "items", "fields", "json", "lines"])
def test_json_lines_refusals_name_the_line_then_the_place(tmp_path, text, rule, message):
    src = write(tmp_path / "in.jsonl", text)
    encoded = run("encode", "--lines", src, timeout=120)
    assert (encoded.returncode, encoded.stderr) == (1, f"vorn: {src}: {message}\n")
    stats = run("stats", "--lines", "--json", src, timeout=120)
    assert stats.stderr == f"vorn: {src}: refused ({rule}): {message}\n"
    assert json.loads(stats.stdout)[0]["error"] == message


# --- the place against a small model of the compiler's order ---------------------------------

def kind(v):
    if v is None or isinstance(v, bool):
        return "Null" if v is None else "Bool"
    if isinstance(v, int):
        return "UInt32" if v >= 2**63 else "Int32"
    return {float: "Float32", str: "String", list: "Array", dict: "Object"}[type(v)]


NUMBERS = {"Int32", "UInt32", "Float32"}


def step(key):
    if isinstance(key, int):
        return f"[{key}]"
    if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", key):
        return f".{key}"
    return "[" + json.dumps(key, ensure_ascii=False) + "]"


def children(v):
    if isinstance(v, list):
        return list(enumerate(v))
    if isinstance(v, dict):
        return [(k, v[k]) for k in sorted(v, key=lambda k: k.encode())]
    return []


def first_mixed_array(v, path="$"):
    """The refusal of the first array, in post-order with members in key order, whose items
    cannot share one element kind."""
    for key, child in children(v):
        if found := first_mixed_array(child, path + step(key)):
            return found
    if isinstance(v, list):
        elem = next((kind(i) for i in v if i is not None), "Null")
        for i, item in enumerate(v):
            if kind(item) != elem and not {kind(item), elem} <= NUMBERS:
                return f"{path}: Array item {i} is {kind(item)} but elem_type is {elem}"
    return None


def first_infinite_float(v, path="$"):
    """The first float, in pre-order, that single precision cannot hold."""
    if isinstance(v, float):
        try:
            struct.pack("<f", v)
        except OverflowError:
            return f"{path}: Cannot represent float {'inf' if v > 0 else '-inf'}"
    for key, child in children(v):
        if found := first_infinite_float(child, path + step(key)):
            return found
    return None


keys = st.sampled_from(["a", "b_1", ".", 'q"', "é", "a b", ""])
scalars = st.none() | st.booleans() | st.sampled_from([0, -3, 2**63, 1.5, 1e39, -1e39, "s"])
documents = st.recursive(scalars, lambda c: st.lists(c, max_size=4)
                         | st.dictionaries(keys, c, max_size=4), max_leaves=12)


@settings(max_examples=25, deadline=None)
@given(st.lists(documents, min_size=1, max_size=12))
def test_the_place_is_that_of_the_first_refused_value(tmp_path_factory, docs):
    base = tmp_path_factory.mktemp("docs")
    paths = [write(base / f"{i}.json", json.dumps(d)) for i, d in enumerate(docs)]
    result = run("encode", "-q", "-j", "1", *paths, "-o", f"{base}/out/", timeout=120)
    expected = ""
    for path, doc in zip(paths, docs):
        if message := first_mixed_array(doc) or first_infinite_float(doc):
            expected += f"vorn: {path}: {message}\n"
    assert result.stderr == expected


def test_an_exactness_refusal_names_its_place_once(tmp_path):
    src = write(tmp_path / "in.json", '{"a": {"b": [0.1]}}')
    result = run("encode", "--exact", src, timeout=60)
    assert result.stderr == f"vorn: {src}: $.a.b[0]: 0.1 would read back as 0.10000000149011612\n"


# --- JSON Lines read as one text ------------------------------------------------------------

HINT = "; use --lines for JSON Lines"


@pytest.mark.parametrize("name, text, hint", [
    ("events.jsonl", '{"a": 1}\n{"a": 2}\n', True),
    ("events.ndjson", '[1]\r\n\r\n[2]\r\n', True),
    ("events.json", '{"a": 1}\n{"a": 2}\n', False),  # not named as JSON Lines
    ("events.jsonl", '{"a": }\n{"a": 2}\n', False),  # its first line is no JSON text either
])
@pytest.mark.parametrize("command", ["encode", "stats"])
def test_json_lines_without_lines_get_a_hint(tmp_path, command, name, text, hint):
    src = write(tmp_path / name, text)
    result = run(command, src, timeout=60)
    assert result.returncode == 1
    assert result.stderr.endswith((HINT if hint else "") + "\n")
    assert result.stderr.count(HINT) == (1 if hint else 0)
    if hint:
        assert run(command, "--lines", src, timeout=60).returncode == 0


# --- -o with several inputs -----------------------------------------------------------------

@pytest.fixture
def sources(tmp_path):
    """Two JSON files and their images."""
    texts = {"a": "[1]", "b": '{"x": "y"}'}
    paths = []
    for name, text in texts.items():
        paths.append(write(tmp_path / f"{name}.json", text))
        assert run("encode", paths[-1], timeout=60).returncode == 0
    return paths


@pytest.mark.parametrize("command, ending", [("encode", ".json"), ("decode", ".vorn")])
@pytest.mark.parametrize("target", ["missing", "file"])
def test_several_inputs_refuse_an_output_that_is_no_directory(tmp_path, sources, command,
                                                              ending, target):
    out = tmp_path / target
    if target == "file":
        write(out, "kept")
    inputs = [p.with_suffix(ending) for p in sources]
    result = run(command, *inputs, "-o", out, timeout=60)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == (f"vorn: {command}: several inputs need -o DIR/, a directory: '{out}'"
                             f" is not one (end the name with '/' to create it) "
                             f"(see 'vorn {command} --help')\n")
    assert out.read_text() == "kept" if target == "file" else not out.exists()


@pytest.mark.parametrize("command, ending, out_ending", [("encode", ".json", ".vorn"),
                                                        ("decode", ".vorn", ".json")])
@pytest.mark.parametrize("how", ["slash", "existing"])
def test_several_inputs_go_into_a_directory(tmp_path, sources, command, ending, out_ending, how):
    out = tmp_path / "out"
    if how == "existing":
        out.mkdir()
    inputs = [p.with_suffix(ending) for p in sources]
    result = run(command, *inputs, "-o", f"{out}/" if how == "slash" else out, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    assert sorted(p.name for p in out.iterdir()) == [f"a{out_ending}", f"b{out_ending}"]


# --- stats from standard input --------------------------------------------------------------

def test_stats_reads_a_pipe():
    text = '{"a": [1, 2], "s": "x"}'
    result = run("stats", "--json", input=text, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    [report] = json.loads(result.stdout)
    assert (report["file"], report["round_trip"], report["json_size"]) == \
        ("standard input", "exact", len(text))
    refused = run("stats", input='[1, "a"]', timeout=60)
    assert refused.stderr == ("vorn: standard input: refused (writer): "
                              "$: Array item 1 is String but elem_type is Int32\n")


def test_stats_without_input_on_a_terminal_is_a_usage_error():
    master, slave = pty.openpty()
    try:
        result = subprocess.run([vorn_command(), "stats"], stdin=slave, capture_output=True,
                                timeout=60)
    finally:
        os.close(slave)
        os.close(master)
    assert (result.returncode, result.stdout, result.stderr) == \
        (2, b"", b"vorn: stats: no input file given (see 'vorn stats --help')\n")
