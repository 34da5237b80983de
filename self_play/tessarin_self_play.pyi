"""Self-play worker: each function plays one whole game in the calling process.

Every network evaluation puts ``(id, position)`` on a queue and waits for
``(policy_logits, value_logits)`` from ``pipe.recv()``: one logit per cell and four values; a
reply of another shape is a failed evaluation.

Errors, the same rule as tessarin_engine's: invalid arguments of the call itself (their number,
names, an ``id`` that is not an int) raise TypeError (OverflowError for an ``id`` out of 32
bits) before anything happens; a broken invariant, and invalid input the worker reads during its
game (a configuration it cannot read or would stop on), raise the module's stop exception, which
derives directly from ``BaseException`` (so that ``except Exception`` does not swallow it) and is
not a module attribute; its message is also written to ``sys.stderr``. An allocation failure
raises MemoryError; an exception of the host's own that does not derive from Exception
(KeyboardInterrupt, SystemExit) passes unchanged.
"""

from typing import Any, Protocol

class _Queue(Protocol):
    def put(self, item: Any, /) -> object: ...

class _Pipe(Protocol):
    def recv(self) -> Any: ...

def play_training_game(
    id: int, config: Any, result_queue: _Queue, inference_queue: _Queue, pipe: _Pipe
) -> int:
    """Works with Pytorch model to generate self-play data

    Plays one game with every seat guided by tree search and puts
    ``(id, (history, policies, payoff))`` on ``result_queue``. Returns 0 when the game was
    played to its end, 1 when a search failed (nothing is put).

    Beyond its eight settings, ``config`` may have ``root_search`` ("puct" or "gumbel") and
    ``gumbel_considered`` (an int of at least 1), read only where the object has them (in its
    instance dictionary or class; a ``__getattr__`` hook is not asked). Without them the game is
    searched by pUCT exactly as before; with "gumbel" every root is searched by Gumbel-top-k
    sampling and sequential halving, the game plays the root's choice and ``policies`` hold the
    completed-Q policy. Another value stops the worker, as other settings it cannot read do.
    """

def play_test_game(
    id: int,
    config: Any,
    result_queue: object,
    model_queue: _Queue,
    baseline_queue: _Queue,
    pipe: _Pipe,
) -> float:
    """Plays seat 0 by the model against seats 1 to 3 by the baseline on a 20 x 20 board.

    Returns the payoff of seat 0. Raises ``Exception('"Error running MCTS"')`` after a failed
    evaluation; ``result_queue`` is never used.
    """

def play_test_against_random(
    id: int, config: Any, result_queue: _Queue, inference_queue: _Queue, pipe: _Pipe
) -> int:
    """Plays seat 0 by the model (no search) against three random players.

    Puts ``(id, payoff of seat 0)`` on ``result_queue`` and returns 0, or returns 1 after a
    failed evaluation (nothing is put).
    """
