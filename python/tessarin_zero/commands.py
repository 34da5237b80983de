"""The commands of the command line (``cli`` reads and checks their flags).

Each writing command holds its run folder's lock from start to end. SIGTERM and SIGHUP end a
command like Ctrl-C: workers and server are stopped and the records of finished games are
written before it exits (status 128 + the signal number). A command that cannot go on (a
damaged checkpoint, training that diverged, a folder in use) says why in one line and exits with
status 1.
"""

from __future__ import annotations

import argparse
import dataclasses
import logging
import math
import sys
import time
from collections.abc import Sequence
from contextlib import ExitStack
from pathlib import Path

import torch

from .arena import ArenaResult, false_promotion_rate_estimate, run_arena
from .cli import loop_flags, settings_from
from .data import RecordError, RecordWriter, TrainingTensors, load_training_tensors
from .final import final_figures
from .lifetime import Terminated, stop_signals_raise
from .match import rotated_games
from .metrics import IterationMetrics, MetricsLog, read_metrics
from .network import CheckpointError, PolicyValueNet, load_checkpoint, save_checkpoint
from .play import PlayError, choose_driver, play_training_games
from .pool import WorkerError
from .ray_backend import RayBackend, RayBackendError
from .records import recover_journal, set_aside
from .runs import RunFolderBusy, RunLock, load_loop_settings, new_run_dir, save_loop_settings
from .server import ServerError
from .settings import GameSettings, NetworkSettings, ServerSettings, TrainSettings
from .teacher import WARM_START_FOLDER, warm_start
from .train import TrainingDiverged, train

_log = logging.getLogger("tessarin_zero")


class RunStateError(RuntimeError):
    """The run folder's state does not allow the command to go on."""


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
        "render": render_command,
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


def claimed_run_dir(args: argparse.Namespace, stack: ExitStack) -> Path:
    """The command's run folder (a new one unless --run-dir), locked for the command's life."""
    run_dir = args.run_dir if args.run_dir is not None else new_run_dir()
    stack.enter_context(RunLock(run_dir))
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
    """Samples of the newest `window_chunks` usable chunks, and how many chunks that was. A
    damaged chunk is set aside (moved to ``set-aside/``, never deleted), a chunk of another
    board side left where it is; both with a warning that names the file."""
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


def ray_backend(args: argparse.Namespace, stack: ExitStack) -> RayBackend | None:
    """The command's Ray cluster with --backend ray, connected for the command's life (its
    actors killed, an instance it started shut down, on every way out)."""
    if getattr(args, "backend", "local") != "ray":
        return None
    return stack.enter_context(RayBackend(args.ray_address))


def selfplay(args: argparse.Namespace) -> None:
    with ExitStack() as stack:
        run_dir = claimed_run_dir(args, stack)
        ray = ray_backend(args, stack)
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
                driver=choose_driver(args.driver),
                batch_games=args.batch_games,
                ray=ray,
            )
    print(f"Self-play: {stats}. Records in {run_dir / 'records'}")


def train_command(args: argparse.Namespace) -> None:
    with ExitStack() as stack:
        # --data alone trains on those folders; the checkpoint then goes to --out, or to a new
        # run folder.
        run_dir: Path | None = None
        if args.run_dir is not None or args.out is None:
            run_dir = claimed_run_dir(args, stack)
        settings = settings_from(args, TrainSettings)
        model, _ = load_or_new(args.checkpoint, settings_from(args, NetworkSettings))
        folders = args.data or [Path(str(run_dir)) / "records"]
        tensors, chunks = load_window(folders, settings, dim=None)
        losses = train(model, tensors, settings, progress=not args.quiet)
        out = args.out or Path(str(run_dir)) / "checkpoints" / "trained.pt"
        save_checkpoint(out, model, losses=losses)
    print(f"Trained on {chunks} chunks: {losses}. Checkpoint {out}")


