"""loads: the dicts of the objects that share a definition, their keys and their values."""

import gc
import json
import tracemalloc

import pytest

import vorn
from tests.support.image import INT32, OBJECT, arr, array, i32, image, obj, objv

VALUES = {
    "ints": lambda i, k: i * 1000 + len(k),
    "strings": lambda i, k: f"{k}-{i}",
    "containers": lambda i, k: [i] if k.endswith("1") else {"x": i},
}
# Non-ASCII keys are stored one, two or four bytes a character: their hashes cover all of them.
KEYS = {"ascii": [f"k{j:02d}" for j in range(20)], "wide": ["é", "Ω", "ΩΩ", "😀", "a😀b", "z"]}


@pytest.mark.parametrize("width", [1, 3, 5, 6, 20])
@pytest.mark.parametrize("count", [1, 2, 3, 50])
@pytest.mark.parametrize("values", sorted(VALUES))
@pytest.mark.parametrize("keys", sorted(KEYS))
def test_objects_of_one_definition(keys, values, count, width):
    data = [{k: VALUES[values](i, k) for k in KEYS[keys][:width]} for i in range(count)]
    got = vorn.loads(vorn.dumps(json.dumps(data)))
    assert got == data
    for d in got:
        assert list(d) == sorted(d, key=str.encode)
        # Found by equal strs made afresh, so through their hashes alone.
        assert all("".join(list(k)) in d for k in d)
        # Tracked by the collector exactly when a value may hold references.
        assert gc.is_tracked(d) == (values == "containers")


def test_released_with_their_result():
    image = vorn.dumps(json.dumps([{f"k{j}": f"v{i}" for j in range(20)} for i in range(200)]))
    tracemalloc.start()
    try:
        for _ in range(20):  # the interpreter's free lists and caches fill up first
            vorn.loads(image)
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(100):
            vorn.loads(image)
        # One object left behind per call would add several kilobytes.
        assert tracemalloc.get_traced_memory()[0] - before < 2048
    finally:
        tracemalloc.stop()


# Definitions that another writer may make: fields out of key order, names that come twice (the
# last such field wins). Their dicts cannot be copies of one laid out in field order.
FIELD_LISTS = {
    "reversed": ["e", "d", "c", "b", "a"],
    "shuffled": ["k2", "k0", "k4", "k1", "k3"],
    "duplicate": ["a", "b", "a", "c", "d"],
    "duplicate last": ["a", "b", "c", "d", "d"],
    "sorted": ["a", "b", "c", "d", "e"],
}


@pytest.mark.parametrize("count", [1, 2, 3, 4, 7])
@pytest.mark.parametrize("names", sorted(FIELD_LISTS))
def test_objects_of_a_definition_laid_out_otherwise(names, count):
    fields = FIELD_LISTS[names]
    rows = [[i * 10 + j for j in range(len(fields))] for i in range(count)]
    data = image([obj(6, [(f, INT32) for f in fields]), arr(7, OBJECT)],
                 entries=[(7, array(7, [objv(6, *map(i32, row)) for row in rows], elem_def=6))])
    expected = [dict(sorted(dict(zip(fields, row)).items())) for row in rows]
    got = vorn.loads(data)
    assert got == expected
    assert [list(d) for d in got] == [list(d) for d in expected]
