"""Small struct helpers that take a VORN image apart, for asserting what dumps wrote."""

import struct
from dataclasses import dataclass

TAG_NAMES = {0: "Null", 1: "Bool", 2: "Int32", 3: "UInt32", 4: "Float32", 5: "String",
             16: "Array", 17: "Object"}


@dataclass
class Image:
    definitions: list  # (kind, id, elem_type) for arrays, (kind, id, [(name, tag)]) for objects
    strings: list
    entries: list  # (def_index, payload bytes)


def read_string(b, pos):
    lead = b[pos]
    if lead < 0x80:
        n, pos = lead, pos + 1
    elif lead < 0xC0:
        n, pos = ((lead & 0x3F) << 8) | b[pos + 1], pos + 2
    elif lead == 0xFE:
        n, pos = int.from_bytes(b[pos + 1:pos + 4], "little"), pos + 4
    else:
        raise AssertionError(f"lead byte {lead:#x}")
    return b[pos:pos + n].decode(), pos + n


def parse_image(b):
    version, def_off, dict_off, data_off = struct.unpack_from("<BIII", b, 0)
    assert (version, def_off) == (1, 13)
    (count,) = struct.unpack_from("<H", b, def_off)
    pos, defs = def_off + 2, []
    for _ in range(count):
        kind, did = struct.unpack_from("<BH", b, pos)
        pos += 3
        if kind == 16:
            defs.append((kind, did, b[pos]))
            pos += 1
        elif kind == 17:
            (n,) = struct.unpack_from("<H", b, pos)
            pos, fields = pos + 2, []
            for _ in range(n):
                name = b[pos + 1:pos + 1 + b[pos]].decode()
                pos += 1 + b[pos]
                fields.append((name, b[pos]))
                pos += 1
            defs.append((kind, did, fields))
        else:
            defs.append((kind, did, None))
    assert pos == dict_off
    (count,) = struct.unpack_from("<I", b, dict_off)
    pos, strings = dict_off + 4, []
    for _ in range(count):
        s, pos = read_string(b, pos)
        strings.append(s)
    assert pos == data_off
    (count,) = struct.unpack_from("<I", b, data_off)
    pos, entries = data_off + 4, []
    for _ in range(count):
        index, length = struct.unpack_from("<HI", b, pos)
        entries.append((index, b[pos + 6:pos + 6 + length]))
        pos += 6 + length
    assert pos == len(b)
    return Image(defs, strings, entries)


def payload(img, tag, b, pos=0):
    """One payload as tagged tuples: (tag name, value) for scalars, ("StrRef", i),
    ("Array", self_def, elem_def, items) and ("Object", self_def, values)."""
    if tag == 0:
        return ("Null", None), pos
    if tag == 1:
        return ("Bool", b[pos]), pos + 1
    if tag in (2, 3, 4):
        (v,) = struct.unpack_from({2: "<i", 3: "<I", 4: "<f"}[tag], b, pos)
        return (TAG_NAMES[tag], v), pos + 4
    if tag == 5:
        if b[pos] == 0xFF:
            return ("StrRef", struct.unpack_from("<I", b, pos + 1)[0]), pos + 5
        s, pos = read_string(b, pos)
        return ("String", s), pos
    self_def, = struct.unpack_from("<H", b, pos)
    definition = img.definitions[self_def]
    if tag == 16:
        elem_def, n = struct.unpack_from("<HH", b, pos + 2)
        pos, items = pos + 6, []
        for _ in range(n):
            item, pos = payload(img, definition[2], b, pos)
            items.append(item)
        return ("Array", self_def, elem_def, items), pos
    pos, values = pos + 2, []
    for _, field_tag in definition[2]:
        value, pos = payload(img, field_tag, b, pos)
        values.append(value)
    return ("Object", self_def, values), pos


def root(img):
    """The single entry's definition index and its payload as tagged tuples."""
    [(index, body)] = img.entries
    kind = img.definitions[index][0]
    value, end = payload(img, kind, body)
    assert end == len(body)
    return index, value


def to_python(img):
    """The image's value as plain Python: field names back, StrRefs resolved."""
    def convert(v):
        kind = v[0]
        if kind == "StrRef":
            return img.strings[v[1]]
        if kind == "Array":
            return [convert(item) for item in v[3]]
        if kind == "Object":
            names = [name for name, _ in img.definitions[v[1]][2]]
            return {name: convert(value) for name, value in zip(names, v[2])}
        if kind == "Bool":
            return bool(v[1])
        return v[1]
    return convert(root(img)[1])
