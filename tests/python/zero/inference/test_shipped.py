"""Shipped networks: found by their short names, their cards checked, and each one loads and
plays on the side its card names."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from tessarin_zero.cli import main
from tessarin_zero.common.settings import NetworkSettings
from tessarin_zero.inference.checkpoints import load_checkpoint, save_checkpoint
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.inference.shipped import ShippedNetwork, network_file, shipped_networks


def ship(folder: Path, name: str, card: object) -> Path:
    folder.mkdir(exist_ok=True)
    path = folder / f"{name}.pt"
    save_checkpoint(path, PolicyValueNet(NetworkSettings(channels=4, blocks=1)))
    (folder / f"{name}.json").write_text(json.dumps(card))
    return path


def test_a_name_finds_its_network_and_a_file_comes_first(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    folder = tmp_path / "shipped"
    path = ship(folder, "board9", {"side": 9, "command": "loop --dim 9"})
    [network] = shipped_networks(folder)
    assert (network.name, network.path, network.side) == ("board9", path, 9)
    assert network_file("board9", folder) == path
    monkeypatch.chdir(tmp_path)
    (tmp_path / "board9").write_bytes(b"")  # a file of that name is the file, not the network
    assert network_file("board9", folder) == Path("board9")
    with pytest.raises(
        ValueError, match=r"board8: no such file, nor a shipped network \(shipped: board9\)"
    ):
        network_file("board8", folder)


@pytest.mark.parametrize(
    "card, problem",
    [
        ([9], "not a network card (not a JSON object)"),
        ({"side": "9"}, 'not a network card ("9" is not a whole number)'),
        ({"side": 2}, "not a network card (2 is out of range"),
        ({}, "not a network card (null is not a whole number)"),
    ],
)
def test_a_card_that_does_not_say_a_sound_side_is_refused_by_name(
    tmp_path: Path, card: object, problem: str
) -> None:
    ship(tmp_path, "broken", card)
    with pytest.raises(ValueError) as refused:
        shipped_networks(tmp_path)
    assert str(refused.value).startswith(f"{tmp_path / 'broken.json'}: {problem}")


def test_a_card_without_its_network_is_refused(tmp_path: Path) -> None:
    ship(tmp_path, "board9", {"side": 9})
    (tmp_path / "board9.pt").unlink()
    with pytest.raises(ValueError, match="its network board9.pt is missing"):
        shipped_networks(tmp_path)


def test_an_unknown_name_is_a_usage_error_naming_what_is_shipped(
    capsys: pytest.CaptureFixture[str],
) -> None:
    with pytest.raises(SystemExit) as exited:
        main(["arena", "--candidate", "no-such-network"])
    assert exited.value.code == 2
    assert (
        "no-such-network: no such file, nor a shipped network (shipped: " in capsys.readouterr().err
    )


@pytest.mark.parametrize("shipped", shipped_networks(), ids=lambda network: network.name)
def test_every_shipped_network_loads_and_plays_its_side_by_its_name(
    shipped: ShippedNetwork, capsys: pytest.CaptureFixture[str]
) -> None:
    _, metadata = load_checkpoint(shipped.path)
    assert metadata.get("dim", shipped.side) == shipped.side
    assert {"command", "seed", "figures"} <= shipped.card.keys()
    games = ["--games-vs-random", "4", "--games-vs-best", "0", "--quiet"]
    main(["arena", "--candidate", shipped.name, "--dim", str(shipped.side), *games])
    assert f"Rotated seats on {shipped.side} x {shipped.side}" in capsys.readouterr().out


def test_the_page_offers_each_shipped_network_once_on_its_cards_side(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    from tessarin_zero.inference import shipped
    from tessarin_zero.web.networks import catalogue, offered_checkpoints

    folder = tmp_path / "shipped"
    board9 = ship(folder, "board9", {"side": 9})
    board11 = ship(folder, "board11", {"side": 11})
    monkeypatch.setattr(shipped, "SHIPPED_FOLDER", folder)
    own = tmp_path / "own.pt"
    save_checkpoint(own, PolicyValueNet(NetworkSettings(channels=4, blocks=1)))

    offered = catalogue(offered_checkpoints([own, board9], None))
    assert [(entry.name, entry.path, entry.side) for entry in offered] == [
        ("own", own, None),
        ("board9", board9, 9),
        ("board11", board11, 11),
    ]
