"""Throughput and peak memory against the size of the text, on generated records text.

For each size the parent writes a records text of about that many bytes (records.py) into a
temporary folder, then runs each function in a fresh interpreter (this file run as a script):

  vorn.dumps    the text (a str) in, the image out; the worker also writes the image for the next
  vorn.loads    the image in, the value out
  vorn.emit     the value (read from the text by orjson or json before measuring) in, an image out
  peers         peers.SCALING_PEERS: orjson.loads (the text in), ormsgpack.unpackb (the value
                in MessagePack in) and ormsgpack.packb (the value in)

The worker makes one call on a small sample (so that the code pages the call touches are
resident), resets the peak resident set to the current one, makes the measured call, and reads
the peak above that starting point from /proc/self/status. It then times further calls, in
batches as on the corpus while a call is short, one call a round when it is long, within a time
budget, and reports the median. A call's time is the call alone: its result is freed after the
clock stops (the results of a batch together), for every function alike, so that freeing a
gigabyte of objects does not weigh on one side. The garbage collector is disabled during every
call alike. Each result is checked once: images by their header (and an emitted image by what
loads reads back, up to a size), values against the records they were made from (every record up
to a limit, then a sample spread over the text), a peer's bytes by what its reader reads back
while the records are few.

Below about a megabyte the peaks mostly come from memory the process already holds (the
allocator's free lists and pages), so small sizes show little more than that.

A function whose estimated need (a multiple of the text size) exceeds the memory available is
skipped and says so, rather than driving the machine into swap or the kernel's OOM killer; the
worker's address space is also capped at the memory available when it starts, so that a need
underestimated ends in a MemoryError, reported as a skip, not in the machine running out.

Each vorn function's throughput at a size is also given over its own at 64 KB (own_ratio).
"""

from __future__ import annotations

import gc
import json
import math
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable

from bench import records
from bench.peers import MODS, MSGPACK_READERS, MSGPACK_WRITERS, SCALING_PEERS

ROOT = Path(__file__).resolve().parent.parent

KB, MiB, GiB = 1 << 10, 1 << 20, 1 << 30
MB = 1e6
FULL_SIZES = (64 * KB, MiB, 16 * MiB, 256 * MiB, GiB)
QUICK_SIZES = (64 * KB, MiB)
VORN_OPS = ("vorn.dumps", "vorn.loads", "vorn.emit")
OPS = VORN_OPS + tuple(SCALING_PEERS)
# The memory a worker needs, as a multiple of the text size, beyond the interpreter itself: its
# input and the peak of the call (measured on records text: dumps about 3 times the text, loads 5,
# emit 1.5 on top of a value of Python objects that takes 8.5, orjson.loads 8.5; the MessagePack
# of the value is about the text's size), with room. The call's result is held until the clock
# stops, so a batch of short calls holds several: BASE_NEED covers them below a megabyte.
NEEDS = {"vorn.dumps": 5, "vorn.loads": 7, "vorn.emit": 11, "orjson.loads": 10,
         "ormsgpack.unpackb": 11, "ormsgpack.packb": 11}
# The vorn function each peer stands beside.
COUNTERPARTS = {"orjson.loads": "vorn.dumps", "ormsgpack.unpackb": "vorn.loads",
                "ormsgpack.packb": "vorn.emit"}
# The size whose throughput each vorn function's is compared with.
BASE_SIZE = 64 * KB
# Workers on texts from this size on run with their address space capped at the memory available
# plus CAP_ALLOWANCE.
CAP_FROM = 64 * MiB
CAP_ALLOWANCE = 2 * GiB
BASE_NEED = 300 * MiB
# Records checked one by one; above that, this many spread over the text.
CHECK_ALL = 20000


def parse_size(text: str) -> int:
    """A size such as 64K, 16M, 1G or 1.5GB (binary multiples), or plain bytes."""
    match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([KMG]?)(?:I?B)?\s*", text, re.IGNORECASE)
    if not match:
        raise ValueError(f"not a size: {text!r} (use e.g. 64K, 16M, 1G)")
    value = int(float(match[1]) * {"": 1, "K": KB, "M": MiB, "G": GiB}[match[2].upper()])
    if value < 64:
        raise ValueError(f"size {text!r} is below 64 bytes")
    return value


def size_label(n: int) -> str:
    for unit, scale in (("GB", GiB), ("MB", MiB), ("KB", KB)):
        if n >= scale:
            return f"{n / scale:g} {unit}"
    return f"{n} B"


# ---------------------------------------------------------------------------------------------
# The parent.


def available_memory() -> int | None:
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * KB
    except OSError:
        pass
    return None


def limit_memory(cap: int) -> None:
    """Caps the address space of the process (run in the child before it starts Python)."""
    import resource

    resource.setrlimit(resource.RLIMIT_AS, (cap, cap))


