"""Property tests: whatever replies and configuration objects a host hands the module, every call
ends in one of the documented outcomes, and every reference the module took is given back.

The documented outcomes: status 0 with a valid result put; status 1 (a failed evaluation) with
nothing put and, in a test game, one "Error running MCTS: " line printed; the payoff of a test
game, or Exception('"Error running MCTS"') after that line; the worker stop with its message on
standard error; KeyboardInterrupt from a host object, raised unchanged.

The examples are derandomized, so that every run tries the same ones; set
TESSARIN_HYPOTHESIS_RANDOM=1 to explore new ones.
"""

from __future__ import annotations

import contextlib
import gc
import io
import math
import os
import sys
from dataclasses import dataclass
from typing import Any, Callable, Iterator, Optional

import pytest
import tessarin_self_play
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from fakes import PAYOFF_VALUES
from host_strategies import (
    HostileError,
    MISSING,
    Number,
    RaisingProperty,
    config_objects,
    interrupting,
    owned_objects,
    replies,
)

BOUNDED = settings(
    max_examples=120,
    derandomize=not os.environ.get("TESSARIN_HYPOTHESIS_RANDOM"),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

DIM = 5
TEST_GAME_DIM = 20  # play_test_game always plays on 20 x 20
WORKER_ID = 6
ENTRIES = ["play_training_game", "play_test_against_random", "play_test_game"]
CELLS = {entry: DIM * DIM for entry in ENTRIES} | {"play_test_game": TEST_GAME_DIM**2}
MCTS_ERROR = "Error running MCTS: "

# Interpreters without sys.getrefcount (PyPy) skip the reference checks.
getrefcount: Optional[Callable[[Any], int]] = getattr(sys, "getrefcount", None)


class CountingQueue:
    def __init__(self) -> None:
        self.items: list[Any] = []

    def put(self, item: Any) -> None:
        self.items.append(item)


# A proper reply for any board up to 20 x 20: a longer policy than the board needs is fine.
PROPER_REPLY = ([0.0] * (TEST_GAME_DIM * TEST_GAME_DIM), [0.0, 0.0, 0.0, 0.0])


class ScriptedPipe:
    """Answers with `replies` in turn, then with proper replies."""

    def __init__(self, replies: list[Any]) -> None:
        self.replies = replies
        self.calls = 0

    def recv(self) -> Any:
        self.calls += 1
        return self.replies[self.calls - 1] if self.calls <= len(self.replies) else PROPER_REPLY


@dataclass
class Outcome:
    """How one call ended: its result, or the type and arguments of what it raised."""

    result: Any = None
    raised: Optional[type[BaseException]] = None
    args: tuple[Any, ...] = ()
    out: str = ""
    err: str = ""


def call(entry: str, config: Any, result_queue: Any, pipe: Any) -> Outcome:
    """Calls `entry` with its output captured; keeps no reference to what it raised."""
    queue = CountingQueue()
    arguments = [WORKER_ID, config, result_queue, queue, pipe]
    if entry == "play_test_game":
        arguments.insert(4, queue)
    out, err = io.StringIO(), io.StringIO()
    outcome = Outcome()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            outcome.result = getattr(tessarin_self_play, entry)(*arguments)
        except BaseException as error:  # noqa: B036 - every outcome is classified below
            outcome.raised = type(error)
            outcome.args = error.args
    outcome.out, outcome.err = out.getvalue(), err.getvalue()
    return outcome


@pytest.fixture(autouse=True, scope="module")
def cheap_collections() -> Iterator[None]:
    """Moves everything alive now out of the collector's sight for this module's tests, so that
    the collection before each reference count looks at the example's own objects only."""
    if getrefcount is None:
        yield
        return
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


def reference_counts(objects: list[Any]) -> Optional[list[int]]:
    """Reference counts once garbage cycles (an earlier traceback's frames) are gone."""
    if getrefcount is None:
        return None
    gc.collect()
    return [getrefcount(obj) for obj in objects]


def check_record(record: Any) -> None:
    assert type(record) is tuple and record[0] == WORKER_ID
    history, policies, payoff = record[1]
    assert len(history) == len(policies) > 0
    assert len(payoff) == 4 and all(v in PAYOFF_VALUES for v in payoff)
    assert math.isclose(sum(payoff), 1.0, abs_tol=1e-6)


def check_played(entry: str, outcome: Outcome, results: list[Any]) -> None:
    """A call that returned: a finished game, or a failed evaluation."""
    if entry == "play_test_game":
        assert results == []
        assert type(outcome.result) is float and outcome.result in PAYOFF_VALUES
        assert outcome.out.startswith("Finished Game\n"), outcome.out[:200]
    elif outcome.result == 0:
        [result] = results
        if entry == "play_training_game":
            check_record(result)
        else:
            assert result[0] == WORKER_ID and result[1] in PAYOFF_VALUES
        assert outcome.out == ""
    else:
        assert outcome.result == 1 and results == []
        if entry == "play_training_game":
            assert outcome.out == ""
        else:
            assert outcome.out.startswith(MCTS_ERROR) and outcome.out.count("\n") == 1
    assert outcome.err == ""


def check_outcome(
    entry: str,
    outcome: Outcome,
    results: list[Any],
    may_interrupt: bool,
    stops: tuple[str, ...],
) -> None:
    """`outcome` is one of the documented ones; a stop's message starts with one of `stops`."""
    kind = outcome.raised.__name__ if outcome.raised else f"returned {outcome.result!r}"
    event(f"{entry}: {kind if entry != 'play_test_game' or outcome.raised else 'payoff'}")
    if outcome.raised is None:
        check_played(entry, outcome, results)
    elif outcome.raised is KeyboardInterrupt:
        assert may_interrupt, "KeyboardInterrupt without a host object that raises it"
        assert results == []
    elif outcome.raised.__name__ == "WorkerStop":
        assert outcome.raised.__bases__ == (BaseException,)
        [message] = outcome.args
        assert message.startswith(stops), message
        assert outcome.err == message + ("" if message.endswith("\n") else "\n")
        assert outcome.out == "" and results == []
    else:
        # Only the test game against a baseline raises an Exception, after printing why.
        assert entry == "play_test_game" and outcome.raised is Exception, outcome
        assert outcome.args == ('"Error running MCTS"',)
        assert outcome.out.startswith(MCTS_ERROR) and outcome.out.count("\n") == 1


class SimpleConfig:
    """A small game: side 5, two simulations."""

    def __init__(self, rep: int) -> None:
        self.dim = DIM
        self.rep = rep
        self.sims_per_move = 2
        self.sample_moves = 4
        self.c_base = 19652.0
        self.c_init = 1.25
        self.dirichlet_alpha = 0.3
        self.exploration_fraction = 0.25


def entries_and_replies() -> st.SearchStrategy[tuple[str, list[Any]]]:
    """An entry function and one or two replies sized for its board."""
    return st.sampled_from(ENTRIES).flatmap(
        lambda entry: st.tuples(
            st.just(entry),
            st.lists(replies(CELLS[entry]), min_size=1, max_size=2),
        )
    )


@BOUNDED
@given(entry_and_replies=entries_and_replies(), rep=st.sampled_from([1, 2]))
def test_any_reply_ends_in_a_documented_outcome(
    entry_and_replies: tuple[str, list[Any]], rep: int
) -> None:
    entry, drawn = entry_and_replies
    config = SimpleConfig(rep=rep)
    result_queue, pipe = CountingQueue(), ScriptedPipe(drawn)
    held = [config, result_queue, pipe, HostileError, *owned_objects(drawn)]
    before = reference_counts(held)

    outcome = call(entry, config, result_queue, pipe)

    assert reference_counts(held) == before
    check_outcome(
        entry,
        outcome,
        result_queue.items,
        may_interrupt=interrupting(drawn),
        stops=("Legal tile ",),  # a policy without a logit for a legal tile
    )
    failed = outcome.raised is Exception or (entry != "play_test_game" and outcome.result == 1)
    if failed:
        assert pipe.calls <= len(drawn), "a proper reply failed the evaluation"


# Stops that a configuration may cause, each at the first point that uses the bad value.
CONFIG_STOPS = (
    "Failed to read the run configuration: ",
    "Invalid representation type",
    "Invalid board side ",
    "Noise should be generated ok: AlphaTooSmall",
)


@BOUNDED
@given(entry=st.sampled_from(ENTRIES), config=config_objects())
def test_any_configuration_ends_in_a_documented_outcome(entry: str, config: Any) -> None:
    result_queue, pipe = CountingQueue(), ScriptedPipe([])
    fields = config.drawn
    held = [config, type(config), result_queue, pipe, HostileError, *owned_objects(fields)]
    before = reference_counts(held)

    outcome = call(entry, config, result_queue, pipe)

    assert reference_counts(held) == before
    may_interrupt = any(
        (isinstance(value, RaisingProperty) and value.error is KeyboardInterrupt)
        or (isinstance(value, Number) and value.action.interrupts)
        for value in fields.values()
    )
    check_outcome(entry, outcome, result_queue.items, may_interrupt, CONFIG_STOPS)
    read_fails = any(
        value is MISSING or isinstance(value, RaisingProperty) for value in fields.values()
    )
    if read_fails:
        assert outcome.raised is not None, "a configuration that cannot be read was accepted"
