"""Run a dictionary of imported modules along the edges of its IR graph."""

from __future__ import annotations

from collections import abc
from typing import Any, Dict, List, Mapping, Optional, Sequence

import torch
from torch import nn
from torch.nn import functional as F

from vantle.bridge import sequence
from vantle.bridge.plan import (Edge, Plan, Step, check_kept_state, checked_chunks,
                                direct_calls_allowed, gather, global_hooks_set, hooked,
                                make_plan, node_order, note_node)
from vantle.bridge.utils import sanitize_module_name

__all__ = ["GraphExecutor"]

# Executors pickled before the plan had a module of its own name their steps this way.
_Step = Step


def _detached(state: Any) -> Any:
    """A copy of a kept state cut from the autograd graph (tensors inside tuples/lists too)."""
    if isinstance(state, torch.Tensor):
        return state.detach()
    if isinstance(state, (tuple, list)):
        return type(state)(_detached(item) for item in state)
    return state


class GraphExecutor(nn.Module):
    """Runs a node-name -> module dictionary along a graph's edges, one time step per call.

    Nodes are the dictionary's keys plus every name in ``edges``; a node that only appears in the
    edges has no module and passes its input on. Nodes run in topological order (ties go to the
    node that appears first: dictionary order, then edge order). Source nodes (no incoming edge)
    take the positional inputs in order of first appearance; sink nodes (no outgoing edge) give
    the result: one sink returns its output, several return a tuple in order of first appearance.

    How values flow:

    - several incoming edges are merged, in edge-list order, according to the receiving module's
      ``skip_type``: ``"passthrough"`` keeps the first input, ``"residual"`` adds them all (of
      one rank and batch size: a sum broadcast across the batch axis is an error),
      ``"concatenate"`` joins them with ``torch.cat`` along the module's ``dim`` (default 1);
    - a module whose class has ``_is_multi_output`` set returns a tuple of chunks, and the i-th
      outgoing edge of that node (in edge-list order) carries chunk i;
    - any other module that returns a pair is read as ``(spikes, state)``: the spikes flow on and
      the state is kept, per node, and passed back as ``module(x, state)`` on the next call. This
      is how spiking layers keep their membrane potential across time steps.

    Kept states are plain attributes, not part of ``state_dict()``, and are not detached: the
    autograd graph grows across calls until ``reset_state()`` (new sequence) or ``detach_state()``
    (truncated backpropagation through time). They do not follow ``.to()``; reset after moving the
    executor to another device or dtype, or after changing the batch size (a kept tensor state of
    the input's rank whose batch size differs from the input's is an error naming the node, not
    a broadcast). ``run(x_seq)`` runs a whole time-major sequence at once, with the same results
    as one call per step. Copies (``pickle``,
    ``copy.deepcopy``, ``torch.save``) carry detached copies of the kept states.

    An error raised while a node runs (by its module or its merge) passes on unchanged, with a
    note naming the node.

    The execution plan is fixed at construction. Modules are looked up by child name on every
    call, so a child can be replaced in place; a node's ``skip_type`` and ``dim`` are read when it
    runs.

    Attributes:
        edges: the edge list exactly as given.
        _sanitized_names: node name -> child name, one entry per module.

    Example::

        modules = import_ir(graph)
        ex = GraphExecutor(modules, graph.edges)
        for t in range(T):
            out = ex(x[t])
        ex.reset_state()  # before the next sequence
        outs = ex.run(x)  # the same, all T steps at once: [T, batch, ...]

    Raises:
        TypeError: ``modules`` is not a mapping of string names to modules, or an edge is not a
            pair of strings.
        ValueError: an edge does not have two items, the graph has no nodes or a cycle, or a node
            with several inputs cannot merge them.
    """

    def __init__(self, modules: Mapping[str, nn.Module], edges: Sequence[Edge]) -> None:
        super().__init__()
        named_modules = _checked_modules(modules)
        _check_edges(edges)
        nodes = node_order(named_modules, edges)
        if not nodes:
            raise ValueError("GraphExecutor: the graph has no nodes (no modules and no edges)")
        # Every plain attribute exists before the children, so child names avoid them all.
        self.edges = edges
        self._sanitized_names: Dict[str, str] = {}
        self._states: Dict[str, Any] = {}
        self._plan = Plan((), 0, ())
        for node, module in named_modules.items():
            child = self._free_child_name(sanitize_module_name(node))
            self._sanitized_names[node] = child
            self.add_module(child, module)
        self._plan = make_plan(nodes, named_modules, edges, self._sanitized_names)

    def _free_child_name(self, base: str) -> str:
        """``base`` or ``base_1``, ``base_2``...: the first that is no child and no attribute."""
        candidate, suffix = base, 0
        while not candidate or candidate in self._modules or hasattr(self, candidate):
            suffix += 1
            candidate = f"{base}_{suffix}"
        return candidate

    def forward(self, *inputs: Any) -> Any:
        """Run one step of the whole graph; see the class docstring for the data flow."""
        plan = self._plan
        if len(inputs) != plan.num_sources:
            raise self._input_count_error(len(inputs), "input")
        children = self._modules
        states = self._states
        values: List[Any] = [None] * len(plan.steps)
        direct = direct_calls_allowed()
        step = plan.steps[0]
        try:
            for position, step in enumerate(plan.steps):
                module = children[step.child] if step.child is not None else None
                # One producer is the common case; merges and sources take the general path.
                if step.source_slot < 0 and len(step.inputs) == 1:
                    producer, chunk = step.inputs[0]
                    x = values[producer] if chunk is None else values[producer][chunk]
                else:
                    x = gather(step, module, inputs, values)
                if module is None:
                    values[position] = x
                    continue
                state = states.get(step.node)
                if state is not None and not (type(state) is torch.Tensor
                                              and type(x) is torch.Tensor
                                              and state.shape == x.shape):
                    check_kept_state(step.node, state, x)
                out = _call_node(module, x, state, direct)
                if step.multi_output:
                    values[position] = checked_chunks(step, out)
                elif isinstance(out, (tuple, list)):
                    if len(out) != 2:
                        raise ValueError(
                            f"GraphExecutor: node {step.node!r} returned a {type(out).__name__} "
                            f"of {len(out)} items; expected a tensor or a (spikes, state) pair"
                        )
                    values[position], states[step.node] = out
                else:
                    values[position] = out
        except Exception as error:
            note_node(error, step, children)
            raise
        if len(plan.sink_steps) == 1:
            return values[plan.sink_steps[0]]
        return tuple(values[position] for position in plan.sink_steps)

    def run(self, *x_seqs: torch.Tensor) -> Any:
        """Run a whole time-major sequence: the same as one call per time step, stacked.

        Takes one tensor ``[T, batch, ...]`` per source node and returns the sink outputs
        stacked over time (``[T, batch, ...]``, a tuple for several sinks). Kept states carry on
        from the previous call and are left as T calls would leave them, autograd history
        included. Graphs whose nodes all treat each sample on their own (the imported layers;
        LIF, the only state) run layer by layer: every other node once on all T*batch samples,
        each LIF layer one scan through time (``LIFModule.scan``). Any other graph (modules with
        state of their own, training-mode batch norm, hooks, unknown module classes) runs step
        by step.

        Spikes equal those of stepping as long as each layer computes a sample the same way in
        a bigger batch (torch's CPU matrix products do for batches above one; a batch of one
        may round differently in the last bit); membranes agree to float32 rounding.

        Sequences of samples without dimensions of their own ([T, batch]) run step by step:
        there the batch is the last axis, which a layer-by-layer run would share between steps.

        Raises:
            TypeError: the number of sequences differs from the number of source nodes.
            ValueError: a sequence is not a tensor of at least two dimensions, the sequences
                differ in length or have no time steps, or an output changes its shape from
                one step to the next (it cannot be stacked).
        """
        if len(x_seqs) != self._plan.num_sources:
            raise self._input_count_error(len(x_seqs), "sequence")
        sequence.check_sequences(x_seqs, self._plan.source_names())
        # A sample without dimensions of its own ([T, batch] sequences) leaves the batch as the
        # last axis, which "dim=-1" and every feature axis would then mean: only stepping
        # keeps such a step's batch apart from the other steps'.
        per_sample = all(x.dim() >= 3 for x in x_seqs)
        roles = self._layer_major_roles() if per_sample else None
        if roles is None:
            return sequence.run_stepping(self, self._plan.sink_names(), x_seqs)
        return sequence.run_layer_major(self._plan, self._modules, self._states, roles, x_seqs)

    def _layer_major_roles(self) -> Optional[List[str]]:
        """The roles of the steps in a layer-by-layer run, or None where the graph must step:
        hooks on the executor (or on every module) expect one call per time step."""
        if global_hooks_set() or hooked(self):
            return None
        return sequence.layer_major_roles(self._plan, self._modules)

    def _source_names(self) -> List[str]:
        return self._plan.source_names()

    def _input_count_error(self, count: int, what: str) -> TypeError:
        return TypeError(
            f"GraphExecutor expects {self._plan.num_sources} {what}(s), one per source node "
            f"{self._source_names()}, but got {count}"
        )

    def reset_state(self) -> None:
        """Forget every kept state, so the next call starts a new sequence."""
        self._states.clear()

    def detach_state(self) -> None:
        """Cut the kept states from the autograd graph but keep their values (truncated BPTT)."""
        for node, state in self._states.items():
            self._states[node] = _detached(state)

    def __setstate__(self, state: Dict[str, Any]) -> None:
        # Executors pickled before the plan was one object kept its three parts.
        if "_plan" not in state and "_steps" in state:
            state = dict(state)
            state["_plan"] = Plan(state.pop("_steps"), state.pop("_num_sources"),
                                  state.pop("_sink_steps"))
        super().__setstate__(state)

    def __getstate__(self) -> Dict[str, Any]:
        # Copies get detached states: deepcopy refuses tensors that carry autograd history.
        state = super().__getstate__()
        state["_states"] = {node: _detached(kept) for node, kept in self._states.items()}
        return state

    def extra_repr(self) -> str:
        sources = self._source_names()
        sinks = self._plan.sink_names()
        return (
            f"nodes={len(self._plan.steps)}, edges={len(self.edges)}, "
            f"inputs={sources}, outputs={sinks}"
        )


