"""Converts a JSON file (the bundled catalog by default) to VORN and prints both sizes."""

import pathlib
import sys

import vorn


def main() -> int:
    path = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "examples/catalog.json")
    text = path.read_text(encoding="utf-8")
    image = vorn.dumps(text)
    json_size = len(text.encode("utf-8"))
    print(f"{path.name}: JSON {json_size} bytes, VORN {len(image)} bytes "
          f"({len(image) / json_size:.1%} of the JSON)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
