"""The file operations under faults: dump replaces a file whole or not at all (a writer killed at
any point, a file-size limit), keeps the target's permission bits and its symbolic link, and a
blocked open, read or write of a FIFO neither stops other threads nor ignores Ctrl-C."""

import json
import os
import signal
import stat
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import vorn
from tests.support.command import vorn_command
from tests.support.files import STEPS, build_killpoint, killpoint_env, temporaries


def records(n, salt):
    rows = [{"id": i, "name": f"{salt} {i % 1000}", "tags": [salt, str(i % 7)]} for i in range(n)]
    return json.dumps({f"part{k}": rows[k:k + 50000] for k in range(0, n, 50000)})


def leftovers(directory, *keep):
    return sorted(name for name in os.listdir(directory) if name not in keep)


@pytest.fixture(scope="module")
def killpoint(tmp_path_factory):
    return build_killpoint(tmp_path_factory.mktemp("killpoint"))


@pytest.mark.parametrize("step, replaced", STEPS.items())
@pytest.mark.parametrize("writer", ["dump", "command"])
def test_killed_writer_leaves_the_old_or_the_new_image(tmp_path, killpoint, writer, step,
                                                       replaced):
    old_image, new_text = vorn.dumps(records(2000, "old")), records(2200, "new")
    target, source = tmp_path / "data.vorn", tmp_path / "new.json"
    source.write_text(new_text)
    target.write_bytes(old_image)
    target.chmod(0o644)
    if writer == "dump":
        args = [sys.executable, "-c",
                f"import vorn; vorn.dump(open({str(source)!r}).read(), {str(target)!r})"]
    else:
        args = [vorn_command(), "encode", str(source), "-o", str(target), "-f"]
    done = subprocess.run(args, env=killpoint_env(killpoint, step), capture_output=True,
                          timeout=60)
    assert done.returncode == -signal.SIGKILL, done.stderr
    assert target.read_bytes() == (vorn.dumps(new_text) if replaced else old_image)
    assert stat.S_IMODE(target.stat().st_mode) == 0o644
    left = temporaries(tmp_path)
    assert len(left) == (step in ("write", "fsync", "renameat"))
    if step == "write":
        # As created, before a byte is in it: readable by its owner alone.
        assert stat.S_IMODE((tmp_path / left[0]).stat().st_mode) == 0o600


def test_file_size_limit_leaves_the_target_whole(tmp_path):
    target, source = tmp_path / "data.vorn", tmp_path / "in.json"
    target.write_bytes(b"old contents")
    source.write_text(records(20000, "x"))
    script = textwrap.dedent(f"""
        import resource, signal, vorn
        text = open({str(source)!r}).read()
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (100000, resource.RLIM_INFINITY))
        try:
            vorn.dump(text, {str(target)!r})
        except ValueError as e:
            print(e)
        """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          check=True, timeout=60)
    assert done.stdout.startswith("IO error: File too large (os error 27)")
    assert target.read_bytes() == b"old contents"
    assert leftovers(tmp_path, "data.vorn", "in.json") == []


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o755])
def test_replacement_keeps_the_permission_bits(tmp_path, mode):
    target = tmp_path / "data.vorn"
    target.write_bytes(b"old")
    target.chmod(mode)
    vorn.dump("[1]", str(target))
    assert stat.S_IMODE(target.stat().st_mode) == mode
    assert target.read_bytes() == vorn.dumps("[1]")


@pytest.mark.parametrize("umask", [0o022, 0o077])
def test_new_file_gets_the_mode_of_a_plain_create(tmp_path, umask):
    old = os.umask(umask)
    try:
        vorn.dump("[1]", str(tmp_path / "new.vorn"))
    finally:
        os.umask(old)
    assert stat.S_IMODE((tmp_path / "new.vorn").stat().st_mode) == 0o666 & ~umask


@pytest.mark.parametrize("chain", [1, 3])
def test_symbolic_link_stays_and_its_file_is_replaced(tmp_path, chain):
    real = tmp_path / "real.vorn"
    real.write_bytes(b"old")
    link = real
    for k in range(chain):
        nxt = tmp_path / f"link{k}.vorn"
        nxt.symlink_to(link.name)  # relative links, resolved against their own directory
        link = nxt
    vorn.dump('{"a": 1}', str(link))
    assert link.is_symlink()
    assert real.read_bytes() == vorn.dumps('{"a": 1}')
    assert vorn.load(str(link)) == {"a": 1}


