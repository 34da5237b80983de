"""metrics.csv across versions of the host, and games drawn as pictures."""

from __future__ import annotations

import csv
import math
from pathlib import Path

import pytest
from PIL import Image

from tessarin_zero.cli import main
from tessarin_zero.match import KeptGame, play_match
from tessarin_zero.metrics import IterationMetrics, MetricsLog, read_metrics
from tessarin_zero.players import HeuristicSeat, RandomPlayer
from tessarin_zero.render import load_game, piece_boards, render_game
from tessarin_zero.stats import score_of

# The header and a row as the host wrote them before the rotated-seat figures existed.
OLD_HEADER = (
    "iteration,games,positions,policy_loss,value_loss,win_rate_vs_random,score_vs_best,"
    "promoted,seconds"
)
OLD_ROW = "1,20,1234,3.1,1.3,0.5625,0.0,False,61.2"


def test_an_older_metrics_file_is_read_and_extended_with_the_new_columns(tmp_path: Path) -> None:
    (tmp_path / "metrics.csv").write_text(f"{OLD_HEADER}\n{OLD_ROW}\n")
    rows = read_metrics(tmp_path / "metrics.csv")
    assert rows[0].win_rate_vs_random == 0.5625 and not rows[0].promoted
    assert math.isnan(rows[0].vs_random) and rows[0].vs_random_games == 0

    new = IterationMetrics(2, 20, 2000, 3.0, 1.2, True, 50.0).with_scores(
        vs_random=score_of([1.0, 0.0, 0.0, 0.0]), heuristic_vs_random=score_of([0.5] * 4)
    )
    MetricsLog(tmp_path, rows).append(new)
    again = read_metrics(tmp_path / "metrics.csv")
    assert again[0].win_rate_vs_random == 0.5625 and math.isnan(again[0].vs_heuristic)
    assert again[1].vs_random == 0.25 and again[1].vs_random_games == 4
    assert again[1].heuristic_vs_random == 0.5 and math.isnan(again[1].win_rate_vs_random)
    assert 0 <= again[1].vs_random_low < 0.25 < again[1].vs_random_high <= 1
    assert (tmp_path / "win_rate.png").stat().st_size > 0


def test_a_metrics_file_missing_a_column_it_always_had_is_refused(tmp_path: Path) -> None:
    header = OLD_HEADER.replace("policy_loss,", "")
    row = OLD_ROW.replace("3.1,", "", 1)
    (tmp_path / "metrics.csv").write_text(f"{header}\n{row}\n")
    with pytest.raises(ValueError, match="unreadable metrics"):
        read_metrics(tmp_path / "metrics.csv")


def test_a_loop_folder_of_an_older_version_resumes(tmp_path: Path) -> None:
    run = tmp_path / "run"
    net = ["--channels", "4", "--blocks", "1", "--quiet"]
    loop = ["loop", "--run-dir", str(run), "--iterations", "1", "--games", "2", "--dim", "5"]
    loop += ["--sims-per-move", "2", "--games-vs-random", "4", "--games-vs-best", "4"]
    main(loop + ["--epochs", "1", *net])
    # Rewrite its metrics as the older version did: its own columns only.
    with (run / "metrics.csv").open() as handle:
        row = next(csv.DictReader(handle))
    old = {name: row[name] for name in OLD_HEADER.split(",")}
    old.update(win_rate_vs_random="0.5", score_vs_best="0.0")
    (run / "metrics.csv").write_text(OLD_HEADER + "\n" + ",".join(old.values()) + "\n")
    main(["loop", "--run-dir", str(run), "--resume", "--iterations", "2", "--quiet"])
    rows = read_metrics(run / "metrics.csv")
    assert [r.iteration for r in rows] == [1, 2]
    assert rows[0].win_rate_vs_random == 0.5 and rows[1].vs_best_games == 4
    assert sorted(p.name for p in (run / "games").glob("iteration-002-*.json")) == [
        "iteration-002-heuristic-vs-random.json",
        "iteration-002-vs-best.json",
        "iteration-002-vs-heuristic.json",
        "iteration-002-vs-random.json",
    ]


def kept_game(dim: int = 5) -> KeptGame:
    kept = play_match(HeuristicSeat(1), RandomPlayer(2), dim, 4).kept
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
    from games import uniform_game
    from tessarin_zero.data import RecordWriter
    from tessarin_zero.settings import GameSettings

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
