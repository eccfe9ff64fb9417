"""Takes apart the images that dumps and emit write, for tests that look inside them.

Definitions read as (kind, id, detail): the element tag for arrays, the [(name, tag)] fields for
objects, None otherwise. Payloads read through their definitions, so reading also checks that
each container's definition describes it: scalars as (tag name, value) ("Bool" keeps its byte,
"StrRef" its index), arrays as ("Array", self_def_index, elem_def_index, items) and objects as
("Object", self_def_index, values).
"""

import struct
from dataclasses import dataclass

TAG_NAMES = {0: "Null", 1: "Bool", 2: "Int32", 3: "UInt32", 4: "Float32", 5: "String",
             16: "Array", 17: "Object"}
PREDEFINED = [(i, i, None) for i in range(6)]


@dataclass
class Image:
    definitions: list
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
    for position in range(count):
        kind, did = struct.unpack_from("<BH", b, pos)
        assert did == position
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
    """One payload of type `tag` at b[pos:], and the position after it."""
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
    kind, _, detail = img.definitions[self_def]
    assert kind == tag
    if tag == 16:
        elem_def, n = struct.unpack_from("<HH", b, pos + 2)
        pos, items = pos + 6, []
        for _ in range(n):
            item, pos = payload(img, detail, b, pos)
            items.append(item)
        return ("Array", self_def, elem_def, items), pos
    pos, values = pos + 2, []
    for _, field_tag in detail:
        value, pos = payload(img, field_tag, b, pos)
        values.append(value)
    return ("Object", self_def, values), pos


def root(img):
    """The single entry's definition index and its payload."""
    [(index, body)] = img.entries
    value, end = payload(img, img.definitions[index][0], body)
    assert end == len(body)
    return index, value


def untagged(v):
    """A payload with scalars bare ("Bool" as bool; compare reprs to tell Int32 from Float32)."""
    if v[0] == "Array":
        return (*v[:3], [untagged(x) for x in v[3]])
    if v[0] == "Object":
        return (*v[:2], [untagged(x) for x in v[2]])
    return bool(v[1]) if v[0] == "Bool" else v[1]


def to_python(img):
    """The image's value as loads builds it: field names back in byte order, StrRefs resolved."""
    def convert(v):
        kind = v[0]
        if kind == "StrRef":
            return img.strings[v[1]]
        if kind == "Array":
            return [convert(item) for item in v[3]]
        if kind == "Object":
            fields = dict(zip((name for name, _ in img.definitions[v[1]][2]), v[2]))
            return {k: convert(fields[k]) for k in sorted(fields, key=str.encode)}
        return bool(v[1]) if kind == "Bool" else v[1]
    return convert(root(img)[1])
