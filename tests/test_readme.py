"""The README's command examples run as written, in order, on the bundled files, and print what
the README shows."""

import os
import pathlib
import re
import shutil
import subprocess

import pytest

from tests.support.command import vorn_command

ROOT = pathlib.Path(__file__).resolve().parent.parent


def console_steps(text):
    """(command, expected lines) for each '$ ' line of the README's console blocks, in order."""
    steps = []
    for block in re.findall(r"```console\n(.*?)```", text, re.S):
        for line in block.splitlines():
            if line.startswith("$ "):
                steps.append((line[2:], []))
            else:
                steps[-1][1].append(line)
    return steps


def matches(expected, actual):
    """Whether `actual` lines are `expected` ones, where a line '...' stands for any lines."""
    if not expected:
        return not actual
    if expected[0] == "...":
        return any(matches(expected[1:], actual[k:]) for k in range(len(actual) + 1))
    return bool(actual) and actual[0] == expected[0] and matches(expected[1:], actual[1:])


STEPS = console_steps((ROOT / "README.md").read_text())


def test_the_readme_has_command_examples():
    assert len(STEPS) >= 8


def test_command_examples_run_as_written(tmp_path):
    if shutil.which("jq") is None:
        pytest.skip("the examples use jq, which is not installed")
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    env = dict(os.environ, PATH=os.path.dirname(vorn_command()) + os.pathsep + os.environ["PATH"])
    for command, expected in STEPS:
        result = subprocess.run(["bash", "-c", f"set -o pipefail; {command}"], cwd=tmp_path,
                                env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, encoding="utf-8", timeout=60)
        lines = result.stdout.splitlines()
        assert matches(expected, lines), (command, result.stdout)
        # A command whose shown output is an error message fails; every other one succeeds.
        assert (result.returncode != 0) == any(line.startswith("vorn: ") for line in expected), \
            (command, result.returncode)
