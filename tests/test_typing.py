"""The type stubs: installed where type checkers look, and sound under mypy --strict."""

import os
import pathlib
import subprocess
import sys
import sysconfig

import pytest

import vorn

ROOT = pathlib.Path(__file__).resolve().parent.parent
TESTS = ROOT / "tests"

pytest.importorskip("mypy", reason="mypy is not installed")


def mypy(tmp_path, *files, mypy_path=None):
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    if mypy_path:
        env["MYPYPATH"] = str(mypy_path)
    cmd = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--hide-error-context",
           "--cache-dir", str(tmp_path / "cache"), *map(str, files)]
    return subprocess.run(cmd, capture_output=True, text=True, cwd=tmp_path, env=env,
                          timeout=300)


def marked_lines(path):
    lines = path.read_text().splitlines()
    return [i for i, line in enumerate(lines, 1) if "# error:" in line]


def test_stubs_accept_typed_use_and_reject_misuse(tmp_path):
    # The stub from the source tree, so that the check does not depend on an installation.
    (tmp_path / "stubs").mkdir()
    (tmp_path / "stubs" / "vorn.pyi").write_text((ROOT / "vorn.pyi").read_text())
    good = mypy(tmp_path, TESTS / "typing_usage.py", mypy_path=tmp_path / "stubs")
    assert (good.returncode, good.stdout) == (0, "")
    bad = mypy(tmp_path, TESTS / "typing_misuse.py", mypy_path=tmp_path / "stubs")
    flagged = sorted({int(line.split(":")[1]) for line in bad.stdout.splitlines()})
    assert flagged == marked_lines(TESTS / "typing_misuse.py"), bad.stdout


def test_installed_stubs_are_found(tmp_path):
    site = pathlib.Path(sysconfig.get_paths()["platlib"])
    if pathlib.Path(vorn.__file__).parent != site:
        pytest.skip("vorn is imported from a build tree, not from an installation")
    source = (ROOT / "vorn.pyi").read_text()
    assert (site / "vorn.pyi").read_text() == source
    assert (site / "vorn-stubs" / "__init__.pyi").read_text() == source
    result = mypy(tmp_path, TESTS / "typing_usage.py")
    assert (result.returncode, result.stdout) == (0, "")
