"""How the benchmark times calls: interleaved rounds of batches with the collector disabled,
the median (corpus) or the best round (small documents); one call made and checked before any
timing; and peak resident memory of one call in a fresh interpreter."""

from __future__ import annotations

import functools
import gc
import json
import math
import statistics
import subprocess
import sys
import time
import timeit
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable


@dataclass
class Settings:
    rounds: int
    batch_seconds: float
    memory_runs: int
    small_seconds: float  # one round of calls on a small document
    scale_budget: float  # seconds of timed calls per function and size, beyond the first call
    small_rounds: int = 7  # rounds on a small document, the best taken

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

def first_call(cand) -> tuple[dict, Callable[[], Any] | None]:
    """Makes the candidate's call once and checks its result: the record, and the call to time
    (None when the candidate is not installed or failed)."""
    missing = cand.missing()
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

def run_candidates(candidates: list, settings: Settings) -> dict:
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

def failure_record(cand, exc: BaseException) -> dict:
    message = f"{type(exc).__name__}: {exc}"
    if not cand.is_vorn:
        return {"status": "error", "message": message}
    if isinstance(exc, NotImplementedError):
        return {"status": "not implemented", "message": message}
    if isinstance(exc, ValueError):
        return {"status": "refused", "message": str(exc)}
    return {"status": "error", "message": message}

def run_small(candidates: list, settings: Settings) -> dict:
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
    for r in range(settings.small_rounds):
        shift = r % len(timers) if timers else 0
        for name, timer, calls in timers[shift:] + timers[:shift]:
            samples[name].append(timer.timeit(calls) / calls)
    for name, _, calls in timers:
        results[name].update(seconds=min(samples[name]),
                             median_seconds=statistics.median(samples[name]),
                             ns=min(samples[name]) * 1e9, rounds=settings.small_rounds,
                             calls_per_round=calls)
    lead = results.get(candidates[0].name, {})
    for name, rec in results.items():
        if name != candidates[0].name and "ns" in rec and "ns" in lead:
            rec["ratio"] = rec["ns"] / lead["ns"]
    return results

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
