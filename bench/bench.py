"""Throughput, size and peak memory of vorn against its peers: on the JSON corpus, on small
documents, and on generated records text from 64 KB to 1 GB.

    python bench/bench.py [--quick] [--files NAME_OR_PATH ...] [--corpus DIR] [--sizes SIZE ...]
                          [--skip PART ...] [--json PATH] [--charts DIR] [--markdown PATH]

Measures, for every JSON file of the corpus (the folder shared/data/corpus beside the repository
or one of its parent directories, or --corpus) and the bundled example examples/catalog.json:

  dumps   vorn.dumps(text) against the peers' ways from JSON text to bytes or objects, and
          against simdjson's parser, which builds no Python objects: the floor for reading JSON
          text at all
  loads   vorn.loads(image) against each peer reading its own encoding of the same value
  emit    vorn.emit(obj) against each peer writing obj, where obj is the file's value with None
          removed (emit refuses None by design): dict members holding None and None list items
          are dropped, recursively
  size    bytes of minified JSON, VORN, MessagePack and CBOR, each also compressed with zstd 3
  memory  peak resident memory above the starting point of a fresh process doing one call

Then:

  small    ns per call on small documents (records.py: {"a":1}, a user record, a JSON-RPC
           request, 1-KB and 10-KB records), best of the rounds of many calls, for dumps, loads
           and emit against the fastest peers of each
  scaling  MB/s and peak memory of dumps, loads, emit and orjson.loads on generated records text
           of each size (--sizes; 64 KB to 1 GB, 64 KB and 1 MB with --quick), each function and
           size in a fresh process (scaling.py)

Timing: all libraries run in this one process, interleaved round by round, with the garbage
collector disabled during every timed batch alike; each figure is the median over the rounds.
Throughput is always the byte size of the original JSON file divided by the median time, so every
measure is in MB/s of the same JSON-equivalent data. Each timed call's result is checked once.

--charts DIR writes PNG charts (matplotlib) of the ratios and of throughput against size, and
--markdown PATH the tables and charts as a snippet for a README (charts.py).

Peers that are not installed are reported as such and skipped. A measure is skipped for a file
only when vorn refuses the data (ValueError); the file, the function and the message are printed.
The exit status is 1 when a vorn result fails its check or vorn fails other than by refusing.
"""

from __future__ import annotations

import argparse
import functools
import gc
import importlib
import importlib.metadata
import json
import marshal
import math
import os
import pickle
import platform
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import timeit
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

import vorn

import charts
import records
import scaling

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "catalog.json"
PEER_MODULES = ("orjson", "msgspec", "yyjson", "simdjson", "msgpack", "ormsgpack", "cbor2",
                "zstandard")
# The distribution that installs a module, where the names differ.
DISTRIBUTIONS = {"simdjson": "pysimdjson"}
MB = 1e6


def optional_module(name: str):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


MODS = {name: optional_module(name) for name in PEER_MODULES}


# ---------------------------------------------------------------------------------------------
# The values vorn is expected to give back: the rules of narrowing, promotion and key order live
# once, in the tests' model of the format.

sys.path.insert(0, str(ROOT / "tests"))
import vorn_model  # noqa: E402
from vorn_model import float32  # noqa: E402


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


# ---------------------------------------------------------------------------------------------
# Checks: each returns None when the result is right, else ("note" | "fail", message).

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


# ---------------------------------------------------------------------------------------------
# Timing.


@dataclass
class Candidate:
    name: str
    needs: tuple[str, ...]
    make: Callable[[], Callable[[], Any]]  # built only when the needed modules are present
    check: Callable[[Any], Problem]
    is_vorn: bool = False


@dataclass
class Settings:
    rounds: int
    batch_seconds: float
    memory_runs: int
    small_seconds: float  # one round of calls on a small document
    scale_budget: float  # seconds of timed calls per function and size, beyond the first call


def call_once(fn):
    gc.disable()
    try:
        start = time.perf_counter()
        result = fn()
        return result, time.perf_counter() - start
    finally:
        gc.enable()


def time_batch(fn, calls: int) -> float:
    gc.disable()
    try:
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        return (time.perf_counter() - start) / calls
    finally:
        gc.enable()


def first_call(cand: Candidate) -> tuple[dict, Callable[[], Any] | None]:
    """Makes the candidate's call once and checks its result: the record, and the call to time
    (None when the candidate is not installed or failed)."""
    missing = [m for m in cand.needs if MODS[m] is None]
    if missing:
        return {"status": "not installed", "message": ", ".join(missing)}, None
    try:
        fn = cand.make()
        result, _ = call_once(fn)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        return failure_record(cand, exc), None
    try:
        problem = cand.check(result)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # noqa: BLE001 - PanicException included
        problem = ("fail", f"the check raised {type(exc).__name__}: {exc}")
    del result
    record = {"status": "ok"}
    if problem:
        record["check"] = {"level": problem[0], "message": problem[1]}
    return record, fn


