"""The version lives in pyproject.toml alone; the installed distribution must carry it, with the
license text beside its metadata."""

import importlib.metadata
import re
from pathlib import Path

import pytest

import vorn

ROOT = Path(__file__).resolve().parent.parent


def declared_version():
    """The version line of pyproject.toml, the one the build reads too."""
    lines = re.findall(r'^version = "([^"]+)"$', (ROOT / "pyproject.toml").read_text(), re.M)
    assert len(lines) == 1, lines
    return lines[0]


@pytest.fixture(scope="module")
def distribution():
    """The installed distribution that the imported module comes from; skips when the module
    is imported from a build tree (PYTHONPATH) rather than installed."""
    try:
        dist = importlib.metadata.distribution("vorn")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("vorn is not installed")
    module = Path(vorn.__file__).resolve()
    if not any(Path(str(dist.locate_file(f))).resolve() == module for f in dist.files or ()):
        pytest.skip(f"vorn is imported from {module}, not from the installed distribution")
    return dist


def test_installed_version_is_the_declared_one(distribution):
    assert importlib.metadata.version("vorn") == distribution.version == declared_version()


def test_license_ships_with_the_metadata(distribution):
    licenses = [f for f in distribution.files if f.name == "LICENSE"]
    assert licenses, "no LICENSE among the installed files"
    assert "MIT License" in licenses[0].read_text()
