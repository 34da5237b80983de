"""Command line: ``python -m tessarin_zero {selfplay,train,arena,loop,render,play}``.

Every setting is a flag with a default (``--help`` on each command lists them), and each
command accepts only the flags it uses. Every value is checked when the command line is read:
a value out of range is a usage error (exit status 2) before anything runs. A resumed loop's
stored settings (``run.json``) go through the same checks (see ``stored``).

``selfplay``, ``train`` and ``loop`` work in a run folder, ``runs/<date>-<time>/`` unless
``--run-dir`` names one: ``records/`` (self-play chunks), ``checkpoints/`` (``best.pt`` and
one per iteration), ``metrics.csv``, the plots ``losses.png`` and ``win_rate.png``, and the
loop's settings ``run.json`` (and ``warm-start/``, the heuristic games a loop started with
``--warm-start-games`` trained on first). ``loop`` refuses a folder that is in use unless ``--resume``
continues it; ``train`` needs ``--run-dir`` or ``--data`` to know which records to train on.

The loop plays self-play with the newest network. After each iteration the arena measures the
network's raw policy with rotated seats (it plays every seat equally often, so 0.25 is parity)
on the board side being trained: against random players, against the engine's heuristic and
against the best network so far (``best.pt``), which it replaces when the score reaches
``--threshold``; it also plays the heuristic against random players, the line to beat. One game
of each match is kept in ``games/``; ``render`` draws a kept game, or a game of a record chunk,
as pictures.

This module imports only the standard library, so that ``--help`` works before the host's
dependencies are installed; the commands themselves live in ``commands``.
"""

from __future__ import annotations

import argparse
import dataclasses
import importlib
import importlib.util
import math
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, Optional

from tessarin_zero.common.settings import (
    GameSettings,
    NetworkSettings,
    ServerSettings,
    TrainSettings,
)
from tessarin_zero.cli.stored import checked_loop_settings
from tessarin_zero.common.checks import FIELD_CHECKS, Check, Real, SettingError, Whole
from tessarin_zero.inference.shipped import network_file

SETTINGS_HELP = {
    "dim": "board side of self-play and of games against random players",
    "rep": "position layout sent to the network: 1 planes first, 2 planes last",
    "sims_per_move": "search simulations per action of a self-play game",
    "sample_moves": "actions sampled (from the visit counts in self-play, from the policies "
    "in games between networks) before play turns greedy",
    "c_base": "exploration constant of the selection score",
    "c_init": "exploration constant added to the selection score",
    "dirichlet_alpha": "concentration of the root noise",
    "exploration_fraction": "weight of the root noise in the priors",
    "fast_sims_per_move": "playout-cap randomization, batched self-play only: simulations of "
    "the fast searches that choose most actions without a policy target (0: every search full)",
    "full_search_share": "share of actions searched in full (sims_per_move, noise, policy "
    "target) when fast_sims_per_move is above 0",
    "engine_opponent_share": "batched self-play only: share of games in which 1 to 3 seats are "
    "played by random or heuristic players (no policy target for their actions)",
    "root_search": "root of every search: puct, or gumbel (Gumbel-top-k sampling, sequential "
    "halving and the completed-Q policy target)",
    "gumbel_considered": "tiles a gumbel root samples and halves over",
    "channels": "channels of the network's residual tower",
    "blocks": "residual blocks of the network",
    "canonical": "turn every position so that the mover's start corner is top left before the "
    "network sees it (and its policy back)",
    "policy_channels": "channels of the network's policy head (per cell, before its logit)",
    "value_channels": "channels of the network's value head (averaged over the board)",
    "max_batch": "largest batch the inference server evaluates at once",
    "max_wait_ms": "longest wait of the inference server for a fuller batch",
    "device": "torch device of the inference server (cpu, cuda, cuda:<index>)",
    "position_cache": "network answers each batched self-play worker keeps by position, so that "
    "a position its searches meet again is not evaluated again (0: none)",
    "inference": "how networks are run: onnx (ONNX Runtime, on the CPU), fused (batch norms "
    "folded, PyTorch) or eager (PyTorch, the network as built)",
    "batch_size": "training batch size",
    "epochs": "passes over the training window per iteration",
    "learning_rate": "optimizer learning rate",
    "weight_decay": "optimizer weight decay",
    "window_chunks": "newest record chunks trained on (0: all)",
    "augment": "add the exact board symmetries of every position",
    "ownership_weight": "weight of the loss on who covers each cell at the end (0: not learned)",
    "value_weight": "weight of the value loss beside the policy loss (0: the value is not learned)",
    "ownership_head": "give the network a head that learns who covers each cell at the end "
    "(training only)",
}

