"""Hash flooding: how much slower dumps, emit, loads and `vorn encode` get on inputs built so that
their strings collide in the hash tables, against random strings of the same sizes.

    python bench/hash_flooding.py [--quick] [--sizes MB ...] [--before PYTHON] [--timeout S]
                                  [--json PATH]

Colliding strings are found by trying: a small C program, compiled here with cc, hashes
candidate strings and keeps those whose hash falls, in its low 20 bits, into a window of 2^10
(one in a thousand); under linear probing, keys whose homes share a window that small pile into
one cluster in every table of 2^20 slots or fewer, and into a few clusters in larger ones.

  before  the interpreter given by --before (default: the main checkout's environment, whose
          extension hashes without a key), on strings found against that unkeyed hash
  after   this checkout's extension (its key drawn per process), on the same strings
  fixed   the extension and command built with VORN_FIXED_HASH_KEY (make fixed-key), on strings
          found against the fixed key, and on strings that collide in all 64 bits under it

Each figure is the CPU time of the best of a few calls in a fresh process (CPU time, since wall
time moves with whatever else the machine runs), all within --timeout; a first call that runs
past it is reported as such. Ratios are colliding over random; the tables hold when they stay
near 1.
"""

import argparse
import json
import os
import pathlib
import pickle
import random
import resource
import shutil
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
DEFAULT_BEFORE = ROOT.parent / "main" / ".venv" / "bin" / "python"
FIXED_BUILD = pathlib.Path(os.environ.get("VORN_FIXED_KEY_BUILD", ROOT / "build" / "fixed-key"))

# The unkeyed hash of the extension before tables were keyed, and the keyed one with the fixed
# key of a VORN_FIXED_HASH_KEY build: both as the extension computes them.
FINDER = r"""
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
typedef unsigned __int128 u128;
static uint64_t ld64(const char* p) { uint64_t v; memcpy(&v, p, 8); return v; }
static uint64_t ld32(const char* p) { uint32_t v; memcpy(&v, p, 4); return v; }
static uint64_t old_mix(uint64_t a, uint64_t b) {
  u128 r = (u128)(a ^ 0x2D358DCCAA6C78A5ull) * (b ^ 0x8BB84B93962EACC9ull);
  return (uint64_t)r ^ (uint64_t)(r >> 64);
}
static uint64_t new_mix(uint64_t a, uint64_t b) {
  u128 r = (u128)a * b;
  return (uint64_t)r ^ (uint64_t)(r >> 64);
}
static const uint64_t SEED = 0x243F6A8885A308D3ull, BLOCK = 0x65784C3276523771ull,
                      PAIR = 0xA4093822299F31D0ull, LAST = 0x082EFA98EC4E6C89ull;
static uint64_t hash(const char* p, size_t n, int keyed) {
  const uint64_t K = 0x9E3779B97F4A7C15ull;
  uint64_t a, b;
  if (n <= 16) {
    if (n >= 8) { a = ld64(p); b = ld64(p + n - 8); }
    else if (n >= 4) { a = ld32(p); b = ld32(p + n - 4); }
    else if (n > 0) {
      a = (uint64_t)(uint8_t)p[0] << 16 | (uint64_t)(uint8_t)p[n >> 1] << 8 | (uint8_t)p[n - 1];
      b = 0;
    } else { a = b = 0; }
  } else {
    uint64_t h = keyed ? SEED : 0, key = keyed ? BLOCK : K;
    for (size_t i = 0; i + 16 < n; i += 16, key += K) {
      h += keyed ? new_mix(ld64(p + i) ^ key, ld64(p + i + 8) ^ PAIR)
                 : old_mix(ld64(p + i) ^ key, ld64(p + i + 8) ^ 0xA0761D6478BD642Full);
    }
    a = ld64(p + n - 16) ^ h;
    b = ld64(p + n - 8);
  }
  if (keyed) return new_mix(a ^ SEED ^ (n * K), b ^ LAST);
  return old_mix(a ^ (n * K), b ^ 0xE7037ED1A0B428DBull);
}
int main(int argc, char** argv) {
  /* keyed count length seed: count distinct strings of `length` bytes ([0-9a-z], the first
     eight varied) whose hash has bits 10..19 zero, one a line */
  int keyed = atoi(argv[1]);
  long count = atol(argv[2]);
  size_t len = (size_t)atol(argv[3]);
  uint64_t state = strtoull(argv[4], 0, 10) * 0x9E3779B97F4A7C15ull + 1;
  static const char ALPHA[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  char s[256];
  for (size_t i = 0; i < len; ++i) s[i] = 'x';
  for (long found = 0; found < count;) {
    state ^= state << 13; state ^= state >> 7; state ^= state << 17;
    uint64_t v = state;
    for (int i = 0; i < 8; ++i, v /= 36) s[i] = ALPHA[v % 36];
    if ((hash(s, len, keyed) & 0xFFC00) == 0) { fwrite(s, 1, len, stdout); putchar('\n'); ++found; }
  }
  return 0;
}
"""