def run_candidates(candidates: list[Candidate], settings: Settings) -> dict:
    """Checks each candidate's result once, then times them interleaved; returns name -> record.
    When vorn refuses the data, nothing is timed: there is nothing to compare with."""
    records: dict[str, dict] = {}
    timed = []
    for cand in candidates:
        records[cand.name], fn = first_call(cand)
        if records[cand.name]["status"] == "refused":
            return {cand.name: records[cand.name]}
        if fn is None:
            continue
        once = call_once(fn)[1]  # the result dropped at once (simdjson's parser needs that)
        calls = max(1, min(1_000_000, math.ceil(settings.batch_seconds / max(once, 1e-9))))
        timed.append((cand.name, fn, calls))
    samples: dict[str, list[float]] = {name: [] for name, _, _ in timed}
    for r in range(settings.rounds):
        gc.collect()
        shift = r % len(timed) if timed else 0
        for name, fn, calls in timed[shift:] + timed[:shift]:
            samples[name].append(time_batch(fn, calls))
    for name, _, calls in timed:
        records[name].update(seconds=statistics.median(samples[name]), best=min(samples[name]),
                             rounds=len(samples[name]), calls_per_round=calls)
    return records


def failure_record(cand: Candidate, exc: BaseException) -> dict:
    message = f"{type(exc).__name__}: {exc}"
    if not cand.is_vorn:
        return {"status": "error", "message": message}
    if isinstance(exc, NotImplementedError):
        return {"status": "not implemented", "message": message}
    if isinstance(exc, ValueError):
        return {"status": "refused", "message": str(exc)}
    return {"status": "error", "message": message}


# ---------------------------------------------------------------------------------------------
# The cases: one JSON file with everything derived from it.


@dataclass
class Case:
    path: Path
    size: int
    text: str
    obj: Any
    emit_obj: Any = None
    image: bytes | None = None
    image_status: dict = field(default_factory=dict)


def load_case(path: Path) -> Case:
    text = path.read_text(encoding="utf-8")
    case = Case(path=path, size=path.stat().st_size, text=text, obj=json.loads(text))
    case.emit_obj = drop_none(case.obj)
    try:
        case.image = vorn.dumps(text)
        case.image_status = {"status": "ok"}
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # noqa: BLE001 - PanicException included
        case.image_status = failure_record(Candidate("vorn.dumps", (), None, None, True), exc)
    return case


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


def dumps_candidates(case: Case) -> list[Candidate]:
    text, obj = case.text, case.obj
    m = MODS
    return [
        Candidate("vorn.dumps", (), lambda: functools.partial(vorn.dumps, text),
                  check_dumps(text), is_vorn=True),
        Candidate("orjson.loads", ("orjson",), lambda: functools.partial(m["orjson"].loads, text),
                  equal(obj)),
        Candidate("msgspec.json.decode", ("msgspec",),
                  lambda: functools.partial(m["msgspec"].json.decode, text), equal(obj)),
        Candidate("yyjson.loads", ("yyjson",), lambda: functools.partial(m["yyjson"].loads, text),
                  equal(obj)),
        Candidate("json.loads", (), lambda: functools.partial(json.loads, text), equal(obj)),
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


def msgpack_encoding(obj) -> bytes | None:
    if MODS["msgpack"] is not None:
        return MODS["msgpack"].packb(obj)
    if MODS["ormsgpack"] is not None:
        return MODS["ormsgpack"].packb(obj)
    if MODS["msgspec"] is not None:
        return MODS["msgspec"].msgpack.encode(obj)
    return None


def loads_candidates(case: Case) -> list[Candidate]:
    text, obj, m = case.text, case.obj, MODS
    try:
        packed = msgpack_encoding(obj)
    except Exception:  # noqa: BLE001 - the peers then report their own error on first call
        packed = None
    cbor = m["cbor2"].dumps(obj) if m["cbor2"] is not None else None
    pickled = pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL)
    marshalled = marshal.dumps(obj)
    return [
        Candidate("vorn.loads", (), lambda: functools.partial(vorn.loads, case.image),
                  check_loads(text), is_vorn=True),
        Candidate("orjson.loads", ("orjson",), lambda: functools.partial(m["orjson"].loads, text),
                  equal(obj)),
        Candidate("msgspec.json.decode", ("msgspec",),
                  lambda: functools.partial(m["msgspec"].json.decode, text), equal(obj)),
        Candidate("yyjson.loads", ("yyjson",), lambda: functools.partial(m["yyjson"].loads, text),
                  equal(obj)),
        Candidate("json.loads", (), lambda: functools.partial(json.loads, text), equal(obj)),
        Candidate("msgpack", ("msgpack",), lambda: functools.partial(m["msgpack"].unpackb, packed),
                  equal(obj)),
        Candidate("ormsgpack", ("ormsgpack",),
                  lambda: functools.partial(m["ormsgpack"].unpackb, packed), equal(obj)),
        Candidate("msgspec.msgpack", ("msgspec",),
                  lambda: functools.partial(m["msgspec"].msgpack.decode, packed), equal(obj)),
        Candidate("cbor2", ("cbor2",), lambda: functools.partial(m["cbor2"].loads, cbor),
                  equal(obj)),
        Candidate("pickle", (), lambda: functools.partial(pickle.loads, pickled), equal(obj)),
        Candidate("marshal", (), lambda: functools.partial(marshal.loads, marshalled), equal(obj)),
    ]