DESCRIPTION = (
    "The training host: self-play games (selfplay), training on their records (train), a "
    "network's strength against other players (arena), the three repeated in one run folder "
    "(loop), pictures of a game (render) and a page to play and watch in a browser (play). "
    "Each command's --help lists its flags."
)
DRIVERS = ("batched", "worker")
BACKENDS = ("local", "ray")


class FlagType:
    """An argparse type that reads a flag's text with a setting's check (``common.checks``):
    what the check refuses is a usage error in the check's words."""

    def __init__(self, check: Check) -> None:
        self.check = check

    def __call__(self, text: str) -> Any:
        try:
            return self.check.text(text)
        except SettingError as error:
            raise argparse.ArgumentTypeError(str(error)) from None


def whole(low: int, high: Optional[int] = None) -> FlagType:
    """An argparse type: an integer in [low, high]."""
    return FlagType(Whole(low, high))


def real(
    low: float, high: float = math.inf, *, above: bool = False, single: bool = False
) -> FlagType:
    """An argparse type: a finite number >= low (> low with `above`) and <= high. `single`: it
    must also fit a 32-bit float without becoming 0 or infinite (what the module reads)."""
    return FlagType(Real(low, high, above=above, single=single))


def ray_address(text: str) -> str:
    """A cluster's address as Ray takes it: host:port, ray://host:port or auto."""
    if not text or text != text.strip() or any(c.isspace() for c in text):
        raise argparse.ArgumentTypeError(f"{text!r} is not an address (host:port, auto)")
    return text


def add_settings_flags(
    parser: argparse.ArgumentParser, settings: type[Any], only: Sequence[str] = ()
) -> None:
    """One flag per field of a settings dataclass (or of the fields in `only`), defaulting to
    the field's default."""
    group = parser.add_argument_group(settings.__name__)
    for field in dataclasses.fields(settings):
        if only and field.name not in only:
            continue
        flag = "--" + field.name.replace("_", "-")
        help_text = f"{SETTINGS_HELP.get(field.name, '')} (default: %(default)s)"
        if field.type in (bool, "bool"):
            group.add_argument(
                flag, action=argparse.BooleanOptionalAction, default=field.default, help=help_text
            )
        else:
            kind = FlagType(FIELD_CHECKS[field.name])
            group.add_argument(flag, type=kind, default=field.default, help=help_text)


def settings_from(args: argparse.Namespace, settings: type[Any]) -> Any:
    """The settings of the flags present; fields without a flag keep their defaults."""
    present = {f.name: getattr(args, f.name, None) for f in dataclasses.fields(settings)}
    return settings(**{name: value for name, value in present.items() if value is not None})


def existing_file(text: str) -> Path:
    path = Path(text)
    if not path.is_file():
        raise argparse.ArgumentTypeError(f"{text}: no such file")
    return path


