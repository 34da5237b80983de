"""Calls of the entry functions that fail in every way a worker can fail, for leak checks.

Each case performs one call and checks that it failed the expected way. The host objects it
uses are created once and listed in `held`, so a caller can compare their reference counts
before and after many calls. The fakes here record nothing, so that repeated calls keep no
memory of their own.
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
    def __init__(self) -> None:
        self.calls = 0

    def put(self, item: Any) -> None:
        self.calls += 1


class RaisingQueue:
    def __init__(self, make_error: Callable[[], BaseException]) -> None:
        self.make_error = make_error

    def put(self, item: Any) -> None:
        raise self.make_error()


class ConstantPipe:
    def __init__(self, reply: Any) -> None:
        self.reply = reply

    def recv(self) -> Any:
        return self.reply


class RaisingPipe:
    def __init__(self, make_error: Callable[[], BaseException]) -> None:
        self.make_error = make_error

    def recv(self) -> Any:
        raise self.make_error()


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


def config(**overrides: Any) -> SimpleNamespace:
    values = dict(DEFAULT_CONFIG, dim=DIM, rep=1)
    values.update(overrides)
    return SimpleNamespace(**values)


def config_without(name: str) -> SimpleNamespace:
    namespace = config()
    delattr(namespace, name)
    return namespace


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


def build_cases() -> list[FailureCase]:
    stop = WorkerStopped
    cases: list[FailureCase] = []

    def against_random(
        name: str,
        expect: Any,
        cfg: Any,
        inference: Any,
        pipe: Any,
        result: Any = None,
        id_: Any = 1,
    ) -> None:
        result = result if result is not None else CountingQueue()
        held = [cfg, inference, pipe, result, id_, getattr(pipe, "reply", None)]
        reply = getattr(pipe, "reply", None)
        if isinstance(reply, (tuple, list)):
            held.extend(reply)

        def run() -> None:
            if expect is WorkerStopped:
                try:
                    tessarin_self_play.play_test_against_random(
                        id_, cfg, result, inference, pipe
                    )
                except BaseException as error:  # noqa: B036
                    assert is_worker_stop(error), f"{name}: {error!r} is not a stop"
                    return
                raise AssertionError(f"{name}: the worker did not stop")
            if isinstance(expect, type) and issubclass(expect, BaseException):
                try:
                    tessarin_self_play.play_test_against_random(
                        id_, cfg, result, inference, pipe
                    )
                except expect:
                    return
                raise AssertionError(f"{name}: {expect.__name__} was not raised")
            status = tessarin_self_play.play_test_against_random(
                id_, cfg, result, inference, pipe
            )
            assert status == expect, f"{name}: status {status}"

        # Small ints and other shared constants have reference counts that other code moves.
        shared = (type(None), bool, int, float, str)
        cases.append(
            FailureCase(name, run, [h for h in held if not isinstance(h, shared)])
        )

    policy = [0.0] * SIZE
    values = [0.0] * 4
    malformed: dict[str, Any] = {
        "reply-one-item": (policy,),
        "reply-none": None,
        "reply-policy-not-sequence": (NotASequence(), values),
        "reply-policy-string": ("x" * SIZE, values),
        "reply-policy-none-element": (policy[:-1] + [None], values),
        "reply-policy-raising-element": ([RaisingFloat()] + policy[1:], values),
        "reply-values-string": (policy, "0000"),
        "reply-values-bad-element": (policy, [0.0, object(), 0.0, 0.0]),
        "reply-dict-missing-item": {0: policy},
    }
    for name, reply in malformed.items():
        against_random(name, 1, config(), CountingQueue(), ConstantPipe(reply))
    against_random(
        "reply-short-policy",
        stop,
        config(),
        CountingQueue(),
        ConstantPipe(([0.0] * 80, values)),
    )
    against_random(
        "reply-all-nan-policy",
        0,
        config(dim=5),
        CountingQueue(),
        ConstantPipe(([float("nan")] * 25, values)),
    )

    against_random(
        "config-float-dim", stop, config(dim=20.0), CountingQueue(), ConstantPipe(None)
    )
    against_random(
        "config-negative",
        stop,
        config(sims_per_move=-1),
        CountingQueue(),
        ConstantPipe(None),
    )
    against_random(
        "config-bad-float",
        stop,
        config(c_init=RaisingFloat()),
        CountingQueue(),
        ConstantPipe(None),
    )
    against_random(
        "config-missing-last",
        stop,
        config_without("exploration_fraction"),
        CountingQueue(),
        ConstantPipe(None),
    )
    against_random(
        "config-raising-read",
        stop,
        RaisingConfig(),
        CountingQueue(),
        ConstantPipe(None),
    )
    against_random(
        "config-rep-3", stop, config(rep=3), CountingQueue(), ConstantPipe(None)
    )
    against_random(
        "config-dim-3", stop, config(dim=3), CountingQueue(), ConstantPipe(None)
    )

    against_random(
        "put-raises",
        1,
        config(),
        RaisingQueue(lambda: TrackedError("queue closed")),
        ConstantPipe((policy, values)),
    )
    against_random(
        "recv-raises",
        1,
        config(),
        CountingQueue(),
        RaisingPipe(lambda: TrackedError("eof")),
    )
    against_random(
        "put-interrupt",
        KeyboardInterrupt,
        config(),
        RaisingQueue(KeyboardInterrupt),
        ConstantPipe((policy, values)),
    )
    against_random(
        "recv-system-exit",
        SystemExit,
        config(),
        CountingQueue(),
        RaisingPipe(SystemExit),
    )
    against_random(
        "result-put-raises",
        0,
        config(dim=5),
        CountingQueue(),
        ConstantPipe(([0.0] * 25, values)),
        result=RaisingQueue(lambda: TrackedError("full")),
    )
    against_random(
        "result-put-interrupt",
        KeyboardInterrupt,
        config(dim=5),
        CountingQueue(),
        ConstantPipe(([0.0] * 25, values)),
        result=RaisingQueue(KeyboardInterrupt),
    )

    against_random(
        "id-float", TypeError, config(), CountingQueue(), ConstantPipe(None), id_=1.5
    )
    against_random(
        "id-overflow",
        OverflowError,
        config(),
        CountingQueue(),
        ConstantPipe(None),
        id_=2**31,
    )
    against_random(
        "id-chained-cause",
        TypeError,
        config(),
        CountingQueue(),
        ConstantPipe(None),
        id_=ChainedIndex(),
    )

    binding_config = config()
    binding_queue = CountingQueue()

    def binding_errors() -> None:
        for args, kwargs in (
            ((1, binding_config, binding_queue, binding_queue, None, None), {}),
            ((1, binding_config), {"id": 2}),
            ((1, binding_config, binding_queue, binding_queue, None), {"other": 1}),
            ((1,), {}),
        ):
            try:
                tessarin_self_play.play_test_against_random(*args, **kwargs)
            except TypeError:
                continue
            raise AssertionError("binding error not raised")

    cases.append(
        FailureCase("binding-errors", binding_errors, [binding_config, binding_queue])
    )

    game_config = config(dim=14)
    model = CountingQueue()
    broken_pipe = ConstantPipe(("x", values))

    def test_game_failure() -> None:
        try:
            tessarin_self_play.play_test_game(
                1, game_config, None, model, model, broken_pipe
            )
        except Exception as error:  # noqa: BLE001
            assert error.args == ('"Error running MCTS"',)
            return
        raise AssertionError("play_test_game did not fail")

    cases.append(
        FailureCase(
            "test-game-failure", test_game_failure, [game_config, model, broken_pipe]
        )
    )

    training_config = config_without("c_base")

    def training_config_stop() -> None:
        try:
            tessarin_self_play.play_training_game(
                1, training_config, model, model, broken_pipe
            )
        except BaseException as error:  # noqa: B036
            assert is_worker_stop(error), repr(error)
            return
        raise AssertionError("play_training_game did not stop")

    cases.append(
        FailureCase("training-config", training_config_stop, [training_config])
    )
    return cases


class NullStream:
    """Stands in for sys.stdout and sys.stderr: accepts text and keeps none of it."""

    def write(self, text: str) -> int:
        return len(text)

    def flush(self) -> None:
        pass


def resident_bytes() -> int:
    import os

    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
