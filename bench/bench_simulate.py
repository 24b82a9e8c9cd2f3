"""Simulating and training imported spiking networks against the same networks in snnTorch.

Two networks, each built once as an IR graph (imported and run by GraphExecutor) and once as
torch layers with snnTorch ``Leaky(reset_mechanism="zero")`` neurons carrying the same weights:

- mlp: 10 x (Linear 128 + LIF), batch 16, 50 steps;
- conv: Conv 2->16 3x3 + LIF + MaxPool 2, Conv 16->32 3x3 + LIF + MaxPool 2, Linear 512->10 +
  LIF, input 2x16x16, batch 16, 50 steps.

Timed in one run, one torch thread: inference (no grad) as a loop over steps in snnTorch, as
GraphExecutor steps and as one GraphExecutor.run over the whole sequence; and a BPTT training
step (forward over 25 steps, loss on the spike counts, backward) the same three ways. Where
SpikingJelly is installed, also its multi-step mode on the same layers, with
``LIFNode(tau=2, decay_input=False)``, which follows the same dynamics. Before timing, the
spikes of all are checked to be identical.

    .venv/bin/python bench/bench_simulate.py [--repeat 5]
"""

from __future__ import annotations

import argparse
import time
from typing import Callable, List, Optional, Sequence, Tuple

import numpy as np
import snntorch as snn
import torch
from torch import nn

try:
    from spikingjelly.activation_based import functional as sj_functional
    from spikingjelly.activation_based import layer as sj_layer
    from spikingjelly.activation_based import neuron as sj_neuron
except ImportError:  # the peer is optional
    sj_functional = None

import vantle.ir as ir
from vantle.bridge import GraphExecutor
from vantle.bridge.import_ir import import_ir

BETA = 0.5  # tau = r = 1 / (1 - beta) = 2: the IR's LIF then adds the input exactly
BATCH, STEPS, TRAIN_STEPS = 16, 50, 25


def lif_node(shape: Tuple[int, ...]) -> ir.LIF:
    tau = 1.0 / (1.0 - BETA)
    return ir.LIF(tau=np.full(shape, tau), r=np.full(shape, tau), v_leak=np.zeros(shape),
                  v_threshold=np.ones(shape))


def leaky() -> snn.Leaky:
    return snn.Leaky(beta=BETA, reset_mechanism="zero")


class SnnNet(nn.Module):
    """Layers in order; every Leaky keeps its membrane in the caller's list."""

    def __init__(self, layers: Sequence[nn.Module]) -> None:
        super().__init__()
        self.layers = nn.ModuleList(layers)

    def init_state(self) -> List[torch.Tensor]:
        return [layer.init_leaky() for layer in self.layers if isinstance(layer, snn.Leaky)]

    def forward(self, x: torch.Tensor, mems: List[torch.Tensor]) -> torch.Tensor:
        neuron = 0
        for layer in self.layers:
            if isinstance(layer, snn.Leaky):
                x, mems[neuron] = layer(x, mems[neuron])
                neuron += 1
            else:
                x = layer(x)
        return x


def with_weights(layer: nn.Module, node: ir.Node) -> nn.Module:
    with torch.no_grad():
        layer.weight.copy_(torch.from_numpy(node.weight))
        layer.bias.copy_(torch.from_numpy(node.bias))
    return layer


def chain_graph(nodes: List[Tuple[str, ir.Node]], in_shape: Sequence[int]) -> ir.Graph:
    names = ["input"] + [name for name, _ in nodes] + ["output"]
    all_nodes = {"input": ir.Input(input_type={"input": np.array(in_shape)}), **dict(nodes),
                 "output": ir.Output()}
    return ir.Graph(nodes=all_nodes, edges=list(zip(names, names[1:])))


def mlp(rng: np.random.Generator) -> Tuple[ir.Graph, SnnNet, Tuple[int, ...]]:
    width, nodes, layers = 128, [], []
    for i in range(10):
        fc = ir.Affine(weight=(rng.standard_normal((width, width)) * 0.2).astype(np.float32),
                       bias=(rng.standard_normal(width) * 0.2 + 0.2).astype(np.float32))
        nodes += [(f"fc{i}", fc), (f"lif{i}", lif_node((width,)))]
        layers += [with_weights(nn.Linear(width, width), fc), leaky()]
    return chain_graph(nodes, (width,)), SnnNet(layers), (width,)


def conv_node(rng: np.random.Generator, c_out: int, c_in: int) -> ir.Conv2d:
    scale = 1.5 / np.sqrt(c_in * 9)
    return ir.Conv2d(weight=(rng.standard_normal((c_out, c_in, 3, 3)) * scale).astype(np.float32),
                     bias=np.full(c_out, 0.1, np.float32), stride=1, padding=1, dilation=1,
                     groups=1)


def conv(rng: np.random.Generator) -> Tuple[ir.Graph, SnnNet, Tuple[int, ...]]:
    c1, c2 = conv_node(rng, 16, 2), conv_node(rng, 32, 16)
    fc = ir.Affine(weight=(rng.standard_normal((10, 512)) * 0.1).astype(np.float32),
                   bias=np.full(10, 0.2, np.float32))
    pool = dict(kernel_size=2, stride=2, padding=0, dilation=1, ceil_mode=False)
    nodes = [("conv1", c1), ("lif1", lif_node((16, 16, 16))), ("pool1", ir.MaxPool2d(**pool)),
             ("conv2", c2), ("lif2", lif_node((32, 8, 8))), ("pool2", ir.MaxPool2d(**pool)),
             ("flat", ir.Flatten(start_dim=0, end_dim=-1)), ("fc", fc), ("lif3", lif_node((10,)))]
    layers = [with_weights(nn.Conv2d(2, 16, 3, padding=1), c1), leaky(), nn.MaxPool2d(2),
              with_weights(nn.Conv2d(16, 32, 3, padding=1), c2), leaky(), nn.MaxPool2d(2),
              nn.Flatten(), with_weights(nn.Linear(512, 10), fc), leaky()]
    return chain_graph(nodes, (2, 16, 16)), SnnNet(layers), (2, 16, 16)


