"""The case tables that more than one test runs: malformed images with the message of the first
fault the decoder finds (DECODE_CASES), and well-formed blocks whose values the decompiler refuses
(DECOMPILE_CASES). tests/test_format_doc.py checks that docs/FORMAT.md lists every message."""

import struct

from tests.support.image import (
    BOOL, FLOAT32, INT32, NULL, OBJECT, PREDEFINED, STRING, UINT32, arr, array, assemble,
    data_block, defs_block, dict_block, entry_image, f32, f32_bits, header, i32, image, obj, objv,
    prim, raw_defs, ref,
)

DEFS = defs_block(PREDEFINED)
DICT = dict_block([])
ONE_INT = data_block([(INT32, i32(1))])

DECODE_CASES = [
    # header
    (b"", "Header requires 13 bytes, got 0"),
    (assemble(DEFS, DICT, ONE_INT)[:12], "Header requires 13 bytes, got 12"),
    (assemble(DEFS, DICT, ONE_INT, version=2), "Unsupported VORN version: 2"),
    (header(d=12), "Def block offset 12 before header"),
    (header(d=20, s=19, a=19) + bytes(8), "Dict block offset 19 before defs"),
    (header(s=30, a=29) + bytes(20), "Data block offset 29 before dict"),
    (header(a=40) + bytes(26), "Data block offset 40 exceeds buffer length 39"),
    # definition block
    (header(), "Definition block too short: 0 bytes"),
    (assemble(raw_defs(2049, bytes(6147)), DICT, ONE_INT),
     "Definition count 2049 exceeds max 2048"),
    (assemble(raw_defs(2, bytes(3)), DICT, ONE_INT),
     "Definition block has 5 bytes but 2 defs require 8"),
    (assemble(raw_defs(2, obj(6, [("a", 2)])), DICT, ONE_INT),
     "Truncated definition block at entry 1"),
    (assemble(raw_defs(1, prim(7)), DICT, ONE_INT), "Unknown VORN type tag: 0x07"),
    (assemble(raw_defs(1, arr(6, 0x12)), DICT, ONE_INT), "Unknown VORN type tag: 0x12"),
    (assemble(raw_defs(1, obj(6, [("a", 0xFF)])), DICT, ONE_INT), "Unknown VORN type tag: 0xFF"),
    (assemble(raw_defs(2, obj(6, [("a", 2)]) + b"\x00"), DICT, ONE_INT),
     "Truncated definition index"),
    (assemble(raw_defs(1, arr(6, 2)[:3]), DICT, ONE_INT), "Truncated array elem_type"),
    (assemble(raw_defs(1, obj(6, [])[:3]), DICT, ONE_INT), "Truncated object field count"),
    (assemble(raw_defs(1, struct.pack("<BHH", OBJECT, 9, 257)), DICT, ONE_INT),
     "Object #9 has 257 fields (max 256)"),
    (assemble(raw_defs(1, struct.pack("<BHH", OBJECT, 6, 1)), DICT, ONE_INT),
     "Truncated field 0 name length"),
    (assemble(raw_defs(1, obj(6, [("a", 2), ("bc", 2)])[:-1]), DICT, ONE_INT),
     "Truncated field 1 name data"),
    (assemble(raw_defs(1, obj(6, [(b"a\xff", 2)])), DICT, ONE_INT),
     "Invalid UTF-8 in field name: invalid utf-8 sequence of 1 bytes from index 1"),
    # dict block
    (assemble(DEFS, b"\x00\x00", ONE_INT), "Dict block too short for entry count"),
    (assemble(DEFS, b"\x01\x00\x00\x00", ONE_INT), "Truncated dict string"),
    (assemble(DEFS, b"\x01\x00\x00\x00\xc0\x05hello", ONE_INT),
     "Invalid dict string encoding byte: 0xC0"),
    (assemble(DEFS, b"\x01\x00\x00\x00\xff\x00\x00\x00\x00", ONE_INT),
     "Invalid dict string encoding byte: 0xFF"),
    (assemble(DEFS, b"\x01\x00\x00\x00\xfe\x01\x00", ONE_INT), "Truncated long dict string"),
    (assemble(DEFS, b"\x01\x00\x00\x00\x80", ONE_INT), "Truncated medium dict string"),
    (assemble(DEFS, b"\x01\x00\x00\x00\x05ab", ONE_INT), "Truncated dict string data"),
    (assemble(DEFS, b"\x01\x00\x00\x00\x02a\xc3", ONE_INT),
     "Invalid UTF-8 in dict: incomplete utf-8 byte sequence from index 1"),
    # data block
    (assemble(DEFS, DICT, b"\x00\x00\x00"), "Data block too short: 3 bytes"),
    (assemble(DEFS, DICT, struct.pack("<I", 1048577)),
     "Data entry count 1048577 exceeds max 1048576"),
    (assemble(DEFS, DICT, struct.pack("<IHH", 1, 2, 4)), "Truncated entry 0 header"),
    (assemble(DEFS, DICT, data_block([(INT32, i32(1))])[:-1]),
     "Entry 0 payload (4 bytes) exceeds buffer"),
    (assemble(DEFS, DICT, data_block([(INT32, i32(1)), (NULL, b"")])[:-1]),
     "Truncated entry 1 header"),
    (entry_image(9, i32(1)), "Unknown definition index: 9"),
    (entry_image(NULL, b"\x00"), "Mismatch entry 0: consumed 0 of 1"),
    # arrays
    (entry_image(6, b"\x06", [arr(6, INT32)]), "Truncated array self_def_index"),
    (entry_image(6, array(40, []), [arr(6, INT32)]), "Unknown definition index: 40"),
    (entry_image(6, array(2, []), [arr(6, INT32)]), "Array #2 has no elem_type"),
    (entry_image(6, array(7, []), [arr(6, INT32), obj(7, [])]), "Array #7 has no elem_type"),
    (entry_image(6, array(6, [])[:3], [arr(6, INT32)]), "Truncated array elem_def_index"),
    (entry_image(6, array(6, [])[:5], [arr(6, INT32)]), "Truncated array count"),
    (entry_image(6, array(6, [i32(1)], count=2), [arr(6, INT32)]), "Expected int32 (4 bytes)"),
    # objects
    (entry_image(6, b"\x06", [obj(6, [])]), "Truncated object self_def_index"),
    (entry_image(6, objv(41), [obj(6, [])]), "Unknown definition index: 41"),
    (entry_image(6, objv(1), [obj(6, [])]), "Object #1 has no fields"),
    (entry_image(6, objv(7), [obj(6, []), arr(7, INT32)]), "Object #7 has no fields"),
    # primitives
    (entry_image(BOOL, b""), "Expected bool byte"),
    (entry_image(INT32, b"\x00" * 3), "Expected int32 (4 bytes)"),
    (entry_image(UINT32, b"\x00" * 3), "Expected uint32 (4 bytes)"),
    (entry_image(FLOAT32, b"\x00" * 3), "Expected float32 (4 bytes)"),
    (entry_image(STRING, b""), "Expected string/StrRef byte"),
    (entry_image(STRING, b"\x03a"), "Truncated short string: need 4 bytes, got 2"),
    (entry_image(STRING, b"\x80"), "Truncated medium string length"),
    (entry_image(STRING, b"\x80\x80a"), "Truncated medium string: need 130 bytes, got 3"),
    (entry_image(STRING, b"\xfe\x01\x00"), "Truncated long string length"),
    (entry_image(STRING, b"\xfe\x02\x00\x00a"), "Truncated long string: need 6 bytes, got 5"),
    (entry_image(STRING, b"\xff\x00\x00\x00"), "Truncated StrRef dict index"),
    (entry_image(STRING, b"\x04a\xe2\x82A"),
     "Invalid UTF-8 string: invalid utf-8 sequence of 2 bytes from index 1"),
]


