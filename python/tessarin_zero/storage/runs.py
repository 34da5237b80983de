"""Run folders: their names, their lock and the settings a loop stores to be resumed.

A run folder belongs to one writing command at a time: the command holds an exclusive lock on
``.lock`` inside it (``flock``, released by the kernel however the process ends) and a second
command on the same folder is refused. New folders are created with ``mkdir`` that fails if the
name exists, so two runs started in the same second get folders of their own.
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
from datetime import datetime
from pathlib import Path
from types import TracebackType
from typing import Any, Optional

RUNS_ROOT = Path("runs")
LOCK_FILE = ".lock"
LOOP_FILE = "run.json"  # the loop's settings, for --resume


class RunFolderBusy(RuntimeError):
    """Another process is writing to the run folder."""


class RunStateError(RuntimeError):
    """The run folder's state does not allow a command to go on (no records to train on,
    metrics that cannot be read)."""


def new_run_dir(root: Path = RUNS_ROOT) -> Path:
    """Creates and returns ``root/<date>-<time>``, with ``-2``, ``-3``... added if taken."""
    root.mkdir(parents=True, exist_ok=True)
    stamp = datetime.now().strftime("%Y%m%d-%H%M%S")
    serial = 1
    while True:
        candidate = root / (stamp if serial == 1 else f"{stamp}-{serial}")
        try:
            candidate.mkdir()
            return candidate
        except FileExistsError:
            serial += 1


SKELETON = ("records", "checkpoints")
"""The folders a command makes in its run folder before it writes anything."""


def is_used(run_dir: Path) -> bool:
    """Whether the folder exists and holds anything beyond its lock and empty `SKELETON`
    folders (what a command stopped before its first file leaves)."""
    if not run_dir.is_dir():
        return False
    for entry in run_dir.iterdir():
        if entry.name == LOCK_FILE and entry.is_file():
            continue
        if entry.name in SKELETON and entry.is_dir() and not any(entry.iterdir()):
            continue
        return True
    return False


class RunLock:
    """Holds the run folder's lock while in use (a context manager); raises RunFolderBusy on
    entry when another process holds it."""

    def __init__(self, run_dir: Path) -> None:
        self.run_dir = run_dir
        self._file: Optional[int] = None

    def __enter__(self) -> RunLock:
        self.run_dir.mkdir(parents=True, exist_ok=True)
        path = self.run_dir / LOCK_FILE
        descriptor = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.read(descriptor, 32).decode(errors="replace").strip() or "unknown"
            os.close(descriptor)
            raise RunFolderBusy(
                f"run folder {self.run_dir} is in use by another command (process {holder})"
            ) from None
        try:
            os.ftruncate(descriptor, 0)
            os.write(descriptor, f"{os.getpid()}\n".encode())
        except OSError:  # a full disk: the lock holds all the same, without its holder's note
            pass
        self._file = descriptor
        return self

    def __exit__(
        self,
        kind: Optional[type[BaseException]],
        error: Optional[BaseException],
        trace: Optional[TracebackType],
    ) -> None:
        if self._file is not None:
            os.close(self._file)  # releases the lock; the file stays, empty of meaning
            self._file = None


def save_loop_settings(run_dir: Path, flags: dict[str, Any]) -> None:
    """Stores the loop's flags (plain values) in ``run.json``, atomically: a reader sees the old
    file or the new one. OSError naming ``run.json`` when it cannot be written."""
    path = run_dir / LOOP_FILE
    temporary = path.with_name(f".{path.name}.tmp")
    try:
        with temporary.open("w") as stream:
            stream.write(json.dumps(flags, indent=2, sort_keys=True) + "\n")
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, path)
    except OSError as error:
        with contextlib.suppress(OSError):
            temporary.unlink(missing_ok=True)
        raise OSError(error.errno, error.strerror, str(path)) from error


def load_loop_settings(run_dir: Path) -> dict[str, Any]:
    """The flags stored by `save_loop_settings`; ValueError naming the file if unusable."""
    path = run_dir / LOOP_FILE
    try:
        flags = json.loads(path.read_text())
    except FileNotFoundError:
        raise ValueError(
            f"{run_dir} holds no loop to resume (no {LOOP_FILE}: the folder was not made by "
            "`loop`, or by a version that could not resume)"
        ) from None
    except (OSError, ValueError) as error:
        raise ValueError(f"{path}: unreadable loop settings ({error})") from error
    if not isinstance(flags, dict):
        raise ValueError(f"{path}: unreadable loop settings (not a JSON object)")
    return flags
