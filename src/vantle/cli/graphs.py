"""Reading, validating and importing a graph for the commands, with errors that name the node."""

from __future__ import annotations

from typing import TYPE_CHECKING, Dict, List, Mapping

import numpy as np

from vantle import ir

from .errors import CliError, one_line

if TYPE_CHECKING:
    from torch import nn


def read_valid_graph(path: str) -> ir.Graph:
    """``ir.read`` then the structure checks of ``validate`` (its ValueError passes unchanged)."""
    from vantle.bridge import dag_tools

    graph = ir.read(path)
    dag_tools.validate_graph(graph)
    return graph


def build_modules(graph: ir.Graph) -> Dict[str, "nn.Module"]:
    """``import_ir(graph)`` node by node, so that a failing conversion names its node."""
    from vantle.bridge.import_ir import node_to_module

    modules: Dict[str, "nn.Module"] = {}
    for name, node in graph.nodes.items():
        try:
            module = node_to_module(node)
        except Exception as error:
            raise CliError(f"node {name!r} ({type(node).__name__}): cannot import: "
                           f"{one_line(error)}") from error
        if module is not None:
            modules[name] = module
    return modules


def _first_appearance(modules: Mapping[str, object], edges: List) -> List[str]:
    # The executor's node order: module order, then edge order.
    order = dict.fromkeys(modules)
    for source, destination in edges:
        order.setdefault(source)
        order.setdefault(destination)
    return list(order)


def source_nodes(modules: Mapping[str, object], edges: List) -> List[str]:
    """The nodes that take the executor's positional inputs (no incoming edge), in its order."""
    fed = {destination for _, destination in edges}
    return [node for node in _first_appearance(modules, edges) if node not in fed]


def sink_nodes(modules: Mapping[str, object], edges: List) -> List[str]:
    """The nodes whose outputs the executor returns (no outgoing edge), in its order."""
    feeding = {source for source, _ in edges}
    return [node for node in _first_appearance(modules, edges) if node not in feeding]


def port_shape(node: ir.Node, ports: str, port: str) -> tuple[int, ...] | None:
    """A port's shape (batch not counted) as a tuple, or None when the node does not give it."""
    table = getattr(node, ports, None)
    if not isinstance(table, dict) or table.get(port) is None:
        return None
    return tuple(int(d) for d in np.asarray(table[port]).ravel())


def input_shapes(graph: ir.Graph, sources: List[str]) -> List[tuple[int, ...]]:
    """Per source node, the sample shape its ``input_type`` gives; an error names a node without."""
    shapes = []
    for name in sources:
        node = graph.nodes.get(name)
        shape = None if node is None else port_shape(node, "input_type", "input")
        if shape is None:
            raise CliError(f"node {name!r} takes the graph's input but gives no input shape "
                           "(input_type['input']); cannot make an input for it")
        shapes.append(shape)
    return shapes
