"""The ratios this round of work aims at, and the targets: each a pass/fail line of the report.

Every ratio is vorn's throughput over the peer's (above 1: vorn ahead), taken from the tables:
the corpus tables (each measure's libraries timed interleaved on a file), the small-document
tables (ns per call) and the scaling table. A target passes when every figure it covers was
measured and reaches its threshold; it fails when one figure falls short, and is incomplete when
the figures measured reach it but some are missing (a peer not installed, vorn refusing a file, a
size not run or skipped for want of memory), each missing one named with its reason.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable, Iterator

from bench import scaling

# (measure, the peer's column in the corpus table, heading) of the ratios table.
CORPUS_PAIRS = (
    ("emit", "ormsgpack", "emit / ormsgpack.packb"),
    ("emit", "msgspec.msgpack", "emit / msgspec.msgpack.encode"),
    ("dumps", "simdjson.parse", "dumps / simdjson parse"),
    ("dumps", "ssrjson.loads", "dumps / ssrjson.loads"),
    ("loads", "ormsgpack", "loads / ormsgpack.unpackb"),
)
RATIOS_TITLE = ("ratios on the corpus: vorn's throughput / the peer's, above 1 when vorn is "
                "faster (from the tables above, each measure timed interleaved on each file)")
LARGE_SIZES = (256 * scaling.MiB, scaling.GiB)
# The documents whose loads is held against msgspec.msgpack.decode: 90 to 120 bytes.
SHORT_DOCUMENT = (90, 120)

Point = tuple[str, float | None, str]  # where, the ratio (None: not measured), why not


def why_not(name: str, rec: dict) -> str:
    message = rec.get("message")
    return f"{name} {rec.get('status')}" + (f" ({message})" if message else "")


def ratio_of(results: dict, lead: str, peer: str, key: str = "ratio") -> tuple[float | None, str]:
    """The peer's ratio in one row of a table, or None and the reason it is missing."""
    first = results.get(lead)
    if first is None:
        return None, f"{lead} not run"
    if first.get("status") != "ok":
        return None, why_not(lead, first)
    rec = results.get(peer)
    if rec is None:
        return None, f"{peer} not run"
    if rec.get("status") != "ok":
        return None, why_not(peer, rec)
    if key not in rec:
        return None, f"no {key}"
    return rec[key], ""


def corpus_points(report: dict, measure: str, peer: str) -> Iterator[Point]:
    for e in report["measures"].get(measure, []):
        yield (e["file"], *ratio_of(e["results"], f"vorn.{measure}", peer))


def small_points(report: dict, measure: str, peer: str,
                 sizes: tuple[int, int] | None = None) -> Iterator[Point]:
    for e in report.get("small", {}).get(measure, []):
        if sizes is None or sizes[0] <= e["bytes"] <= sizes[1]:
            yield (e["document"], *ratio_of(e["results"], f"vorn.{measure}", peer))


def scaling_points(report: dict, op: str, own: bool = False) -> Iterator[Point]:
    """The ratio of op (a peer; a vorn function's own_ratio when own) at the large sizes."""
    entries = {e["target"]: e for e in report.get("scaling", [])}
    for size in LARGE_SIZES:
        label = scaling.size_label(size)
        e = entries.get(size)
        if e is None:
            yield label, None, "size not run"
        elif own:
            rec = e["results"].get(op, {})
            yield (label, rec.get("own_ratio"),
                   "" if "own_ratio" in rec else why_not(op, rec) if rec.get("status") != "ok"
                   else f"{op} not measured at 64 KB")
        else:
            yield (label, *ratio_of(e["results"], scaling.COUNTERPARTS[op], op))


@dataclass(frozen=True)
class Target:
    text: str
    threshold: float
    points: Callable[[dict], Iterator[Point]]
    strict: bool = False  # above the threshold, not at it


