"""Two processes with torch.distributed (gloo, CPU): an imported graph trains under
DistributedDataParallel exactly as one process on the combined batch, and calibration
gives every rank the ranges of all the data."""

from __future__ import annotations

import os
import time
from datetime import timedelta

import numpy as np
import pytest
import torch
import torch.distributed as dist
import torch.multiprocessing as mp
from torch import nn

from vantle import ir
from vantle.bridge import GraphExecutor
from vantle.bridge.import_ir import import_ir
from vantle.bridge.quantize import QuantizationConfig, _collect_statistics

pytestmark = pytest.mark.skipif(not dist.is_available(), reason="needs torch.distributed")

RANKS, STEPS, BATCH = 2, 6, 4
# Both ranks finish in seconds (a minute under the sanitizers); a rank that waits far longer is
# stuck (an unreachable peer, a lock held across fork) and fails the test instead of holding
# the whole run.
DEADLINE_S = 300


def spiking_graph() -> ir.Graph:
    rng = np.random.default_rng(0)
    dense = lambda n_in, n_out: ir.Affine(  # noqa: E731
        weight=rng.normal(size=(n_out, n_in)).astype(np.float32),
        bias=rng.normal(size=n_out).astype(np.float32))
    return ir.Graph(
        nodes={
            "input": ir.Input(input_type={"input": np.array([5])}),
            "fc1": dense(5, 8),
            "lif": ir.LIF(tau=np.full(8, 4.0), r=np.full(8, 4.0), v_leak=np.zeros(8),
                          v_threshold=np.full(8, 0.5)),
            "fc2": dense(8, 3),
            "output": ir.Output(output_type={"output": np.array([3])}),
        },
        edges=[("input", "fc1"), ("fc1", "lif"), ("lif", "fc2"), ("fc2", "output")],
    )


class OverTime(nn.Module):
    """The imported graph stepped over a time-major sequence; the summed outputs."""

    def __init__(self) -> None:
        super().__init__()
        graph = spiking_graph()
        # Double precision: the two runs sum gradients in a different order, and in
        # float32 that may flip a spike at the threshold after an update.
        self.graph = GraphExecutor(import_ir(graph), graph.edges).double()

    def forward(self, sequence: torch.Tensor) -> torch.Tensor:
        self.graph.reset_state()
        return torch.stack([self.graph(x_t) for x_t in sequence]).sum(0)


def data() -> torch.Tensor:
    generator = torch.Generator().manual_seed(1)
    return torch.rand(STEPS, RANKS * BATCH, 5, generator=generator, dtype=torch.float64) * 2


def train(model: nn.Module, sequence: torch.Tensor) -> None:
    optimiser = torch.optim.SGD(model.parameters(), lr=0.1)
    for _ in range(3):
        optimiser.zero_grad()
        model(sequence).pow(2).mean().backward()
        optimiser.step()


def calibration_batches() -> list:
    generator = torch.Generator().manual_seed(2)
    return [torch.randn(BATCH, 5, generator=generator) * (i + 1) for i in range(2 * RANKS)]


def calibration_model() -> nn.Module:
    torch.manual_seed(3)
    return nn.Sequential(nn.Linear(5, 6), nn.ReLU(), nn.Linear(6, 2))


def rank_main(rank: int, init_file: str, results: str) -> None:
    # Both ranks run here: loopback, where older torch releases would look up the host's name
    # for an interface and may wait on it.
    os.environ.setdefault("GLOO_SOCKET_IFNAME", "lo")
    dist.init_process_group("gloo", init_method=f"file://{init_file}", rank=rank,
                            world_size=RANKS, timeout=timedelta(seconds=DEADLINE_S))
    try:
        model = nn.parallel.DistributedDataParallel(OverTime())
        share = data()[:, rank * BATCH:(rank + 1) * BATCH]
        train(model, share)
        config = QuantizationConfig(calibration_method="percentile", percentile=90.0)
        stats = _collect_statistics(calibration_model(), calibration_batches()[rank::RANKS],
                                    config)
        torch.save({"state": model.module.state_dict(), "stats": stats},
                   os.path.join(results, f"rank{rank}.pt"))
    finally:
        dist.destroy_process_group()


def test_training_and_calibration_across_two_processes(tmp_path):
    # spawn, not fork: forking a process whose torch already runs threads may leave a lock
    # held in the child for good
    context = mp.start_processes(rank_main, args=(str(tmp_path / "init"), str(tmp_path)),
                                 nprocs=RANKS, start_method="spawn", join=False)
    deadline = time.monotonic() + DEADLINE_S
    while not context.join(timeout=1):
        if time.monotonic() > deadline:
            for process in context.processes:
                process.kill()
            pytest.fail(f"the ranks did not finish within {DEADLINE_S} s")
    ranks = [torch.load(tmp_path / f"rank{r}.pt") for r in range(RANKS)]

    alone = OverTime()
    train(alone, data())
    for name, value in alone.state_dict().items():
        for result in ranks:
            torch.testing.assert_close(result["state"][name], value, rtol=1e-9, atol=1e-12)
    assert not torch.equal(alone.state_dict()["graph.fc1.weight"],
                           OverTime().state_dict()["graph.fc1.weight"])  # it did train

    config = QuantizationConfig(calibration_method="percentile", percentile=90.0)
    everything = _collect_statistics(calibration_model(), calibration_batches(), config)
    assert set(everything) == {"0", "1", "2"}
    for result in ranks:
        assert result["stats"] == everything
