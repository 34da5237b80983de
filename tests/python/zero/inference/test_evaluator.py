"""The batch evaluator and the inference server answer what the network answers, on real
positions, for every float32 inference path; the low-precision paths stay close to it."""

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


FLOAT32_PATHS = ("onnx", "fused", "eager")


def test_every_inference_path_is_tried() -> None:
    assert set(INFERENCE_PATHS) == {*FLOAT32_PATHS, *LOW_PRECISION}


@pytest.mark.parametrize("path", FLOAT32_PATHS)
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


LOW_PRECISION = {  # path: least top-1 agreement, largest prior and value errors
    "int8": (0.9, 0.15, 0.05),
    "bf16": (0.95, 0.05, 0.05),
}


def softmax(logits: np.ndarray, mask: np.ndarray | None = None) -> np.ndarray:
    if mask is not None:
        logits = np.where(mask, logits, -np.inf)
    shifted = np.exp(logits - logits.max(axis=1, keepdims=True))
    result: np.ndarray = shifted / shifted.sum(axis=1, keepdims=True)
    return result


@pytest.mark.parametrize("path", sorted(LOW_PRECISION))
def test_low_precision_paths_stay_close_to_float32(path: str) -> None:
    # A trained network's priors are peaked (the best tile near half the mass), where rounding
    # can move the best tile; the batch norms' statistics are far from a fresh network's.
    model = trained_like(NetworkSettings())
    with torch.no_grad():
        model.policy_head[-1].weight.mul_(30.0)
        model.value_mlp[-1].weight.mul_(3.0)
    least_agreement, prior_error, value_error = LOW_PRECISION[path]
    reference = BatchEvaluator(model, path="onnx")
    for dim, count in [(5, 60), (7, 200), (20, 120)]:
        planes = real_positions(dim, count, channels_last=False)
        legal = planes[:, 4].reshape(count, -1) > 0
        low = BatchEvaluator(model, path=path, dim=dim)
        policy, value = low(planes)
        expected_policy, expected_value = reference(planes)
        priors, expected = softmax(policy, legal), softmax(expected_policy, legal)
        assert (priors.argmax(1) == expected.argmax(1)).mean() >= least_agreement, dim
        assert np.abs(priors - expected).max() <= prior_error, dim
        assert np.abs(softmax(value) - softmax(expected_value)).max() <= value_error, dim


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
