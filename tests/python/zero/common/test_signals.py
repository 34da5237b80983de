"""A run stopped by a signal to its main process (a scheduler's SIGTERM, a closed terminal's
SIGHUP, the out-of-memory killer's SIGKILL) leaves no process behind and keeps every game that
had finished, even when the signal lands while a game is being journaled."""

from __future__ import annotations

import os
import signal
import time
from pathlib import Path
from typing import Any

import pytest

from games import uniform_game
from files import finished_games
from processes import TINY, end_session, members_after, start_cli
from tessarin_zero.storage import records as records_module
from tessarin_zero.storage.records import RecordWriter, read_chunk, recover_journal
from tessarin_zero.training.tensors import load_training_tensors
from tessarin_zero.common.lifetime import Terminated, stop_signals_raise
from tessarin_zero.storage.runs import RunLock
from tessarin_zero.common.settings import GameSettings

STARTUP_S = 40.0  # torch imports in the main process and the fork server on a busy machine


@pytest.mark.parametrize("signum", [signal.SIGKILL, signal.SIGTERM, signal.SIGHUP])
def test_a_signal_to_the_main_process_ends_every_process_and_keeps_finished_games(
    tmp_path: Path, signum: int
) -> None:
    run_dir = tmp_path / "run"
    records = run_dir / "records"
    run = start_cli(
        ["selfplay", "--run-dir", str(run_dir), "--games", "100000", "--workers", "2", *TINY],
        cwd=tmp_path,
    )
    try:
        deadline = time.monotonic() + STARTUP_S
        while finished_games(records) < 2 and time.monotonic() < deadline and run.poll() is None:
            time.sleep(0.05)
        finished = finished_games(records)
        assert finished >= 2, "no game reached the disk while the run went on"
        run.send_signal(signum)  # the main process alone, as `kill` or a scheduler sends it
        _, err = run.communicate(timeout=30)
        left = members_after(run.pid, 5.0)
    finally:
        end_session(run)
    assert left == [], "processes outlived the main process"
    if signum == signal.SIGKILL:
        assert run.returncode == -signal.SIGKILL
    else:
        assert run.returncode == 128 + signum
        assert f"Terminated by {signal.Signals(signum).name}".encode() in err
        assert not (records / ".journal").exists()  # written out as a chunk before exiting

    recover_journal(records)  # what the next command on the folder does
    chunks = sorted(records.glob("*.npz"))
    assert sum(read_chunk(path).games for path in chunks) >= finished
    assert len(load_training_tensors(chunks, augment=False)) > 0
    with RunLock(run_dir):  # the dead run's lock went with it
        pass


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_a_signal_while_a_game_is_journaled_still_leaves_it_in_the_chunk(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, signum: int
) -> None:
    settings = GameSettings(dim=5, sims_per_move=2)
    record = uniform_game(settings)
    write = records_module._write_atomically

    def write_then_signal(path: Path, *args: Any, **kwargs: Any) -> Path:
        written = write(path, *args, **kwargs)
        os.kill(os.getpid(), signum)  # the handler runs between here and the entry's listing
        return written

    monkeypatch.setattr(records_module, "_write_atomically", write_then_signal)
    expected = Terminated if signum == signal.SIGTERM else KeyboardInterrupt
    with pytest.raises(expected), stop_signals_raise():
        with RecordWriter(tmp_path, settings) as writer:
            writer.add(record)
    assert not (tmp_path / ".journal").exists()
    assert [read_chunk(path).games for path in tmp_path.glob("*.npz")] == [1]
