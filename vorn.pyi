"""JSON to VORN, a compact binary format that carries its own schema, and back.

VORN stores 32-bit numbers only: integers keep their low 32 bits and other
numbers are rounded to single precision. Object keys come back in ascending
byte order.

Every failure is raised as an exception whose message names the fault:
``ValueError`` "Failed to parse VORN: ..." for bad JSON text, a refused or
damaged image and the format's limits; ``ValueError`` "IO error: ..." for a
file that cannot be read or written; ``TypeError`` for an argument of the
wrong type or a Python value that ``emit`` cannot store. An internal fault is
raised as ``vorn.PanicException``, a direct subclass of ``BaseException`` (not
of ``Exception``) that the module creates when it is first needed; it is not
an attribute of the module, so catch it as ``BaseException`` if at all.
"""

import builtins
from typing import Any

__all__: list[str]

def dumps(json_text: str) -> builtins.bytes:
    """Compile a JSON string to VORN binary bytes.

    Raises ValueError "Failed to parse VORN: {message}" for text that is not
    JSON or a document beyond the format's limits.
    """

def loads(bytes: builtins.bytes) -> Any:
    """Decompile VORN binary bytes to a Python object.

    The result is built from dict, list, str, int, float, bool and None.
    Only ``bytes`` (and subclasses) are accepted, not bytearray or memoryview.
    Raises ValueError "Failed to parse VORN: {message}" for a damaged image.
    """

def dump(json_text: str, path: str) -> None:
    """Compile JSON string and write VORN binary to a file.

    The file is created or truncated only after compiling succeeded. Raises
    ValueError "IO error: {error}" when it cannot be written.
    """

def load(path: str) -> Any:
    """Read a VORN file and decompile to a Python object.

    ``path`` must be a str (path-like objects are not accepted). Raises
    ValueError "IO error: {error}" when the file cannot be read.
    """

def emit(obj: object) -> builtins.bytes:
    """Emit a Python value as VORN binary (no JSON string).

    Objects are stored by position: their fields are named "f0", "f1", ...;
    a dict's keys are stored as data in the even-numbered fields. Raises
    TypeError for a value that cannot be stored.
    """
