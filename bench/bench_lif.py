"""LIF step: the fused kernel against the composed torch expression, same run.

Besides the speed-up, each row gives the kernel's memory bandwidth (bytes it reads and writes
per second: input, membrane, spikes, new membrane and the per-neuron buffers) as a share of the
bandwidth of cloning the membrane (read once, written once), timed alongside.

Usage: python bench/bench_lif.py
"""

from __future__ import annotations

import timeit

import numpy as np
import torch

from vantle.bridge.import_ir import LIFModule


def composed_step(lif: LIFModule, x: torch.Tensor, mem: torch.Tensor) -> tuple:
    mem = lif.beta * mem + (1.0 / lif.tau) * (lif.v_leak + lif.r * x)
    spk = (mem >= lif.v_threshold).to(mem.dtype)
    return spk, mem * (1 - spk)


def best_of(fn, repeat: int = 5) -> float:
    number = max(1, int(0.2 / max(timeit.timeit(fn, number=1), 1e-7)))
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def main() -> None:
    rng = np.random.default_rng(0)
    print(f"torch {torch.__version__}, threads {torch.get_num_threads()}")
    print(f"{'batch x neurons':>18} {'composed':>12} {'fused':>12} {'speed-up':>9} "
          f"{'clone':>10} {'bandwidth vs clone':>19}")
    for batch, neurons in [(1, 128), (32, 1024), (1, 1 << 20), (64, 16384), (256, 16384)]:
        lif = LIFModule(
            rng.uniform(2, 8, neurons), np.ones(neurons), np.zeros(neurons), rng.uniform(0.5, 1, neurons)
        )
        x = torch.rand(batch, neurons)
        mem = torch.rand(batch, neurons)
        with torch.no_grad():
            fused = best_of(lambda: lif(x, mem))
            composed = best_of(lambda: composed_step(lif, x, mem))
            clone = best_of(lambda: mem.clone())
        moved = 4 * x.numel() * 4 + sum(b.numel() * 4 for b in lif.buffers())
        bandwidth = (moved / fused) / (2 * mem.numel() * 4 / clone)
        print(
            f"{batch:>7} x {neurons:<8} {composed * 1e6:>10.1f}us {fused * 1e6:>10.1f}us"
            f" {composed / fused:>8.2f}x {clone * 1e6:>8.1f}us {bandwidth:>18.0%}"
        )


if __name__ == "__main__":
    main()
