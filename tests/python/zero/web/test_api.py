"""The page's server through Starlette's test client: whole games against the engine's seats to
the engine's payoffs, taking tiles back, the network's view, recorded games and a run's figures;
and every kind of bad request answered with a 4xx and a message, changing nothing."""

from __future__ import annotations

import json
import re
import socket
from pathlib import Path
from typing import Any

import numpy as np
import pytest
import tessarin_engine
from starlette.testclient import TestClient

from tessarin_zero.storage.kept_games import KeptGame
from tessarin_zero.training.metrics import MetricsLog
from tessarin_zero.web.app import create_app
from tessarin_zero.web.networks import trained_side
from tessarin_zero.web.server import AddressError, bind

from served import RUN_SIDE, iteration, page_settings

PERSON = {"kind": "person"}
HEURISTIC = {"kind": "heuristic"}


@pytest.fixture()
def client(served_files: Path) -> TestClient:
    return TestClient(create_app(page_settings(served_files, kept_games=3)))


def new_game(client: TestClient, side: int, seats: list[dict[str, Any]], **more: Any) -> Any:
    answer = client.post("/api/games", json={"side": side, "seats": seats, **more})
    assert answer.status_code == 201, answer.json()
    return answer.json()


def settle(client: TestClient, view: Any) -> Any:
    """The game once its engine seats have moved."""
    while view["waiting"] == "engine":
        view = client.post(f"/api/games/{view['id']}/advance").json()
    return view


def play_to_the_end(client: TestClient, view: Any) -> Any:
    """Lays the lowest legal cell for every person until the game is over."""
    view = settle(client, view)
    while view["waiting"] == "person":
        answer = client.post(f"/api/games/{view['id']}/play", json={"cell": view["legal"][0]})
        assert answer.status_code == 200, answer.json()
        view = settle(client, answer.json())
    return view


def engine_game(side: int, history: list[list[int]]) -> Any:
    game = tessarin_engine.Game(side)
    for player, tile in history:
        assert game.current_player == player
        game.apply(tile)
    return game


@pytest.mark.parametrize(
    "seats, simulations",
    [
        ([PERSON, HEURISTIC, HEURISTIC, HEURISTIC], 0),
        ([{"kind": "random"}, PERSON, {"kind": "network", "network": "solo"}, PERSON], 3),
    ],
)
def test_a_whole_game_ends_with_the_engines_payoff(
    client: TestClient, seats: list[dict[str, Any]], simulations: int
) -> None:
    view = play_to_the_end(client, new_game(client, 6, seats, simulations=simulations, seed=1))
    game = engine_game(6, view["history"])
    assert view["waiting"] == "over" and game.is_terminal()
    assert view["payoff"] == game.payoff() and view["scores"] == game.scores()
    assert view["legal"] == [] and view["to_move"] is None
    assert view["seats"] == ["network solo" if s["kind"] == "network" else s["kind"] for s in seats]
    people = [number for number, seat in enumerate(seats) if seat == PERSON]
    first = engine_game(6, [])
    for player, tile in view["history"]:  # every person laid the lowest legal cell
        if player in people:
            assert tile == first.legal_tiles()[0]
        first.apply(tile)


def test_a_position_shows_what_the_engine_says_of_it(client: TestClient) -> None:
    view = new_game(client, 7, [PERSON, HEURISTIC, HEURISTIC, HEURISTIC])
    assert view["waiting"] == "person" and view["to_move"] == 0 and view["laying"] == []
    view = client.post(f"/api/games/{view['id']}/play", json={"cell": 0}).json()
    game = engine_game(7, view["history"])
    assert view["history"] == [[0, 0]] and view["laying"] == [0]
    assert view["legal"] == game.legal_tiles() and view["waiting"] == "person"
    assert [len(held) for held in view["pieces"]] == [21] * 4
    assert view["pieces"][0][0] == {"name": "I1", "cells": [[0, 0]]}


