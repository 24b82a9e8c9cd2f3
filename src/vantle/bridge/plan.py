"""The execution plan of a GraphExecutor, and the rules both ways of running it share.

A plan holds a graph's nodes as steps in topological order, each with its producers, its
source slot and its fan-out, and where the outputs come from. Stepping one time step per call
(``GraphExecutor.forward``) and whole sequences layer by layer (``vantle.bridge.sequence``)
run the same plan: they gather inputs and merge them, check kept states and multi-output
chunks, test for hooks and name the failing node in the same way, from here.
"""

from __future__ import annotations

import heapq
from typing import Any, Iterable, List, Mapping, NamedTuple, Optional, Sequence, Set, Tuple

import torch
from torch import nn
from torch.nn.modules import module as module_globals

Edge = Tuple[str, str]


class Step(NamedTuple):
    """What forward does for one node; built once at construction."""

    node: str
    rank: int  # position in order of first appearance: module order, then edge order
    child: Optional[str]  # None: the node has no module and passes its input on
    inputs: Tuple[Tuple[int, Optional[int]], ...]  # (producing step, chunk or None), edge order
    source_slot: int  # position among the forward arguments, -1 for non-sources
    multi_output: bool
    fan_out: int  # outgoing edges; a multi-output node must produce at least this many chunks


def _merge_passthrough(module: nn.Module, inputs: List[Any]) -> Any:
    return inputs[0]


def _merge_residual(module: nn.Module, inputs: List[Any]) -> Any:
    total = inputs[0]
    for tensor in inputs[1:]:
        _check_summands(total, tensor)
        total = total + tensor  # out of place, so autograd sees every branch
    return total


def _check_summands(a: Any, b: Any) -> None:
    """Tensors summed by a residual merge keep their batch axis apart: broadcasting two ranks
    or two batch sizes against each other would add one sample to another."""
    if not (isinstance(a, torch.Tensor) and isinstance(b, torch.Tensor)):
        return
    if a.dim() != b.dim() or (a.dim() > 0 and a.shape[0] != b.shape[0]):
        raise ValueError(
            f"GraphExecutor: a residual merge cannot add inputs of shapes {tuple(a.shape)} and "
            f"{tuple(b.shape)}: they need the same number of dimensions and the same batch size"
        )


def _merge_concatenate(module: nn.Module, inputs: List[Any]) -> Any:
    return torch.cat(inputs, dim=getattr(module, "dim", 1))


MERGES = {
    "passthrough": _merge_passthrough,
    "residual": _merge_residual,
    "concatenate": _merge_concatenate,
}


def merge_error(node: str, module: Optional[nn.Module], count: int) -> ValueError:
    skip_type = getattr(module, "skip_type", None)
    found = "has no module" if module is None else f"has skip_type {skip_type!r}"
    return ValueError(
        f"GraphExecutor: node {node!r} has {count} incoming edges but {found}; "
        f"merging several inputs needs skip_type 'passthrough', 'residual' or 'concatenate'"
    )


class Plan(NamedTuple):
    """A graph's steps in execution order, with where its inputs go and its outputs come from."""

    steps: Tuple[Step, ...]
    num_sources: int
    sink_steps: Tuple[int, ...]  # step positions of the outputs, in order of first appearance

    def source_names(self) -> List[str]:
        return [step.node for step in self.steps if step.source_slot >= 0]

    def sink_names(self) -> List[str]:
        return [self.steps[position].node for position in self.sink_steps]


def make_plan(nodes: List[str], modules: Mapping[str, nn.Module], edges: Sequence[Edge],
              children: Mapping[str, str]) -> Plan:
    """The plan of a graph whose ``nodes`` are in order of first appearance; ``children``
    maps each node with a module to the executor's child name for it.

    Raises:
        ValueError: the edges form a cycle, or a node with several inputs cannot merge them.
    """
    steps = _steps(nodes, modules, edges, children)
    sources = sum(step.source_slot >= 0 for step in steps)
    return Plan(steps, sources, _sink_positions(steps))


def node_order(modules: Mapping[str, nn.Module], edges: Sequence[Edge]) -> List[str]:
    """Every node once, by first appearance: module order, then edge order."""
    order = dict.fromkeys(modules)
    for source, destination in edges:
        order.setdefault(source)
        order.setdefault(destination)
    return list(order)


def _steps(nodes: List[str], modules: Mapping[str, nn.Module], edges: Sequence[Edge],
          children: Mapping[str, str]) -> Tuple[Step, ...]:
    """The nodes as steps in execution order, with producers given as step positions."""
    index = {node: i for i, node in enumerate(nodes)}
    multi = [node in modules and bool(getattr(type(modules[node]), "_is_multi_output", False))
             for node in nodes]
    incoming: List[List[Tuple[int, Optional[int]]]] = [[] for _ in nodes]
    outgoing: List[List[int]] = [[] for _ in nodes]
    for source, destination in edges:
        src, dst = index[source], index[destination]
        chunk = len(outgoing[src]) if multi[src] else None
        outgoing[src].append(dst)
        incoming[dst].append((src, chunk))
    order = _topological_order(nodes, incoming, outgoing)
    for i, node in enumerate(nodes):
        if len(incoming[i]) > 1 and getattr(modules.get(node), "skip_type", None) not in MERGES:
            raise merge_error(node, modules.get(node), len(incoming[i]))
    position = {node_index: step for step, node_index in enumerate(order)}
    sources = [i for i in order if not incoming[i]]
    slot = {node_index: s for s, node_index in enumerate(sorted(sources))}
    return tuple(
        Step(
            node=nodes[i],
            rank=i,
            child=children.get(nodes[i]),
            inputs=tuple((position[src], chunk) for src, chunk in incoming[i]),
            source_slot=slot.get(i, -1),
            multi_output=multi[i],
            fan_out=len(outgoing[i]),
        )
        for i in order
    )


