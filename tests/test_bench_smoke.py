"""The benchmark runs end to end on small files, with or without the peers installed, and its
generated documents are what its checks take them to be."""

import importlib.util
import json
import pathlib
import subprocess
import sys
import types

import pytest

import vorn
from bench import records, scaling

# The benchmark runs as modules of the bench package, from the repository root.
ROOT = pathlib.Path(__file__).resolve().parent.parent

SMALL = {
    "name": "small",
    "tags": ["x", "y", "x"],
    "counts": [1, -2, 300000],
    "ids": [1, 2**63],  # an Int32 and a UInt32 item: the array holds Float32
    "wide": [2**40 + 9, 0.5],  # dumps keeps the whole integer, emit its low 32 bits
    "ratio": 0.5,
    "flags": [True, False],
    "missing": None,
    "nested": {"items": [{"id": 1, "label": "x"}, {"id": 2, "label": None}]},
}


def test_quick_run_prints_every_table(tmp_path):
    small = tmp_path / "small.json"
    small.write_text(json.dumps(SMALL), encoding="utf-8")
    deep = tmp_path / "deep.json"  # deeper than the JSON reader accepts
    deep.write_text("[" * 200 + "]" * 200, encoding="utf-8")
    figures, charts, markdown = tmp_path / "figures.json", tmp_path / "charts", tmp_path / "r.md"

    proc = subprocess.run(
        [sys.executable, "-m", "bench.bench", "--quick", "--files", str(small), str(deep),
         "--sizes", "64K", "--json", str(figures), "--charts", str(charts),
         "--markdown", str(markdown)],
        capture_output=True, text=True, timeout=300, cwd=ROOT,
    )

    assert proc.returncode == 0, proc.stdout + proc.stderr
    titles = ["== dumps:", "== loads:", "== emit:", "== size:", "== memory:",
              "== small documents, dumps", "== small documents, loads",
              "== small documents, emit", "== scaling:"]
    for title in titles:
        assert title in proc.stdout
    report = json.loads(figures.read_text())
    assert list(report["measures"]) == ["dumps", "loads", "emit", "size", "memory"]
    for entries in report["measures"].values():
        assert [e["file"] for e in entries] == ["small.json", "deep.json"]
    for measure in ("dumps", "loads", "emit"):
        assert "check" not in report["measures"][measure][0]["results"][f"vorn.{measure}"]
    small_dumps, deep_dumps = (e["results"] for e in report["measures"]["dumps"])
    assert small_dumps["json.loads"]["status"] == "ok"
    assert small_dumps["json.loads"]["mb_s"] > 0
    assert small_dumps["vorn.dumps"]["status"] in ("ok", "not implemented")
    # A refusal skips the measure for that file and names the file, the function and the error.
    if deep_dumps["vorn.dumps"]["status"] == "refused":
        assert list(deep_dumps) == ["vorn.dumps"]
        message = deep_dumps["vorn.dumps"]["message"]
        assert f"dumps: vorn.dumps refused: {message} [deep.json]" in proc.stdout

    # Small documents: every document for every function, each vorn result checked and right.
    assert list(report["small"]) == ["dumps", "loads", "emit"]
    for measure, entries in report["small"].items():
        assert [e["document"] for e in entries] == [name for name, _ in records.SMALL_DOCS]
        for e in entries:
            lead = e["results"][f"vorn.{measure}"]
            assert lead["status"] == "ok" and "check" not in lead and lead["ns"] > 0
            for rec in e["results"].values():
                assert rec["status"] in ("ok", "not installed")
                assert rec["status"] != "ok" or rec is lead or rec["ratio"] > 0

    # Scaling: one size, measured in fresh processes, each result checked and right.
    [entry] = report["scaling"]
    assert (entry["size"], entry["records"]) == ("64 KB", records.records_for(64 * 1024))
    for op in scaling.OPS:
        rec = entry["results"][op]
        if not op.startswith("vorn") and rec["status"] == "not installed":
            continue
        assert rec["status"] == "ok" and "check" not in rec, rec
        assert rec["mb_s"] > 0 and rec["rounds"] >= 1

    text = markdown.read_text()
    assert "| document | bytes | vorn.dumps ns |" in text
    if importlib.util.find_spec("matplotlib") is None:
        assert "matplotlib not installed" in proc.stdout
        return
    names = ["ratios_dumps.png", "ratios_loads.png", "ratios_emit.png", "scaling.png"]
    assert sorted(p.name for p in charts.iterdir()) == sorted(names)
    for name in names:
        assert (charts / name).read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
        assert f"]({charts / name})" in text


