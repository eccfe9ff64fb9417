"""The decompiler's rules, through both readers that apply them: loads, and the vorn command's
decode (the reference tree). Both must give the same value or refuse with the same message:
a stored Bool byte reads as True whenever it is not zero, wherever the Bool stands; a StrRef past
the dict names the dict length only at the top level of an entry; and a fault of the decoder
anywhere in the image comes before a fault of the decompiler."""

import json

import pytest

from tests.support import command
import vorn
from tests.support.image import (
    ARRAY, BOOL, FLOAT32, INT32, OBJECT, STRING,
    arr, array, f32, f32_bits, i32, image, obj, objv, ref, string,
)
from tests.support.refusals import refusal_text

INF, NAN = 0x7F800000, 0x7FC00000
TRUE_BYTES = [b"\x01", b"\x02", b"\x7f", b"\x80", b"\xff"]


class Refused(str):
    """The message a reader refuses an image with (after the prefix of refusals)."""


def by_loads(data, tmp_path):
    try:
        return vorn.loads(data)
    except ValueError as e:
        return Refused(refusal_text(e))


def by_command(data, tmp_path):
    path = tmp_path / "image.vorn"
    path.write_bytes(data)
    proc = command.run("decode", path)
    if proc.returncode == 0:
        return json.loads(proc.stdout)
    assert proc.returncode == 1 and proc.stdout == ""
    prefix = f"vorn: {path}: "
    assert proc.stderr.startswith(prefix) and proc.stderr.endswith("\n")
    return Refused(proc.stderr.removeprefix(prefix)[:-1])


READERS = pytest.mark.parametrize("read", [by_loads, by_command], ids=["loads", "command"])


def same(got, expected):
    """Equal, with bools kept apart from the integers 0 and 1, and refusals from strings."""
    if isinstance(expected, (list, dict)) or isinstance(got, (list, dict)):
        if type(got) is not type(expected) or len(got) != len(expected):
            return False
        if isinstance(expected, dict):
            return list(got) == list(expected) and all(same(got[k], expected[k]) for k in expected)
        return all(same(g, e) for g, e in zip(got, expected))
    return type(got) is type(expected) and got == expected


BOOL_DEFS = [arr(6, BOOL), obj(7, [("a", BOOL), ("b", BOOL), ("n", INT32)]), arr(8, OBJECT),
             arr(9, ARRAY)]

BOOL_CASES = {
    "entries": (image(entries=[(BOOL, b) for b in [b"\x00", *TRUE_BYTES]]),
                [False, True, True, True, True, True]),
    "fixed array": (image(BOOL_DEFS, entries=[(6, array(6, [b"\x00", *TRUE_BYTES]))]),
                    [False, True, True, True, True, True]),
    "arrays in an array": (
        image(BOOL_DEFS,
              entries=[(9, array(9, [array(6, [b"\x02"]), array(6, [b"\xff", b"\x00"])]))]),
        [[True], [True, False]]),
    "object fields": (image(BOOL_DEFS, entries=[(7, objv(7, b"\x02", b"\xff", i32(1)))]),
                      {"a": True, "b": True, "n": 1}),
    "objects in an array": (
        image(BOOL_DEFS, entries=[(8, array(8, [objv(7, b"\x00", b"\x02", i32(1)),
                                                objv(7, b"\xff", b"\x00", i32(2))]))]),
        [{"a": False, "b": True, "n": 1}, {"a": True, "b": False, "n": 2}]),
}


@READERS
@pytest.mark.parametrize("case", BOOL_CASES)
def test_every_non_zero_bool_byte_is_true(read, case, tmp_path):
    data, expected = BOOL_CASES[case]
    assert same(read(data, tmp_path), expected)


STR_DEFS = [arr(6, STRING), obj(7, [("s", STRING), ("t", STRING)]), arr(8, OBJECT),
            obj(9, [("l", ARRAY), ("o", OBJECT)])]

