"""Peak memory of compiling large JSON texts: vorn.dumps(text) and the command `vorn encode`.

    python bench/peak_memory.py [--sizes 1M,10M,100M,1G,2G,2G+] [--cases ok,mixed,fields]
                                [--dir DIR] [--command PATH] [--no-dumps] [--no-command]
                                [--json PATH]

Generates records texts (a list of batches of up to 50,000 distinct records, each record an
object of ten members with a nested object and an array, the keys not in key order) of each size
once into DIR (default build/peak-memory), and for each case measures, each in a fresh process:

  dumps    a Python process reads the text into a str, then the kernel's peak-RSS mark is reset
           (/proc/self/clear_refs) and vorn.dumps(text) runs; the figure is the peak RSS during
           the call less the RSS the process had before it read the text, so it counts the text
           itself and everything the call holds at its peak.
  command  `vorn encode TEXT -o OUT`; the figure is the command's peak RSS, which includes
           the text it reads (measured by GNU time when /usr/bin/time exists; otherwise by
           getrusage of the child, which is then at least the resident size of this script).

Cases: ok (the records text), mixed (its last record holds ["a", 1]: the compiler refuses it),
fields (its last record has 257 fields: loads would refuse the image) and broken (the text ends
inside its last record: the JSON reader refuses it). The size "2G+" is just past 2^31 bytes.
Each figure is also given as a multiple of the text's size. The largest cases need several times
their size in free memory: run them when nothing else heavy runs. Nothing here is timed.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MB = 1_000_000
SIZES = {
    "1M": 1 * MB,
    "10M": 10 * MB,
    "100M": 100 * MB,
    "1G": 1000 * MB,
    "2G": 2000 * MB,
    "2G+": 2**31 + 16 * MB,
}
BATCH = 50_000
FIRST = ["Alice", "Bob", "Carol", "Dave", "Eve", "Frank", "Grace", "Heidi", "Ivan", "Judy"]
CITIES = ["Springfield", "Shelbyville", "Ogdenville", "North Haverbrook", "Capital City"]
TAGS = ["red", "green", "blue", "new", "sale", "vip", "archived"]
TAIL = "]}]\n"


def record(i: int) -> str:
    n = FIRST[i % 10]
    return (
        '{"id": %d, "name": "%s %d", "email": "%s.%d@example.com", "age": %d, "score": %d.%d, '
        '"active": %s, "tags": ["%s", "%s"], "address": {"street": "%d Main St", "city": "%s", '
        '"zip": "%05d"}}'
        % (1_000_000 + i, n, i, n.lower(), i, 18 + i % 60, i % 100, i % 10,
           "true" if i % 3 else "false", TAGS[i % 7], TAGS[(i * 3) % 7], i % 997, CITIES[i % 5],
           i % 100_000)
    )


def write_records(path: Path, size: int) -> None:
    """A records text of about `size` bytes (at least `size`), ending in TAIL."""
    tmp = path.with_suffix(".tmp")
    written = 1
    with open(tmp, "w", encoding="ascii") as f:
        chunk: list[str] = ["["]
        i = 0
        while written + len(TAIL) < size:
            if i % BATCH == 0:
                head = '{"batch": %d, "records": [' % (i // BATCH)
                part = head if i == 0 else "]},\n" + head
            else:
                part = ",\n"
            part += record(i)
            chunk.append(part)
            written += len(part)
            i += 1
            if len(chunk) > 20_000:
                f.write("".join(chunk))
                chunk = []
        f.write("".join(chunk) + TAIL)
    tmp.rename(path)


def variant(ok: Path, path: Path, case: str) -> None:
    """The records text with its last record changed, written beside it."""
    last = {
        "mixed": ',\n{"id": 0, "tags": ["a", 1]}' + TAIL,
        "fields": ",\n{" + ", ".join('"f%d": %d' % (k, k) for k in range(257)) + "}" + TAIL,
        "broken": ',\n{"id": 0, "tags": ["a", ',
    }[case]
    tmp = path.with_suffix(".tmp")
    shutil.copyfile(ok, tmp)
    with open(tmp, "r+b") as f:
        f.seek(-len(TAIL), os.SEEK_END)
        f.truncate()
        f.write(last.encode("ascii"))
    tmp.rename(path)


def text_file(directory: Path, size_name: str, case: str) -> Path:
    ok = directory / f"records-{size_name}.json"
    if not ok.exists():
        print(f"  generating {ok.name} ...", file=sys.stderr, flush=True)
        write_records(ok, SIZES[size_name])
    if case == "ok":
        return ok
    path = directory / f"records-{size_name}-{case}.json"
    if not path.exists():
        variant(ok, path, case)
    return path


DUMPS_CHILD = r"""
import json, sys
def status():
    fields = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                fields[key] = int(value.split()[0]) * 1024
    return fields
