"""Command line: ``python -m tessarin_zero {selfplay,train,arena,loop}``.

Every setting is a flag with a default (``--help`` on each command lists them). Each command
works in a run folder, ``runs/<timestamp>/`` unless ``--run-dir`` names one:
``records/`` (self-play chunks), ``checkpoints/`` (``best.pt`` and one per iteration),
``metrics.csv`` and the plots ``losses.png`` and ``win_rate.png``.

The loop plays self-play with the newest network. The arena still keeps the best network so far
(``best.pt``), but it cannot gate self-play: games against the best are always played on a
20 x 20 board, whatever side the network trains on.
"""

from __future__ import annotations

import argparse
import dataclasses
import sys
import time
from collections.abc import Sequence
from datetime import datetime
from pathlib import Path
from typing import Any, TypeVar

import torch

from .arena import run_arena
from .data import RecordWriter, load_training_tensors
from .metrics import IterationMetrics, MetricsLog
from .network import PolicyValueNet, load_checkpoint, save_checkpoint
from .play import play_training_games
from .settings import GameSettings, NetworkSettings, ServerSettings, TrainSettings
from .train import train

SettingsT = TypeVar("SettingsT")

SETTINGS_HELP = {
    "dim": "board side of self-play and of games against random players",
    "rep": "position layout sent to the network: 1 planes first, 2 planes last",
    "sims_per_move": "search simulations per action of a self-play game",
    "sample_moves": "actions sampled from the visit counts before play turns greedy",
    "c_base": "exploration constant of the selection score",
    "c_init": "exploration constant added to the selection score",
    "dirichlet_alpha": "concentration of the root noise",
    "exploration_fraction": "weight of the root noise in the priors",
    "channels": "channels of the network's residual tower",
    "blocks": "residual blocks of the network",
    "max_batch": "largest batch the inference server evaluates at once",
    "max_wait_ms": "longest wait of the inference server for a fuller batch",
    "device": "torch device of the inference server (cpu, cuda)",
    "batch_size": "training batch size",
    "epochs": "passes over the training window per iteration",
    "learning_rate": "optimizer learning rate",
    "weight_decay": "optimizer weight decay",
    "window_chunks": "newest record chunks trained on",
    "augment": "add the exact board symmetries of every position",
}


def add_settings_flags(parser: argparse.ArgumentParser, settings: type[Any]) -> None:
    """One flag per field of a settings dataclass, defaulting to the field's default."""
    group = parser.add_argument_group(settings.__name__)
    for field in dataclasses.fields(settings):
        flag = "--" + field.name.replace("_", "-")
        help_text = f"{SETTINGS_HELP.get(field.name, '')} (default: %(default)s)"
        if field.type in (bool, "bool"):
            group.add_argument(
                flag, action=argparse.BooleanOptionalAction, default=field.default, help=help_text
            )
        else:
            kind = {"int": int, "float": float, "str": str}[str(field.type)]
            group.add_argument(flag, type=kind, default=field.default, help=help_text)


def settings_from(args: argparse.Namespace, settings: type[SettingsT]) -> SettingsT:
    values = {f.name: getattr(args, f.name) for f in dataclasses.fields(settings)}  # type: ignore[arg-type]
    return settings(**values)


def run_dir_of(args: argparse.Namespace) -> Path:
    run_dir = args.run_dir or Path("runs") / datetime.now().strftime("%Y%m%d-%H%M%S")
    for sub in ("records", "checkpoints"):
        (run_dir / sub).mkdir(parents=True, exist_ok=True)
    return Path(run_dir)


def load_or_new(
    path: Path | None, network: NetworkSettings
) -> tuple[PolicyValueNet, NetworkSettings]:
    """The checkpoint's network and settings, or a fresh network of `network`'s size."""
    if path is None:
        return PolicyValueNet(network), network
    model, _ = load_checkpoint(path)
    return model, model.settings


def chunk_files(folders: Sequence[Path], newest: int) -> list[Path]:
    files = sorted(p for folder in folders for p in Path(folder).glob("*.npz"))
    return files[-newest:] if newest > 0 else files


