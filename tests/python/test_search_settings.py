"""The exploration constants read from the configuration are the ones the search uses.

The scripted network gives every position exactly two children of equal prior (the two lowest
legal tiles; every other logit underflows to a prior of 0) and equal values, and the root noise
has weight 0. The first search's visit shares then depend only on the exploration term: with a
tiny one every simulation returns to the first child visited, with a huge one the visits
alternate between the two children.
"""

from __future__ import annotations

import pytest
import tessarin_self_play

from fakes import Position, Reply, make_host

SIMS = 16


def two_child_network(position: Position) -> Reply:
    policy = [-1000.0] * (position.dim * position.dim)
    for tile in sorted(position.legal)[:2]:
        policy[tile] = 0.0
    return policy, [0.0, 0.0, 0.0, 0.0]


@pytest.mark.parametrize(
    "c_base, c_init, shares",
    [
        # ln((1000 + N + 1) / 1000) + 0.001 stays below 0.02: the mean value decides.
        (1000.0, 0.001, [0.0, 1.0]),
        # ln((0.001 + N + 1) / 0.001) + 1000 is about 1000: the priors decide.
        (0.001, 1000.0, [0.5, 0.5]),
    ],
    ids=["exploit", "explore"],
)
def test_exploration_constants_reach_the_search(
    c_base: float, c_init: float, shares: list[float]
) -> None:
    host = make_host(
        two_child_network,
        dim=7,
        sims_per_move=SIMS,
        sample_moves=0,
        c_base=c_base,
        c_init=c_init,
        exploration_fraction=0.0,
    )
    status = tessarin_self_play.play_training_game(
        4, host.config, host.result_queue, host.inference_queue, host.pipe
    )
    assert status == 0
    [(_, (_, policies, _))] = host.result_queue.items
    first = policies[0]
    assert {tile for tile, _ in first} == set(sorted(host.positions()[0].legal)[:2])
    assert sorted(share for _, share in first) == shares
