"""Whole time-major sequences through a GraphExecutor, layer by layer.

An IR graph is acyclic and keeps state only in its LIF nodes, so every other node can take all
T*batch samples of a sequence in one call, and only the LIF layers scan through time
(``LIFModule.scan``: one fused kernel, one autograd operation). That needs every module to treat
each sample on its own: modules of a known per-sample kind qualify, others (anything that keeps
state, batch statistics, hooks that expect one call per step, unknown classes) make the whole
sequence run step by step instead, with the same results.
"""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

import torch
from torch import nn

from vantle.bridge.plan import (Plan, check_kept_state, checked_chunks, gather, hooked, note_node,
                               releases)

# torch layers that map each sample to its output alone. Exact classes only: a subclass may
# keep state. Dropout draws a fresh mask per sample either way.
_PER_SAMPLE_TORCH = frozenset({
    nn.Identity, nn.Linear, nn.Conv1d, nn.Conv2d, nn.Conv3d, nn.ConvTranspose1d,
    nn.ConvTranspose2d, nn.MaxPool1d, nn.MaxPool2d, nn.AvgPool1d, nn.AvgPool2d,
    nn.AdaptiveAvgPool1d, nn.AdaptiveAvgPool2d, nn.Upsample, nn.ReLU, nn.LeakyReLU, nn.PReLU,
    nn.Sigmoid, nn.Tanh, nn.GELU, nn.ELU, nn.SiLU, nn.Hardswish, nn.LayerNorm, nn.Dropout,
})
# Imported modules that work sample by sample; ChannelSplit and Concat also have a ``dim``.
_PER_SAMPLE_IMPORTED = (
    "SepConv2dModule", "SkipModule", "SGhostConvModule", "SGhostEncoderLiteModule",
    "GhostBasicBlock1Module", "GhostBasicBlock2Module", "SDDetectModule", "DFLDecodeModule",
    "Dist2BBoxModule",
)
_WITH_DIM_IMPORTED = ("ChannelSplitModule", "ConcatModule")


def _imported_classes() -> Tuple[type, Dict[type, bool]]:
    """LIFModule, and each per-sample imported class -> whether its ``dim`` must be checked."""
    from vantle.bridge import import_ir

    kinds = {getattr(import_ir, name): False for name in _PER_SAMPLE_IMPORTED}
    kinds.update({getattr(import_ir, name): True for name in _WITH_DIM_IMPORTED})
    return import_ir.LIFModule, kinds


def _spares_batch(dim: Any) -> bool:
    """Whether an axis index stays off the batch axis, whatever the rank (-1: the last)."""
    return isinstance(dim, int) and (dim >= 1 or dim == -1)


def _per_sample(module: nn.Module, kinds: Dict[type, bool]) -> bool:
    kind = type(module)
    if kind in kinds:
        return not kinds[kind] or _spares_batch(getattr(module, "dim", None))
    if kind in _PER_SAMPLE_TORCH:
        return True
    if kind is nn.Softmax:
        return _spares_batch(module.dim)
    if kind is nn.Flatten:
        return _spares_batch(module.start_dim)
    if kind in (nn.BatchNorm1d, nn.BatchNorm2d):
        # In training, statistics over T*batch samples differ from those of one step.
        return not module.training
    return False


def layer_major_roles(plan: Plan, children: Mapping[str, nn.Module]) -> Optional[List[str]]:
    """Per step of the plan: "lif", "sample" (per-sample module) or "pass" (no module); None if
    some node keeps the sequence from running layer by layer. ``children`` maps the steps'
    child names to their modules."""
    lif_class, kinds = _imported_classes()
    roles = []
    for step in plan.steps:
        module = children[step.child] if step.child is not None else None
        if module is None:
            roles.append("pass")
            continue
        if hooked(module):
            return None
        if len(step.inputs) > 1 and getattr(module, "skip_type", None) == "concatenate":
            if not _spares_batch(getattr(module, "dim", 1)):
                return None
        if type(module) is lif_class:
            roles.append("lif")
        elif _per_sample(module, kinds):
            roles.append("sample")
        else:
            return None
    return roles


