"""How the tests find and run the vorn command: through subprocess, with its standard
streams on pipes, files or a pseudo-terminal."""

import fcntl
import os
import pathlib
import pty
import select
import shutil
import struct
import subprocess
import sys
import termios
import time

import pytest

import vorn


def find_command():
    """The command built with the imported module: the one VORN_CLI names, else the one beside
    the module in a build tree (the sanitizer run), else the one in the scripts directory of the
    running interpreter; None when there is none."""
    if os.environ.get("VORN_CLI"):
        return os.environ["VORN_CLI"]
    beside = pathlib.Path(vorn.__file__).parent / "vorn"
    if beside.is_file() and os.access(beside, os.X_OK):
        return str(beside)
    return shutil.which("vorn", path=os.path.dirname(sys.executable))


FOUND = find_command()


def vorn_command():
    """The path of the command under test. Without one, the test fails in CI (CI set), where the
    build must provide it, and is skipped elsewhere."""
    if FOUND is None:
        message = f"no vorn command beside {vorn.__file__} or {sys.executable}"
        if os.environ.get("CI"):
            pytest.fail(message)
        pytest.skip(message)
    return FOUND


# A command built with AddressSanitizer or ThreadSanitizer reserves terabytes of address space,
# so it cannot run under an address-space limit.
SANITIZED = FOUND is not None and any(
    marker in pathlib.Path(FOUND).read_bytes() for marker in (b"__asan_", b"__tsan_"))

# The C sources of preloaded libraries.
TESTS = pathlib.Path(__file__).resolve().parent.parent


def build_preload(directory, source, *flags):
    """tests/`source` (C) compiled into a library for LD_PRELOAD in `directory`; the test is
    skipped where no C compiler is installed."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip(f"no C compiler for {source}")
    library = pathlib.Path(directory) / (pathlib.Path(source).stem + ".so")
    subprocess.run([compiler, "-O2", "-shared", "-fPIC", "-o", str(library),
                    str(TESTS / source), *flags],
                   check=True, timeout=120)
    return library


# A command that takes longer than this has hung: the test fails instead of waiting for ever.
TIMEOUT = 300


def run(*args, stdin=subprocess.DEVNULL, input=None, text=True, **kwargs):
    """Runs the command to its end; standard input is empty unless `input` is given."""
    kwargs.setdefault("timeout", TIMEOUT)
    if input is not None:
        stdin = None
    options = {"encoding": "utf-8"} if text else {}
    return subprocess.run([vorn_command(), *map(str, args)], stdin=stdin, input=input,
                          stdout=kwargs.pop("stdout", subprocess.PIPE),
                          stderr=kwargs.pop("stderr", subprocess.PIPE), text=text, **options,
                          **kwargs)


def write(path, data):
    path.write_bytes(data if isinstance(data, bytes) else data.encode())
    return path


def drain(master, deadline=None):
    """Everything written to the terminal whose other side `master` is, until it closes; fails
    when that takes past `deadline` (a time.monotonic() value; TIMEOUT from now by default)."""
    if deadline is None:
        deadline = time.monotonic() + TIMEOUT
    chunks = []
    while True:
        ready, _, _ = select.select([master], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            raise TimeoutError("the command left its terminal open past its time limit")
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the terminal reports EIO once it is drained
            break
        if not chunk:
            break
        chunks.append(chunk)
    return b"".join(chunks).decode()


def run_on_terminal(args, streams=("stderr",), columns=None, **kwargs):
    """Runs the command with the named standard streams on one pseudo-terminal (of `columns`
    columns when given), the others as in run(); returns the status, what the terminal got and
    the completed process."""
    master, slave = pty.openpty()
    try:
        if columns:
            fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        proc = subprocess.Popen([vorn_command(), *map(str, args)],
                                stdin=slave if "stdin" in streams else subprocess.DEVNULL,
                                stdout=slave if "stdout" in streams else subprocess.PIPE,
                                stderr=slave if "stderr" in streams else subprocess.PIPE,
                                **kwargs)
        os.close(slave)
        slave = -1
        try:
            shown = drain(master, time.monotonic() + TIMEOUT)
        except TimeoutError:
            proc.kill()
            proc.wait()
            raise
        out, err = proc.communicate(timeout=TIMEOUT)
        return proc.returncode, shown, (out, err)
    finally:
        os.close(master)
        if slave >= 0:
            os.close(slave)