def build_finder(tmp):
    cc = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if cc is None:
        sys.exit("hash_flooding: needs a C compiler (cc) for the string finder")
    src = tmp / "finder.c"
    exe = tmp / "finder"
    src.write_text(FINDER)
    subprocess.run([cc, "-O2", "-o", str(exe), str(src)], check=True, timeout=120)
    return exe


def find_strings(finder, keyed, count, length, seed):
    out = subprocess.run(
        [str(finder), "1" if keyed else "0", str(int(count * 1.02) + 16), str(length), str(seed)],
        capture_output=True,
        text=True,
        check=True,
        timeout=900,
    ).stdout.split()
    return list(dict.fromkeys(out))[:count]


def random_strings(count, length, seed):
    rng = random.Random(seed)
    alpha = "0123456789abcdefghijklmnopqrstuvwxyz"
    out = set()
    while len(out) < count:
        out.add("".join(rng.choice(alpha) for _ in range(8)) + "x" * (length - 8))
    return list(out)


def full_collisions(count):
    """Strings of 32 bytes that collide in all 64 bits under the fixed key (see
    tests/test_hash_keys.py)."""
    head = "q7Rv2Lxe"
    return [f"{head}{i:08x}0123456789abcdef" for i in range(count)]


def chunks(items, size=60000):
    return [items[i : i + size] for i in range(0, len(items), size)]


def cases(strings):
    """The inputs of each operation from one list of distinct strings."""
    wide = [{k: 1 for k in strings[i : i + 250]} for i in range(0, len(strings), 250)][:2040]
    return {
        "dumps": json.dumps(chunks(strings)),
        "emit list": chunks(strings),
        "emit keys": [{k: 1 for k in strings[i : i + 120]} for i in range(0, len(strings), 120)],
        "loads": json.dumps(wide),
        "encode": json.dumps(chunks(strings)),
    }


# One timing in a fresh process: reads the case from a file, prints the CPU seconds of each call.
CHILD = r"""
import json, pickle, sys, time
sys.path[:0] = json.loads(sys.argv[1])
import vorn
op, path, repeat = sys.argv[2], sys.argv[3], int(sys.argv[4])
with open(path, "rb") as f:
    data = pickle.load(f)
if op == "loads":
    data = vorn.dumps(data)
fn = {"dumps": vorn.dumps, "loads": vorn.loads, "emit list": vorn.emit, "emit keys": vorn.emit}[op]
for _ in range(repeat):
    t = time.process_time()
    fn(data)
    print(time.process_time() - t, flush=True)
"""


def children_cpu():
    """CPU seconds of the finished child processes: other work on the machine inflates wall
    time, not this."""
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def time_call(python, path_dirs, op, data_file, repeat, timeout, vorn_cmd):
    try:
        if op == "encode":
            best = float("inf")
            for _ in range(repeat):
                t = children_cpu()
                subprocess.run(
                    [vorn_cmd, "encode", str(data_file), "-o", str(data_file) + ".vorn"],
                    check=True,
                    timeout=timeout,
                    capture_output=True,
                )
                best = min(best, children_cpu() - t)
                os.unlink(str(data_file) + ".vorn")
            return best
        done = subprocess.run(
            [
                str(python),
                "-c",
                CHILD,
                json.dumps([str(p) for p in path_dirs]),
                op,
                str(data_file),
                str(repeat),
            ],
            capture_output=True,
            text=True,
            timeout=timeout,
        )
        if done.returncode != 0:
            return f"error: {done.stderr.strip().splitlines()[-1]}"
        return min(float(t) for t in done.stdout.split())
    except subprocess.TimeoutExpired as e:
        # The calls that ended within the time, if any.
        out = e.output.decode() if isinstance(e.output, bytes) else (e.output or "")
        times = [float(t) for t in out.split()]
        return min(times) if times else None


