"""The report of ``export_ir.check_export``: a model and its exported graph, node by node.

``check_export`` (C++) traces the model and finds each graph node's value at every step;
``compare_with_graph`` imports the graph, steps it over the same inputs with a hook on every
node, and compares the two sides.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import torch

from vantle import ir
from vantle.bridge._text_table import text_table

__all__ = ["ExportCheck", "NodeCheck"]


@dataclass(frozen=True)
class NodeCheck:
    """One graph node: how far its outputs are from the model's, over every step."""

    name: str
    kind: str  # the IR node class
    steps: int  # values compared
    max_abs_diff: float  # largest absolute difference; inf where the shapes differ
    mismatched: int  # values beyond the tolerance, all steps together
    note: str = ""  # why the node was not (fully) compared
    uncompared: int = 0  # steps the model ran it that the graph did not: never a pass


@dataclass(frozen=True)
class ExportCheck:
    """What ``check_export`` found; ``print()`` it for a table."""

    nodes: Tuple[NodeCheck, ...]  # in the order the graph ran them
    atol: float
    findings: Tuple[str, ...]  # what export reports it cannot carry exactly
    error: str = ""  # the graph failed to run: where and why
    # The model disagrees with the single steps the graph was compared over (a model that
    # takes whole sequences, traced one time step at a time): what differs.
    model_error: str = ""

    @property
    def first_mismatch(self) -> Optional[NodeCheck]:
        """The first node, in run order, whose outputs differ from the model's, or that the
        model ran more often than the graph."""
        return next((node for node in self.nodes if node.mismatched or node.uncompared), None)

    @property
    def ok(self) -> bool:
        """The graph ran, every compared node agrees, and the outputs were compared."""
        compared = any(node.steps for node in self.nodes if node.kind == "Output")
        return (not self.error and not self.model_error and self.first_mismatch is None
                and compared)

    def __str__(self) -> str:
        header = ("node", "kind", "steps", "max |diff|", "mismatched", "")
        rows = [header] + [
            (n.name, n.kind, str(n.steps), f"{n.max_abs_diff:.3g}", str(n.mismatched), n.note)
            for n in self.nodes
        ]
        lines = text_table(rows)
        first = self.first_mismatch
        verdict = f"first mismatch: {first.name!r}" if first else "no mismatch"
        lines.append(f"{verdict} (atol {self.atol:g})")
        if self.error:
            lines.append(f"the graph failed: {self.error}")
        if self.model_error:
            lines.append(f"the model itself: {self.model_error}")
        lines += [f"export reports: {finding}" for finding in self.findings]
        return "\n".join(lines)


def _comparable(value: torch.Tensor) -> torch.Tensor:
    """The values of a tensor as a strided real tensor: sparse and nested tensors padded out
    dense, complex numbers as (real, imaginary) pairs."""
    value = value.detach()
    if value.is_nested:
        value = torch.nested.to_padded_tensor(value, 0.0)
    elif value.layout != torch.strided:
        value = value.to_dense()
    if value.is_complex():
        value = torch.view_as_real(value.resolve_conj())
    return value


def _difference(expected: Any, actual: Any, atol: float) -> Tuple[float, int, str]:
    """(largest absolute difference, values beyond atol, note) of one step's values."""
    if isinstance(expected, tuple):  # the chunks of a split
        if not isinstance(actual, (tuple, list)) or len(actual) != len(expected):
            return math.inf, 1, "the graph's chunks differ from the model's"
        parts = [_difference(e, a, atol) for e, a in zip(expected, actual)]
        notes = [note for _, _, note in parts if note]
        return max(d for d, _, _ in parts), sum(m for _, m, _ in parts), notes[0] if notes else ""
    if isinstance(actual, (tuple, list)):  # a spiking node's (spikes, state)
        actual = actual[0]
    if not isinstance(expected, torch.Tensor) or not isinstance(actual, torch.Tensor):
        return 0.0, 0, "not a tensor on both sides"
    expected, actual = _comparable(expected), _comparable(actual)
    if expected.shape != actual.shape:
        note = f"shape {tuple(actual.shape)}, model {tuple(expected.shape)}"
        return math.inf, max(expected.numel(), 1), note
    if expected.numel() == 0:
        return 0.0, 0, ""
    a, b = expected.double(), actual.double().to(expected.device)
    same = (a == b) | (a.isnan() & b.isnan())
    diff = torch.where(same, torch.zeros_like(a), (a - b).abs().nan_to_num(nan=math.inf))
    return float(diff.max()), int((diff > atol).sum()), ""


