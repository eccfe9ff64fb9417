"""What a writer returns, loads reads. dumps, dump and emit refuse, before anything is returned or
written, exactly the images that loads would refuse, with loads' message: after the encoder's own
refusals, more definitions than the decoder reads, then the first object definition with more
fields than it reads, then the first float that is infinite or NaN."""

import json
import math
import struct

import pytest
from hypothesis import assume, event, given
from hypothesis import strategies as st

import vorn
from tests.support.refusals import refusal, refusal_text

INF, NEG_INF, NAN = 0x7F800000, 0xFF800000, 0x7FC00000
# The smallest magnitude that narrows to a float32 infinity (a tie there rounds to 2^128).
F32_OVERFLOW = float.fromhex("0x1.ffffffp127")


def dump_bytes(text, directory):
    """dump into a new file, then the file's bytes; a refused dump must leave no file."""
    path = directory / f"out{len(list(directory.iterdir()))}.vorn"
    try:
        vorn.dump(text, str(path))
    except ValueError:
        assert not path.exists()
        raise
    return path.read_bytes()


def members(n, prefix="k"):
    return "{" + ",".join(f'"{prefix}{i}":{i}' for i in range(n)) + "}"


def layouts_json(n):
    """A list of n objects of n layouts: n + 7 definitions with the list's and the six
    predefined ones."""
    return "[" + ",".join(f'{{"k{i}":1}}' for i in range(n)) + "]"


def layouts(n):
    """A list of n dicts whose items have n different sequences of kinds (a bool or an int per
    bit of i below its highest): n + 7 definitions under emit."""
    return [{str(j): True if i >> j & 1 else 0 for j in range(i.bit_length() - 1)}
            for i in range(1, n + 1)]


@pytest.mark.parametrize("text, message", [
    (members(256), None),
    (members(257), "Object #6 has 257 fields (max 256)"),
    # The first such definition in table order (objects are numbered after their contents).
    ("[" + members(1) + "," + members(257) + "]", "Object #7 has 257 fields (max 256)"),
    ("[" + members(258) + "," + members(257, "j") + "]", "Object #6 has 258 fields (max 256)"),
    (layouts_json(2041), None),
    (layouts_json(2042), "Definition count 2049 exceeds max 2048"),
    # The decoder reads the count before any definition.
    ('{"a": ' + layouts_json(2042) + ', "b": ' + members(300) + "}",
     "Definition count 2051 exceeds max 2048"),
    ("1e39", "Cannot represent float inf"),
    ("-1e39", "Cannot represent float -inf"),
    ("3.4028235677973362e38", None),  # just below the midpoint: the largest float
    ("3.4028235677973366e38", "Cannot represent float inf"),
    ("1" + "0" * 40, "Cannot represent float inf"),  # an integer beyond 64 bits
    ("[0.5, 1e39, 7]", "Cannot represent float inf"),
    ("[1e39, -1e39]", "Cannot represent float inf"),
    # Payload order: members in key order.
    ('{"b": 1e39, "a": [-1e39]}', "Cannot represent float -inf"),
    # Fields before floats; the encoder's refusals before the reader's.
    ('{"x": 1e39, "y": ' + members(257) + "}", "Object #6 has 257 fields (max 256)"),
    ('{"' + "k" * 256 + '": 1e39, "y": ' + members(257) + "}", "Field name too long"),
    ("[" + ",".join(["1e39"] * 65536) + "]", "Array has 65536 items (max 65535)"),
])
@pytest.mark.parametrize("writer", ["dumps", "dump"])
def test_json_writers_refuse_what_loads_refuses(tmp_path, writer, text, message):
    write = vorn.dumps if writer == "dumps" else lambda t: dump_bytes(t, tmp_path)
    if message is None:
        vorn.loads(write(text))
    else:
        assert refusal(write, text) == message


def test_dump_keeps_an_existing_file_when_refusing(tmp_path):
    path = tmp_path / "out.vorn"
    path.write_bytes(b"old")
    assert refusal(vorn.dump, "1e39", str(path)) == "Cannot represent float inf"
    assert path.read_bytes() == b"old"


@pytest.mark.parametrize("obj, message", [
    (math.inf, "Cannot represent float inf"),
    (-math.inf, "Cannot represent float -inf"),
    (math.nan, "Cannot represent float NaN"),
    (-math.nan, "Cannot represent float NaN"),
    (1e39, "Cannot represent float inf"),
    (2**200, "Cannot represent float inf"),  # beyond 64 bits, so read as a float
    (-(2**200), "Cannot represent float -inf"),
    ([1.5, math.inf, math.nan], "Cannot represent float inf"),
    ([1, math.inf], "Cannot represent float inf"),  # numbers of both kinds: a Float32 list
    ({"b": -math.inf, "a": math.nan}, "Cannot represent float -inf"),  # insertion order
    ({str(i): i for i in range(128)}, None),
    ({str(i): i for i in range(129)}, "Object #6 has 258 fields (max 256)"),
    # A list takes its id before its items, a dict after its items.
    ([{"a": 1}, {str(i): i for i in range(129)}], "Object #8 has 258 fields (max 256)"),
    (layouts(2041), None),
    (layouts(2042), "Definition count 2049 exceeds max 2048"),
    ([layouts(2042), [{str(i): i for i in range(129)}]],
     "Definition count 2051 exceeds max 2048"),
    ({"x": math.inf, "y": {str(i): i for i in range(129)}}, "Object #6 has 258 fields (max 256)"),
    ({"a": list(range(65536)), "b": math.inf}, "Array has 65536 items (max 65535)"),
    ({str(i): math.nan for i in range(32768)}, "Object #6 has 65536 fields (max 65535)"),
])
def test_emit_refuses_what_loads_refuses(obj, message):
    if message is None:
        vorn.loads(vorn.emit(obj))
    else:
        assert refusal(vorn.emit, obj) == message


