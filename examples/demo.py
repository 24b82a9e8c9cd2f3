"""A tour of vantle-bridge: a spiking network goes from the IR to PyTorch and runs.

Builds the IR graph Input -> Affine -> LIF -> Affine -> LIF -> Output with seeded
weights, stores it as a .vx2 file, reads it back, imports it as torch modules and
simulates 20 time steps with the graph executor, printing the spikes of each layer.
Then a small spiking object detector takes the same road and its detections are
filtered by non-maximum suppression. Last, a torch model with a spiking layer is
quantized to int8, exported to .vx2 and brought back; the round trip's largest
output difference is printed.
"""

from __future__ import annotations

import tempfile
from pathlib import Path

import numpy as np
import torch

from vantle import ir
from vantle.bridge import GraphExecutor
from vantle.bridge.import_ir import LIFModule, import_ir

from detector_demo import run_detector_demo
from export_demo import export_round_trip_demo

STEPS = 20
SIZES = (8, 16, 4)  # inputs, hidden neurons, output neurons


def lif_node(neurons: int, rng: np.random.Generator) -> ir.LIF:
    """LIF neurons with per-neuron time constants and thresholds."""
    return ir.LIF(
        tau=rng.uniform(2.0, 6.0, neurons).astype(np.float32),
        r=np.ones(neurons, dtype=np.float32),
        v_leak=np.zeros(neurons, dtype=np.float32),
        v_threshold=rng.uniform(0.3, 0.6, neurons).astype(np.float32),
    )


def affine_node(inputs: int, outputs: int, rng: np.random.Generator, gain: float = 1.0) -> ir.Affine:
    return ir.Affine(
        weight=rng.normal(0.0, gain / np.sqrt(inputs), (outputs, inputs)).astype(np.float32),
        bias=np.full(outputs, 0.1, dtype=np.float32),
    )


def build_graph(seed: int = 0) -> ir.Graph:
    rng = np.random.default_rng(seed)
    n_in, n_hidden, n_out = SIZES
    nodes = {
        "input": ir.Input(input_type={"input": np.array([n_in])}),
        "fc1": affine_node(n_in, n_hidden, rng),
        "lif1": lif_node(n_hidden, rng),
        "fc2": affine_node(n_hidden, n_out, rng, gain=4.0),
        "lif2": lif_node(n_out, rng),
        "output": ir.Output(output_type={"output": np.array([n_out])}),
    }
    names = list(nodes)
    return ir.Graph(nodes=nodes, edges=list(zip(names, names[1:])))


def spike_row(spikes: torch.Tensor) -> str:
    return "".join("|" if s else "." for s in spikes.flatten().tolist())


def run_spiking_demo(folder: Path) -> None:
    path = folder / "spiking_mlp.vx2"
    ir.write(path, build_graph())
    graph = ir.read(path)
    modules = import_ir(graph)
    executor = GraphExecutor(modules, graph.edges)
    print(f"wrote and re-read {path.name}: {len(graph.nodes)} nodes, {len(graph.edges)} edges")

    recorded: dict[str, torch.Tensor] = {}
    for name, module in modules.items():
        if isinstance(module, LIFModule):
            module.register_forward_hook(
                lambda _m, _inputs, output, name=name: recorded.__setitem__(name, output[0])
            )

    stimulus = torch.Generator().manual_seed(1)
    lif_layers = {n: m for n, m in modules.items() if isinstance(m, LIFModule)}
    lif_names = list(lif_layers)
    print(f"\nstep  {'  '.join(f'{n:<{lif_layers[n].tau.numel()}}' for n in lif_names)}")
    totals = dict.fromkeys(lif_names, 0)
    with torch.no_grad():
        for step in range(STEPS):
            executor(torch.rand(1, SIZES[0], generator=stimulus))
            rows = [spike_row(recorded[n]) for n in lif_names]
            for n in lif_names:
                totals[n] += int(recorded[n].sum())
            print(f"{step:>4}  {'  '.join(rows)}")
    executor.reset_state()
    print("\nspikes per layer over", STEPS, "steps:", totals)


def main() -> None:
    torch.manual_seed(0)
    with tempfile.TemporaryDirectory() as folder:
        run_spiking_demo(Path(folder))
        run_detector_demo(Path(folder))
        print()
        export_round_trip_demo(Path(folder), precision="int8")


if __name__ == "__main__":
    main()