def _node_check(name: str, node: Any, expected: Sequence[Any], actual: Sequence[Any],
                atol: float) -> NodeCheck:
    kind = type(node).__name__
    if not expected:
        note = "" if kind == "Skip" else "no counterpart in the model"
        return NodeCheck(name, kind, 0, 0.0, 0, note)
    steps = min(len(expected), len(actual))
    largest, mismatched, notes = 0.0, 0, []
    for e, a in zip(expected, actual):
        diff, count, note = _difference(e, a, atol)
        largest, mismatched = max(largest, diff), mismatched + count
        if note:
            notes.append(note)
    if len(expected) != len(actual):
        notes.append(f"model ran it {len(expected)} times, graph {len(actual)}")
    return NodeCheck(name, kind, steps, largest, mismatched, notes[0] if notes else "",
                     max(len(expected) - len(actual), 0))


def compare_steps_with_sequences(per_step: Sequence[Sequence[Sequence[torch.Tensor]]],
                                 sequences: Sequence[Sequence[torch.Tensor]],
                                 atol: float) -> str:
    """"" when a model that takes whole sequences returned, per call, its outputs of one time
    step at a time stacked over time; else what differs."""
    for call, (steps, whole) in enumerate(zip(per_step, sequences)):
        if any(len(step) != len(whole) for step in steps):
            return (f"call {call}: the model returns {len(whole)} tensors for a whole sequence "
                    f"and another number one time step at a time")
        for index, value in enumerate(whole):
            stacked = torch.stack([step[index] for step in steps])
            diff, mismatched, note = _difference(value, stacked, atol)
            if mismatched:
                where = f"output {index} of call {call}"
                return (f"the model computes {where} over a whole sequence otherwise than one "
                        f"time step at a time, as the graph does ({note or f'max |diff| {diff:.3g}'})")
    return ""


def compare_with_graph(graph: ir.Graph, reference: Mapping[str, List[Any]],
                       steps: Sequence[Mapping[str, torch.Tensor]], findings: Sequence[str],
                       atol: float, model_error: str = "") -> ExportCheck:
    """Step the imported graph over ``steps`` and compare every node with ``reference``.

    ``model_error``: the model itself disagrees with the steps the graph is compared over
    (a whole-sequence model against its single steps); the check fails with it."""
    # Loaded when a check runs: importing the export module loads neither.
    from vantle.bridge.executor import GraphExecutor
    from vantle.bridge.import_ir import import_ir

    executor = GraphExecutor(import_ir(graph), graph.edges).eval()
    node_of_child = {child: node for node, child in executor._sanitized_names.items()}
    recorded: Dict[str, List[Any]] = {}

    def recorder(node: str) -> Any:
        def record(module: Any, args: Any, output: Any) -> None:
            recorded.setdefault(node, []).append(output)

        return record

    for child, module in executor.named_children():
        module.register_forward_hook(recorder(node_of_child.get(child, child)))

    sources = executor._source_names()  # in the order the executor takes its inputs
    error = ""
    with torch.no_grad():
        for number, arguments in enumerate(steps):
            missing = [name for name in sources if name not in arguments]
            if missing:
                raise ValueError(
                    f"check_export: the graph's source nodes {missing} are not inputs of the "
                    f"model (inputs {list(arguments)}); was the graph exported from this model?"
                )
            try:
                executor(*(arguments[name] for name in sources))
            except Exception as failure:  # reported, with the node that failed when known
                error = f"step {number}: {type(failure).__name__}: {failure}"
                break

    checks = {
        name: _node_check(name, node, reference.get(name, []), recorded.get(name, []), atol)
        for name, node in graph.nodes.items()
    }
    ran = list(recorded) + [name for name in graph.nodes if name not in recorded]
    return ExportCheck(tuple(checks[name] for name in ran), float(atol), tuple(findings), error,
                       model_error)
