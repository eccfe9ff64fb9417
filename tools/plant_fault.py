"""Plants one-line faults in the core, one at a time, and tells which ones the tests notice.

    python tools/plant_fault.py list [--seed N] [--count N]
        prints random candidate faults as `FILE:LINE:INDEX:KIND`, each one edit of one line
    python tools/plant_fault.py run FILE:LINE:INDEX:KIND [-- PYTEST ARGS]
        plants the fault, rebuilds with `make install`, runs pytest (the whole suite unless
        arguments are given) and restores the file whatever happens

A fault is caught when the build or the tests fail. The tool refuses to start while `git diff`
shows changes under src/, so that a restore never drops work, and it restores with
`git checkout`, so that no fault can stay behind.
"""

import argparse
import random
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FOLDERS = ["src/compile", "src/decode", "src/decompile", "src/emit", "src/encode"]
BUILD_TIMEOUT = 1800
TEST_TIMEOUT = 1800

# Each kind: a pattern over a line of code and what its match becomes.
SWAPS = {"<": ">=", ">": "<=", "<=": "<", ">=": ">", "==": "!=", "!=": "=="}
KINDS = {
    "compare": (re.compile(r"(?<= )(<=|>=|==|!=|<|>)(?= )"), lambda m: SWAPS[m[1]]),
    "constant+1": (re.compile(r"(?<![\w.])(\d+)(?![\w.'])"), lambda m: str(int(m[1]) + 1)),
    "constant-1": (re.compile(r"(?<![\w.])([1-9]\d*)(?![\w.'])"), lambda m: str(int(m[1]) - 1)),
    "drop-jump": (re.compile(r"\b(break|continue|goto \w+);"), lambda m: ";"),
    "drop-return": (re.compile(r"^(\s*)return;"), lambda m: m[1] + ";"),
    "swap-operands": (
        re.compile(r"(?<![\w.>\]])([a-z_]\w*) (-|<|>) ([a-z_]\w*)(?![\w\[(.])"),
        lambda m: f"{m[3]} {m[2]} {m[1]}",
    ),
    # Only on request: removes the code of a whole line.
    "drop-line": (re.compile(r"\S.*"), lambda m: ""),
}
RANDOM_KINDS = [kind for kind in KINDS if kind != "drop-line"]


def code_part(line):
    """The line without a trailing comment, and lines that are no code at all as empty."""
    stripped = line.strip()
    if stripped.startswith(("//", "#", "*", "/*")) or "static_assert" in line:
        return ""
    if line.lstrip().startswith("template <"):
        return ""
    return line.split("//", 1)[0]


def candidates():
    for folder in FOLDERS:
        for path in sorted((ROOT / folder).glob("*")):
            if path.suffix not in (".cpp", ".h") or path.name.startswith("py_"):
                continue
            rel = str(path.relative_to(ROOT))
            lines = path.read_text().splitlines()
            for number, line in enumerate(lines, 1):
                code = code_part(line)
                for kind in RANDOM_KINDS:
                    for index, _match in enumerate(KINDS[kind][0].finditer(code)):
                        yield f"{rel}:{number}:{index}:{kind}"


def mutate(fault):
    """Returns (path, old text, new text, the changed line) for one candidate."""
    rel, number, index, kind = fault.split(":")
    path = ROOT / rel
    text = path.read_text()
    lines = text.splitlines(keepends=True)
    line = lines[int(number) - 1]
    pattern, replace = KINDS[kind]
    matches = list(pattern.finditer(code_part(line)))
    m = matches[int(index)]
    new_line = line[: m.start()] + replace(m) + line[m.end() :]
    lines[int(number) - 1] = new_line
    return path, text, "".join(lines), new_line


def src_is_clean():
    diff = subprocess.run(["git", "diff", "--quiet", "--", "src"], cwd=ROOT, timeout=60)
    return diff.returncode == 0


def run(fault, pytest_args):
    if not src_is_clean():
        sys.exit("src/ has changes: commit or stash them first")
    path, _, mutated, new_line = mutate(fault)
    print(f"planting {fault}: {new_line.strip()}", flush=True)
    try:
        path.write_text(mutated)
        build = subprocess.run(
            ["make", "install"], cwd=ROOT, capture_output=True, text=True, timeout=BUILD_TIMEOUT
        )
        if build.returncode != 0:
            verdict = "caught (does not build)"
        else:
            tests = subprocess.run(
                [str(ROOT / ".venv/bin/python"), "-m", "pytest", "-x", "-q", "-p",
                 "no:cacheprovider", *pytest_args],
                cwd=ROOT, capture_output=True, text=True, timeout=TEST_TIMEOUT,
            )
            lines = tests.stdout.strip().splitlines() or ["(no output)"]
            failed = [line.split(" - ")[0] for line in lines if line.startswith("FAILED ")]
            summary = " ".join(failed[:1] + [lines[-1]])
            verdict = ("caught: " if tests.returncode != 0 else "NOT caught: ") + summary
    except subprocess.TimeoutExpired:
        verdict = "caught (timed out)"
    finally:
        subprocess.run(["git", "checkout", "--", str(path)], cwd=ROOT, check=True, timeout=60)
    print(f"{fault}\t{verdict}", flush=True)
    return verdict


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    listing = sub.add_parser("list")
    listing.add_argument("--seed", type=int, default=1)
    listing.add_argument("--count", type=int, default=20)
    running = sub.add_parser("run")
    running.add_argument("fault")
    running.add_argument("pytest_args", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    if args.command == "list":
        pool = sorted(set(candidates()))
        for fault in random.Random(args.seed).sample(pool, args.count):
            print(fault, "\t", mutate(fault)[3].strip())
    else:
        extra = args.pytest_args[1:] if args.pytest_args[:1] == ["--"] else args.pytest_args
        run(args.fault, extra)


if __name__ == "__main__":
    main()
