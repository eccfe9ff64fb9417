"""Every public function, on success and on each kind of error, leaves memory and reference
counts as it found them."""

import gc
import os
import shutil
import sys
import tempfile

import pytest

import vorn

SANITIZED = bool(os.environ.get("VORN_EXPECT_SANITIZED"))
CALLS = 5_000 if SANITIZED else 100_000
GOOD_IMAGE = vorn.dumps('{"name": "x", "tags": ["x", "y", "x"], "n": [1.5, 2]}')
# A StrRef to dict string 5 in a one-string dict: decodes, then fails to decompile.
BAD_REF_IMAGE = bytes.fromhex(
    "01 0d000000 21000000 27000000"
    "0600 000000 010100 020200 030300 040400 050500"
    "01000000 0161"
    "01000000 0500 05000000 ff05000000"
)


def rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def cases(tmp):
    good_file = os.path.join(tmp, "good.vorn")
    missing = os.path.join(tmp, "missing", "x.vorn")
    text = '{"a": [1, 2, 3], "b": "s", "c": {"d": null}}'
    return {
        "dumps ok": (vorn.dumps, (text,), None),
        "dumps json error": (vorn.dumps, ('{"a": [1, 2',), ValueError),
        "dumps refusal": (vorn.dumps, ('[1, "a"]',), ValueError),
        "dumps binding": (vorn.dumps, (text, text), TypeError),
        "dumps conversion": (vorn.dumps, (b"[]",), TypeError),
        "dump ok": (vorn.dump, (text, os.path.join(tmp, "out.vorn")), None),
        "dump file error": (vorn.dump, (text, missing), ValueError),
        "loads ok": (vorn.loads, (GOOD_IMAGE,), None),
        "loads decoder error": (vorn.loads, (GOOD_IMAGE[:40],), ValueError),
        "loads decompile error": (vorn.loads, (BAD_REF_IMAGE,), ValueError),
        "load ok": (vorn.load, (good_file,), None),
        "load missing": (vorn.load, (missing,), ValueError),
        "emit ok": (vorn.emit, ({"a": [1.5, 2.5], "b": "s"},), None),
        "emit unsupported": (vorn.emit, ([1, None],), TypeError),
        "emit refusal": (vorn.emit, ([1, "a"],), ValueError),
        "emit bad key": (vorn.emit, ({1: 2},), TypeError),
    }


@pytest.fixture(scope="module")
def all_cases(tmp_path_factory):
    # A file system in memory where there is one: the loops measure the library, not the disk.
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        tmp = tempfile.mkdtemp(prefix="vorn-res-", dir="/dev/shm")
    else:
        tmp = str(tmp_path_factory.mktemp("res"))
    with open(os.path.join(tmp, "good.vorn"), "wb") as f:
        f.write(GOOD_IMAGE)
    yield cases(tmp)
    shutil.rmtree(tmp, ignore_errors=True)


CASE_NAMES = list(cases("/nonexistent"))


def call(fn, args, error):
    if error is None:
        return fn(*args)
    try:
        fn(*args)
    except error:
        return None
    raise AssertionError(f"{fn.__name__} did not raise {error.__name__}")


@pytest.mark.parametrize("name", CASE_NAMES)
def test_no_growth_and_no_reference_leaks(all_cases, name):
    fn, args, error = all_cases[name]
    warmup = CALLS // 10
    for _ in range(warmup):
        call(fn, args, error)
    gc.collect()
    refs = [sys.getrefcount(a) for a in args]
    start = rss_kb()
    for _ in range(CALLS - warmup):
        call(fn, args, error)
    gc.collect()
    grown = rss_kb() - start
    assert [sys.getrefcount(a) for a in args] == refs
    # The address sanitizer holds freed blocks in quarantine, so resident memory says nothing
    # about leaks there.
    if not SANITIZED:
        assert grown < 2048, f"{name}: resident memory grew by {grown} KiB"
