"""loads and the command's decode read damaged images alike: both give the same value, or both
refuse with the same message."""

import json
import pathlib
import random
import struct

import pytest

from tests.support import command
import vorn
from tests.support.model import identical
from tests.support.refusals import refusal_text

ROOT = pathlib.Path(__file__).resolve().parent.parent

TEXTS = [
    (ROOT / "examples" / "catalog.json").read_text(encoding="utf-8"),
    '{"tags": ["x", "y", "x"], "name": "x"}',
    '[{"id": 1, "v": 0.5, "ok": true}, {"id": -7, "v": 1e30, "ok": false}, {"id": 3}]',
    '{"n": [4294967295, 9223372036854775808], "f": [1, 2.5], "z": -0, "e": [], "o": {}}',
    '[["a", "b", "a"], [null, null], [[1], [2, 3]], ["' + "é" * 70 + '", "' + "l" * 300 + '"]]',
    '{"deep": ' + "[" * 40 + "1" + "]" * 40 + ', "s": "s", "t": ["s", "s"]}',
]
MUTANTS_PER_TEXT = 60
COUNTS = [0, 1, 2, 6, 0x7F, 0x80, 0xFF, 0x100, 0x7FFF, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF]


def mutants(image, rng):
    """Damaged copies of image: bits flipped, cut short, or a count or offset overwritten."""
    dict_at, data_at = struct.unpack_from("<II", image, 5)
    counts = [("<I", 1), ("<I", 5), ("<I", 9), ("<H", 13), ("<I", dict_at), ("<I", data_at),
              ("<H", data_at + 4), ("<I", data_at + 6)]
    for _ in range(MUTANTS_PER_TEXT):
        data = bytearray(image)
        how = rng.randrange(3)
        if how == 0:
            for _ in range(rng.randint(1, 3)):
                data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        elif how == 1:
            del data[rng.randrange(len(data)):]
        else:
            anywhere = (rng.choice(["<H", "<I"]), rng.randrange(len(data) - 4))
            fmt, at = rng.choice(counts + [anywhere])
            struct.pack_into(fmt, data, at, rng.choice(COUNTS) % 256 ** struct.calcsize(fmt))
        yield bytes(data)


def by_loads(image):
    try:
        return "value", vorn.loads(image)
    except ValueError as e:
        return "refused", refusal_text(e)


def by_command(path):
    proc = command.run("decode", path)
    if proc.returncode == 0:
        assert proc.stderr == ""
        return "value", json.loads(proc.stdout)
    assert proc.returncode == 1 and proc.stdout == ""
    assert proc.stderr.startswith(f"vorn: {path}: ") and proc.stderr.endswith("\n")
    return "refused", proc.stderr.removeprefix(f"vorn: {path}: ")[:-1]


@pytest.mark.parametrize("index", range(len(TEXTS)))
def test_loads_and_decode_agree_on_damaged_images(tmp_path, index):
    rng = random.Random(index)
    image = vorn.dumps(TEXTS[index])
    outcomes = set()
    for n, data in enumerate([image, *mutants(image, rng)]):
        path = tmp_path / f"{n}.vorn"
        path.write_bytes(data)
        (kind, loaded), (command_kind, decoded) = by_loads(data), by_command(path)
        agree = kind == command_kind and (identical(loaded, decoded) if kind == "value"
                                          else loaded == decoded)
        assert agree, f"mutant {n} ({data.hex()}): loads {loaded!r}, decode {decoded!r}"
        outcomes.add(kind)
    assert outcomes == {"value", "refused"}
