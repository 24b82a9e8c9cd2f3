"""Benchmarks of vantle.bridge.quantize against baselines timed in the same run.

1. ``_quantize_tensor`` on 4M float32 values (8-bit symmetric grid) against the
   composed torch expression it replaces and ``torch.fake_quantize_per_tensor_affine``.
2. ``quantize`` of a ResNet-18-shaped model (about 11.7M parameters) against the
   same algorithm written plainly in Python over torch operations.

Run: python bench/bench_quantize.py [--repeat N]
"""

from __future__ import annotations

import argparse
import copy
import time
from typing import Callable

import torch
from torch import nn

from vantle.bridge import quantize as vq


def best_times(runs: dict[str, Callable[[], float]], repeat: int) -> dict[str, float]:
    """Fastest of ``repeat`` rounds for each run, in seconds.

    Each run returns its own timed duration. The runs take turns round by round,
    so that load from elsewhere on the machine falls on all of them alike.
    """
    best = {name: float("inf") for name in runs}
    for round_ in range(repeat + 1):
        for name, run in runs.items():
            elapsed = run()
            if round_ > 0:  # the first round warms up
                best[name] = min(best[name], elapsed)
    return best


def timed(function: Callable[[], object]) -> Callable[[], float]:
    def run() -> float:
        start = time.perf_counter()
        function()
        return time.perf_counter() - start

    return run


# --- 1. one tensor -------------------------------------------------------------


def composed(tensor: torch.Tensor, scale: float, zero_point: int, qmin: int, qmax: int):
    q = torch.clamp(torch.round(tensor / scale) + zero_point, qmin, qmax)
    return (q - zero_point) * scale


def bench_tensor(repeat: int) -> None:
    tensor = torch.randn(4 * 1024 * 1024)
    scale, zero_point = vq._compute_scale_zp(tensor.min().item(), tensor.max().item(), 8, True)
    times = best_times(
        {
            "kernel": timed(lambda: vq._quantize_tensor(tensor, scale, zero_point, 8)),
            "composed": timed(lambda: composed(tensor, scale, zero_point, -128, 127)),
            "fused": timed(
                lambda: torch.fake_quantize_per_tensor_affine(tensor, scale, zero_point, -128, 127)
            ),
        },
        repeat,
    )
    kernel, plain, fused = times["kernel"], times["composed"], times["fused"]
    same = torch.equal(
        vq._quantize_tensor(tensor, scale, zero_point, 8),
        composed(tensor, scale, zero_point, -128, 127),
    )
    print(f"_quantize_tensor, 4M float32, 8-bit symmetric, {torch.get_num_threads()} torch threads")
    print(f"  _quantize_tensor                      {kernel * 1e3:8.3f} ms")
    print(
        f"  composed torch expression             {plain * 1e3:8.3f} ms"
        f"   speed-up {plain / kernel:5.2f}x (target >= 3x)"
    )
    print(
        f"  torch.fake_quantize_per_tensor_affine {fused * 1e3:8.3f} ms"
        f"   time ratio {kernel / fused:5.2f}x (target <= 1.5x)"
    )
    print(f"  bitwise equal to the composed path: {same}")


# --- 2. a ResNet-sized model -----------------------------------------------------


class BasicBlock(nn.Module):
    def __init__(self, inputs: int, outputs: int, stride: int) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(inputs, outputs, 3, stride, 1, bias=False)
        self.bn1 = nn.BatchNorm2d(outputs)
        self.conv2 = nn.Conv2d(outputs, outputs, 3, 1, 1, bias=False)
        self.bn2 = nn.BatchNorm2d(outputs)
        self.relu = nn.ReLU()
        self.downsample = None
        if stride != 1 or inputs != outputs:
            self.downsample = nn.Sequential(
                nn.Conv2d(inputs, outputs, 1, stride, bias=False), nn.BatchNorm2d(outputs)
            )

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        out = self.relu(self.bn1(self.conv1(x)))
        out = self.bn2(self.conv2(out))
        shortcut = x if self.downsample is None else self.downsample(x)
        return self.relu(out + shortcut)


