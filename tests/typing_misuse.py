"""Uses that the stubs must reject; the suite expects mypy to flag every marked line."""

import vorn

vorn.dumps(b"[1]")  # error: bytes for str
vorn.loads(bytearray(b""))  # error: bytearray for bytes
vorn.load(path=3)  # error: int for str
vorn.dump("[1]")  # error: missing path
count: int = vorn.emit([1])  # error: bytes to int
vorn.dumps(text="[1]")  # error: unknown keyword
