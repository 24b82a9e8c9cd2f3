"""Inputs for ``run`` and ``quantize``: random values, random spikes, or a .npy file."""

from __future__ import annotations

import argparse
from dataclasses import dataclass
from typing import Any, List, Optional, Tuple

import numpy as np

from .budget import MemoryBudget
from .errors import CliError

Shape = Tuple[int, ...]


def add_input_options(parser: argparse.ArgumentParser, name: str, default: Optional[str],
                      what: str) -> None:
    parser.add_argument(name, default=default, metavar="random|spikes|FILE.npy",
                        help=f"{what}: uniform values in [0, 1), spikes (0/1) that fire with "
                             "probability --rate, or the samples of a .npy file "
                             "(one sample, a batch, or a time-major [steps, batch, ...] sequence)")
    parser.add_argument("--rate", type=float, default=0.2,
                        help="firing probability of --input spikes per element and step "
                             "(default 0.2)")
    parser.add_argument("--seed", type=int, default=0, help="seed of random inputs (default 0)")


@dataclass
class Feed:
    """Per step, one tensor per source node; ``steps`` is how many the source can give."""

    kind: str
    shapes: List[Shape]
    batch: int
    steps: Optional[int]  # None: as many as asked for
    rate: float
    generator: Any
    sequence: Any = None  # [steps, batch, ...] tensor of a .npy input
    repeat: bool = False  # every step gets the first step's input
    _first: Optional[Tuple[Any, ...]] = None

    def step(self, index: int) -> Tuple[Any, ...]:
        if not self.repeat:
            return self._make(index)
        if self._first is None:
            self._first = self._make(0)
        return self._first

    def _make(self, index: int) -> Tuple[Any, ...]:
        import torch

        if self.sequence is not None:
            return (self.sequence[index],)
        values = [torch.rand((self.batch, *shape), generator=self.generator)
                  for shape in self.shapes]
        if self.kind == "spikes":
            values = [(value < self.rate).to(torch.float32) for value in values]
        return tuple(values)


def make_feed(source: str, shapes: List[Optional[Shape]], batch: Optional[int], rate: float,
              seed: int, repeat: bool = False, budget: MemoryBudget = MemoryBudget()) -> Feed:
    """The input of each step for source nodes whose sample shapes are ``shapes``.

    ``batch`` None means 1 for random inputs and the file's own batch for a .npy file.
    ``repeat``: one static input (the first step's) for every step, as many as asked for.
    A .npy file whose values exceed ``budget`` is refused before it is read.
    """
    feed = _make_feed(source, shapes, batch, rate, seed, budget)
    if repeat:
        feed.repeat, feed.steps = True, None
    return feed


def _make_feed(source: str, shapes: List[Optional[Shape]], batch: Optional[int], rate: float,
               seed: int, budget: MemoryBudget) -> Feed:
    import torch

    if batch is not None and batch < 1:
        raise CliError(f"--batch must be at least 1, got {batch}")
    generator = torch.Generator().manual_seed(seed)
    if source in ("random", "spikes"):
        if source == "spikes" and not 0.0 <= rate <= 1.0:
            raise CliError(f"--rate must lie in [0, 1], got {rate:g}")
        known = [shape for shape in shapes if shape is not None]
        if len(known) != len(shapes):
            raise CliError("the graph's input gives no shape (input_type['input']); "
                           "give the input as a .npy file")
        return Feed(source, known, batch or 1, None, rate, generator)
    if not source.endswith(".npy"):
        raise CliError(f"input must be random, spikes or a .npy file, got {source!r}")
    if len(shapes) != 1:
        raise CliError(f"a .npy file feeds one input, but the graph has {len(shapes)}")
    sequence = _sequence(source, shapes[0], batch, budget)
    return Feed("file", [tuple(sequence.shape[2:])], int(sequence.shape[1]),
                int(sequence.shape[0]), rate, generator, torch.from_numpy(sequence))


def _sequence(path: str, shape: Optional[Shape], batch: Optional[int],
              budget: MemoryBudget) -> np.ndarray:
    """The file as a float32 [steps, batch, *shape] array."""
    try:
        # Mapped first: a header may claim far more values than the file (or memory) holds,
        # and the mapping checks the file's size without reading it.
        array = np.load(path, mmap_mode="r", allow_pickle=False)
    except (OSError, ValueError) as error:
        raise CliError(f"cannot read {path}: {error}") from error
    if not isinstance(array, np.ndarray) or array.dtype.kind not in "biuf":
        raise CliError(f"{path} holds no numeric array")
    budget.check_inputs(f"the {array.size:,} values of {path}", array.size)
    array = np.array(array, dtype=np.float32, order="C")  # a copy: the mapping stays read-only
    if shape is None:  # without a declared shape the file is one step's batch
        array = array[None]
    else:
        extra = array.ndim - len(shape)
        if extra not in (0, 1, 2) or tuple(array.shape[extra:]) != tuple(shape):
            raise CliError(f"{path} has shape {tuple(array.shape)}, but the graph's input takes "
                           f"samples of shape {tuple(shape)} (give one sample, a batch "
                           "[batch, ...] or a sequence [steps, batch, ...])")
        if extra == 0:
            array = np.broadcast_to(array, (1, batch or 1, *shape)).copy()
        elif extra == 1:
            array = array[None]
    if array.ndim < 2 or 0 in array.shape[:2]:
        raise CliError(f"{path} holds no steps of samples: its array has shape "
                       f"{tuple(array.shape[1:] if shape is None else array.shape)}")
    if batch is not None and array.shape[1] != batch:
        raise CliError(f"{path} holds a batch of {array.shape[1]}, but --batch is {batch}")
    return array
