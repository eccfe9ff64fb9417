"""Every string, whatever its length, comes back byte for byte: the writers copy short strings
with moves sized by length class, and a copy one byte short at the edge of a class keeps the
image's length right while leaving a byte behind."""

import json

import pytest

import vorn

# Every length up to the largest short and medium forms and beyond, so that each length class
# of every copy and every string form is met at both of its edges.
LENGTHS = list(range(0, 140)) + [255, 256, 257, 16383, 16384, 16385]

MAX_FIELD_NAME_BYTES = 255

# Texts of `n` bytes in UTF-8: ASCII, and two-byte and three-byte characters after an ASCII run.
MAKERS = {
    "ascii": lambda n: "".join(chr(ord("a") + i % 26) for i in range(n)),
    "two-byte tail": lambda n: "x" * (n % 2) + "é" * (n // 2),
    "three-byte tail": lambda n: "y" * (n % 3) + "€" * (n // 3),
}


def texts():
    for kind, make in MAKERS.items():
        for n in LENGTHS:
            text = make(n)
            assert len(text.encode()) == n
            yield kind, text


TEXTS = list(texts())


@pytest.mark.parametrize("kind", MAKERS)
def test_emit_keeps_strings_of_every_length(kind):
    for text in [t for k, t in TEXTS if k == kind]:
        # Alone, as list items (distinct strings, so not shared through the dict), and as the
        # key and the value of a dict, which emit writes as the fields f0 and f1.
        assert vorn.loads(vorn.emit(text)) == text, len(text.encode())
        assert vorn.loads(vorn.emit([text, text + "!"])) == [text, text + "!"]
        assert vorn.loads(vorn.emit({text: text + "?"})) == {"f0": text, "f1": text + "?"}


@pytest.mark.parametrize("kind", MAKERS)
def test_dumps_keeps_strings_of_every_length(kind):
    for text in [t for k, t in TEXTS if k == kind]:
        values = [text, [text, text + "!"], {"k": text}]
        if len(text.encode()) <= MAX_FIELD_NAME_BYTES:
            values.append({text: 1, "": 2})
        for value in values:
            assert vorn.loads(vorn.dumps(json.dumps(value))) == value, len(text.encode())

