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
from bench import records, scaling, targets

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
              "== small documents, emit", "== scaling:", "== scaling, peak memory:",
              "== ratios on the corpus:", "== targets:"]
    for title in titles:
        assert title in proc.stdout
    report = json.loads(figures.read_text())
    assert list(report["measures"]) == ["dumps", "loads", "emit", "size", "memory"]
    # Every target has its line; the large sizes are not run in quick mode.
    assert len(report["targets"]) == len(targets.TARGETS)
    for result in report["targets"]:
        assert result["verdict"] in ("pass", "fail", "incomplete")
        assert f"{result['verdict'].upper():10} {result['target']}" in proc.stdout
        if result["target"].startswith("at 256 MB"):
            assert result["missing"] == ["256 MB: size not run", "1 GB: size not run"]
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


def ok(**figures):
    return {"status": "ok", **figures}


def corpus_report(ssrjson):
    """A report of one corpus file with the dumps figures given, and nothing else."""
    results = {"vorn.dumps": ok(), "simdjson.parse": ok(ratio=0.7), "ssrjson.loads": ssrjson}
    return {"measures": {"dumps": [{"file": "a.json", "bytes": 10, "results": results}]}}


def verdict(report, text):
    from bench import targets

    [result] = [t for t in targets.evaluate(report) if t["target"] == text]
    return result


SSRJSON = "dumps ahead of ssrjson.loads on every corpus file"


@pytest.mark.parametrize("ssrjson, expected, short, missing", [
    (ok(ratio=1.2), "pass", [], []),
    (ok(ratio=1.0), "fail", ["a.json x1.00"], []),  # level is not ahead
    (ok(ratio=0.8), "fail", ["a.json x0.80"], []),
    ({"status": "not installed", "message": "ssrjson"}, "incomplete", [],
     ["a.json: ssrjson.loads not installed (ssrjson)"]),
])
def test_a_target_passes_only_when_every_figure_is_there_and_reaches_it(ssrjson, expected, short,
                                                                       missing):
    result = verdict(corpus_report(ssrjson), SSRJSON)
    assert (result["verdict"], result["short"], result["missing"]) == (expected, short, missing)


def test_a_file_vorn_refuses_leaves_its_targets_incomplete():
    report = corpus_report(ok(ratio=2.0))
    report["measures"]["dumps"].append({"file": "b.json", "bytes": 10, "results": {
        "vorn.dumps": {"status": "refused", "message": "too deep"}}})
    result = verdict(report, SSRJSON)
    assert (result["verdict"], result["missing"]) == (
        "incomplete", ["b.json: vorn.dumps refused (too deep)"])
    assert "incomplete" in verdict(report, "dumps >= 0.5x simdjson's parse on every corpus "
                                           "file")["verdict"]


@pytest.mark.parametrize("documents, expected", [
    ([(7, 0.5), (110, 0.95)], "pass"),  # the 7-byte document is not held to it
    ([(7, 0.5), (89, 0.5), (121, 0.5), (90, 0.9), (120, 1.3)], "pass"),
    ([(110, 0.85)], "fail"),
    ([(7, 0.5)], "incomplete"),  # no document of that size: nothing shows the target reached
    ([], "incomplete"),  # the part skipped
])
def test_short_document_loads_target_covers_90_to_120_bytes(documents, expected):
    entries = [{"document": f"doc {n}", "bytes": n, "results": {
        "vorn.loads": ok(), "msgspec.msgpack.decode": ok(ratio=ratio)}} for n, ratio in documents]
    report = {"measures": {}, "small": {"loads": entries}}
    text = "loads of 90-120-byte documents >= 0.9x msgspec.msgpack.decode"
    result = verdict(report, text)
    assert result["verdict"] == expected
    assert bool(result["missing"]) == (expected == "incomplete")


def scaling_entry(size, emit_mb_s, packb_mb_s, status="ok"):
    results = {"vorn.emit": ok(mb_s=emit_mb_s) if status == "ok" else
               {"status": status, "message": "needs about 12.0 GiB, 9.0 GiB available"},
               "ormsgpack.packb": ok(mb_s=packb_mb_s)}
    return {"size": scaling.size_label(size), "target": size, "bytes": size, "records": 1,
            "results": results}


def test_scaling_ratios_and_targets_at_the_large_sizes():
    entries = [scaling_entry(64 << 10, 500.0, 400.0), scaling_entry(256 << 20, 350.0, 300.0),
               scaling_entry(1 << 30, 0, 300.0, status="skipped")]
    scaling.add_ratios(entries)
    at_256 = entries[1]["results"]
    assert at_256["vorn.emit"]["own_ratio"] == pytest.approx(0.7)
    assert at_256["ormsgpack.packb"]["ratio"] == pytest.approx(350 / 300)
    assert "ratio" not in entries[2]["results"]["ormsgpack.packb"]
    report = {"measures": {}, "scaling": entries}
    own = verdict(report, "at 256 MB and 1 GB vorn.emit >= 0.6x its own 64 KB throughput")
    assert (own["verdict"], own["lowest"], own["missing"]) == (
        "incomplete", pytest.approx(0.7),
        ["1 GB: vorn.emit skipped (needs about 12.0 GiB, 9.0 GiB available)"])
    entries[1]["results"]["ormsgpack.packb"]["ratio"] = 0.9
    packb = verdict(report, "at 256 MB and 1 GB emit >= 1.0x ormsgpack.packb")
    assert (packb["verdict"], packb["short"]) == ("fail", ["256 MB x0.90"])


@pytest.mark.parametrize("needs, available, message", [
    (None, 64 << 20, "needs about"),  # the estimate alone says no: nothing runs
    (0, 64 << 20, "ran out of the 0.06 GiB the machine had available"),  # the cap stops it
])
def test_a_scaling_point_short_of_memory_is_skipped(monkeypatch, tmp_path, needs, available,
                                                    message):
    text = tmp_path / "records.json"
    count = records.write_records_file(text, 8 << 20)
    if needs is not None:
        monkeypatch.setitem(scaling.NEEDS, "vorn.emit", needs)
        monkeypatch.setattr(scaling, "BASE_NEED", 0)
    monkeypatch.setattr(scaling, "available_memory", lambda: available)
    monkeypatch.setattr(scaling, "CAP_FROM", 0)
    monkeypatch.setattr(scaling, "CAP_ALLOWANCE", 0)
    settings = types.SimpleNamespace(rounds=1, batch_seconds=0.001, scale_budget=0.1)
    result = scaling.run_worker("vorn.emit", text, tmp_path / "records.vorn", count,
                                text.stat().st_size, settings)
    assert result["status"] == "skipped" and message in result["message"], result


def test_the_default_corpus_is_the_named_files(tmp_path):
    from bench import bench as driver

    for name in ("canada", "twitter", "marine_ik"):
        (tmp_path / f"{name}.json").write_text("[1]", encoding="utf-8")
    notes = []
    args = driver.parse_args(["--corpus", str(tmp_path)])
    chosen = [p.name for p in driver.select_files(args, notes) if p.parent == tmp_path]
    assert chosen == ["canada.json", "twitter.json"]
    absent = [n for n in driver.CORPUS_FILES if n not in ("canada", "twitter")]
    assert notes == [f"corpus files not found, skipped: {', '.join(absent)}"]
