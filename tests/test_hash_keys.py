"""The hash tables' key: drawn per process, it never reaches an image, and keys built to collide
under the fixed key of a test build give the same answers as any others.

The colliding cases need the extension built with VORN_FIXED_HASH_KEY (``make fixed-key``, which
``make test`` runs); they are skipped without it."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

import vorn
from tests.support.command import vorn_command

ROOT = pathlib.Path(__file__).resolve().parent.parent
FIXED_KEY_BUILD = pathlib.Path(os.environ.get("VORN_FIXED_KEY_BUILD", ROOT / "build" / "fixed-key"))
TIMEOUT = 120

# The fixed key's block word is b"q7Rv2Lxe": 32-byte keys that start with it and end alike
# hash alike in every bit, whatever their second eight bytes.
COLLIDING_HEAD = b"q7Rv2Lxe"
COLLIDING_TAIL = "0123456789abcdef"


def colliding(n, prefix=""):
    """n distinct strings that collide in all 64 bits under the fixed key."""
    head = COLLIDING_HEAD.decode()
    return [f"{head}{prefix}{i:0{8 - len(prefix)}x}{COLLIDING_TAIL}" for i in range(n)]


def chunks(items, size=60000):
    """A list of lists each short enough for an array."""
    return [items[i : i + size] for i in range(0, len(items), size)]


def documents():
    """JSON texts and values that fill every table: many distinct and repeated strings, many
    object layouts, wide objects with many field names."""
    strings = [f"s{i % 700}-{i}" for i in range(70000)]
    repeated = [f"r{i % 300}" for i in range(5000)]
    layouts = [{f"k{i}_{j}": j for j in range(i % 9)} for i in range(400)]
    # Emit makes an object's keys items too: 120 keys are 240 fields (at most 256).
    wide = [{f"f{d}_{j}": j for j in range(120)} for d in range(40)]
    mixed = [{"a": 1, "b": [True, False], "c": [2.5, 3]}, {"b": "y", "a": 3}] * 50
    return {
        "strings": chunks(strings),
        "repeated": repeated,
        "layouts": layouts,
        "wide": wide,
        "mixed": mixed,
    }


# Per document, digests of its dumps and emit images and of what loads gives back for each.
DIGESTS = r"""
import hashlib, json

def digests(vorn, docs):
    out = {}
    for name, value in docs.items():
        image = vorn.dumps(json.dumps(value))
        emitted = vorn.emit(value)
        out[name] = [
            hashlib.sha256(part).hexdigest()
            for part in (
                image,
                emitted,
                json.dumps(vorn.loads(image)).encode(),
                json.dumps(vorn.loads(emitted)).encode(),
            )
        ]
    return out
"""
CHILD = (
    "import json, sys\n"
    "sys.path[:0] = json.loads(sys.argv[1])\n"
    "import vorn\n"
    + DIGESTS
    + "out = digests(vorn, json.loads(sys.stdin.read()))\n"
    "out['module'] = vorn.__file__\n"
    "print(json.dumps(out))\n"
)
_namespace = {}
exec(DIGESTS, _namespace)


def run_child(docs, path=()):
    done = subprocess.run(
        [sys.executable, "-c", CHILD, json.dumps([str(p) for p in path])],
        input=json.dumps(docs),
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def here(docs):
    return _namespace["digests"](vorn, docs)


def without_module(result):
    return {k: v for k, v in result.items() if k != "module"}


def test_two_processes_give_the_same_bytes():
    docs = documents()
    first = run_child(docs)
    second = run_child(docs)
    assert without_module(first) == without_module(second) == here(docs)


def colliding_documents():
    keys = colliding(6000)
    return {
        # String values: the compiler's string map and emit's dictionary.
        "values": chunks(keys * 2),
        # One-member objects: the compiler's layouts and object definitions, emit's dictionary.
        "keys": [{k: i} for i, k in enumerate(keys[:1500])] * 2,
        # Wide objects of distinct field names: loads' field-name table, the compiler's layouts.
        "fields": [{k: 1 for k in keys[d * 120 : (d + 1) * 120]} for d in range(50)],
    }


@pytest.fixture(scope="module")
def fixed_key_build():
    if not any(FIXED_KEY_BUILD.glob("vorn*.so")):
        pytest.skip(f"no build with the fixed key in {FIXED_KEY_BUILD} (make fixed-key)")
    return FIXED_KEY_BUILD


@pytest.mark.parametrize("docs", [colliding_documents(), documents()], ids=["colliding", "plain"])
def test_fixed_key_build_answers_as_the_release_build(fixed_key_build, docs):
    result = run_child(docs, [fixed_key_build])
    assert pathlib.Path(result["module"]).parent == fixed_key_build.resolve()
    assert without_module(result) == here(docs)


@pytest.mark.parametrize(
    "value",
    [
        colliding(40),
        {k: [k] for k in colliding(100, "k")},
        [{k: 1} for k in colliding(300, "o")],
    ],
    ids=["strings", "dict keys", "layouts"],
)
def test_colliding_values_round_trip(value):
    text = json.dumps(value)
    assert vorn.loads(vorn.dumps(text)) == json.loads(text)
    assert vorn.loads(vorn.emit(value)) == emitted(value)


def emitted(value):
    """What loads gives for emit's image of a value: a dict's keys and values become its items,
    named by position."""
    if isinstance(value, dict):
        items = [x for pair in value.items() for x in pair]
        return {f"f{i}": emitted(x) for i, x in enumerate(items)}
    if isinstance(value, list):
        return [emitted(x) for x in value]
    return value


def test_flooding_benchmark_runs(tmp_path):
    """bench/hash_flooding.py --quick, on this build alone, ends with a figure for every call."""
    out = tmp_path / "flood.json"
    done = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "hash_flooding.py"), "--quick", "--before",
         str(tmp_path / "none"), "--command", vorn_command(), "--json", str(out)],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, done.stderr
    rows = json.loads(out.read_text())
    assert {r["op"] for r in rows} == {"dumps", "emit list", "emit keys", "loads", "encode"}
    assert all(isinstance(r["crafted_s"], float) and isinstance(r["random_s"], float) for r in rows)
