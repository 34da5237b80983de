"""The network serves any board side with the module's output layout, and checkpoints rebuild it."""

from __future__ import annotations

from pathlib import Path

import pytest
import torch

from tessarin_zero.network import PolicyValueNet, load_checkpoint, save_checkpoint
from tessarin_zero.settings import NetworkSettings


@pytest.mark.parametrize("dim", [5, 8])
def test_outputs_per_cell_row_major_and_four_values(dim: int) -> None:
    torch.manual_seed(0)
    # No residual block: the policy logit of a cell only sees the 3 x 3 patch around it.
    model = PolicyValueNet(NetworkSettings(channels=4, blocks=0)).eval()
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
