"""The libraries vorn is measured against, in one table: which module each needs, the calls that
stand beside each vorn function, and how each call's result is checked."""

from __future__ import annotations

import functools
import importlib
import json
import marshal
import pickle
from dataclasses import dataclass
from typing import Any, Callable

import vorn

from bench.checks import (Problem, check_dumps, check_emit, check_loads, decodes_to, emit_limits,
                    equal)

PEER_MODULES = ("orjson", "msgspec", "ssrjson", "yyjson", "simdjson", "msgpack", "ormsgpack",
                "cbor2", "zstandard")
# Distribution names where they differ from the module's.
DISTRIBUTIONS = {"simdjson": "pysimdjson"}


def optional_module(name: str):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


MODS = {name: optional_module(name) for name in PEER_MODULES}


@dataclass
class Candidate:
    name: str
    needs: tuple[str, ...]
    make: Callable[[], Callable[[], Any]]  # built only when the needed modules are present
    check: Callable[[Any], Problem]
    is_vorn: bool = False

    def missing(self) -> list[str]:
        """The needed modules that are not installed."""
        return [m for m in self.needs if MODS[m] is None]


@dataclass(frozen=True)
class Peer:
    """One peer's function, as `name` in the tables: `get(MODS)` gives it once `needs` are there."""
    name: str
    needs: tuple[str, ...]
    get: Callable[[dict], Callable[..., Any]]


# JSON text to Python objects.
JSON_READERS = (
    Peer("orjson.loads", ("orjson",), lambda m: m["orjson"].loads),
    Peer("msgspec.json.decode", ("msgspec",), lambda m: m["msgspec"].json.decode),
    Peer("ssrjson.loads", ("ssrjson",), lambda m: m["ssrjson"].loads),
    Peer("yyjson.loads", ("yyjson",), lambda m: m["yyjson"].loads),
    Peer("json.loads", (), lambda m: json.loads),
)
# The two fastest of them, beside which small documents are measured.
FAST_JSON_READERS = JSON_READERS[:2]

# MessagePack: each library's writer and reader, named for the corpus tables and, with the
# function's own name, for the small-document tables.
MSGPACK_WRITERS = (
    Peer("msgpack", ("msgpack",), lambda m: m["msgpack"].packb),
    Peer("ormsgpack", ("ormsgpack",), lambda m: m["ormsgpack"].packb),
    Peer("msgspec.msgpack", ("msgspec",), lambda m: m["msgspec"].msgpack.encode),
)
MSGPACK_READERS = (
    Peer("msgpack", ("msgpack",), lambda m: m["msgpack"].unpackb),
    Peer("ormsgpack", ("ormsgpack",), lambda m: m["ormsgpack"].unpackb),
    Peer("msgspec.msgpack", ("msgspec",), lambda m: m["msgspec"].msgpack.decode),
)
# The peers of the scaling table (scaling.py), each with what it reads: the JSON text, the value
# in MessagePack (written by its own library), or the value itself.
SCALING_PEERS = {
    "orjson.loads": (JSON_READERS[0], "text"),
    "ormsgpack.unpackb": (MSGPACK_READERS[1], "msgpack"),
    "ormsgpack.packb": (MSGPACK_WRITERS[1], "value"),
}
SMALL_NAMES = {"ormsgpack": ("ormsgpack.packb", "ormsgpack.unpackb"),
               "msgspec.msgpack": ("msgspec.msgpack.encode", "msgspec.msgpack.decode")}


def call(peer: Peer, arg, check: Callable[[Any], Problem], name: str | None = None) -> Candidate:
    """A candidate calling the peer's function on `arg`."""
    return Candidate(name or peer.name, peer.needs,
                     lambda: functools.partial(peer.get(MODS), arg), check)


def reader_of(writer: Peer) -> Callable[[bytes], Any]:
    """The reader of the bytes `writer` makes."""
    reader = next(r for r in MSGPACK_READERS if r.name == writer.name)
    return lambda data: reader.get(MODS)(data)


def chain(encode, parse, text):
    """A call of encode(parse(text)) with both functions bound locally."""
    return lambda: encode(parse(text))


def simdjson_parse(module) -> Callable[[str], Any]:
    """One parser's parse: it reads the text into the parser's own document, making no Python
    objects; the parser is reused, as its users do, so no document may outlive the next call."""
    return module.Parser().parse


def simdjson_value(document) -> Any:
    """The Python value of a parsed document (made only to check it)."""
    for convert in ("as_dict", "as_list"):
        if hasattr(document, convert):
            return getattr(document, convert)()
    return document


def msgpack_encoding(obj) -> bytes | None:
    """obj in MessagePack, by the first writer installed."""
    for writer in MSGPACK_WRITERS:
        if MODS[writer.needs[0]] is not None:
            return writer.get(MODS)(obj)
    return None


