"""The built wheel, installed into an environment of its own (`make wheel-check` makes it and
names it in VORN_WHEEL_ENV; skipped otherwise): tagged for this interpreter and a manylinux
platform, its module and its command working there with no file of this tree in reach, and
neither binary needing a library that a manylinux machine may lack."""

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from tests.support.model import expected_emit_loads, expected_loads, identical

ROOT = Path(__file__).resolve().parent.parent
CATALOG = ROOT / "examples" / "catalog.json"
ENV = os.environ.get("VORN_WHEEL_ENV")
if not ENV:
    pytest.skip("no wheel environment (make wheel-check)", allow_module_level=True)

# What every manylinux machine provides; anything else would have to travel in the wheel.
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libgcc_s.so.1", "libpthread.so.0", "libdl.so.2",
                    "ld-linux-x86-64.so.2", "linux-vdso.so.1"}


def declared_version():
    return re.search(r'^version = "([^"]+)"$', (ROOT / "pyproject.toml").read_text(), re.M)[1]


@pytest.fixture(scope="module")
def env():
    return Path(ENV)


@pytest.fixture(scope="module")
def site_packages(env):
    found = list(env.glob("lib/python3.*/site-packages"))
    assert len(found) == 1, found
    return found[0]


def run(args, cwd, **kwargs):
    """Runs a program of the environment with nothing of this tree or of the caller's
    environment in reach: an empty working directory and a bare PATH."""
    return subprocess.run([str(a) for a in args], cwd=cwd, env={"PATH": "/usr/bin:/bin"},
                          capture_output=True, text=True, timeout=120, **kwargs)


def test_wheel_is_tagged_for_this_interpreter_and_a_manylinux_platform(site_packages):
    wheel_file = site_packages / f"vorn-{declared_version()}.dist-info" / "WHEEL"
    tags = re.findall(r"^Tag: (\S+)$", wheel_file.read_text(), re.M)
    cp = "cp%d%d" % sys.version_info[:2]
    assert tags and all(re.fullmatch(rf"{cp}-{cp}-manylinux_2_\d+_x86_64", t) for t in tags), tags
    assert "Root-Is-Purelib: false" in wheel_file.read_text()
    # libstdc++ is linked in: auditwheel had nothing to copy into the wheel.
    assert not list(site_packages.glob("vorn.libs")), "the wheel carries copies of libraries"


def test_module_round_trips_in_the_environment(env, site_packages, tmp_path):
    # What loads gives back travels as JSON text, which keeps key order and every double.
    script = f"""
import importlib.metadata, json, vorn
text = open({str(CATALOG)!r}, encoding="utf-8").read()
print(json.dumps({{
    "file": vorn.__file__,
    "version": importlib.metadata.version("vorn"),
    "dumps": vorn.loads(vorn.dumps(text)),
    "emit": vorn.loads(vorn.emit(json.loads(text))),
}}))
"""
    report = json.loads(run([env / "bin" / "python", "-I", "-c", script], tmp_path,
                            check=True).stdout)
    assert Path(report["file"]).parent == site_packages
    assert report["version"] == declared_version()
    text = CATALOG.read_text(encoding="utf-8")
    assert identical(report["dumps"], expected_loads(text))
    assert identical(report["emit"], expected_emit_loads(json.loads(text)))


@pytest.mark.parametrize("args, expected", [
    (["--help"], "usage: vorn COMMAND"),
    (["--version"], declared_version()),
    (["help", "decode"], "decode"),
])
def test_command_answers(env, tmp_path, args, expected):
    done = run([env / "bin" / "vorn", *args], tmp_path)
    assert done.returncode == 0, done.stderr
    assert expected in done.stdout


def test_command_round_trips_the_example(env, tmp_path):
    vorn = env / "bin" / "vorn"
    image, decoded = tmp_path / "catalog.vorn", tmp_path / "catalog.json"
    for args in (["encode", CATALOG, "-o", image], ["decode", image, "-o", decoded],
                 ["inspect", image]):
        done = run([vorn, *args], tmp_path)
        assert done.returncode == 0, (args, done.stderr)
    expected = expected_loads(CATALOG.read_text(encoding="utf-8"))
    assert identical(json.loads(decoded.read_text(encoding="utf-8")), expected)
    script = f"import json, vorn; print(json.dumps(vorn.load({str(image)!r})))"
    done = run([env / "bin" / "python", "-I", "-c", script], tmp_path, check=True)
    assert identical(json.loads(done.stdout), expected)


@pytest.mark.parametrize("binary", ["module", "command"])
def test_binary_needs_only_system_libraries(env, site_packages, tmp_path, binary):
    if shutil.which("ldd") is None:
        pytest.skip("no ldd")
    if binary == "command":
        path = env / "bin" / "vorn"
    else:
        path = next(site_packages.glob("vorn.cpython-*.so"))
    done = run(["ldd", path], tmp_path, check=True)
    needed = {line.split()[0].rsplit("/", 1)[-1] for line in done.stdout.splitlines()}
    assert "not found" not in done.stdout
    assert needed <= SYSTEM_LIBRARIES, needed - SYSTEM_LIBRARIES
