"""Time of loading one record chunk for training, with the engine's replay and checks, against
the replay in Python it replaced, next to one epoch of training on the same chunk.

    PYTHONPATH=python .venv/bin/python bench/replay_bench.py [--dims 7 20] [--games 64]
        [--repeats 5] [--train-repeats 3]

For each board side, writes one chunk of `--games` games of four heuristic players (every action
a policy target, as in self-play with full searches; the warm start's records) and times, in
`--repeats` rounds alternating the two ways: loading it (`load_training_tensors`: the file read
and checked, every game replayed, the samples built, no augmentation) with the engine's replay
(`tessarin_engine.replay_records`, which also checks payoffs and policy targets) and with the
replay in Python one action at a time (the host before, which checked only the player to move,
the tiles and the game's end; kept below as the baseline). The replay alone is timed the same
way. Then one epoch of training the default network on the chunk's samples (default training
settings, augmentation on), `--train-repeats` times after one untimed epoch (PyTorch's first
passes are slower). Prints each round and the medians.
"""

from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import tessarin_engine
import torch

from tessarin_zero.common.game import INPUT_PLANES, PLAYERS
from tessarin_zero.common.settings import GameSettings, NetworkSettings, TrainSettings
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.storage.records import Chunk, RecordError, RecordWriter, read_chunk
from tessarin_zero.training import tensors
from tessarin_zero.training.tensors import Samples
from tessarin_zero.training.train import train
from tessarin_zero.training.warm_start import heuristic_records


def python_replay(path: str | os.PathLike[str], chunk: Chunk) -> Samples:
    """The host's replay before the engine's: one Game call per action, as it was."""
    dim = chunk.dim
    total = int(chunk.has_policy.sum())
    states = np.empty((total, INPUT_PLANES, dim, dim), dtype=np.uint8)
    policy = np.empty((total, dim * dim), dtype=np.float32)
    value = np.empty((total, PLAYERS), dtype=np.float32)
    ownership = np.empty((total, dim, dim), dtype=np.uint8)
    movers = np.empty(total, dtype=np.int64)
    filled = 0
    start = 0
    for game_index, length in enumerate(chunk.game_lengths):
        game = tessarin_engine.Game(dim)
        payoff = chunk.payoffs[game_index]
        first_sample = filled
        for step in range(start, start + int(length)):
            player, tile = (int(x) for x in chunk.actions[step])
            if game.current_player != player:
                raise RecordError(path, f"game {game_index}: player {player} is not to move")
            if chunk.has_policy[step]:
                raw = np.frombuffer(game.state(), dtype=np.uint8)
                states[filled] = raw.reshape(INPUT_PLANES, dim, dim)
                policy[filled] = chunk.policy[step]
                value[filled] = np.roll(payoff, -player)
                movers[filled] = player
                filled += 1
            try:
                game.apply(tile)
            except Exception as error:
                raise RecordError(path, f"game {game_index}, action {step}: {error}") from error
        if not game.is_terminal():
            raise RecordError(path, f"game {game_index} ends before the game is over")
        actions = chunk.actions[start : start + int(length)]
        owner = np.full(dim * dim, -1, dtype=np.int64)
        owner[actions[:, 1].astype(np.int64)] = actions[:, 0]
        relative = (owner[None, :] - movers[first_sample:filled, None]) % PLAYERS
        relative[:, owner < 0] = PLAYERS
        ownership[first_sample:filled] = relative.astype(np.uint8).reshape(-1, dim, dim)
        start += int(length)
    return states, policy, value, ownership


def seconds(work: Callable[[], Any]) -> float:
    started = time.perf_counter()
    work()
    return time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--dims", type=int, nargs="+", default=[7, 20])
    parser.add_argument("--games", type=int, default=64)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--train-repeats", type=int, default=3)
    args = parser.parse_args()
    engine_replay = tensors._replay_chunk
    for dim in args.dims:
        folder = Path(tempfile.mkdtemp())
        with RecordWriter(folder, GameSettings(dim=dim), games_per_chunk=args.games) as writer:
            for record in heuristic_records(dim, args.games, seed=1):
                writer.add(record)
        (path,) = writer.paths
        chunk = read_chunk(path)
        before, after = python_replay(path, chunk), engine_replay(path, chunk)
        assert all(np.array_equal(before[k], after[k]) for k in range(4)), "the replays disagree"
        print(f"{dim} x {dim}: {chunk.games} games, {len(chunk.actions)} actions, all targets")

        def load(replay: Callable[[Path, Chunk], Samples]) -> float:
            setattr(tensors, "_replay_chunk", replay)
            try:
                return seconds(lambda: tensors.load_training_tensors([path], augment=False))
            finally:
                setattr(tensors, "_replay_chunk", engine_replay)

        times: dict[str, list[float]] = {name: [] for name in ("load", "load before")}
        times.update({"replay": [], "replay before": []})
        for round_ in range(1, args.repeats + 1):
            times["load before"].append(load(python_replay))
            times["load"].append(load(engine_replay))
            times["replay before"].append(seconds(lambda: python_replay(path, chunk)))
            times["replay"].append(seconds(lambda: engine_replay(path, chunk)))
            print(f"  round {round_}: " + ", ".join(f"{k} {v[-1]:.4f} s" for k, v in times.items()))

        samples = tensors.load_training_tensors([path], augment=True)
        settings = TrainSettings(epochs=1)
        train(PolicyValueNet(NetworkSettings()), samples, settings, progress=False)  # warm-up
        epochs = []
        for round_ in range(1, args.train_repeats + 1):
            torch.manual_seed(round_)
            model = PolicyValueNet(NetworkSettings())
            epochs.append(seconds(lambda: train(model, samples, settings, progress=False)))
            print(f"  training epoch {round_}: {epochs[-1]:.2f} s ({len(samples)} samples)")
        medians = {name: statistics.median(values) for name, values in times.items()}
        epoch = statistics.median(epochs)
        print(
            f"{dim} x {dim} medians: load {medians['load'] * 1e3:.1f} ms "
            f"(before {medians['load before'] * 1e3:.1f} ms, "
            f"{medians['load before'] / medians['load']:.1f}x), replay "
            f"{medians['replay'] * 1e3:.1f} ms (before {medians['replay before'] * 1e3:.1f} ms); "
            f"one epoch {epoch:.2f} s: loading is {100 * medians['load'] / epoch:.2f}% of it "
            f"(before {100 * medians['load before'] / epoch:.2f}%)"
        )


if __name__ == "__main__":
    main()
