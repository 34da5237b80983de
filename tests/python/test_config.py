"""Reading the run configuration, and the worker stop that a bad one causes."""

from __future__ import annotations

from fractions import Fraction
from typing import Any

import pytest
import tessarin_self_play

from fakes import (
    CONFIG_FIELDS,
    DEFAULT_CONFIG,
    Host,
    make_host,
    recording_config,
)

PREFIX = "Failed to read the run configuration: "


def call(name: str, config: Any, host: Host | None = None) -> Any:
    """Calls one entry function with `config`; requests go to `host`, answered uniformly."""
    host = host if host is not None else make_host()
    queue = host.inference_queue
    if name == "play_test_game":
        return tessarin_self_play.play_test_game(
            1, config, None, queue, queue, host.pipe
        )
    function = getattr(tessarin_self_play, name)
    return function(1, config, host.result_queue, queue, host.pipe)


ENTRY_NAMES = ["play_training_game", "play_test_against_random", "play_test_game"]


class FloatLike:
    def __float__(self) -> float:
        return 0.5


class IntLike:
    def __index__(self) -> int:
        return 7


@pytest.mark.parametrize("name", ENTRY_NAMES)
@pytest.mark.parametrize(
    "field, value, cause",
    [
        ("dim", 20.0, "TypeError"),
        ("dim", -1, "OverflowError"),
        ("rep", "1", "TypeError"),
        ("rep", 2**64, "OverflowError"),
        ("sims_per_move", -800, "OverflowError"),
        ("sample_moves", None, "TypeError"),
        ("c_base", "19652", "TypeError"),
        ("c_init", [1.25], "TypeError"),
        ("dirichlet_alpha", object(), "TypeError"),
        ("exploration_fraction", None, "TypeError"),
        ("c_init", 10**400, "OverflowError"),
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
    config = recording_config(**{field: value})
    with pytest.raises(worker_stop) as stopped:
        call(name, config)
    message = stopped.value.args[0]
    assert stopped.value.args == (message,)
    assert message.startswith(
        f"{PREFIX}TypeError: failed to extract field Config.{field}"
    )
    assert cause in message[len(PREFIX) + len("TypeError: failed to extract field ") :]
    assert config.reads == list(CONFIG_FIELDS[: CONFIG_FIELDS.index(field) + 1])
    out, err = capsys.readouterr()
    assert out == ""
    assert message in err


def test_float_dim_message(worker_stop: type[BaseException]) -> None:
    with pytest.raises(worker_stop) as stopped:
        call("play_test_against_random", recording_config(dim=20.0))
    assert stopped.value.args[0] == (
        PREFIX + "TypeError: failed to extract field Config.dim (caused by TypeError: "
        "'float' object cannot be interpreted as an integer)"
    )


@pytest.mark.parametrize("name", ENTRY_NAMES)
@pytest.mark.parametrize("field", CONFIG_FIELDS)
def test_missing_field_stops_the_worker_after_reading_the_earlier_ones(
    name: str,
    field: str,
    worker_stop: type[BaseException],
    capsys: pytest.CaptureFixture[str],
) -> None:
    config = recording_config(missing=[field])
    host = make_host()
    with pytest.raises(worker_stop) as stopped:
        call(name, config, host)
    assert host.inference_queue.calls == 0
    assert config.reads == list(CONFIG_FIELDS[: CONFIG_FIELDS.index(field) + 1])
    message = stopped.value.args[0]
    assert message.startswith(PREFIX + "AttributeError: ")
    assert field in message
    assert not isinstance(stopped.value, AttributeError)
    assert message in capsys.readouterr().err


class PropertyConfig:
    """Every field is a property; `sample_moves` raises."""

    def __init__(self) -> None:
        self.reads: list[str] = []

    def _read(self, name: str) -> Any:
        self.reads.append(name)
        return DEFAULT_CONFIG[name]

    dim = property(lambda self: self._read("dim"))
    rep = property(lambda self: self._read("rep"))
    sims_per_move = property(lambda self: self._read("sims_per_move"))

    @property
    def sample_moves(self) -> int:
        self.reads.append("sample_moves")
        raise ValueError("sample_moves is not known yet")

    c_base = property(lambda self: self._read("c_base"))
    c_init = property(lambda self: self._read("c_init"))
    dirichlet_alpha = property(lambda self: self._read("dirichlet_alpha"))
    exploration_fraction = property(lambda self: self._read("exploration_fraction"))


@pytest.mark.parametrize("name", ENTRY_NAMES)
def test_property_raising_stops_the_worker_with_the_error_unchanged(
    name: str, worker_stop: type[BaseException], capsys: pytest.CaptureFixture[str]
) -> None:
    config = PropertyConfig()
    with pytest.raises(worker_stop) as stopped:
        call(name, config)
    assert stopped.value.args == (PREFIX + "ValueError: sample_moves is not known yet",)
    assert config.reads == ["dim", "rep", "sims_per_move", "sample_moves"]
    assert stopped.value.args[0] + "\n" in capsys.readouterr().err


def test_properties_are_read_once_each_in_order() -> None:
    class Complete(PropertyConfig):
        sample_moves = property(lambda self: self._read("sample_moves"))

    config = Complete()
    status = call("play_test_against_random", config)
    assert status == 0
    assert config.reads == list(CONFIG_FIELDS)


@pytest.mark.parametrize(
    "overrides",
    [
        {"c_init": 2},
        {"c_base": -1.0, "c_init": -3},
        {"dirichlet_alpha": Fraction(1, 3), "exploration_fraction": FloatLike()},
        {"sims_per_move": 2**64 - 1, "sample_moves": 0},
        {"sims_per_move": IntLike(), "sample_moves": True},
        {"exploration_fraction": float("nan"), "c_base": float("inf")},
        {"dim": IntLike()},
    ],
    ids=[
        "int-c_init",
        "negative",
        "float-objects",
        "u64-max",
        "index-objects",
        "non-finite",
        "index-dim",
    ],
)
def test_values_accepted_when_read(overrides: dict[str, Any]) -> None:
    config = recording_config(**overrides)
    host = make_host()
    status = call("play_test_against_random", config, host)
    assert status == 0
    assert config.reads == list(CONFIG_FIELDS)
    assert host.inference_queue.items


def test_configuration_is_read_afresh_by_every_call() -> None:
    config = recording_config(dim=7)
    for _ in range(3):
        status = call("play_test_against_random", config)
        assert status == 0
    assert config.reads == list(CONFIG_FIELDS) * 3


@pytest.mark.parametrize("name", ["play_test_against_random", "play_test_game"])
@pytest.mark.parametrize("rep", [0, 3, 2**64 - 1])
def test_unknown_representation_stops_at_the_first_evaluation(
    name: str,
    rep: int,
    worker_stop: type[BaseException],
    capsys: pytest.CaptureFixture[str],
) -> None:
    config = recording_config(rep=rep)
    host = make_host()
    with pytest.raises(worker_stop) as stopped:
        call(name, config, host)
    assert host.inference_queue.calls == 0
    assert stopped.value.args == ("Invalid representation type",)
    assert config.reads == list(CONFIG_FIELDS)
    out, err = capsys.readouterr()
    assert out == ""
    assert "Invalid representation type\n" in err


@pytest.mark.parametrize("dim", [0, 1, 3, 46341, 2**32, 2**32 + 1])
def test_unplayable_board_side_stops_the_test_against_random(
    dim: int, worker_stop: type[BaseException], capsys: pytest.CaptureFixture[str]
) -> None:
    config = recording_config(dim=dim)
    host = make_host()
    with pytest.raises(worker_stop) as stopped:
        call("play_test_against_random", config, host)
    assert host.inference_queue.calls == 0
    assert len(stopped.value.args) == 1 and isinstance(stopped.value.args[0], str)
    assert config.reads == list(CONFIG_FIELDS)
    assert stopped.value.args[0] in capsys.readouterr().err


def test_the_stop_class_is_a_direct_base_exception(
    worker_stop: type[BaseException],
) -> None:
    assert worker_stop.__bases__ == (BaseException,)
    assert not issubclass(worker_stop, Exception)
    assert worker_stop.__name__ == "WorkerStop"
    assert worker_stop.__module__ == "tessarin_self_play"
    assert not hasattr(tessarin_self_play, "WorkerStop")


def test_every_stop_is_an_instance_of_the_same_class(
    worker_stop: type[BaseException],
) -> None:
    kinds: set[type[BaseException]] = set()
    for config in (
        recording_config(rep=9),
        recording_config(dim=2),
        recording_config(missing=["rep"]),
    ):
        with pytest.raises(BaseException) as stopped:
            call("play_test_against_random", config)
        kinds.add(type(stopped.value))
    assert kinds == {worker_stop}


def test_stop_message_goes_to_standard_error_once(
    worker_stop: type[BaseException], capsys: pytest.CaptureFixture[str]
) -> None:
    with pytest.raises(worker_stop):
        call("play_test_against_random", recording_config(rep=3))
    out, err = capsys.readouterr()
    assert out == ""
    assert err == "Invalid representation type\n"
