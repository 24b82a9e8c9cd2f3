"""Tensor shapes along a graph's edges, found by running it once on zeros."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

from vantle import ir

from .budget import MemoryBudget
from .errors import one_line
from .graphs import build_modules, input_shapes, source_nodes

Shape = Tuple[int, ...]


@dataclass
class Inferred:
    """Per node, the shapes (batch not counted) its module took and gave in one run.

    ``inputs[node]`` lists the value the node received (one shape; a merged input is the merge's
    result); ``outputs[node]`` one shape per output (per chunk for a split). ``problem`` says why
    nothing was inferred, when that is the case.
    """

    inputs: Dict[str, List[Shape]] = field(default_factory=dict)
    outputs: Dict[str, List[Shape]] = field(default_factory=dict)
    multi_output: Dict[str, bool] = field(default_factory=dict)
    problem: Optional[str] = None


def infer_shapes(graph: ir.Graph, budget: MemoryBudget = MemoryBudget()) -> Inferred:
    """Imports the graph and runs one step on a batch of one zero sample per input.

    Never raises: a graph that cannot be imported or run, or whose declared values exceed
    ``budget``, gives an empty result with ``problem`` set, so that ``info`` and ``draw`` still
    show what the file holds.
    """
    try:
        budget.check_graph(graph)
        import torch

        from vantle.bridge import GraphExecutor

        from .watch import NodeWatch

        modules = build_modules(graph)
        executor = GraphExecutor(modules, graph.edges)
        samples = [torch.zeros((1, *shape)) for shape in
                   input_shapes(graph, source_nodes(modules, graph.edges))]
        result = Inferred(multi_output={
            name: bool(getattr(type(module), "_is_multi_output", False))
            for name, module in modules.items()})

        def record(node: str, inputs: tuple, output: Any) -> None:
            result.inputs[node] = [shape for shape in map(_shape, inputs[:1]) if shape is not None]
            outputs = output if isinstance(output, (tuple, list)) else (output,)
            if not result.multi_output.get(node):
                outputs = outputs[:1]  # (spikes, state): the spikes flow on
            result.outputs[node] = [shape for shape in map(_shape, outputs) if shape is not None]

        executor.eval()
        with torch.no_grad(), NodeWatch(executor, record) as watch:
            try:
                executor(*samples)
            except Exception as error:
                # The nodes before the failing one keep their shapes.
                where = f"node {watch.current!r}: " if watch.current else ""
                result.problem = where + one_line(error)
        return result
    except Exception as error:  # inference is a convenience; its failure is reported, not fatal
        return Inferred(problem=one_line(error))


def _shape(value: Any) -> Optional[Shape]:
    shape = getattr(value, "shape", None)
    if shape is None or len(shape) == 0:
        return None
    return tuple(int(d) for d in shape[1:])