def test_taking_back_returns_to_the_persons_previous_decision(client: TestClient) -> None:
    view = new_game(client, 7, [HEURISTIC, PERSON, HEURISTIC, HEURISTIC], seed=5)
    game_id = view["id"]
    nothing = client.post(f"/api/games/{game_id}/undo")
    assert nothing.status_code == 409 and "nothing to take back" in nothing.json()["error"]
    view = settle(client, view)
    before_first = view["history"]
    for _ in range(3):  # a whole piece of the person (each tile is a decision) and more
        view = settle(
            client,
            client.post(f"/api/games/{game_id}/play", json={"cell": view["legal"][-1]}).json(),
        )
    laid = [n for n, (player, _) in enumerate(view["history"]) if player == 1]
    played = view["history"]
    view = client.post(f"/api/games/{game_id}/undo").json()
    assert view["history"] == played[: laid[-1]] and view["waiting"] == "person"
    assert view["to_move"] == 1 and view["can_undo"]
    while view["can_undo"]:
        view = client.post(f"/api/games/{game_id}/undo").json()
    assert view["history"] == before_first and view["waiting"] == "person"


def test_the_network_view_is_a_distribution_over_the_legal_cells(client: TestClient) -> None:
    game = engine_game(7, [])
    for tile in (0, 1):
        game.apply(tile)
    history = [list(action) for action in game.history]
    answer = client.post("/api/analysis", json={"network": "solo", "side": 7, "history": history})
    assert answer.status_code == 200, answer.json()
    view = answer.json()
    policy = np.array(view["policy"])
    legal = game.legal_tiles()
    assert policy.shape == (49,) and np.all(policy[legal] > 0)
    assert np.delete(policy, legal).max() == 0 and policy.sum() == pytest.approx(1, abs=1e-3)
    assert view["mover"] == 0 and sum(view["values"]) == pytest.approx(1)


def test_the_oldest_game_is_dropped_beyond_the_bound(client: TestClient) -> None:
    ids = [new_game(client, 5, [PERSON, HEURISTIC, HEURISTIC, HEURISTIC])["id"] for _ in range(4)]
    gone = client.get(f"/api/games/{ids[0]}")
    assert gone.status_code == 404 and "keeps the 3 games used last" in gone.json()["error"]
    assert all(client.get(f"/api/games/{game_id}").status_code == 200 for game_id in ids[1:])


BAD_GAMES = [
    ({"side": 3}, "board side must be from 4 to 64"),
    ({"side": 65}, "board side must be from 4 to 64"),
    ({"side": "7"}, "board side must be a whole number"),
    ({"seats": [PERSON] * 3}, "seats must list 4 players"),
    ({"seats": [{"kind": "wizard"}] + [PERSON] * 3}, "seat 0: the player must be one of"),
    ({"seats": [PERSON, {"kind": "network"}, PERSON, PERSON]}, "seat 1: a network seat names"),
    ({"seats": [PERSON, {"kind": "network", "network": "nope"}, PERSON, PERSON]}, "no network"),
    (
        {"seats": [PERSON, {"kind": "network", "network": "damaged"}, PERSON, PERSON]},
        "network 'damaged' does not load: .*damaged.pt",
    ),
    (
        {"side": 7, "seats": [PERSON, {"kind": "network", "network": "run/best"}, PERSON, PERSON]},
        f"trained on {RUN_SIDE} x {RUN_SIDE}, not 7 x 7",
    ),
    ({"simulations": -1}, "simulations must be a whole number from 0 to 1024"),
    ({"simulations": 5000}, "simulations must be a whole number from 0 to 1024"),
    ({"seed": 1.5}, "seed must be a whole number"),
]


@pytest.mark.parametrize("change, message", BAD_GAMES)
def test_a_game_that_cannot_be_played_is_refused(
    client: TestClient, change: dict[str, Any], message: str
) -> None:
    body = {"side": 7, "seats": [PERSON, HEURISTIC, HEURISTIC, HEURISTIC], **change}
    answer = client.post("/api/games", json=body)
    assert answer.status_code == 400
    assert re.search(message, answer.json()["error"]), answer.json()


