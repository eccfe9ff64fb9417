"""The child process of test_memory_pressure: calls one vorn function again and again while
memory runs out, and prints the outcome of every call as one JSON document on standard output.

    python memory_pressure_child.py malloc FUNCTION THREAD RUN RECORDS
        the allocator (failmalloc.so, preloaded) fails the n-th allocation of the call, or a run
        of RUN allocations from the n-th on, for n across the call's allocations
    python memory_pressure_child.py rlimit FUNCTION THREAD 0 RECORDS
        the address space is limited (RLIMIT_AS) to limits between what the process holds and
        what the call needs

THREAD is "main" for calls on the main thread or "fresh" for a new thread per call. The outcome
of a call is "ok" or the name of the exception's type; the process itself must survive them all.
"""

import ctypes
import json
import os
import resource
import sys
import tempfile
import threading

import vorn


def functions(tmp: str, records: int) -> dict:
    rows = [{"id": i, "name": f"user {i % 997}", "score": i * 0.25, "ok": i % 3 == 0,
             "tags": ["red", "green", str(i % 13)]} for i in range(records)]
    # Arrays hold at most 65535 items: large inputs are split into several.
    text = json.dumps({f"part{k}": rows[k:k + 50000] for k in range(0, records, 50000)})
    image = vorn.dumps(text)
    value = vorn.loads(image)
    source, target = os.path.join(tmp, "in.vorn"), os.path.join(tmp, "out.vorn")
    vorn.dump(text, source)
    return {
        "dumps": lambda: vorn.dumps(text),
        "dump": lambda: vorn.dump(text, target),
        "loads": lambda: vorn.loads(image),
        "load": lambda: vorn.load(source),
        "emit": lambda: vorn.emit(value),
    }


def outcome(call, before=None, after=None) -> str:
    if before:
        before()
    try:
        result = call()
        del result
        return "ok"
    except BaseException as e:  # noqa: BLE001 - every kind of outcome is counted
        return type(e).__name__
    finally:
        if after:
            after()


def on_thread(kind: str, task):
    """Runs `task` on the main thread, or on a thread started before it is released to run it
    (its stack and thread state exist before memory runs out)."""
    if kind == "main":
        return task()
    go, box = threading.Event(), []
    worker = threading.Thread(target=lambda: (go.wait(), box.append(task())))
    worker.start()
    return go, worker, box


def finish(started):
    go, worker, box = started
    go.set()
    worker.join()
    return box[0]


def run_malloc(call, kind: str, run: int) -> list:
    lib = ctypes.CDLL(None)
    arm, disarm, calls = lib.failmalloc_arm, lib.failmalloc_disarm, lib.failmalloc_calls
    arm.argtypes = [ctypes.c_long, ctypes.c_long]
    calls.restype = ctypes.c_long
    arm(1 << 60, 1)
    call()
    total = calls()
    disarm()
    # Every one of the first allocations, then a spread over the rest.
    points = sorted(set(range(1, min(total, 40) + 1)) | {1 + total * k // 40 for k in range(40)})
    results = []
    for n in points:
        task = lambda n=n: outcome(call, lambda: arm(n, run), disarm)  # noqa: E731
        started = on_thread(kind, task)
        results.append([n, started if kind == "main" else finish(started)])
    return [total, results]


def address_space() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmSize")


def run_rlimit(call, kind: str) -> list:
    """Each limit is tried in a child forked with the inputs ready, so that every call starts
    from the same state: the address space it holds, plus 64 KiB, 90 KiB, ... up to 4 GiB, until
    the call has succeeded three times in a row."""
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    results, successes = [], 0
    for k in range(33):
        if successes == 3:
            break
        extra = int(2 ** (16 + k / 2))
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            limit = address_space() + extra
            task = lambda limit=limit: outcome(  # noqa: E731
                call, lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, hard)))
            started = on_thread(kind, task)
            result = started if kind == "main" else finish(started)
            os.write(write_end, result.encode())
            os._exit(0)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            result = pipe.read()
        _, status = os.waitpid(pid, 0)
        if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0 or not result:
            result = f"died ({status:#x})"
        successes = successes + 1 if result == "ok" else 0
        results.append([extra, result])
    return [len(results), results]


def main() -> None:
    mode, function, kind, run, records = sys.argv[1:6]
    with tempfile.TemporaryDirectory() as tmp:
        call = functions(tmp, int(records))[function]
        if mode == "malloc":
            results = run_malloc(call, kind, int(run))
        else:
            results = run_rlimit(call, kind)
        # Afterwards the module works as before.
        results.append(outcome(call))
        leftovers = sorted(name for name in os.listdir(tmp) if name not in ("in.vorn", "out.vorn"))
    print(json.dumps({"results": results, "leftovers": leftovers}))


if __name__ == "__main__":
    main()
