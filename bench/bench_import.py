"""import_ir on a 1,000-node graph against the same conversion written plainly in Python (and
against itself without the checks of the nodes' fields), and on a large graph against copying
its weights.

Most of the time of the small graph goes into building the torch layers themselves, which both
sides do alike; the figure to read is the time per node and the ratio. On the large graph (40
Conv2d 256x256x3x3, 23.6M parameters) the figure to read is import_ir's time over that of
converting the node arrays to float32 tensors, which any import has to do.

    .venv/bin/python bench/bench_import.py
"""

from __future__ import annotations

import time
from typing import Any, Callable, Dict, Optional

import numpy as np
from torch import nn

import vantle.ir as ir
from vantle.bridge import import_ir as imp
from vantle.bridge.utils import to_tuple

NODES = 1_000


def loaded(layer: nn.Module, node: Any, *names: str) -> nn.Module:
    import torch

    for name in names:
        getattr(layer, name).data = torch.from_numpy(getattr(node, name).astype(np.float32))
    return layer


def conv2d(n: Any) -> nn.Module:
    groups = int(n.groups)
    layer = nn.Conv2d(n.weight.shape[1] * groups, n.weight.shape[0],
                      (n.weight.shape[2], n.weight.shape[3]),
                      stride=to_tuple(n.stride, (1, 1), "stride"),
                      padding=to_tuple(n.padding, (0, 0), "padding"),
                      dilation=to_tuple(n.dilation, (1, 1), "dilation"), groups=groups)
    return loaded(layer, n, "weight", "bias")


def max_pool(n: Any) -> nn.Module:
    k = to_tuple(n.kernel_size, (2, 2), "kernel_size")
    s = None if n.stride is None else to_tuple(n.stride, k, "stride")
    return nn.MaxPool2d(kernel_size=k, stride=s, padding=to_tuple(n.padding, (0, 0), "padding"),
                        dilation=to_tuple(n.dilation, (1, 1), "dilation"),
                        ceil_mode=bool(n.ceil_mode))


def batch_norm(layer: type) -> Callable[[Any], nn.Module]:
    def build(n: Any) -> nn.Module:
        module = layer(n.num_features, eps=n.eps, momentum=n.momentum)
        return loaded(module, n, "weight", "bias", "running_mean", "running_var").eval()
    return build


def not_in_this_graph(n: Any) -> nn.Module:
    raise AssertionError(f"{type(n).__name__} is not part of the benchmark graph")


# The chain in its fixed order; kinds the benchmark graph does not use still cost their test.
CHAIN: list[tuple[str, Callable[[Any], nn.Module]]] = [
    ("Input", lambda n: nn.Identity()),
    ("Output", lambda n: nn.Identity()),
    ("Affine", lambda n: loaded(nn.Linear(n.weight.shape[1], n.weight.shape[0]), n, "weight",
                                "bias")),
    ("SpikingAffine", not_in_this_graph),
    ("Conv1d", not_in_this_graph),
    ("Conv2d", conv2d),
    ("Flatten", lambda n: nn.Flatten(start_dim=n.start_dim + 1, end_dim=n.end_dim)),
    ("MaxPool2d", max_pool),
    ("AvgPool2d", not_in_this_graph),
    ("SepConv2d", not_in_this_graph),
    ("Skip", lambda n: imp.SkipModule(n.skip_type)),
    ("ChannelSplit", lambda n: imp.ChannelSplitModule(n.split_sections, dim=n.dim + 1)),
    ("Concat", lambda n: imp.ConcatModule(n.num_inputs, dim=n.dim + 1)),
    ("LIF", lambda n: imp.LIFModule(n.tau, n.r, n.v_leak, n.v_threshold)),
    ("Upsample", not_in_this_graph),
    ("SGhostConv", not_in_this_graph),
    ("SGhostEncoderLite", not_in_this_graph),
    ("GhostBasicBlock1", not_in_this_graph),
    ("GhostBasicBlock2", not_in_this_graph),
    ("SDDetect", not_in_this_graph),
    ("DFLDecode", not_in_this_graph),
    ("Dist2BBox", not_in_this_graph),
    ("NMS", lambda n: imp.NMSModule(n.score_threshold, n.iou_threshold, n.max_detections)),
    ("ReLU", lambda n: nn.LeakyReLU(negative_slope=n.negative_slope) if n.negative_slope > 0
     else nn.ReLU()),
    ("Sigmoid", lambda n: nn.Sigmoid()),
    ("Tanh", not_in_this_graph),
    ("Softmax", not_in_this_graph),
    ("GELU", not_in_this_graph),
    ("ELU", not_in_this_graph),
    ("PReLU", not_in_this_graph),
    ("BatchNorm1d", batch_norm(nn.BatchNorm1d)),
    ("BatchNorm2d", batch_norm(nn.BatchNorm2d)),
    ("LayerNorm", not_in_this_graph),
    ("Dropout", lambda n: nn.Dropout(p=n.p)),
    ("HybridRegion", lambda n: nn.Identity()),
]