def network(text: str) -> Path:
    """A checkpoint file, or a shipped network's short name."""
    try:
        return network_file(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def existing_folder(text: str) -> Path:
    path = Path(text)
    if not path.is_dir():
        raise argparse.ArgumentTypeError(f"{text}: no such folder")
    return path


def existing_path(text: str) -> Path:
    path = Path(text)
    if not path.exists():
        raise argparse.ArgumentTypeError(f"{text}: no such file or folder")
    return path


Command = Callable[[argparse.Namespace], None]


def build_parser(loop_defaults: Optional[dict[str, Any]] = None) -> argparse.ArgumentParser:
    """The parser; `loop_defaults` replace the loop's defaults (a resumed run's settings)."""
    parser = argparse.ArgumentParser(prog="python -m tessarin_zero", description=DESCRIPTION)
    commands = parser.add_subparsers(dest="command", required=True)

    def command(name: str, help_text: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help_text, description=help_text)
        sub.add_argument("--quiet", action="store_true", help="no progress bars")
        return sub

    def run_dir_flag(sub: argparse.ArgumentParser, help_text: str) -> None:
        sub.add_argument("--run-dir", type=Path, default=None, help=help_text)

    def workers_flag(sub: argparse.ArgumentParser, what: str = "worker processes") -> None:
        sub.add_argument(
            "--workers",
            type=whole(1, 1024),
            default=2,
            help=f"{what} (default: %(default)s)",
        )

    def driver_flags(sub: argparse.ArgumentParser) -> None:
        sub.add_argument(
            "--driver",
            choices=DRIVERS,
            default=None,
            help="how self-play games are played: batched (each worker plays --batch-games "
            "games at once and evaluates them itself) or worker (one game at a time per "
            "worker, evaluated by the inference server); default: batched where the engine "
            "has it, else worker",
        )
        sub.add_argument(
            "--batch-games",
            type=whole(1, 65_536),
            default=64,
            help="games each worker plays at once with --driver batched (default: %(default)s)",
        )

    def backend_flags(sub: argparse.ArgumentParser) -> None:
        sub.add_argument(
            "--backend",
            choices=BACKENDS,
            default="local",
            help="where self-play games are played: local (worker processes on this machine) "
            "or ray (--workers actors of a Ray cluster, batched, on their CPUs; records, "
            "training and arena stay here); default: %(default)s",
        )
        sub.add_argument(
            "--ray-address",
            type=ray_address,
            default=None,
            help="with --backend ray: the cluster to join (host:port of its head, or auto); "
            "default: start a Ray instance on this machine with all its cores",
        )

    selfplay = command("selfplay", "Play self-play games and write their records.")
    run_dir_flag(selfplay, "run folder to add records to (default: a new runs/<date>-<time>)")
    workers_flag(selfplay)
    driver_flags(selfplay)
    backend_flags(selfplay)
    kind: type[Any]  # each loop below goes over its own settings classes
    for kind in (GameSettings, NetworkSettings, ServerSettings):
        add_settings_flags(selfplay, kind)
    selfplay.add_argument("--games", type=whole(1), default=16, help="games (default: %(default)s)")
    selfplay.add_argument("--checkpoint", type=network, help="network to play (default: a new one)")
    selfplay.set_defaults(run="selfplay")

    training = command("train", "Train a network on record chunks.")
    run_dir_flag(
        training,
        "run folder whose records/ to train on and whose checkpoints/ to write to",
    )
    for kind in (NetworkSettings, TrainSettings):
        add_settings_flags(training, kind)
    training.add_argument(
        "--data",
        type=existing_folder,
        nargs="+",
        help="folders of chunks to train on instead of the run folder's records",
    )
    training.add_argument(
        "--checkpoint", type=network, help="network to start from (default: a new one)"
    )
    training.add_argument(
        "--out", type=Path, help="checkpoint to write (default: the run's checkpoints/trained.pt)"
    )
    training.set_defaults(run="train")

    def arena_flags(sub: argparse.ArgumentParser) -> None:
        sub.add_argument(
            "--games-vs-random",
            type=whole(1),
            default=32,
            help="rotated-seat games against three random players, and of the heuristic "
            "against them (rounded up to a multiple of 4; default: %(default)s)",
        )
        sub.add_argument(
            "--games-vs-heuristic",
            type=whole(0),
            default=None,
            help="rotated-seat games against three heuristic players (default: as many as "
            "against random players)",
        )
        sub.add_argument(
            "--games-vs-best",
            type=whole(0),
            default=200,
            help="rotated-seat games against three copies of the best network, on the board "
            "side being trained (rounded up to a multiple of 4; default: %(default)s)",
        )
        sub.add_argument(
            "--threshold",
            type=real(0.0, 1.0),
            default=0.31,
            help="mean payoff against the best needed to promote; 0.25 is parity "
            "(default: %(default)s)",
        )

    arena = command(
        "arena", "Play a network with rotated seats against random, heuristic and best players."
    )
    workers_flag(arena, "worker processes of the module's test games (--module-figures)")
    add_settings_flags(
        arena,
        GameSettings,
        only=("dim", "rep", "sample_moves", "c_base", "c_init", "root_search", "gumbel_considered"),
    )
    for kind in (NetworkSettings, ServerSettings):
        add_settings_flags(arena, kind)
    arena.add_argument("--candidate", type=network, help="network to test (default: a new one)")
    arena.add_argument("--best", type=network, help="best network so far (default: none)")
    arena_flags(arena)
    arena.add_argument(
        "--search-sims",
        type=whole(0),
        default=0,
        help="also play the network with this many search simulations per tile against "
        "random and heuristic players (default: %(default)s, none)",
    )
    arena.add_argument(
        "--games-with-search",
        type=whole(1),
        default=8,
        help="rotated-seat games of each match with search (default: %(default)s)",
    )
    arena.add_argument(
        "--module-figures",
        action="store_true",
        help="also play the module's own test games: seat 0 only against random players, and "
        "seat 0 only against the best on 20 x 20",
    )
    arena.add_argument(
        "--seed",
        type=whole(0, 2**63 - 1),
        default=None,
        help="seed of the random and heuristic players (default: the system's entropy)",
    )
    arena.add_argument(
        "--keep-games", type=Path, default=None, help="folder to write one game per match to"
    )
    arena.set_defaults(run="arena")

    rate_flags(command("rate", RATE_HELP))

    render = command("render", "Draw a kept or recorded game as pictures, one per piece.")
    render.add_argument(
        "game", type=existing_file, help="a kept game (.json) or a record chunk (.npz)"
    )
    render.add_argument(
        "--index", type=whole(0), default=0, help="game of a record chunk (default: %(default)s)"
    )
    render.add_argument("--out", type=Path, required=True, help="folder to write the images to")
    render.add_argument(
        "--gif", action="store_true", help="one animated image instead of a PNG per piece"
    )
    render.add_argument(
        "--frame-seconds",
        type=real(0.0, above=True),
        default=0.5,
        help="time each piece is shown in the animation (default: %(default)s)",
    )
    render.set_defaults(run="render")

    play = command(
        "play",
        "Serve a page to play against networks and engine players, see a network's view of a "
        "position, step through recorded games and follow a run's figures.",
    )
    play.add_argument(
        "--host", default="127.0.0.1", help="address to listen on (default: %(default)s)"
    )
    play.add_argument(
        "--port", type=whole(0, 65_535), default=8000, help="port (0: a free one; default: 8000)"
    )
    play.add_argument(
        "--checkpoint",
        type=network,
        action="append",
        default=[],
        help="a network to offer, by its file or a shipped network's name (repeat for more; the "
        "shipped networks are always offered)",
    )
    play.add_argument(
        "--run-dir",
        type=existing_folder,
        default=None,
        help="a run folder: its networks, record chunks and kept games, and its figures",
    )
    play.add_argument(
        "--records",
        type=existing_path,
        action="append",
        default=[],
        help="a record chunk, kept game or folder of them to step through (repeat for more)",
    )
    play.add_argument(
        "--inference",
        type=FlagType(FIELD_CHECKS["inference"]),
        default=ServerSettings.inference,
        help=f"{SETTINGS_HELP['inference']} (default: %(default)s)",
    )
    play.add_argument(
        "--kept-games",
        type=whole(1, 10_000),
        default=64,
        help="games kept at once; the one used longest ago goes first (default: %(default)s)",
    )
    play.set_defaults(run="play")

    loop = command("loop", "Repeat self-play, training and arena.")
    run_dir_flag(loop, "run folder, new or empty unless --resume (default: a new one)")
    loop.add_argument(
        "--resume",
        action="store_true",
        help="continue the loop in --run-dir after its last complete iteration, with its "
        "settings unless given again",
    )
    workers_flag(loop)
    driver_flags(loop)
    backend_flags(loop)
    for kind in (GameSettings, NetworkSettings, ServerSettings, TrainSettings):
        add_settings_flags(loop, kind)
    loop.add_argument(
        "--iterations", type=whole(1), default=18, help="iterations in all (default: %(default)s)"
    )
    loop.add_argument(
        "--games",
        type=whole(1),
        default=400,
        help="self-play games per iteration (default: %(default)s)",
    )
    loop.add_argument(
        "--final-learning-rate",
        type=real(0.0, above=True),
        default=1e-4,
        help="learning rate of the last iteration: the rate falls from --learning-rate along a "
        "half cosine over --iterations (default: %(default)s; give --learning-rate's value for "
        "a constant rate)",
    )
    loop.add_argument(
        "--checkpoint", type=network, help="network to start from (default: a new one)"
    )
    loop.add_argument(
        "--seed",
        type=whole(0, 2**63 - 1),
        default=0,
        help="torch seed of the new network, and of the warm start's heuristic players "
        "(default: %(default)s)",
    )
    loop.add_argument(
        "--warm-start-games",
        type=whole(0),
        default=0,
        help="before the first iteration of a new loop, train its network on this many games "
        "of four heuristic players, kept in the run's warm-start/ (0: none; default: "
        "%(default)s)",
    )
    loop.add_argument(
        "--warm-start-epochs",
        type=whole(1),
        default=None,
        help="passes over the warm start's games (default: --epochs)",
    )
    arena_flags(loop)
    loop.add_argument(
        "--final-games",
        type=whole(0),
        default=2000,
        help="after the last iteration, rotated-seat games of its network against random and "
        "heuristic players, and of the heuristic against random players (0: none; default: "
        "%(default)s)",
    )
    loop.add_argument(
        "--final-search-sims",
        type=whole(0),
        default=0,
        help="also play the last network with this many search simulations per tile against "
        "random and heuristic players (default: %(default)s, none)",
    )
    loop.add_argument(
        "--final-games-with-search",
        type=whole(1),
        default=100,
        help="rotated-seat games of each final match with search (default: %(default)s)",
    )
    loop.add_argument(
        "--rating-games",
        type=whole(0),
        default=100,
        help="after each iteration's arena, games among its network, the networks of the two "
        "iterations before it, the heuristic and the random player, from which they are rated "
        "(Plackett-Luce, random = 0; 0: no rating; default: %(default)s)",
    )
    loop.set_defaults(run="loop", **(loop_defaults or {}))
    return parser


RATE_HELP = (
    "Rate networks (and the heuristic and random players) from four-player games among them: "
    "a Plackett-Luce rating, the random player at 0, with its uncertainty."
)


def rate_flags(rate: argparse.ArgumentParser) -> None:
    """The flags of ``rate``."""
    rate.add_argument("checkpoints", type=network, nargs="+", help="networks to rate")
    for player in ("heuristic", "random"):
        rate.add_argument(
            f"--{player}",
            action=argparse.BooleanOptionalAction,
            default=True,
            help=f"rate the {player} player with them (default: %(default)s)",
        )
    add_settings_flags(rate, GameSettings, only=("dim", "sample_moves", "c_base", "c_init"))
    add_settings_flags(rate, ServerSettings, only=("inference",))
    rate.add_argument(
        "--games",
        type=whole(1),
        default=400,
        help="games in all, split evenly over every four of the players (each four plays a "
        "multiple of 4 games, seats rotating; default: %(default)s)",
    )
    rate.add_argument(
        "--search-sims",
        type=whole(0),
        default=0,
        help="search simulations per tile of the networks (default: %(default)s: the raw "
        "policy, its first --sample-moves tiles drawn from it)",
    )
    rate.add_argument(
        "--seed",
        type=whole(0, 2**64 - 1),
        default=None,
        help="seed of the games (default: the system's entropy)",
    )
    rate.set_defaults(run="rate")


def check_rate(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """A rating needs four distinct players; without the random player the first network is
    the one held at 0."""
    paths = [path.resolve() for path in args.checkpoints]
    if len(set(paths)) != len(paths):
        parser.error("rate: a network is given twice")
    players = len(paths) + args.heuristic + args.random
    if players < 4:
        parser.error(
            f"rate: a rating plays four-player games among distinct players, and these are "
            f"{players}: give more networks"
        )


FIXED_ON_RESUME = (
    "dim",
    "rep",
    "channels",
    "blocks",
    "canonical",
    "policy_channels",
    "value_channels",
    "ownership_head",
)
"""What a resumed loop cannot change: its records and networks depend on them."""
NOT_STORED = (
    "run",
    "command",
    "run_dir",
    "resume",
    "quiet",
    "backend",  # where a run plays is not a setting of the run: a resumed one plays locally
    "ray_address",  # unless told again
)
NETWORK_SOURCE = {
    "selfplay": "checkpoint",
    "train": "checkpoint",
    "arena": "candidate",
    "loop": "checkpoint",
}
"""The flag of each command that names a network of its own size (the network flags then have
nothing to set)."""


def loop_flags(args: argparse.Namespace) -> dict[str, Any]:
    """The loop's settings as stored in its run folder: its flags, and the checkpoint it
    started from (as an absolute path), which a start cut short starts from again."""
    flags = {key: value for key, value in vars(args).items() if key not in NOT_STORED}
    if flags.get("checkpoint") is not None:
        flags["checkpoint"] = str(Path(flags["checkpoint"]).resolve())
    return flags


def given_flags(argv: Optional[Sequence[str]]) -> set[str]:
    """The settings named on the command line `argv` (as opposed to their defaults)."""
    parser = build_parser()
    for sub in subcommands(parser).choices.values():
        for action in sub._actions:
            action.default = argparse.SUPPRESS
    return set(vars(parser.parse_args(argv)))


def subcommands(parser: argparse.ArgumentParser) -> Any:
    """The parser's commands (argparse's subparsers action: `.choices` maps names to parsers)."""
    return next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))


