"""The vorn command on what it converts: --exact, JSON Lines, narrowing told from faults, and
batches on several threads that print exactly what one thread prints."""

import json
import os
import re
import resource

import pytest

import vorn
from tests.support.command import SANITIZED, run, run_on_terminal, write

# (document, the first value that would not read back, in the order the image holds values)
INEXACT = [
    ('{"id": 4294967296, "n": 1}', "$.id: 4294967296 would read back as 0"),
    ('{"id": 2147483648}', "$.id: 2147483648 would read back as -2147483648"),
    ("[-2147483649]", "$[0]: -2147483649 would read back as 2147483647"),
    ("[9223372036854775808]", "$[0]: 9223372036854775808 would read back as 0"),
    ('{"f": 0.1}', "$.f: 0.1 would read back as 0.10000000149011612"),
    ("[16777217.0]", "$[0]: 16777217.0 would read back as 16777216.0"),
    ('{"z": [1e-50]}', "$.z[0]: 1e-50 would read back as 0.0"),
    ("[1, 2.5]", "$[0]: 1 would read back as 1.0"),
    ("[2.5, 3]", "$[1]: 3 would read back as 3.0"),
    ('{"b": 0.1, "a": {"x y": [0.5, 4294967297]}}',
     '$.a["x y"][1]: 4294967297 would read back as 4294967296.0'),
]
EXACT = ('{"i": 2147483647, "n": -2147483648, "f": [0.5, -0.0, 1.0e3], "s": "x", "b": [true], '
         '"z": null}')


@pytest.mark.parametrize("text, message", INEXACT)
def test_exact_refuses_each_kind_of_narrowing(tmp_path, text, message):
    src = write(tmp_path / "in.json", text)
    out = tmp_path / "in.vorn"
    refused = run("encode", "--exact", src)
    assert (refused.returncode, refused.stderr) == (1, f"vorn: {src}: {message}\n")
    assert not out.exists()
    stats = run("stats", "--exact", src)
    assert (stats.returncode, stats.stderr) == \
        (1, f"vorn: {src}: refused (writer): {message}\n")
    lines = run("encode", "--exact", "--lines", "-", "-o", out, input=f"[0]\n\n{text}\n")
    assert (lines.returncode, lines.stderr) == (1, f"vorn: standard input: line 3: {message}\n")
    plain = run("encode", src)
    assert (plain.returncode, plain.stderr) == (0, "")
    assert out.read_bytes() == vorn.dumps(text)


def test_exact_accepts_what_reads_back_the_same(tmp_path):
    src = write(tmp_path / "in.json", EXACT)
    assert run("encode", "--exact", src).returncode == 0
    assert vorn.load(str(tmp_path / "in.vorn")) == json.loads(EXACT)
    [report] = json.loads(run("stats", "--exact", "--json", src).stdout)
    assert report["round_trip"] == "exact"


@pytest.mark.parametrize("text, changes", [
    ("[1, 2.5]", [{"path": "$[0]", "before": "1", "after": "1.0"}]),
    ("[9223372036854775808, 1]", [{"path": "$[0]", "before": "9223372036854775808",
                                   "after": "9223372036854775808.0"},
                                  {"path": "$[1]", "before": "1", "after": "1.0"}]),
    ('{"a": [4294967295], "b": -0.1}', [{"path": "$.a[0]", "before": "4294967295", "after": "-1"},
                                        {"path": "$.b", "before": "-0.1",
                                         "after": "-0.10000000149011612"}]),
])
def test_stats_explains_changes_by_the_narrowing_rule(tmp_path, text, changes):
    """Every change the format makes is the narrowing rule's: none may be counted as a fault."""
    result = run("stats", "--json", write(tmp_path / "in.json", text))
    [report] = json.loads(result.stdout)
    assert (result.returncode, report["round_trip"], report["differs"]) == (0, "narrowed", 0)
    assert (report["changed"], report["examples"], report["differences"]) == \
        (len(changes), changes, [])


