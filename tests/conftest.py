import os

from hypothesis import settings

settings.register_profile("ci", derandomize=True, deadline=None, max_examples=200)
settings.register_profile("dev", deadline=None)
settings.load_profile("ci" if os.environ.get("CI") else "dev")


def pytest_report_header(config):
    import vorn

    return f"vorn from {vorn.__file__}"


if os.environ.get("VORN_EXPECT_SANITIZED"):
    import vorn

    # The sanitizer run must test the instrumented build, not the installed one.
    assert "build/asan" in vorn.__file__, vorn.__file__
