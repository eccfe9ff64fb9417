"""The memory of vorn decode and vorn inspect is bounded by the image and its nesting depth, not
by the size of the value it describes: images of a few hundred bytes that stand for gigabytes of
JSON text are checked and written under a tight address-space limit. When memory does run out,
every command names the file it was working on."""

import hashlib
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

import vorn
from tests.support.command import SANITIZED, build_preload, vorn_command, write
from tests.support.image import ARRAY, NULL, arr, array, image, string

HERE = Path(__file__).resolve().parent
# What the command may take beyond the image itself, in address space and in resident memory.
HEADROOM = 64 << 20
TIMEOUT = 300

pytestmark = pytest.mark.skipif(
    SANITIZED or bool(os.environ.get("VORN_EXPECT_SANITIZED")),
    reason="a sanitized command reserves terabytes of address space and has its own allocator")

NULLS = 65535  # the most items an array holds


def null_bomb(arrays):
    """One entry: an array of `arrays` arrays of 65,535 nulls each, six bytes per inner array."""
    inner = array(6, [], count=NULLS)
    return image([arr(6, NULL), arr(7, ARRAY)], [], [(7, array(7, [inner] * arrays, elem_def=6))])


def deep_bomb(levels=128, arrays=10):
    """Arrays nested `levels` deep (the most the format allows), the innermost holding `arrays`
    arrays of 65,535 nulls: with --indent 16 every null takes a line of 2 KB."""
    payload = array(7, [array(6, [], count=NULLS)] * arrays, elem_def=6)
    for _ in range(levels - 2):
        payload = array(7, [payload], elem_def=7)
    return image([arr(6, NULL), arr(7, ARRAY)], [], [(7, payload)])


def text_length(levels, arrays, indent):
    """The length of the text of deep_bomb(levels, arrays) (null_bomb for levels=2)."""
    def container(items, depth):  # the brackets and separators around `items` values
        if indent is None:
            return 2 + (items - 1)
        return 2 + (items - 1) + items * (1 + indent * (depth + 1)) + 1 + indent * depth

    inner_depth = levels - 1
    length = arrays * (container(NULLS, inner_depth) + NULLS * 4)
    length += container(arrays, inner_depth - 1)
    for depth in range(inner_depth - 2, -1, -1):
        length += container(1, depth)
    return length + 1  # the closing line break


BOMBS = {
    # name: (image, decode arguments, length of the text)
    "100 arrays of nulls": (null_bomb(100), [], text_length(2, 100, None)),
    "1,000 arrays of nulls": (null_bomb(1000), [], text_length(2, 1000, None)),
    "128 deep, indented by 16": (deep_bomb(), ["--indent", "16"], text_length(128, 10, 16)),
}


# Starts the command from a fresh small interpreter, under an address-space limit, and writes
# its peak resident memory into a file. The peak of a process counts what it held before its
# exec, so a child forked from the test process itself would count the test's own memory.
SPAWN = """
import os, resource, sys
limit, result, *command = sys.argv[1:]
pid = os.fork()
if pid == 0:
    try:
        resource.setrlimit(resource.RLIMIT_AS, (int(limit), int(limit)))
        os.execv(command[0], command)
    finally:
        os._exit(127)
_, status, usage = os.wait4(pid, 0)
with open(result, "w") as f:
    f.write(str(usage.ru_maxrss * 1024))
code = os.waitstatus_to_exitcode(status)
sys.exit(code if code >= 0 else 128 - code)
"""


def run_bounded(tmp_path, args, limit, stdin=subprocess.DEVNULL, digest=None, delay=0):
    """Runs the command under an address-space limit of `limit` bytes, reading its standard
    output after `delay` seconds; its status, the length of that output (which goes into
    `digest` when one is given), its standard error and its peak resident memory in bytes."""
    result = tmp_path.parent / f"{tmp_path.name}.peak"  # beside the test's own files
    with subprocess.Popen([sys.executable, "-c", SPAWN, str(limit), str(result), vorn_command(),
                           *map(str, args)], stdin=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE) as proc:
        time.sleep(delay)
        length = 0
        # Standard error is read once standard output ends: a few lines at most.
        while chunk := proc.stdout.read(1 << 20):
            if digest is not None:
                digest.update(chunk)
            length += len(chunk)
        err = proc.stderr.read().decode()
        status = proc.wait(timeout=TIMEOUT)
    return status, length, err, int(result.read_text())


@pytest.mark.parametrize("bomb", BOMBS)
def test_decode_streams_a_bomb_in_bounded_memory(tmp_path, bomb):
    data, args, length = BOMBS[bomb]
    src = write(tmp_path / "bomb.vorn", data)
    limit = len(data) + HEADROOM
    status, written, err, peak = run_bounded(tmp_path, ["decode", src, *args], limit)
    assert (status, err, written) == (0, "", length)
    assert peak < limit


def test_the_text_of_a_bomb_is_exact(tmp_path):
    data, _, _ = BOMBS["100 arrays of nulls"]
    src = write(tmp_path / "bomb.vorn", data)
    inner = "[" + ",".join(["null"] * NULLS) + "]"
    want = ("[" + ",".join([inner] * 100) + "]\n").encode()
    digest = hashlib.sha256()
    status, _, err, _ = run_bounded(tmp_path, ["decode", src], len(data) + HEADROOM,
                                    digest=digest)
    assert (status, err, digest.hexdigest()) == (0, "", hashlib.sha256(want).hexdigest())