def resnet18() -> nn.Module:
    """ResNet-18 layout: 11.7M parameters."""
    layers: list[nn.Module] = [
        nn.Conv2d(3, 64, 7, 2, 3, bias=False),
        nn.BatchNorm2d(64),
        nn.ReLU(),
        nn.MaxPool2d(3, 2, 1),
    ]
    channels = 64
    for width, stride in ((64, 1), (128, 2), (256, 2), (512, 2)):
        layers += [BasicBlock(channels, width, stride), BasicBlock(width, width, 1)]
        channels = width
    layers += [nn.AdaptiveAvgPool2d(1), nn.Flatten(), nn.Linear(512, 1000)]
    return nn.Sequential(*layers)


_BITS = {"fp32": 32, "fp16": 16, "int32": 32, "int16": 16, "int8": 8, "int4": 4}


def python_scale_zp(min_val: float, max_val: float, bits: int, symmetric: bool):
    if bits >= 32:
        return 1.0, 0
    if symmetric:
        qmax = 2 ** (bits - 1) - 1
        scale = max(max(abs(min_val), abs(max_val)), 1e-8) / qmax
        return max(scale, 1e-8), 0
    min_val, max_val = min(min_val, 0.0), max(max_val, 0.0)
    qmax = 2**bits - 1
    scale = max(max_val - min_val, 1e-8) / qmax
    zero_point = max(0, min(qmax, round(0 - min_val / scale)))
    return max(scale, 1e-8), zero_point


def python_quantize(model: nn.Module, config) -> nn.Module:
    """The quantize algorithm written plainly in Python."""
    per_node = config.per_node_precision or {}
    slots = (("weight", "_vantle_weight"), ("bias", "_vantle_bias"))
    for name, module in model.named_modules():
        precision = per_node.get(name, config.default_precision)
        bits = _BITS[precision]
        module._vantle_precision = precision
        module._vantle_accumulator_bits = config.accumulator_bits
        if bits >= 32:
            continue
        for param_name, prefix in slots:
            param = getattr(module, param_name, None)
            if param is None or not isinstance(param, nn.Parameter):
                continue
            with torch.no_grad():
                w = param.data
                scale, zp = python_scale_zp(
                    float(w.min()), float(w.max()), bits, config.symmetric
                )
                if config.symmetric:
                    qmin, qmax = -(2 ** (bits - 1)), 2 ** (bits - 1) - 1
                else:
                    qmin, qmax = 0, 2**bits - 1
                param.data = composed(w, scale, zp, qmin, qmax)
            setattr(module, prefix + "_scale", scale)
            setattr(module, prefix + "_zp", zp)
    return model


def bench_model(repeat: int) -> None:
    torch.manual_seed(0)
    model = resnet18()
    parameters = sum(p.numel() for p in model.parameters())
    config = vq.QuantizationConfig()

    def on_fresh_copy(function) -> Callable[[], float]:
        # Each call quantizes unquantized weights; only the call itself is timed.
        def run() -> float:
            fresh = copy.deepcopy(model)
            return timed(lambda: function(fresh, config))()

        return run

    times = best_times(
        {"ours": on_fresh_copy(vq.quantize), "python": on_fresh_copy(python_quantize)}, repeat
    )
    ours, plain = times["ours"], times["python"]
    same = all(
        torch.equal(a, b)
        for a, b in zip(
            vq.quantize(copy.deepcopy(model), config).parameters(),
            python_quantize(copy.deepcopy(model), config).parameters(),
        )
    )
    print(f"quantize, ResNet-18 layout, {parameters / 1e6:.1f}M parameters, int8 symmetric")
    print(f"  quantize                   {ours * 1e3:8.2f} ms")
    print(f"  same algorithm in Python   {plain * 1e3:8.2f} ms   speed-up {plain / ours:5.2f}x")
    print(f"  identical parameters: {same}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=20)
    args = parser.parse_args()
    bench_tensor(args.repeat)
    bench_model(max(3, args.repeat // 2))


if __name__ == "__main__":
    main()
