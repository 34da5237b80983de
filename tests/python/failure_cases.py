"""Calls of the entry functions that fail in every way a worker can fail, for leak checks.

Each case performs one or a few calls and checks that they failed the expected way. The host
objects it uses are created once and listed in `held`, so a caller can compare their reference
counts before and after many calls. The fakes here record nothing, so that repeated calls keep
no memory of their own.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Any, Callable

import tessarin_self_play

from fakes import DEFAULT_CONFIG

DIM = 20
SIZE = DIM * DIM


class TrackedError(RuntimeError):
    """Raised by failing fakes; every live instance holds a reference to this class."""


class CountingQueue:
    def __init__(self, make_error: Callable[[], BaseException] | None = None) -> None:
        self.calls = 0
        self.make_error = make_error

    def put(self, item: Any) -> None:
        self.calls += 1
        if self.make_error is not None:
            raise self.make_error()


class ConstantPipe:
    """Answers every recv with `reply`, or raises `make_error()` when one is given."""

    def __init__(self, reply: Any, make_error: Callable[[], BaseException] | None = None) -> None:
        self.reply = reply
        self.make_error = make_error

    def recv(self) -> Any:
        if self.make_error is not None:
            raise self.make_error()
        return self.reply


class NotASequence:
    pass


class RaisingFloat:
    def __float__(self) -> float:
        raise TrackedError("no float")


class ChainedIndex:
    def __index__(self) -> int:
        raise TypeError("no index") from TrackedError("root")


class RaisingConfig:
    """Every attribute read raises a fresh TrackedError after `dim` and `rep`."""

    def __getattr__(self, name: str) -> Any:
        if name in ("dim", "rep"):
            return DEFAULT_CONFIG[name]
        raise TrackedError(f"cannot read {name}")


def config(missing: str = "", **overrides: Any) -> SimpleNamespace:
    values = dict(DEFAULT_CONFIG, dim=DIM, rep=1)
    values.update(overrides)
    values.pop(missing, None)
    return SimpleNamespace(**values)


@dataclass
class FailureCase:
    name: str
    run: Callable[[], None]
    held: list[Any] = field(default_factory=list)


class WorkerStopped(Exception):
    """Marks an expected stop of the worker in a case's outcome."""


def is_worker_stop(error: BaseException) -> bool:
    kind = type(error)
    return kind.__name__ == "WorkerStop" and kind.__bases__ == (BaseException,)


def check_outcome(name: str, expect: Any, call: Callable[[], Any]) -> None:
    """`expect` is a status, WorkerStopped, or the exception class the call must raise."""
    try:
        result = call()
    except BaseException as error:  # noqa: B036
        if expect is WorkerStopped:
            assert is_worker_stop(error), f"{name}: {error!r} is not a stop"
        elif not (isinstance(expect, type) and isinstance(error, expect)):
            raise
        return
    assert not isinstance(expect, type), f"{name}: returned {result!r} instead of raising"
    assert result == expect, f"{name}: status {result}"


# Small ints and other shared constants have reference counts that other code moves.
SHARED = (type(None), bool, int, float, str)


def build_cases() -> list[FailureCase]:
    cases: list[FailureCase] = []
    play = tessarin_self_play.play_test_against_random
    Queue = CountingQueue

    def add(
        name: str, expect: Any, function: Callable[..., Any], *args: Any, **kwargs: Any
    ) -> None:
        """A case calling `function(*args, **kwargs)`; its arguments, and the items of a
        pipe's reply, are the objects it holds."""
        held = [*args, *kwargs.values()]
        for pipe in list(held):
            if isinstance(pipe, ConstantPipe):
                held += [pipe.reply, *(pipe.reply if isinstance(pipe.reply, tuple) else ())]
        cases.append(
            FailureCase(
                name,
                lambda: check_outcome(name, expect, lambda: function(*args, **kwargs)),
                [h for h in held if not isinstance(h, SHARED)],
            )
        )

    def with_reply(name: str, expect: Any, reply: Any, dim: int = DIM) -> None:
        add(name, expect, play, 1, config(dim=dim), Queue(), Queue(), ConstantPipe(reply))

    policy = [0.0] * SIZE
    values = [0.0] * 4
    with_reply("reply-one-item", 1, (policy,))
    with_reply("reply-policy-not-sequence", 1, (NotASequence(), values))
    with_reply("reply-policy-string", 1, ("x" * SIZE, values))
    with_reply("reply-policy-raising-element", 1, ([RaisingFloat()] + policy[1:], values))
    with_reply("reply-three-values", 1, (policy, values[:3]))
    with_reply("reply-short-policy", WorkerStopped, ([0.0] * 80, values))
    with_reply("reply-all-nan-policy", 0, ([float("nan")] * 25, values), dim=5)

    for name, cfg in {
        "config-float-dim": config(dim=20.0),
        "config-raising-float": config(c_init=RaisingFloat()),
        "config-missing-last": config(missing="exploration_fraction"),
        "config-raising-read": RaisingConfig(),
        "config-rep-3": config(rep=3),
    }.items():
        add(name, WorkerStopped, play, 1, cfg, Queue(), Queue(), ConstantPipe(None))

    reply = ConstantPipe((policy, values))
    small = ConstantPipe(([0.0] * 25, values))
    closed = Queue(lambda: TrackedError("closed"))
    add("put-raises", 1, play, 1, config(), Queue(), closed, reply)
    eof = ConstantPipe(None, lambda: TrackedError("eof"))
    add("recv-raises", 1, play, 1, config(), Queue(), Queue(), eof)
    interrupting = Queue(KeyboardInterrupt)
    add("put-interrupt", KeyboardInterrupt, play, 1, config(), Queue(), interrupting, reply)
    full = Queue(lambda: TrackedError("full"))
    add("result-put-raises", 0, play, 1, config(dim=5), full, Queue(), small)
    stopping = Queue(KeyboardInterrupt)
    add("result-put-interrupt", KeyboardInterrupt, play, 1, config(dim=5), stopping, Queue(), small)

    cfg, queue_ = config(), Queue()
    add("id-float", TypeError, play, 1.5, cfg, queue_, queue_, None)
    add("id-overflow", OverflowError, play, 2**31, cfg, queue_, queue_, None)
    add("id-chained-cause", TypeError, play, ChainedIndex(), cfg, queue_, queue_, None)
    add("binding-too-many", TypeError, play, 1, cfg, queue_, queue_, None, None)
    add("binding-duplicate", TypeError, play, 1, cfg, id=2)
    add("binding-unexpected", TypeError, play, 1, cfg, queue_, queue_, None, other=1)
    add("binding-missing", TypeError, play, 1)

    broken = ConstantPipe(("x", values))
    test_game, training_game = (
        tessarin_self_play.play_test_game,
        tessarin_self_play.play_training_game,
    )
    add("test-game-failure", Exception, test_game, 1, config(dim=14), None, queue_, queue_, broken)
    no_c_base = config(missing="c_base")
    add("training-config", WorkerStopped, training_game, 1, no_c_base, queue_, queue_, broken)
    return cases


class NullStream:
    """Stands in for sys.stdout and sys.stderr: accepts text and keeps none of it."""

    def write(self, text: str) -> int:
        return len(text)

    def flush(self) -> None:
        pass