def _checked_modules(modules: Any) -> Dict[str, nn.Module]:
    """The mapping as an ordered dict, after checking names and values."""
    if not hasattr(modules, "items"):
        raise TypeError(
            "GraphExecutor: 'modules' must be a mapping of node name to nn.Module, "
            f"got {type(modules).__name__}"
        )
    checked: Dict[str, nn.Module] = {}
    for node, module in modules.items():
        if not isinstance(node, str):
            raise TypeError(
                f"GraphExecutor: node names must be str, got {type(node).__name__} {node!r}"
            )
        if not isinstance(module, nn.Module):
            raise TypeError(
                f"GraphExecutor: node {node!r} must map to an nn.Module, "
                f"got {type(module).__name__}"
            )
        checked[node] = module
    return checked


def _check_edges(edges: Any) -> None:
    if isinstance(edges, (str, bytes)) or not isinstance(edges, abc.Sequence):
        raise TypeError(
            "GraphExecutor: 'edges' must be a list of (source, destination) pairs, "
            f"got {type(edges).__name__}"
        )
    for index, edge in enumerate(edges):
        if not isinstance(edge, (tuple, list)):
            raise TypeError(
                f"GraphExecutor: edge {index} must be a (source, destination) pair, "
                f"got {type(edge).__name__} {edge!r}"
            )
        if len(edge) != 2:
            raise ValueError(
                f"GraphExecutor: edge {index} must have 2 items (source, destination), "
                f"got {len(edge)}: {edge!r}"
            )
        for end in edge:
            if not isinstance(end, str):
                raise TypeError(
                    f"GraphExecutor: edge {index} {edge!r} must name nodes by str, "
                    f"got {type(end).__name__}"
                )


