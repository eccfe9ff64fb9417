"""Converts a JSON file (the bundled catalog by default) to VORN and back, checks that the result
equals the JSON with its numbers narrowed to 32 bits, and prints the sizes and the check."""

import pathlib
import sys

import vorn

# The rules of narrowing and key order live once, in the tests' model; run from the repository
# root as `python -m examples.run`, which puts both packages on the path.
from tests.support.model import expected_loads, identical


def main() -> int:
    path = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "examples/catalog.json")
    text = path.read_text(encoding="utf-8")
    image = vorn.dumps(text)
    json_size = len(text.encode("utf-8"))
    print(f"{path.name}: JSON {json_size} bytes, VORN {len(image)} bytes "
          f"({len(image) / json_size:.1%} of the JSON)")
    same = identical(vorn.loads(image), expected_loads(text))
    print(f"loads(dumps(text)) equals the JSON narrowed to 32 bits: {'yes' if same else 'NO'}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
