"""The command in the environment it is given: ended by SIGINT, SIGTERM or SIGHUP in the middle of
a batch it removes every temporary file and ends by that signal; closed standard descriptors
are opened on /dev/null before any file is; outputs named through /dev/stdout, /dev/fd and
process substitution are written in place, and no image reaches a terminal by any name."""

import os
import pty
import signal
import socket
import subprocess
import sys

import pytest

import vorn
from tests.support.command import drain, run, vorn_command, write
from tests.support.files import build_killpoint, killpoint_env, temporaries, wait_until_stopped

DOC = '{"name": "x", "tags": ["x", "y", "x"]}'
IMAGE = vorn.dumps(DOC)
DECODED = b'{"name":"x","tags":["x","y","x"]}\n'


@pytest.fixture(scope="module")
def killpoint(tmp_path_factory):
    return build_killpoint(tmp_path_factory.mktemp("killpoint"))


def inputs(tmp_path, command, count=6):
    """`count` inputs for the command, of a few hundred kilobytes each."""
    body = '[' + ','.join(f'{{"id": {i}, "name": "n{i % 50}"}}' for i in range(20000)) + ']'
    made = []
    for k in range(count):
        if command == "encode":
            made.append(write(tmp_path / f"in{k}.json", body))
        else:
            made.append(write(tmp_path / f"in{k}.vorn", vorn.dumps(body)))
    return made


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP],
                         ids=lambda s: signal.Signals(s).name)
@pytest.mark.parametrize("command", ["encode", "decode"])
def test_a_signal_in_a_batch_removes_the_temporary_files(tmp_path, killpoint, command, sig):
    out = tmp_path / "out"
    args = [vorn_command(), command, *map(str, inputs(tmp_path, command)), "-j", "2", "-q", "-o",
            f"{out}/"]
    # The command stops itself in the first write to a temporary file.
    child = subprocess.Popen(args, env=killpoint_env(killpoint, "write", signal.SIGSTOP),
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        wait_until_stopped(child.pid)
        assert temporaries(out), "stopped before any temporary file was made"
        child.send_signal(sig)
        child.send_signal(signal.SIGCONT)
        _, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait(timeout=60)
    assert child.returncode == -sig, err
    assert temporaries(out) == []


def test_a_signal_ignored_at_the_start_stays_ignored(tmp_path, killpoint):
    """nohup: SIGHUP does not end the command, which finishes its work."""
    out = tmp_path / "out"
    sources = inputs(tmp_path, "encode", count=2)
    child = subprocess.Popen([vorn_command(), "encode", *map(str, sources), "-q", "-o", f"{out}/"],
                             env=killpoint_env(killpoint, "write", signal.SIGSTOP),
                             preexec_fn=lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN),
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        wait_until_stopped(child.pid)
        child.send_signal(signal.SIGHUP)
        child.send_signal(signal.SIGCONT)
        child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait(timeout=60)
    assert child.returncode == 0
    assert sorted(os.listdir(out)) == ["in0.vorn", "in1.vorn"]


@pytest.mark.parametrize("closed", [0, 1, 2])
def test_a_closed_standard_descriptor_corrupts_no_output(tmp_path, closed):
    sources = [write(tmp_path / f"bad{k}.json", "[1, ") for k in range(4)]
    sources += [write(tmp_path / f"good{k}.json", DOC) for k in range(4)]
    out = tmp_path / "out"
    done = subprocess.run([vorn_command(), "encode", *map(str, sources), "-j", "2", "-o",
                           f"{out}/"],
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=60,
                          preexec_fn=lambda: os.close(closed))
    assert done.returncode == 1
    assert sorted(os.listdir(out)) == [f"good{k}.vorn" for k in range(4)]
    for k in range(4):
        assert (out / f"good{k}.vorn").read_bytes() == IMAGE
    if closed != 2:
        assert done.stderr.count(b"vorn: ") == 5  # four files, and the count of failures


# --- outputs named in /dev ----------------------------------------------------------------------

def read_all(fd):
    chunks = []
    while chunk := os.read(fd, 65536):
        chunks.append(chunk)
    return b"".join(chunks)


@pytest.mark.parametrize("writer", ["encode", "decode", "dump"])
@pytest.mark.parametrize("name", ["/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"])
@pytest.mark.parametrize("kind", ["pipe", "socket"])
def test_standard_output_named_in_dev_is_written_in_place(tmp_path, writer, name, kind):
    source = write(tmp_path / "in.json", DOC)
    image = write(tmp_path / "in.vorn", IMAGE)
    args = {"encode": [vorn_command(), "encode", source, "-o", name],
            "decode": [vorn_command(), "decode", image, "-o", name],
            "dump": [sys.executable, "-c", f"import vorn; vorn.dump({DOC!r}, {name!r})"]}[writer]
    if kind == "pipe":
        done = subprocess.run(list(map(str, args)), capture_output=True, timeout=60)
        got = done.stdout
    else:
        ours, theirs = socket.socketpair()
        with ours, theirs:
            done = subprocess.run(list(map(str, args)), stdout=theirs, stderr=subprocess.PIPE,
                                  timeout=60)
            theirs.close()
            got = read_all(ours.fileno())
    assert (done.returncode, done.stderr) == (0, b"")
    assert got == (DECODED if writer == "decode" else IMAGE)


def test_a_process_substitution_gets_the_image(tmp_path):
    """-o >(cmd): a pipe passed as /dev/fd/N."""
    source = write(tmp_path / "in.json", DOC)
    reader, writer = os.pipe()
    try:
        done = subprocess.run([vorn_command(), "encode", str(source), "-o", f"/dev/fd/{writer}"],
                              pass_fds=[writer], capture_output=True, timeout=60)
        os.close(writer)
        writer = -1
        assert (done.returncode, done.stderr) == (0, b"")
        assert read_all(reader) == IMAGE
    finally:
        os.close(reader)
        if writer >= 0:
            os.close(writer)


def on_terminal(args):
    """Runs `args` with standard output on a pseudo-terminal; the status, what the terminal
    showed and standard error."""
    master, slave = pty.openpty()
    try:
        name = os.ttyname(slave)
        args = [a.replace("TTY", name) for a in map(str, args)]
        proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=slave,
                                stderr=subprocess.PIPE)
        os.close(slave)
        slave = -1
        shown = drain(master)
        _, err = proc.communicate(timeout=60)
        return proc.returncode, shown, err.decode(), name
    finally:
        os.close(master)
        if slave >= 0:
            os.close(slave)


