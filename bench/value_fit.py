"""How much a network's value head knows about who wins, on games it trained on and on new ones.

    .venv/bin/python bench/value_fit.py CHECKPOINT --seen RUN/records --unseen OTHER/records
        [--chunks 4]

`--seen`: record chunks the network was trained on (the newest `--chunks` of the run's own
records); `--unseen`: chunks of games it never saw, for example those of
`python -m tessarin_zero selfplay --checkpoint CHECKPOINT --run-dir OTHER`. For each set and
each stretch of the game (by how many squares are on the board; one action places one square)
it prints the value cross-entropy against the games' outcomes, the same for the base rate (the
mean outcome seen from the player to move, which knows nothing of the position), the targets'
own entropy (the least any estimate reaches) and how often the value names a winner. A head
that learned the seen games by heart is far better on them than on the unseen ones, where it
may be no better than the base rate.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np
import torch
import torch.nn.functional as F

from tessarin_zero.training.tensors import TrainingTensors, load_training_tensors
from tessarin_zero.inference.checkpoints import load_checkpoint

STRETCHES = (0.0, 0.15, 0.3, 0.45, 0.6, 1.01)  # shares of the board's cells covered


def log_values(model: torch.nn.Module, tensors: TrainingTensors) -> np.ndarray:
    parts = []
    with torch.inference_mode():
        for first in range(0, len(tensors), 1024):
            _, value = model(tensors.states[first : first + 1024])[:2]
            parts.append(F.log_softmax(value.float(), dim=1).numpy())
    return np.concatenate(parts)


def report(label: str, model: torch.nn.Module, tensors: TrainingTensors) -> None:
    log_value = log_values(model, tensors)
    target = tensors.value.numpy()
    covered = tensors.states[:, :4].sum(dim=(1, 2, 3)).numpy() / (tensors.states[0, 0].numel())
    base = target.mean(axis=0)
    estimate = -(target * log_value).sum(axis=1)
    base_rate = -(target * np.log(base)).sum(axis=1)
    floor = -(target * np.log(np.where(target > 0, target, 1.0))).sum(axis=1)
    named = log_value.argmax(axis=1) == target.argmax(axis=1)
    print(
        f"{label}: {len(tensors)} positions, value cross-entropy {estimate.mean():.3f}, "
        f"base rate {base_rate.mean():.3f}, floor {floor.mean():.3f}"
    )
    for low, high in zip(STRETCHES, STRETCHES[1:]):
        rows = (covered >= low) & (covered < high)
        if rows.any():
            print(
                f"  board {low:.0%} to {min(high, 1.0):.0%} covered: {rows.sum():6d} positions, "
                f"value {estimate[rows].mean():.3f}, base rate {base_rate[rows].mean():.3f}, "
                f"floor {floor[rows].mean():.3f}, winner named {named[rows].mean():.3f}"
            )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("checkpoint", type=Path)
    parser.add_argument("--seen", type=Path, required=True, help="records it trained on")
    parser.add_argument("--unseen", type=Path, required=True, help="records of new games")
    parser.add_argument("--chunks", type=int, default=4, help="newest chunks read from each")
    args = parser.parse_args()
    torch.set_num_threads(2)
    model = load_checkpoint(args.checkpoint)[0].eval()
    for label, folder in (("seen", args.seen), ("unseen", args.unseen)):
        paths = sorted(folder.glob("*.npz"))
        report(label, model, load_training_tensors(paths, False, newest=args.chunks))


if __name__ == "__main__":
    main()