@pytest.mark.parametrize("max_items, max_entries, count", [
    (65535, 128, 1),  # one array
    (3, 4, 4),  # two arrays under an object
    (3, 4, 12),  # full arrays, a full object
    (3, 4, 13),  # one more record: objects nested two deep
    (2, 2, 23),  # deeper still, with short last parts
])
def test_records_text_layout(monkeypatch, max_items, max_entries, count):
    monkeypatch.setattr(records, "MAX_ITEMS", max_items)
    monkeypatch.setattr(records, "MAX_ENTRIES", max_entries)
    root = json.loads(records.records_text(count))

    def containers(v):
        yield v
        if isinstance(v, dict):
            for x in v.values():
                yield from containers(x)

    for v in containers(root):
        assert len(v) <= (max_items if isinstance(v, list) else max_entries)
    assert records.check_records(root, count, limit=count) is None
    # The check finds a missing record, one out of place, and a changed one.
    arrays = [v for v in containers(root) if isinstance(v, list)]
    if count > 1:
        arrays[-1][-1], arrays[0][0] = arrays[0][0], arrays[-1][-1]
        assert records.check_records(root, count, limit=count) == "record 0 differs"
        arrays[-1][-1], arrays[0][0] = arrays[0][0], arrays[-1][-1]
    arrays[-1][-1]["score"] += 0.25
    assert records.check_records(root, count, limit=count) == f"record {count - 1} differs"
    arrays[-1].pop()
    assert records.check_records(root, count) == f"{count - 1} records, expected {count}"


@pytest.mark.parametrize("count, parts, index, where", [
    (65535, [65535], 65534, ([], 65534)),  # one array
    (65536, [32768, 32768], 65535, (["p001"], 32767)),
    (128 * 65535, [65535] * 128, 128 * 65535 - 1, (["p127"], 65534)),
    # Past 128 full arrays, parts of more than 65535 items nest again.
    (128 * 65535 + 1, [65536] * 127 + [65409], 65535, (["p000", "p001"], 32767)),
    (128 * 65535 + 1, [65536] * 127 + [65409], 128 * 65535, (["p127"], 65408)),
])
def test_records_split_into_parts_readers_accept(count, parts, index, where):
    if count > records.MAX_ITEMS:
        assert records.split(count) == parts
    assert records.locate(count, index) == where


@pytest.mark.parametrize("target", [64 * 1024, 1 << 20])
def test_records_text_has_about_the_size_asked(target):
    text = records.records_text(records.records_for(target))
    assert abs(len(text) - target) < target / 100
    assert text.isascii()


@pytest.mark.parametrize("name, text", list(records.SMALL_DOCS) + [
    ("records", records.records_text(300))])
def test_generated_documents_survive_an_image_unchanged(name, text):
    # The scaling checks compare loads' results with the records themselves.
    assert vorn.loads(vorn.dumps(text)) == json.loads(text)


@pytest.mark.parametrize("text, size", [
    ("64K", 65536), ("1M", 1 << 20), ("16mb", 16 << 20), ("1.5G", 3 << 29), ("4096", 4096),
    ("64KiB", 65536),
])
def test_sizes_are_read_in_binary_multiples(text, size):
    assert scaling.parse_size(text) == size


@pytest.mark.parametrize("text", ["", "1T", "K", "-1M", "10"])
def test_sizes_that_are_not_sizes_are_refused(text):
    with pytest.raises(ValueError):
        scaling.parse_size(text)


@pytest.fixture(scope="module")
def bench():
    """The benchmark's parts that decide its verdicts (imported with the peers they find)."""
    from bench import peers, report, timing

    return types.SimpleNamespace(Candidate=peers.Candidate, first_call=timing.first_call,
                                 count_failures=report.count_failures,
                                 collect_notes=report.collect_notes)


def raising(exc):
    def call():
        raise exc

    return call


@pytest.mark.parametrize("exc, is_vorn, status", [
    (ValueError("Failed to parse VORN: x"), True, "refused"),
    (NotImplementedError("later"), True, "not implemented"),
    (TypeError("bad"), True, "error"),
    (ValueError("bad"), False, "error"),  # only vorn refuses; a peer failing is an error
])
def test_a_failing_first_call_is_classified(bench, exc, is_vorn, status):
    cand = bench.Candidate("x", (), lambda: raising(exc), lambda result: None, is_vorn)
    record, fn = bench.first_call(cand)
    assert (record["status"], fn) == (status, None)


def test_failures_in_every_table_set_the_exit_status(bench):
    fail = {"status": "ok", "check": {"level": "fail", "message": "wrong"}}
    report = {
        "notes": [], "measures": {"dumps": []},
        "small": {"loads": [{"document": "tiny", "results": {"vorn.loads": fail,
                                                             "ormsgpack.unpackb": fail}}]},
        "scaling": [{"size": "1 MB", "results": {"vorn.emit": {"status": "error",
                                                               "message": "boom"},
                                                 "orjson.loads": {"status": "skipped",
                                                                  "message": "no memory"}}}],
    }
    assert bench.count_failures(report) == 2  # a peer's failed check is a note, not a failure
    assert bench.collect_notes(report) == [
        "small loads: vorn.loads CHECK FAILED: wrong [tiny]",
        "small loads: ormsgpack.unpackb CHECK FAILED: wrong [tiny]",
        "scaling: vorn.emit error: boom [1 MB]",
        "scaling: orjson.loads skipped: no memory [1 MB]",
    ]


def test_the_scaling_worker_reports_a_refusal(tmp_path):
    text = tmp_path / "long.json"
    text.write_text("[" + "1," * 65535 + "1]", encoding="ascii")  # one item too many
    proc = subprocess.run(
        [sys.executable, "-m", "bench.scaling", "worker", "vorn.dumps", str(text),
         str(tmp_path / "long.vorn"), "1", "1", "0.001", "0.1"],
        capture_output=True, text=True, timeout=120, cwd=ROOT)
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout)
    assert result["status"] == "refused" and "65536" in result["message"]
    assert not (tmp_path / "long.vorn").exists()