def fast_msgpack_encoders(value, ormsgpack_name: str, msgspec_name: str) -> list[Candidate]:
    """ormsgpack.packb and msgspec.msgpack.encode of value, each checked by its own decoder."""
    m = MODS
    return [
        Candidate(ormsgpack_name, ("ormsgpack",),
                  lambda: functools.partial(m["ormsgpack"].packb, value),
                  decodes_to(lambda b: m["ormsgpack"].unpackb(b), value)),
        Candidate(msgspec_name, ("msgspec",),
                  lambda: functools.partial(m["msgspec"].msgpack.encode, value),
                  decodes_to(lambda b: m["msgspec"].msgpack.decode(b), value)),
    ]


def emit_candidates(case: Case) -> list[Candidate]:
    value, m = case.emit_obj, MODS
    limits = emit_limits(value)
    return [
        Candidate("vorn.emit", (), lambda: functools.partial(vorn.emit, value),
                  check_emit(value, limits), is_vorn=True),
        Candidate("orjson.dumps", ("orjson",), lambda: functools.partial(m["orjson"].dumps, value),
                  decodes_to(json.loads, value)),
        Candidate("msgpack", ("msgpack",), lambda: functools.partial(m["msgpack"].packb, value),
                  decodes_to(lambda b: m["msgpack"].unpackb(b), value)),
        *fast_msgpack_encoders(value, "ormsgpack", "msgspec.msgpack"),
        Candidate("pickle", (), lambda: functools.partial(pickle.dumps, value,
                                                          protocol=pickle.HIGHEST_PROTOCOL),
                  decodes_to(pickle.loads, value)),
        Candidate("marshal", (), lambda: functools.partial(marshal.dumps, value),
                  decodes_to(marshal.loads, value)),
    ]


TIMED_MEASURES = {
    "dumps": ("JSON text in, bytes (or objects) out", dumps_candidates),
    "loads": ("each library reads its own encoding of the value", loads_candidates),
    "emit": ("a Python value (None removed) in, bytes out", emit_candidates),
}


def measure_timed(measure: str, case: Case, settings: Settings) -> dict:
    if measure == "loads" and case.image is None:
        status = {**case.image_status, "derived": True,
                  "message": f"no image, dumps: {case.image_status.get('message', '')}"}
        if status["status"] == "refused":
            return {"vorn.loads": status}
        return {"vorn.loads": status, **run_candidates(loads_candidates(case)[1:], settings)}
    return run_candidates(TIMED_MEASURES[measure][1](case), settings)


# ---------------------------------------------------------------------------------------------
# Small documents: what a call costs besides its document.

SMALL_MEASURES = {
    "dumps": "JSON text in",
    "loads": "vorn.loads reads its image, the peers MessagePack",
    "emit": "a Python value in, bytes out",
}


def small_candidates(measure: str, text: str) -> list[Candidate]:
    """The calls timed on one small document: each a partial of one function and one argument,
    timed as the statement f(x)."""
    obj, m = json.loads(text), MODS
    if measure == "dumps":
        return [
            Candidate("vorn.dumps", (), lambda: functools.partial(vorn.dumps, text),
                      check_dumps(text), is_vorn=True),
            Candidate("orjson.loads", ("orjson",),
                      lambda: functools.partial(m["orjson"].loads, text), equal(obj)),
            Candidate("msgspec.json.decode", ("msgspec",),
                      lambda: functools.partial(m["msgspec"].json.decode, text), equal(obj)),
        ]
    if measure == "loads":
        packed = msgpack_encoding(obj)
        return [
            Candidate("vorn.loads", (), lambda: functools.partial(vorn.loads, vorn.dumps(text)),
                      check_loads(text), is_vorn=True),
            Candidate("msgspec.msgpack.decode", ("msgspec",),
                      lambda: functools.partial(m["msgspec"].msgpack.decode, packed), equal(obj)),
            Candidate("ormsgpack.unpackb", ("ormsgpack",),
                      lambda: functools.partial(m["ormsgpack"].unpackb, packed), equal(obj)),
        ]
    return [
        Candidate("vorn.emit", (), lambda: functools.partial(vorn.emit, obj),
                  check_emit(obj, emit_limits(obj)), is_vorn=True),
        *fast_msgpack_encoders(obj, "ormsgpack.packb", "msgspec.msgpack.encode"),
    ]


