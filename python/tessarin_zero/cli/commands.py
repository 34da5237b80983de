"""The commands of the command line (``flags`` reads and checks their flags): each one a few
lines over the layers below.

Each writing command holds its run folder's lock from start to end. SIGTERM and SIGHUP end a
command like Ctrl-C: workers and server are stopped and the records of finished games are
written before it exits (status 128 + the signal number). A command that cannot go on (a
damaged checkpoint, training that diverged, a folder in use, most self-play games abandoned)
says why in one line and exits with status 1; so does one that cannot read or write a file (a
full disk, a read-only folder), naming the file. Progress bars are drawn only on a terminal: a
log file would get every redraw.
"""

from __future__ import annotations

import argparse
import dataclasses
import errno
import logging
import sys
import tempfile
from collections.abc import Iterator
from contextlib import ExitStack, contextmanager
from pathlib import Path
from typing import Any

import torch

from tessarin_zero.cli.flags import loop_flags, settings_from
from tessarin_zero.cli.reports import PrintedReport, arena_lines, module_lines, promotion_rule
from tessarin_zero.cli.reports import starting_network_line
from tessarin_zero.common.errors import file_problem
from tessarin_zero.common.lifetime import Terminated, stop_signals_raise
from tessarin_zero.common.settings import GameSettings, NetworkSettings, ServerSettings
from tessarin_zero.common.settings import TrainSettings
from tessarin_zero.evaluation.arena import module_figures, run_arena
from tessarin_zero.inference.checkpoints import CheckpointError, load_checkpoint, load_or_new
from tessarin_zero.inference.checkpoints import save_checkpoint
from tessarin_zero.inference.network import NetworkFactory, PolicyValueNet
from tessarin_zero.inference.server import ServerError
from tessarin_zero.selfplay.backends import (
    BatchedWorkers,
    ModuleWorkers,
    RayActors,
    SelfPlayBackend,
)
from tessarin_zero.selfplay.batched import batched_available
from tessarin_zero.selfplay.outcomes import PlayError, WorkerError
from tessarin_zero.selfplay.ray.backend import RayBackend, RayBackendError
from tessarin_zero.storage.records import RecordError, RecordWriter
from tessarin_zero.storage.runs import RunFolderBusy, RunLock, RunStateError
from tessarin_zero.storage.runs import SKELETON, new_run_dir, save_loop_settings
from tessarin_zero.training.loop import Loop, LoopSettings, keep_games, resume, run_iterations
from tessarin_zero.training.loop import start_finished, start_new, training_window
from tessarin_zero.training.train import TrainingDiverged, train

FAILURES = (
    CheckpointError,
    RecordError,
    TrainingDiverged,
    RunFolderBusy,
    PlayError,
    WorkerError,
    ServerError,
    RunStateError,
    RayBackendError,
)


def run(args: argparse.Namespace) -> None:
    """Runs the parsed command; exits with its status."""
    logging.basicConfig(format="warning: %(message)s", level=logging.WARNING)
    command = {
        "selfplay": selfplay,
        "train": train_command,
        "arena": arena,
        "loop": loop,
        "rate": rate_command,
        "render": render_command,
        "play": play_command,
    }
    try:
        with stop_signals_raise():
            command[args.run](args)
    except KeyboardInterrupt:
        sys.exit("Interrupted")
    except Terminated as stop:
        print(f"{stop}: stopped after writing the finished games", file=sys.stderr)
        raise
    except FAILURES as error:
        sys.exit(f"error: {error}")
    except ConnectionError:  # between the host's own processes: a fault to be traced
        raise
    except OSError as error:  # a full disk, a read-only folder: which file, and why
        sys.exit(f"error: {file_problem(error)}")


def claimed_run_dir(
    args: argparse.Namespace, stack: ExitStack, subfolders: tuple[str, ...] = SKELETON
) -> Path:
    """The command's run folder (a new one unless --run-dir), locked for the command's life,
    with its `subfolders` made. An error that names no file within the command names it."""
    run_dir = Path(args.run_dir if args.run_dir is not None else new_run_dir())
    stack.enter_context(RunLock(run_dir))
    stack.enter_context(files_in(run_dir))
    for sub in subfolders:
        (run_dir / sub).mkdir(parents=True, exist_ok=True)
    return run_dir


@contextmanager
def files_in(folder: Path) -> Iterator[None]:
    """An OSError of the block that names no file (a write to an open stream: a full disk)
    names `folder` instead."""
    try:
        yield
    except OSError as error:
        if error.filename is None and not isinstance(error, ConnectionError):
            raise OSError(error.errno, error.strerror, str(folder)) from error
        raise