INF, NAN = 0x7F800000, 0x7FC00000

DECOMPILE_CASES = [
    (image(entries=[(STRING, ref(3))], strings=["a", "b"]),
     "StrRef index 3 out of bounds (dict len 2)"),
    (image([arr(6, STRING)], ["a", "b"], [(6, array(6, [ref(0), ref(3)]))]),
     "StrRef index 3 out of bounds"),
    (image([obj(6, [("s", STRING)])], ["a"], [(6, objv(6, ref(1)))]),
     "StrRef index 1 out of bounds"),
    (image(entries=[(INT32, i32(1)), (STRING, ref(4294967295))]),
     "StrRef index 4294967295 out of bounds (dict len 0)"),
    (image(entries=[(FLOAT32, f32_bits(INF))]), "Cannot represent float inf"),
    (image(entries=[(FLOAT32, f32_bits(INF | 0x80000000))]), "Cannot represent float -inf"),
    (image(entries=[(FLOAT32, f32_bits(NAN))]), "Cannot represent float NaN"),
    (image([arr(6, FLOAT32)], entries=[(6, array(6, [f32(1.0), f32_bits(0xFFC00001)]))]),
     "Cannot represent float NaN"),
    # Position 7 has id 9: nothing has id 7.
    (image([obj(6, []), obj(9, [("a", INT32)])], entries=[(6, objv(7, i32(1)))]),
     "Unknown definition index: 7"),
    # Position 6 (id 7, two fields) reads the value; id 6 is an array definition at position 7.
    (image([obj(7, [("a", INT32), ("b", INT32)]), arr(6, INT32)],
           entries=[(6, objv(6, i32(1), i32(2)))]),
     "Object #6: no field definitions"),
    (image([obj(7, [("a", INT32), ("b", INT32)]), obj(6, [("x", 2), ("y", 2), ("z", 2)])],
           entries=[(6, objv(6, i32(1), i32(2)))]),
     "Object #6: expected 3 fields, got 2"),
    # The parent's checks come before its children's, children in order, entries in order.
    (image([obj(6, [("f", FLOAT32), ("s", STRING)])],
           entries=[(6, objv(6, f32_bits(INF), ref(9)))]),
     "Cannot represent float inf"),
    (image([obj(6, [("s", STRING), ("f", FLOAT32)])],
           entries=[(6, objv(6, ref(9), f32_bits(INF)))]),
     "StrRef index 9 out of bounds"),
    (image([obj(6, [("o", OBJECT)]), obj(9, [])],
           entries=[(FLOAT32, f32_bits(NAN)), (6, objv(6, objv(7)))]),
     "Cannot represent float NaN"),
    (image([obj(6, [("s", STRING), ("o", OBJECT)]), obj(9, [])],
           entries=[(6, objv(6, ref(9), objv(7)))]),
     "StrRef index 9 out of bounds"),
    (image([obj(6, [("o", OBJECT), ("s", STRING)]), obj(9, [])],
           entries=[(6, objv(6, objv(7), ref(9)))]),
     "Unknown definition index: 7"),
    # A field that a later duplicate name replaces is still checked.
    (image([obj(6, [("x", STRING), ("x", INT32)])], entries=[(6, objv(6, ref(0), i32(1)))]),
     "StrRef index 0 out of bounds"),
]
