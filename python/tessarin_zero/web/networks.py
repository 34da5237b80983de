"""The networks a page may choose, by name: checkpoints given on the command line and those of
a run folder, each loaded on first use and kept ready (a few at a time) for the evaluations of
games and of the analysis view.

A shipped network was trained on the side its card names. A checkpoint that belongs to a run
folder (``<run>/checkpoints/*.pt`` beside ``<run>/run.json``)
was trained on that run's board side; a game or an analysis on another side is refused. A
checkpoint from elsewhere has no known side: the network is fully convolutional and evaluates
any side, so it is allowed on every one.
"""

from __future__ import annotations

import threading
from collections import OrderedDict
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Optional

import numpy as np

from tessarin_zero.common.checks import FIELD_CHECKS
from tessarin_zero.inference.checkpoints import CheckpointError, load_checkpoint
from tessarin_zero.inference.evaluator import BatchEvaluator
from tessarin_zero.inference.shipped import shipped_networks
from tessarin_zero.storage.runs import LOOP_FILE, load_loop_settings
from tessarin_zero.web.errors import Refused

KEPT_EVALUATORS = 4
"""Networks kept ready at once: each holds its weights and an ONNX Runtime session."""


@dataclass(frozen=True)
class Checkpoint:
    """A network the page offers: its name, its file and the side it was trained on (None when
    unknown)."""

    name: str
    path: Path
    side: Optional[int]


def shipped_side(path: Path) -> Optional[int]:
    """The side on a shipped network's card, if `path` is a shipped network."""
    for shipped in shipped_networks():
        if shipped.path == path.resolve():
            return shipped.side
    return None


def trained_side(path: Path) -> Optional[int]:
    """The board side of the run folder a checkpoint lies in, if it lies in one."""
    run_dir = path.resolve().parent.parent
    if not (run_dir / LOOP_FILE).is_file():
        return None
    try:
        return int(FIELD_CHECKS["dim"].stored(load_loop_settings(run_dir).get("dim")))
    except ValueError:  # no side, or no sound one (SettingError is a ValueError)
        return None


def run_checkpoints(run_dir: Path) -> list[Path]:
    """A run folder's checkpoints: the best network first, then by name."""
    folder = run_dir / "checkpoints"
    found = sorted(folder.glob("*.pt")) if folder.is_dir() else []
    return sorted(found, key=lambda path: (path.name != "best.pt", path.name))


def offered_checkpoints(given: Sequence[Path], run_dir: Optional[Path]) -> list[Path]:
    """The networks a page offers: those given, then a run folder's, then the shipped networks
    not given already."""
    paths = [*given, *(run_checkpoints(run_dir) if run_dir else [])]
    seen = {path.resolve() for path in paths}
    return paths + [shipped.path for shipped in shipped_networks() if shipped.path not in seen]


def catalogue(paths: Iterable[Path]) -> list[Checkpoint]:
    """One entry per checkpoint file, named by its file name without ``.pt`` (a shipped network:
    its short name, on its card's side), with the run folder's name before it for a run's
    checkpoints (``20261209-101500/best``); a name taken already gets ``-2``, ``-3``..."""
    entries: list[Checkpoint] = []
    taken: set[str] = set()
    for path in paths:
        side, name = shipped_side(path), path.stem  # a shipped network by its short name
        if side is None:
            side = trained_side(path)
            if side is not None:
                name = f"{path.resolve().parent.parent.name}/{path.stem}"
        unique, serial = name, 1
        while unique in taken:
            serial += 1
            unique = f"{name}-{serial}"
        taken.add(unique)
        entries.append(Checkpoint(unique, path, side))
    return entries


class Networks:
    """The checkpoints on offer and their evaluators, loaded on first use; the least recently
    used evaluator is dropped beyond `kept`. Safe to use from several threads."""

    def __init__(
        self, checkpoints: Sequence[Checkpoint], inference: str, kept: int = KEPT_EVALUATORS
    ) -> None:
        self.checkpoints = {entry.name: entry for entry in checkpoints}
        self.inference = inference
        self._kept = kept
        self._ready: OrderedDict[str, BatchEvaluator] = OrderedDict()
        self._lock = threading.Lock()

    def entry(self, name: str) -> Checkpoint:
        """The checkpoint called `name`; Refused when there is none."""
        found = self.checkpoints.get(name)
        if found is None:
            offered = ", ".join(self.checkpoints) or "none"
            raise Refused(f"no network called {name!r} (offered: {offered})")
        return found

    def check_side(self, name: str, side: int) -> None:
        """Refused when the network called `name` was trained on another side than `side`."""
        trained = self.entry(name).side
        if trained is not None and trained != side:
            raise Refused(
                f"network {name!r} was trained on {trained} x {trained}, not {side} x {side}: "
                f"choose side {trained} or another network"
            )

    def evaluator(self, name: str) -> BatchEvaluator:
        """The evaluator of the network called `name`, loaded if it is not ready; Refused when
        its checkpoint does not load (the message names the file and what is wrong)."""
        entry = self.entry(name)
        with self._lock:
            ready = self._ready.get(name)
            if ready is not None:
                self._ready.move_to_end(name)
                return ready
        try:
            model, _ = load_checkpoint(entry.path)
        except CheckpointError as error:
            raise Refused(f"network {name!r} does not load: {error}") from error
        evaluator = BatchEvaluator(model, path=self.inference)
        with self._lock:
            self._ready[name] = evaluator
            self._ready.move_to_end(name)
            while len(self._ready) > self._kept:
                self._ready.popitem(last=False)
        return evaluator


def evaluate_one(
    evaluator: BatchEvaluator, state: bytes, side: int
) -> tuple[np.ndarray, np.ndarray]:
    """The policy logits [side * side] and value logits [4] of one position (Game.state())."""
    planes = np.frombuffer(state, dtype=np.uint8).reshape(1, 5, side, side)
    policy, value = evaluator(planes)
    return policy[0], value[0]
