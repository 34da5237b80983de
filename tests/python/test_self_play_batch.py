"""tessarin_engine.SelfPlayBatch: batched training games whose waiting positions come out in one
buffer and whose answers go in as two. Records in the worker module's format; refused input
raises a Python exception naming what was expected and changes nothing.

Buffers are made with array/memoryview so that the tests run where NumPy is missing (PyPy);
the NumPy-specific cases skip themselves there."""

from __future__ import annotations

import array
import math
import platform
import threading
from typing import Any

import pytest
import tessarin_engine as te

from fakes import make_config
from test_training_game import DIM, WORKER_ID, check_record

try:
    import numpy as np
except ImportError:  # PyPy's virtual environment has no NumPy
    np = None

needs_numpy = pytest.mark.skipif(np is None, reason="NumPy is not installed")

CELLS = DIM * DIM


def floats(rows: int, columns: int, fill: float = 0.0) -> memoryview:
    """A C-contiguous float32 buffer of shape [rows, columns]."""
    data = array.array("f", [fill]) * (rows * columns)
    return memoryview(data).cast("B").cast("f", [rows, columns])


def new_batch(games: int = 3, total: int = 5, seed: int | None = 7, **config: Any) -> Any:
    dtype = config.pop("dtype", "float32")
    settings = dict(dim=DIM, sims_per_move=6, sample_moves=4)
    settings.update(config)
    return te.SelfPlayBatch(
        make_config(**settings), games=games, total_games=total, dtype=dtype, seed=seed
    )


def answer_uniformly(batch: Any, rows: int) -> None:
    batch.complete(floats(rows, CELLS), floats(rows, 4))


def play_out(batch: Any, policy_fill: float = 0.0, value_fill: float = 0.0) -> list[Any]:
    """Steps the batch to its end with constant answers; every record taken on the way."""
    records: list[Any] = []
    while True:
        positions, _ = batch.step()
        records += batch.take_finished()
        rows = memoryview(positions).shape[0]
        if rows == 0:
            return records
        batch.complete(floats(rows, CELLS, policy_fill), floats(rows, 4, value_fill))


def replay(history: list[tuple[int, int]]) -> Any:
    """The record's game replayed on the engine: every action must be legal, in turn."""
    game = te.Game(DIM)
    for player, tile in history:
        assert game.current_player == player
        game.apply(tile)
    return game


@pytest.mark.parametrize("rep", [1, 2])
@pytest.mark.parametrize("dtype", ["float32", "uint8"])
def test_first_step_gives_every_opening_in_one_buffer(rep: int, dtype: str) -> None:
    batch = new_batch(games=3, total=5, rep=rep, dtype=dtype)
    positions, slots = batch.step()
    view = memoryview(positions)
    shape = [3, DIM, DIM, 5] if rep == 2 else [3, 5, DIM, DIM]
    assert list(view.shape) == shape and view.c_contiguous
    assert view.format == ("f" if dtype == "float32" else "B")
    assert memoryview(slots).format == "q" and memoryview(slots).tolist() == [0, 1, 2]
    opening = list(te.Game(DIM).state(channels_last=rep == 2))
    entries = view.cast("B").cast(view.format).tolist()
    size = 5 * CELLS
    for row in range(3):
        assert entries[row * size : (row + 1) * size] == opening
    assert batch.pending == 3


@pytest.mark.parametrize("rep", [1, 2])
def test_whole_batch_gives_module_records_that_replay(rep: int) -> None:
    batch = new_batch(games=3, total=5, rep=rep)
    records = play_out(batch)
    assert batch.done and batch.games_finished == 5 and batch.games_failed == 0
    assert batch.pending == 0 and len(records) == 5
    for history, policies, payoff in records:
        check_record((WORKER_ID, (history, policies, payoff)), WORKER_ID)
        game = replay(history)
        assert game.is_terminal() and game.payoff() == payoff
    # Once done, steps are empty and nothing more finishes.
    positions, slots = batch.step()
    assert memoryview(positions).shape[0] == 0 and memoryview(slots).tolist() == []
    assert batch.take_finished() == []


