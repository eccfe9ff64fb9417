"""The format's rules as Python sees them: what loads gives back for an image made by dumps from
JSON text or by emit from a Python value. Used by the tests, examples/run.py and the benchmark's
checks (bench/checks.py).

Both paths go through one value tree: JSON text and Python values are first read into plain
values whose numbers are `Number`s, each with the 32-bit kind it is stored as, and `loaded` turns
such a tree into what loads returns (refusals, promotion of mixed number arrays, narrowing, key
order), so every rule below is written once.
"""

import json
import math
import struct
from typing import NamedTuple

INT32, UINT32, FLOAT32 = "Int32", "UInt32", "Float32"
NUMBER_KINDS = (INT32, UINT32, FLOAT32)


class Refused(ValueError):
    """What dumps or emit refuses, with the module's message (after "Failed to parse VORN: ")."""


class Number(NamedTuple):
    """A number as the image stores it: `value` is an integer for Int32 and UInt32 (all of it;
    the image keeps the low 32 bits) and a double for Float32 (the image keeps its float32)."""

    kind: str
    value: int | float


def float32(x: int | float) -> float:
    """x rounded to the nearest binary32 value, ties to even, and widened back to a float;
    magnitudes beyond the binary32 range become infinities of their sign, NaN stays NaN. An int
    is rounded from its exact value, never through a double."""
    if isinstance(x, int):
        magnitude, sign = abs(x), -1 if x < 0 else 1
        extra = magnitude.bit_length() - 24
        if extra > 0:  # keep 24 significant bits, ties to even
            kept, rest = divmod(magnitude, 1 << extra)
            half = 1 << (extra - 1)
            kept += rest > half or (rest == half and kept & 1)
            magnitude = kept << extra
        if magnitude >= 2**128:
            return math.copysign(math.inf, sign)
        x = float(sign * magnitude)
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def int32_bits(n: int) -> int:
    """The low 32 bits of n read as a two's-complement signed integer."""
    return ((n & 0xFFFFFFFF) ^ 0x80000000) - 0x80000000


def read_number(literal: str) -> Number:
    """A JSON number literal as the compiler classifies it: integers from -2**63 to 2**63 - 1 are
    Int32, from 2**63 to 2**64 - 1 UInt32; -0, fractions, exponents and integers beyond those
    ranges are Float32 (their double). A magnitude beyond the double range is refused."""
    if literal.lstrip("-").isdigit() and literal != "-0":
        n = int(literal)
        if -(2**63) <= n < 2**64:
            return Number(INT32 if n < 2**63 else UINT32, n)
    try:
        value = float(literal)
    except OverflowError:
        value = math.inf
    if math.isinf(value):
        raise Refused("number out of range")
    return Number(FLOAT32, value)


def byte_order(d: dict) -> dict:
    """d with its keys in ascending order of their UTF-8 bytes."""
    return {k: d[k] for k in sorted(d, key=lambda k: k.encode("utf-8", "surrogatepass"))}


def read_json(text: str):
    """JSON text as a value tree: numbers as `Number`s, object keys in byte order, the last of
    repeated keys winning. The text is taken to be JSON the module accepts (depth, syntax)."""

    def constant(name):
        raise ValueError(f"{name} is not JSON")

    return json.loads(text, parse_int=read_number, parse_float=read_number,
                      parse_constant=constant, object_pairs_hook=lambda p: byte_order(dict(p)))


def read_py(obj):
    """A Python value as emit reads it: a dict of n entries becomes {"f0": key 0, "f1": value 0,
    ...}; ints within 64 bits are Int32 of their low 32 bits, other ints and floats are Float32.
    Raises emit's TypeError for what it does not accept."""
    if isinstance(obj, (bool, str)):
        return obj
    if isinstance(obj, int) and -(2**63) <= obj < 2**63:
        return Number(INT32, int32_bits(obj))
    if isinstance(obj, (int, float)):
        try:
            return Number(FLOAT32, float(obj))
        except OverflowError:
            pass
    elif isinstance(obj, list):
        return [read_py(x) for x in obj]
    elif isinstance(obj, dict):
        return {f"f{i}": x for i, x in enumerate(
            y for k, v in obj.items() for y in (k, read_py(v)))}
    raise TypeError(f"Unsupported Python type: {type(obj).__name__}")


def kind(v) -> str:
    """The type tag name a tree value is stored under."""
    if isinstance(v, Number):
        return v.kind
    if v is None:
        return "Null"
    return {bool: "Bool", str: "String", list: "Array", dict: "Object"}[type(v)]


def loaded(tree):
    """What loads returns for the image of a value tree, or Refused as dumps and emit refuse it.
    Arrays are checked after their items: every item must have the kind of the first non-null
    one, except that numbers of several kinds make an array of Float32, each item the float32 of
    its exact value. Int32 keeps the low 32 bits signed, UInt32 unsigned; Float32 is rounded."""
    if isinstance(tree, Number):
        if tree.kind == FLOAT32:
            return float32(tree.value)
        return int32_bits(tree.value) if tree.kind == INT32 else tree.value & 0xFFFFFFFF
    if isinstance(tree, dict):
        return byte_order({k: loaded(v) for k, v in tree.items()})
    if not isinstance(tree, list):
        return tree
    items = [loaded(x) for x in tree]
    kinds = [kind(x) for x in tree]
    elem = next((k for k in kinds if k != "Null"), "Null")
    for i, k in enumerate(kinds):
        if k != elem and not (k in NUMBER_KINDS and elem in NUMBER_KINDS):
            raise Refused(f"Array item {i} is {k} but elem_type is {elem}")
    if len(set(kinds)) > 1:
        return [float32(x.value) for x in tree]
    return items


def readable(tree):
    """What loads returns for the image of a value tree, or Refused as dumps and emit refuse it:
    `loaded`'s refusals first, then the first Float32 that narrows to an infinity or NaN, in the
    order the image holds the values (dict items in the tree's order: key order for JSON, the
    positional order for emit), with the message loads would give."""
    value = loaded(tree)

    def non_finite(v):
        if isinstance(v, Number):
            f = float32(v.value) if v.kind == FLOAT32 else 0.0
            return None if math.isfinite(f) else "NaN" if f != f else "inf" if f > 0 else "-inf"
        items = v.values() if isinstance(v, dict) else v if isinstance(v, list) else ()
        return next(filter(None, map(non_finite, items)), None)

    name = non_finite(tree)
    if name is not None:
        raise Refused(f"Cannot represent float {name}")
    return value


def expected_loads(json_text: str):
    """What loads(dumps(json_text)) returns, or Refused as dumps refuses it."""
    return readable(read_json(json_text))


def expected_emit_loads(obj):
    """What loads(emit(obj)) returns, or Refused as emit refuses it."""
    return readable(read_py(obj))


def identical(a, b) -> bool:
    """Equal values of the same types all the way down, dict keys in the same order, zeros of the
    same sign, NaN equal to NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(identical(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(map(identical, a, b))
    if isinstance(a, float):
        return (a == b and math.copysign(1, a) == math.copysign(1, b)) or a != a and b != b
    return a == b


def changed_numbers(original, restored) -> int:
    """How many numbers of original differ in restored, a value of the same shape; 1 and 1.0
    differ, NaN is never counted."""
    if isinstance(original, dict):
        return sum(changed_numbers(original[k], restored[k]) for k in original)
    if isinstance(original, list):
        return sum(changed_numbers(a, b) for a, b in zip(original, restored))
    if isinstance(original, float) and math.isnan(original):
        return 0
    return int(isinstance(original, (int, float)) and json.dumps(original) != json.dumps(restored))
