"""Fixtures shared by the tessarin_self_play tests. The host fakes live in fakes.py, where the
leak check script can import them too."""

from __future__ import annotations

import pytest

from fakes import make_host, play_against_random


@pytest.fixture(scope="session")
def worker_stop() -> type[BaseException]:
    """The module's stop exception class, taken from a stop (it is not a module attribute)."""
    try:
        play_against_random(make_host(rep=3))
    except BaseException as stop:  # noqa: B036 - the class is what we are after
        return type(stop)
    raise AssertionError("an invalid representation type did not stop the worker")