# The property: a value whose numbers may narrow to infinities or NaN, and that may hold an
# object too wide for the decoder. Each such number is replaced by a sentinel float that the
# value holds nowhere else; the image of that value is made by the writer itself and the
# sentinels patched back into the bytes the number would have had. That patched image is what a
# writer without the check would have returned: the writer must refuse the value with the
# message loads gives for it, or, with nothing to patch, return an image that loads reads.
SENTINELS = [struct.unpack("<f", struct.pack("<I", 0x7E6B5A00 + i))[0] for i in range(64)]


def narrowed_bits(x, writer):
    """The float32 bits a number becomes, when they are infinite or NaN; else None."""
    if isinstance(x, bool):
        return None
    if isinstance(x, int):
        # Integers within 64 bits become Int32 (or UInt32 in JSON); others go through a double.
        if (-(2**63) <= x < 2**63) or (writer != "emit" and 0 <= x < 2**64):
            return None
        x = float(x)
    if not isinstance(x, float):
        return None
    if math.isnan(x):
        return NAN
    if abs(x) >= F32_OVERFLOW:
        return INF if x > 0 else NEG_INF
    return None


def with_sentinels(v, writer, patches):
    bits = narrowed_bits(v, writer)
    if bits is not None:
        sentinel = SENTINELS[len(patches)]
        patches.append((sentinel, bits))
        return sentinel
    if isinstance(v, list):
        return [with_sentinels(x, writer, patches) for x in v]
    if isinstance(v, dict):
        return {k: with_sentinels(x, writer, patches) for k, x in v.items()}
    return v


def patched(image, patches):
    image = bytearray(image)
    for sentinel, bits in patches:
        needle = struct.pack("<f", sentinel)
        at = image.find(needle)
        assume(at >= 0 and image.find(needle, at + 1) < 0)
        struct.pack_into("<I", image, at, bits)
    return bytes(image)


def numbers(writer):
    floats = st.floats(allow_nan=writer == "emit", allow_infinity=writer == "emit")
    big = st.integers(2**60, 2**400) | st.integers(-(2**400), -(2**60))
    return floats | big | st.integers(-5, 5) | st.sampled_from([1e39, -1e39, 3.5e38, -3.5e38])


def values(writer):
    wide = st.integers(126, 130) if writer == "emit" else st.integers(254, 258)
    scalars = numbers(writer) | st.booleans() | st.text(max_size=4)
    return st.recursive(
        scalars | wide.map(lambda n: {f"w{i}": i for i in range(n)}),
        lambda c: (st.lists(numbers(writer), max_size=4) | st.lists(st.text(max_size=3))
                   | st.lists(c.map(lambda v: [v]), max_size=3)
                   | st.dictionaries(st.text(max_size=3), c, max_size=4)),
        max_leaves=12)


def writer_call(writer, tmp_path):
    if writer == "emit":
        return vorn.emit
    if writer == "dumps":
        return lambda v: vorn.dumps(json.dumps(v))
    return lambda v: dump_bytes(json.dumps(v), tmp_path)


@pytest.mark.parametrize("writer", ["dumps", "dump", "emit"])
@given(data=st.data())
def test_writers_return_only_what_loads_reads(tmp_path_factory, writer, data):
    value = data.draw(values(writer))
    write = writer_call(writer, tmp_path_factory.mktemp("w"))
    patches = []
    safe = with_sentinels(value, writer, patches)
    try:
        safe_image = write(safe)
    except ValueError as error:
        # Refused before its floats count: only an object too wide for the decoder can be here,
        # and the value with its own numbers is refused the same way.
        event("an object too wide")
        message = refusal_text(error)
        assert message.startswith("Object #") and message.endswith(" fields (max 256)")
        assert refusal(write, value) == message
        return
    vorn.loads(safe_image)
    if not patches:
        event("readable")
        assert write(value) == safe_image
        return
    event("a float that is not finite")
    expected = refusal(vorn.loads, patched(safe_image, patches))
    assert expected.startswith("Cannot represent float ")
    assert refusal(write, value) == expected


LONG = "s" * 16777216  # one byte more than any string form holds
TOO_LONG = "String exceeds maximum inline length (16 777 215 bytes)"


# The encoder's own order, which the three writers share: the definitions, then the dict strings,
# then the payload.
@pytest.mark.parametrize("write, value, message", [
    ("dumps", {"k" * 256: [LONG, LONG]}, "Field name too long"),
    ("dumps", [[LONG, LONG], [0] * 65536], TOO_LONG),
    ("emit", {"a": {str(i): 0 for i in range(32768)}, "b": LONG},
     "Object #6 has 65536 fields (max 65535)"),
    ("emit", [[LONG], list(range(65536))], TOO_LONG),
], ids=["dumps: definitions first", "dumps: dict before payload", "emit: definitions first",
        "emit: dict before payload"])
def test_encoder_refusal_order(write, value, message):
    if write == "dumps":
        assert refusal(vorn.dumps, json.dumps(value)) == message
    else:
        assert refusal(vorn.emit, value) == message