def spikingjelly_net(net: SnnNet) -> Optional[nn.Module]:
    """The same layers (weights shared) in SpikingJelly's multi-step mode, or None."""
    if sj_functional is None:
        return None
    layers: List[nn.Module] = []
    for module in net.layers:
        if isinstance(module, snn.Leaky):
            layers.append(sj_neuron.LIFNode(tau=1.0 / (1.0 - BETA), decay_input=False,
                                            v_threshold=1.0, v_reset=0.0))
        else:
            layers.append(sj_layer.SeqToANNContainer(module))
    multi = nn.Sequential(*layers)
    sj_functional.set_step_mode(multi, "m")
    return multi


# --- the ways to run a sequence ---------------------------------------------------------------


def snn_loop(net: SnnNet, x_seq: torch.Tensor) -> torch.Tensor:
    mems = net.init_state()
    return torch.stack([net(x, mems) for x in x_seq])


def stepped(executor: GraphExecutor, x_seq: torch.Tensor) -> torch.Tensor:
    executor.reset_state()
    return torch.stack([executor(x) for x in x_seq])


def sequence(executor: GraphExecutor, x_seq: torch.Tensor) -> torch.Tensor:
    executor.reset_state()
    return executor.run(x_seq)


def multi_step(net: nn.Module, x_seq: torch.Tensor) -> torch.Tensor:
    sj_functional.reset_net(net)
    return net(x_seq)


def training_step(run: Callable[[torch.Tensor], torch.Tensor], params: List[nn.Parameter],
                  x_seq: torch.Tensor, target: torch.Tensor) -> None:
    for p in params:
        p.grad = None
    counts = run(x_seq).sum(0)
    nn.functional.mse_loss(counts, target).backward()


def best(fn: Callable[[], object], repeat: int) -> float:
    fn()  # warm-up
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


Row = Tuple[str, float, float, float, Optional[float]]


def bench(name: str, build: Callable, repeat: int) -> List[Row]:
    graph, net, in_shape = build(np.random.default_rng(0))
    executor = GraphExecutor(import_ir(graph), graph.edges)
    peer = spikingjelly_net(net)
    x_seq = (torch.rand(STEPS, BATCH, *in_shape) < 0.5).float() * 2.0

    ways: List[Callable[[torch.Tensor], torch.Tensor]] = [
        lambda x: snn_loop(net, x), lambda x: stepped(executor, x),
        lambda x: sequence(executor, x)]
    labels = ["GraphExecutor stepping", "GraphExecutor run"]
    if peer is not None:
        ways.append(lambda x: multi_step(peer, x))
        labels.append("SpikingJelly multi-step")
    with torch.no_grad():
        reference = ways[0](x_seq)
        for label, way in zip(labels, ways[1:]):
            if not torch.equal(way(x_seq), reference):
                raise SystemExit(f"{name}: {label} spikes differ from snnTorch")
        activity = reference.mean().item()

    def padded(times: List[float]) -> Row:
        return (label, *times[:3], times[3] if len(times) > 3 else None)  # type: ignore

    with torch.no_grad():
        label = f"{name} inference, {STEPS} steps"
        inference = padded([best(lambda: way(x_seq), repeat) for way in ways])

    short = x_seq[:TRAIN_STEPS]
    target = torch.full(reference.shape[1:], TRAIN_STEPS * 0.2)
    params = [list(net.parameters()), list(executor.parameters()), list(executor.parameters()),
              list(net.parameters())]
    label = f"{name} BPTT train step, {TRAIN_STEPS} steps"
    training = padded([best(lambda: training_step(way, weights, short, target), repeat)
                       for way, weights in zip(ways, params)])
    print(f"{name}: spikes identical in all {len(ways)} (mean activity {activity:.3f})")
    return [inference, training]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    torch.set_num_threads(1)
    torch.manual_seed(0)
    print(f"torch {torch.__version__}, snntorch {snn.__version__}, "
          f"torch threads {torch.get_num_threads()} (set to 1 for the comparison), batch {BATCH}")
    rows = bench("mlp", mlp, args.repeat) + bench("conv", conv, args.repeat)
    print(f"{'':34} {'snnTorch':>10} {'stepping':>10} {'run':>10} {'SJ multi':>10} "
          f"{'step x':>8} {'run x':>8} {'run/SJ x':>9}")
    for label, snn_time, step_time, run_time, peer_time in rows:
        peer = (f"{peer_time * 1e3:>8.2f}ms" if peer_time else f"{'-':>10}",
                f"{peer_time / run_time:>8.2f}x" if peer_time else f"{'-':>9}")
        print(f"{label:34} {snn_time * 1e3:>8.2f}ms {step_time * 1e3:>8.2f}ms "
              f"{run_time * 1e3:>8.2f}ms {peer[0]} {snn_time / step_time:>7.2f}x "
              f"{snn_time / run_time:>7.2f}x {peer[1]}")
    print("step x / run x: snnTorch time over GraphExecutor stepping / GraphExecutor.run; "
          "run/SJ x: SpikingJelly multi-step time over GraphExecutor.run")


if __name__ == "__main__":
    main()