def run_small(candidates: list[Candidate], settings: Settings) -> dict:
    """Checks each call once, then times rounds of many calls, interleaved; the figure is the
    best round's ns per call, the least disturbed by the machine's other work. timeit runs the
    statement f(x) with the collector disabled, so a call costs what it costs in user code,
    without a partial's indirection."""
    results: dict[str, dict] = {}
    timers = []
    for cand in candidates:
        results[cand.name], fn = first_call(cand)
        if fn is None:
            continue
        assert isinstance(fn, functools.partial) and len(fn.args) == 1
        timer = timeit.Timer("f(x)", globals={"f": fn.func, "x": fn.args[0]})
        once = timer.timeit(1)
        calls = max(1, min(1_000_000, math.ceil(settings.small_seconds / max(once, 1e-9))))
        calls = max(1, math.ceil(settings.small_seconds / (timer.timeit(calls) / calls)))
        timers.append((cand.name, timer, calls))
    samples: dict[str, list[float]] = {name: [] for name, _, _ in timers}
    for r in range(settings.rounds):
        shift = r % len(timers) if timers else 0
        for name, timer, calls in timers[shift:] + timers[:shift]:
            samples[name].append(timer.timeit(calls) / calls)
    for name, _, calls in timers:
        results[name].update(seconds=min(samples[name]),
                             median_seconds=statistics.median(samples[name]),
                             ns=min(samples[name]) * 1e9, rounds=settings.rounds,
                             calls_per_round=calls)
    lead = results.get(candidates[0].name, {})
    for name, rec in results.items():
        if name != candidates[0].name and "ns" in rec and "ns" in lead:
            rec["ratio"] = rec["ns"] / lead["ns"]
    return results


def measure_small(settings: Settings) -> dict[str, list[dict]]:
    out: dict[str, list[dict]] = {measure: [] for measure in SMALL_MEASURES}
    for name, text in records.SMALL_DOCS:
        print(f"small documents: {name} ...", file=sys.stderr, flush=True)
        for measure in SMALL_MEASURES:
            results = run_small(small_candidates(measure, text), settings)
            out[measure].append({"document": name, "bytes": len(text.encode()),
                                 "results": results})
    return out


# ---------------------------------------------------------------------------------------------
# Size and memory.


def measure_size(case: Case) -> dict:
    obj, m = case.obj, MODS
    out: dict[str, dict] = {}
    encoded: dict[str, bytes] = {}
    encoded["json"] = json.dumps(obj, ensure_ascii=False, separators=(",", ":")).encode()
    if case.image is not None:
        encoded["vorn"] = case.image
    else:
        out["vorn"] = {**case.image_status, "derived": True}
    try:
        packed = msgpack_encoding(obj)
        if packed is None:
            out["msgpack"] = {"status": "not installed", "message": "msgpack, ormsgpack, msgspec"}
        else:
            encoded["msgpack"] = packed
    except Exception as exc:  # noqa: BLE001
        out["msgpack"] = {"status": "error", "message": f"{type(exc).__name__}: {exc}"}
    if m["cbor2"] is None:
        out["cbor"] = {"status": "not installed", "message": "cbor2"}
    else:
        encoded["cbor"] = m["cbor2"].dumps(obj)
    for name, data in encoded.items():
        out[name] = {"status": "ok", "bytes": len(data)}
    for name in ("json", "vorn", "msgpack", "cbor"):
        key = f"{name}+zstd"
        if m["zstandard"] is None:
            out[key] = {"status": "not installed", "message": "zstandard"}
        elif name in encoded:
            compressed = m["zstandard"].ZstdCompressor(level=3).compress(encoded[name])
            out[key] = {"status": "ok", "bytes": len(compressed)}
        else:
            out[key] = {**out[name], "derived": True}
    return out


# Run in a fresh interpreter: read the input, make one call on a small sample (so that the code
# pages the call touches are already resident), reset the peak resident set to the current one,
# make the one call, and report the peak above that starting point (kB, from /proc/self/status).
MEMORY_PROBE = r"""
import json, sys
op, path = sys.argv[1], sys.argv[2]
import vorn
if op == "orjson.loads":
    import orjson
    fn = orjson.loads
else:
    fn = getattr(vorn, op.split(".")[1])
sample = '{"a": [1, 2, 3], "b": [0.5, 1.5], "c": "x", "d": [{"e": true}, {"e": false}], "f": "x"}'
try:
    fn(vorn.dumps(sample) if op == "vorn.loads" else sample)
except Exception:
    pass
data = open(path, "rb").read()
if op != "vorn.loads":
    data = data.decode("utf-8")

def status():
    fields = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            fields[key] = int(rest.split()[0]) if key in ("VmRSS", "VmHWM") else None
    return fields

with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
start = status()["VmRSS"]
result = fn(data)
peak = status()["VmHWM"]
print(json.dumps({"start_kb": start, "peak_kb": peak}))
"""


