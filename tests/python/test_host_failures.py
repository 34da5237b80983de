"""Failures of the host's put and recv calls, and of the result queue."""

from __future__ import annotations

from typing import Any, Callable

import pytest
import tessarin_self_play

from fakes import (
    Host,
    RecordingQueue,
    failing_after,
    make_host,
    play,
    play_against_random,
    uniform_network,
)

ERROR_PREFIX = 'Error running MCTS: "Error evaluating root node: HostError { type: '


class QueueClosed(RuntimeError):
    pass


def fail(host: Host, where: str, make_error: Callable[[], BaseException], on_call: int) -> None:
    """Makes the `on_call`-th put on the inference (model) queue, or recv, raise."""
    if where == "put":
        host.inference_queue.fail_with = make_error
        host.inference_queue.fail_on_call = on_call
    else:
        host.pipe.network = failing_after(on_call - 1, uniform_network, make_error)


@pytest.mark.parametrize(
    "where, make_error, shown, on_call",
    [
        ("put", lambda: RuntimeError("queue closed"), "RuntimeError('queue closed')", 1),
        ("put", QueueClosed, "QueueClosed()", 4),
        ("recv", lambda: EOFError(), "EOFError()", 1),
        ("recv", lambda: ConnectionResetError("reset"), "ConnectionResetError('reset')", 3),
    ],
    ids=["put-first", "put-subclass-later", "recv-first", "recv-later"],
)
def test_raising_put_or_recv_abandons_the_game(
    where: str,
    make_error: Callable[[], BaseException],
    shown: str,
    on_call: int,
    capsys: pytest.CaptureFixture[str],
) -> None:
    host = make_host(dim=20)
    fail(host, where, make_error, on_call)
    assert play_against_random(host) == 1
    # Nothing more is asked once an evaluation failed.
    assert host.inference_queue.calls == on_call
    assert host.pipe.calls == (on_call - 1 if where == "put" else on_call)
    assert host.result_queue.items == []
    out, err = capsys.readouterr()
    kind = repr(type(make_error()))
    assert out.startswith(
        f"{ERROR_PREFIX}{kind}, value: {shown}, traceback: <traceback object at 0x"
    )
    assert out.count("\n") == 1 and out.endswith(' }"\n')
    assert err == ""


def test_error_text_is_printed_in_quoted_form(capsys: pytest.CaptureFixture[str]) -> None:
    host = make_host(failing_after(0, uniform_network, lambda: ValueError('say "hi"\n\tb\\s')))
    assert play_against_random(host) == 1
    out = capsys.readouterr().out
    assert out.count("\n") == 1
    assert r"""value: ValueError('say \"hi\"\\n\\tb\\\\s'), traceback: """ in out


def test_queue_without_put_fails_the_evaluation(capsys: pytest.CaptureFixture[str]) -> None:
    host = make_host(dim=7)
    status = tessarin_self_play.play_test_against_random(
        2, host.config, host.result_queue, object(), host.pipe
    )
    assert status == 1
    assert capsys.readouterr().out.startswith(f"{ERROR_PREFIX}<class 'AttributeError'>")
    assert host.pipe.calls == 0 and host.result_queue.items == []


@pytest.mark.parametrize("where", ["put", "recv", "reply"])
def test_test_game_raises_exception_after_printing(
    where: str, capsys: pytest.CaptureFixture[str]
) -> None:
    host = make_host()
    if where == "put":
        host.baseline_queue.fail_with = lambda: RuntimeError("baseline gone")
    elif where == "recv":
        host.pipe.network = failing_after(0, uniform_network, lambda: ValueError("pipe broken"))
    else:
        host.pipe.network = lambda position: (uniform_network(position)[0], "0000")
    with pytest.raises(Exception) as raised:
        play("play_test_game", host)
    assert type(raised.value) is Exception
    assert raised.value.args == ('"Error running MCTS"',)
    out = capsys.readouterr().out
    assert out.startswith(ERROR_PREFIX) and out.count("\n") == 1
    assert "Finished Game" not in out
    if where == "put":
        assert "RuntimeError('baseline gone')" in out
        assert host.inference_queue.calls >= 1 and host.baseline_queue.calls == 1
    else:
        assert ("ValueError('pipe broken')" if where == "recv" else "<class 'TypeError'>") in out
        assert host.inference_queue.calls == 1 and host.baseline_queue.calls == 0


@pytest.mark.parametrize(
    "entry, where, error, on_call",
    [
        ("test_against_random", "put", KeyboardInterrupt(), 3),
        ("test_against_random", "recv", SystemExit(3), 1),
        ("test_game", "put", GeneratorExit(), 1),
        ("test_game", "recv", KeyboardInterrupt(), 3),
    ],
    ids=["random-put-keyboard", "random-recv-exit", "game-put-generator", "game-recv-keyboard"],
)
def test_interrupts_from_put_or_recv_propagate_at_once(
    entry: str, where: str, error: BaseException, on_call: int, capsys: pytest.CaptureFixture[str]
) -> None:
    host = make_host()
    fail(host, where, lambda: error, on_call)
    with pytest.raises(type(error)) as raised:
        if entry == "test_game":
            play("play_test_game", host)
        else:
            play_against_random(host)

    assert raised.value is error
    puts = host.inference_queue.calls + host.baseline_queue.calls
    if where == "put":
        # Every earlier request was answered; the interrupted one was never recorded.
        assert host.inference_queue.calls == on_call and host.pipe.calls == puts - 1
    else:
        assert host.pipe.calls == on_call and puts == on_call
    assert host.result_queue.calls == 0
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize(
    "result_queue",
    [RecordingQueue("result", fail_with=lambda: RuntimeError("result queue full")), object()],
    ids=["raising-put", "no-put"],
)
def test_failing_result_put_is_ignored(
    result_queue: Any, capsys: pytest.CaptureFixture[str]
) -> None:
    host = make_host(dim=7)
    status = tessarin_self_play.play_test_against_random(
        2, host.config, result_queue, host.inference_queue, host.pipe
    )
    assert status == 0
    assert getattr(result_queue, "calls", 1) == 1
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize("entry", ["play_test_against_random", "play_training_game"])
@pytest.mark.parametrize(
    "error", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()], ids=lambda e: type(e).__name__
)
def test_interrupt_from_result_put_propagates(entry: str, error: BaseException) -> None:
    host = make_host(dim=7, sims_per_move=2)
    host.result_queue.fail_with = lambda: error
    with pytest.raises(type(error)) as raised:
        play(entry, host)
    assert raised.value is error
    assert host.result_queue.calls == 1