def test_stats_of_the_corpus_shows_no_fault():
    corpus = os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data", "corpus")
    if not os.path.isdir(corpus):
        pytest.skip("the benchmark corpus is not here")
    files = sorted(os.path.join(corpus, f) for f in os.listdir(corpus) if f.endswith(".json"))
    reports = json.loads(run("stats", "--json", "-q", *files).stdout)
    assert [r["file"] for r in reports if r["round_trip"] == "differs"] == []


# --- JSON Lines ---------------------------------------------------------------------------------

RECORDS = [{"id": i, "colour": ["red", "green"][i % 2], "tags": ["a", "b"][: i % 3]}
           for i in range(6)]
JSONL = "\n".join(json.dumps(r) for r in RECORDS[:3]) + "\n\n  \r\n" + \
    "\r\n".join(json.dumps(r) for r in RECORDS[3:]) + "\n"


def compact(value):
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def test_json_lines_round_trip_with_one_table_and_dictionary(tmp_path):
    src = write(tmp_path / "records.jsonl", JSONL)
    result = run("encode", "--lines", src)
    assert (result.returncode, result.stderr) == (0, "")
    image = tmp_path / "records.vorn"
    assert vorn.load(str(image)) == RECORDS
    decoded = run("decode", "--lines", image)
    assert decoded.stdout == "".join(compact(r) + "\n" for r in RECORDS)
    report = json.loads(run("inspect", "--json", image).stdout)
    # Strings are shared across lines: each is stored once, from its second occurrence on any
    # line (in order of those).
    assert report["dict"] == {"count": 4, "bytes": 10, "first_strings": ["red", "a", "green", "b"]}
    # Two array definitions (empty, of strings) and one object layout serve all lines.
    assert report["definitions"]["count"] == 9
    assert report["entries"]["count"] == len(RECORDS)
    per_line = sum(len(vorn.dumps(json.dumps(r))) for r in RECORDS)
    assert image.stat().st_size < per_line
    [stats] = json.loads(run("stats", "--lines", "--json", src).stdout)
    assert (stats["entries"], stats["round_trip"], stats["vorn_size"]) == \
        (6, "exact", image.stat().st_size)


@pytest.mark.parametrize("text, lines, whole", [
    ('{"a": [1, 2]}\n', ['{"a":[1,2]}'], '{"a":[1,2]}'),
    ("[3]", ["[3]"], "[3]"),
    ("\n \n", [], "null"),
    ('"x"\n"x"\n', ['"x"', '"x"'], '["x","x"]'),
])
def test_decode_lines_gives_one_line_per_entry(tmp_path, text, lines, whole):
    image = tmp_path / "in.vorn"
    assert run("encode", "--lines", "-", "-o", image, input=text).returncode == 0
    assert run("decode", "--lines", image).stdout == "".join(line + "\n" for line in lines)
    assert run("decode", image).stdout == whole + "\n"


@pytest.mark.parametrize("text, message", [
    ('{"a": 1}\n{"a": }\n', "line 2: expected value at line 1 column 7"),
    ('[1]\n\n[1, "a"]', 'line 3: $: Array item 1 is String but elem_type is Int32'),
    ('[1]\n[2] [3]\n', "line 2: trailing characters at line 1 column 5"),
    ("[1]\n[1e39]\n", "line 2: $[0]: Cannot represent float inf"),
])
def test_a_bad_line_fails_the_whole_file(tmp_path, text, message):
    src = write(tmp_path / "in.jsonl", text)
    result = run("encode", "--lines", src)
    assert (result.returncode, result.stderr) == (1, f"vorn: {src}: {message}\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.jsonl"]


# --- batches ------------------------------------------------------------------------------------

