"""Failures of the host's put and recv calls, and of the result queue."""

from __future__ import annotations

from typing import Any, Callable

import pytest
import tessarin_self_play

from fakes import (
    Host,
    RecordingQueue,
    make_baseline_host,
    make_host,
    play_against_random,
    raising_network,
    uniform_network,
)

ERROR_PREFIX = 'Error running MCTS: "Error evaluating root node: HostError { type: '


class QueueClosed(RuntimeError):
    pass


def failing_put_host(error: Callable[[], BaseException], on_call: int) -> Host:
    host = make_host(dim=20)
    host.inference_queue.fail_with = error
    host.inference_queue.fail_on_call = on_call
    return host


@pytest.mark.parametrize("on_call", [1, 4])
@pytest.mark.parametrize(
    "error, shown",
    [
        (lambda: RuntimeError("queue closed"), "RuntimeError('queue closed')"),
        (lambda: QueueClosed(), "QueueClosed()"),
        (lambda: OSError(32, "Broken pipe"), "BrokenPipeError(32, 'Broken pipe')"),
    ],
    ids=["runtime", "subclass", "oserror"],
)
def test_raising_put_abandons_the_game_without_recv(
    error: Callable[[], BaseException],
    shown: str,
    on_call: int,
    capsys: pytest.CaptureFixture[str],
) -> None:
    host = failing_put_host(error, on_call)
    assert play_against_random(host) == 1
    assert host.inference_queue.calls == on_call
    assert host.pipe.calls == on_call - 1
    assert host.result_queue.items == []
    out, err = capsys.readouterr()
    assert out.startswith(ERROR_PREFIX)
    assert f"value: {shown}, traceback: " in out
    assert out.count("\n") == 1 and out.endswith(' }"\n')
    assert err == ""


@pytest.mark.parametrize(
    "error, type_name",
    [
        (lambda: ValueError("no reply"), "ValueError"),
        (lambda: EOFError(), "EOFError"),
        (lambda: ConnectionResetError("reset"), "ConnectionResetError"),
    ],
)
def test_raising_recv_abandons_the_game(
    error: Callable[[], BaseException],
    type_name: str,
    capsys: pytest.CaptureFixture[str],
) -> None:
    host = make_host(raising_network(error), dim=20)
    assert play_against_random(host) == 1
    assert host.inference_queue.calls == 1 and host.pipe.calls == 1
    assert host.result_queue.items == []
    out, _ = capsys.readouterr()
    assert out.startswith(f"{ERROR_PREFIX}<class '{type_name}'>, value: {type_name}(")
    assert "traceback: <traceback object at 0x" in out


def test_error_text_is_printed_in_quoted_form(
    capsys: pytest.CaptureFixture[str],
) -> None:
    host = make_host(
        raising_network(lambda: ValueError('say "hi"\n\tback\\slash')), dim=7
    )
    assert play_against_random(host) == 1
    out = capsys.readouterr().out
    assert out.count("\n") == 1
    assert r"""value: ValueError('say \"hi\"\\n\\tback\\\\slash'), traceback: """ in out


@pytest.mark.parametrize("where", ["put", "recv"])
def test_test_game_raises_exception_after_printing(
    where: str, capsys: pytest.CaptureFixture[str]
) -> None:
    host = make_baseline_host()
    if where == "put":
        host.baseline_queue.fail_with = lambda: RuntimeError("baseline gone")
    else:
        host.pipe.network = raising_network(lambda: ValueError("pipe broken"))
    with pytest.raises(Exception) as raised:
        tessarin_self_play.play_test_game(
            1, host.config, None, host.model_queue, host.baseline_queue, host.pipe
        )
    assert type(raised.value) is Exception
    assert raised.value.args == ('"Error running MCTS"',)
    out = capsys.readouterr().out
    assert out.startswith(ERROR_PREFIX) and out.count("\n") == 1
    assert "Finished Game" not in out
    if where == "put":
        assert "RuntimeError('baseline gone')" in out
        assert host.model_queue.calls >= 1 and host.baseline_queue.calls == 1
    else:
        assert "ValueError('pipe broken')" in out
        assert host.model_queue.calls == 1 and host.baseline_queue.calls == 0


