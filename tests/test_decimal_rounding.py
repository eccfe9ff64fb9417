"""Decimal numbers that are hard to round read back as Python's own correctly rounded float,
narrowed to single precision by a C cast (through ctypes).

The hard cases sit next to the points where rounding changes its mind: the midpoints between two
adjacent floats, and, for the decimal-to-double step that comes first, the midpoints between two
adjacent doubles that lie next to a midpoint of floats. A decimal of nineteen significant digits
just above such a point must round up; a conversion that drops the low half of its 128-bit
product sees it just below and rounds the other way."""

import ctypes
import math
import random
import struct
from decimal import ROUND_CEILING, ROUND_FLOOR, Context, Decimal
from fractions import Fraction

import pytest

import vorn


def narrowed(text):
    return ctypes.c_float(float(text)).value


def float32_neighbours(rng):
    """A random finite single-precision value and the next one up, both positive."""
    while True:
        bits = rng.randrange(0x00800000, 0x7F7FFFFF)
        low = struct.unpack("<f", struct.pack("<I", bits))[0]
        high = struct.unpack("<f", struct.pack("<I", bits + 1))[0]
        return Fraction(low), Fraction(high)


def decimal_text(value, digits, rounding):
    """`value` (a Fraction) as a decimal of `digits` significant digits, rounded one way."""
    context = Context(prec=digits, rounding=rounding)
    number = context.divide(Decimal(value.numerator), Decimal(value.denominator))
    return format(number, "e")


def double_half_ulp(value):
    _, exponent = math.frexp(float(value))
    return Fraction(2) ** (exponent - 54)


def hard_cases(seed, count):
    rng = random.Random(seed)
    cases = []
    for _ in range(count):
        low, high = float32_neighbours(rng)
        mid = (low + high) / 2
        for point in (mid, mid + double_half_ulp(mid), mid - double_half_ulp(mid)):
            for digits in (17, 19, 25):
                for rounding in (ROUND_CEILING, ROUND_FLOOR):
                    cases.append(decimal_text(point, digits, rounding))
    return cases


@pytest.mark.parametrize("seed", range(4))
def test_near_midpoints_round_as_python_does(seed):
    cases = hard_cases(seed, 400)
    cases = [c for c in cases if math.isfinite(narrowed(c))]
    got = vorn.loads(vorn.dumps("[" + ",".join(cases) + "]"))
    wrong = [(c, g, narrowed(c)) for c, g in zip(cases, got) if g != narrowed(c)]
    assert wrong == []


EDGES = [
    "3.4028234663852886e38",   # the largest float
    "3.4028235677973366e38",   # just below where it rounds to infinity
    "1.1754943508222875e-38",  # the smallest normal float
    "1.1754942106924411e-38",  # the largest subnormal float
    "1.401298464324817e-45",   # the smallest subnormal float
    "7.006492321624085e-46",   # half of it: ties to even, to zero
    "7.006492321624086e-46",   # just above half: rounds up to the smallest
    "2.2250738585072014e-308",  # the smallest normal double
    "4.9406564584124654e-324",  # the smallest subnormal double
    "1.7976931348623157e308",  # the largest double
    "9007199254740993",        # 2**53 + 1 as an integer-valued float text
    "9007199254740993.0",
    "0.1", "0.2", "0.3", "1e23", "8.41e21", "5e-324", "1e-400",
    "123456789012345678901234567890e-20",
    "0.000000000000000000000000000000000000000000001",
    "1" + "0" * 400 + "e-400",
    "0." + "0" * 300 + "1" + "9" * 200,
]


@pytest.mark.parametrize("text", EDGES)
@pytest.mark.parametrize("sign", ["", "-"])
def test_edges_of_both_precisions(text, sign):
    text = sign + text
    expected = narrowed(text)
    if not math.isfinite(expected):
        with pytest.raises(ValueError, match="Cannot represent float"):
            vorn.dumps(f"[{text}]")
        return
    got = vorn.loads(vorn.dumps(f"[{text}, 0.5]"))[0]
    assert struct.pack("<d", got) == struct.pack("<d", expected)