def write_case(tmp, name, op, value):
    path = tmp / f"{name}-{op.replace(' ', '_')}.pickle"
    if op == "encode":
        path = path.with_suffix(".json")
        path.write_text(value)
    else:
        with open(path, "wb") as f:
            pickle.dump(value, f)
    return path


def fmt(t, timeout):
    if t is None:
        return f">{timeout:.0f} s"
    if isinstance(t, str):
        return t
    return f"{t * 1e3:.1f} ms"


def ratio(a, b, timeout):
    if isinstance(a, str) or isinstance(b, str) or b is None:
        return "-"
    if a is None:
        return f">{timeout / b:.0f}x"
    return f"{a / b:.2f}x"


def main():
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("--sizes", type=float, nargs="+", default=[1, 10], help="MB of JSON text")
    ap.add_argument("--quick", action="store_true", help="one 0.2 MB size, one call each")
    ap.add_argument("--before", default=str(DEFAULT_BEFORE), help="interpreter with the old build")
    ap.add_argument("--timeout", type=float, default=60.0)
    ap.add_argument(
        "--command",
        help="the vorn command of this build (default: the one beside this interpreter)",
    )
    ap.add_argument("--json", help="write the figures here")
    args = ap.parse_args()
    sizes = [0.2] if args.quick else args.sizes
    repeat = 1 if args.quick else 3
    here_python = pathlib.Path(sys.executable)
    here_vorn = args.command or shutil.which("vorn", path=str(here_python.parent)) or "vorn"
    before_python = pathlib.Path(args.before)
    before_vorn = before_python.parent / "vorn"
    have_before = before_python.exists()
    have_fixed = any(FIXED_BUILD.glob("vorn*.so")) and (FIXED_BUILD / "vorn").exists()
    results = []
    with tempfile.TemporaryDirectory() as tmp_name:
        tmp = pathlib.Path(tmp_name)
        finder = build_finder(tmp)
        for mb in sizes:
            length = 8
            count = int(mb * 1e6 / (length + 3))
            sets = {
                "random": random_strings(count, length, 1),
                "old-colliding": find_strings(finder, False, count, length, 2),
            }
            if have_fixed:
                sets["fixed-colliding"] = find_strings(finder, True, count, length, 3)
                sets["fixed-64-bit"] = full_collisions(int(mb * 1e6 / 35))
                sets["random-32"] = random_strings(len(sets["fixed-64-bit"]), 32, 4)
            files = {
                (name, op): write_case(tmp, name, op, value)
                for name, strings in sets.items()
                for op, value in cases(strings).items()
            }
            runs = [("after", here_python, [], here_vorn, "old-colliding", "random")]
            if have_before:
                runs.insert(
                    0, ("before", before_python, [], str(before_vorn), "old-colliding", "random")
                )
            if have_fixed:
                fixed_vorn = str(FIXED_BUILD / "vorn")
                runs.append(
                    ("fixed", here_python, [FIXED_BUILD], fixed_vorn, "fixed-colliding", "random")
                )
                runs.append(
                    ("fixed", here_python, [FIXED_BUILD], fixed_vorn, "fixed-64-bit", "random-32")
                )
            for label, python, dirs, vorn_cmd, crafted, plain in runs:
                for op in ["dumps", "emit list", "emit keys", "loads", "encode"]:
                    t_crafted = time_call(
                        python, dirs, op, files[(crafted, op)], repeat, args.timeout, vorn_cmd
                    )
                    t_plain = time_call(
                        python, dirs, op, files[(plain, op)], repeat, args.timeout, vorn_cmd
                    )
                    row = {
                        "size_mb": mb,
                        "build": label,
                        "strings": crafted,
                        "op": op,
                        "crafted_s": t_crafted,
                        "random_s": t_plain,
                        "ratio": ratio(t_crafted, t_plain, args.timeout),
                    }
                    results.append(row)
                    print(
                        f"{mb:5g} MB  {label:6} {crafted:16} {op:10} "
                        f"crafted {fmt(t_crafted, args.timeout):>12}  "
                        f"random {fmt(t_plain, args.timeout):>10}  "
                        f"{row['ratio']:>7}",
                        flush=True,
                    )
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
