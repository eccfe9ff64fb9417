"""The benchmark's checks of each timed result: what vorn is expected to give back (the rules of
narrowing, promotion and key order live once, in the tests' model of the format) and what a peer
must read back. Each check returns None when the result is right, else ("note" | "fail", text)."""

from __future__ import annotations

import math
import struct
from typing import Any, Callable

import vorn

from tests.support import model as vorn_model
from tests.support.model import float32


def drop_none(v):
    """v without None: dict members holding None and None list items dropped, recursively."""
    if isinstance(v, dict):
        return {k: drop_none(x) for k, x in v.items() if x is not None}
    if isinstance(v, list):
        return [drop_none(x) for x in v if x is not None]
    return v

def emit_limits(root) -> list[str]:
    """What in an emit input keeps loads from reading the image back."""
    reasons: set[str] = set()
    array_defs: set[str] = set()
    object_defs: set[tuple] = set()
    stack = [(vorn_model.read_py(root), 1)]
    while stack:
        v, depth = stack.pop()
        if vorn_model.kind(v) == "Float32" and not math.isfinite(float32(v.value)):
            reasons.add("a float beyond the float32 range")
        if not isinstance(v, (list, dict)):
            continue
        if depth > 128:
            reasons.add("nesting deeper than 128 levels")
        items = v if isinstance(v, list) else list(v.values())
        if isinstance(v, list):
            array_defs.add(vorn_model.kind(v[0]) if v else "Null")
            if len(v) > 65535:
                reasons.add("a list of more than 65535 items")
        else:
            object_defs.add(tuple(map(vorn_model.kind, items)))
            if len(v) > 256:
                reasons.add("a dict of more than 128 entries (more than 256 fields)")
        stack.extend((x, depth + 1) for x in items)
    if 6 + len(array_defs) + len(object_defs) > 2048:
        reasons.add("more than 2048 definitions")
    return sorted(reasons)

def adjacent_float32(a: float, b: float) -> bool:
    """True when a and b are the same or neighbouring binary32 values of one sign."""
    ia, ib = (struct.unpack("<i", struct.pack("<f", x))[0] for x in (a, b))
    return (ia < 0) == (ib < 0) and abs(ia - ib) <= 1

def first_difference(got, want, float_slack: bool = False, path: str = "$") -> str | None:
    """Where got differs from want (types strict, bool apart from int, dict keys in ascending byte
    order), or None. float_slack accepts a neighbouring float32, the room a decimal reader that
    is not correctly rounded may take before narrowing."""
    if type(got) is not type(want):
        return (f"{path}: got {type(got).__name__} {abbrev(got)}, "
                f"expected {type(want).__name__} {abbrev(want)}")
    if isinstance(want, dict):
        keys = list(got)
        if keys != sorted(keys, key=lambda k: k.encode("utf-8", "surrogatepass")):
            return f"{path}: keys not in ascending byte order: {abbrev(keys)}"
        if got.keys() != want.keys():
            return (f"{path}: keys differ: missing {abbrev(sorted(want.keys() - got.keys()))}, "
                    f"extra {abbrev(sorted(got.keys() - want.keys()))}")
        for k in want:
            d = first_difference(got[k], want[k], float_slack, f"{path}.{k}")
            if d:
                return d
        return None
    if isinstance(want, list):
        if len(got) != len(want):
            return f"{path}: {len(got)} items, expected {len(want)}"
        for i, (g, w) in enumerate(zip(got, want)):
            d = first_difference(g, w, float_slack, f"{path}[{i}]")
            if d:
                return d
        return None
    if isinstance(want, float):
        same = got == want and math.copysign(1, got) == math.copysign(1, want)
        if same or (float_slack and math.isfinite(want) and float32(got) == got
                    and adjacent_float32(got, want)):
            return None
    elif got == want:
        return None
    return f"{path}: got {got!r}, expected {want!r}"

def abbrev(v, limit: int = 80) -> str:
    text = repr(v)
    return text if len(text) <= limit else text[: limit - 3] + "..."


Problem = tuple[str, str] | None

def equal(expected) -> Callable[[Any], Problem]:
    return lambda result: None if result == expected else ("fail", "result differs from json.loads")

def decodes_to(decode: Callable[[Any], Any], expected) -> Callable[[Any], Problem]:
    def check(result):
        try:
            back = decode(result)
        except Exception as exc:  # noqa: BLE001 - any failure to read back is the finding
            return ("fail", f"cannot read the result back: {type(exc).__name__}: {exc}")
        return None if back == expected else ("fail", "result does not read back as the value")

    return check

def check_image_header(image) -> str | None:
    if type(image) is not bytes:
        return f"result is {type(image).__name__}, not bytes"
    if len(image) < 13:
        return f"image of {len(image)} bytes is shorter than its 13-byte header"
    version, def_at, dict_at, data_at = struct.unpack_from("<BIII", image)
    if version != 1 or def_at != 13 or not 13 <= dict_at <= data_at <= len(image):
        return f"bad header: version {version}, block offsets {def_at} {dict_at} {data_at}"
    return None

def check_dumps(text: str) -> Callable[[Any], Problem]:
    def check(image):
        problem = check_image_header(image)
        if problem:
            return ("fail", problem)
        if vorn.dumps(text) != image:
            return ("fail", "a second dumps of the same text gives other bytes")
        return None

    return check

def check_loads(text: str) -> Callable[[Any], Problem]:
    def check(result):
        d = first_difference(result, vorn_model.expected_loads(text), float_slack=True)
        return ("fail", f"loads(image) differs from the narrowed value at {d}") if d else None

    return check

def check_emit(value, limits: list[str]) -> Callable[[Any], Problem]:
    def check(image):
        problem = check_image_header(image)
        if problem:
            return ("fail", problem)
        try:
            back = vorn.loads(image)
        except NotImplementedError:
            return ("note", "not read back: loads is not implemented")
        except ValueError as exc:
            if limits:
                return ("note", f"loads refuses the image ({exc}); the value has "
                                f"{'; '.join(limits)}")
            return ("fail", f"loads refuses the image: {exc}")
        d = first_difference(back, vorn_model.expected_emit_loads(value))
        return ("fail", f"loads(emit(obj)) differs from the positional form at {d}") if d else None

    return check
