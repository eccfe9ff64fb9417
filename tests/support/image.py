"""The tests' one model of images: constants for the type tags, builders that write an image byte
by byte (so that any layout can be written, including the ones the compiler never produces), a
reader that takes apart the images dumps and emit write, and model_image, an independent model
of the bytes dumps gives for JSON text.

The reader gives definitions as (kind, id, detail): the element tag for arrays, the [(name, tag)]
fields for objects, None otherwise. Payloads read through their definitions, so reading also
checks that each container's definition describes it: scalars as (tag name, value) ("Bool" keeps
its byte, "StrRef" its index), arrays as ("Array", self_def_index, elem_def_index, items) and
objects as ("Object", self_def_index, values).
"""

import struct
from dataclasses import dataclass

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


# The six definitions every image starts with, as written.
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


def header(version=1, d=13, s=13, a=13):
    """A header alone, with any offsets."""
    return struct.pack("<BIII", version, d, s, a)


def raw_defs(count, body):
    """A definition block whose count need not match its body."""
    return struct.pack("<H", count) + body


def image(defs=(), strings=(), entries=(), *, empty_dict=False):
    """An image with the six predefined definitions followed by `defs`; `entries` holds
    (definition index, payload) pairs."""
    dict_bytes = b"" if empty_dict else dict_block(list(strings))
    return assemble(defs_block(PREDEFINED + list(defs)), dict_bytes, data_block(list(entries)))


def entry_image(def_index, payload, defs=()):
    """An image of one entry."""
    return image(defs, entries=[(def_index, payload)])


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


# Reading

TAG_NAMES = {NULL: "Null", BOOL: "Bool", INT32: "Int32", UINT32: "UInt32", FLOAT32: "Float32",
             STRING: "String", ARRAY: "Array", OBJECT: "Object"}
# The six definitions every image starts with, as parse_image reads them.
PREDEFINED_PARSED = [(i, i, None) for i in range(6)]


@dataclass
class Image:
    definitions: list
    strings: list
    entries: list  # (def_index, payload bytes)


def read_string(b, pos):
    """A string in any of its three forms at b[pos:], and the position after it."""
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
    """The image's blocks, checked to fill it exactly."""
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


# The model of dumps

def model_image(*values):
    """The image dumps gives for the JSON text of a value (no mixed arrays, integers below 2^63,
    floats that float32 holds), or the JSON Lines text of several, one entry each: definitions
    numbered as the walk first needs them, members in key byte order, a string's second and
    later occurrences as references into the dict."""
    defs, arrays, objects, seen, dict_strings = [], {}, {}, {}, []

    def kind(v):
        if v is None:
            return NULL
        if isinstance(v, bool):
            return BOOL
        if isinstance(v, int):
            return INT32
        if isinstance(v, float):
            return FLOAT32
        if isinstance(v, str):
            return STRING
        return ARRAY if isinstance(v, list) else OBJECT

    def new_id():
        return 6 + len(defs)

    def walk(v):
        """(payload, the definition the value stands for as an array element)"""
        k = kind(v)
        if k == NULL:
            return b"", 0
        if k == BOOL:
            return bytes([v]), BOOL
        if k == INT32:
            return struct.pack("<i", v), INT32
        if k == FLOAT32:
            return struct.pack("<f", v), FLOAT32
        if k == STRING:
            if v not in seen:
                seen[v] = None
                raw = v.encode()
                head = (struct.pack("<B", len(raw)) if len(raw) < 128
                        else struct.pack("<BB", 0x80 | len(raw) >> 8, len(raw) & 0xFF))
                return head + raw, STRING
            if seen[v] is None:
                seen[v] = len(dict_strings)
                dict_strings.append(v)
            return b"\xff" + struct.pack("<I", seen[v]), STRING
        if k == ARRAY:
            items = [walk(item) for item in v]
            elem = next((kind(item) for item in v if item is not None), NULL)
            if elem not in arrays:
                arrays[elem] = new_id()
                defs.append(arr(arrays[elem], elem))
            elem_def = next((d for item, (_, d) in zip(v, items) if item is not None), 0)
            return (struct.pack("<HHH", arrays[elem], elem_def, len(v)) +
                    b"".join(p for p, _ in items)), elem_def
        members = sorted(v.items(), key=lambda kv: kv[0].encode())
        values = [walk(x)[0] for _, x in members]
        signature = tuple((key, kind(x)) for key, x in members)
        if signature not in objects:
            objects[signature] = new_id()
            defs.append(obj(objects[signature], list(signature)))
        return struct.pack("<H", objects[signature]) + b"".join(values), objects[signature]

    entries = []
    for value in values:
        payload, _ = walk(value)
        root_kind = kind(value)
        root_def = (struct.unpack_from("<H", payload)[0] if root_kind in (ARRAY, OBJECT)
                    else root_kind)
        entries.append((root_def, payload))
    return assemble(defs_block(PREDEFINED + defs), dict_block(dict_strings), data_block(entries))