def _split_time(value: Any, steps: int) -> Any:
    """[T*batch, ...] -> [T, batch, ...], through tuples of chunks too."""
    if isinstance(value, (tuple, list)):
        return type(value)(_split_time(item, steps) for item in value)
    return value.unflatten(0, (steps, -1))


def _stack(values: Sequence[Any], sink: str) -> Any:
    """One output per step -> outputs stacked over time, through tuples of chunks too."""
    first = values[0]
    if isinstance(first, (tuple, list)):
        return type(first)(_stack(items, sink) for items in zip(*values))
    for step, value in enumerate(values):
        if not isinstance(value, torch.Tensor) or value.shape != first.shape:
            shape = tuple(value.shape) if isinstance(value, torch.Tensor) else type(value).__name__
            raise ValueError(
                f"GraphExecutor.run: the output of node {sink!r} is {shape} at step {step} but "
                f"{tuple(first.shape)} at step 0; run() stacks each output over time, so it must "
                "keep its shape (call the executor once per step instead)"
            )
    return torch.stack(list(values))


def run_layer_major(plan: Plan, children: Mapping[str, nn.Module], states: Dict[str, Any],
                    roles: List[str], x_seqs: Tuple[torch.Tensor, ...]) -> Any:
    """The graph over a whole sequence, each node once; the kept LIF states in ``states`` carry
    on as in stepping."""
    steps = x_seqs[0].shape[0]
    flat = tuple(x.flatten(0, 1) for x in x_seqs)
    values: List[Any] = [None] * len(plan.steps)
    final_states: Dict[str, Any] = {}
    step = plan.steps[0]
    try:
        for position, (step, role, done) in enumerate(zip(plan.steps, roles, releases(plan))):
            module = children[step.child] if step.child is not None else None
            x = gather(step, module, flat, values)
            if role == "pass":
                values[position] = x
            elif role == "lif":
                x_seq = x.unflatten(0, (steps, -1)).contiguous()
                mem = states.get(step.node)
                check_kept_state(step.node, mem, x_seq[0])
                spikes, final_states[step.node] = module.scan(x_seq, mem)
                values[position] = spikes.flatten(0, 1)
            else:
                out = module(x)
                values[position] = checked_chunks(step, out) if step.multi_output else out
            for read in done:
                values[read] = None
    except Exception as error:
        note_node(error, step, children)
        raise
    states.update(final_states)
    outputs = [_split_time(values[position], steps) for position in plan.sink_steps]
    return outputs[0] if len(outputs) == 1 else tuple(outputs)


def run_stepping(step: Callable[..., Any], sinks: List[str],
                 x_seqs: Tuple[torch.Tensor, ...]) -> Any:
    """The graph over a whole sequence, one ``step(*inputs)`` call per time step; ``sinks``
    names the outputs (for errors)."""
    outputs = [step(*(x[t] for x in x_seqs)) for t in range(x_seqs[0].shape[0])]
    if len(sinks) == 1:
        return _stack(outputs, sinks[0])
    return tuple(_stack([output[i] for output in outputs], sink) for i, sink in enumerate(sinks))


def check_sequences(x_seqs: Tuple[Any, ...], sources: List[str]) -> None:
    """Each source gets a time-major tensor [T, batch, ...], all with the same T >= 1."""
    for source, x in zip(sources, x_seqs):
        if not isinstance(x, torch.Tensor) or x.dim() < 2:
            shape = tuple(x.shape) if isinstance(x, torch.Tensor) else type(x).__name__
            raise ValueError(
                f"GraphExecutor.run: the sequence for source {source!r} must be a time-major "
                f"tensor [T, batch, ...], got {shape}"
            )
    lengths = {x.shape[0] for x in x_seqs}
    if len(lengths) > 1 or 0 in lengths:
        raise ValueError(
            "GraphExecutor.run: every sequence needs the same number of time steps, at least "
            f"one; got {[x.shape[0] for x in x_seqs]}"
        )
