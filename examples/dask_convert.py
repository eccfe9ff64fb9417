"""Converts a directory of JSON files to VORN images on a Dask cluster, reads every image back from
its file and checks it against the JSON it came from.

    python examples/dask_convert.py SOURCE_DIR OUT_DIR [--workers N]
    python examples/dask_convert.py SOURCE_DIR OUT_DIR --scheduler tcp://HOST:8786

Without --scheduler it starts a LocalCluster of N worker processes (2 by default) on this
machine; with it, it uses that running cluster, whose workers must see SOURCE_DIR and OUT_DIR
under the same paths. Each file is one task of a Dask bag: vorn.dump writes SOURCE_DIR/NAME.json
as OUT_DIR/NAME.vorn, vorn.load reads it back, and the value is compared with what the JSON text
holds, allowing only what the format narrows: integers keep their low 32 bits, floats become
single precision (also integers in an array that mixes them with floats).

vorn keeps no state between calls and its functions pickle by reference (as `vorn.dumps` and so
on), so the tasks run in any worker process that can import vorn.

Exit status: 0 when every image read back as expected, 1 when one did not. Documents that the
format cannot hold, and files that are not JSON, are listed as refused; they are not failures.
"""

from __future__ import annotations

import argparse
import json
import struct
import sys
from fractions import Fraction
from pathlib import Path

import dask.bag as db
from dask.distributed import Client, LocalCluster

import vorn


def float32(x: int | float) -> float:
    """x rounded to the nearest single-precision value, ties to even; integers from their exact
    value, not through a double."""
    if isinstance(x, int) and x.bit_length() > 24:
        shift = x.bit_length() - 24  # keep 24 significant bits
        x = float(round(Fraction(x, 1 << shift)) << shift)
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return float("inf") if x > 0 else float("-inf")


def stored_as_float(number: int | float) -> bool:
    """Whether dumps stores a JSON number as a Float32 by itself: fractions and exponents, and
    integers beyond the 64-bit ranges; others are Int32 (below 2**63) or UInt32 (from 2**63)."""
    return isinstance(number, float) or not -(2**63) <= number < 2**64


def matches(original, loaded, as_float: bool = False) -> bool:
    """Whether `loaded` is `original` (a value of json.loads) as the format keeps it. `as_float`
    is set for the items of an array that mixes kinds of numbers, which become floats."""
    if original is None or isinstance(original, (bool, str)):
        return type(loaded) is type(original) and loaded == original
    if isinstance(original, (int, float)):
        if as_float or stored_as_float(original):
            return type(loaded) is float and loaded == float32(original)
        return type(loaded) is int and (loaded - original) % 2**32 == 0
    if isinstance(original, list):
        kinds = {"Float32" if stored_as_float(x) else "UInt32" if x >= 2**63 else "Int32"
                 for x in original if isinstance(x, (int, float)) and not isinstance(x, bool)}
        return (type(loaded) is list and len(loaded) == len(original)
                and all(matches(x, y, len(kinds) > 1) for x, y in zip(original, loaded)))
    return (type(loaded) is dict and loaded.keys() == original.keys()
            and all(matches(value, loaded[key]) for key, value in original.items()))


def convert(source: str, out_dir: str) -> dict:
    """One task: SOURCE to OUT_DIR/NAME.vorn, read back and checked. Returns a report: the file's
    name, its size and its image's, and the outcome (exact, narrowed, refused or MISMATCH) with
    a detail."""
    path = Path(source)
    target = Path(out_dir) / (path.stem + ".vorn")
    report = {"file": path.name, "json_bytes": path.stat().st_size, "vorn_bytes": None,
              "outcome": "refused", "detail": ""}
    try:
        text = path.read_text(encoding="utf-8")
        target.parent.mkdir(parents=True, exist_ok=True)
        vorn.dump(text, str(target))
    except UnicodeDecodeError as exc:
        report["detail"] = f"not UTF-8 text: {exc}"
        return report
    except ValueError as exc:  # not JSON, or beyond what the format holds
        report["detail"] = str(exc)
        return report
    report["vorn_bytes"] = target.stat().st_size
    loaded = vorn.load(str(target))
    try:
        original = json.loads(text)
    except ValueError as exc:
        report.update(outcome="MISMATCH", detail=f"vorn read it, json did not: {exc}")
        return report
    if json.dumps(loaded, sort_keys=True) == json.dumps(original, sort_keys=True):
        report["outcome"] = "exact"
    elif matches(original, loaded):
        report["outcome"] = "narrowed"
    else:
        report.update(outcome="MISMATCH", detail="the image does not read back as the JSON")
    return report


def convert_directory(source_dir: str, out_dir: str, client: Client) -> list[dict]:
    """Every SOURCE_DIR/*.json converted as a Dask bag on the client's cluster; the reports in
    file name order."""
    paths = sorted(str(p) for p in Path(source_dir).glob("*.json"))
    if not paths:
        return []
    workers = max(1, len(client.nthreads()))
    bag = db.from_sequence(paths, npartitions=min(len(paths), 4 * workers))
    return bag.map(convert, out_dir=str(out_dir)).compute(scheduler=client)


def print_reports(reports: list[dict]) -> None:
    width = max([len(r["file"]) for r in reports] + [4])
    for r in reports:
        size = "-" if r["vorn_bytes"] is None else f"{r['vorn_bytes']:,}"
        line = f"{r['file']:<{width}}  {r['json_bytes']:>12,}  {size:>12}  {r['outcome']}"
        print(f"{line}  {r['detail']}" if r["detail"] else line)
    counts = {k: sum(r["outcome"] == k for r in reports)
              for k in ("exact", "narrowed", "refused", "MISMATCH")}
    written = [r for r in reports if r["vorn_bytes"] is not None]
    print(f"{len(reports)} files: " + ", ".join(f"{n} {k}" for k, n in counts.items())
          + f"; {sum(r['json_bytes'] for r in written):,} bytes of JSON written as "
          f"{sum(r['vorn_bytes'] for r in written):,} bytes of VORN")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("source_dir", help="the folder of *.json files")
    parser.add_argument("out_dir", help="where the .vorn images go (created when missing)")
    parser.add_argument("--workers", type=int, default=2,
                        help="worker processes of the local cluster (default 2)")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler to use instead")
    args = parser.parse_args(argv)

    if args.scheduler:
        with Client(args.scheduler) as client:
            reports = convert_directory(args.source_dir, args.out_dir, client)
    else:
        with (LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                           host="127.0.0.1", dashboard_address=None) as cluster,
              Client(cluster) as client):
            reports = convert_directory(args.source_dir, args.out_dir, client)
    if not reports:
        print(f"no *.json files in {args.source_dir}")
        return 0
    print_reports(reports)
    return 1 if any(r["outcome"] == "MISMATCH" for r in reports) else 0


if __name__ == "__main__":
    sys.exit(main())
