"""Throughput, size and peak memory of vorn against its peers: on the JSON corpus, on small
documents, and on generated records text from 64 KB to 1 GB.

    python -m bench.bench [--quick] [--files NAME_OR_PATH ...] [--corpus DIR] [--sizes SIZE ...]
                          [--skip PART ...] [--json PATH] [--charts DIR] [--markdown PATH]

Measures, for the files of the corpus named in CORPUS_FILES (the folder shared/data/corpus
beside the repository or one of its parent directories, or --corpus; a file not there is skipped
with a note; --files picks others) and the bundled example examples/catalog.json:

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

  small    ns per call on small documents (records.py: {"a":1}, a 110-byte user record, an
           84-byte JSON-RPC request, 1-KB and 10-KB records), best of 7 rounds of many calls (3
           with --quick), for dumps, loads and emit against the fastest peers of each
  scaling  MB/s and peak memory of dumps, loads, emit, orjson.loads, ormsgpack.unpackb and
           ormsgpack.packb on generated records text of each size (--sizes; 64 KB to 1 GB, 64 KB
           and 1 MB with --quick), each function and size in a fresh process (scaling.py)

Last come the ratios the round aims at (ratios on the corpus, targets.py) and the targets
themselves, each a pass/fail line.

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
import importlib.metadata
import json
import os
import platform
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import vorn

from bench import charts, records, scaling, targets
from bench.checks import drop_none
from bench.peers import (DISTRIBUTIONS, MODS, PEER_MODULES, Candidate, dumps_candidates,
                   emit_candidates, loads_candidates, msgpack_encoding, small_candidates)
from bench.report import (SMALL_MEASURES, TIMED_MEASURES, add_ratios, count_failures,
                    markdown_report, print_report)
from bench.timing import Settings, failure_record, probe_memory, run_candidates, run_small

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "catalog.json"
CORPUS_FILES = ("canada", "github_events", "instruments", "mesh", "random", "tree-pretty",
                "twitter")


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


# The candidates of each timed measure on one case.
CANDIDATES = {
    "dumps": lambda case: dumps_candidates(case.text, case.obj),
    "loads": lambda case: loads_candidates(case.text, case.obj, case.image),
    "emit": lambda case: emit_candidates(case.emit_obj),
}


def measure_timed(measure: str, case: Case, settings: Settings) -> dict:
    if measure == "loads" and case.image is None:
        status = {**case.image_status, "derived": True,
                  "message": f"no image, dumps: {case.image_status.get('message', '')}"}
        if status["status"] == "refused":
            return {"vorn.loads": status}
        return {"vorn.loads": status, **run_candidates(CANDIDATES["loads"](case)[1:], settings)}
    return run_candidates(CANDIDATES[measure](case), settings)


# ---------------------------------------------------------------------------------------------
# Small documents: what a call costs besides its document.


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
        if not args.files:
            absent = [n for n in CORPUS_FILES if not (corpus / f"{n}.json").is_file()]
            if absent:
                notes.append(f"corpus files not found, skipped: {', '.join(absent)}")
            available = [p for p in available if p.stem in CORPUS_FILES]
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
                         scale_budget=0.2, small_rounds=3) if args.quick
                else Settings(rounds=15, batch_seconds=0.025, memory_runs=3, small_seconds=0.02,
                              scale_budget=10.0, small_rounds=7))
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
            scaled = scaling.measure_scaling(sizes, settings, Path(tmp))
    for measure, entries in measures.items():
        add_ratios(measure, entries)
    report = {
        "machine": machine(),
        "settings": {"mode": "quick" if args.quick else "full", "rounds": settings.rounds,
                     "batch_seconds": settings.batch_seconds,
                     "memory_runs": settings.memory_runs,
                     "small_seconds": settings.small_seconds,
                     "small_rounds": settings.small_rounds,
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
    report["targets"] = targets.evaluate(report)
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
