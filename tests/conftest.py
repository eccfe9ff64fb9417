import os
import signal

from hypothesis import settings

settings.register_profile("ci", derandomize=True, deadline=None, max_examples=200)
settings.register_profile("dev", deadline=None)
settings.load_profile("ci" if os.environ.get("CI") else "dev")

# A shell without job control starts a background command with SIGINT ignored, and the
# interpreter then installs no KeyboardInterrupt handler; the commands the tests start would
# inherit the ignored signal too. The tests of Ctrl-C need the usual handling wherever the suite
# was started from.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def pytest_report_header(config):
    import vorn

    return f"vorn from {vorn.__file__}"


if os.environ.get("VORN_EXPECT_SANITIZED"):
    import vorn

    # The sanitizer run must test the instrumented build, not the installed one.
    assert "build/asan" in vorn.__file__, vorn.__file__
