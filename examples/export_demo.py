"""Export a small spiking torch model to a .vx2 file and bring it back.

A convolutional front end feeds a dense layer of leaky integrate-and-fire neurons (snnTorch's
``Leaky`` when snnTorch is installed, else the bridge's own ``LIFModule``). The model is traced
and exported with ``export_ir``, written with ``ir.write``, read back, imported and run by the
graph executor. ``check_export`` compares model and graph node by node before the file is
written; the largest difference between the two runs' outputs is printed.

Run it on its own (``python examples/export_demo.py``) or call ``export_round_trip_demo()``.
"""

from __future__ import annotations

import tempfile
from pathlib import Path
from typing import Optional

import numpy as np
import torch
from torch import nn

from vantle import ir
from vantle.bridge import GraphExecutor
from vantle.bridge.export_ir import check_export, export_ir
from vantle.bridge.import_ir import LIFModule, import_ir
from vantle.bridge.quantize import QuantizationConfig, quantize

NEURONS = 10


def spiking_layer() -> nn.Module:
    """snnTorch's Leaky neurons when available, else the bridge's LIF neurons."""
    try:
        import snntorch
    except ImportError:
        tau = np.full(NEURONS, 5.0, dtype=np.float32)
        return LIFModule(tau, tau, np.zeros(NEURONS), np.full(NEURONS, 0.5))
    # The IR's LIF resets a neuron that fired to zero: the Leaky setting that exports exactly.
    return snntorch.Leaky(beta=0.8, threshold=0.5, reset_mechanism="zero")


class SpikingNet(nn.Module):
    """Conv -> BatchNorm -> ReLU -> pool -> flatten -> Linear -> leaky neurons (spikes out)."""

    def __init__(self) -> None:
        super().__init__()
        self.features = nn.Sequential(
            nn.Conv2d(1, 4, 3, padding=1), nn.BatchNorm2d(4), nn.ReLU(), nn.MaxPool2d(2),
            nn.Flatten(),
        )
        self.fc = nn.Linear(4 * 4 * 4, NEURONS)
        self.neurons = spiking_layer()

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        spikes, _membrane = self.neurons(self.fc(self.features(x)))
        return spikes


def export_round_trip_demo(folder: Optional[Path] = None, precision: Optional[str] = None) -> float:
    """Export, write, read, import and run the demo model; returns the largest output difference.

    With ``precision`` (e.g. "int8") the model's weights are quantized to that grid first,
    calibrated on a few inputs, and the exported nodes carry the precision metadata.
    """
    torch.manual_seed(0)
    model = SpikingNet().eval()
    if folder is None:
        with tempfile.TemporaryDirectory() as temporary:
            return export_round_trip_demo(Path(temporary), precision)

    if precision is not None:
        config = QuantizationConfig(default_precision=precision)
        quantize(model, config, calibration_data=[torch.randn(4, 1, 8, 8) for _ in range(4)])
        print(f"quantized the weights to {precision} (one scale per tensor)")
    graph = export_ir(model, torch.randn(1, 1, 8, 8), strict=True)
    report = check_export(model, graph, torch.randn(8, 1, 8, 8))
    first = report.first_mismatch
    print("checked node by node: " + ("agrees" if first is None else f"differs from {first.name!r}"))
    path = Path(folder) / "spiking_net.vx2"
    ir.write(str(path), graph)
    print(f"exported {type(model).__name__} ({type(model.neurons).__name__} neurons) to "
          f"{path.name}: {len(graph.nodes)} nodes")
    for name, node in graph.nodes.items():
        shape = node.output_type.get("output")
        if shape is None:  # an Input node describes its input only
            shape = node.input_type["input"]
        formats = "  ".join(
            f"{field}={getattr(node, field)}"
            for field in ("weight_t", "bias_t", "accum_t")
            if getattr(node, field, None) is not None
        )
        print(f"  {name:<12} {type(node).__name__:<12} {str(shape.tolist()):<12} {formats}")

    read_back = ir.read(str(path))
    executor = GraphExecutor(import_ir(read_back), read_back.edges)
    inputs = torch.randn(32, 1, 8, 8)
    with torch.no_grad():
        original, round_trip = model(inputs), executor(inputs)
    difference = float((original - round_trip).abs().max())
    print(f"round trip over {inputs.shape[0]} inputs: {int(original.sum())} spikes, "
          f"largest output difference {difference:g}")
    return difference


if __name__ == "__main__":
    export_round_trip_demo()
