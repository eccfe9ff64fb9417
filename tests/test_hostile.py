"""Untrusted images and odd inputs: no crash, no runaway allocation, exact errors."""

import os
import struct
import subprocess
import sys
import textwrap

import pytest

import vorn
from tests.support.image import PREDEFINED
from tests.support.refusals import refusal

SANITIZED = bool(os.environ.get("VORN_EXPECT_SANITIZED"))


def image(defs, entries, dict_block=b"\x00\x00\x00\x00", ndefs=None):
    """Header + definition block + dict block + data block, offsets computed."""
    count = ndefs if ndefs is not None else 6 + len(defs)
    def_block = struct.pack("<H", count) + b"".join(PREDEFINED)
    def_block += b"".join(defs)
    data = struct.pack("<I", len(entries)) if isinstance(entries, list) else entries
    if isinstance(entries, list):
        data += b"".join(entries)
    d = 13
    s = d + len(def_block)
    a = s + len(dict_block)
    return struct.pack("<BIII", 1, d, s, a) + def_block + dict_block + data


def entry(def_index, payload, length=None):
    return struct.pack("<HI", def_index, len(payload) if length is None else length) + payload


ARRAY_OF_ARRAYS = b"\x10\x06\x00\x10"  # definition 6: arrays of arrays
ARRAY_OF_INTS = b"\x10\x06\x00\x02"

# Each image claims far more than its bytes hold.
HOSTILE = {
    # 1048576 entries claimed by a four-byte data block.
    "entries": (image([], struct.pack("<I", 1048576)), "Truncated entry 0 header"),
    # 4294967295 dict strings claimed by a four-byte dict block.
    "dict strings": (image([], [], dict_block=struct.pack("<I", 0xFFFFFFFF)),
                     "Truncated dict string"),
    # 100 nested arrays, each claiming 65535 items, in a few hundred bytes.
    "nested counts": (
        image([ARRAY_OF_ARRAYS], [entry(6, struct.pack("<HHH", 6, 6, 65535) * 100)]),
        "Truncated array self_def_index"),
    # One array of 65535 Int32 items with none present.
    "items": (image([ARRAY_OF_INTS], [entry(6, struct.pack("<HHH", 6, 2, 65535))]),
              "Expected int32 (4 bytes)"),
    # 2048 definitions claimed by a block that holds a few.
    "definitions": (image([], [], ndefs=2048),
                    "Definition block has 20 bytes but 2048 defs require 6146"),
}


def run_child(code):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime dominates resident memory")
@pytest.mark.parametrize("name", HOSTILE)
def test_hostile_counts_do_not_allocate(name):
    img, message = HOSTILE[name]
    assert refusal(vorn.loads, img) == message
    # Peak resident memory of a process that loads the image, against one that loads a tiny
    # valid image: the hostile image may not cost more than a few MiB.
    probe = f"""
        import resource, vorn
        img = {img!r}
        try:
            vorn.loads(img)
        except ValueError:
            pass
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
    """
    base = int(run_child(probe.replace("img = ", "img = vorn.dumps('[1]') or ")))
    peak = int(run_child(probe))
    assert peak - base < 8 * 1024, f"{name}: peak grew by {peak - base} KiB"


def test_null_arrays_amplify_by_design():
    # An array of Null elements costs no bytes per element.
    img = image([b"\x10\x06\x00\x00"], [entry(6, struct.pack("<HHH", 6, 0, 65535))])
    assert len(img) < 64
    assert vorn.loads(img) == [None] * 65535


@pytest.mark.parametrize(
    "length, ok",
    [(16_777_215, True), (16_777_216, False)],
)
def test_strings_at_the_inline_limit(length, ok):
    text = "x" * length
    for produce in (lambda: vorn.dumps('"' + text + '"'), lambda: vorn.emit(text)):
        if ok:
            assert vorn.loads(produce()) == text
        else:
            assert refusal(produce) == "String exceeds maximum inline length (16 777 215 bytes)"


class OddStr(str):
    def __str__(self):
        return "[2]"

    def __len__(self):
        return 0

    def encode(self, *args, **kwargs):
        return b"[3]"


def test_str_subclass_is_read_by_its_contents(tmp_path):
    assert vorn.loads(vorn.dumps(OddStr("[1]"))) == [1]
    path = tmp_path / "odd.vorn"
    vorn.dump(OddStr("[1]"), OddStr(str(path)))
    assert vorn.load(OddStr(str(path))) == [1]
    assert vorn.loads(vorn.emit(OddStr("abc"))) == "abc"


def test_files_that_are_directories(tmp_path):
    with pytest.raises(ValueError) as info:
        vorn.load(str(tmp_path))
    assert str(info.value) == "IO error: Is a directory (os error 21)"
    with pytest.raises(ValueError) as info:
        vorn.dump("[1]", str(tmp_path))
    assert str(info.value) == "IO error: Is a directory (os error 21)"


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their mode")
def test_unreadable_file(tmp_path):
    path = tmp_path / "secret.vorn"
    path.write_bytes(vorn.dumps("[1]"))
    path.chmod(0)
    with pytest.raises(ValueError) as info:
        vorn.load(str(path))
    assert str(info.value) == "IO error: Permission denied (os error 13)"


def test_file_that_vanishes(tmp_path):
    path = tmp_path / "gone.vorn"
    vorn.dump("[1]", str(path))
    assert vorn.load(str(path)) == [1]
    path.unlink()
    with pytest.raises(ValueError) as info:
        vorn.load(str(path))
    assert str(info.value) == "IO error: No such file or directory (os error 2)"


@pytest.mark.parametrize("call", [lambda p: vorn.load(p), lambda p: vorn.dump("[1]", p)])
def test_path_with_nul(call, tmp_path):
    with pytest.raises(ValueError) as info:
        call(str(tmp_path / "a\0b"))
    assert str(info.value) == "IO error: path contains a NUL character"
    assert not os.listdir(tmp_path)
