"""The training window: the newest usable record chunks of some folders, as training tensors.

A damaged chunk is set aside (moved to ``set-aside/``, never deleted) and a chunk of another
board side left where it is; both with a warning that names the file, and training goes on
without them.
"""

from __future__ import annotations

import logging
from collections.abc import Sequence
from pathlib import Path

from tessarin_zero.common.settings import TrainSettings
from tessarin_zero.storage.records import RecordError, recover_journal, set_aside
from tessarin_zero.storage.runs import RunStateError
from tessarin_zero.training.tensors import TrainingTensors, load_training_tensors

_log = logging.getLogger(__name__)


def chunk_files(folders: Sequence[Path]) -> list[Path]:
    """Every chunk of the folders, oldest first, after turning dead writers' journals into
    chunks (where the folder can be written)."""
    for folder in folders:
        try:
            recover_journal(folder)
        except OSError as error:
            _log.warning("%s: its journal could not be recovered (%s)", folder, error)
    return sorted(p for folder in folders for p in Path(folder).glob("*.npz"))


def load_window(
    folders: Sequence[Path], settings: TrainSettings, dim: int | None
) -> tuple[TrainingTensors, int]:
    """Samples of the newest `window_chunks` usable chunks of board side `dim` (None: that of
    the newest chunk), and how many chunks that was. RunStateError when there is no chunk."""
    refused = 0

    def refuse(error: RecordError) -> None:
        nonlocal refused
        refused += 1
        if error.damaged:
            try:
                where = set_aside(error.path, error.path.parent)
                _log.warning("%s; set aside as %s", error, where)
                return
            except OSError as move_error:
                _log.warning("%s; left in place (%s)", error, move_error)
                return
        _log.warning("%s; left out", error)

    files = chunk_files(folders)
    if not files:
        raise RunStateError(f"No record chunks (*.npz) in {', '.join(map(str, folders))}")
    tensors = load_training_tensors(
        files,
        augment=settings.augment,
        dim=dim,
        newest=settings.window_chunks,
        on_refused=refuse,
    )
    usable = len(files) - refused
    return tensors, min(usable, settings.window_chunks) if settings.window_chunks else usable
