"""examples/dask_convert.py on a small generated folder, with a LocalCluster of two worker
processes: every image it writes must read back as the model of the format says, and what the
format refuses must be reported, not written."""

import json
import os
import pickle
import runpy
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest

import vorn
from tests.support.model import expected_loads, identical

pytest.importorskip("dask.bag")
pytest.importorskip("distributed")

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "dask_convert.py"

DOCUMENTS = {
    "records": [{"id": i, "name": f"n{i % 3}", "ok": i % 2 == 0, "score": i / 4}
                for i in range(40)],
    "nested": {"a": {"b": {"c": [[1, 2], [3]]}}, "s": "é€😀", "empty": {}, "none": None},
    "scalar": "just a string",
    "narrowed": {"ratio": 0.1, "wide": 4294967295, "mixed": [1, 2.5], "big": 2**70},
    "refused": [1, "a"],
}
NOT_JSON = {"broken": "{oops", "latin1": "caf\xe9"}


def test_functions_pickle_by_reference():
    for name in vorn.__all__:
        function = getattr(vorn, name)
        assert pickle.loads(pickle.dumps(function)) is function


def test_example_converts_a_folder(tmp_path):
    source, out = tmp_path / "json", tmp_path / "vorn"
    source.mkdir()
    texts = {name: json.dumps(doc) for name, doc in DOCUMENTS.items()}
    for name, text in texts.items():
        (source / f"{name}.json").write_text(text, encoding="utf-8")
    (source / "broken.json").write_text(NOT_JSON["broken"], encoding="utf-8")
    (source / "latin1.json").write_bytes(NOT_JSON["latin1"].encode("latin-1"))

    run = subprocess.run([sys.executable, str(EXAMPLE), str(source), str(out), "--workers", "2"],
                         capture_output=True, text=True, timeout=300, env=dict(os.environ))
    assert run.returncode == 0, run.stdout + run.stderr
    outcomes = {line.split()[0]: line.split()[3] for line in run.stdout.splitlines()[:-1]}
    assert outcomes == {"broken.json": "refused", "latin1.json": "refused",
                        "nested.json": "exact", "narrowed.json": "narrowed",
                        "records.json": "exact", "refused.json": "refused",
                        "scalar.json": "exact"}
    assert run.stdout.splitlines()[-1].startswith(
        "7 files: 3 exact, 1 narrowed, 3 refused, 0 MISMATCH")

    written = sorted(p.stem for p in out.iterdir())
    assert written == ["narrowed", "nested", "records", "scalar"]
    for name in written:
        assert identical(vorn.load(str(out / f"{name}.vorn")), expected_loads(texts[name]))


@pytest.fixture(scope="module")
def example():
    # Run as a module of its own name, so that its command-line entry point does not start.
    return SimpleNamespace(**runpy.run_path(str(EXAMPLE), run_name="dask_convert"))


@pytest.mark.parametrize(
    "original, loaded, expected",
    [
        (4294967296, 0, True),
        (4294967295, -1, True),
        (1, 2, False),
        (1, 1.0, False),
        (0.1, 0.10000000149011612, True),
        (0.1, 0.1, False),
        (2**70, float(2**70), True),
        (2**63, 0, True),
        ([16777217, 0.5], [16777216.0, 0.5], True),
        ([1, 2.5], [1.0, 2.5], True),
        ([1, 2**63], [1.0, 9.223372036854776e18], True),
        ([2**63, 0.5], [9.223372036854776e18, 0.5], True),
        ([1, 2], [1.0, 2.0], False),
        ({"a": 1}, {"b": 1}, False),
        ({"a": True}, {"a": 1}, False),
        (None, "None", False),
    ],
)
def test_the_check_allows_only_narrowing(example, original, loaded, expected):
    assert example.matches(original, loaded) is expected
