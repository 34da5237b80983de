"""What the page's tests serve (the fixture is in conftest.py): small networks (one from a run folder trained on 5 x 5, one
from nowhere, one damaged file), a run folder with figures, a record chunk and a kept game."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import torch

from tessarin_zero.common.settings import GameSettings, NetworkSettings
from tessarin_zero.inference.checkpoints import save_checkpoint
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.storage.kept_games import KeptGame
from tessarin_zero.storage.records import RecordWriter
from tessarin_zero.training.metrics import IterationMetrics, MetricsLog
from tessarin_zero.web.app import PageSettings
from tessarin_zero.web.networks import Networks, catalogue, run_checkpoints

from games import uniform_game

SMALL = NetworkSettings(channels=8, blocks=1, policy_channels=4, value_channels=4)
RUN_SIDE = 5


def iteration(number: int) -> IterationMetrics:
    return IterationMetrics(number, 16, 300, 1.5 - 0.1 * number, 0.9 - 0.05 * number, False, 3.0)


def make_served_files(root: Path) -> Path:
    """A folder holding ``solo.pt`` (a network of no run), ``damaged.pt`` and ``run/``: a run on
    5 x 5 with its best network, a record chunk of three 7 x 7 self-play games (their visit
    shares), one kept game and two rows of figures."""
    torch.manual_seed(0)
    save_checkpoint(root / "solo.pt", PolicyValueNet(SMALL))
    (root / "damaged.pt").write_bytes(b"not a checkpoint")
    run = root / "run"
    (run / "checkpoints").mkdir(parents=True)
    (run / "run.json").write_text(json.dumps({"dim": RUN_SIDE}))
    save_checkpoint(run / "checkpoints" / "best.pt", PolicyValueNet(SMALL))
    settings = GameSettings(dim=7, sims_per_move=4)
    with RecordWriter(run / "records", settings, games_per_chunk=3) as writer:
        for _ in range(3):
            writer.add(uniform_game(settings))
    record = uniform_game(settings)
    KeptGame(
        7,
        [tuple(action) for action in record.history],
        ["a", "b", "c", "d"],
        list(record.payoff),
        "kept",
    ).save(run / "games" / "kept.json")
    log = MetricsLog(run)
    for number in (1, 2):
        log.append(iteration(number))
    return root


def page_settings(root: Path, **options: Any) -> PageSettings:
    """Everything in `served_files`, its networks named solo, damaged and run/best."""
    paths = [root / "solo.pt", root / "damaged.pt", *run_checkpoints(root / "run")]
    chosen: dict[str, Any] = {"run_dir": root / "run", **options}
    return PageSettings(Networks(catalogue(paths), "onnx"), **chosen)