def test_seeded_batches_repeat_and_seeds_differ() -> None:
    first = play_out(new_batch(seed=11))
    assert play_out(new_batch(seed=11)) == first
    assert play_out(new_batch(seed=12)) != first


@needs_numpy
def test_positions_are_c_contiguous_only() -> None:
    positions, _ = new_batch().step()
    array_view = np.asarray(positions)
    assert array_view.flags.c_contiguous and not array_view.flags.f_contiguous
    assert np.frombuffer(positions, np.float32).size == array_view.size


def test_step_again_before_complete_gives_the_same_positions() -> None:
    batch = new_batch()
    positions, slots = batch.step()
    again, again_slots = batch.step()
    assert bytes(memoryview(again)) == bytes(memoryview(positions))
    assert memoryview(again_slots).tolist() == memoryview(slots).tolist()


def refusals(rows: int) -> list[tuple[Any, Any, type[BaseException], str]]:
    """(policy, value, error, text in the message) for answers a batch must refuse."""
    good_policy, good_value = floats(rows, CELLS), floats(rows, 4)
    doubles = memoryview(array.array("d", [0.0]) * (rows * 4)).cast("B").cast("d", [rows, 4])
    return [
        (floats(rows, CELLS + 1), good_value, ValueError, f"shape [{rows}, {CELLS}], not"),
        (floats(rows + 1, CELLS), good_value, ValueError, f"[{rows}, {CELLS}]"),
        (good_policy, floats(rows, 3), ValueError, f"value_logits must be a C-contiguous "),
        (good_policy, floats(rows * 4, 1), ValueError, f"shape [{rows}, 4]"),
        (good_policy, doubles, TypeError, "format 'd'"),
        (array.array("f", [0.0]) * (rows * CELLS), good_value, ValueError, "not ["),
        ([[0.0] * CELLS] * rows, good_value, TypeError, "not list"),
        (good_policy, None, TypeError, "float32 buffer of shape"),
    ]


def test_refused_answers_change_nothing_and_the_batch_plays_on() -> None:
    untouched = play_out(new_batch(seed=5))
    batch = new_batch(seed=5)
    with pytest.raises(RuntimeError, match="call step"):
        answer_uniformly(batch, 3)
    records: list[Any] = []
    steps = 0
    while True:
        positions, _ = batch.step()
        records += batch.take_finished()
        rows = memoryview(positions).shape[0]
        if rows == 0:
            break
        if steps % 7 == 0:
            for policy, value, error, text in refusals(rows):
                with pytest.raises(error) as raised:
                    batch.complete(policy, value)
                assert text in str(raised.value)
                assert batch.pending == rows
        answer_uniformly(batch, rows)
        with pytest.raises(RuntimeError, match="no position waits"):
            answer_uniformly(batch, rows)  # a step is answered once
        steps += 1
    assert records == untouched


class ArrayLike:
    """An object without a buffer whose __array__ gives one, as a CPU torch tensor does."""

    def __init__(self, data: Any) -> None:
        self.data = data

    def __array__(self) -> Any:
        if isinstance(self.data, Exception):
            raise self.data
        return self.data


class BrokenArrayLookup:
    """An object whose __array__ cannot even be looked up."""

    @property
    def __array__(self) -> Any:
        raise LookupError("device memory")


