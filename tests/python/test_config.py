"""Reading the run configuration, and the worker stop that a bad one causes."""

from __future__ import annotations

from fractions import Fraction
from typing import Any

import pytest
import tessarin_self_play

from fakes import CONFIG_FIELDS, DEFAULT_CONFIG, Host, RecordingConfig, make_host, play

PREFIX = "Failed to read the run configuration: "


def call(name: str, config: Any, host: Host | None = None) -> Any:
    """Calls one entry function with `config`; requests go to `host`, answered uniformly."""
    host = host if host is not None else make_host()
    host.config = config
    return play(name, host)


def stop_of(
    name: str, config: Any, worker_stop: type[BaseException], capsys: pytest.CaptureFixture[str]
) -> str:
    """The message of the stop that `config` causes; nothing was asked of the host, and the
    message went to standard error alone."""
    host = make_host()
    with pytest.raises(worker_stop) as stopped:
        call(name, config, host)
    assert host.log == [] and host.pipe.calls == 0
    [message] = stopped.value.args
    assert type(message) is str
    assert capsys.readouterr() == ("", message + "\n")
    return message


class FloatLike:
    def __float__(self) -> float:
        return 0.5


class IntLike:
    def __index__(self) -> int:
        return 7


@pytest.mark.parametrize(
    "name, field, value, cause",
    [
        (
            "play_test_against_random",
            "dim",
            20.0,
            "TypeError: 'float' object cannot be interpreted as an integer",
        ),
        ("play_training_game", "sims_per_move", -800, "OverflowError"),
        ("play_test_game", "c_init", [1.25], "TypeError"),
        ("play_test_against_random", "exploration_fraction", None, "TypeError"),
    ],
)
def test_unconvertible_field_stops_the_worker_after_reading_up_to_it(
    name: str,
    field: str,
    value: Any,
    cause: str,
    worker_stop: type[BaseException],
    capsys: pytest.CaptureFixture[str],
) -> None:
    config = RecordingConfig(**{field: value})
    message = stop_of(name, config, worker_stop, capsys)
    extraction = f"{PREFIX}TypeError: failed to extract field Config.{field} (caused by "
    assert message.startswith(extraction + cause)
    if field == "dim":
        assert message == extraction + cause + ")"
    assert config.reads == list(CONFIG_FIELDS[: CONFIG_FIELDS.index(field) + 1])


@pytest.mark.parametrize(
    "name, field",
    [
        ("play_training_game", "exploration_fraction"),
        ("play_test_game", "exploration_fraction"),
        ("play_test_against_random", "exploration_fraction"),
        ("play_test_against_random", "sims_per_move"),
    ],
)
def test_missing_field_stops_the_worker_after_reading_the_earlier_ones(
    name: str, field: str, worker_stop: type[BaseException], capsys: pytest.CaptureFixture[str]
) -> None:
    config = RecordingConfig(missing=[field])
    message = stop_of(name, config, worker_stop, capsys)
    assert message.startswith(PREFIX + "AttributeError: ") and field in message
    assert config.reads == list(CONFIG_FIELDS[: CONFIG_FIELDS.index(field) + 1])


class PropertyConfig:
    """Every field is a property that logs its read; `sample_moves` raises."""

    def __init__(self) -> None:
        self.reads: list[str] = []


def field_property(name: str) -> property:
    def read(self: PropertyConfig) -> Any:
        self.reads.append(name)
        if name == "sample_moves":
            raise ValueError("sample_moves is not known yet")
        return DEFAULT_CONFIG[name]

    return property(read)


for _field in CONFIG_FIELDS:
    setattr(PropertyConfig, _field, field_property(_field))


def test_raising_property_stops_the_worker_with_the_error_unchanged(
    worker_stop: type[BaseException], capsys: pytest.CaptureFixture[str]
) -> None:
    config = PropertyConfig()
    message = stop_of("play_training_game", config, worker_stop, capsys)
    assert message == PREFIX + "ValueError: sample_moves is not known yet"
    assert config.reads == ["dim", "rep", "sims_per_move", "sample_moves"]


@pytest.mark.parametrize(
    "overrides",
    [
        {"c_init": 2, "c_base": -1.0},
        {"dirichlet_alpha": Fraction(1, 3), "exploration_fraction": FloatLike()},
        {"dim": IntLike(), "sims_per_move": IntLike(), "sample_moves": True, "c_init": IntLike()},
        {"sims_per_move": 2**64 - 1, "c_base": float("inf"), "exploration_fraction": float("nan")},
    ],
    ids=["int-c_init", "float-objects", "index-objects", "u64-max-non-finite"],
)
def test_values_accepted_when_read(overrides: dict[str, Any]) -> None:
    config = RecordingConfig(**overrides)
    host = make_host()
    assert call("play_test_against_random", config, host) == 0
    assert config.reads == list(CONFIG_FIELDS)
    assert host.inference_queue.items


def test_configuration_is_read_afresh_by_every_call() -> None:
    config = RecordingConfig(dim=7)
    for _ in range(3):
        assert call("play_test_against_random", config) == 0
    assert config.reads == list(CONFIG_FIELDS) * 3


@pytest.mark.parametrize("name", ["play_test_against_random", "play_test_game"])
@pytest.mark.parametrize("rep", [0, 3])
def test_unknown_representation_stops_at_the_first_evaluation(
    name: str, rep: int, worker_stop: type[BaseException], capsys: pytest.CaptureFixture[str]
) -> None:
    config = RecordingConfig(rep=rep)
    assert stop_of(name, config, worker_stop, capsys) == "Invalid representation type"
    assert config.reads == list(CONFIG_FIELDS)


@pytest.mark.parametrize("dim", [0, 3, 46341, 2**32 + 20])
def test_unplayable_board_side_stops_the_test_against_random(
    dim: int, worker_stop: type[BaseException], capsys: pytest.CaptureFixture[str]
) -> None:
    config = RecordingConfig(dim=dim)
    stop_of("play_test_against_random", config, worker_stop, capsys)
    assert config.reads == list(CONFIG_FIELDS)


def test_the_stop_class_is_a_direct_base_exception(worker_stop: type[BaseException]) -> None:
    assert worker_stop.__bases__ == (BaseException,)
    assert not issubclass(worker_stop, Exception)
    assert worker_stop.__name__ == "WorkerStop"
    assert worker_stop.__module__ == "tessarin_self_play"
    assert not hasattr(tessarin_self_play, "WorkerStop")