def batch(tmp_path):
    """Inputs of every outcome, several of each, in an order that no thread count can keep by
    chance: good, narrowed, bad JSON, refused, missing, large."""
    src = tmp_path / "src"
    src.mkdir()
    texts = ['{"a": [1, 2], "s": "x"}', "[0.1, 4294967296]", '{"a": }', '[1, "a"]', None,
             json.dumps([{"k": i, "v": str(i % 7)} for i in range(3000)])]
    paths = []
    for i in range(24):
        text = texts[i % len(texts)]
        path = src / f"f{i:02}.json"
        if text is not None:
            write(path, text)
        paths.append(path)
    return paths


def outcome(result, out_dir=None):
    files = {p.name: p.read_bytes() for p in sorted(out_dir.iterdir())} if out_dir else None
    return result.returncode, result.stdout, result.stderr, files


@pytest.mark.parametrize("command", ["encode", "decode", "stats"])
def test_jobs_print_exactly_what_one_job_prints(tmp_path, command):
    inputs = batch(tmp_path)
    if command == "decode":  # images, some cut short, and JSON or nothing where one is refused
        images = []
        for p in inputs:
            image = p.with_suffix(".vorn")
            if p.exists() and run("encode", p, "-o", image).returncode == 0:
                data = image.read_bytes()
                write(image, data[:-3] if int(p.stem[1:]) % 4 == 0 else data)
                images.append(image)
            else:
                images.append(p)
        inputs = images
    results = []
    for jobs in ("1", "2", "5"):
        out_dir = tmp_path / f"out{jobs}"
        extra = ["-o", f"{out_dir}/"] if command == "encode" else \
            ["--json"] if command == "stats" and jobs == "5" else []
        result = run(command, "-j", jobs, *inputs, *extra)
        results.append(outcome(result, out_dir if command == "encode" else None))
    assert results[0][0] == 1 and results[0][2].endswith(" files failed\n")
    assert results[1] == results[0]
    if command != "stats":
        assert results[2] == results[0]
    else:
        reports = json.loads(results[2][1])
        assert [r["file"] for r in reports] == [str(p) for p in inputs if p.exists()]
        assert results[2][2] == results[0][2]


def test_quiet_leaves_out_the_count_of_failed_files(tmp_path):
    inputs = batch(tmp_path)[:4]
    loud = run("encode", *inputs, "-o", f"{tmp_path}/a/")
    quiet = run("encode", "-q", *inputs, "-o", f"{tmp_path}/b/")
    assert loud.stderr == quiet.stderr + "vorn: 2 of 4 files failed\n"


@pytest.mark.skipif(SANITIZED, reason="a sanitized command cannot run under an address-space limit")
def test_memory_running_out_fails_that_file_alone(tmp_path):
    inputs = [write(tmp_path / "a.json", "[1]"), tmp_path / "huge.json",
              write(tmp_path / "b.json", "[2]")]
    with open(inputs[1], "wb") as f:  # 64 MiB that take no disk: read whole, then compiled
        f.truncate(64 << 20)

    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (200 << 20, 200 << 20))

    for jobs in ("1", "2"):
        result = run("encode", "-j", jobs, *inputs, "-o", f"{tmp_path}/out{jobs}/",
                     preexec_fn=limit)
        assert (result.returncode, result.stderr) == \
            (1, f"vorn: {inputs[1]}: out of memory\nvorn: 1 of 3 files failed\n")
        assert sorted(p.name for p in (tmp_path / f"out{jobs}").iterdir()) == ["a.vorn", "b.vorn"]


@pytest.mark.parametrize("columns", [50, 12])
def test_progress_fits_the_terminal(tmp_path, columns):
    deep = tmp_path / ("a-rather-long-directory-name-" * 3)
    deep.mkdir()
    inputs = [write(deep / f"file-{i}-é.json", "[1, 2, 3]") for i in range(30)]
    status, shown, _ = run_on_terminal(["encode", "-j", "1", *inputs, "-o", f"{tmp_path}/out/"],
                                       columns=columns)
    assert status == 0
    lines = [line for line in re.split(r"\r\x1b\[K|\r\n", shown) if line]
    assert lines and all(len(line) < columns for line in lines), lines
    assert lines[-1].startswith("[30/30 files]"[:columns - 1])
