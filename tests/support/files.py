"""What the tests of file replacement share: a preloaded library that stops or ends a writer at
a chosen step (tests/killpoint.c), the temporary files a writer leaves, and running a child
process as the unprivileged user `nobody`."""

import os
import pwd
import subprocess

import pytest

from tests.support.command import build_preload

# Each step of a replacement, and whether the target holds the new content once a writer is
# ended there.
STEPS = {"create": False, "write": False, "fsync": False, "renameat": False, "renameat+": True}


def build_killpoint(directory):
    return build_preload(directory, "killpoint.c", "-ldl")


def killpoint_env(library, step, signal_number=None):
    """The environment of a child that the library stops or ends at `step`."""
    env = dict(os.environ)
    # A sanitizer's runtime, preloaded by the suite's run, must stay first.
    env["LD_PRELOAD"] = ":".join(filter(None, [env.get("LD_PRELOAD"), str(library)]))
    env["KILLPOINT"] = step
    if signal_number is not None:
        env["KILLPOINT_SIGNAL"] = str(signal_number)
    return env


def temporaries(directory):
    return sorted(name for name in os.listdir(directory) if name.endswith(".tmp"))


def wait_until_stopped(pid, timeout=20.0):
    """Waits for the process to be stopped (by the signal it sent itself)."""
    import time
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open(f"/proc/{pid}/stat") as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        if state in "Tt":
            return
        time.sleep(0.01)
    raise AssertionError("the writer never reached the step")


def nobody():
    """The uid and gid of the unprivileged user, when this process may become it (root)."""
    if os.geteuid() != 0:
        pytest.skip("needs root to act as another user")
    try:
        entry = pwd.getpwnam("nobody")
    except KeyError:
        pytest.skip("no user 'nobody'")
    return entry.pw_uid, entry.pw_gid


def as_user(uid, gid):
    """A preexec_fn that drops a child to the user."""
    def drop():
        os.setgroups([])
        os.setgid(gid)
        os.setuid(uid)
    return drop


def run_as(uid, gid, args, **kwargs):
    """Runs `args` as the user; skips when the user may not run the program (an interpreter
    installed in root's home)."""
    try:
        return subprocess.run(args, preexec_fn=as_user(uid, gid), capture_output=True, text=True,
                              timeout=60, **kwargs)
    except PermissionError:
        pytest.skip(f"{args[0]} cannot be run by another user")