def run_worker(op: str, text_path: Path, image_path: Path, count: int, text_bytes: int,
               settings) -> dict:
    need = NEEDS[op] * text_bytes + BASE_NEED
    available = available_memory()
    if available is not None and need > available:
        return {"status": "skipped", "message": f"needs about {need / GiB:.1f} GiB, "
                                                f"{available / GiB:.1f} GiB available"}
    cap = None
    if available is not None and text_bytes >= CAP_FROM:
        # Address space, not resident memory: the interpreter and the allocators map more than
        # they touch, hence the allowance.
        cap = available + CAP_ALLOWANCE
    # A module of the bench package, run from the repository root where the package is.
    command = [sys.executable, "-m", "bench.scaling", "worker", op, str(Path(text_path).resolve()),
               str(Path(image_path).resolve()), str(count), str(settings.rounds),
               str(settings.batch_seconds), str(settings.scale_budget)]
    try:
        proc = subprocess.run(command, capture_output=True, text=True, timeout=3600, cwd=ROOT,
                              preexec_fn=None if cap is None else lambda: limit_memory(cap))
    except subprocess.TimeoutExpired:
        return {"status": "error", "message": "no result within an hour"}
    if proc.returncode != 0:
        last = (proc.stderr.strip().splitlines() or [f"exit status {proc.returncode}"])[-1]
        result = {"status": "error", "message": last}
    else:
        result = json.loads(proc.stdout)
    # Under the cap, running short of memory is a skip (orjson says so in a JSONDecodeError).
    if cap is not None and result["status"] == "error" and \
            ("MemoryError" in result["message"] or "memory" in result["message"].lower()):
        return {"status": "skipped", "message": f"ran out of the {cap / GiB:.2f} GiB the "
                                                f"machine had available ({result['message']})"}
    return result


def measure_scaling(sizes: list[int], settings, tmp: Path) -> list[dict]:
    entries = []
    for target in sizes:
        label = size_label(target)
        print(f"scaling: writing {label} of records text ...", file=sys.stderr, flush=True)
        text_path, image_path = tmp / f"records-{target}.json", tmp / f"records-{target}.vorn"
        count = records.write_records_file(text_path, target)
        size = text_path.stat().st_size
        results: dict[str, dict] = {}
        for op in OPS:
            needs = SCALING_PEERS[op][0].needs if op in SCALING_PEERS else ()
            missing = [m for m in needs if MODS[m] is None]
            if missing:
                results[op] = {"status": "not installed", "message": ", ".join(missing)}
                continue
            if op == "vorn.loads" and not image_path.exists():
                dumps = results["vorn.dumps"]
                results[op] = {**dumps, "derived": True,
                               "message": f"no image, dumps: {dumps.get('message', '')}"}
                continue
            print(f"scaling: {label}: {op} ...", file=sys.stderr, flush=True)
            results[op] = run_worker(op, text_path, image_path, count, size, settings)
        text_path.unlink()
        image_path.unlink(missing_ok=True)
        for rec in results.values():
            if rec.get("status") == "ok":
                rec["mb_s"] = size / rec["seconds"] / MB
        lead, peer = results.get("vorn.loads", {}), results.get("orjson.loads", {})
        if lead.get("peak_bytes") and peer.get("peak_bytes") is not None:
            peer["peak_ratio"] = peer["peak_bytes"] / lead["peak_bytes"]
        entries.append({"size": label, "target": target, "bytes": size, "records": count,
                        "results": results})
    add_ratios(entries)
    return entries


def add_ratios(entries: list[dict]) -> None:
    """Each peer's ratio (its vorn counterpart's throughput over its own, above 1 when vorn is
    faster) and each vorn function's throughput at each size over its own at BASE_SIZE
    (own_ratio), where both were measured."""
    for e in entries:
        for op, lead in COUNTERPARTS.items():
            rec, first = e["results"].get(op, {}), e["results"].get(lead, {})
            if rec.get("mb_s") and first.get("mb_s"):
                rec["ratio"] = first["mb_s"] / rec["mb_s"]
    base = next((e["results"] for e in entries if e["target"] == BASE_SIZE), None)
    if base is None:
        return
    for e in entries:
        for op in VORN_OPS:
            rec, first = e["results"].get(op, {}), base.get(op, {})
            if rec.get("mb_s") and first.get("mb_s"):
                rec["own_ratio"] = rec["mb_s"] / first["mb_s"]


# ---------------------------------------------------------------------------------------------
# The worker: one function on one size, in a fresh interpreter.

SAMPLE = records.records_text(3)


def vm_status() -> dict[str, int]:
    """The current and the peak resident set (bytes), where /proc tells them."""
    fields = {"VmRSS": 0, "VmHWM": 0}
    try:
        with open("/proc/self/status") as f:
            for line in f:
                key, _, rest = line.partition(":")
                if key in fields:
                    fields[key] = int(rest.split()[0]) * KB
    except OSError:
        pass
    return fields


def reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def prepare(op: str, text_path: Path, image_path: Path) -> tuple[Any, Any, Any]:
    """The function, its input, and a small input for the warm-up call."""
    import vorn

    if op == "vorn.dumps":
        return vorn.dumps, text_path.read_bytes().decode("ascii"), SAMPLE
    if op == "vorn.loads":
        return vorn.loads, image_path.read_bytes(), vorn.dumps(SAMPLE)
    parse: Callable[[bytes], Any] = json.loads
    if MODS["orjson"] is not None:
        parse = MODS["orjson"].loads  # faster, and the value is the same
    if op == "vorn.emit":
        return vorn.emit, parse(text_path.read_bytes()), json.loads(SAMPLE)
    peer, reads = SCALING_PEERS[op]
    fn = peer.get(MODS)
    if reads == "text":
        return fn, text_path.read_bytes().decode("ascii"), SAMPLE
    if reads == "value":
        return fn, parse(text_path.read_bytes()), json.loads(SAMPLE)
    writer = next(w for w in MSGPACK_WRITERS if w.name == peer.name).get(MODS)
    return fn, writer(parse(text_path.read_bytes())), writer(json.loads(SAMPLE))


def check(op: str, result: Any, data: Any, count: int, text_path: Path) -> tuple[str, str] | None:
    """("fail" | "note", message) when the result is not what it should be, else None. Up to
    CHECK_ALL records the corpus checks run, against the model of the format; above, images are
    checked by their header and values against a sample of the records."""
    from bench import checks

    whole = count <= CHECK_ALL
    if op in SCALING_PEERS and SCALING_PEERS[op][1] == "value":
        # A peer's bytes are read back by its own reader while the records are few; a gigabyte
        # of them would need the memory of a second value.
        if not isinstance(result, bytes) or not result:
            return ("fail", f"not bytes, or empty: {type(result).__name__}")
        if not whole:
            return None
        reader = next(r for r in MSGPACK_READERS if r.name == SCALING_PEERS[op][0].name)
        result = reader.get(MODS)(result)
    if op in ("vorn.dumps", "vorn.emit"):
        problem = checks.check_image_header(result)
        if problem or not whole:
            return ("fail", problem) if problem else None
        if op == "vorn.dumps":
            return checks.check_dumps(text_path.read_text(encoding="ascii"))(result)
        return checks.check_emit(data, [])(result)
    if op == "vorn.loads" and whole:
        outcome = checks.check_loads(text_path.read_text(encoding="ascii"))(result)
        if outcome:
            return outcome
    problem = records.check_records(result, count, CHECK_ALL)
    return ("fail", problem) if problem else None


def timed_batch(fn, data, calls: int) -> float:
    """Seconds per call of `calls` calls; their results are freed after the clock stops."""
    held: list[Any] = [None] * calls
    gc.disable()
    try:
        begin = time.perf_counter()
        for k in range(calls):
            held[k] = fn(data)
        seconds = (time.perf_counter() - begin) / calls
    finally:
        gc.enable()
    del held
    return seconds


def worker(argv: list[str]) -> int:
    op, text_path, image_path = argv[0], Path(argv[1]), Path(argv[2])
    count, rounds = int(argv[3]), int(argv[4])
    batch_seconds, budget = float(argv[5]), float(argv[6])
    fn, data, sample = prepare(op, text_path, image_path)
    fn(sample)
    gc.collect()
    measured = reset_peak()
    start = vm_status()["VmRSS"]
    gc.disable()
    try:
        begin = time.perf_counter()
        result = fn(data)
        first = time.perf_counter() - begin
    except ValueError as exc:
        print(json.dumps({"status": "refused" if op.startswith("vorn") else "error",
                          "message": str(exc)}))
        return 0
    except MemoryError as exc:
        print(json.dumps({"status": "error", "message": f"MemoryError: {exc}"}))
        return 0
    finally:
        gc.enable()
    peak = vm_status()["VmHWM"]
    out: dict[str, Any] = {"status": "ok", "first_seconds": first,
                           "peak_bytes": max(0, peak - start) if measured else None}
    problem = check(op, result, data, count, text_path)
    if problem:
        out["check"] = {"level": problem[0], "message": problem[1]}
    if op == "vorn.dumps":
        image_path.write_bytes(result)
    del result
    gc.collect()
    # Short calls in batches of about batch_seconds; then as many rounds as the budget holds.
    calls = max(1, min(1_000_000, math.ceil(batch_seconds / max(first, 1e-9))))
    rounds = max(1, min(rounds, math.floor(budget / (first * calls))))
    samples = [timed_batch(fn, data, calls) for _ in range(rounds)]
    out.update(seconds=statistics.median(samples), best=min(samples), rounds=rounds,
               calls_per_round=calls)
    print(json.dumps(out))
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] != ["worker"]:
        sys.exit("usage: python -m bench.scaling worker OP TEXT IMAGE COUNT ROUNDS BATCH_SECONDS "
                 "BUDGET (run by the benchmark)")
    sys.exit(worker(sys.argv[2:]))
