"""How the host's processes end: children never outlive the main process, and the main process
turns the polite stop signals of schedulers and terminals into an orderly shutdown.

Workers and the inference server are forked by the fork server, not by the main process, so a
parent-death signal alone would tie them to the fork server, which itself waits for them. Each
child therefore also watches the main process directly: a daemon thread waits on the
multiprocessing sentinel of its parent (the main process, whose end it sees as end-of-file) and
ends the child at once. A child blocked writing to a full pipe (a request to a server that is
gone) would otherwise wait for ever. Once the children have gone, the fork server and the
resource tracker see end-of-file on their own pipes and end too.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import multiprocessing
import os
import signal
import sys
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from multiprocessing.connection import wait
from types import FrameType
from typing import Optional

_PR_SET_PDEATHSIG = 1  # from <linux/prctl.h>
ORPHAN_EXIT_CODE = 70  # what a child that outlived the main process exits with
STOP_SIGNALS = (signal.SIGTERM, signal.SIGHUP)


def die_with_parent() -> None:
    """Called first thing in a child process: the child ends as soon as its parent does."""
    _set_parent_death_signal()
    parent = multiprocessing.parent_process()
    if parent is None or parent.sentinel is None:
        return
    sentinel = parent.sentinel
    if not parent.is_alive():
        os._exit(ORPHAN_EXIT_CODE)
    watchdog = threading.Thread(
        target=_exit_when_ready, args=(sentinel,), name="parent-watchdog", daemon=True
    )
    watchdog.start()


def _exit_when_ready(sentinel: int) -> None:
    wait([sentinel])
    os._exit(ORPHAN_EXIT_CODE)  # no clean-up: whatever it would flush has nowhere to go


def _set_parent_death_signal() -> None:
    """Linux: the kernel kills this process when the process that forked it ends (the fork
    server): a second line behind the watchdog, which needs the interpreter to run."""
    if not sys.platform.startswith("linux"):
        return
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
        libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    except (OSError, AttributeError):  # no libc to call: the watchdog still works
        pass


class Terminated(SystemExit):
    """A stop signal (SIGTERM, SIGHUP) reached the main process; the exit status is the shell's
    128 + signal number."""

    def __init__(self, signum: int) -> None:
        super().__init__(128 + signum)
        self.signum = signum

    def __str__(self) -> str:
        return f"Terminated by {signal.Signals(self.signum).name}"


_deferring = 0  # depth of signals_deferred blocks (the main thread's: handlers run there)
_deferred: list[BaseException] = []


def _stop(error: BaseException) -> None:
    """Raises `error` now, or when the outermost `signals_deferred` block ends."""
    if _deferring:
        if not _deferred:
            _deferred.append(error)
        return
    raise error


@contextmanager
def signals_deferred() -> Iterator[None]:
    """Within the block, Ctrl-C and the stop signals (under `stop_signals_raise`) take effect
    only when it ends: for a step that must not be cut in half, such as a file written and then
    listed as written (a game journaled but not listed would stay in the journal)."""
    global _deferring
    _deferring += 1
    try:
        yield
    finally:
        _deferring -= 1
        if not _deferring and _deferred:
            raise _deferred.pop()


@contextmanager
def stop_signals_raise() -> Iterator[None]:
    """Within the block, SIGTERM and SIGHUP raise `Terminated` in the main thread, so that the
    same clean-up as for Ctrl-C runs: workers and server are ended and finished games written.
    Later stop signals are ignored while that clean-up runs (it is bounded in time). Ctrl-C
    raises KeyboardInterrupt as usual; both wait for the end of a `signals_deferred` block."""

    def handle(signum: int, frame: Optional[FrameType]) -> None:
        for stop in STOP_SIGNALS:
            signal.signal(stop, signal.SIG_IGN)
        _stop(Terminated(signum))

    def interrupt(signum: int, frame: Optional[FrameType]) -> None:
        _stop(KeyboardInterrupt())

    previous = {stop: signal.signal(stop, handle) for stop in STOP_SIGNALS}
    previous[signal.SIGINT] = signal.signal(signal.SIGINT, interrupt)
    try:
        yield
    finally:
        for stop, handler in previous.items():
            signal.signal(stop, handler)