def dumps_candidates(text: str, obj) -> list[Candidate]:
    """vorn.dumps beside the JSON readers, simdjson's parse alone, and JSON text to the other
    binary formats through Python objects."""
    m = MODS
    return [
        Candidate("vorn.dumps", (), lambda: functools.partial(vorn.dumps, text),
                  check_dumps(text), is_vorn=True),
        *(call(peer, text, equal(obj)) for peer in JSON_READERS),
        Candidate("simdjson.parse", ("simdjson",),
                  lambda: functools.partial(simdjson_parse(m["simdjson"]), text),
                  lambda document: equal(obj)(simdjson_value(document))),
        Candidate("ormsgpack(orjson)", ("ormsgpack", "orjson"),
                  lambda: chain(m["ormsgpack"].packb, m["orjson"].loads, text),
                  decodes_to(lambda b: m["ormsgpack"].unpackb(b), obj)),
        Candidate("msgspec.msgpack(msgspec.json)", ("msgspec",),
                  lambda: chain(m["msgspec"].msgpack.encode, m["msgspec"].json.decode, text),
                  decodes_to(lambda b: m["msgspec"].msgpack.decode(b), obj)),
        Candidate("msgpack(json)", ("msgpack",),
                  lambda: chain(m["msgpack"].packb, json.loads, text),
                  decodes_to(lambda b: m["msgpack"].unpackb(b), obj)),
        Candidate("cbor2(json)", ("cbor2",), lambda: chain(m["cbor2"].dumps, json.loads, text),
                  decodes_to(lambda b: m["cbor2"].loads(b), obj)),
    ]


def loads_candidates(text: str, obj, image: bytes | None) -> list[Candidate]:
    """vorn.loads of its image beside each peer reading its own encoding of the value."""
    m = MODS
    try:
        packed = msgpack_encoding(obj)
    except Exception:  # noqa: BLE001 - the peers then report their own error on first call
        packed = None
    cbor = m["cbor2"].dumps(obj) if m["cbor2"] is not None else None
    pickled = pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL)
    marshalled = marshal.dumps(obj)
    return [
        Candidate("vorn.loads", (), lambda: functools.partial(vorn.loads, image),
                  check_loads(text), is_vorn=True),
        *(call(peer, text, equal(obj)) for peer in JSON_READERS),
        *(call(peer, packed, equal(obj)) for peer in MSGPACK_READERS),
        Candidate("cbor2", ("cbor2",), lambda: functools.partial(m["cbor2"].loads, cbor),
                  equal(obj)),
        Candidate("pickle", (), lambda: functools.partial(pickle.loads, pickled), equal(obj)),
        Candidate("marshal", (), lambda: functools.partial(marshal.loads, marshalled), equal(obj)),
    ]


def emit_candidates(value) -> list[Candidate]:
    """vorn.emit beside each peer writing the same value."""
    limits = emit_limits(value)
    return [
        Candidate("vorn.emit", (), lambda: functools.partial(vorn.emit, value),
                  check_emit(value, limits), is_vorn=True),
        Candidate("orjson.dumps", ("orjson",),
                  lambda: functools.partial(MODS["orjson"].dumps, value),
                  decodes_to(json.loads, value)),
        *(call(peer, value, decodes_to(reader_of(peer), value)) for peer in MSGPACK_WRITERS),
        Candidate("cbor2", ("cbor2",), lambda: functools.partial(MODS["cbor2"].dumps, value),
                  decodes_to(lambda data: MODS["cbor2"].loads(data), value)),
        Candidate("pickle", (), lambda: functools.partial(pickle.dumps, value,
                                                          protocol=pickle.HIGHEST_PROTOCOL),
                  decodes_to(pickle.loads, value)),
        Candidate("marshal", (), lambda: functools.partial(marshal.dumps, value),
                  decodes_to(marshal.loads, value)),
    ]


def small_candidates(measure: str, text: str) -> list[Candidate]:
    """The calls timed on one small document: each a partial of one function and one argument,
    timed as the statement f(x)."""
    obj = json.loads(text)
    if measure == "dumps":
        return [
            Candidate("vorn.dumps", (), lambda: functools.partial(vorn.dumps, text),
                      check_dumps(text), is_vorn=True),
            *(call(peer, text, equal(obj)) for peer in FAST_JSON_READERS),
        ]
    fast = [p for p in (MSGPACK_WRITERS if measure == "emit" else MSGPACK_READERS)
            if p.name in SMALL_NAMES]
    if measure == "loads":
        packed = msgpack_encoding(obj)
        return [
            Candidate("vorn.loads", (), lambda: functools.partial(vorn.loads, vorn.dumps(text)),
                      check_loads(text), is_vorn=True),
            *(call(peer, packed, equal(obj), SMALL_NAMES[peer.name][1])
              for peer in reversed(fast)),
        ]
    return [
        Candidate("vorn.emit", (), lambda: functools.partial(vorn.emit, obj),
                  check_emit(obj, emit_limits(obj)), is_vorn=True),
        *(call(peer, obj, decodes_to(reader_of(peer), obj), SMALL_NAMES[peer.name][0])
          for peer in fast),
    ]
