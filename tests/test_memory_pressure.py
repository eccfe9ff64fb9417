"""Memory that runs out never kills the process: every function, on the main thread and on a
fresh one, either succeeds or raises MemoryError, and works normally afterwards. Run in child
processes (tests/memory_pressure_child.py), under an allocator that fails on request and under
address-space limits."""

import collections
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from tests.support.command import build_preload

HERE = Path(__file__).resolve().parent
CHILD = HERE / "memory_pressure_child.py"
FUNCTIONS = ["dumps", "dump", "loads", "load", "emit"]
THREADS = ["main", "fresh"]

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("VORN_EXPECT_SANITIZED")),
    reason="the sanitizer's allocator stands in for the C library's",
)


@pytest.fixture(scope="module")
def failmalloc(tmp_path_factory):
    return build_preload(tmp_path_factory.mktemp("failmalloc"), "failmalloc.c")


def run_child(args, env_extra):
    env = {**os.environ, **env_extra}
    done = subprocess.run([sys.executable, "-W", "ignore", str(CHILD), *args], env=env,
                          capture_output=True, text=True, timeout=300)
    # A death (a signal, an abort, a fatal error of the interpreter) fails here, with what the
    # child printed.
    assert done.returncode == 0, done.stderr[-2000:]
    report = json.loads(done.stdout)
    return report


def check(report):
    total, results = report["results"][0], report["results"][1]
    outcomes = collections.Counter(result for _, result in results)
    assert set(outcomes) <= {"ok", "MemoryError"}, (total, outcomes, results)
    assert outcomes["MemoryError"] > 0, "no allocation failed: the test did not bite"
    assert report["results"][-1] == "ok", "the module does not work after the failures"
    assert report["leftovers"] == [], "a failed dump left a file behind"


@pytest.mark.parametrize("run", [1, 64], ids=["single", "run of 64"])
@pytest.mark.parametrize("thread", THREADS)
@pytest.mark.parametrize("function", FUNCTIONS)
def test_failing_allocations(failmalloc, function, thread, run):
    check(run_child(["malloc", function, thread, str(run), "2000"],
                    {"LD_PRELOAD": str(failmalloc)}))


# glibc's allocator keeps freed memory mapped and gives a new thread an arena of its own, which
# an address-space limit never reaches; these settings make every allocation of the call need
# new address space.
TIGHT_ALLOCATOR = {"MALLOC_ARENA_MAX": "1", "MALLOC_MMAP_THRESHOLD_": "65536",
                   "MALLOC_TRIM_THRESHOLD_": "0", "MALLOC_TOP_PAD_": "0"}


@pytest.mark.parametrize("thread", THREADS)
@pytest.mark.parametrize("function", FUNCTIONS)
def test_address_space_limits(function, thread):
    # 200,000 records: about 19 MB of JSON text.
    check(run_child(["rlimit", function, thread, "0", "200000"], TIGHT_ALLOCATOR))