def test_dangling_link_creates_the_file_it_names(tmp_path):
    (tmp_path / "link.vorn").symlink_to("target.vorn")
    vorn.dump("[2]", str(tmp_path / "link.vorn"))
    assert (tmp_path / "link.vorn").is_symlink()
    assert vorn.load(str(tmp_path / "target.vorn")) == [2]


def interrupt_after(seconds):
    timer = threading.Timer(seconds, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    return timer


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "pipe"
    os.mkfifo(path)
    return path


@pytest.mark.parametrize("call", ["load", "dump"])
def test_blocked_fifo_ends_with_keyboard_interrupt(fifo, call):
    # No other end ever opens: only the signal ends the call.
    timer = interrupt_after(0.3)
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        if call == "load":
            vorn.load(str(fifo))
        else:
            vorn.dump("[1, 2, 3]", str(fifo))
    timer.join()
    assert time.monotonic() - start < 1.5
    assert stat.S_ISFIFO(fifo.stat().st_mode)


def test_fifo_written_by_another_thread_is_read(fifo):
    image = vorn.dumps(records(20000, "fifo"))

    def write():
        with open(fifo, "wb") as out:
            out.write(image)

    writer = threading.Thread(target=write)
    writer.start()
    timer = interrupt_after(10)  # a hang ends the test instead of the suite
    try:
        value = vorn.load(str(fifo))
    finally:
        timer.cancel()
    writer.join()
    assert value == vorn.loads(image)


def test_fifo_read_by_another_thread_gets_the_image(fifo):
    got = []

    def read():
        with open(fifo, "rb") as source:
            got.append(source.read())

    reader = threading.Thread(target=read)
    reader.start()
    timer = interrupt_after(10)
    try:
        vorn.dump('{"a": [1, 2]}', str(fifo))
    finally:
        timer.cancel()
    reader.join()
    assert got == [vorn.dumps('{"a": [1, 2]}')]


# --- load looks at the header first -------------------------------------------------------------

LOAD_IN_A_SMALL_ADDRESS_SPACE = textwrap.dedent("""
    import resource, sys, vorn
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))
    try:
        vorn.load(sys.argv[1])
    except ValueError as e:
        print(e)
    """)


def header(version, data_offset):
    return bytes([version]) + (13).to_bytes(4, "little") * 2 + data_offset.to_bytes(4, "little")


@pytest.mark.skipif(bool(os.environ.get("VORN_EXPECT_SANITIZED")),
                    reason="a sanitized build cannot run under an address-space limit")
@pytest.mark.parametrize("start, message", [
    (b"", "Unsupported VORN version: 0"),
    (b'{"a": 1}', "Unsupported VORN version: 123"),
    (header(vorn.dumps("[]")[0], 0xFFFFFFFF),
     "Data block offset 4294967295 exceeds buffer length 3221225472"),
], ids=["zeros", "json", "offset"])
def test_load_refuses_a_large_file_by_its_header_alone(tmp_path, start, message):
    """3 GB that an address space of 1 GB could not hold: only the header is read."""
    path = tmp_path / "large"
    with open(path, "wb") as f:
        f.write(start)
        f.truncate(3 << 30)  # sparse: no disk is used
    done = subprocess.run([sys.executable, "-c", LOAD_IN_A_SMALL_ADDRESS_SPACE, str(path)],
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, f"Failed to parse VORN: {message}\n",
                                                           "")


@pytest.mark.parametrize("data", [b"", b"\x01", bytes(12), bytes(13), b"[1, 2, 3]\n",
                                  header(vorn.dumps("[]")[0], 14),
                                  header(vorn.dumps("[]")[0], 13) + b"\0",
                                  vorn.dumps("[1]")[:20]],
                         ids=["empty", "one", "12", "13", "json", "offset", "blocks", "cut"])
def test_load_says_what_loads_says(tmp_path, data):
    path = tmp_path / "data.vorn"
    path.write_bytes(data)
    with pytest.raises(ValueError) as from_bytes:
        vorn.loads(data)
    with pytest.raises(ValueError) as from_file:
        vorn.load(str(path))
    assert str(from_file.value) == str(from_bytes.value)