def arena(args: argparse.Namespace) -> None:
    candidate, network = load_or_new(args.candidate, settings_from(args, NetworkSettings))
    best = load_checkpoint(args.best)[0] if args.best else None
    game = settings_from(args, GameSettings)
    result = run_arena(
        candidate,
        best,
        network,
        game,
        settings_from(args, ServerSettings),
        games_vs_random=args.games_vs_random,
        games_vs_best=args.games_vs_best,
        workers=args.workers,
        threshold=args.threshold,
        progress=not args.quiet,
        games_vs_heuristic=args.games_vs_heuristic,
        search_sims=args.search_sims,
        games_with_search=args.games_with_search,
        module_figures=args.module_figures,
        seed=args.seed,
    )
    print(f"Rotated seats on {game.dim} x {game.dim}, mean payoff [95% interval] (0.25 is parity):")
    for line in arena_lines(result, search_sims=args.search_sims):
        print(f"  {line}")
    if best is not None and args.games_vs_best > 0:
        print("  " + ("promoted" if result.promoted else "not promoted") + promotion_rule(args))
    if result.module is not None:
        print("The module's test games (not seat-rotated):")
        print(
            f"  seat 0 only vs 3 random on {game.dim} x {game.dim}: "
            f"{result.module.seat0_vs_random}"
        )
        print(f"  seat 0 only vs 3 best, 20 x 20 only: {result.module.seat0_vs_best_20x20}")
    if args.keep_games is not None:
        for path in keep_games(result, args.keep_games, prefix="arena"):
            print(f"Kept {path}")


def arena_lines(result: ArenaResult, search_sims: int = 0) -> list[str]:
    """The arena's figures, one labelled line each."""
    lines = [
        f"network vs 3 random:     {result.vs_random}",
        f"network vs 3 heuristic:  {result.vs_heuristic}",
        f"network vs 3 best:       {result.vs_best}",
        f"heuristic vs 3 random:   {result.heuristic_vs_random}  (the line to beat)",
    ]
    if search_sims > 0:
        lines += [
            f"network+search{search_sims} vs 3 random:    {result.search_vs_random}",
            f"network+search{search_sims} vs 3 heuristic: {result.search_vs_heuristic}",
        ]
    return lines


def promotion_rule(args: argparse.Namespace) -> str:
    games = rotated_games(args.games_vs_best)
    chance = false_promotion_rate_estimate(games, args.threshold)
    return (
        f" (threshold {args.threshold} over {games} games; an equal network passes it "
        f"{100 * chance:.1f}% of the time)"
    )


def keep_games(result: ArenaResult, folder: Path, prefix: str) -> list[Path]:
    """Writes the arena's kept games (one per match) into `folder`; returns their paths."""
    paths = []
    for label, kept in result.kept.items():
        path = folder / f"{prefix}-{label.replace(' ', '-')}.json"
        kept.save(path)
        paths.append(path)
    return paths


def iteration_checkpoint(run_dir: Path, iteration: int) -> Path:
    return run_dir / "checkpoints" / f"iteration-{iteration:03d}.pt"


def loop(args: argparse.Namespace) -> None:
    with ExitStack() as stack:
        run_dir = claimed_run_dir(args, stack)
        ray = ray_backend(args, stack)
        if args.resume:
            candidate, best, log = resume_state(run_dir)
            save_loop_settings(run_dir, loop_flags(args))  # the next resume goes on with these
        else:
            torch.manual_seed(args.seed)
            candidate, _ = load_or_new(args.checkpoint, settings_from(args, NetworkSettings))
            if args.warm_start_games > 0:
                warm_start_network(args, run_dir, candidate)
            best = PolicyValueNet(candidate.settings)
            best.load_state_dict(candidate.state_dict())
            save_checkpoint(iteration_checkpoint(run_dir, 0), candidate, iteration=0)
            save_checkpoint(run_dir / "checkpoints" / "best.pt", best, iteration=0)
            flags = loop_flags(args)
            flags.update(dataclasses.asdict(candidate.settings))  # a --checkpoint's own size
            save_loop_settings(run_dir, flags)
            log = MetricsLog(run_dir)
        run_iterations(args, run_dir, candidate, best, log, ray)


def warm_start_network(args: argparse.Namespace, run_dir: Path, model: PolicyValueNet) -> None:
    """Trains the loop's first network on games of four heuristic players (see ``teacher``),
    at the first iteration's learning rate."""
    rate = scheduled_learning_rate(args.learning_rate, args.final_learning_rate, 1, args.iterations)
    epochs = args.warm_start_epochs or args.epochs
    settings = dataclasses.replace(
        settings_from(args, TrainSettings), learning_rate=rate, epochs=epochs
    )
    positions, losses = warm_start(
        model,
        args.dim,
        args.warm_start_games,
        run_dir / WARM_START_FOLDER,
        settings,
        seed=args.seed,
        progress=not args.quiet,
    )
    print(
        f"Warm start: {args.warm_start_games} games of four heuristic players, {positions} "
        f"positions, {epochs} epochs; policy loss {losses['policy']:.3f}, value loss {losses['value']:.3f}",
        flush=True,
    )


