"""The benchmark's report: tables as text and Markdown, ratios, notes and the failures that set
the exit status."""

from __future__ import annotations

from pathlib import Path

from bench import scaling, targets

MB = 1e6

# The measures timed on each file, with the titles of their tables.
TIMED_MEASURES = {
    "dumps": "JSON text in, bytes (or objects) out",
    "loads": "each library reads its own encoding of the value",
    "emit": "a Python value (None removed) in, bytes out",
}

SMALL_MEASURES = {
    "dumps": "JSON text in",
    "loads": "vorn.loads reads its image, the peers MessagePack",
    "emit": "a Python value in, bytes out",
}


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
    """MB/s of each function; a vorn function's also over its own at 64 KB, a peer's ratio that
    of its vorn counterpart over it."""
    headers = ["size", "bytes", "records"] + [f"{op} MB/s" if op.startswith("vorn") else op
                                              for op in scaling.OPS]
    rows = []
    for e in entries:
        row = [e["size"], str(e["bytes"]), str(e["records"])]
        for op in scaling.OPS:
            rec = e["results"].get(op)
            text = cell_status(rec)
            if text is None:
                text = f"{rec['mb_s']:.1f}{flag(rec)}"
                if "own_ratio" in rec:
                    text += f" ({rec['own_ratio']:.2f} of 64 KB)"
                if "ratio" in rec:
                    text += f" x{rec['ratio']:.2f}"
            row.append(text)
        rows.append(row)
    return headers, rows

def scaling_memory_table(entries: list[dict]) -> Table:
    headers = ["size", "bytes"] + [f"{op} peak MB" for op in scaling.OPS]
    rows = []
    for e in entries:
        row = [e["size"], str(e["bytes"])]
        for op in scaling.OPS:
            rec = e["results"].get(op)
            text = cell_status(rec)
            if text is None:
                peak = rec.get("peak_bytes")
                if peak is None:
                    text = "unavailable"
                else:
                    text = f"{peak / MB:.{1 if peak >= 10 * MB else 3}f} " \
                           f"({peak / e['bytes']:.2f}x text)"
                    if "peak_ratio" in rec:
                        text += f" x{rec['peak_ratio']:.2f}"
            row.append(text)
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
    "scaling": "scaling: generated records text; MB/s of the text (median of the rounds, the "
               "call alone, its result freed after the clock stops); a vorn function's MB/s also "
               "as a share of its own at 64 KB; a peer's xR = the MB/s of the vorn function beside "
               "it (dumps for orjson.loads, loads for ormsgpack.unpackb, emit for "
               "ormsgpack.packb) / its own",
    "targets": "targets: pass when every figure reaches the threshold; incomplete when the figures "
               "measured reach it but some are missing",
    "scaling memory": "scaling, peak memory: resident MB above the starting point of a fresh "
                      "process doing one call (and as a multiple of the text); orjson.loads xR = "
                      "its peak / vorn.loads' peak",
}

def report_tables(report: dict) -> list[tuple[str, Table]]:
    """Every table of the report, with its title, in the order they are printed."""
    tables = []
    for measure, entries in report["measures"].items():
        if not entries:
            continue
        if measure in TIMED_MEASURES:
            tables.append((f"{measure}: {TIMED_MEASURES[measure]}",
                           timed_table(measure, entries)))
        elif measure == "size":
            tables.append((TITLES["size"], size_table(entries)))
        else:
            tables.append((TITLES["memory"], memory_table(entries)))
    rounds = report["settings"].get("small_rounds", report["settings"]["rounds"])
    for measure, entries in report.get("small", {}).items():
        title = TITLES["small"].format(measure=measure, what=SMALL_MEASURES[measure],
                                       rounds=rounds)
        tables.append((title, small_table(entries)))
    if report.get("scaling"):
        tables.append((TITLES["scaling"], scaling_table(report["scaling"])))
        tables.append((TITLES["scaling memory"], scaling_memory_table(report["scaling"])))
    if any(report["measures"].get(m) for m in TIMED_MEASURES):
        tables.append((targets.RATIOS_TITLE, targets.corpus_ratios(report)))
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
    if report.get("targets"):
        print(f"\n== {TITLES['targets']} ==")
        print("\n".join(targets.target_lines(report["targets"])))
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
        "<!-- Written by python -m bench.bench --markdown; image paths are relative to the "
        "repository root. -->",
        f"Measured with `python -m bench.bench` ({report['settings']['mode']} mode) on "
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
    if report.get("targets"):
        lines += ["", f"**{TITLES['targets']}**", ""]
        lines += [f"- {line}" for line in targets.target_lines(report["targets"])]
    notes = collect_notes(report)
    if notes:
        lines += ["", "Notes:", ""] + [f"- {line}" for line in notes]
    return "\n".join(lines) + "\n"
