"""The module raises ValueError with one prefix before the reader's or writer's message; the
tests compare the message after it."""

import pytest

PREFIX = "Failed to parse VORN: "


def refusal_text(error):
    """The message of a refusal without its prefix; fails when the prefix is missing, so that a
    ValueError of another origin never passes for a refusal."""
    text = str(error)
    assert text.startswith(PREFIX), text
    return text[len(PREFIX):]


def refusal(call, *args):
    """The message `call(*args)` is refused with (after the prefix); fails when it returns."""
    with pytest.raises(ValueError) as info:
        call(*args)
    return refusal_text(info.value)