def resume_state(run_dir: Path) -> tuple[PolicyValueNet, PolicyValueNet, MetricsLog]:
    """The candidate after the last complete iteration (the one with a metrics row), the best
    network as of that iteration, and the metrics so far."""
    load_loop_settings(run_dir)  # checked by the parser; a folder changed since fails here
    try:
        rows = read_metrics(run_dir / "metrics.csv")
    except ValueError as error:
        raise RunStateError(str(error)) from error
    done = rows[-1].iteration if rows else 0
    promoted = [row.iteration for row in rows if row.promoted]
    candidate, _ = load_checkpoint(iteration_checkpoint(run_dir, done))
    best, _ = load_checkpoint(iteration_checkpoint(run_dir, promoted[-1] if promoted else 0))
    best_iteration = promoted[-1] if promoted else 0
    save_checkpoint(run_dir / "checkpoints" / "best.pt", best, iteration=best_iteration)
    print(f"Resuming {run_dir} after iteration {done}")
    return candidate, best, MetricsLog(run_dir, rows)


def run_iterations(
    args: argparse.Namespace,
    run_dir: Path,
    candidate: PolicyValueNet,
    best: PolicyValueNet,
    log: MetricsLog,
    ray: RayBackend | None = None,
) -> None:
    """The iterations still to do; self-play on `ray`'s actors where given."""
    game = settings_from(args, GameSettings)
    server = settings_from(args, ServerSettings)
    train_settings = settings_from(args, TrainSettings)
    network = candidate.settings
    first = len(log.rows) + 1
    chance = false_promotion_rate_estimate(rotated_games(args.games_vs_best), args.threshold)
    if args.games_vs_best > 0 and chance > 0.1:
        _log.warning(
            "promotion after %d games at threshold %s passes a network no stronger than the "
            "best %.0f%% of the time: raise --games-vs-best or --threshold",
            rotated_games(args.games_vs_best),
            args.threshold,
            100 * chance,
        )
    if first > args.iterations:
        print(f"Run folder {run_dir}: all {args.iterations} iterations are done")
    else:
        span = f"iterations {first} to {args.iterations}"
        print(f"Run folder {run_dir}: {span}, {args.games} self-play games each")
    for iteration in range(first, args.iterations + 1):
        started = time.monotonic()
        with RecordWriter(run_dir / "records", game) as writer:
            play_training_games(
                candidate,
                network,
                game,
                args.games,
                args.workers,
                server,
                on_record=writer.add,
                progress=not args.quiet,
                driver=choose_driver(args.driver),
                batch_games=args.batch_games,
                ray=ray,
                iteration=iteration,
            )
        tensors, _ = load_window([run_dir / "records"], train_settings, dim=game.dim)
        rate = scheduled_learning_rate(
            args.learning_rate, args.final_learning_rate, iteration, args.iterations
        )
        phase = dataclasses.replace(train_settings, learning_rate=rate)
        try:
            losses = train(candidate, tensors, phase, progress=not args.quiet)
        except TrainingDiverged as error:
            raise TrainingDiverged(
                f"{error}. Iteration {iteration} is not saved; --resume continues after "
                f"iteration {iteration - 1} (with a lower --learning-rate, say)"
            ) from error
        save_checkpoint(
            iteration_checkpoint(run_dir, iteration),
            candidate,
            iteration=iteration,
            losses=losses,
            learning_rate=rate,
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
            games_vs_heuristic=args.games_vs_heuristic,
        )
        keep_games(result, run_dir / "games", prefix=f"iteration-{iteration:03d}")
        if result.promoted:
            best.load_state_dict(candidate.state_dict())
            save_checkpoint(run_dir / "checkpoints" / "best.pt", best, iteration=iteration)
        row = IterationMetrics(
            iteration=iteration,
            games=args.games,
            positions=len(tensors),
            policy_loss=losses["policy"],
            value_loss=losses["value"],
            promoted=result.promoted,
            seconds=time.monotonic() - started,
        ).with_scores(
            vs_random=result.vs_random,
            vs_heuristic=result.vs_heuristic,
            vs_best=result.vs_best,
            heuristic_vs_random=result.heuristic_vs_random,
        )
        log.append(row)
        print(
            f"Iteration {iteration} (rotated seats, 95% intervals): "
            f"vs random {result.vs_random}; vs heuristic {result.vs_heuristic}; "
            f"vs best {result.vs_best} ({'promoted' if row.promoted else 'kept best'}); "
            f"heuristic vs random {result.heuristic_vs_random}; "
            f"policy loss {row.policy_loss:.3f}, value loss {row.value_loss:.3f}, "
            f"{row.seconds:.0f} s",
            flush=True,
        )
    print_summary(log.rows, run_dir)
    if args.final_games > 0 and log.rows:
        figures = final_figures(
            candidate,
            log.rows[-1].iteration,
            network,
            game,
            server,
            games=args.final_games,
            search_sims=args.final_search_sims,
            games_with_search=args.final_games_with_search,
            workers=args.workers,
        )
        print("\n" + "\n".join(figures.lines()))
        print(f"Final figures in {figures.save(run_dir)}")


