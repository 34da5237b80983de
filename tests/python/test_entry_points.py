"""Module surface, argument binding and worker id conversion of the three entry functions."""

from __future__ import annotations

import inspect
import random
from typing import Any, Callable

import pytest
import tessarin_self_play

from fakes import ENTRY_PARAMETERS, RecordingConfig, entry_arguments, make_host

ENTRY_POINTS = ENTRY_PARAMETERS
NAMES = sorted(ENTRY_POINTS)

DOCSTRINGS = {
    "play_training_game": "Works with Pytorch model to generate self-play data",
    "play_test_game": None,
    "play_test_against_random": None,
}

OUT_OF_RANGE = "out of range integral type conversion attempted"


def entry(name: str) -> Callable[..., Any]:
    function: Callable[..., Any] = getattr(tessarin_self_play, name)
    return function


class Index:
    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


def test_module_holds_exactly_the_three_entry_functions() -> None:
    public = sorted(n for n in dir(tessarin_self_play) if not n.startswith("_"))
    assert public == NAMES
    for name in NAMES:
        assert type(entry(name)).__name__ == "builtin_function_or_method"
    assert tessarin_self_play.__doc__ == ""


@pytest.mark.parametrize("name", NAMES)
def test_signature_and_docstring(name: str) -> None:
    function = entry(name)
    parameters = inspect.signature(function).parameters
    assert list(parameters) == ENTRY_POINTS[name]
    assert all(
        p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.default is inspect.Parameter.empty
        for p in parameters.values()
    )
    assert getattr(function, "__text_signature__") == "(" + ", ".join(ENTRY_POINTS[name]) + ")"
    assert function.__doc__ == DOCSTRINGS[name]


@pytest.mark.parametrize(
    "name, positional, given, carried",
    [
        ("play_training_game", 0, 2**31 - 1, 2**31 - 1),
        ("play_test_game", 2, Index(-9), -9),
        ("play_test_against_random", 0, -(2**31), -(2**31)),
        ("play_test_against_random", 2, True, 1),
    ],
    ids=["training-max", "test-game-index", "random-min", "random-bool"],
)
def test_keywords_bind_in_any_order_and_the_id_reaches_every_request(
    name: str, positional: int, given: Any, carried: int, capsys: pytest.CaptureFixture[str]
) -> None:
    host = make_host(dim=7, sims_per_move=2)
    arguments = entry_arguments(name, host, given)
    names = ENTRY_POINTS[name]
    keywords = names[positional:]
    random.Random(positional).shuffle(keywords)
    outcome = entry(name)(
        *[arguments[n] for n in names[:positional]], **{n: arguments[n] for n in keywords}
    )

    assert outcome == 0 or (name == "play_test_game" and type(outcome) is float)
    requests = host.inference_queue.items + host.baseline_queue.items
    assert host.inference_queue.items
    assert all(type(r) is tuple and len(r) == 2 and type(r[0]) is int for r in requests)
    assert all(r[0] == carried for r in requests)
    if name == "play_test_game":
        assert host.baseline_queue.items and capsys.readouterr().out.startswith("Finished Game\n")
    else:
        [(result_id, _)] = host.result_queue.items
        assert type(result_id) is int and result_id == carried


def binding_call(
    case: str, names: list[str], values: dict[str, Any]
) -> tuple[list[Any], dict[str, Any]]:
    everything = [values[n] for n in names]
    return {
        "too many": (everything + [None], {}),
        "duplicate": (everything[:2], {n: values[n] for n in names[1:]}),
        "unexpected": ([], {**{n: values[n] for n in names}, "inference": 1}),
        "missing two": (everything[:-2], {}),
        "missing first": ([], {n: values[n] for n in names[1:]}),
    }[case]


@pytest.mark.parametrize(
    "case", ["too many", "duplicate", "unexpected", "missing two", "missing first"]
)
def test_binding_errors_use_the_interpreters_wording(
    case: str, capsys: pytest.CaptureFixture[str]
) -> None:
    for name in NAMES:
        host = make_host()
        host.config = RecordingConfig()
        args, kwargs = binding_call(case, ENTRY_POINTS[name], entry_arguments(name, host, 1))
        # A plain Python function with the same parameters gives the customary wording.
        namespace: dict[str, Any] = {}
        exec(f"def {name}({', '.join(ENTRY_POINTS[name])}):\n    pass\n", namespace)
        with pytest.raises(TypeError) as expected:
            namespace[name](*args, **kwargs)
        with pytest.raises(TypeError) as raised:
            entry(name)(*args, **kwargs)

        assert type(raised.value) is TypeError
        assert str(raised.value) == str(expected.value)
        assert str(raised.value).startswith(f"{name}() ")
        assert host.config.reads == [] and host.log == [] and host.pipe.calls == 0
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
        tessarin_self_play.play_test_against_random(1.5, None, None, None, None, extra=1)


class ChainedIndexError:
    """__index__ fails with a TypeError that has an explicit cause."""

    def __index__(self) -> int:
        raise TypeError("no index here") from KeyError("root")


class ValueIndexError:
    def __index__(self) -> int:
        raise ValueError("bad id source")


@pytest.mark.parametrize(
    "bad_id, error, message",
    [
        (1.0, TypeError, "argument 'id': 'float' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'id': 'NoneType' object cannot be interpreted as an integer"),
        (ChainedIndexError(), TypeError, "argument 'id': no index here"),
        (ValueIndexError(), ValueError, "bad id source"),
        (2**31, OverflowError, OUT_OF_RANGE),
        (-(2**31) - 1, OverflowError, OUT_OF_RANGE),
        (Index(2**31), OverflowError, OUT_OF_RANGE),
    ],
    ids=["float", "none", "chained-cause", "value-error", "2^31", "-2^31-1", "index-2^31"],
)
def test_invalid_id_is_refused_before_any_work(
    bad_id: Any, error: type[Exception], message: str, capsys: pytest.CaptureFixture[str]
) -> None:
    for name in NAMES:
        host = make_host()
        host.config = RecordingConfig()
        with pytest.raises(error) as raised:
            entry(name)(**entry_arguments(name, host, bad_id))

        assert type(raised.value) is error and str(raised.value) == message
        if isinstance(bad_id, ChainedIndexError):
            assert isinstance(raised.value.__cause__, KeyError)
            assert raised.value.__cause__.args == ("root",)
        assert host.config.reads == [] and host.log == [] and host.pipe.calls == 0
    assert capsys.readouterr() == ("", "")