import vorn
# The module's code is paged in before the mark, so that the figure is the call's memory.
for sample in ('[{"a": [1, 2.5, "x"], "b": {"c": "x"}}]', "[1, true, null]", "[1, \"a\"]"):
    try:
        vorn.dumps(sample)
    except ValueError:
        pass
base = status()["VmRSS"]
data = open(sys.argv[1], "rb").read()
text = data.decode("utf-8")
del data
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak mark starts again from the current RSS
try:
    image = vorn.dumps(text)
    outcome = "ok, %d bytes" % len(image)
    del image
except ValueError as e:
    outcome = str(e)
print(json.dumps({"text": len(text), "peak": status()["VmHWM"] - base, "outcome": outcome}))
"""


def measure_dumps(path: Path) -> dict:
    out = subprocess.run([sys.executable, "-c", DUMPS_CHILD, str(path)], capture_output=True,
                         text=True, check=True)
    return json.loads(out.stdout)


def measure_command(command: str, path: Path) -> dict:
    # A child forked from this (large) Python process keeps the parent's resident size as its
    # own peak across exec, so the command is started by GNU time, a small process, which
    # reports the command's own peak (%M, in KiB) on its last line of standard error.
    timer = shutil.which("time", path="/usr/bin:/bin")
    with tempfile.TemporaryDirectory() as tmp:
        target = Path(tmp) / "out.vorn"
        argv = [command, "encode", str(path), "-o", str(target)]
        if timer:
            argv = [timer, "-f", "%M"] + argv
        proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                text=True)
        _, status, usage = os.wait4(proc.pid, 0)
        err = proc.stderr.read().strip().splitlines() if proc.stderr else []
        peak = usage.ru_maxrss * 1024
        if timer and err and err[-1].isdigit():
            peak = int(err.pop()) * 1024
        err = [line for line in err if not line.startswith("Command exited")]
        proc.returncode = os.waitstatus_to_exitcode(status)
        outcome = (f"ok, {target.stat().st_size} bytes" if proc.returncode == 0
                   else err[-1] if err else f"exit {proc.returncode}")
    return {"text": path.stat().st_size, "peak": peak, "outcome": outcome}


def fmt_bytes(n: int) -> str:
    return f"{n / MB:,.0f} MB" if n >= 10 * MB else f"{n / MB:,.1f} MB"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--sizes", default="1M,10M,100M,1G,2G,2G+")
    ap.add_argument("--cases", default="ok,mixed,fields")
    ap.add_argument("--dir", type=Path, default=ROOT / "build" / "peak-memory")
    ap.add_argument("--command", default=str(Path(sys.executable).parent / "vorn"))
    ap.add_argument("--no-dumps", action="store_true")
    ap.add_argument("--no-command", action="store_true")
    ap.add_argument("--json", type=Path)
    args = ap.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    sizes = [s for s in args.sizes.split(",") if s]
    cases = [c for c in args.cases.split(",") if c]
    for s in sizes:
        if s not in SIZES:
            ap.error(f"unknown size {s!r} (one of {', '.join(SIZES)})")

    rows = []
    print(f"{'size':>5} {'case':7} {'text':>9} {'what':8} {'peak':>9} {'x text':>7}  outcome")
    for size_name in sizes:
        for case in cases:
            path = text_file(args.dir, size_name, case)
            runs = []
            if not args.no_dumps:
                runs.append(("dumps", measure_dumps))
            if not args.no_command:
                runs.append(("command", lambda p: measure_command(args.command, p)))
            for what, run in runs:
                r = run(path)
                r.update(size=size_name, case=case, what=what, ratio=r["peak"] / r["text"])
                rows.append(r)
                print(f"{size_name:>5} {case:7} {fmt_bytes(r['text']):>9} {what:8} "
                      f"{fmt_bytes(r['peak']):>9} {r['ratio']:6.2f}x  {r['outcome'][:70]}",
                      flush=True)
    if args.json:
        args.json.write_text(json.dumps(rows, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