def probe_memory(op: str, path: Path, runs: int) -> dict:
    above = []
    for _ in range(runs):
        proc = subprocess.run([sys.executable, "-c", MEMORY_PROBE, op, str(path)],
                              capture_output=True, text=True, timeout=300)
        if proc.returncode != 0:
            last = (proc.stderr.strip().splitlines() or ["no output"])[-1]
            return {"status": "error", "message": last}
        figures = json.loads(proc.stdout)
        above.append(max(0, figures["peak_kb"] - figures["start_kb"]) * 1024)
    return {"status": "ok", "bytes": statistics.median(above), "runs": runs}


def measure_memory(case: Case, settings: Settings, tmp: Path) -> dict:
    if not Path("/proc/self/clear_refs").exists():
        return {op: {"status": "unavailable", "message": "needs Linux /proc"}
                for op in ("vorn.dumps", "vorn.loads", "orjson.loads")}
    out = {}
    if case.image is None:
        out["vorn.dumps"] = {**case.image_status, "derived": True}
        out["vorn.loads"] = {**case.image_status, "derived": True,
                             "message": f"no image, dumps: {case.image_status.get('message')}"}
    else:
        out["vorn.dumps"] = probe_memory("vorn.dumps", case.path, settings.memory_runs)
        image_path = tmp / (case.path.stem + ".vorn")
        image_path.write_bytes(case.image)
        try:
            vorn.loads(case.image)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:  # noqa: BLE001 - PanicException included
            out["vorn.loads"] = failure_record(Candidate("vorn.loads", (), None, None, True), exc)
        else:
            out["vorn.loads"] = probe_memory("vorn.loads", image_path, settings.memory_runs)
    if MODS["orjson"] is None:
        out["orjson.loads"] = {"status": "not installed", "message": "orjson"}
    else:
        out["orjson.loads"] = probe_memory("orjson.loads", case.path, settings.memory_runs)
    return out


# ---------------------------------------------------------------------------------------------
# Output.

SHORT_STATUS = {"not installed": "not installed", "refused": "refused",
                "not implemented": "not impl.", "error": "error", "unavailable": "unavailable",
                "skipped": "skipped"}


def cell_status(record: dict | None) -> str | None:
    if record is None:
        return "-"
    if record["status"] != "ok":
        return SHORT_STATUS.get(record["status"], record["status"])
    return None


def flag(record: dict) -> str:
    level = record.get("check", {}).get("level")
    return "!" if level == "fail" else "*" if level == "note" else ""


Table = tuple[list[str], list[list[str]]]  # headers, rows


