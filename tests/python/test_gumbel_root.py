"""The Gumbel root through both modules: the worker module reads it from the configuration only
where the object has it, and the training game, SelfPlayBatch and MatchBatch search with it. Its
completed-Q target, unlike visit shares, gives every legal tile a share above 0, those its few
simulations never visited included."""

from __future__ import annotations

import math
from typing import Any

import pytest
import tessarin_engine as te

from fakes import CONFIG_FIELDS, RecordingConfig, make_config, make_host, random_network
from test_config import PREFIX, stop_of
from test_self_play_batch import CELLS, DIM, floats
from test_training_game import WORKER_ID, check_record, play_training

SIMS = 6


def zero_shares(policies: list[list[tuple[int, float]]]) -> int:
    """Shares of 0: tiles a search never visited, which only visit shares leave at 0."""
    return sum(1 for policy in policies for _, share in policy if share == 0.0)


def uneven_answers(rows: int) -> tuple[memoryview, memoryview]:
    """The same uneven logits for every position: some tiles favoured, values far apart."""
    policy = floats(rows, CELLS)
    value = floats(rows, 4)
    for row in range(rows):
        for cell in range(CELLS):
            policy[row, cell] = float((cell * 7) % 5)
        for entry, logit in enumerate((0.0, 1.5, -1.0, 0.5)):
            value[row, entry] = logit
    return policy, value


def play_batch(batch: Any) -> list[Any]:
    """Steps `batch` to its end with uneven answers; the finished items in the order they came."""
    finished: list[Any] = []
    while True:
        step = batch.step()
        finished += batch.take_finished()
        rows = memoryview(step[0]).shape[0]
        if rows == 0:
            assert batch.take_failed() == []
            return finished
        batch.complete(*uneven_answers(rows))


def gumbel_batch(**keywords: Any) -> Any:
    config = make_config(dim=DIM, sims_per_move=SIMS, sample_moves=4)
    return te.SelfPlayBatch(config, games=2, total_games=3, seed=11, **keywords)


def test_the_training_game_reads_the_setting_only_where_the_configuration_has_it(
    worker_stop: type[BaseException], capsys: pytest.CaptureFixture[str]
) -> None:
    # A configuration that logs its reads through __getattr__ is read as before: eight fields.
    host = make_host(random_network(3), dim=DIM, sims_per_move=SIMS)
    host.config = RecordingConfig(dim=DIM, sims_per_move=SIMS)
    assert play_training(host) == 0
    assert host.config.reads == list(CONFIG_FIELDS)
    [visits] = host.result_queue.items
    assert zero_shares(visits[1][1]) > 0

    host = make_host(random_network(3), dim=DIM, sims_per_move=SIMS, root_search="gumbel")
    assert play_training(host) == 0
    [record] = host.result_queue.items
    check_record(record, WORKER_ID)
    assert zero_shares(record[1][1]) == 0

    for bad, cause in (
        (dict(root_search="alphazero"), "root_search must be"),
        (dict(root_search=1), "failed to extract field Config.root_search"),
        (dict(root_search="gumbel", gumbel_considered=0), "gumbel_considered must be at least 1"),
        (dict(gumbel_considered=-2), "failed to extract field Config.gumbel_considered"),
    ):
        message = stop_of("play_training_game", make_config(**bad), worker_stop, capsys)
        assert message.startswith(PREFIX) and cause in message


def test_self_play_batch_records_completed_q_targets_and_is_seeded() -> None:
    first = play_batch(gumbel_batch(root_search="gumbel", gumbel_considered=4))
    again = play_batch(gumbel_batch(root_search="gumbel", gumbel_considered=4))
    puct = play_batch(gumbel_batch())
    assert first == again and len(first) == 3
    assert first != puct
    for history, policies, _ in first:
        for policy in policies:
            assert math.isclose(sum(share for _, share in policy), 1.0, abs_tol=1e-5)
        assert zero_shares(policies) == 0
    assert all(zero_shares(policies) > 0 for _, policies, _ in puct)


def test_match_batch_searches_from_a_gumbel_root_and_is_seeded() -> None:
    def games(**keywords: Any) -> list[Any]:
        batch = te.MatchBatch(DIM, 1, [0, "random", 0, "heuristic"], 4, 8, seed=5, **keywords)
        return [(list(result[0]), bytes(memoryview(result[4]))) for result in play_batch(batch)]

    gumbel = games(root_search="gumbel", gumbel_considered=3)
    assert len(gumbel) == 4
    assert gumbel == games(root_search="gumbel", gumbel_considered=3)
    assert gumbel != games()


@pytest.mark.parametrize(
    "keywords, error",
    [
        (dict(root_search="mcts"), ValueError),
        (dict(root_search=None), TypeError),
        (dict(gumbel_considered=0), ValueError),
        (dict(gumbel_considered=-1), ValueError),
        (dict(gumbel_considered=2**70), OverflowError),
    ],
)
def test_batches_refuse_invalid_settings(keywords: dict[str, Any], error: type[Exception]) -> None:
    with pytest.raises(error):
        gumbel_batch(**keywords)
    with pytest.raises(error):
        te.MatchBatch(DIM, 1, [0, 0, 0, 0], 4, 8, **keywords)