def test_bad_moves_are_refused_with_a_reason_and_change_nothing(client: TestClient) -> None:
    view = new_game(client, 7, [PERSON, HEURISTIC, HEURISTIC, HEURISTIC])
    url = f"/api/games/{view['id']}/play"
    refusals = [
        (client.post(url, json={"cell": 48}), 400, "first piece must cover your start corner"),
        (client.post(url, json={"cell": 49}), 400, "off the board"),
        (client.post(url, json={"cell": "0"}), 400, "a cell is a whole number"),
        (client.post(url, json={"tile": 0}), 400, 'a move is {"cell"'),
        (client.post(url, content=b"[1"), 400, "not JSON"),
        (client.post(url, content=b" " * (1 << 21)), 400, "larger than"),
        (client.post("/api/games/nope/play", json={"cell": 0}), 404, "no game 'nope'"),
    ]
    for answer, status, message in refusals:
        assert answer.status_code == status and message in answer.json()["error"]
    assert client.get(f"/api/games/{view['id']}").json()["history"] == []
    over = play_to_the_end(client, view)
    late = client.post(url, json={"cell": 0})
    assert late.status_code == 409 and late.json()["error"] == "the game is over"
    assert client.get(f"/api/games/{view['id']}").json()["history"] == over["history"]


@pytest.mark.parametrize(
    "body, status, message",
    [
        ({"network": "solo", "side": 7, "history": [[0, 48]]}, 400, "action 0: Invalid move"),
        ({"network": "solo", "side": 7, "history": [[1, 0]]}, 400, "player 1 is not to move"),
        ({"network": "solo", "side": 7, "history": [[0, 49]]}, 400, "tile 49 is off the board"),
        ({"network": "solo", "side": 7, "history": [[0]]}, 400, "must be a [player, tile] pair"),
        ({"network": "solo", "side": 7, "history": "0,0"}, 400, "must be a list"),
        ({"network": "nope", "side": 7, "history": []}, 400, "no network called 'nope'"),
        ({"network": "damaged", "side": 7, "history": []}, 400, "does not load"),
        ({"network": "run/best", "side": 7, "history": []}, 400, "trained on 5 x 5"),
        ({"side": 7, "history": []}, 400, "names its network"),
    ],
)
def test_an_analysis_that_cannot_be_made_is_refused(
    client: TestClient, body: dict[str, Any], status: int, message: str
) -> None:
    answer = client.post("/api/analysis", json=body)
    assert answer.status_code == status and message in answer.json()["error"]


def test_a_finished_game_has_no_move_to_weigh(client: TestClient) -> None:
    over = play_to_the_end(client, new_game(client, 5, [PERSON, HEURISTIC, HEURISTIC, HEURISTIC]))
    answer = client.post(
        "/api/analysis", json={"network": "solo", "side": 5, "history": over["history"]}
    )
    assert answer.status_code == 409 and "the game is over" in answer.json()["error"]


def test_recorded_games_come_with_their_visit_shares(client: TestClient) -> None:
    sources = client.get("/api/records").json()["sources"]
    chunk = next(s["name"] for s in sources if s["chunk"])
    assert {"name": "games/kept.json", "chunk": False} in sources
    games = []
    for index in range(3):
        game = client.get("/api/records/game", params={"source": chunk, "index": index}).json()
        assert (
            game["games"] == 3 and game["side"] == 7 and len(game["shares"]) == len(game["history"])
        )
        replayed = engine_game(7, game["history"])
        assert replayed.is_terminal() and game["payoff"] == replayed.payoff()
        for (_, tile), shares in zip(game["history"], game["shares"]):
            assert shares is not None and sum(s for _, s in shares) == pytest.approx(1, abs=1e-3)
        games.append(game["history"])
    assert games[0] != games[1]
    kept = client.get("/api/records/game", params={"source": "games/kept.json"}).json()
    assert kept["seats"] == ["a", "b", "c", "d"] and set(map(str, kept["shares"])) == {"None"}


