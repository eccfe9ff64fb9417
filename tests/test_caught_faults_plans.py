"""loads turns each object definition into the plan of its dicts once per call: what one call
planned never leaks into the next, and the definition named by an object is the one whose id
equals its self_def_index, whichever position it holds."""

import struct

import pytest

import vorn

PREFIX = "Failed to parse VORN: "
HEADER_SIZE = 13
# The size of a definition of each kind that has no fields: kind, id and, for arrays, elem_type.
PLAIN_DEFINITION_SIZE = {0x00: 3, 0x01: 3, 0x02: 3, 0x03: 3, 0x04: 3, 0x05: 3, 0x10: 4}
OBJECT = 0x11


def id_offsets(image):
    """The offset of the u16 id of each definition of `image`, in block order."""
    (at,) = struct.unpack_from("<I", image, 1)
    (count,) = struct.unpack_from("<H", image, at)
    at += 2
    offsets = []
    for _ in range(count):
        kind = image[at]
        offsets.append(at + 1)
        if kind != OBJECT:
            at += PLAIN_DEFINITION_SIZE[kind]
            continue
        (fields,) = struct.unpack_from("<H", image, at + 3)
        at += 5
        for _ in range(fields):
            at += image[at] + 2
    return offsets


def with_ids(image, ids):
    """`image` with the id of the definition at each position of `ids` replaced."""
    patched = bytearray(image)
    offsets = id_offsets(image)
    for position, new_id in ids.items():
        struct.pack_into("<H", patched, offsets[position], new_id)
    return bytes(patched)


def objects_text(names):
    """A JSON list of one-member objects, one layout (and so one definition) per name."""
    return "[" + ",".join(f'{{"{name}":{i}}}' for i, name in enumerate(names)) + "]"


# Below and above the number of plans a walk keeps without allocating, and at the boundary.
LAYOUT_COUNTS = [1, 2, 15, 16, 17, 40]


@pytest.mark.parametrize("layouts", LAYOUT_COUNTS)
def test_a_call_never_reuses_the_plans_of_an_earlier_call(layouts):
    first = vorn.dumps(objects_text([f"a{i}" for i in range(layouts)]))
    # The same definitions, positions and field counts, under other names.
    second = vorn.dumps(objects_text([f"b{i}" for i in range(layouts)]))
    assert len(first) == len(second)
    # The object layouts are the last definitions but the list's own, which comes after them:
    # the last object names a definition that no longer exists once its id is changed.
    position = len(id_offsets(first)) - 2
    orphan = with_ids(first, {position: 0xFFFF})
    for _ in range(3):
        assert vorn.loads(first) == [{f"a{i}": i} for i in range(layouts)]
        assert vorn.loads(second) == [{f"b{i}": i} for i in range(layouts)]
        with pytest.raises(ValueError) as info:
            vorn.loads(orphan)
        assert str(info.value) == f"{PREFIX}Unknown definition index: {position}"


@pytest.mark.parametrize("layouts", LAYOUT_COUNTS[1:])
def test_an_object_takes_the_names_of_the_definition_whose_id_it_names(layouts):
    names = [f"k{i}" for i in range(layouts)]
    image = vorn.dumps(objects_text(names))
    offsets = id_offsets(image)
    # Ids of the first and the last object layout exchanged, so each object names the other.
    first, last = len(offsets) - 1 - layouts, len(offsets) - 2
    swapped = with_ids(image, {first: last, last: first})
    expected = [{name: i} for i, name in enumerate(names)]
    expected[0], expected[-1] = {names[-1]: 0}, {names[0]: layouts - 1}
    for _ in range(2):
        assert vorn.loads(swapped) == expected
        assert vorn.loads(image) == [{name: i} for i, name in enumerate(names)]


def test_many_dicts_of_one_plan_keep_their_own_values():
    # From the third dict of a plan on, dicts are made from the layout of an earlier one: each
    # must still hold its own values, also across calls.
    rows = [{"id": i, "name": f"n{i}", "tags": [i, i + 1], "ok": i % 2 == 0} for i in range(50)]
    text = "[" + ",".join(
        f'{{"tags":[{r["id"]},{r["id"] + 1}],"ok":{str(r["ok"]).lower()},'
        f'"name":"{r["name"]}","id":{r["id"]}}}'
        for r in rows
    ) + "]"
    image = vorn.dumps(text)
    for _ in range(3):
        result = vorn.loads(image)
        assert result == rows
        assert [list(row) for row in result] == [["id", "name", "ok", "tags"]] * len(rows)
        result[0]["id"] = -1
        assert result[1]["id"] == 1