def writable_folder(folder: Path) -> Path:
    """Makes `folder` if needed and checks that a file can be made in it, before a command
    spends its time on what it will write there; OSError naming the folder otherwise."""
    if folder.exists() and not folder.is_dir():
        raise NotADirectoryError(errno.ENOTDIR, "a file, not a folder", str(folder))
    folder.mkdir(parents=True, exist_ok=True)
    with files_in(folder), tempfile.TemporaryFile(dir=folder) as probe:
        probe.write(bytes(_PROBE_BYTES))  # a full disk takes a name, not its content
        probe.flush()
    return folder


_PROBE_BYTES = 16_384


def progress_shown(args: argparse.Namespace) -> bool:
    """Progress bars unless --quiet, on a terminal only: in a log every redraw is a line."""
    return not args.quiet and sys.stderr.isatty()


def choose_driver(driver: str | None) -> str:
    """The self-play driver: the one asked for, else batched where the engine has it."""
    if driver is not None:
        return driver
    return "batched" if batched_available() else "worker"


def self_play_backend(args: argparse.Namespace, stack: ExitStack) -> SelfPlayBackend:
    """Where the command's self-play games are played: a Ray cluster with --backend ray
    (connected for the command's life: its actors killed, an instance it started shut down, on
    every way out), else worker processes of the chosen driver."""
    server = settings_from(args, ServerSettings)
    if getattr(args, "backend", "local") == "ray":
        ray = stack.enter_context(RayBackend(args.ray_address))
        return RayActors(
            ray, args.workers, args.batch_games, server.inference, server.position_cache
        )
    if choose_driver(args.driver) == "batched":
        return BatchedWorkers(args.workers, args.batch_games, server)
    return ModuleWorkers(args.workers, server)


def selfplay(args: argparse.Namespace) -> None:
    with ExitStack() as stack:
        run_dir = claimed_run_dir(args, stack)
        backend = self_play_backend(args, stack)
        game = settings_from(args, GameSettings)
        model = load_or_new(args.checkpoint, settings_from(args, NetworkSettings))
        with files_in(run_dir / "records"), RecordWriter(run_dir / "records", game) as writer:
            stats = backend.play(
                NetworkFactory.of(model, model.settings),
                game,
                args.games,
                writer.add,
                progress=progress_shown(args),
            )
    print(f"Self-play: {stats}. Records in {run_dir / 'records'}")


def train_command(args: argparse.Namespace) -> None:
    with ExitStack() as stack:
        # --data alone trains on those folders; the checkpoint then goes to --out, or to a new
        # run folder made once there is something to train on.
        run_dir: Path | None = None
        if args.run_dir is not None:
            run_dir = claimed_run_dir(args, stack, subfolders=())
        settings = settings_from(args, TrainSettings)
        model = load_or_new(args.checkpoint, settings_from(args, NetworkSettings))
        folders = args.data or [Path(str(run_dir)) / "records"]
        tensors, chunks = training_window(folders, settings, dim=None)
        if args.out is None and run_dir is None:
            run_dir = claimed_run_dir(args, stack, subfolders=())
        out = args.out or Path(str(run_dir)) / "checkpoints" / "trained.pt"
        writable_folder(out.parent)
        losses = train(model, tensors, settings, progress=progress_shown(args))
        save_checkpoint(out, model, losses=losses)
    print(f"Trained on {chunks} chunks ({len(tensors)} positions): {losses_text(losses)}.")
    print(f"Checkpoint {out}")


def losses_text(losses: dict[str, float]) -> str:
    """The losses of a training phase's last epoch, labelled."""
    return (
        f"policy loss {losses['policy']:.3f}, value loss {losses['value']:.3f}, ownership loss "
        f"{losses['ownership']:.3f} (weighted sum {losses['loss']:.3f})"
    )


def arena(args: argparse.Namespace) -> None:
    if args.keep_games is not None:
        writable_folder(args.keep_games)  # before the matches, not after them
    candidate = load_or_new(args.candidate, settings_from(args, NetworkSettings))
    best = load_checkpoint(args.best)[0] if args.best else None
    game = settings_from(args, GameSettings)
    server = settings_from(args, ServerSettings)
    result = run_arena(
        candidate,
        best,
        game,
        inference=server.inference,
        games_vs_random=args.games_vs_random,
        games_vs_best=args.games_vs_best,
        threshold=args.threshold,
        games_vs_heuristic=args.games_vs_heuristic,
        search_sims=args.search_sims,
        games_with_search=args.games_with_search,
        seed=args.seed,
    )
    print(f"Rotated seats on {game.dim} x {game.dim}, mean payoff [95% interval] (0.25 is parity):")
    for line in arena_lines(result, search_sims=args.search_sims):
        print(f"  {line}")
    if best is not None and args.games_vs_best > 0:
        promoted = "promoted" if result.promoted else "not promoted"
        print(f"  {promoted}{promotion_rule(args.games_vs_best, args.threshold)}")
    if args.module_figures:
        figures = module_figures(
            candidate,
            best,
            candidate.settings,
            game,
            server,
            games_vs_random=args.games_vs_random,
            games_vs_best=args.games_vs_best,
            workers=args.workers,
            progress=progress_shown(args),
        )
        print("\n".join(module_lines(figures, game.dim)))
    if args.keep_games is not None:
        for path in keep_games(result.kept, args.keep_games, prefix="arena"):
            print(f"Kept {path}")


