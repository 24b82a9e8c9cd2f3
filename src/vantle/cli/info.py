"""``vantle-bridge info``: each node with its shapes, parameters and settings; edges; totals."""

from __future__ import annotations

import argparse
import json
from collections import Counter
from typing import Any, Dict, List

import numpy as np

from vantle import ir

from .budget import MemoryBudget, add_budget_option
from .shapes import Inferred, infer_shapes
from .summary import NodeSummary, details_text, shapes_text, summarise


def add_parser(commands: Any) -> None:
    info = commands.add_parser("info", help="list a graph's nodes, shapes, parameters and edges")
    info.add_argument("path")
    info.add_argument("--json", action="store_true", help="print the summary as JSON")
    info.add_argument("--no-infer", action="store_true",
                      help="show only the shapes stored in the file (do not run the graph)")
    add_budget_option(info)
    info.set_defaults(handler=command_info)


def command_info(args: argparse.Namespace) -> int:
    budget = MemoryBudget.from_args(args)
    graph = ir.read(args.path)
    inferred = (Inferred(problem="not asked for") if args.no_infer
                else infer_shapes(graph, budget))
    nodes = [summarise(name, node, inferred) for name, node in graph.nodes.items()]
    if args.json:
        print(json.dumps(as_data(args.path, graph, nodes, inferred), indent=2))
    else:
        print_text(args.path, graph, nodes, inferred)
    return 0


def edge_labels(graph: ir.Graph, inferred: Inferred) -> List[str]:
    """Per edge, the chunk of a splitting node it carries ("" for ordinary edges)."""
    taken: Counter = Counter()
    labels = []
    for source, _ in graph.edges:
        if inferred.multi_output.get(source) or isinstance(graph.nodes.get(source),
                                                           getattr(ir, "ChannelSplit", ())):
            labels.append(f"chunk {taken[source]}")
            taken[source] += 1
        else:
            labels.append("")
    return labels


def as_data(path: str, graph: ir.Graph, nodes: List[NodeSummary],
            inferred: Inferred) -> Dict[str, Any]:
    labels = edge_labels(graph, inferred)
    return {
        "path": str(path),
        "inputs": list(graph.inputs),
        "outputs": list(graph.outputs),
        "nodes": [
            {
                "name": node.name,
                "kind": node.kind,
                "input_shapes": [list(shape) for shape in node.input_shapes],
                "output_shapes": [list(shape) for shape in node.output_shapes],
                "shape_source": node.shape_source,
                "parameters": node.parameters,
                "details": node.details,
                "precision": node.precision,
            }
            for node in nodes
        ],
        "edges": [
            {"source": source, "destination": destination, **({"label": label} if label else {})}
            for (source, destination), label in zip(graph.edges, labels)
        ],
        "totals": {
            "nodes": len(nodes),
            "edges": len(graph.edges),
            "parameters": sum(node.parameters for node in nodes),
            "kinds": dict(sorted(Counter(node.kind for node in nodes).items())),
        },
        "shape_inference": inferred.problem or "ok",
    }


def _ports_text(ports: object) -> str:
    if not isinstance(ports, dict) or not ports:
        return ""
    return ", ".join(f"{port}={tuple(int(d) for d in np.asarray(shape).ravel())}"
                     for port, shape in ports.items())


def print_text(path: str, graph: ir.Graph, nodes: List[NodeSummary], inferred: Inferred) -> None:
    kinds = Counter(node.kind for node in nodes)
    print(f"{path}: {len(graph.nodes)} nodes, {len(graph.edges)} edges")
    print("kinds: " + ", ".join(f"{kind} x{count}" for kind, count in sorted(kinds.items())))
    print(f"inputs: {', '.join(graph.inputs) or '-'}; outputs: {', '.join(graph.outputs) or '-'}")
    width = max((len(node.name) for node in nodes), default=4)
    for node, ir_node in zip(nodes, graph.nodes.values()):
        shape_in = (_ports_text(getattr(ir_node, "input_type", None))
                    or shapes_text(node.input_shapes))
        shape_out = (_ports_text(getattr(ir_node, "output_type", None))
                     or shapes_text(node.output_shapes))
        line = f"  {node.name:<{width}}  {node.kind:<18} in: {shape_in}  out: {shape_out}"
        if node.parameters:
            line += f"  params={node.parameters:,}"
        if node.details:
            line += "  " + details_text(node.details)
        if node.precision:
            line += "  [" + details_text(node.precision) + "]"
        print(line)
    if inferred.problem is None:
        print("(shapes without a port name were inferred by running the graph once on zeros)")
    elif inferred.problem != "not asked for":
        print(f"(shapes not inferred: {inferred.problem})")
    print("edges:")
    for (source, destination), label in zip(graph.edges, edge_labels(graph, inferred)):
        print(f"  {source} -> {destination}" + (f"  ({label})" if label else ""))
    total = sum(node.parameters for node in nodes)
    print(f"total: {len(graph.nodes)} nodes, {len(graph.edges)} edges, {total:,} parameters")
