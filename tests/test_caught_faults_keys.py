"""dumps orders the members of an object by the bytes of their names, one member per name and the
last of a repeated name winning, whatever the names share: the compiler compares the first eight
bytes of two names as one number before it looks at the rest, so names that agree up to or past
that point are where an ordering fault hides."""

import json
import random

import pytest

import vorn


def byte_order(names):
    return sorted(set(names), key=lambda name: name.encode())


def shared_prefix_names(prefix_len, count):
    """Names sharing their first prefix_len bytes, differing in the next byte or in length."""
    stem = "abcdefghijkl"[:prefix_len]
    names = [stem]
    for i in range(count - 1):
        names.append(stem + chr(0x21 + (i * 37) % 90) + "xyz"[: i % 4])
    return names


# Around the eight bytes compared as one number, for few members (sorted by insertion) and many.
CASES = [(prefix_len, count) for prefix_len in range(5, 12) for count in (3, 9, 16, 17, 40)]


@pytest.mark.parametrize("prefix_len, count", CASES)
def test_members_come_in_byte_order_of_their_names(prefix_len, count):
    names = byte_order(shared_prefix_names(prefix_len, count))
    rng = random.Random(prefix_len * 100 + count)
    for _ in range(4):
        shuffled = names[:]
        rng.shuffle(shuffled)
        text = json.dumps({name: i for i, name in enumerate(shuffled)})
        image = vorn.dumps(text)
        result = vorn.loads(image)
        assert list(result) == names
        assert result == {name: i for i, name in enumerate(shuffled)}
        # The order of the text does not reach the image.
        assert image == vorn.dumps(json.dumps({name: result[name] for name in names}))


@pytest.mark.parametrize("prefix_len", [0, 7, 8, 9])
def test_a_repeated_name_keeps_its_last_value_and_one_place(prefix_len):
    stem = "p" * prefix_len
    members = [(stem + "b", 1), (stem + "a", 2), (stem + "b", 3), (stem, 4), (stem + "a", 5)]
    text = "{" + ",".join(f"{json.dumps(k)}:{v}" for k, v in members) + "}"
    expected = {stem: 4, stem + "a": 5, stem + "b": 3}
    image = vorn.dumps(text)
    assert vorn.loads(image) == expected
    assert list(vorn.loads(image)) == list(expected)
    # The same image as the text without the values that lose.
    assert image == vorn.dumps(json.dumps(expected))