def test_answers_through_array_conversion() -> None:
    batch = new_batch(seed=5)
    positions, _ = batch.step()
    rows = memoryview(positions).shape[0]
    with pytest.raises(RuntimeError, match="requires grad"):
        batch.complete(ArrayLike(RuntimeError("requires grad")), floats(rows, 4))
    # The object's own failure is raised as it is, not taken for a missing __array__.
    with pytest.raises(LookupError, match="device memory"):
        batch.complete(BrokenArrayLookup(), floats(rows, 4))
    with pytest.raises(TypeError, match="float32 buffer of shape .*, not object"):
        batch.complete(object(), floats(rows, 4))
    # An exporter's refusal of a contiguous view is the rule's ValueError, caused by it (PyPy's
    # memoryview exports a strided slice without refusing; its shape is refused then).
    strided = memoryview(array.array("f", [0.0]) * (rows * CELLS * 2)).cast("B").cast("f")[::2]
    with pytest.raises(ValueError, match="C-contiguous") as raised:
        batch.complete(strided, floats(rows, 4))
    if platform.python_implementation() == "CPython":
        assert "this one is not C-contiguous" in str(raised.value)
        assert isinstance(raised.value.__cause__, BufferError)
    with pytest.raises(ValueError, match=f"shape \\[{rows}, {CELLS}\\]"):
        batch.complete(ArrayLike(floats(rows, CELLS + 1)), floats(rows, 4))
    assert batch.pending == rows
    batch.complete(ArrayLike(floats(rows, CELLS)), ArrayLike(floats(rows, 4)))
    assert batch.pending == 0


def test_a_call_made_from_inside_complete_is_refused() -> None:
    batch = new_batch(seed=5)
    positions, _ = batch.step()
    rows = memoryview(positions).shape[0]

    class Reentrant:
        def __array__(self) -> Any:
            batch.step()  # from inside complete(), while it holds the batch

    with pytest.raises(RuntimeError, match="in use by another call"):
        batch.complete(Reentrant(), floats(rows, 4))
    assert batch.pending == rows
    answer_uniformly(batch, rows)
    assert batch.pending == 0


@needs_numpy
def test_numpy_answers_and_their_refusals() -> None:
    batch = new_batch(seed=5)
    positions, slots = batch.step()
    assert np.asarray(positions).dtype == np.float32 and np.asarray(slots).dtype == np.int64
    rows = len(np.asarray(slots))
    value = np.zeros((rows, 4), np.float32)
    for policy, text in [
        (np.zeros((rows, CELLS), np.float64), "format 'd'"),
        (np.zeros((CELLS, rows), np.float32).T, "not C-contiguous"),
        (np.zeros((rows, CELLS * 2), np.float32)[:, ::2], "not C-contiguous"),
        (np.zeros(rows * CELLS, np.float32), "not [" + str(rows * CELLS) + "]"),
    ]:
        with pytest.raises((TypeError, ValueError)) as raised:
            batch.complete(policy, value)
        assert text in str(raised.value)
    batch.complete(np.zeros((rows, CELLS), np.float32), value)
    assert batch.pending == 0


@pytest.mark.parametrize(
    "policy_fill, value_fill, reason",
    [
        # No prior survives (NaN, or inf - inf in the softmax, as the worker module computes
        # them): the root has no child to play, where the module stops the worker.
        (math.nan, 0.0, "assertion failed: visit_dist.len() > 0"),
        (math.inf, 0.0, "assertion failed: visit_dist.len() > 0"),
        (-math.inf, 0.0, "assertion failed: visit_dist.len() > 0"),
        # NaN values: every selection score turns NaN and the search fails, as in the module.
        (0.0, math.nan, "All UCB scores NaN"),
        (0.0, math.inf, "All UCB scores NaN"),
    ],
)
def test_non_finite_logits_abandon_the_game_not_the_batch(
    policy_fill: float, value_fill: float, reason: str
) -> None:
    batch = new_batch(games=2, total=3)
    assert play_out(batch, policy_fill, value_fill) == []
    assert batch.done and batch.games_finished == batch.games_failed == 3
    assert batch.last_failure == reason
    assert batch.take_failed() == [reason] * 3 and batch.take_failed() == []


def test_games_answered_with_nan_fail_alone() -> None:
    batch = new_batch(games=3, total=6)
    records: list[Any] = []
    failed: list[str] = []
    while True:
        positions, slots = batch.step()
        records += batch.take_finished()
        failed += batch.take_failed()
        rows = memoryview(positions).shape[0]
        if rows == 0:
            break
        policy = array.array("f", [0.0]) * (rows * CELLS)
        for row, slot in enumerate(memoryview(slots).tolist()):
            if slot == 0:  # every game of slot 0 gets NaN logits
                policy[row * CELLS : (row + 1) * CELLS] = array.array("f", [math.nan] * CELLS)
        batch.complete(memoryview(policy).cast("B").cast("f", [rows, CELLS]), floats(rows, 4))
    assert batch.games_finished == 6 and 1 <= batch.games_failed < 6
    assert len(records) == 6 - batch.games_failed
    assert failed == ["assertion failed: visit_dist.len() > 0"] * batch.games_failed
    for history, _, payoff in records:
        assert replay(history).payoff() == payoff


