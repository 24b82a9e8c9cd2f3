"""Command-line tool: look into, check and run `.vx2` graphs.

    vantle-bridge info model.vx2
    vantle-bridge validate model.vx2
    vantle-bridge run model.vx2 --steps 20 --batch 1
"""

from __future__ import annotations

import argparse
import sys
from collections import Counter
from typing import Sequence

import numpy as np

from vantle import ir


def _shape_text(ports: object) -> str:
    if not isinstance(ports, dict) or not ports:
        return "-"
    return ", ".join(f"{port}={tuple(int(d) for d in np.asarray(shape).ravel())}" for port, shape in ports.items())


def command_info(args: argparse.Namespace) -> int:
    graph = ir.read(args.path)
    kinds = Counter(type(node).__name__ for node in graph.nodes.values())
    print(f"{args.path}: {len(graph.nodes)} nodes, {len(graph.edges)} edges")
    print("kinds: " + ", ".join(f"{kind} x{count}" for kind, count in sorted(kinds.items())))
    print(f"inputs: {', '.join(graph.inputs) or '-'}; outputs: {', '.join(graph.outputs) or '-'}")
    width = max((len(name) for name in graph.nodes), default=4)
    for name, node in graph.nodes.items():
        print(
            f"  {name:<{width}}  {type(node).__name__:<18}"
            f" in: {_shape_text(node.input_type)}  out: {_shape_text(node.output_type)}"
        )
    return 0


def command_validate(args: argparse.Namespace) -> int:
    from vantle.bridge import dag_tools

    graph = ir.read(args.path)
    dag_tools.validate_graph(graph)
    order = dag_tools.get_topological_order_from_graph(graph)
    print(f"{args.path}: valid, {len(graph.nodes)} nodes in order: {' -> '.join(order)}")
    return 0


def _input_shape(graph: ir.Graph) -> tuple[int, ...]:
    for node in graph.inputs.values():
        shape = (node.input_type or {}).get("input")
        if shape is not None:
            return tuple(int(d) for d in np.asarray(shape).ravel())
    raise ValueError("the graph's Input node carries no input shape; cannot make a sample input")


def command_run(args: argparse.Namespace) -> int:
    import torch

    from vantle.bridge import GraphExecutor
    from vantle.bridge.import_ir import import_ir

    graph = ir.read(args.path)
    shape = (args.batch, *_input_shape(graph))
    executor = GraphExecutor(import_ir(graph), graph.edges)
    generator = torch.Generator().manual_seed(args.seed)
    with torch.no_grad():
        for step in range(args.steps):
            output = executor(torch.rand(shape, generator=generator))
            outputs = output if isinstance(output, tuple) else (output,)
            summary = "  ".join(
                f"{tuple(t.shape)} sum={float(t.sum()):.4g}" for t in outputs if isinstance(t, torch.Tensor)
            )
            print(f"step {step:>3}: {summary}")
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vantle-bridge", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)

    info = commands.add_parser("info", help="list a graph's nodes, kinds, shapes and edges")
    info.add_argument("path")
    info.set_defaults(handler=command_info)

    validate = commands.add_parser("validate", help="check a graph's structure and print its order")
    validate.add_argument("path")
    validate.set_defaults(handler=command_validate)

    run = commands.add_parser("run", help="import a graph and run it on random input")
    run.add_argument("path")
    run.add_argument("--steps", type=int, default=1, help="time steps to simulate (default 1)")
    run.add_argument("--batch", type=int, default=1, help="batch size (default 1)")
    run.add_argument("--seed", type=int, default=0, help="seed of the random input (default 0)")
    run.set_defaults(handler=command_run)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.handler(args)
    except (OSError, ValueError, TypeError) as error:
        print(f"vantle-bridge: error: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
