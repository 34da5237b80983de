"""How inference replies are read: accepted forms, malformed ones and non-finite logits."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any, Callable

import pytest

from fakes import (
    PAYOFF_VALUES,
    Position,
    make_host,
    play,
    play_baseline,
    play_against_random,
    played_tiles,
    uniform_network,
)

ERROR_PREFIX = 'Error running MCTS: "Error evaluating root node: HostError { type: '
NAN = float("nan")
INF = float("inf")


class IntIndexed:
    """Supports only item access by int (no len, no iteration)."""

    def __init__(self, *items: Any) -> None:
        self.items = items

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


class Indexish:
    """Converts to float only through __index__."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class Raises:
    def __float__(self) -> float:
        raise ArithmeticError("no float today")


Shape = Callable[[list[float], list[float]], Any]

# Each form answers with the given policy, which prefers the lowest tile, and four values.
ACCEPTED_FORMS: dict[str, Shape] = {
    "int-indexed": lambda policy, values: IntIndexed(policy, values, "ignored"),
    "custom-sequences": lambda policy, values: [Logits(policy), Logits(values)],
    "ints": lambda policy, values: ([int(x) for x in policy], (1, 0, 0, 0)),
    "float-convertible": lambda policy, values: (
        [Numberish(x) for x in policy],
        [Numberish(1.0)] * 4,
    ),
    "index-convertible": lambda policy, values: ([Indexish(int(x)) for x in policy], values),
    "list-policy-custom-values": lambda policy, values: (policy, Logits(values)),
    "long-policy": lambda policy, values: (policy + [100.0] * 50, values),
}


@pytest.mark.parametrize("form", ACCEPTED_FORMS)
def test_accepted_reply_forms(form: str, capsys: pytest.CaptureFixture[str]) -> None:
    def network(position: Position) -> Any:
        policy = [-float(tile) for tile in range(position.dim * position.dim)]
        return ACCEPTED_FORMS[form](policy, [0.0] * 4)

    host = make_host(network, dim=7)
    assert play_against_random(host) == 0
    assert capsys.readouterr().out == ""
    positions = host.positions()
    assert played_tiles(positions) == [min(p.legal) for p in positions[:-1]]
    [(_, payoff)] = host.result_queue.items
    assert payoff in PAYOFF_VALUES


MALFORMED: dict[str, tuple[Shape, str]] = {
    "one-item": (lambda policy, values: (policy,), "IndexError"),
    "dict-missing-1": (lambda policy, values: {0: policy}, "KeyError"),
    "none": (lambda policy, values: None, "TypeError"),
    "policy-not-sequence": (lambda policy, values: (5, values), "TypeError"),
    "policy-generator": (lambda policy, values: ((x for x in policy), values), "TypeError"),
    "policy-string": (lambda policy, values: ("0" * len(policy), values), "TypeError"),
    "policy-string-element": (lambda policy, values: (["0.5"] + policy[1:], values), "TypeError"),
    "values-bad-element": (lambda policy, values: (policy, [0.0, 0.0, object(), 0.0]), "TypeError"),
    # The policy is read and converted before the values are looked up.
    "policy-bad-values-missing": (lambda policy, values: IntIndexed([object()]), "TypeError"),
    "values-none": (lambda policy, values: (policy, []), "ValueError"),
    "values-one": (lambda policy, values: (policy, [1.0]), "ValueError"),
    "values-five": (lambda policy, values: (policy, values + [0.0]), "ValueError"),
    "raising-element": (
        lambda policy, values: ([Numberish(NAN)] * 3 + [Raises()] + policy[4:], values),
        "ArithmeticError",
    ),
}


@pytest.mark.parametrize("kind", MALFORMED)
def test_malformed_reply_abandons_the_game_against_random(
    kind: str, capsys: pytest.CaptureFixture[str]
) -> None:
    shape, error_type = MALFORMED[kind]
    host = make_host(lambda position: shape(*uniform_network(position)), dim=20)
    assert play_against_random(host) == 1
    assert host.result_queue.items == []
    assert host.inference_queue.calls == 1 and host.pipe.calls == 1
    out, err = capsys.readouterr()
    assert out.count("\n") == 1 and out.endswith('}"\n'), out
    assert out.startswith(f"{ERROR_PREFIX}<class '{error_type}'>, value: {error_type}("), out
    assert ", traceback: " in out
    assert err == ""


@pytest.mark.parametrize("rep, shortfall", [(1, 1), (2, 1), (1, 81)])
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
    [message] = stopped.value.args
    assert host.result_queue.items == []
    assert capsys.readouterr() == ("", message + "\n")


def test_policy_one_longer_than_the_largest_legal_tile_is_enough() -> None:
    host = make_host(lambda p: ([0.0] * (max(p.legal) + 1), [0.0] * 4), dim=20)
    assert play_against_random(host) == 0
    assert len(host.result_queue.items) == 1


@pytest.mark.parametrize("count", [0, 1, 3, 5, 16])
def test_value_logits_other_than_four_are_a_malformed_reply(
    count: int, capsys: pytest.CaptureFixture[str]
) -> None:
    """Values are per player: any other count would rotate onto the wrong players."""
    message = f"the reply has {count} value logits; it needs 4, one per player"

    # The test game against the baseline: one request, printed, then raised.
    host = make_host(lambda p: (uniform_network(p)[0], [0.5] * count))
    with pytest.raises(Exception) as raised:
        play("play_test_game", host)
    assert raised.value.args == ('"Error running MCTS"',)
    assert host.inference_queue.calls == host.pipe.calls == 1
    out = capsys.readouterr().out
    assert out.startswith(f"{ERROR_PREFIX}<class 'ValueError'>, value: ValueError('{message}')")
    assert out.count("\n") == 1

    # The training game: abandoned with status 1 at the first reply, nothing printed or put.
    host = make_host(lambda p: (uniform_network(p)[0], [0.5] * count), dim=7, sims_per_move=4)
    assert play("play_training_game", host) == 1
    assert host.inference_queue.calls == host.pipe.calls == 1
    assert host.result_queue.calls == 0
    assert capsys.readouterr() == ("", "")


def non_finite(kind: str) -> Callable[[Position], Any]:
    def network(position: Position) -> Any:
        policy, values = uniform_network(position)
        if kind == "policy-all-nan":
            policy = [NAN] * len(policy)
        elif kind == "policy-one-inf":
            policy[min(position.legal)] = INF
        elif kind == "policy-all-minus-inf":
            policy = [-INF] * len(policy)
        elif kind == "values-nan-inf":
            values = [NAN, 0.0, INF, -INF]
        return policy, values

    return network


@pytest.mark.parametrize(
    "kind", ["policy-all-nan", "policy-one-inf", "policy-all-minus-inf", "values-nan-inf"]
)
def test_non_finite_logits_still_finish_the_game_with_legal_tiles(
    kind: str, capsys: pytest.CaptureFixture[str]
) -> None:
    host = make_host(non_finite(kind), dim=20)
    assert play_against_random(host) == 0
    positions = host.positions()
    tiles = played_tiles(positions)
    assert all(tile in position.legal for position, tile in zip(positions, tiles))
    [(_, payoff)] = host.result_queue.items
    assert payoff in PAYOFF_VALUES and not math.isnan(payoff)

    # The test game, whose baseline seats need the values, finishes too.
    host = make_host(non_finite(kind))
    assert play_baseline(host) in PAYOFF_VALUES
    assert capsys.readouterr().out.startswith("Finished Game\n")