CONFIG_ERRORS = [
    (dict(dim=20.0), TypeError, "failed to extract field Config.dim"),
    (dict(sims_per_move=-1), TypeError, "failed to extract field Config.sims_per_move"),
    (dict(c_base="x"), TypeError, "failed to extract field Config.c_base"),
    (dict(rep=3), ValueError, "Invalid representation type: rep must be 1 or 2, not 3"),
    (dict(dim=3), ValueError, "board side must be between 4 and"),
    (dict(dirichlet_alpha=0.0), ValueError, "dirichlet_alpha must be above 0"),
    (dict(dirichlet_alpha=math.nan), ValueError, "dirichlet_alpha must be above 0"),
]


@pytest.mark.parametrize("overrides, error, text", CONFIG_ERRORS)
def test_settings_the_module_refuses_are_refused(
    overrides: dict[str, Any], error: type[BaseException], text: str
) -> None:
    with pytest.raises(error) as raised:
        te.SelfPlayBatch(make_config(**overrides), games=2, total_games=2)
    assert text in str(raised.value)


@pytest.mark.parametrize(
    "arguments, error, text",
    [
        (dict(games=0, total_games=2), ValueError, "games must be at least 1, not 0"),
        (dict(games=-3, total_games=2), ValueError, "games must be at least 1, not -3"),
        (dict(games=2, total_games=0), ValueError, "total_games must be at least 1, not 0"),
        (dict(games=2.0, total_games=2), TypeError, ""),
        (dict(games=2, total_games=2, dtype="float64"), ValueError, '"float32" or "uint8"'),
        (dict(games=2, total_games=2, seed=-1), OverflowError, ""),
        (dict(games=2, total_games=2, seed="1"), TypeError, "seed must be None or an int"),
        (dict(games=2, total_games=2, fast_sims=-1), ValueError, "must not be negative"),
        (dict(games=2, total_games=2, full_search_share=1.5), ValueError, "between 0 and 1"),
        (dict(games=2, total_games=2, engine_opponents=math.nan), ValueError, "between 0 and 1"),
        (dict(games=2, total_games=2, engine_opponents="half"), TypeError, ""),
    ],
)
def test_batch_arguments_are_checked(
    arguments: dict[str, Any], error: type[BaseException], text: str
) -> None:
    with pytest.raises(error) as raised:
        te.SelfPlayBatch(make_config(dim=DIM), **arguments)
    assert text in str(raised.value)


def test_more_positions_than_memory_can_count_are_refused() -> None:
    with pytest.raises(ValueError, match="do not fit in memory"):
        te.SelfPlayBatch(make_config(dim=46340), games=2**40, total_games=2**40)
    with pytest.raises(ValueError, match="do not fit in memory"):
        te.MatchBatch(46340, 1, ["random"] * 4, games=2**40)


def test_missing_setting_raises_attribute_error() -> None:
    config = make_config()
    del config.exploration_fraction
    with pytest.raises(AttributeError):
        te.SelfPlayBatch(config, games=1, total_games=1)


