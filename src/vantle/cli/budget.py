"""How much a command may ask of the machine before it runs a graph.

A file states shapes and a command line states batches and steps; either can ask for more memory
than the machine has, and an allocation that large is not refused by Linux but ends the process
when it is touched. So the commands reckon the values a run holds from the declared shapes first
and refuse, in one line naming the option or the node, what exceeds the budget.
"""

from __future__ import annotations

import argparse
import math
from dataclasses import dataclass
from typing import Iterator, List, Optional, Tuple

import numpy as np

from vantle import ir

from .errors import CliError

DEFAULT_MEMORY_BUDGET_GIB = 4.0
# Runs print a line per step; this many is already far more than anyone reads.
MAX_STEPS = 1_000_000
FLOAT32_BYTES = 4

Shape = Tuple[int, ...]


def add_budget_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--memory-budget", type=float, default=DEFAULT_MEMORY_BUDGET_GIB,
                        metavar="GIB",
                        help="refuse to run the graph when one of its values (batch x a node's "
                             "declared shape) or the input would take more than this many GiB "
                             f"(default {DEFAULT_MEMORY_BUDGET_GIB:g})")


def size_text(size: float) -> str:
    """Bytes as the largest binary unit that leaves at least 1 ("37.3 GiB")."""
    for unit in ("B", "KiB", "MiB", "GiB", "TiB", "PiB"):
        if size < 1024 or unit == "PiB":
            return f"{size:.0f} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1024
    raise AssertionError("unreachable")


@dataclass(frozen=True)
class MemoryBudget:
    """The most bytes one run's values may take, as given by ``--memory-budget``."""

    gib: float = DEFAULT_MEMORY_BUDGET_GIB

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> "MemoryBudget":
        gib = getattr(args, "memory_budget", DEFAULT_MEMORY_BUDGET_GIB)
        if not math.isfinite(gib) or gib <= 0:
            raise CliError(f"--memory-budget must be a positive number of GiB, got {gib:g}")
        return cls(gib)

    @property
    def bytes(self) -> float:
        return self.gib * 1024**3

    def over(self, needed: float) -> str:
        return f"{size_text(needed)}, over the memory budget of {self.gib:g} GiB (--memory-budget)"

    def check_graph(self, graph: ir.Graph, batch: int = 1, origin: Optional[str] = None) -> None:
        """Refuses a graph whose declared values, for ``batch`` samples, exceed the budget.

        A step can hold every node's value at once, so the values are summed: each node's
        declared outputs (its inputs where it declares no outputs). The message names where the
        batch came from (``origin``, by default ``--batch``) when one sample would fit, and the
        largest node's value otherwise.
        """
        values = list(_declared_values(graph))
        if not values:
            return
        node, port, shape = max(values, key=lambda value: math.prod(value[2]))
        one_sample = sum(math.prod(value[2]) for value in values) * FLOAT32_BYTES
        largest = f"node {node!r} declares {port} values of shape {shape}"
        if one_sample > self.bytes:
            raise CliError(f"{largest}; one sample of the graph's values takes "
                           f"{self.over(one_sample)}")
        if batch * one_sample > self.bytes:
            raise CliError(f"{origin or f'--batch {batch}'}: {batch:,} samples of the graph's values (the "
                           f"largest: {largest}) take {self.over(batch * one_sample)}")

    def check_inputs(self, what: str, elements: int) -> None:
        """Refuses inputs held all at once (a file's sequence, calibration batches)."""
        needed = elements * FLOAT32_BYTES
        if needed > self.bytes:
            raise CliError(f"{what} take {self.over(needed)}")


def check_file_batch(budget: MemoryBudget, graph: ir.Graph, batch: Optional[int], source: str,
                     fed: int) -> None:
    """Without ``--batch`` a .npy file sets the batch: the graph's values are checked for it."""
    if batch is None and source.endswith(".npy"):
        budget.check_graph(graph, fed, origin=f"the batch of {fed} in {source}")


def check_steps(steps: int, option: str = "--steps") -> None:
    if steps > MAX_STEPS:
        raise CliError(f"{option} {steps} is more than one run simulates (at most {MAX_STEPS:,})")


def _declared_values(graph: ir.Graph) -> Iterator[Tuple[str, str, Shape]]:
    """(node, port, shape) of each node's declared outputs, or inputs where it declares none."""
    for name, node in graph.nodes.items():
        declared = _ports(node, "output_type") or _ports(node, "input_type")
        yield from ((name, port, shape) for port, shape in declared)


def _ports(node: ir.Node, ports: str) -> List[Tuple[str, Shape]]:
    table = getattr(node, ports, None)
    if not isinstance(table, dict):
        return []
    shapes = [(str(port), _dims(shape)) for port, shape in table.items()]
    return [(port, shape) for port, shape in shapes if shape is not None]


def _dims(shape: object) -> Optional[Shape]:
    """The shape as a tuple, or None where it is no list of sizes (the file checks say why)."""
    try:
        array = np.asarray(shape)
    except (TypeError, ValueError, OverflowError):
        return None
    if array.dtype.kind not in "iu" or array.ndim > 1 or (array < 0).any():
        return None
    return tuple(int(d) for d in array.ravel())