def python_node_to_module(node: Any) -> Optional[nn.Module]:
    for name, build in CHAIN:
        cls = getattr(ir, name, None)
        if cls is not None and isinstance(node, cls):
            return build(node)
    return None


def python_import(graph: ir.Graph) -> Dict[str, nn.Module]:
    modules = {}
    for name, node in graph.nodes.items():
        module = python_node_to_module(node)
        if module is not None:
            modules[name] = module
    return modules


def block(rng: np.random.Generator, index: int) -> Dict[str, ir.Node]:
    """Ten nodes of a small convolutional block, with routing and a spiking layer."""
    channels = 8
    w = lambda *shape: rng.standard_normal(shape)  # noqa: E731
    return {
        f"conv{index}": ir.Conv2d(weight=w(channels, channels, 3, 3), bias=w(channels), stride=1,
                                  padding=1, dilation=1, groups=1),
        f"bn{index}": ir.BatchNorm2d(num_features=channels, weight=w(channels), bias=w(channels),
                                     running_mean=w(channels), running_var=w(channels) ** 2),
        f"relu{index}": ir.ReLU(negative_slope=0.0),
        f"split{index}": ir.ChannelSplit(split_sections=(4, 4), dim=0),
        f"sig{index}": ir.Sigmoid(),
        f"cat{index}": ir.Concat(num_inputs=2, dim=0),
        f"skip{index}": ir.Skip(skip_type="residual"),
        f"lif{index}": ir.LIF(tau=np.full(8, 2.0), r=np.ones(8), v_leak=np.zeros(8),
                              v_threshold=np.ones(8)),
        f"pool{index}": ir.MaxPool2d(kernel_size=2, stride=None, padding=0, dilation=1),
        f"drop{index}": ir.Dropout(p=0.1),
    }


