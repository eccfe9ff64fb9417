"""Builds VORN images byte by byte for the loads tests, so that any layout can be written,
including the ones the compiler never produces."""

import struct

NULL, BOOL, INT32, UINT32, FLOAT32, STRING, ARRAY, OBJECT = 0, 1, 2, 3, 4, 5, 16, 17


def prim(kind, ident=None):
    """A definition of kind 0-5 (or any byte, for bad kinds)."""
    return struct.pack("<BH", kind, kind if ident is None else ident)


def arr(ident, elem):
    return struct.pack("<BHB", ARRAY, ident, elem)


def obj(ident, fields):
    """An object definition; `fields` holds (name, tag) pairs, names as str or bytes."""
    out = struct.pack("<BHH", OBJECT, ident, len(fields))
    for name, tag in fields:
        raw = name.encode() if isinstance(name, str) else name
        out += struct.pack("<B", len(raw)) + raw + struct.pack("<B", tag)
    return out


PREDEFINED = [prim(k) for k in range(6)]


def defs_block(defs):
    return struct.pack("<H", len(defs)) + b"".join(defs)


def string(text):
    """A string in the smallest form the encoder would pick."""
    raw = text.encode() if isinstance(text, str) else text
    n = len(raw)
    if n < 128:
        return struct.pack("<B", n) + raw
    if n < 16384:
        return struct.pack("<BB", 0x80 | n >> 8, n & 0xFF) + raw
    return b"\xfe" + n.to_bytes(3, "little") + raw


def dict_block(strings):
    return struct.pack("<I", len(strings)) + b"".join(string(s) for s in strings)


def i32(v):
    return struct.pack("<i", v)


def u32(v):
    return struct.pack("<I", v)


def f32(v):
    return struct.pack("<f", v)


def f32_bits(bits):
    return struct.pack("<I", bits)


def ref(index):
    return b"\xff" + struct.pack("<I", index)


def array(self_def, items, elem_def=0, count=None):
    n = len(items) if count is None else count
    return struct.pack("<HHH", self_def, elem_def, n) + b"".join(items)


def objv(self_def, *values):
    return struct.pack("<H", self_def) + b"".join(values)


def data_block(entries):
    out = struct.pack("<I", len(entries))
    for def_index, payload in entries:
        out += struct.pack("<HI", def_index, len(payload)) + payload
    return out


def assemble(defs_bytes, dict_bytes, data_bytes, version=1):
    d = 13
    s = d + len(defs_bytes)
    a = s + len(dict_bytes)
    return struct.pack("<BIII", version, d, s, a) + defs_bytes + dict_bytes + data_bytes


def image(defs=(), strings=(), entries=(), *, empty_dict=False):
    """An image with the six predefined definitions followed by `defs`; `entries` holds
    (definition index, payload) pairs."""
    dict_bytes = b"" if empty_dict else dict_block(list(strings))
    return assemble(defs_block(PREDEFINED + list(defs)), dict_bytes, data_block(list(entries)))


NESTING_DEFS = [arr(6, ARRAY), arr(7, INT32), obj(8, [("o", OBJECT)]), obj(9, [("v", INT32)])]


def nested_arrays(levels):
    """`levels` arrays inside each other around the Int32 7: definition 7 innermost, 6 outside;
    for an image with NESTING_DEFS."""
    payload = array(7, [i32(7)])
    for _ in range(levels - 1):
        payload = array(6, [payload])
    return payload


def nested_objects(levels):
    """`levels` objects inside each other (field "o", definition 8), the innermost (definition 9)
    holding the Int32 7; for an image with NESTING_DEFS."""
    payload = objv(9, i32(7))
    for _ in range(levels - 1):
        payload = objv(8, payload)
    return payload