STR_REF_CASES = {
    "entry": (image(entries=[(STRING, ref(3))], strings=["a", "b"]),
              "StrRef index 3 out of bounds (dict len 2)"),
    "entry, no dict block": (image(entries=[(STRING, ref(0))], empty_dict=True),
                             "StrRef index 0 out of bounds (dict len 0)"),
    "second entry": (image(entries=[(STRING, ref(0)), (STRING, ref(4294967295))], strings=["a"]),
                     "StrRef index 4294967295 out of bounds (dict len 1)"),
    "array item": (image(STR_DEFS, ["a", "b"], [(6, array(6, [ref(1), string("x"), ref(2)]))]),
                   "StrRef index 2 out of bounds"),
    "object field": (image(STR_DEFS, ["a"], [(7, objv(7, ref(0), ref(1)))]),
                     "StrRef index 1 out of bounds"),
    "object in an array": (image(STR_DEFS, ["a"], [(8, array(8, [objv(7, ref(0), ref(0)),
                                                                 objv(7, ref(5), ref(0))]))]),
                           "StrRef index 5 out of bounds"),
    "three levels down": (
        image(STR_DEFS, [], [(9, objv(9, array(6, [ref(0)]), objv(7, ref(0), ref(0))))]),
        "StrRef index 0 out of bounds"),
}


@READERS
@pytest.mark.parametrize("case", STR_REF_CASES)
def test_str_ref_past_the_dict(read, case, tmp_path):
    data, message = STR_REF_CASES[case]
    assert same(read(data, tmp_path), Refused(message))


@READERS
def test_str_refs_in_range(read, tmp_path):
    payload = objv(9, array(6, [ref(1), ref(0)]), objv(7, ref(0), string("x")))
    data = image(STR_DEFS, ["a", "é"], [(9, payload)])
    assert same(read(data, tmp_path), {"l": ["é", "a"], "o": {"s": "a", "t": "x"}})


FLOAT_DEFS = [arr(6, FLOAT32), obj(7, [("f", FLOAT32), ("s", STRING)]), arr(8, INT32)]

# A fault of the decompiler, then a fault of the decoder further on: the decoder's is reported.
ORDER_CASES = {
    "StrRef, then a cut entry": (
        image(entries=[(STRING, ref(9)), (INT32, i32(1)[:2])]), "Expected int32 (4 bytes)"),
    "float in a whole array, then a cut array": (
        image(FLOAT_DEFS, entries=[(6, array(6, [f32(1.0), f32_bits(NAN)])),
                                   (8, array(8, [i32(1)], count=2))]),
        "Expected int32 (4 bytes)"),
    "float, then a bad string in the same object": (
        image(FLOAT_DEFS, entries=[(7, objv(7, f32_bits(INF), b"\x05ab"))]),
        "Truncated short string: need 6 bytes, got 3"),
    "field count, then a payload too long": (
        image([obj(7, [("a", INT32)]), obj(6, [("a", INT32), ("b", INT32)])],
              entries=[(6, objv(6, i32(1))), (INT32, i32(1) + b"\x00")]),
        "Mismatch entry 1: consumed 4 of 5"),
    # With nothing wrong further on, the decompiler's first fault stands.
    "float before StrRef": (
        image(FLOAT_DEFS, entries=[(7, objv(7, f32_bits(INF | 0x80000000), ref(0)))]),
        "Cannot represent float -inf"),
    "float after the items that pass": (
        image(FLOAT_DEFS,
              entries=[(6, array(6, [f32(0.5), f32(2.0), f32_bits(NAN), f32_bits(INF)]))]),
        "Cannot represent float NaN"),
}


@READERS
@pytest.mark.parametrize("case", ORDER_CASES)
def test_decoder_faults_come_first(read, case, tmp_path):
    data, message = ORDER_CASES[case]
    assert same(read(data, tmp_path), Refused(message))


@READERS
def test_many_fields_out_of_order_with_duplicates(read, tmp_path):
    # 40 fields, names f19 .. f00 twice over: each key keeps the value of its later field.
    names = [f"f{19 - i % 20:02d}" for i in range(40)]
    data = image([obj(6, [(n, INT32) for n in names])],
                 entries=[(6, objv(6, *(i32(i) for i in range(40))))])
    expected = {f"f{k:02d}": 39 - k for k in range(20)}
    assert same(read(data, tmp_path), expected)
