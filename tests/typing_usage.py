"""Typed use of the module; the suite checks it with mypy --strict against vorn.pyi."""

from typing import Any

import vorn


def round_trip(text: str, path: str) -> tuple[bytes, Any, Any]:
    image: bytes = vorn.dumps(text)
    vorn.dump(json_text=text, path=path)
    value = vorn.loads(image)
    from_file = vorn.load(path)
    return image, value, from_file


def emitted(values: dict[str, list[float]]) -> int:
    image: bytes = vorn.emit(obj=values)
    return len(image) + len(vorn.__all__)


def describe(image: bytes) -> str:
    try:
        return repr(vorn.loads(bytes=image))
    except ValueError as e:
        return str(e)
