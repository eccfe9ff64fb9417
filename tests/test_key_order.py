"""One rule orders the members of an object wherever they are read: ascending key order by the
bytes of the keys, and of the members that share a key the last in text order wins. The fused
compiler behind dumps sorts a few members one way and many another, the decompiler the same
with its own bound; a fault in either shows here as loads, the command's decode and the model
of the rule disagreeing. The cases put runs of one, two and three equal keys at the front, the
middle and the end of member lists on both sides of each bound."""

import json

import pytest

from tests.support import command
import vorn
from tests.support.image import INT32, image, i32, obj, objv


def model(pairs):
    """The members that stay, in the order they go: a dict of the last value per key, keys in
    ascending byte order."""
    last = dict(pairs)
    return {k: last[k] for k in sorted(last, key=lambda k: k.encode())}


def member_lists(n):
    """Member lists of n pairs (key, text position) with runs of equal keys: keys cycle through
    two thirds as many names as n, so most names come twice, and the list opens out of order."""
    names = [f"k{(7 * i) % max(1, n - n // 3):02d}" for i in range(n)]
    yield [(name, i) for i, name in enumerate(names)]
    # Three equal keys in a row at the front and at the end, the others in order.
    ordered = [f"m{i:02d}" for i in range(max(0, n - 3))]
    yield [(name, i) for i, name in enumerate(["zz"] * 3 + ordered)]
    yield [(name, i) for i, name in enumerate(ordered + ["a"] * 3)]


SIZES = [2, 3, 5, 15, 16, 17, 18, 31, 32, 33, 34, 40, 70]
CASES = [(n, k, pairs) for n in SIZES for k, pairs in enumerate(member_lists(n))]


def object_text(pairs):
    return "{" + ", ".join(f'"{key}": {value}' for key, value in pairs) + "}"


@pytest.mark.parametrize("n, k, pairs", CASES, ids=[f"{n}-{k}" for n, k, _ in CASES])
def test_dumps_keeps_the_last_of_equal_keys_in_key_order(n, k, pairs, tmp_path):
    text = object_text(pairs)
    expected = model(pairs)
    # Alone, nested, and twice in one array: a second object of the same members takes the
    # layout the first one made.
    for wrapped, want in [(text, expected), ('{"o": ' + text + "}", {"o": expected}),
                          ("[" + text + ", " + text + "]", [expected, expected])]:
        data = vorn.dumps(wrapped)
        loaded = vorn.loads(data)
        assert loaded == want and json.dumps(loaded) == json.dumps(want)
        path = tmp_path / "image.vorn"
        path.write_bytes(data)
        proc = command.run("decode", path)
        assert proc.returncode == 0 and proc.stderr == ""
        assert json.dumps(json.loads(proc.stdout)) == json.dumps(want)


@pytest.mark.parametrize("n, k, pairs", CASES, ids=[f"{n}-{k}" for n, k, _ in CASES])
def test_decoders_keep_the_last_of_equal_field_names(n, k, pairs, tmp_path):
    # An image whose object definition names its fields out of order and more than once, as
    # only another writer would: the decompiler orders them itself.
    data = image([obj(6, [(name, INT32) for name, _ in pairs])],
                 entries=[(6, objv(6, *(i32(value) for _, value in pairs)))])
    expected = json.dumps(model(pairs))
    assert json.dumps(vorn.loads(data)) == expected
    path = tmp_path / "image.vorn"
    path.write_bytes(data)
    proc = command.run("decode", path)
    assert proc.returncode == 0 and proc.stderr == ""
    assert json.dumps(json.loads(proc.stdout)) == expected
