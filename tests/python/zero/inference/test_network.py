"""The network serves any board side with the module's output layout, and checkpoints rebuild it."""

from __future__ import annotations

import random
from pathlib import Path

import numpy as np
import pytest
import tessarin_engine
import torch

from tessarin_zero.inference.checkpoints import load_checkpoint, save_checkpoint
from tessarin_zero.inference.network import PolicyValueNet, mover_corner
from tessarin_zero.common.settings import NetworkSettings
from tessarin_zero.training.symmetry import EXACT_SYMMETRIES, transform_sample


@pytest.mark.parametrize("dim", [5, 8])
def test_outputs_per_cell_row_major_and_four_values(dim: int) -> None:
    torch.manual_seed(0)
    # No residual block: the policy logit of a cell only sees the 3 x 3 patch around it.
    model = PolicyValueNet(NetworkSettings(channels=4, blocks=0, canonical=False)).eval()
    planes = torch.zeros(2, 5, dim, dim)
    with torch.no_grad():
        policy, value = model(planes)
        assert policy.shape == (2, dim * dim) and value.shape == (2, 4)
        planes[1, 0, 0, dim - 1] = 1.0  # the top-right cell, tile dim - 1
        changed = (model(planes)[0] != policy).any(dim=0).nonzero().flatten().tolist()
    assert set(changed) <= {dim - 2, dim - 1, 2 * dim - 2, 2 * dim - 1} and dim - 1 in changed


def test_checkpoint_round_trip_replaces_atomically(tmp_path: Path) -> None:
    settings = NetworkSettings(channels=6, blocks=1)
    torch.manual_seed(1)
    model = PolicyValueNet(settings).eval()
    path = tmp_path / "nets" / "best.pt"
    save_checkpoint(path, PolicyValueNet(settings), iteration=0)
    save_checkpoint(path, model, iteration=3, losses={"policy": 1.5})

    loaded, metadata = load_checkpoint(path)
    assert loaded.settings == settings and not loaded.training
    assert metadata == {"iteration": 3, "losses": {"policy": 1.5}}
    planes = torch.rand(3, 5, 6, 6).round()
    with torch.no_grad():
        for mine, theirs in zip(model(planes), loaded(planes)):
            torch.testing.assert_close(mine, theirs)
    assert [p.name for p in path.parent.iterdir()] == ["best.pt"]


def test_canonical_view_finds_the_mover_and_answers_every_turn_alike() -> None:
    # Along random games the corner read from the planes is the seat to move; and since the
    # network turns every position to that corner, a quarter-turned sample (the seats relabelled
    # cyclically) gets the same values and the turned policy, which a network that did not turn
    # the position, or turned its policy back the wrong way, would not give.
    torch.manual_seed(2)
    model = PolicyValueNet(NetworkSettings(channels=6, blocks=1, canonical=True)).eval()
    plain = PolicyValueNet(NetworkSettings(channels=6, blocks=1, canonical=False)).eval()
    chooser = random.Random(4)
    for dim in (6, 7, 10):
        game, states, movers = tessarin_engine.Game(dim), [], []
        while not game.is_terminal():
            states.append(np.frombuffer(game.state(), np.uint8).reshape(5, dim, dim))
            movers.append(game.current_player)
            game.apply(chooser.choice(game.legal_tiles()))
        planes = np.stack(states).astype(np.float32)
        assert mover_corner(torch.from_numpy(planes)).argmax(dim=1).tolist() == movers
        with torch.no_grad():
            outputs = model.forward_with_ownership(torch.from_numpy(planes))
            policy, value, owners = (x.numpy() for x in outputs)
            for symmetry in EXACT_SYMMETRIES[1:]:
                turned, turned_policy, _ = transform_sample(symmetry, planes, policy, value)
                mine = [x.numpy() for x in model.forward_with_ownership(torch.from_numpy(turned))]
                np.testing.assert_allclose(mine[0], turned_policy, rtol=1e-4, atol=1e-5)
                np.testing.assert_allclose(mine[1], value, rtol=1e-4, atol=1e-5)
                np.testing.assert_allclose(mine[2], symmetry.board(owners), rtol=1e-4, atol=1e-5)
                theirs = plain(torch.from_numpy(turned))[1].numpy()
                assert not np.allclose(theirs, plain(torch.from_numpy(planes))[1].numpy())
