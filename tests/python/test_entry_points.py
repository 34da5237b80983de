"""Module surface, argument binding and worker id conversion of the three entry functions."""

from __future__ import annotations

import inspect
import random
from typing import Any, Callable

import pytest
import tessarin_self_play

from fakes import Host, RecordingQueue, make_host, recording_config, uniform_network

TRAINING_PARAMETERS = ["id", "config", "result_queue", "inference_queue", "pipe"]
BASELINE_PARAMETERS = [
    "id",
    "config",
    "result_queue",
    "model_queue",
    "baseline_queue",
    "pipe",
]

ENTRY_POINTS: dict[str, list[str]] = {
    "play_training_game": TRAINING_PARAMETERS,
    "play_test_game": BASELINE_PARAMETERS,
    "play_test_against_random": TRAINING_PARAMETERS,
}

DOCSTRINGS = {
    "play_training_game": "Works with Pytorch model to generate self-play data",
    "play_test_game": None,
    "play_test_against_random": None,
}


def entry(name: str) -> Callable[..., Any]:
    function: Callable[..., Any] = getattr(tessarin_self_play, name)
    return function


def python_twin(name: str) -> Callable[..., Any]:
    """A plain Python function with the same name and parameters, whose binding errors are the
    interpreter's customary wording."""
    parameters = ", ".join(ENTRY_POINTS[name])
    namespace: dict[str, Any] = {}
    exec(f"def {name}({parameters}):\n    pass\n", namespace)
    twin: Callable[..., Any] = namespace[name]
    return twin


def test_module_holds_exactly_the_three_entry_functions() -> None:
    public = sorted(n for n in dir(tessarin_self_play) if not n.startswith("_"))
    assert public == sorted(ENTRY_POINTS)
    for name in ENTRY_POINTS:
        assert type(entry(name)).__name__ == "builtin_function_or_method"
    assert tessarin_self_play.__doc__ in ("", None)


@pytest.mark.parametrize("name", sorted(ENTRY_POINTS))
def test_signature_and_docstring(name: str) -> None:
    function = entry(name)
    signature = inspect.signature(function)
    assert list(signature.parameters) == ENTRY_POINTS[name]
    assert all(
        p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        and p.default is inspect.Parameter.empty
        for p in signature.parameters.values()
    )
    assert (
        getattr(function, "__text_signature__")
        == "(" + ", ".join(ENTRY_POINTS[name]) + ")"
    )
    assert function.__doc__ == DOCSTRINGS[name]


def baseline_arguments(host: Host) -> dict[str, Any]:
    return {
        "id": 7,
        "config": host.config,
        "result_queue": None,
        "model_queue": host.inference_queue,
        "baseline_queue": host.inference_queue,
        "pipe": host.pipe,
    }


def training_arguments(host: Host) -> dict[str, Any]:
    return {
        "id": 7,
        "config": host.config,
        "result_queue": host.result_queue,
        "inference_queue": host.inference_queue,
        "pipe": host.pipe,
    }


def arguments_for(name: str, host: Host) -> dict[str, Any]:
    if name == "play_test_game":
        return baseline_arguments(host)
    return training_arguments(host)


def split_call(
    name: str, arguments: dict[str, Any], positional: int, seed: int
) -> tuple[list[Any], dict[str, Any]]:
    """The first `positional` parameters by position, the rest by keyword in shuffled order."""
    names = ENTRY_POINTS[name]
    keywords = names[positional:]
    random.Random(seed).shuffle(keywords)
    return [arguments[n] for n in names[:positional]], {
        n: arguments[n] for n in keywords
    }


@pytest.mark.parametrize("positional", [0, 2, 4])
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_test_against_random_binds_keywords_in_any_order(
    positional: int, seed: int
) -> None:
    host = make_host(dim=7)
    args, kwargs = split_call(
        "play_test_against_random", training_arguments(host), positional, seed
    )
    status = tessarin_self_play.play_test_against_random(*args, **kwargs)
    assert status == 0
    assert [item[0] for item in host.result_queue.items] == [7]
    assert host.inference_queue.items
    assert all(r[0] == 7 for r in host.inference_queue.items)


