"""A small reader of the images emit writes, for tests that look inside them.

Payloads are read through their definitions, so reading also checks that each container's
definition describes it. Arrays read as ("arr", self_def_index, elem_def_index, items), objects as
("obj", self_def_index, values); Int32 and Float32 read as int and float (compare reprs to tell
them apart).
"""

import struct

TAGS = {0: "Null", 1: "Bool", 2: "Int32", 3: "UInt32", 4: "Float32", 5: "String", 16: "Array",
        17: "Object"}


class Image:
    def __init__(self, image):
        self.b, self.pos = image, 0
        version, defs_at, dict_at, data_at = self.take("<BIII")
        assert (version, defs_at) == (1, 13)
        self.defs = [self.definition(i) for i in range(self.take("<H")[0])]
        assert self.pos == dict_at
        self.strings = [self.string() for _ in range(self.take("<I")[0])]
        assert self.pos == data_at
        assert self.take("<I")[0] == 1
        self.def_index, length = self.take("<HI")
        self.payload = self.value(self.defs[self.def_index])
        assert self.pos == data_at + 10 + length == len(image)

    @property
    def new_defs(self):
        assert self.defs[:6] == [TAGS[i] for i in range(6)]
        return self.defs[6:]

    def take(self, fmt):
        out = struct.unpack_from(fmt, self.b, self.pos)
        self.pos += struct.calcsize(fmt)
        return out

    def definition(self, position):
        kind, ident = self.take("<BH")
        assert ident == position
        if kind == 16:
            return ("Array", TAGS[self.take("<B")[0]])
        if kind == 17:
            fields = []
            for _ in range(self.take("<H")[0]):
                name = self.b[self.pos + 1:self.pos + 1 + self.b[self.pos]].decode()
                self.pos += 1 + len(name)
                fields.append((name, TAGS[self.take("<B")[0]]))
            return ("Object", fields)
        return TAGS[kind]

    def string(self):
        lead = self.take("<B")[0]
        if lead < 0x80:
            n = lead
        elif lead < 0xC0:
            n = (lead & 0x3F) << 8 | self.take("<B")[0]
        else:
            assert lead == 0xFE
            low, high = self.take("<HB")
            n = low | high << 16
        self.pos += n
        return self.b[self.pos - n:self.pos].decode()

    def value(self, d):
        tag = d if isinstance(d, str) else d[0]
        if tag == "Bool":
            return bool(self.take("<B")[0])
        if tag in ("Int32", "Float32"):
            return self.take("<i" if tag == "Int32" else "<f")[0]
        if tag == "String":
            return self.string()
        self_def = self.take("<H")[0]
        kind, inner = self.defs[self_def]
        assert kind == tag
        if tag == "Array":
            elem_def, count = self.take("<HH")
            return ("arr", self_def, elem_def, [self.value(inner) for _ in range(count)])
        return ("obj", self_def, [self.value(t) for _, t in inner])
