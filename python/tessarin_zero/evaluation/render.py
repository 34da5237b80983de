"""Pictures of a game: the board after every piece, as PNG frames or one animated GIF.

A game comes from a kept arena game (``games/*.json`` in a run folder, see ``storage.kept_games``)
or from a record chunk of self-play (``records/*.npz``, by its index in the chunk). It is
replayed through ``tessarin_engine``, so a history that breaks the rules is refused with the
engine's message rather than drawn.
"""

from __future__ import annotations

from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import tessarin_engine  # noqa: E402
from matplotlib import animation  # noqa: E402
from matplotlib.artist import Artist  # noqa: E402
from matplotlib.axes import Axes  # noqa: E402
from matplotlib.patches import Rectangle  # noqa: E402

from tessarin_zero.storage.kept_games import KeptGame  # noqa: E402

# Player 0 red, 1 blue, 2 yellow, 3 green, as the engine's text rendering; empty cells white.
COLOURS = np.array(
    [[1.0, 1.0, 1.0], [0.85, 0.15, 0.15], [0.15, 0.35, 0.85], [0.95, 0.8, 0.1], [0.2, 0.65, 0.25]]
)


MAX_DRAWN_DIM = 800
"""The largest board side drawn: a figure is at most 8 inches, 800 pixels at matplotlib's 100 dots
per inch, so a larger board shows less than a pixel per square (and its frames, one board per
piece, would need gigabytes at the engine's largest sides)."""


def piece_boards(game: KeptGame) -> list[tuple[np.ndarray, int, list[int]]]:
    """(owner of every cell as a dim x dim array, 0 empty and p + 1 for player p; the player who
    laid the piece; the piece's cells) after every piece of the game, in order. ValueError when
    the game cannot be drawn (impossible fields, a side above MAX_DRAWN_DIM: checked before
    anything is allocated) or its history breaks the rules."""
    problem = game.problem()
    if problem is None and game.dim > MAX_DRAWN_DIM:
        problem = f"board side {game.dim} is larger than the {MAX_DRAWN_DIM} drawn"
    if problem is not None:
        raise ValueError(f"{game.label or 'the game'}: {problem}")
    board = tessarin_engine.Game(game.dim)
    owners = np.zeros(game.dim * game.dim, dtype=np.int64)
    frames = []
    piece: list[int] = []
    for number, (player, tile) in enumerate(game.history):
        if player != board.current_player:
            raise ValueError(
                f"action {number}: player {player} is not to move (player "
                f"{board.current_player} is)"
            )
        board.apply(tile)  # ValueError for an illegal tile
        owners[tile] = player + 1
        piece.append(tile)
        if board.turn_tiles == 0 or board.is_terminal():
            frames.append((owners.reshape(game.dim, game.dim).copy(), player, piece))
            piece = []
    return frames


def _draw(
    axes: Axes,
    game: KeptGame,
    frame: tuple[np.ndarray, int, list[int]],
    number: int,
    last: bool,
) -> None:
    owners, player, cells = frame
    axes.clear()
    axes.imshow(COLOURS[owners], interpolation="nearest")
    for cell in cells:
        row, col = divmod(cell, game.dim)
        axes.add_patch(
            Rectangle((col - 0.5, row - 0.5), 1, 1, fill=False, edgecolor="black", linewidth=2)
        )
    axes.set_xticks(np.arange(-0.5, game.dim, 1), minor=True)
    axes.set_yticks(np.arange(-0.5, game.dim, 1), minor=True)
    axes.grid(which="minor", color="grey", linewidth=0.3)
    axes.tick_params(which="both", bottom=False, left=False, labelbottom=False, labelleft=False)
    title = f"piece {number}: player {player} ({game.seats[player]}), {len(cells)} squares"
    if last:
        title += "\npayoff " + ", ".join(f"{v:.2f}" for v in game.payoff)
    axes.set_title(title, fontsize="small")


def render_game(
    game: KeptGame, out: Path, animate: bool = False, frame_seconds: float = 0.5
) -> list[Path]:
    """Draws the board after every piece into `out`: ``piece-001.png``, ``piece-002.png``...,
    or one ``game.gif`` when `animate`. Returns the files written."""
    frames = piece_boards(game)
    if not frames:
        raise ValueError("the game has no piece to draw")
    out.mkdir(parents=True, exist_ok=True)
    side = min(8.0, 2.0 + 0.25 * game.dim)
    figure, axes = plt.subplots(figsize=(side, side + 0.5))
    try:
        if animate:
            path = out / "game.gif"

            def update(i: int) -> list[Artist]:
                _draw(axes, game, frames[i], i + 1, i == len(frames) - 1)
                return []

            movie = animation.FuncAnimation(figure, update, frames=len(frames), blit=False)
            # The writer only divides by fps, so a fractional rate works, whatever its stubs say.
            writer = animation.PillowWriter(fps=1.0 / frame_seconds)  # type: ignore[arg-type]
            movie.save(path, writer=writer)
            return [path]
        paths = []
        for i, frame in enumerate(frames):
            _draw(axes, game, frame, i + 1, i == len(frames) - 1)
            path = out / f"piece-{i + 1:03d}.png"
            figure.savefig(path)
            paths.append(path)
        return paths
    finally:
        plt.close(figure)
