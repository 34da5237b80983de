"""Games drawn as pictures: a kept game, a game of a record chunk, and the render command."""

from __future__ import annotations

from pathlib import Path

import pytest
from PIL import Image

from games import uniform_game
from tessarin_zero.cli import main
from tessarin_zero.common.settings import GameSettings
from tessarin_zero.evaluation.matches import HEURISTIC, RANDOM, MatchSettings, play_match
from tessarin_zero.evaluation.render import piece_boards, render_game
from tessarin_zero.storage.kept_games import KeptGame, load_game
from tessarin_zero.storage.records import RecordWriter


def kept_game(dim: int = 5) -> KeptGame:
    kept = play_match(HEURISTIC, RANDOM, MatchSettings(dim, seed=1), 4).kept
    assert kept is not None
    return kept


def test_a_kept_game_is_drawn_one_valid_picture_per_piece(tmp_path: Path) -> None:
    game = kept_game()
    game.save(tmp_path / "game.json")
    loaded = load_game(tmp_path / "game.json")
    assert loaded == game
    pieces = piece_boards(loaded)
    assert sum(len(cells) for _, _, cells in pieces) == len(game.history)

    paths = render_game(loaded, tmp_path / "frames")
    assert [p.name for p in paths] == [f"piece-{i:03d}.png" for i in range(1, len(pieces) + 1)]
    for path in paths:
        with Image.open(path) as image:
            image.verify()
            assert image.format == "PNG"
    (gif,) = render_game(loaded, tmp_path / "movie", animate=True, frame_seconds=0.2)
    with Image.open(gif) as image:
        assert image.format == "GIF" and image.n_frames == len(pieces)


def test_a_recorded_game_is_drawn_and_a_broken_one_refused(tmp_path: Path) -> None:
    settings = GameSettings(dim=5, sims_per_move=2)
    with RecordWriter(tmp_path / "records", settings) as writer:
        writer.add(uniform_game(settings))
        writer.add(uniform_game(settings))
    (chunk,) = (tmp_path / "records").glob("*.npz")
    second = load_game(chunk, 1)
    assert second.dim == 5 and render_game(second, tmp_path / "out")
    with pytest.raises(ValueError, match="no game 2"):
        load_game(chunk, 2)

    broken = KeptGame(5, [(0, 0), (0, 24)], ["a"] * 4, [0.25] * 4)
    with pytest.raises(ValueError, match="Invalid move"):
        piece_boards(broken)
    (tmp_path / "bad.json").write_text('{"dim": 5}')
    with pytest.raises(ValueError, match="not a kept game"):
        load_game(tmp_path / "bad.json")


def test_the_render_command_writes_frames(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    kept_game(7).save(tmp_path / "game.json")
    main(["render", str(tmp_path / "game.json"), "--out", str(tmp_path / "frames"), "--quiet"])
    written = len(list((tmp_path / "frames").glob("piece-*.png")))
    assert written > 4 and f"{written} images" in capsys.readouterr().out


def test_the_render_command_refuses_what_is_not_a_game(tmp_path: Path) -> None:
    (tmp_path / "notes.json").write_text("[1, 2]")
    with pytest.raises(SystemExit, match="error: .*notes.json: not a kept game"):
        main(["render", str(tmp_path / "notes.json"), "--out", str(tmp_path / "out")])
