"""Helpers for tests that run the command line in a process of its own and look at what is
left of it afterwards."""

from __future__ import annotations

import os
import subprocess
import sys
import time
from collections.abc import Sequence
from pathlib import Path

PACKAGE_ROOT = Path(__file__).resolve().parents[3] / "python"
TINY = ["--dim", "7", "--sims-per-move", "2", "--channels", "4", "--blocks", "1", "--quiet"]


def start_cli(args: Sequence[str], cwd: Path) -> subprocess.Popen[bytes]:
    """`python -m tessarin_zero ARGS` from the package sources, in a session of its own (so that
    every process it starts can be found by its session id)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(PACKAGE_ROOT), *sys.path]))
    return subprocess.Popen(
        [sys.executable, "-m", "tessarin_zero", *args],
        cwd=cwd,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
        start_new_session=True,
    )


def session_members(session: int) -> list[int]:
    """Live processes of a session (zombies are dead: they only wait to be reaped)."""
    members = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stat = Path(f"/proc/{entry}/stat").read_text()
            except OSError:
                continue
            fields = stat.rsplit(")", 1)[1].split()
            if int(fields[3]) == session and fields[0] != "Z":
                members.append(int(entry))
    return members


def members_after(session: int, seconds: float) -> list[int]:
    """The session's live processes once they have all gone, or after `seconds`."""
    deadline = time.monotonic() + seconds
    while session_members(session) and time.monotonic() < deadline:
        time.sleep(0.1)
    return session_members(session)


def end_session(run: subprocess.Popen[bytes]) -> None:
    """Last resort of a test: kills whatever is left of the session it started."""
    for pid in session_members(run.pid):
        try:
            os.kill(pid, 9)
        except ProcessLookupError:
            pass
    if run.poll() is None:
        run.kill()
    run.wait()
