"""How inference replies are read: accepted forms, malformed ones and non-finite logits."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any, Callable

import pytest
import tessarin_self_play

from fakes import (
    PAYOFF_VALUES,
    Position,
    make_baseline_host,
    make_host,
    play_against_random,
    played_tiles,
    uniform_network,
)

ERROR_PREFIX = 'Error running MCTS: "Error evaluating root node: HostError { type: '


class IntIndexed:
    """Supports only item access by int (no len, no iteration)."""

    def __init__(self, policy: Any, values: Any) -> None:
        self.items = (policy, values)

    def __getitem__(self, index: int) -> Any:
        assert type(index) is int
        return self.items[index]


class Logits(Sequence[float]):
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, values: list[float]) -> None:
        self.values = values

    def __getitem__(self, index: Any) -> Any:
        return self.values[index]

    def __len__(self) -> int:
        return len(self.values)


class Numberish:
    def __init__(self, value: float) -> None:
        self.value = value

    def __float__(self) -> float:
        return self.value


def reshaped(form: str) -> Callable[[Position], Any]:
    """A network preferring the lowest legal tile, answering in the given form."""

    def network(position: Position) -> Any:
        size = position.dim * position.dim
        policy = [-float(tile) for tile in range(size)]
        values = [0.0, 0.0, 0.0, 0.0]
        if form == "list":
            return [policy, values]
        if form == "dict":
            return {0: policy, 1: values}
        if form == "int-indexed":
            return IntIndexed(policy, values)
        if form == "extra-items":
            return (policy, values, "ignored", None)
        if form == "tuples":
            return (tuple(policy), tuple(values))
        if form == "custom-sequences":
            return (Logits(policy), Logits(values))
        if form == "ints":
            return ([-tile for tile in range(size)], [1, 0, 0, 0])
        if form == "bools":
            return ([t == min(position.legal) for t in range(size)], [False] * 4)
        if form == "float-convertible":
            return ([Numberish(x) for x in policy], [Numberish(1.0)] * 4)
        if form == "long-policy":
            return (policy + [100.0] * 50, values)
        if form == "no-values":
            return (policy, [])
        if form == "many-values":
            return (policy, [0.0] * 9)
        raise AssertionError(form)

    return network


ACCEPTED_FORMS = [
    "list",
    "dict",
    "int-indexed",
    "extra-items",
    "tuples",
    "custom-sequences",
    "ints",
    "bools",
    "float-convertible",
    "long-policy",
    "no-values",
    "many-values",
]


@pytest.mark.parametrize("form", ACCEPTED_FORMS)
def test_accepted_reply_forms(form: str, capsys: pytest.CaptureFixture[str]) -> None:
    host = make_host(reshaped(form), dim=7)
    assert play_against_random(host) == 0
    assert capsys.readouterr().out == ""
    positions = host.positions()
    assert played_tiles(positions) == [min(p.legal) for p in positions[:-1]]
    [(_, payoff)] = host.result_queue.items
    assert payoff in PAYOFF_VALUES


def reply_of(kind: str, position: Position) -> Any:
    policy, values = uniform_network(position)
    return {
        "one-item": (policy,),
        "empty": (),
        "none": None,
        "int": 42,
        "policy-not-sequence": (5, values),
        "policy-generator": ((x for x in policy), values),
        "policy-set": (set(policy), values),
        "policy-string": ("0" * len(policy), values),
        "policy-short-string": ("abc", values),
        "policy-none-element": (policy[:-1] + [None], values),
        "policy-string-element": (["0.5"] + policy[1:], values),
        "policy-complex-element": ([1j] + policy[1:], values),
        "raising-getitem": RaisingItems(),
        "values-not-sequence": (policy, 0.0),
        "values-string": (policy, "0000"),
        "values-bad-element": (policy, [0.0, 0.0, object(), 0.0]),
        "dict-missing-1": {0: policy},
        "raising-element": (
            [Numberish(float("nan"))] * 3 + [Raises()] + policy[4:],
            values,
        ),
    }[kind]


class RaisingItems:
    def __getitem__(self, index: int) -> Any:
        raise LookupError(f"no item {index}")


class Raises:
    def __float__(self) -> float:
        raise ArithmeticError("no float today")


MALFORMED: dict[str, str] = {
    "one-item": "IndexError",
    "empty": "IndexError",
    "none": "TypeError",
    "int": "TypeError",
    "policy-not-sequence": "TypeError",
    "policy-generator": "TypeError",
    "policy-set": "TypeError",
    "policy-string": "TypeError",
    "policy-short-string": "TypeError",
    "policy-none-element": "TypeError",
    "policy-string-element": "TypeError",
    "policy-complex-element": "TypeError",
    "raising-getitem": "LookupError",
    "values-not-sequence": "TypeError",
    "values-string": "TypeError",
    "values-bad-element": "TypeError",
    "dict-missing-1": "KeyError",
    "raising-element": "ArithmeticError",
}


def check_error_line(out: str, error_type: str) -> None:
    assert out.count("\n") == 1 and out.endswith('}"\n'), out
    assert out.startswith(
        f"{ERROR_PREFIX}<class '{error_type}'>, value: {error_type}("
    ), out
    assert ", traceback: " in out


@pytest.mark.parametrize("kind", sorted(MALFORMED))
def test_malformed_reply_abandons_the_game_against_random(
    kind: str, capsys: pytest.CaptureFixture[str]
) -> None:
    host = make_host(lambda position: reply_of(kind, position), dim=20)
    assert play_against_random(host) == 1
    assert host.result_queue.items == []
    assert host.inference_queue.calls == 1 and host.pipe.calls == 1
    out, err = capsys.readouterr()
    check_error_line(out, MALFORMED[kind])
    assert err == ""


@pytest.mark.parametrize(
    "kind", ["one-item", "policy-string", "values-bad-element", "none"]
)
def test_malformed_reply_makes_the_test_game_raise(
    kind: str, capsys: pytest.CaptureFixture[str]
) -> None:
    host = make_baseline_host(lambda position: reply_of(kind, position))
    with pytest.raises(Exception) as raised:
        tessarin_self_play.play_test_game(
            1, host.config, None, host.model_queue, host.baseline_queue, host.pipe
        )
    assert type(raised.value) is Exception
    assert raised.value.args == ('"Error running MCTS"',)
    assert len(raised.value.args[0]) == 20
    out, _ = capsys.readouterr()
    check_error_line(out, MALFORMED[kind])
    assert host.model_queue.calls == 1 and host.baseline_queue.calls == 0


def test_malformed_reply_late_in_the_game(capsys: pytest.CaptureFixture[str]) -> None:
    answers = 0

    def network(position: Position) -> Any:
        nonlocal answers
        answers += 1
        return (
            uniform_network(position)
            if answers < 6
            else reply_of("policy-string", position)
        )

    host = make_host(network, dim=20)
    assert play_against_random(host) == 1
    assert host.pipe.calls == 6 and host.inference_queue.calls == 6
    assert host.result_queue.items == []
    check_error_line(capsys.readouterr().out, "TypeError")


@pytest.mark.parametrize("rep", [1, 2])
@pytest.mark.parametrize("shortfall", [1, 5, 80, 81])
def test_policy_not_covering_the_largest_legal_tile_stops_the_worker(
    rep: int,
    shortfall: int,
    worker_stop: type[BaseException],
    capsys: pytest.CaptureFixture[str],
) -> None:
    # The opening of side 20 reaches tile 80: a policy of 81 entries is the shortest allowed.
    host = make_host(lambda p: ([0.0] * (81 - shortfall), [0.0] * 4), rep=rep, dim=20)
    with pytest.raises(worker_stop) as stopped:
        play_against_random(host)
    assert len(stopped.value.args) == 1
    assert host.result_queue.items == []
    out, err = capsys.readouterr()
    assert out == ""
    assert stopped.value.args[0] in err


def test_policy_one_longer_than_the_largest_legal_tile_is_enough() -> None:
    host = make_host(lambda p: ([0.0] * (max(p.legal) + 1), [0.0] * 4), dim=20)
    assert play_against_random(host) == 0
    assert len(host.result_queue.items) == 1


def test_too_few_values_for_the_player_to_move_stops_the_test_game(
    worker_stop: type[BaseException], capsys: pytest.CaptureFixture[str]
) -> None:
    # Seat 0 is player 0 and needs no value; player 1 needs at least one.
    host = make_baseline_host(lambda p: (uniform_network(p)[0], []))
    with pytest.raises(worker_stop):
        tessarin_self_play.play_test_game(
            1, host.config, None, host.model_queue, host.baseline_queue, host.pipe
        )
    assert host.model_queue.calls >= 1
    assert host.baseline_queue.calls == 1
    assert capsys.readouterr().out == ""


NAN = float("nan")
INF = float("inf")


def non_finite(kind: str) -> Callable[[Position], Any]:
    def network(position: Position) -> Any:
        size = position.dim * position.dim
        policy = [0.0] * size
        values = [0.0] * 4
        if kind == "policy-all-nan":
            policy = [NAN] * size
        elif kind == "policy-all-inf":
            policy = [INF] * size
        elif kind == "policy-all-minus-inf":
            policy = [-INF] * size
        elif kind == "policy-one-inf":
            policy[min(position.legal)] = INF
        elif kind == "policy-one-nan":
            policy[min(position.legal)] = NAN
        elif kind == "policy-huge":
            policy = [1e300] * size
        elif kind == "values-nan":
            values = [NAN, 0.0, INF, -INF]
        elif kind == "values-inf":
            values = [INF] * 4
        return policy, values

    return network


@pytest.mark.parametrize(
    "kind",
    [
        "policy-all-nan",
        "policy-all-inf",
        "policy-all-minus-inf",
        "policy-one-inf",
        "policy-one-nan",
        "policy-huge",
        "values-nan",
        "values-inf",
    ],
)
def test_non_finite_logits_still_finish_the_game_with_legal_tiles(
    kind: str, capsys: pytest.CaptureFixture[str]
) -> None:
    host = make_host(non_finite(kind), dim=20)
    assert play_against_random(host) == 0
    assert capsys.readouterr().out == ""
    positions = host.positions()
    tiles = played_tiles(positions)
    assert all(tile in position.legal for position, tile in zip(positions, tiles))
    [(_, payoff)] = host.result_queue.items
    assert payoff in PAYOFF_VALUES and not math.isnan(payoff)


@pytest.mark.parametrize(
    "kind", ["policy-all-nan", "policy-all-minus-inf", "values-inf"]
)
def test_non_finite_logits_in_the_test_game(
    kind: str, capsys: pytest.CaptureFixture[str]
) -> None:
    host = make_baseline_host(non_finite(kind))
    payoff = tessarin_self_play.play_test_game(
        1, host.config, None, host.model_queue, host.baseline_queue, host.pipe
    )
    assert payoff in PAYOFF_VALUES
    assert capsys.readouterr().out.startswith("Finished Game\n")
