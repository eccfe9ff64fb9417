"""dumps against an independent model of the compiler, on documents sized around the points where
the compiler's tables leave the storage they start in (nodes, layouts, members, definitions,
strings, lookup keys, nesting), and on string tables large enough for the compiler to hash
strings ahead of its walk: every size must give exactly the model's bytes."""

import json

import pytest

import vorn
from tests.support.command import SANITIZED, run
from tests.support.image import model_image


def distinct_layouts(n):
    """n objects whose member names all differ: n object definitions."""
    return [{f"k{i}": i, f"m{i}": [i]} for i in range(n)]


def layouts_twice(n):
    """distinct_layouts(n), then the same objects with their members in the other order: new
    layouts of the text for definitions that exist already."""
    first = distinct_layouts(n)
    return first + [dict(reversed(list(o.items()))) for o in first]


def wide_object(n):
    """One object of n members, named in descending order so that they must be sorted."""
    return {f"f{i:03d}": i for i in reversed(range(n))}


def repeated_strings(n):
    """n distinct strings, each twice, then all of them once more."""
    words = [f"word-{i}" for i in range(n)]
    return words + words + words


def long_names(n, length):
    """n objects, each with its own member names of `length` bytes."""
    return [{chr(97 + i % 26) * length + str(i): i, "z" * length: True} for i in range(n)]


def reordered_nesting(depth):
    """Objects inside each other, each with its members out of key order."""
    value = {"b": 1, "a": "leaf"}
    for i in range(depth):
        value = {"z": i, "b": "s", "a": value}
    return value


DOCUMENTS = (
    [("ints", list(range(n))) for n in (0, 1, 40, 62, 63, 64, 65, 200)]
    + [("layouts", distinct_layouts(n)) for n in (1, 7, 8, 9, 15, 16, 17, 60)]
    + [("layouts twice", layouts_twice(n)) for n in (3, 8, 9, 20)]
    + [("wide", wide_object(n)) for n in (1, 2, 15, 16, 17, 31, 32, 33, 255)]
    + [("strings", repeated_strings(n)) for n in (1, 7, 8, 9, 12, 13, 16, 17, 300)]
    + [("long names", long_names(n, length)) for n, length in ((1, 60), (2, 60), (3, 120),
                                                               (12, 200))]
    + [("nesting", reordered_nesting(depth)) for depth in (1, 15, 16, 17, 33, 100)]
    + [("mixed", {"id": 12345, "name": "Ada", "tags": ["a", "b", "a"], "score": 98.5,
                  "ok": None, "sub": [{"x": [[1], [2, 3]]}, {"x": []}], "e": {}})]
)


@pytest.mark.parametrize("name,value", DOCUMENTS,
                         ids=[f"{name}-{i}" for i, (name, _) in enumerate(DOCUMENTS)])
def test_dumps_matches_the_model_at_every_size(name, value):
    text = json.dumps(value, separators=(",", ":"), ensure_ascii=False)
    assert vorn.dumps(text) == model_image(value)


def test_calls_leave_nothing_behind_for_the_next():
    # Large, small and failing calls in turn: every result is what a fresh call gives.
    texts = [json.dumps(value) for _, value in DOCUMENTS]
    expected = [vorn.dumps(t) for t in texts]
    for round_ in range(2):
        for text, image in zip(texts if round_ == 0 else reversed(texts),
                               expected if round_ == 0 else reversed(expected)):
            assert vorn.dumps(text) == image
            with pytest.raises(ValueError, match="Array item 1 is String but elem_type is Int32"):
                vorn.dumps('[{"a": [1, "x"]}]')


@pytest.mark.parametrize("text,image_hex", [
    ('{"a":1}', "010d000000290000002d00000007000000000101000202000303000404000505001106000100"
                "0161020000000001000000060006000000060001000000"),
    ('"x"', "010d000000210000002500000006000000000101000202000303000404000505000000000001"
            "0000000500020000000178"),
    ("[]", "010d00000025000000290000000700000000010100020200030300040400050500100600000000"
           "000001000000060006000000060000000000"),
])
def test_smallest_documents_give_exact_bytes(text, image_hex):
    assert vorn.dumps(text).hex() == image_hex


def many_strings(prefix, n, again):
    """n distinct strings in records (arrays of at most 10000 of them), then every `again`-th of
    them once more."""
    words = [f"{prefix}{i:06d}" for i in range(n)]
    records = [{"k": w, "n": i} for i, w in enumerate(words)]
    return {"recs": [records[i:i + 10_000] for i in range(0, n, 10_000)], "again": words[::again]}


@pytest.mark.parametrize("n", [40_000, 70_000])
def test_large_string_tables_give_the_models_bytes(n):
    value = [many_strings("s", n, 3), many_strings("s", n // 2, 5)]
    assert vorn.dumps(json.dumps(value)) == model_image(value)


@pytest.mark.skipif(SANITIZED, reason="slow under the sanitizers")
def test_json_lines_with_a_large_string_table(tmp_path):
    # Each line numbers its nodes from the start again, and the second has the first one's shape
    # with other strings: nothing hashed ahead on one line may stand for a string of the next.
    lines = [many_strings("a", 70_000, 2), many_strings("b", 70_000, 2),
             {"b": many_strings("b", 100, 2), "a": ["a000004", "b000001", "c"]}]
    src = tmp_path / "in.jsonl"
    src.write_text("\n".join(json.dumps(v) for v in lines) + "\n")
    result = run("encode", "--lines", src, "-o", tmp_path / "out.vorn")
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "out.vorn").read_bytes() == model_image(*lines)
