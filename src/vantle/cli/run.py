"""``vantle-bridge run``: validate, import and simulate a graph; spike rates and the output."""

from __future__ import annotations

import argparse
import sys
from typing import Any, Dict, List, TextIO

from .budget import (MAX_STEPS, MemoryBudget, add_budget_option, check_file_batch,
                     check_steps)
from .errors import CliError, one_line
from .graphs import build_modules, read_valid_graph, sink_nodes, source_nodes
from .inputs import add_input_options, make_feed

# From this many steps on, a run shows its progress on stderr.
LONG_RUN_STEPS = 100
_BAR_WIDTH = 30


def add_parser(commands: Any) -> None:
    run = commands.add_parser("run", help="validate, import and simulate a graph")
    run.add_argument("path")
    run.add_argument("--steps", type=int, default=None,
                     help="time steps to simulate (default 1, or every step of a .npy "
                          f"sequence; at most {MAX_STEPS:,})")
    run.add_argument("--batch", type=int, default=None, help="batch size (default 1)")
    add_input_options(run, "--input", "random", "what to feed")
    run.add_argument("--repeat", action="store_true",
                     help="feed the first step's input (a static sample) at every one of --steps")
    add_budget_option(run)
    run.set_defaults(handler=command_run)


class Progress:
    """A bar on a terminal, a line per tenth of the run otherwise."""

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total, self.stream = total, stream
        self.active = total >= LONG_RUN_STEPS
        self.terminal = bool(getattr(stream, "isatty", lambda: False)())
        self._shown = -1

    def update(self, done: int) -> None:
        if not self.active:
            return
        if self.terminal:
            filled = _BAR_WIDTH * done // self.total
            self.stream.write(f"\r[{'#' * filled}{'.' * (_BAR_WIDTH - filled)}] "
                              f"{done}/{self.total} steps")
            if done == self.total:
                self.stream.write("\n")
        else:
            tenth = 10 * done // self.total
            if tenth == self._shown:
                return
            self._shown = tenth
            self.stream.write(f"step {done}/{self.total} ({10 * tenth}%)\n")
        self.stream.flush()


class SpikeRates:
    """Per LIF node, spikes counted over every step, sample and neuron."""

    def __init__(self, lif_nodes: List[str]) -> None:
        self.spikes: Dict[str, float] = {name: 0.0 for name in lif_nodes}
        self.elements: Dict[str, int] = {name: 0 for name in lif_nodes}

    def observe(self, node: str, inputs: tuple, output: Any) -> None:
        if node not in self.spikes:
            return
        spikes = output[0] if isinstance(output, (tuple, list)) else output
        self.spikes[node] += float(spikes.sum())
        self.elements[node] += spikes.numel()

    def lines(self) -> List[str]:
        width = max((len(name) for name in self.spikes), default=0)
        return [f"  {name:<{width}}  {self.spikes[name] / max(self.elements[name], 1):.4f}"
                for name in self.spikes]