@pytest.mark.parametrize("seed", [1, 2])
def test_test_game_binds_keywords_in_any_order(
    seed: int, capsys: pytest.CaptureFixture[str]
) -> None:
    host = make_host()
    args, kwargs = split_call("play_test_game", baseline_arguments(host), 0, seed)
    payoff = tessarin_self_play.play_test_game(*args, **kwargs)
    assert type(payoff) is float
    assert capsys.readouterr().out.startswith("Finished Game\n")
    assert all(r[0] == 7 for r in host.inference_queue.items)


@pytest.mark.parametrize("seed", [1, 2])
def test_training_game_binds_keywords_in_any_order(
    seed: int, worker_stop: type[BaseException]
) -> None:
    # A configuration without its last field shows that binding succeeded: all eight
    # attributes are read before the call stops.
    host = make_host()
    config = recording_config(missing=["exploration_fraction"])
    arguments = dict(training_arguments(host), config=config)
    args, kwargs = split_call("play_training_game", arguments, 0, seed)
    with pytest.raises(worker_stop):
        tessarin_self_play.play_training_game(*args, **kwargs)
    assert len(config.reads) == 8


BINDING_CASES = [
    "one too many",
    "two too many",
    "duplicate first",
    "duplicate second",
    "unexpected",
    "unexpected among valid",
    "misspelt",
    "missing last",
    "missing two",
    "missing three",
    "missing all",
    "missing first",
]


def binding_call(
    case: str, names: list[str], values: dict[str, Any]
) -> tuple[list[Any], dict[str, Any]]:
    everything = [values[n] for n in names]
    if case == "one too many":
        return everything + [None], {}
    if case == "two too many":
        return everything + [None, None], {}
    if case == "duplicate first":
        return everything, {"id": 3}
    if case == "duplicate second":
        return everything[:2], {n: values[n] for n in names[1:]}
    if case == "unexpected":
        return everything, {"extra": 1}
    if case == "unexpected among valid":
        return [], {**{n: values[n] for n in names}, "inference": 1}
    if case == "misspelt":
        return everything[:-1], {"pipes": values["pipe"]}
    if case == "missing last":
        return everything[:-1], {}
    if case == "missing two":
        return everything[:-2], {}
    if case == "missing three":
        return everything[:1], {names[2]: values[names[2]]}
    if case == "missing all":
        return [], {}
    if case == "missing first":
        return [], {n: values[n] for n in names[1:]}
    raise AssertionError(case)


@pytest.mark.parametrize("name", sorted(ENTRY_POINTS))
@pytest.mark.parametrize("case", BINDING_CASES)
def test_binding_errors_use_the_interpreters_wording(
    name: str, case: str, capsys: pytest.CaptureFixture[str]
) -> None:
    config = recording_config()
    queue = RecordingQueue()
    pipe = make_host().pipe
    values: dict[str, Any] = {
        "id": 1,
        "config": config,
        "result_queue": queue,
        "inference_queue": queue,
        "model_queue": queue,
        "baseline_queue": queue,
        "pipe": pipe,
    }
    args, kwargs = binding_call(case, ENTRY_POINTS[name], values)

    with pytest.raises(TypeError) as expected:
        python_twin(name)(*args, **kwargs)
    with pytest.raises(TypeError) as raised:
        entry(name)(*args, **kwargs)

    assert type(raised.value) is TypeError
    assert str(raised.value) == str(expected.value)
    assert str(raised.value).startswith(f"{name}() ")
    assert config.reads == []
    assert queue.calls == 0 and pipe.calls == 0
    assert capsys.readouterr() == ("", "")


def test_missing_arguments_are_listed_by_name() -> None:
    with pytest.raises(TypeError) as raised:
        tessarin_self_play.play_test_game(1, None, None)
    assert str(raised.value) == (
        "play_test_game() missing 3 required positional arguments: "
        "'model_queue', 'baseline_queue', and 'pipe'"
    )


def test_binding_errors_come_before_id_conversion() -> None:
    with pytest.raises(TypeError, match="unexpected keyword argument 'extra'"):
        tessarin_self_play.play_test_against_random(
            1.5, None, None, None, None, extra=1
        )


class Index:
    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class ChainedIndexError:
    """__index__ fails with a TypeError that has an explicit cause."""

    def __index__(self) -> int:
        raise TypeError("no index here") from KeyError("root")


