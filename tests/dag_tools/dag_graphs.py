"""Graph objects for the dag_tools tests: a stand-in with only the attributes the tools read."""

from __future__ import annotations

from typing import Any

import vantle.ir as ir

KINDS = {"I": ir.Input, "O": ir.Output, "N": ir.ReLU}


class PlainGraph:
    """Only the attributes the graph tools read: nodes, edges, inputs, outputs."""

    def __init__(self, nodes: dict[Any, Any], edges: Any) -> None:
        self.nodes = nodes
        self.edges = edges

    @property
    def inputs(self) -> dict[Any, Any]:
        return {name: node for name, node in self.nodes.items() if isinstance(node, ir.Input)}

    @property
    def outputs(self) -> dict[Any, Any]:
        return {name: node for name, node in self.nodes.items() if isinstance(node, ir.Output)}


def nodes_of(kinds: str, names: list[Any] | None = None) -> dict[Any, Any]:
    """Nodes named a, b, c ... (or ``names``), one per letter of ``kinds`` (I, O or N)."""
    names = names if names is not None else [chr(ord("a") + i) for i in range(len(kinds))]
    return {name: KINDS[kind]() for name, kind in zip(names, kinds)}