TARGETS = (
    Target("emit >= 1.0x ormsgpack.packb on every corpus file and small document", 1.0,
           lambda r: (*corpus_points(r, "emit", "ormsgpack"),
                      *small_points(r, "emit", "ormsgpack.packb"))),
    Target("emit >= 0.9x msgspec.msgpack.encode on every corpus file and small document", 0.9,
           lambda r: (*corpus_points(r, "emit", "msgspec.msgpack"),
                      *small_points(r, "emit", "msgspec.msgpack.encode"))),
    Target("at 256 MB and 1 GB emit >= 1.0x ormsgpack.packb", 1.0,
           lambda r: scaling_points(r, "ormsgpack.packb")),
    Target("at 256 MB and 1 GB loads >= 1.5x ormsgpack.unpackb", 1.5,
           lambda r: scaling_points(r, "ormsgpack.unpackb")),
    Target("at 256 MB and 1 GB dumps >= 2x orjson.loads", 2.0,
           lambda r: scaling_points(r, "orjson.loads")),
    *(Target(f"at 256 MB and 1 GB {op} >= 0.6x its own 64 KB throughput", 0.6,
             lambda r, op=op: scaling_points(r, op, own=True))
      for op in scaling.VORN_OPS),
    Target("dumps >= 0.5x simdjson's parse on every corpus file", 0.5,
           lambda r: corpus_points(r, "dumps", "simdjson.parse")),
    Target("dumps ahead of ssrjson.loads on every corpus file", 1.0,
           lambda r: corpus_points(r, "dumps", "ssrjson.loads"), strict=True),
    Target("loads of 90-120-byte documents >= 0.9x msgspec.msgpack.decode", 0.9,
           lambda r: small_points(r, "loads", "msgspec.msgpack.decode", SHORT_DOCUMENT)),
)


def evaluate(report: dict) -> list[dict]:
    """Each target's verdict ("pass", "fail", "incomplete"), its lowest ratio and where, and
    the figures that fall short or are missing."""
    out = []
    for target in TARGETS:
        points = list(target.points(report))
        measured = [(where, ratio) for where, ratio, _ in points if ratio is not None]
        missing = [f"{where}: {why}" for where, ratio, why in points if ratio is None]
        if not points:
            missing = ["no figures (the part was skipped, or it has no such rows)"]
        short = [(where, ratio) for where, ratio in measured
                 if ratio < target.threshold or (target.strict and ratio == target.threshold)]
        verdict = "fail" if short else "pass" if measured and not missing else "incomplete"
        record: dict = {"target": target.text, "verdict": verdict, "measured": len(measured),
                        "short": [f"{where} x{ratio:.2f}" for where, ratio in short],
                        "missing": missing}
        if measured:
            where, ratio = min(measured, key=lambda p: p[1])
            record.update(lowest=ratio, lowest_at=where)
        out.append(record)
    return out


def target_lines(results: list[dict]) -> list[str]:
    lines = []
    for t in results:
        line = f"{t['verdict'].upper():10} {t['target']}"
        if "lowest" in t:
            line += f": lowest x{t['lowest']:.2f} ({t['lowest_at']})"
        if t["short"]:
            line += f"; short: {', '.join(t['short'])}"
        if t["missing"]:
            line += f"; not measured: {', '.join(t['missing'])}"
        lines.append(line)
    return lines


def corpus_ratios(report: dict) -> tuple[list[str], list[list[str]]]:
    files: list[str] = []
    for measure, _, _ in CORPUS_PAIRS:
        files += [e["file"] for e in report["measures"].get(measure, []) if e["file"] not in files]
    rows = []
    for name in files:
        row = [name]
        for measure, peer, _ in CORPUS_PAIRS:
            entry = next((e for e in report["measures"].get(measure, []) if e["file"] == name),
                         None)
            ratio, why = (None, "not run") if entry is None else \
                ratio_of(entry["results"], f"vorn.{measure}", peer)
            row.append(f"x{ratio:.2f}" if ratio is not None else why)
        rows.append(row)
    return ["file"] + [heading for _, _, heading in CORPUS_PAIRS], rows