@pytest.mark.parametrize("bomb", BOMBS)
def test_inspect_checks_a_bomb_in_bounded_memory(tmp_path, bomb):
    data, _, _ = BOMBS[bomb]
    src = write(tmp_path / "bomb.vorn", data)
    limit = len(data) + HEADROOM
    status, _, err, peak = run_bounded(tmp_path, ["inspect", src], limit)
    assert (status, err) == (0, "")
    assert peak < limit


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_several_bombs_to_standard_output(tmp_path, jobs):
    data, _, length = BOMBS["100 arrays of nulls"]
    inputs = [write(tmp_path / f"{i}.vorn", data) for i in range(3)]
    limit = 3 * len(data) + HEADROOM
    status, written, err, peak = run_bounded(tmp_path, ["decode", "-j", jobs, *inputs], limit)
    assert (status, err, written) == (0, "", 3 * length)
    assert peak < limit


def test_images_waiting_for_standard_output_are_bounded(tmp_path):
    """Images are checked ahead of their turn on standard output, but a slow reader does not
    make all of them wait in memory at once."""
    size = 16_000_000
    src = write(tmp_path / "long.vorn", image([], [], [(5, string("x" * size))]))
    count = 20  # 320 MB of images, were they all held
    status, written, err, peak = run_bounded(tmp_path, ["decode", "-j", "2", *[src] * count],
                                             1 << 30, delay=2)
    assert (status, err, written) == (0, "", count * (size + 3))
    assert peak < 224 << 20


def test_a_bomb_from_standard_input_into_a_file(tmp_path):
    data, _, length = BOMBS["100 arrays of nulls"]
    src = write(tmp_path / "bomb.vorn", data)
    out = tmp_path / "out.json"
    with open(src, "rb") as stdin:
        status, written, err, _ = run_bounded(tmp_path, ["decode", "-", "-o", out],
                                                 len(data) + HEADROOM, stdin=stdin)
    assert (status, err, written) == (0, "", 0)
    assert out.stat().st_size == length
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bomb.vorn", "out.json"]


def test_a_reader_that_goes_away_ends_a_bomb_quietly(tmp_path):
    data, args, _ = BOMBS["128 deep, indented by 16"]
    src = write(tmp_path / "bomb.vorn", data)
    with subprocess.Popen([vorn_command(), "decode", src, *args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE) as proc:
        assert len(proc.stdout.read(1 << 16)) == 1 << 16
        proc.stdout.close()
        err = proc.stderr.read()
        status = proc.wait(timeout=TIMEOUT)
    assert (status, err) == (1, b"")


# --- out of memory --------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def failbig(tmp_path_factory):
    return build_preload(tmp_path_factory.mktemp("failbig"), "failbig.c")


def inputs_for_memory():
    return {
        "small.vorn": vorn.dumps('{"tags": ["x", "y", "x"], "name": "x"}'),
        # 100,000 entries of no bytes: the entry list of inspect outgrows the image read.
        "entries.vorn": image([], [], [(0, b"")] * 100000),
        "doc.json": json.dumps([{"id": i, "name": f"user{i}"} for i in range(10000)]).encode(),
    }


# (arguments, the largest block the allocator hands out): each runs out after reading its input.
CASES = [
    (["decode", "small.vorn"], 100_000),
    (["decode", "small.vorn", "-o", "out.json"], 100_000),
    (["decode", "-j", "2", "small.vorn", "small.vorn"], 100_000),
    (["inspect", "--json", "entries.vorn"], 1_300_000),
    (["encode", "doc.json", "-o", "out.vorn"], 400_000),
    (["stats", "doc.json"], 400_000),
]


@pytest.mark.parametrize("args, largest", CASES, ids=lambda c: " ".join(c) if isinstance(c, list)
                         else str(c))
def test_running_out_of_memory_names_the_file(tmp_path, failbig, args, largest):
    for name, data in inputs_for_memory().items():
        write(tmp_path / name, data)
    env = {**os.environ, "LD_PRELOAD": str(failbig), "FAILBIG_BYTES": str(largest)}
    result = subprocess.run([vorn_command(), *args], cwd=tmp_path, env=env, capture_output=True,
                            text=True, timeout=TIMEOUT)
    files = [a for a in args if "." in a and not a.startswith("out")]
    want = "".join(f"vorn: {f}: out of memory\n" for f in files)
    if len(files) > 1:
        want += f"vorn: {len(files)} of {len(files)} files failed\n"
    assert (result.returncode, result.stdout, result.stderr) == (1, "", want)
    assert not any(p.name.startswith("out") or p.name.startswith(".") for p in tmp_path.iterdir())


@pytest.mark.parametrize("start, message", [
    (b"", "Unsupported VORN version: 0"),
    (b"   \n" * 100 + b'{"a": 1}',
     "not a VORN image: it starts like JSON text; did you mean vorn encode?"),
], ids=["zeros", "json"])
def test_decode_refuses_a_large_file_by_its_beginning(tmp_path, start, message):
    """3 GB that the address space allowed could not hold: only the beginning is read. (inspect
    reads the whole file, to show what it can of a damaged header.)"""
    path = tmp_path / "large"
    with open(path, "wb") as f:
        f.write(start)
        f.truncate(3 << 30)  # sparse: no disk is used
    status, length, err, _ = run_bounded(tmp_path, ["decode", path], 1 << 30)
    assert (status, length, err) == (1, 0, f"vorn: {path}: {message}\n")
