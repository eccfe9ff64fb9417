"""The shared test support: the command it finds is the build under test and a missing one fails
CI, refusals are recognised by their prefix only, and the packages the tests, the example and the
benchmark import are this tree's, not anything installed."""

import importlib
import os
import pathlib

import pytest
from hypothesis import settings

import vorn
from tests.support import command
from tests.support.refusals import PREFIX, refusal, refusal_text

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.parametrize("ci, outcome", [("true", pytest.fail.Exception),
                                         ("", pytest.skip.Exception)])
def test_a_missing_command_fails_in_ci_and_is_skipped_elsewhere(monkeypatch, ci, outcome):
    monkeypatch.setattr(command, "FOUND", None)
    monkeypatch.setenv("CI", ci)
    with pytest.raises(outcome, match="no vorn command"):
        command.vorn_command()
    with pytest.raises(outcome):
        command.run("--version")


def test_the_command_is_the_build_under_test():
    # The sanitizer run must run the sanitized command built beside its module, the other runs
    # the command installed with the module.
    assert command.SANITIZED == bool(os.environ.get("VORN_EXPECT_SANITIZED"))
    done = command.run("--version", timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.startswith("vorn ")


@pytest.mark.parametrize("error, expected", [
    (ValueError(PREFIX + "Truncated dict string"), "Truncated dict string"),
    (ValueError(PREFIX), ""),
])
def test_refusal_text_strips_the_prefix(error, expected):
    assert refusal_text(error) == expected


@pytest.mark.parametrize("error", [ValueError("Truncated dict string"),
                                   ValueError("x " + PREFIX + "Truncated dict string")])
def test_a_message_without_the_prefix_is_no_refusal(error):
    with pytest.raises(AssertionError):
        refusal_text(error)


def test_refusal_fails_when_the_call_returns():
    assert refusal(vorn.loads, b"") == "Header requires 13 bytes, got 0"
    with pytest.raises(pytest.fail.Exception):
        refusal(vorn.dumps, "[1]")


@pytest.mark.parametrize("package", ["tests", "tests.support", "bench", "examples"])
def test_the_packages_are_this_trees(package):
    # A regular package first on the path wins over any namespace or installed package of the
    # same name.
    module = importlib.import_module(package)
    assert module.__file__ is not None, f"{package} is a namespace package"
    assert pathlib.Path(module.__file__).resolve() == ROOT.joinpath(*package.split("."),
                                                                    "__init__.py")


def test_the_hypothesis_profile_of_the_conftest_is_loaded():
    assert settings().deadline is None
    assert settings().derandomize == bool(os.environ.get("CI"))