def rate_command(args: argparse.Namespace) -> None:
    from tessarin_zero.cli.reports import rating_lines
    from tessarin_zero.evaluation.matches import HEURISTIC, RANDOM, Contestant, MatchSettings
    from tessarin_zero.evaluation.rating import rate
    from tessarin_zero.inference.evaluator import BatchEvaluator

    game = settings_from(args, GameSettings)
    stems = [path.stem for path in args.checkpoints]
    names = stems if len(set(stems)) == len(stems) else [str(p) for p in args.checkpoints]
    networks = [
        Contestant(
            name, BatchEvaluator(load_checkpoint(path)[0], path=args.inference, dim=game.dim)
        )
        for name, path in zip(names, args.checkpoints)
    ]
    engine = [
        player for player, wanted in ((HEURISTIC, args.heuristic), (RANDOM, args.random)) if wanted
    ]
    settings = MatchSettings(
        game.dim, args.search_sims, game.sample_moves, game.c_base, game.c_init, seed=args.seed
    )
    anchor = RANDOM if args.random else networks[0]
    result = rate([*networks, *engine], settings, args.games, anchor=anchor)
    print("\n".join(rating_lines(result, game.dim, args.search_sims)))


def loop(args: argparse.Namespace) -> None:
    report = PrintedReport()
    with ExitStack() as stack:
        run_dir = claimed_run_dir(args, stack)
        # A new loop, or one whose start was cut short: its settings are stored before anything
        # else, so that whatever stops the start, --resume does it again.
        starting = not (args.resume and start_finished(run_dir))
        if starting:
            torch.manual_seed(args.seed)
            if args.checkpoint is None:
                model = PolicyValueNet(settings_from(args, NetworkSettings))
            else:
                model, metadata = load_checkpoint(args.checkpoint)
                print(starting_network_line(args.checkpoint, metadata.get("dim"), args.dim))
            flags: dict[str, Any] = loop_flags(args)
            flags.update(dataclasses.asdict(model.settings))  # a --checkpoint's own size
            save_loop_settings(run_dir, flags)
        plan = Loop(
            run_dir,
            settings_from(args, GameSettings),
            settings_from(args, ServerSettings),
            settings_from(args, TrainSettings),
            LoopSettings(
                **{f.name: getattr(args, f.name) for f in dataclasses.fields(LoopSettings)}
            ),
            self_play_backend(args, stack),
            progress=progress_shown(args),
        )
        if starting:
            state = start_new(plan, model, report)
        else:
            state = resume(run_dir, report, settings_from(args, NetworkSettings), args.dim)
            save_loop_settings(run_dir, loop_flags(args))  # the next resume goes on with these
        run_iterations(plan, state, report)


def render_command(args: argparse.Namespace) -> None:
    from tessarin_zero.evaluation.render import render_game
    from tessarin_zero.storage.kept_games import load_game

    if args.out.exists() and not args.out.is_dir():
        raise NotADirectoryError(errno.ENOTDIR, "a file, not a folder", str(args.out))
    try:
        kept = load_game(args.game, args.index)
        # The game is checked before its folder is made: a refused one leaves nothing behind.
        with files_in(args.out):
            written = render_game(
                kept, args.out, animate=args.gif, frame_seconds=args.frame_seconds
            )
    except ValueError as error:  # not a game, or a history that breaks the rules
        sys.exit(f"error: {error}")
    print(f"{len(written)} {'image' if len(written) == 1 else 'images'} in {args.out}")


def play_command(args: argparse.Namespace) -> None:
    from tessarin_zero.web.app import PageSettings
    from tessarin_zero.web.networks import Networks, catalogue, offered_checkpoints
    from tessarin_zero.web.server import AddressError, serve

    settings = PageSettings(
        Networks(catalogue(offered_checkpoints(args.checkpoint, args.run_dir)), args.inference),
        run_dir=args.run_dir,
        records=args.records,
        kept_games=args.kept_games,
    )
    try:
        serve(settings, args.host, args.port)
    except AddressError as error:
        sys.exit(f"error: {error}")
    except KeyboardInterrupt:
        print("Stopped.")