def scheduled_learning_rate(
    first: float, last: float | None, iteration: int, iterations: int
) -> float:
    """The learning rate of `iteration` (1-based) of `iterations`: `first` throughout without a
    `last`, else falling from `first` at the first iteration to `last` at the final one along a
    half cosine, which keeps the early rate longest and lands softly. Late iterations train on
    data from stronger networks with smaller steps, so the network the run ends with swings
    less from one iteration to the next. A loop of one iteration trains at `first`."""
    if last is None or iterations <= 1:
        return first
    progress = min(1.0, (iteration - 1) / (iterations - 1))
    return last + (first - last) * 0.5 * (1.0 + math.cos(math.pi * progress))


def print_summary(rows: Sequence[IterationMetrics], run_dir: Path) -> None:
    print("\nSummary: mean payoff of the network's raw policy with rotated seats (0.25 is parity)")
    print("and its 95% interval; heur/rnd is the heuristic's own score against random players")
    header = (
        f"{'iteration':>9} {'vs random':>19} {'vs heuristic':>19} {'vs best':>19} "
        f"{'heur/rnd':>19} {'policy':>7} {'value':>7} {'promoted':>8}"
    )
    print(header)
    for row in rows:
        figures = " ".join(
            f"{interval_text(row, name):>19}"
            for name in ("vs_random", "vs_heuristic", "vs_best", "heuristic_vs_random")
        )
        print(
            f"{row.iteration:>9} {figures} {row.policy_loss:>7.3f} {row.value_loss:>7.3f} "
            f"{str(row.promoted):>8}"
        )
    if any(not math.isnan(row.win_rate_vs_random) for row in rows):
        print("Rows without these figures come from an older version: its figures were seat 0")
        print("only (win_rate_vs_random) and 20 x 20 only (score_vs_best), in metrics.csv.")
    print(
        f"Metrics {run_dir / 'metrics.csv'}, plots {run_dir / 'losses.png'} and "
        f"{run_dir / 'win_rate.png'}, best network {run_dir / 'checkpoints' / 'best.pt'}, "
        f"one game per match and iteration in {run_dir / 'games'} (draw them with `render`)"
    )


def interval_text(row: IterationMetrics, name: str) -> str:
    """'0.312 [0.25,0.37]' for a figure of the row, '-' when it was not measured."""
    mean = getattr(row, name)
    if math.isnan(mean):
        return "-"
    return f"{mean:.3f} [{getattr(row, name + '_low'):.2f},{getattr(row, name + '_high'):.2f}]"


def render_command(args: argparse.Namespace) -> None:
    from .render import load_game, render_game

    try:
        kept = load_game(args.game, args.index)
        written = render_game(kept, args.out, animate=args.gif, frame_seconds=args.frame_seconds)
    except ValueError as error:  # not a game, or a history that breaks the rules
        sys.exit(f"error: {error}")
    print(f"{len(written)} {'image' if len(written) == 1 else 'images'} in {args.out}")