def _topological_order(nodes: List[str], incoming: List[List[Tuple[int, Optional[int]]]],
                       outgoing: List[List[int]]) -> List[int]:
    """Kahn's algorithm; among ready nodes the one that appeared first runs first."""
    waiting = [len(edges_in) for edges_in in incoming]
    ready = [i for i, count in enumerate(waiting) if count == 0]
    heapq.heapify(ready)
    order: List[int] = []
    while ready:
        i = heapq.heappop(ready)
        order.append(i)
        for j in outgoing[i]:
            waiting[j] -= 1
            if waiting[j] == 0:
                heapq.heappush(ready, j)
    if len(order) < len(nodes):
        stuck = _on_cycles(set(range(len(nodes))) - set(order), outgoing)
        names = [nodes[i] for i in sorted(stuck)]
        raise ValueError(f"GraphExecutor: the edges form a cycle through nodes {names}")
    return order


def _on_cycles(stuck: Iterable[int], outgoing: List[List[int]]) -> Set[int]:
    """Drop the nodes that Kahn left only because they lie downstream of a cycle."""
    remaining = set(stuck)
    changed = True
    while changed:
        changed = False
        for i in list(remaining):
            if not any(j in remaining for j in outgoing[i]):
                remaining.discard(i)
                changed = True
    return remaining


def _sink_positions(steps: Tuple[Step, ...]) -> Tuple[int, ...]:
    """Step positions of the nodes without outgoing edges, in order of first appearance."""
    sinks = [position for position, step in enumerate(steps) if step.fan_out == 0]
    return tuple(sorted(sinks, key=lambda position: steps[position].rank))


def releases(plan: Plan) -> Tuple[Tuple[int, ...], ...]:
    """For each step, the positions of the values no later step reads (outputs aside): a run
    over a whole sequence drops them once that step has run, so that it holds only the values
    still to be read and the memory of the others is reused rather than paged in anew."""
    last_read = {position: position for position in range(len(plan.steps))}
    for position, step in enumerate(plan.steps):
        for producer, _ in step.inputs:
            last_read[producer] = position
    outputs = set(plan.sink_steps)
    freed: List[List[int]] = [[] for _ in plan.steps]
    for producer, position in last_read.items():
        if producer not in outputs:
            freed[position].append(producer)
    return tuple(tuple(positions) for positions in freed)


def gather(step: Step, module: Optional[nn.Module], inputs: Sequence[Any],
           values: List[Any]) -> Any:
    """The input of one node: a forward argument, one producer's output, or a merge."""
    if step.source_slot >= 0:
        return inputs[step.source_slot]
    received = [
        values[producer] if chunk is None else values[producer][chunk]
        for producer, chunk in step.inputs
    ]
    if len(received) == 1:
        return received[0]
    merge = MERGES.get(getattr(module, "skip_type", None))
    if merge is None:
        raise merge_error(step.node, module, len(received))
    return merge(module, received)


def hooked(module: nn.Module) -> bool:
    """Whether hooks are registered on ``module`` itself."""
    return bool(module._forward_hooks or module._forward_pre_hooks or module._backward_hooks
                or module._backward_pre_hooks)


def global_hooks_set() -> bool:
    """Whether hooks are registered for every module (``register_module_forward_hook`` ...)."""
    return bool(module_globals._global_forward_hooks or module_globals._global_forward_pre_hooks
                or module_globals._global_backward_hooks
                or module_globals._global_backward_pre_hooks)


def direct_calls_allowed() -> bool:
    """No global module hooks and no JIT trace: a module call may then be its forward alone."""
    return not (global_hooks_set() or torch._C._get_tracing_state())


def note_node(error: BaseException, step: Step, children: Mapping[str, nn.Module]) -> None:
    """Adds the node that was running to an error from its module or its merge, unless the
    message names it already."""
    if repr(step.node) in str(error):
        return
    module = children.get(step.child) if step.child is not None else None
    kind = f" ({type(module).__name__})" if module is not None else ""
    error.add_note(f"GraphExecutor: while running node {step.node!r}{kind}")


def check_kept_state(node: str, state: Any, x: Any) -> None:
    """A kept membrane-like state (a tensor of the input's rank) must match the batch size."""
    if (isinstance(state, torch.Tensor) and isinstance(x, torch.Tensor)
            and state.dim() == x.dim() > 0 and state.shape[0] != x.shape[0]):
        raise ValueError(
            f"GraphExecutor: node {node!r} keeps a state of shape {tuple(state.shape)} that does "
            f"not fit its input of shape {tuple(x.shape)}: the batch size changed; call "
            "reset_state() before running another batch size"
        )


def checked_chunks(step: Step, out: Any) -> Any:
    if not isinstance(out, (tuple, list)):
        raise ValueError(
            f"GraphExecutor: multi-output node {step.node!r} returned {type(out).__name__}, "
            "not a tuple of chunks"
        )
    if len(out) < step.fan_out:
        raise ValueError(
            f"GraphExecutor: node {step.node!r} has {step.fan_out} outgoing edges but produced "
            f"only {len(out)} chunks"
        )
    return out