def test_recorded_games_that_are_not_there_or_break_the_rules_are_refused(
    client: TestClient, served_files: Path
) -> None:
    chunk = next(s["name"] for s in client.get("/api/records").json()["sources"] if s["chunk"])
    for params, status, message in [
        ({"source": "../solo.pt"}, 404, "no recorded games called '../solo.pt'"),
        ({"source": chunk, "index": 3}, 404, "holds games 0 to 2, not game 3"),
        ({"source": chunk, "index": "x"}, 400, "index must be a whole number"),
        ({"source": "games/kept.json", "index": 1}, 404, "holds one game"),
    ]:
        answer = client.get("/api/records/game", params=params)
        assert answer.status_code == status and message in answer.json()["error"]
    forged = served_files / "run" / "games" / "forged.json"
    KeptGame(7, [(0, 0), (0, 48)], ["a"] * 4, [0.25] * 4).save(forged)
    try:
        answer = client.get("/api/records/game", params={"source": "games/forged.json"})
        assert answer.status_code == 400
        assert "game 0 breaks the rules: action 1: Invalid move" in answer.json()["error"]
    finally:
        forged.unlink()


def test_a_runs_figures_follow_its_metrics_file(served_files: Path, tmp_path: Path) -> None:
    run = tmp_path / "run"
    run.mkdir()
    client = TestClient(create_app(page_settings(served_files, run_dir=run)))
    empty = client.get("/api/run/figures").json()
    assert empty["rows"] == [] and empty["plots"] == []
    assert client.get("/api/run/plots/losses.png").status_code == 404
    log = MetricsLog(run)
    log.append(iteration(1))
    first = client.get("/api/run/figures").json()
    assert [row["iteration"] for row in first["rows"]] == [1]
    assert first["rows"][0]["vs_random"] is None  # not measured: NaN in the file
    image = client.get("/api/run/plots/losses.png")
    assert image.status_code == 200 and image.content.startswith(b"\x89PNG")
    assert client.get("/api/run/plots/win_rate.png").content.startswith(b"\x89PNG")
    log.append(iteration(2))
    second = client.get("/api/run/figures").json()
    assert second["stamp"] != first["stamp"] and len(second["rows"]) == 2
    assert client.get("/api/run/plots/losses.png").content != image.content
    assert client.get("/api/run/plots/other.png").status_code == 404
    (run / "metrics.csv").write_text("iteration,games\n3,x\n")
    assert client.get("/api/run/figures").status_code == 400


def test_without_a_run_folder_the_dashboard_says_so(served_files: Path) -> None:
    client = TestClient(create_app(page_settings(served_files, run_dir=None)))
    answer = client.get("/api/run/figures")
    assert answer.status_code == 404 and "--run-dir" in answer.json()["error"]


def test_a_stopping_server_ends_the_engines_turns_at_once(served_files: Path) -> None:
    settings = page_settings(served_files)
    client = TestClient(create_app(settings))
    seats = [{"kind": "network", "network": "solo"}, HEURISTIC, HEURISTIC, PERSON]
    view = new_game(client, 7, seats, simulations=50)
    settings.stopping.set()
    answer = client.post(f"/api/games/{view['id']}/advance")
    assert answer.status_code == 409 and answer.json()["error"] == "the server is stopping"
    assert client.get(f"/api/games/{view['id']}").json()["history"] == []


def test_an_address_in_use_is_one_clear_error() -> None:
    taken = bind("127.0.0.1", 0)
    assert taken.proto == socket.IPPROTO_TCP  # so that asyncio sets TCP_NODELAY on connections
    try:
        with pytest.raises(AddressError, match=r"cannot listen on 127.0.0.1 port \d+"):
            bind("127.0.0.1", taken.getsockname()[1])
    finally:
        taken.close()


@pytest.mark.parametrize("side", [True, 2, "20", None])
def test_a_run_folder_whose_side_is_not_a_board_side_gives_its_networks_none(
    tmp_path: Path, side: object
) -> None:
    checkpoint = tmp_path / "checkpoints" / "best.pt"
    checkpoint.parent.mkdir()
    checkpoint.write_bytes(b"")
    (tmp_path / "run.json").write_text(json.dumps({"dim": side}))
    assert trained_side(checkpoint) is None
    (tmp_path / "run.json").write_text(json.dumps({"dim": 9}))
    assert trained_side(checkpoint) == 9