def make_graph() -> ir.Graph:
    rng = np.random.default_rng(0)
    nodes: Dict[str, ir.Node] = {}
    for index in range(NODES // 10):
        nodes.update(block(rng, index))
    return ir.Graph(nodes=nodes, edges=[])


def best_times(runs: list[Callable[[], object]], rounds: int = 15) -> list[float]:
    """Fastest time of each run, taking turns so that load on the machine hits all alike."""
    best = [float("inf")] * len(runs)
    for _ in range(rounds):
        for position, run in enumerate(runs):
            start = time.perf_counter()
            result = run()
            best[position] = min(best[position], time.perf_counter() - start)
            del result  # freeing what a run built is not part of its time
    return best


LARGE_LAYERS, LARGE_CHANNELS = 40, 256


def make_large_graph() -> ir.Graph:
    rng = np.random.default_rng(1)
    shape = (LARGE_CHANNELS, LARGE_CHANNELS, 3, 3)
    nodes: Dict[str, ir.Node] = {
        f"conv{index}": ir.Conv2d(weight=rng.standard_normal(shape, dtype=np.float32),
                                  bias=rng.standard_normal(LARGE_CHANNELS, dtype=np.float32),
                                  stride=1, padding=1, dilation=1, groups=1)
        for index in range(LARGE_LAYERS)
    }
    return ir.Graph(nodes=nodes, edges=[])


def copy_weights(graph: ir.Graph) -> list:
    """What every import must do: each array as a float32 tensor of its own (NumPy copies)."""
    import torch

    return [torch.from_numpy(getattr(node, name).astype(np.float32))
            for node in graph.nodes.values() for name in ("weight", "bias")]


def copy_weights_torch(graph: ir.Graph) -> list:
    """The same copies made by torch, into memory from its own allocator."""
    import torch

    return [torch.tensor(getattr(node, name))
            for node in graph.nodes.values() for name in ("weight", "bias")]


def check_large_import(graph: ir.Graph) -> None:
    """import_ir gives the layers the plain conversion gives, bit for bit."""
    import torch

    built, baseline = imp.import_ir(graph), python_import(graph)
    for name, layer in built.items():
        reference = baseline[name]
        same = (repr(layer) == repr(reference) and layer.training == reference.training
                and all(torch.equal(a, b) and a.requires_grad == b.requires_grad
                        for a, b in zip(layer.parameters(), reference.parameters(), strict=True)))
        if not same:
            raise SystemExit(f"import_ir and the plain conversion disagree on {name}")


def large_graph_report() -> None:
    graph = make_large_graph()
    check_large_import(graph)
    parameters = sum(node.weight.size + node.bias.size for node in graph.nodes.values())
    numpy_copy, torch_copy, extension, plain = best_times(
        [lambda: copy_weights(graph), lambda: copy_weights_torch(graph),
         lambda: imp.import_ir(graph), lambda: python_import(graph)], rounds=7)
    copying = min(numpy_copy, torch_copy)  # the ratios are against the faster copy
    print(f"import of {LARGE_LAYERS} Conv2d {LARGE_CHANNELS}x{LARGE_CHANNELS}x3x3 "
          f"({parameters / 1e6:.1f}M parameters)")
    print(f"  copying the weights, NumPy:     {numpy_copy * 1e3:8.2f} ms")
    print(f"  copying the weights, torch:     {torch_copy * 1e3:8.2f} ms")
    print(f"  import_ir:                      {extension * 1e3:8.2f} ms  "
          f"({extension / copying:.2f}x the copy, target <= 1.5x)")
    print(f"  python, random init then copy:  {plain * 1e3:8.2f} ms  "
          f"({plain / copying:.2f}x the copy)")


def import_unchecked(graph: ir.Graph) -> Dict[str, nn.Module]:
    """import_ir without the checks of the nodes' fields (the IR library offering none)."""
    names = ("TYPE_CHECKED_KINDS", "SHAPE_CHECKED_KINDS")
    kept = [getattr(ir, name, None) for name in names]
    for name in names:
        setattr(ir, name, None)
    try:
        return imp.import_ir(graph)
    finally:
        for name, value in zip(names, kept):
            setattr(ir, name, value)


def main() -> None:
    graph = make_graph()
    built, baseline = imp.import_ir(graph), python_import(graph)
    if [type(m) for m in built.values()] != [type(m) for m in baseline.values()]:
        raise SystemExit("the two conversions disagree")
    python, extension, unchecked = best_times([lambda: python_import(graph),
                                               lambda: imp.import_ir(graph),
                                               lambda: import_unchecked(graph)])
    per_node = 1e6 / len(graph.nodes)
    print(f"import of a {len(graph.nodes)}-node graph (10 node kinds, conv/bn/relu/split/concat/"
          f"skip/lif/pool/dropout/sigmoid)")
    print(f"  python:    {python * 1e3:8.2f} ms  ({python * per_node:6.1f} us/node)")
    print(f"  import_ir: {extension * 1e3:8.2f} ms  ({extension * per_node:6.1f} us/node)")
    print(f"  ratio:     {python / extension:8.2f}x")
    print(f"  import_ir without the field checks: {unchecked * 1e3:8.2f} ms  (the checks cost "
          f"{(extension - unchecked) * per_node:.1f} us/node, {extension / unchecked:.2f}x)")
    large_graph_report()


if __name__ == "__main__":
    main()