_MODULE_CALL = nn.Module.__call__
_LINEAR_FORWARD = nn.Linear.forward


def _call_node(module: nn.Module, x: Any, state: Any, direct: bool) -> Any:
    """``module(x)``, or ``module(x, state)`` for a kept state, by the shortest way that
    does the same.

    Where the call would do nothing but run ``forward`` (no hooks on the module, no compiled
    call, ``__call__`` not overridden, and ``direct``: no global hooks, no JIT trace), that is
    torch's own shortcut, and ``forward`` runs without the two Python frames of
    ``nn.Module.__call__``. A plain ``nn.Linear`` goes one step further and reads its
    parameters from their table: ``module.weight`` is a Python ``__getattr__`` call, which
    costs about a tenth of a small layer's whole step.
    """
    if not (direct and type(module).__call__ is _MODULE_CALL
            and module._compiled_call_impl is None
            and not hooked(module)):
        return module(x) if state is None else module(x, state)
    if state is not None:
        return module.forward(x, state)
    if type(module) is nn.Linear and nn.Linear.forward is _LINEAR_FORWARD:
        params = module._parameters
        weight, bias = params.get("weight"), params.get("bias", params)
        if weight is not None and bias is not params:
            return F.linear(x, weight, bias)
    return module.forward(x)