def render(table: Table) -> str:
    headers, rows = table
    widths = [max(len(r[i]) for r in [headers] + rows) for i in range(len(headers))]

    def line(cells):
        return "  ".join(c.ljust(w) if i == 0 else c.rjust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    return "\n".join([line(headers), line(["-" * w for w in widths])] + [line(r) for r in rows])


def render_markdown(table: Table) -> str:
    headers, rows = table

    def line(cells):
        return "| " + " | ".join(c.replace("|", "\\|") for c in cells) + " |"

    rule = "|" + "|".join("---" if i == 0 else "---:" for i in range(len(headers))) + "|"
    return "\n".join([line(headers), rule] + [line(r) for r in rows])


def timed_table(measure: str, entries: list[dict]) -> Table:
    names: list[str] = []
    for e in entries:
        names += [n for n in e["results"] if n not in names]
    headers = ["file", "bytes"] + [n + " MB/s" if n.startswith("vorn") else n for n in names]
    rows = []
    for e in entries:
        results = e["results"]
        lead = results.get(names[0]) if names else None
        row = [e["file"], str(e["bytes"])]
        for n in names:
            rec = results.get(n)
            text = cell_status(rec)
            if text is None:
                text = f"{rec['mb_s']:.1f}{flag(rec)}"
                if rec is not lead and lead and lead.get("status") == "ok":
                    text += f" x{rec['ratio']:.2f}"
            row.append(text)
        rows.append(row)
    return headers, rows


def size_table(entries: list[dict]) -> Table:
    cols = ["json", "vorn", "msgpack", "cbor"]
    cols += [c + "+zstd" for c in cols]
    rows = []
    for e in entries:
        sizes = e["results"]
        row = [e["file"]]
        for c in cols:
            rec = sizes.get(c)
            text = cell_status(rec)
            if text is None:
                text = str(rec["bytes"])
                if "ratio" in rec:
                    text += f" x{rec['ratio']:.2f}"
            row.append(text)
        rows.append(row)
    return ["file"] + cols, rows


def memory_table(entries: list[dict]) -> Table:
    rows = []
    for e in entries:
        res, text_mb = e["results"], e["bytes"] / MB
        row = [e["file"], f"{text_mb:.3f}"]
        for op in ("vorn.dumps", "vorn.loads", "orjson.loads"):
            rec = res.get(op)
            text = cell_status(rec)
            if text is None:
                text = f"{rec['bytes'] / MB:.3f}"
                if op == "vorn.dumps" and e["bytes"]:
                    text += f" ({rec['bytes'] / e['bytes']:.2f}x text)"
                if op == "orjson.loads" and "ratio" in rec:
                    text += f" x{rec['ratio']:.2f}"
            row.append(text)
        rows.append(row)
    return ["file", "text MB", "vorn.dumps MB", "vorn.loads MB", "orjson.loads MB"], rows


def small_table(entries: list[dict]) -> Table:
    names: list[str] = []
    for e in entries:
        names += [n for n in e["results"] if n not in names]
    headers = ["document", "bytes"] + [n + " ns" if n.startswith("vorn") else n for n in names]
    rows = []
    for e in entries:
        row = [e["document"], str(e["bytes"])]
        for n in names:
            rec = e["results"].get(n)
            text = cell_status(rec)
            if text is None:
                text = f"{rec['ns']:.0f}{flag(rec)}"
                if "ratio" in rec:
                    text += f" x{rec['ratio']:.2f}"
            row.append(text)
        rows.append(row)
    return headers, rows


def scaling_table(entries: list[dict]) -> Table:
    headers = ["size", "bytes", "records"]
    for op in scaling.OPS:
        headers += [f"{op} MB/s", f"{op} peak MB"]
    rows = []
    for e in entries:
        row = [e["size"], str(e["bytes"]), str(e["records"])]
        for op in scaling.OPS:
            rec = e["results"].get(op)
            text = cell_status(rec)
            if text is not None:
                row += [text, ""]
                continue
            peak = rec.get("peak_bytes")
            if peak is None:
                peak_text = "unavailable"
            else:
                peak_text = f"{peak / MB:.{1 if peak >= 10 * MB else 3}f} " \
                            f"({peak / e['bytes']:.2f}x text)"
                if "peak_ratio" in rec:
                    peak_text += f" x{rec['peak_ratio']:.2f}"
            row += [f"{rec['mb_s']:.1f}{flag(rec)}", peak_text]
        rows.append(row)
    return headers, rows


def add_ratios(measure: str, entries: list[dict]) -> None:
    """ratio = vorn / peer, above 1 when vorn is ahead: for time, peer time over vorn time; for
    size and memory, peer bytes over vorn bytes."""
    for e in entries:
        res = e["results"]
        if measure in TIMED_MEASURES:
            for rec in res.values():
                if rec.get("status") == "ok" and "seconds" in rec:
                    rec["mb_s"] = e["bytes"] / rec["seconds"] / MB
            lead = res.get("vorn." + measure)
            if lead and lead.get("status") == "ok":
                for name, rec in res.items():
                    if name != "vorn." + measure and rec.get("status") == "ok":
                        rec["ratio"] = rec["seconds"] / lead["seconds"]
        elif measure == "size":
            for base, peers in (("vorn", ("json", "msgpack", "cbor")),
                                ("vorn+zstd", ("json+zstd", "msgpack+zstd", "cbor+zstd"))):
                lead = res.get(base)
                if lead and lead.get("status") == "ok" and lead["bytes"]:
                    for p in peers:
                        if res.get(p, {}).get("status") == "ok":
                            res[p]["ratio"] = res[p]["bytes"] / lead["bytes"]
        else:
            lead, peer = res.get("vorn.loads"), res.get("orjson.loads")
            if (lead and peer and lead["status"] == "ok" and peer["status"] == "ok"
                    and lead["bytes"]):
                peer["ratio"] = peer["bytes"] / lead["bytes"]


TITLES = {
    "size": "size: bytes; xR = that format's bytes / VORN's (zstd columns: / VORN+zstd), "
            "above 1 when VORN is smaller",
    "memory": "memory: peak resident MB above the starting point of a fresh process doing one "
              "call (median of runs); orjson xR = orjson.loads peak / vorn.loads peak, above 1 "
              "when vorn uses less",
    "small": "small documents, {measure} ({what}): ns per call, the best of {rounds} rounds of "
             "many calls; xR = the peer's ns / vorn's, above 1 when vorn is faster",
    "scaling": "scaling: generated records text; MB/s of the text (median of the rounds), peak "
               "resident MB above the starting point of a fresh process doing one call (and as a "
               "multiple of the text); orjson.loads xR = its peak / vorn.loads' peak",
}


def report_tables(report: dict) -> list[tuple[str, Table]]:
    """Every table of the report, with its title, in the order they are printed."""
    tables = []
    for measure, entries in report["measures"].items():
        if not entries:
            continue
        if measure in TIMED_MEASURES:
            tables.append((f"{measure}: {TIMED_MEASURES[measure][0]}",
                           timed_table(measure, entries)))
        elif measure == "size":
            tables.append((TITLES["size"], size_table(entries)))
        else:
            tables.append((TITLES["memory"], memory_table(entries)))
    rounds = report["settings"]["rounds"]
    for measure, entries in report.get("small", {}).items():
        title = TITLES["small"].format(measure=measure, what=SMALL_MEASURES[measure],
                                       rounds=rounds)
        tables.append((title, small_table(entries)))
    if report.get("scaling"):
        tables.append((TITLES["scaling"], scaling_table(report["scaling"])))
    return tables


LEGEND = ("MB/s = byte size of the original JSON file / median time (1 MB = 10^6 bytes), the same "
          "for every measure.\nCells: MB/s, then xR = vorn's throughput / the peer's (above 1 "
          "when vorn is faster). '!' marks a result that failed its check, '*' a note below.")


def print_report(report: dict) -> None:
    print(f"vorn benchmark: {report['machine']['python']} on {report['machine']['cpu']}, "
          f"{report['settings']['mode']} mode ({report['settings']['rounds']} rounds)")
    print(LEGEND)
    for title, table in report_tables(report):
        print(f"\n== {title} ==")
        print(render(table))
    notes = collect_notes(report)
    if notes:
        print("\nNotes:")
        for line in notes:
            print("  " + line)


def all_results(report: dict):
    """(table, row label, results) for every row of every table."""
    for measure, entries in report["measures"].items():
        for e in entries:
            yield measure, e["file"], e["results"]
    for measure, entries in report.get("small", {}).items():
        for e in entries:
            yield f"small {measure}", e["document"], e["results"]
    for e in report.get("scaling", []):
        yield "scaling", e["size"], e["results"]


def collect_notes(report: dict) -> list[str]:
    """The report's notes, then every check note and every vorn or peer failure, one line per
    function and message with the files (documents, sizes) it concerns."""
    grouped: dict[tuple, list[str]] = {}
    for measure, label, results in all_results(report):
        for name, rec in results.items():
            check = rec.get("check")
            if check:
                tag = "CHECK FAILED" if check["level"] == "fail" else "note"
                grouped.setdefault((measure, name, tag, check["message"]), []).append(label)
            if rec.get("status") in ("refused", "not implemented", "error", "skipped") and \
                    not rec.get("derived"):
                key = (measure, name, rec["status"], rec.get("message", ""))
                grouped.setdefault(key, []).append(label)
    lines = list(report["notes"])
    for (measure, name, what, message), labels in grouped.items():
        lines.append(f"{measure}: {name} {what}: {message} [{', '.join(labels)}]")
    return lines


def count_failures(report: dict) -> int:
    failures = set()
    for measure, label, results in all_results(report):
        for name, rec in results.items():
            if not name.startswith("vorn"):
                continue
            if rec.get("check", {}).get("level") == "fail":
                failures.add((measure, label, name, rec["check"]["message"]))
            if rec.get("status") == "error":
                failures.add((measure, label, name, rec.get("message")))
    return len(failures)


def markdown_report(report: dict, images: list[Path], base: Path) -> str:
    """The run's tables and charts as Markdown, image paths relative to base."""
    m = report["machine"]
    lines = [
        "<!-- Written by bench/bench.py --markdown; image paths are relative to the repository "
        "root. -->",
        f"Measured with `bench/bench.py` ({report['settings']['mode']} mode) on "
        f"{m['python']}, {m['cpu']} ({m['cpus']} cores), vorn {m['versions'].get('vorn')}.",
        "",
        LEGEND.replace("\n", " "),
    ]
    for image in images:
        try:
            shown = image.resolve().relative_to(base.resolve())
        except ValueError:
            shown = image
        lines += ["", f"![{image.stem.replace('_', ' ')}]({shown.as_posix()})"]
    for title, table in report_tables(report):
        lines += ["", f"**{title}**", "", render_markdown(table)]
    notes = collect_notes(report)
    if notes:
        lines += ["", "Notes:", ""] + [f"- {line}" for line in notes]
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------------------------------------
# Driver.


def find_corpus() -> Path | None:
    for parent in ROOT.parents:
        candidate = parent / "shared" / "data" / "corpus"
        if candidate.is_dir():
            return candidate
    return None


def select_files(args, notes: list[str]) -> list[Path]:
    corpus = Path(args.corpus) if args.corpus else find_corpus()
    available: list[Path] = []
    if corpus is not None and corpus.is_dir():
        available += sorted(corpus.glob("*.json"))
    else:
        notes.append(f"corpus folder {args.corpus or 'shared/data/corpus'} not found: skipped")
    if EXAMPLE.is_file():
        available.append(EXAMPLE)
    else:
        notes.append(f"bundled example {EXAMPLE.relative_to(ROOT)} not found: skipped")
    if not args.files:
        return available
    chosen = []
    for item in args.files:
        path = Path(item)
        if path.is_file():
            chosen.append(path)
            continue
        matches = [p for p in available if item in (p.name, p.stem)]
        if not matches:
            raise SystemExit(f"bench.py: no such file or corpus file: {item}")
        chosen += matches
    notes[:] = []
    return chosen


def machine() -> dict:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    versions = {}
    for name in ("vorn",) + PEER_MODULES + ("matplotlib",):
        try:
            versions[name] = importlib.metadata.version(DISTRIBUTIONS.get(name, name))
        except importlib.metadata.PackageNotFoundError:
            versions[name] = None
    return {"python": f"CPython {platform.python_version()}", "platform": platform.platform(),
            "cpu": cpu, "cpus": os.cpu_count(), "versions": versions}


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a few short rounds only, and the "
                                                            "scaling table up to 1 MB")
    parser.add_argument("--files", nargs="+", metavar="FILE",
                        help="corpus file names (with or without .json) or paths of JSON files")
    parser.add_argument("--corpus", help="the corpus folder (default: shared/data/corpus found "
                                         "beside the repository or one of its parents)")
    parser.add_argument("--sizes", nargs="*", metavar="SIZE", type=scaling.parse_size,
                        help="sizes of the records text for the scaling table, e.g. 64K 16M 1G "
                             "(default: 64K 1M 16M 256M 1G, with --quick 64K 1M; none: no "
                             "scaling table)")
    parser.add_argument("--skip", nargs="+", default=[], choices=("corpus", "small", "scaling"),
                        help="parts not to run")
    parser.add_argument("--json", metavar="PATH", help="write all figures to PATH as JSON")
    parser.add_argument("--charts", metavar="DIR", help="write PNG charts into DIR (matplotlib)")
    parser.add_argument("--markdown", metavar="PATH",
                        help="write the tables and the charts of --charts to PATH as Markdown")
    parser.add_argument("--rounds", type=int, help="timed rounds per library (median taken)")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    settings = (Settings(rounds=3, batch_seconds=0.002, memory_runs=1, small_seconds=0.002,
                         scale_budget=0.2) if args.quick
                else Settings(rounds=15, batch_seconds=0.025, memory_runs=3, small_seconds=0.02,
                              scale_budget=10.0))
    if args.rounds:
        settings.rounds = args.rounds
    sizes = args.sizes if args.sizes is not None else list(
        scaling.QUICK_SIZES if args.quick else scaling.FULL_SIZES)
    notes: list[str] = []
    paths = select_files(args, notes) if "corpus" not in args.skip else []
    missing = [name for name, module in MODS.items() if module is None]
    if missing:
        notes.append(f"not installed, skipped: {', '.join(missing)} (make bench installs them)")
    measures: dict[str, list[dict]] = {m: [] for m in ("dumps", "loads", "emit", "size", "memory")}
    small: dict[str, list[dict]] = {}
    scaled: list[dict] = []
    with tempfile.TemporaryDirectory(prefix="vorn-bench-") as tmp:
        for path in paths:
            print(f"measuring {path.name} ...", file=sys.stderr, flush=True)
            try:
                case = load_case(path)
            except (OSError, UnicodeDecodeError, json.JSONDecodeError) as exc:
                notes.append(f"{path.name}: skipped, not readable as JSON: {exc}")
                continue
            base = {"file": path.name, "bytes": case.size}
            for measure in TIMED_MEASURES:
                results = measure_timed(measure, case, settings)
                measures[measure].append({**base, "results": results})
            measures["size"].append({**base, "results": measure_size(case)})
            measures["memory"].append({**base, "results": measure_memory(case, settings,
                                                                          Path(tmp))})
        if "small" not in args.skip:
            small = measure_small(settings)
        if "scaling" not in args.skip and sizes:
            scaled = scaling.measure_scaling(sizes, settings, Path(tmp),
                                             MODS["orjson"] is not None)
    for measure, entries in measures.items():
        add_ratios(measure, entries)
    report = {
        "machine": machine(),
        "settings": {"mode": "quick" if args.quick else "full", "rounds": settings.rounds,
                     "batch_seconds": settings.batch_seconds,
                     "memory_runs": settings.memory_runs,
                     "small_seconds": settings.small_seconds,
                     "scale_budget_seconds": settings.scale_budget, "sizes": sizes},
        "units": {"mb_s": "byte size of the original JSON file / median seconds / 10^6",
                  "ratio": "vorn ahead when above 1: peer time / vorn time, peer bytes / vorn "
                           "bytes",
                  "ns": "nanoseconds per call, the best round",
                  "peak_bytes": "peak resident bytes above the start of a fresh process"},
        "notes": notes,
        "measures": measures,
        "small": small,
        "scaling": scaled,
    }
    images: list[Path] = []
    if args.charts:
        images, problem = charts.write_charts(report, Path(args.charts))
        if problem:
            notes.append(problem)
    print_report(report)
    if args.json:
        Path(args.json).write_text(json.dumps(report, indent=1) + "\n")
    if args.markdown:
        Path(args.markdown).write_text(markdown_report(report, images, ROOT))
    failures = count_failures(report)
    if failures:
        print(f"\n{failures} vorn result(s) failed a check or raised an unexpected error.")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