def command_selfplay(args: argparse.Namespace) -> None:
    run_dir = run_dir_of(args)
    game = settings_from(args, GameSettings)
    model, network = load_or_new(args.checkpoint, settings_from(args, NetworkSettings))
    with RecordWriter(run_dir / "records", game) as writer:
        stats = play_training_games(
            model,
            network,
            game,
            args.games,
            args.workers,
            settings_from(args, ServerSettings),
            on_record=writer.add,
            progress=not args.quiet,
        )
    print(f"Self-play: {stats}. Records in {run_dir / 'records'}")


def command_train(args: argparse.Namespace) -> None:
    run_dir = run_dir_of(args)
    settings = settings_from(args, TrainSettings)
    model, network = load_or_new(args.checkpoint, settings_from(args, NetworkSettings))
    files = chunk_files(args.data or [run_dir / "records"], settings.window_chunks)
    if not files:
        sys.exit(f"No record chunks (*.npz) in {args.data or [run_dir / 'records']}")
    tensors = load_training_tensors(files, augment=settings.augment)
    losses = train(model, tensors, settings, progress=not args.quiet)
    out = args.out or run_dir / "checkpoints" / "trained.pt"
    save_checkpoint(out, model, losses=losses)
    print(f"Trained on {len(files)} chunks: {losses}. Checkpoint {out}")


def command_arena(args: argparse.Namespace) -> None:
    candidate, network = load_or_new(args.candidate, settings_from(args, NetworkSettings))
    best = load_checkpoint(args.best)[0] if args.best else None
    result = run_arena(
        candidate,
        best,
        network,
        settings_from(args, GameSettings),
        settings_from(args, ServerSettings),
        games_vs_random=args.games_vs_random,
        games_vs_best=args.games_vs_best,
        workers=args.workers,
        threshold=args.threshold,
        progress=not args.quiet,
    )
    print(
        f"Win rate vs random {result.win_rate_vs_random:.3f}, score vs best "
        f"{result.score_vs_best:.3f}: {'promoted' if result.promoted else 'not promoted'}"
    )


def command_loop(args: argparse.Namespace) -> None:
    run_dir = run_dir_of(args)
    game = settings_from(args, GameSettings)
    server = settings_from(args, ServerSettings)
    train_settings = settings_from(args, TrainSettings)
    torch.manual_seed(args.seed)
    candidate, network = load_or_new(args.checkpoint, settings_from(args, NetworkSettings))
    best = PolicyValueNet(network)
    best.load_state_dict(candidate.state_dict())
    save_checkpoint(run_dir / "checkpoints" / "best.pt", best, iteration=0)
    log = MetricsLog(run_dir)
    print(f"Run folder {run_dir}: {args.iterations} iterations of {args.games} self-play games")
    for iteration in range(1, args.iterations + 1):
        started = time.monotonic()
        with RecordWriter(run_dir / "records", game) as writer:
            stats = play_training_games(
                candidate,
                network,
                game,
                args.games,
                args.workers,
                server,
                on_record=writer.add,
                progress=not args.quiet,
            )
        tensors = load_training_tensors(
            chunk_files([run_dir / "records"], train_settings.window_chunks),
            augment=train_settings.augment,
        )
        losses = train(candidate, tensors, train_settings, progress=not args.quiet)
        save_checkpoint(
            run_dir / "checkpoints" / f"iteration-{iteration:03d}.pt",
            candidate,
            iteration=iteration,
            losses=losses,
        )
        result = run_arena(
            candidate,
            best,
            network,
            game,
            server,
            games_vs_random=args.games_vs_random,
            games_vs_best=args.games_vs_best,
            workers=args.workers,
            threshold=args.threshold,
            progress=not args.quiet,
        )
        if result.promoted:
            best.load_state_dict(candidate.state_dict())
            save_checkpoint(run_dir / "checkpoints" / "best.pt", best, iteration=iteration)
        row = IterationMetrics(
            iteration=iteration,
            games=args.games,
            positions=int(tensors.states.shape[0]),
            policy_loss=losses["policy"],
            value_loss=losses["value"],
            win_rate_vs_random=result.win_rate_vs_random,
            score_vs_best=result.score_vs_best,
            promoted=result.promoted,
            seconds=time.monotonic() - started,
        )
        log.append(row)
        print(
            f"Iteration {iteration}: win rate vs random {row.win_rate_vs_random:.3f}, "
            f"score vs best {row.score_vs_best:.3f} ({'promoted' if row.promoted else 'kept best'}), "
            f"policy loss {row.policy_loss:.3f}, value loss {row.value_loss:.3f}, "
            f"{row.seconds:.0f} s",
            flush=True,
        )
    print_summary(log.rows, run_dir)


