"""What the commands say and accept: plain help that names every command, labelled figures, no
flag that a command would ignore, no progress redraws in a log, and no advice to load a refused
file unsafely."""

from __future__ import annotations

import os
import pickle
from pathlib import Path

import pytest
import torch

from exits import exit_of
from processes import start_cli
from tessarin_zero.cli import main
from tessarin_zero.common.settings import NetworkSettings
from tessarin_zero.inference.checkpoints import save_checkpoint
from tessarin_zero.inference.network import PolicyValueNet

TINY = ["--dim", "5", "--sims-per-move", "2", "--channels", "4", "--blocks", "1"]


def test_the_help_is_plain_text_that_names_every_command(
    capsys: pytest.CaptureFixture[str],
) -> None:
    with pytest.raises(SystemExit) as stop:
        main(["--help"])
    said = capsys.readouterr().out
    assert stop.value.code == 0 and "``" not in said
    description = said.split("positional arguments")[0]
    for command in ("selfplay", "train", "arena", "loop", "render", "play"):
        assert f"({command})" in description, command


@pytest.mark.parametrize(
    "argv, flag",
    [
        (["arena", "--candidate", "{net}", "--channels", "8"], "--channels"),
        (["train", "--data", ".", "--checkpoint", "{net}", "--blocks", "2"], "--blocks"),
        (["selfplay", "--checkpoint", "{net}", "--no-canonical"], "--canonical"),
        (["loop", "--checkpoint", "{net}", "--value-channels", "4"], "--value-channels"),
    ],
)
def test_network_size_flags_beside_a_network_file_are_usage_errors(
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    capsys: pytest.CaptureFixture[str],
    argv: list[str],
    flag: str,
) -> None:
    monkeypatch.chdir(tmp_path)
    save_checkpoint(tmp_path / "net.pt", PolicyValueNet(NetworkSettings(channels=4, blocks=1)))
    status, said = exit_of([word.format(net="net.pt") for word in argv], capsys)
    source = "--candidate" if argv[0] == "arena" else "--checkpoint"
    assert status == 2 and f"{flag}: the network's size is that of {source} net.pt" in said
    assert sorted(path.name for path in tmp_path.iterdir()) == ["net.pt"]


def test_train_prints_labelled_losses(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    run = tmp_path / "run"
    main(["selfplay", "--run-dir", str(run), "--games", "2", "--workers", "1", *TINY, "--quiet"])
    capsys.readouterr()
    main(["train", "--run-dir", str(run), "--epochs", "1", "--channels", "4", "--quiet"])
    said = capsys.readouterr().out
    assert "{" not in said and "policy loss " in said and "value loss " in said, said
    assert f"Checkpoint {run / 'checkpoints' / 'trained.pt'}" in said


def test_progress_bars_are_not_drawn_into_a_log(tmp_path: Path) -> None:
    # Without --quiet, as under nohup or CI: standard error is a file, not a terminal.
    run = start_cli(
        ["selfplay", "--run-dir", "run", "--games", "4", "--workers", "1", *TINY], tmp_path
    )
    out, err = run.communicate(timeout=300)
    assert run.returncode == 0, err
    assert b"\r" not in err and b"self-play" not in err, err[-500:]


class Planted:
    """An object whose unpickling would write a marker file."""

    def __init__(self, marker: Path) -> None:
        self.marker = marker

    def __reduce__(self) -> tuple[object, tuple[str, str]]:
        return (os.system, (f"touch {self.marker}",))


def test_a_checkpoint_holding_code_is_refused_without_advice_to_run_it(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    marker, planted = tmp_path / "ran", tmp_path / "planted.pt"
    settings = NetworkSettings(channels=4, blocks=1)
    network = {name: getattr(settings, name) for name in settings.__dataclass_fields__}
    torch.save(
        {"format": 1, "network": network, "state_dict": {}, "metadata": Planted(marker)},
        planted,
        pickle_module=pickle,
    )
    status, said = exit_of(["arena", "--candidate", str(planted), "--quiet"], capsys)
    assert status == 1 and said.startswith(f"error: {planted}: not a checkpoint")
    assert "weights_only" not in said and "trusted" not in said and "\n" not in said
    assert not marker.exists()