def test_a_second_thread_is_refused_while_a_call_runs() -> None:
    batch = te.SelfPlayBatch(
        make_config(dim=20, sims_per_move=40), games=16, total_games=10**6, seed=1
    )
    stop = threading.Event()

    def worker() -> None:
        while not stop.is_set():
            try:
                positions, _ = batch.step()
                rows = memoryview(positions).shape[0]
                batch.complete(floats(rows, 400), floats(rows, 4))
            except (RuntimeError, ValueError):
                pass  # the main thread got in between

    thread = threading.Thread(target=worker)
    thread.start()
    refused = 0
    try:
        for attempt in range(20000):
            try:
                if attempt % 2:
                    batch.take_finished()
                else:
                    batch.last_failure  # noqa: B018 - state is read only between calls
            except RuntimeError as error:
                assert "in use by another call" in str(error)
                refused += 1
                if refused >= 4:
                    break
    finally:
        stop.set()
        thread.join()
    assert refused >= 4
    # Still sound afterwards.
    positions, _ = batch.step()
    rows = memoryview(positions).shape[0]
    batch.complete(floats(rows, 400), floats(rows, 4))


def scripted_answers(
    rows: int, slots: list[int], step: int
) -> tuple[array.array[float], array.array[float]]:
    """Answers that differ by row, slot and step, so that a row read from the wrong place or a
    stale step shows in the games."""
    policy = array.array(
        "f", [((cell * 7 + slot * 13 + step) % 11) / 3.0 for slot in slots for cell in range(CELLS)]
    )
    value = array.array("f", [((slot + step + j) % 5) / 2.0 for slot in slots for j in range(4)])
    assert len(policy) == rows * CELLS and len(value) == rows * 4
    return policy, value


def play_scripted(batch: Any, in_place: bool) -> list[Any]:
    """Plays the batch out with scripted answers, passed to complete() or written into the
    batch's own answer buffers through views taken once."""
    if in_place:
        policy_buffer, value_buffer = batch.answers()
        policy_view = memoryview(policy_buffer).cast("B").cast("f")
        value_view = memoryview(value_buffer).cast("B").cast("f")
    records: list[Any] = []
    step = 0
    while True:
        positions, slots = batch.step()
        records += batch.take_finished()
        rows = memoryview(positions).shape[0]
        if rows == 0:
            return records
        policy, value = scripted_answers(rows, memoryview(slots).tolist(), step)
        if in_place:
            policy_view[: rows * CELLS] = policy
            value_view[: rows * 4] = value
            batch.complete_from_answers()
        else:
            batch.complete(
                memoryview(policy).cast("B").cast("f", [rows, CELLS]),
                memoryview(value).cast("B").cast("f", [rows, 4]),
            )
        step += 1


def test_answers_written_into_the_batch_play_the_same_games() -> None:
    for seed in (3, 4):
        passed = play_scripted(new_batch(games=3, total=5, seed=seed), in_place=False)
        written = play_scripted(new_batch(games=3, total=5, seed=seed), in_place=True)
        assert len(passed) == 5 and written == passed


def test_answer_buffers_are_the_batch_s_own_and_stay_the_same() -> None:
    batch = new_batch(games=4, total=3)
    policy, value = batch.answers()
    assert batch.answers()[0] is policy and batch.answers()[1] is value
    for buffer, columns in ((policy, CELLS), (value, 4)):
        view = memoryview(buffer)
        assert view.format == "f" and not view.readonly and view.c_contiguous
        assert list(view.shape) == [3, columns]  # one row per slot in use
    # What the host writes is what the next complete_from_answers() reads.
    memoryview(value).cast("B").cast("f")[:4] = array.array("f", [1.0, 2.0, 3.0, 4.0])
    assert memoryview(batch.answers()[1]).tolist()[0] == [1.0, 2.0, 3.0, 4.0]


def test_complete_from_answers_is_refused_without_a_step_or_buffers() -> None:
    batch = new_batch(games=2, total=2)
    with pytest.raises(RuntimeError, match="no position waits"):
        batch.complete_from_answers()
    positions, _ = batch.step()
    rows = memoryview(positions).shape[0]
    with pytest.raises(RuntimeError, match=r"no answer buffers yet; take them with answers\(\)"):
        batch.complete_from_answers()
    assert batch.pending == rows  # nothing changed: the step can still be answered
    batch.answers()
    batch.complete_from_answers()
    assert batch.pending == 0
    with pytest.raises(RuntimeError, match="no position waits"):
        batch.complete_from_answers()  # answered twice
    assert play_out(batch) != [] and batch.games_failed == 0