@pytest.mark.parametrize("name", ["/dev/stdout", "TTY"])
def test_no_image_reaches_a_terminal_by_any_name(tmp_path, name):
    source = write(tmp_path / "in.json", DOC)
    status, shown, err, tty = on_terminal([vorn_command(), "encode", source, "-o", name])
    target = name.replace("TTY", tty)
    assert (status, shown) == (1, "")
    assert err == f"vorn: {target}: refusing to write a binary image to a terminal\n"
    script = f"import vorn\ntry: vorn.dump({DOC!r}, {name!r})\nexcept ValueError as e: print(e)"
    status, shown, err, _ = on_terminal([sys.executable, "-c", script])
    assert (status, shown, err) == (0, "IO error: refusing to write a binary image to a terminal"
                                       "\r\n", "")
    # JSON text may go there.
    image = write(tmp_path / "in.vorn", IMAGE)
    status, shown, err, _ = on_terminal([vorn_command(), "decode", image, "-o", name])
    assert (status, shown, err) == (0, DECODED.decode().replace("\n", "\r\n"), "")


@pytest.mark.parametrize("args", [["--help"], ["-h"], ["--version"], ["help", "encode"],
                                  ["encode", "--help"], ["decode", "-h"]])
def test_help_and_version_report_a_failed_write(args):
    with open("/dev/full", "w") as full:
        done = run(*args, stdout=full)
    assert done.returncode == 1
    assert done.stderr == "vorn: standard output: No space left on device (os error 28)\n"
