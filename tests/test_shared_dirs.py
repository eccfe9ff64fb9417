"""Files in directories that other users share: a symbolic link is followed only where the kernel
would follow it for the writer (a link another user planted in a sticky, world-writable
directory is refused, as fs.protected_symlinks asks), a name that cannot be looked up is not
taken for an absent one, and a replaced file keeps its owner, group and permission bits. Run as
root, with the other user `nobody`."""

import os
import pathlib
import shutil
import stat
import subprocess
import sys
import tempfile

import pytest

import vorn
from tests.support.command import vorn_command
from tests.support.files import as_user, nobody, run_as

DOC = '{"name": "x", "tags": ["x", "y", "x"]}'
IMAGE = vorn.dumps(DOC)
REFUSED = "Permission denied (os error 13)"


@pytest.fixture
def public():
    """A directory that the other user can reach (the test's own tmp_path is private to root)."""
    directory = pathlib.Path(tempfile.mkdtemp(prefix="vorn-shared-"))
    directory.chmod(0o755)
    yield directory
    shutil.rmtree(directory)


@pytest.fixture
def protected_symlinks():
    """The kernel's rule on, for the test, as it is on most systems."""
    nobody()
    setting = "/proc/sys/fs/protected_symlinks"
    try:
        with open(setting) as f:
            before = f.read().strip()
        if before != "1":
            with open(setting, "w") as f:
                f.write("1")
    except OSError:
        pytest.skip("fs.protected_symlinks cannot be turned on here")
    yield
    if before != "1":
        with open(setting, "w") as f:
            f.write(before)


@pytest.fixture
def shared(public):
    """A sticky, world-writable directory, and a private file outside it."""
    public.chmod(0o755)
    sticky = public / "sticky"
    sticky.mkdir(mode=0o1777)
    sticky.chmod(0o1777)
    victim = public / "victim"
    victim.write_text("secret")
    victim.chmod(0o600)
    (public / "in.json").write_text(DOC)
    return sticky, victim


def plant(link, points_to, uid, gid):
    """A symbolic link made by the other user."""
    subprocess.run(["ln", "-s", str(points_to), str(link)], preexec_fn=as_user(uid, gid),
                   check=True, timeout=30)


def write_with(writer, target, public):
    """Writes the image to `target` with dump or the command; the error text, or None."""
    if writer == "dump":
        try:
            vorn.dump(DOC, str(target))
        except ValueError as e:
            return str(e)
        return None
    args = [vorn_command(), "encode", str(public / "in.json"), "-o", str(target)]
    done = subprocess.run(args + (["-f"] if writer == "encode -f" else []), capture_output=True,
                          text=True, timeout=60)
    return None if done.returncode == 0 else done.stderr


WRITERS = ["dump", "encode", "encode -f"]


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("dangling", [False, True], ids=["to a file", "dangling"])
def test_a_link_another_user_planted_is_not_followed(public, protected_symlinks, shared,
                                                      writer, dangling):
    sticky, victim = shared
    chosen = public / "chosen" if dangling else victim
    link = sticky / "out.vorn"
    plant(link, chosen, *nobody())
    error = write_with(writer, link, public)
    expected = (f"IO error: {REFUSED}" if writer == "dump"
                else f"vorn: {link}: {REFUSED}\n")
    assert error == expected
    assert victim.read_text() == "secret"
    assert not (public / "chosen").exists()
    assert os.listdir(sticky) == ["out.vorn"] and link.is_symlink()


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("dangling", [False, True], ids=["to a file", "dangling"])
def test_a_link_the_writer_owns_is_followed(public, protected_symlinks, shared, writer,
                                            dangling):
    sticky, victim = shared
    chosen = public / "chosen" if dangling else victim
    link = sticky / "out.vorn"
    link.symlink_to(chosen)
    error = write_with(writer, link, public)
    if writer == "encode" and not dangling:
        assert error == f"vorn: {link}: already exists; use -f to replace it\n"
        return
    assert error is None
    assert chosen.read_bytes() == IMAGE and link.is_symlink()
    assert stat.S_IMODE(chosen.stat().st_mode) == (0o600 if not dangling else 0o644)


@pytest.mark.parametrize("mode, kept", [(0o640, 0o640), (0o604, 0o604), (0o4755, 0o755),
                                        (0o2770, 0o770), (0o1666, 0o666)])
@pytest.mark.parametrize("writer", ["dump", "encode -f"])
def test_a_replaced_file_keeps_its_owner_group_and_permission_bits(public, writer, mode, kept):
    uid, gid = nobody()
    target = public / "out.vorn"
    target.write_bytes(b"old")
    os.chown(target, uid, gid)
    target.chmod(mode)
    (public / "in.json").write_text(DOC)
    assert write_with(writer, target, public) is None
    st = target.stat()
    # Set-user-ID, set-group-ID and sticky bits are never handed on.
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (uid, gid, kept)
    assert target.read_bytes() == IMAGE


@pytest.mark.parametrize("writer", ["dump", "encode -f"])
def test_an_unprivileged_writer_keeps_the_group_and_bits(public, writer):
    uid, gid = nobody()
    public.chmod(0o777)
    target = public / "out.vorn"
    target.write_bytes(b"old")
    os.chown(target, uid, gid)
    target.chmod(0o640)
    (public / "in.json").write_text(DOC)
    if writer == "dump":
        args = [sys.executable, "-c", f"import vorn; vorn.dump({DOC!r}, {str(target)!r})"]
    else:
        args = [vorn_command(), "encode", str(public / "in.json"), "-o", str(target), "-f"]
    assert run_as(uid, gid, args).returncode == 0
    st = target.stat()
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (uid, gid, 0o640)
    assert target.read_bytes() == IMAGE
