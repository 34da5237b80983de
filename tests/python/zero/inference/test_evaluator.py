"""The batch evaluator and the inference server answer what the network answers, on real
positions, for every inference path."""

from __future__ import annotations


import numpy as np
import pytest
import torch
from torch import nn

from networks import real_positions, trained_like
from servers import make_server, recv
from tessarin_zero.inference.evaluator import INFERENCE_PATHS, BatchEvaluator, fold_batch_norms
from tessarin_zero.inference.network import PolicyValueNet
from tessarin_zero.inference.network import NetworkFactory
from tessarin_zero.common.settings import NetworkSettings, ServerSettings


@pytest.fixture(scope="module", params=[False, True], ids=["plain", "canonical"])
def model(request: pytest.FixtureRequest) -> PolicyValueNet:
    return trained_like(NetworkSettings(canonical=request.param))


@pytest.mark.parametrize("path", INFERENCE_PATHS)
@pytest.mark.parametrize("channels_last", [False, True])
def test_every_path_answers_the_network_on_real_positions(
    model: PolicyValueNet, path: str, channels_last: bool
) -> None:
    evaluator = BatchEvaluator(model, path=path, channels_last=channels_last)
    for dim, count in [(5, 3), (7, 40), (20, 9)]:  # the ONNX graph was exported at side 7
        positions = real_positions(dim, count, channels_last)
        planes = torch.from_numpy(positions.astype(np.float32))
        if channels_last:
            planes = planes.permute(0, 3, 1, 2)
        with torch.no_grad():
            expected = [output.numpy() for output in model(planes.contiguous())]
        for given in (positions, positions.astype(np.float32), positions.view(np.bool_)):
            policy, value = evaluator(given)
            for mine, theirs in zip((policy, value), expected):
                assert mine.dtype == np.float32 and mine.flags.c_contiguous
                assert mine.shape == theirs.shape
                np.testing.assert_allclose(mine, theirs, rtol=1e-4, atol=1e-5)


def test_folding_removes_every_batch_norm_and_keeps_the_original(model: PolicyValueNet) -> None:
    before = {name: tensor.clone() for name, tensor in model.state_dict().items()}
    folded = fold_batch_norms(model)
    assert not any(isinstance(m, nn.BatchNorm2d) for m in folded.modules())
    assert all(torch.equal(before[name], t) for name, t in model.state_dict().items())
    assert any(isinstance(m, nn.BatchNorm2d) for m in model.modules())


@pytest.mark.parametrize("path", ["onnx", "fused"])
def test_bad_positions_are_refused_with_the_expected_layout(
    model: PolicyValueNet, path: str
) -> None:
    first = BatchEvaluator(model, path=path)
    last = BatchEvaluator(model, path=path, channels_last=True)
    good = real_positions(7, 2, channels_last=False)
    cases = [
        (first, good.astype(np.int64), "uint8 or float32"),
        (first, good.astype(np.float64), "uint8 or float32"),
        (first, good[0], r"\[B, 5, dim, dim\]"),
        (first, good[:0], r"\[B, 5, dim, dim\]"),
        (first, good[:, :4], r"\[B, 5, dim, dim\]"),
        (first, good[:, :, :6], r"\[B, 5, dim, dim\]"),
        (last, good, r"\[B, dim, dim, 5\]"),
    ]
    for evaluator, positions, expected in cases:
        with pytest.raises(ValueError, match=expected):
            evaluator(positions)
    with pytest.raises(ValueError, match="unknown inference path 'fast'"):
        BatchEvaluator(model, path="fast")


@pytest.mark.parametrize("path, channels_last", [("onnx", True), ("fused", False)])
def test_the_server_answers_with_the_network_through_its_path(
    model: PolicyValueNet, path: str, channels_last: bool
) -> None:
    settings = ServerSettings(max_batch=4, max_wait_ms=50.0, inference=path)
    factory = NetworkFactory.of(model, model.settings)
    server, (requests,), ends = make_server([0, 1], [factory], settings, channels_last)
    positions = real_positions(7, 2, channels_last)
    planes = torch.from_numpy(positions.astype(np.float32))
    if channels_last:
        planes = planes.permute(0, 3, 1, 2).contiguous()
    with torch.no_grad():
        policy, value = model(planes)
    with server:
        for worker in (0, 1):
            requests.put((worker, positions[worker].astype(bool)))
        for worker in (0, 1):
            mine_policy, mine_value = recv(ends[worker])
            np.testing.assert_allclose(mine_policy, policy[worker].numpy(), rtol=1e-4, atol=1e-5)
            np.testing.assert_allclose(mine_value, value[worker].numpy(), rtol=1e-4, atol=1e-5)
