"""Converts a JSON file (the bundled catalog by default) to VORN and back, checks that the result
equals the JSON with its numbers narrowed to 32 bits, and prints the sizes and the check."""

import json
import pathlib
import struct
import sys

import vorn


def narrowed(value, promote=False):
    """The value a VORN image gives back: integers keep their low 32 bits, floats become single
    precision, keys come in byte order, and arrays mixing integers and floats hold floats."""
    if isinstance(value, bool) or value is None or isinstance(value, str):
        return value
    if isinstance(value, (int, float)) and (promote or isinstance(value, float)):
        return struct.unpack("<f", struct.pack("<f", float(value)))[0]
    if isinstance(value, int):
        low = value & 0xFFFFFFFF
        return low if value >= 2**63 or low < 2**31 else low - 2**32
    if isinstance(value, list):
        numbers = all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in value)
        kinds = {isinstance(v, float) for v in value}
        mixed = bool(value) and numbers and len(kinds) > 1
        return [narrowed(v, mixed) for v in value]
    return {k: narrowed(value[k]) for k in sorted(value, key=lambda k: k.encode("utf-8"))}


def main() -> int:
    path = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "examples/catalog.json")
    text = path.read_text(encoding="utf-8")
    image = vorn.dumps(text)
    json_size = len(text.encode("utf-8"))
    print(f"{path.name}: JSON {json_size} bytes, VORN {len(image)} bytes "
          f"({len(image) / json_size:.1%} of the JSON)")
    same = vorn.loads(image) == narrowed(json.loads(text))
    print(f"loads(dumps(text)) equals the JSON narrowed to 32 bits: {'yes' if same else 'NO'}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