class ValueIndexError:
    def __index__(self) -> int:
        raise ValueError("bad id source")


@pytest.mark.parametrize("name", sorted(ENTRY_POINTS))
@pytest.mark.parametrize(
    "bad_id, error, message",
    [
        (
            1.0,
            TypeError,
            "argument 'id': 'float' object cannot be interpreted as an integer",
        ),
        (
            "3",
            TypeError,
            "argument 'id': 'str' object cannot be interpreted as an integer",
        ),
        (
            None,
            TypeError,
            "argument 'id': 'NoneType' object cannot be interpreted as an integer",
        ),
        (2**31, OverflowError, "out of range integral type conversion attempted"),
        (
            -(2**31) - 1,
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (2**64, OverflowError, "out of range integral type conversion attempted"),
        (-(2**100), OverflowError, "out of range integral type conversion attempted"),
        (
            Index(2**31),
            OverflowError,
            "out of range integral type conversion attempted",
        ),
    ],
    ids=["float", "str", "none", "2^31", "-2^31-1", "2^64", "-2^100", "index-2^31"],
)
def test_invalid_id_is_refused_before_any_work(
    name: str,
    bad_id: Any,
    error: type[Exception],
    message: str,
    capsys: pytest.CaptureFixture[str],
) -> None:
    host = make_host()
    config = recording_config()
    arguments = dict(arguments_for(name, host), config=config, id=bad_id)

    with pytest.raises(error) as raised:
        entry(name)(**arguments)

    assert type(raised.value) is error
    assert str(raised.value) == message
    assert config.reads == []
    assert host.inference_queue.calls == 0 and host.pipe.calls == 0
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize("name", sorted(ENTRY_POINTS))
def test_id_type_error_keeps_the_underlying_cause(name: str) -> None:
    host = make_host()
    arguments = arguments_for(name, host)
    arguments["id"] = ChainedIndexError()
    with pytest.raises(TypeError, match=r"^argument 'id': no index here$") as raised:
        entry(name)(**arguments)
    assert isinstance(raised.value.__cause__, KeyError)
    assert raised.value.__cause__.args == ("root",)


@pytest.mark.parametrize("name", sorted(ENTRY_POINTS))
def test_id_conversion_errors_other_than_type_errors_pass_unchanged(name: str) -> None:
    host = make_host()
    arguments = arguments_for(name, host)
    arguments["id"] = ValueIndexError()
    with pytest.raises(ValueError) as raised:
        entry(name)(**arguments)
    assert type(raised.value) is ValueError
    assert str(raised.value) == "bad id source"
    assert host.inference_queue.calls == 0


@pytest.mark.parametrize(
    "given, carried",
    [
        (2**31 - 1, 2**31 - 1),
        (-(2**31), -(2**31)),
        (0, 0),
        (-5, -5),
        (Index(42), 42),
        (Index(-(2**31)), -(2**31)),
        (True, 1),
    ],
    ids=["max", "min", "zero", "negative", "index", "index-min", "bool"],
)
def test_accepted_ids_are_carried_by_every_request_and_the_result(
    given: Any, carried: int
) -> None:
    host = make_host(dim=7)
    status = tessarin_self_play.play_test_against_random(
        given, host.config, host.result_queue, host.inference_queue, host.pipe
    )
    assert status == 0
    assert host.inference_queue.items
    for request in host.inference_queue.items:
        assert type(request) is tuple and len(request) == 2
        assert type(request[0]) is int and request[0] == carried
    [(result_id, payoff)] = host.result_queue.items
    assert type(result_id) is int and result_id == carried


@pytest.mark.parametrize("given, carried", [(2**31 - 1, 2**31 - 1), (Index(-9), -9)])
def test_test_game_requests_carry_the_id(
    given: Any, carried: int, capsys: pytest.CaptureFixture[str]
) -> None:
    host = make_host(uniform_network)
    model = host.inference_queue
    baseline = RecordingQueue("baseline", host.inference_queue.log)
    tessarin_self_play.play_test_game(
        given, host.config, None, model, baseline, host.pipe
    )
    capsys.readouterr()
    requests = model.items + baseline.items
    assert model.items and baseline.items
    assert all(type(r[0]) is int and r[0] == carried for r in requests)