def print_summary(rows: Sequence[IterationMetrics], run_dir: Path) -> None:
    print("\nSummary")
    print(
        f"{'iteration':>9} {'vs random':>9} {'vs best':>8} {'policy':>7} {'value':>7} {'promoted':>8}"
    )
    for row in rows:
        print(
            f"{row.iteration:>9} {row.win_rate_vs_random:>9.3f} {row.score_vs_best:>8.3f} "
            f"{row.policy_loss:>7.3f} {row.value_loss:>7.3f} {str(row.promoted):>8}"
        )
    print(
        f"Metrics {run_dir / 'metrics.csv'}, plots {run_dir / 'losses.png'} and "
        f"{run_dir / 'win_rate.png'}, best network {run_dir / 'checkpoints' / 'best.pt'}"
    )


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m tessarin_zero", description=__doc__.split("\n\n")[0]
    )
    commands = parser.add_subparsers(dest="command", required=True)

    def command(name: str, help_text: str, *settings: type[Any]) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help_text, description=help_text)
        sub.add_argument(
            "--run-dir", type=Path, default=None, help="run folder (default: runs/<timestamp>)"
        )
        sub.add_argument(
            "--workers", type=int, default=2, help="worker processes (default: %(default)s)"
        )
        sub.add_argument("--quiet", action="store_true", help="no progress bars")
        for kind in settings:
            add_settings_flags(sub, kind)
        return sub

    selfplay = command(
        "selfplay",
        "Play self-play games and write their records.",
        GameSettings,
        NetworkSettings,
        ServerSettings,
    )
    selfplay.add_argument("--games", type=int, default=16, help="games (default: %(default)s)")
    selfplay.add_argument("--checkpoint", type=Path, help="network to play (default: a new one)")
    selfplay.set_defaults(run=command_selfplay)

    training = command("train", "Train a network on record chunks.", NetworkSettings, TrainSettings)
    training.add_argument(
        "--data", type=Path, nargs="*", help="folders of chunks (default: run records)"
    )
    training.add_argument(
        "--checkpoint", type=Path, help="network to start from (default: a new one)"
    )
    training.add_argument(
        "--out", type=Path, help="checkpoint to write (default: run checkpoints/trained.pt)"
    )
    training.set_defaults(run=command_train)

    def arena_flags(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--games-vs-random", type=int, default=32, help="default: %(default)s")
        sub.add_argument(
            "--games-vs-best",
            type=int,
            default=2,
            help="games on a 20 x 20 board against the best network (default: %(default)s)",
        )
        sub.add_argument(
            "--threshold",
            type=float,
            default=0.3,
            help="mean payoff against the best needed to promote (default: %(default)s)",
        )

    arena = command(
        "arena",
        "Play a network against random players and the best network.",
        GameSettings,
        NetworkSettings,
        ServerSettings,
    )
    arena.add_argument("--candidate", type=Path, help="network to test (default: a new one)")
    arena.add_argument("--best", type=Path, help="best network so far (default: none)")
    arena_flags(arena)
    arena.set_defaults(run=command_arena)

    loop = command(
        "loop",
        "Repeat self-play, training and arena.",
        GameSettings,
        NetworkSettings,
        ServerSettings,
        TrainSettings,
    )
    loop.add_argument("--iterations", type=int, default=8, help="default: %(default)s")
    loop.add_argument(
        "--games", type=int, default=20, help="self-play games per iteration (default: %(default)s)"
    )
    loop.add_argument("--checkpoint", type=Path, help="network to start from (default: a new one)")
    loop.add_argument(
        "--seed", type=int, default=0, help="torch seed of the new network (default: %(default)s)"
    )
    arena_flags(loop)
    loop.set_defaults(run=command_loop)
    return parser


def main(argv: Sequence[str] | None = None) -> None:
    args = build_parser().parse_args(argv)
    try:
        args.run(args)
    except KeyboardInterrupt:
        sys.exit("Interrupted")