def command_run(args: argparse.Namespace) -> int:
    import torch

    from vantle import ir
    from vantle.bridge import GraphExecutor

    from .graphs import port_shape
    from .watch import NodeWatch

    budget = MemoryBudget.from_args(args)
    if args.steps is not None:
        check_steps(args.steps)
    graph = read_valid_graph(args.path)
    budget.check_graph(graph, args.batch or 1)
    modules = build_modules(graph)
    try:
        executor = GraphExecutor(modules, graph.edges)
    except (TypeError, ValueError) as error:
        raise CliError(one_line(error)) from error
    sources = source_nodes(modules, graph.edges)
    shapes = [port_shape(graph.nodes[name], "input_type", "input") if name in graph.nodes else None
              for name in sources]
    feed = make_feed(args.input, shapes, args.batch, args.rate, args.seed, args.repeat,
                     budget)
    check_file_batch(budget, graph, args.batch, args.input, feed.batch)
    steps = _steps(args.steps, feed.steps)
    rates = SpikeRates([name for name, node in graph.nodes.items()
                        if isinstance(node, ir.LIF) and name in modules])
    progress = Progress(steps, sys.stderr)
    counts = OutputSpikes()
    output: Any = None
    with torch.no_grad(), NodeWatch(executor, rates.observe) as watch:
        for step in range(steps):
            watch.current = None
            try:
                output = executor(*feed.step(step))
            except Exception as error:
                raise CliError(_where(watch.current, graph) + f"step {step}: "
                               + one_line(error)) from error
            outputs = output if isinstance(output, tuple) else (output,)
            counts.observe(outputs)
            summary = "  ".join(f"{tuple(t.shape)} sum={float(t.sum()):.4g}"
                                for t in outputs if isinstance(t, torch.Tensor))
            print(f"step {step:>3}: {summary}")
            progress.update(step + 1)
    if rates.spikes:
        print(f"spike rates over {steps} steps x batch {feed.batch} (fraction of neurons firing):")
        print("\n".join(rates.lines()))
    sinks = sink_nodes(modules, graph.edges)
    spiking = counts.lines(sinks)
    if spiking:
        print(f"spikes per output over {steps} steps x batch {feed.batch}:")
        print("\n".join(spiking))
    print("output at the last step:")
    outputs = output if isinstance(output, tuple) else (output,)
    for name, value in zip(sinks, outputs):
        print(f"  {name}: {_tensor_text(value)}")
    return 0


class OutputSpikes:
    """Per graph output, its values summed over every step; those that held only 0 and 1 are
    spike trains, whose counts are shown."""

    def __init__(self) -> None:
        self.totals: List[float] = []
        self.elements: List[int] = []
        self.binary: List[bool] = []

    def observe(self, outputs: tuple) -> None:
        import torch

        for index, value in enumerate(outputs):
            if index == len(self.totals):
                self.totals.append(0.0)
                self.elements.append(0)
                self.binary.append(True)
            if not isinstance(value, torch.Tensor) or index >= len(self.totals):
                continue
            self.totals[index] += float(value.sum())
            self.elements[index] += value.numel()
            self.binary[index] = self.binary[index] and bool(((value == 0) | (value == 1)).all())

    def lines(self, names: List[str]) -> List[str]:
        shown = [(name, index) for index, name in enumerate(names)
                 if index < len(self.totals) and self.binary[index] and self.elements[index]]
        width = max((len(name) for name, _ in shown), default=0)
        return [f"  {name:<{width}}  {int(self.totals[i])} of {self.elements[i]} "
                f"({self.totals[i] / self.elements[i]:.4f})" for name, i in shown]


def _steps(asked: int | None, available: int | None) -> int:
    if asked is not None and asked < 1:
        raise CliError(f"--steps must be at least 1, got {asked}")
    if available is None:
        return asked or 1
    if asked is not None and asked > available:
        raise CliError(f"--steps {asked} asks for more steps than the input file holds "
                       f"({available})")
    return asked or available


def _where(node: str | None, graph: Any) -> str:
    if node is None:
        return ""
    kind = type(graph.nodes[node]).__name__ if node in graph.nodes else "no IR node"
    return f"node {node!r} ({kind}), "


def _tensor_text(value: Any) -> str:
    import numpy as np
    import torch

    if not isinstance(value, torch.Tensor):
        return type(value).__name__
    array = value.detach().cpu().numpy()
    head = f"shape {tuple(array.shape)}"
    if array.size == 0:
        return head + ", empty"
    if array.size <= 16:
        values = np.array2string(array.reshape(array.shape[0], -1) if array.ndim > 1 else array,
                                 precision=4, separator=", ", max_line_width=10_000)
        return f"{head} {' '.join(values.split())}"
    return (f"{head}, min {array.min():.4g}, mean {array.mean():.4g}, max {array.max():.4g}, "
            f"sum {array.sum():.4g}")