def parse(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    """Parses and checks the command line; exits with status 2 on a usage error."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "train" and args.run_dir is None and args.data is None:
        parser.error(
            "train: give --run-dir (the run folder whose records to train on) or --data "
            "(folders of record chunks)"
        )
    run_dir: Optional[Path] = getattr(args, "run_dir", None)
    if run_dir is not None and run_dir.exists() and not run_dir.is_dir():
        parser.error(f"argument --run-dir: {run_dir} is a file, not a folder")
    if args.command == "train" and args.data is None and not (run_dir and run_dir.is_dir()):
        parser.error(f"argument --run-dir: {run_dir}: no such folder (train reads its records)")
    if args.command == "train" and args.out is not None and args.out.is_dir():
        parser.error(f"argument --out: {args.out} is a folder, not a checkpoint file")
    check_network_source(parser, argv, args)
    if args.command == "loop":
        args = check_loop_folder(parser, argv, args)
    if args.command == "rate":
        check_rate(parser, args)
    if getattr(args, "driver", None) == "batched" and not engine_has_batches():
        parser.error(
            "argument --driver: batched needs tessarin_engine.SelfPlayBatch, which this build "
            "of the engine lacks; use --driver worker"
        )
    batched_only = {
        "fast_sims_per_move": "playout-cap randomization",
        "engine_opponent_share": "self-play against engine players",
    }
    for name, what in batched_only.items():
        if getattr(args, name, 0) and (
            getattr(args, "driver", None) == "worker" or not engine_has_batches()
        ):
            flag = "--" + name.replace("_", "-")
            parser.error(
                f"argument {flag}: {what} is played by batched self-play only "
                "(--driver batched, tessarin_engine.SelfPlayBatch)"
            )
    check_backend(parser, args)
    device = getattr(args, "device", "cpu")
    if device.startswith("cuda"):
        problem = cuda_problem(device)
        if problem:
            parser.error(f"argument --device: {problem}")
    return args


def check_network_source(
    parser: argparse.ArgumentParser, argv: Optional[Sequence[str]], args: argparse.Namespace
) -> None:
    """The network's size comes from its file where a command is given one: a network flag
    given beside it would be ignored, so it is a usage error."""
    source = getattr(args, NETWORK_SOURCE.get(args.command, ""), None)
    if source is None:
        return
    network_flags = {f.name for f in dataclasses.fields(NetworkSettings)}
    for name in sorted(given_flags(argv) & network_flags):
        parser.error(
            f"argument --{name.replace('_', '-')}: the network's size is that of "
            f"--{NETWORK_SOURCE[args.command]} {source}: give one or the other"
        )


def check_loop_folder(
    parser: argparse.ArgumentParser, argv: Optional[Sequence[str]], args: argparse.Namespace
) -> argparse.Namespace:
    """A new loop needs a new or empty folder; a resumed one takes the stored settings, checked
    as flags are, as its defaults (so flags given again override them) and may not change
    FIXED_ON_RESUME. A folder in use without --resume, or whose settings are damaged, ends the
    command with status 1."""
    from tessarin_zero.storage.runs import LOOP_FILE, is_used, load_loop_settings

    if not args.resume:
        if args.run_dir is not None and is_used(args.run_dir):
            sys.exit(
                f"error: run folder {args.run_dir} is in use: add --resume to continue its "
                "loop, or name a new folder"
            )
        return args
    if args.run_dir is None:
        parser.error("--resume needs --run-dir: the run folder to continue")
    if args.checkpoint is not None:
        parser.error("--resume continues from the run's own networks: no --checkpoint")
    if not (args.run_dir / LOOP_FILE).exists():
        parser.error(
            f"{args.run_dir} holds no loop to resume (no {LOOP_FILE}: the folder was not made "
            "by `loop`, or by a version that could not resume)"
        )
    try:
        stored = checked_loop_settings(
            args.run_dir / LOOP_FILE,
            load_loop_settings(args.run_dir),
            subcommands(parser).choices["loop"],
            NOT_STORED,
        )
    except ValueError as error:
        sys.exit(f"error: {error}")
    start = stored.pop("checkpoint")
    resumed = build_parser(stored).parse_args(argv)
    resumed.checkpoint = start  # the network a start cut short starts from again
    for key in FIXED_ON_RESUME:
        if getattr(resumed, key) != stored[key]:
            flag = "--" + key.replace("_", "-")
            parser.error(
                f"{flag} {getattr(resumed, key)} cannot change on --resume: the run in "
                f"{args.run_dir} was started with {stored[key]}"
            )
    return resumed


def check_backend(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """--backend ray plays batched games on the actors' CPUs and needs the ray package."""
    backend = getattr(args, "backend", "local")
    if backend != "ray":
        if getattr(args, "ray_address", None) is not None:
            parser.error("argument --ray-address: only with --backend ray")
        return
    if args.driver == "worker" or not engine_has_batches():
        parser.error(
            "argument --backend: ray plays batched self-play (--driver batched), which needs "
            "tessarin_engine.SelfPlayBatch"
        )
    if args.device != "cpu":
        parser.error(
            f"argument --device: {args.device} with --backend ray: the actors evaluate on "
            "their own CPUs (there is no inference on a GPU for them); use --device cpu"
        )
    if importlib.util.find_spec("ray") is None:
        parser.error(
            "argument --backend: ray needs the ray package: pip install 'tessarin-self-play[ray]'"
        )


def engine_has_batches() -> bool:
    """Whether the installed engine has the batched self-play type."""
    try:
        engine = importlib.import_module("tessarin_engine")
    except ImportError:
        return False
    return hasattr(engine, "SelfPlayBatch")


def cuda_problem(device: str) -> Optional[str]:
    """Why the CUDA device cannot be used, or None."""
    import torch

    if not torch.cuda.is_available():
        return f"{device}: no CUDA device is available"
    index = int(device.partition(":")[2] or 0)
    if index >= torch.cuda.device_count():
        return f"{device}: there are {torch.cuda.device_count()} CUDA devices"
    return None
