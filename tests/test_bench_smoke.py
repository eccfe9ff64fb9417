"""The benchmark runs end to end on small files, with or without the peers installed."""

import json
import pathlib
import subprocess
import sys

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench" / "bench.py"

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
    figures = tmp_path / "figures.json"

    proc = subprocess.run(
        [sys.executable, str(BENCH), "--quick", "--files", str(small), str(deep),
         "--json", str(figures)],
        capture_output=True, text=True, timeout=300,
    )

    assert proc.returncode == 0, proc.stdout + proc.stderr
    for title in ("== dumps:", "== loads:", "== emit:", "== size:", "== memory:"):
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