INTERRUPTS: list[Callable[[], BaseException]] = [
    lambda: KeyboardInterrupt(),
    lambda: SystemExit(3),
    lambda: GeneratorExit(),
]
INTERRUPT_IDS = ["keyboard", "system-exit", "generator-exit"]


class Interrupting:
    """put or recv that raises a given BaseException instance on its n-th call."""

    def __init__(self, error: BaseException, on_call: int) -> None:
        self.error = error
        self.on_call = on_call
        self.calls = 0

    def __call__(self) -> None:
        self.calls += 1
        if self.calls == self.on_call:
            raise self.error


@pytest.mark.parametrize("entry", ["test_against_random", "test_game"])
@pytest.mark.parametrize("where", ["put", "recv"])
@pytest.mark.parametrize("on_call", [1, 3])
@pytest.mark.parametrize("make_error", INTERRUPTS, ids=INTERRUPT_IDS)
def test_interrupts_from_put_or_recv_propagate_at_once(
    entry: str,
    where: str,
    on_call: int,
    make_error: Callable[[], BaseException],
    capsys: pytest.CaptureFixture[str],
) -> None:
    error = make_error()
    trigger = Interrupting(error, on_call)
    host = make_baseline_host()
    queue = host.model_queue
    if where == "put":
        original_put = queue.put

        def put(item: Any) -> None:
            trigger()
            original_put(item)

        queue.put = put  # type: ignore[method-assign]
    else:
        original_recv = host.pipe.recv

        def recv() -> Any:
            trigger()
            return original_recv()

        host.pipe.recv = recv  # type: ignore[method-assign]
    result_queue = RecordingQueue("result")

    with pytest.raises(type(error)) as raised:
        if entry == "test_game":
            tessarin_self_play.play_test_game(
                1, host.config, None, queue, host.baseline_queue, host.pipe
            )
        else:
            tessarin_self_play.play_test_against_random(
                1, host.config, result_queue, queue, host.pipe
            )

    assert raised.value is error
    assert trigger.calls == on_call
    puts = queue.calls + host.baseline_queue.calls
    if where == "put":
        # Every earlier request was answered; the interrupted one was never recorded.
        assert queue.calls == on_call - 1 and host.pipe.calls == puts
    else:
        assert host.pipe.calls == on_call - 1 and puts == on_call
    assert result_queue.calls == 0
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize(
    "error",
    [RuntimeError("result queue full"), ValueError(), Exception("plain")],
    ids=["runtime", "value", "exception"],
)
def test_failing_result_put_is_ignored(
    error: Exception, capsys: pytest.CaptureFixture[str]
) -> None:
    host = make_host(dim=7)
    host.result_queue.fail_with = lambda: error
    assert play_against_random(host) == 0
    assert host.result_queue.calls == 1
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize("make_error", INTERRUPTS, ids=INTERRUPT_IDS)
def test_interrupt_from_result_put_propagates(
    make_error: Callable[[], BaseException],
) -> None:
    error = make_error()
    host = make_host(dim=7)
    host.result_queue.fail_with = lambda: error
    with pytest.raises(type(error)) as raised:
        play_against_random(host)
    assert raised.value is error
    assert host.result_queue.calls == 1


def test_result_queue_without_put_is_ignored(
    capsys: pytest.CaptureFixture[str],
) -> None:
    host = make_host(dim=7)
    assert (
        tessarin_self_play.play_test_against_random(
            2, host.config, object(), host.inference_queue, host.pipe
        )
        == 0
    )
    assert capsys.readouterr() == ("", "")


def test_queue_without_put_fails_the_evaluation(
    capsys: pytest.CaptureFixture[str],
) -> None:
    host = make_host(uniform_network, dim=7)
    assert (
        tessarin_self_play.play_test_against_random(
            2, host.config, host.result_queue, object(), host.pipe
        )
        == 1
    )
    assert capsys.readouterr().out.startswith(f"{ERROR_PREFIX}<class 'AttributeError'>")
    assert host.pipe.calls == 0 and host.result_queue.items == []
