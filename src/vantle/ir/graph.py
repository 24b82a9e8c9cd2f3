"""The IR graph: named nodes in insertion order and directed edges between their names."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any

from .node import Node
from .nodes import Input, Output


class Graph:
    """A directed graph of IR nodes.

    ``nodes`` is a new insertion-ordered dict (name -> node) copied from the mapping given;
    ``edges`` is a new list of the (source, destination) pairs given, items unchanged.
    ``inputs`` and ``outputs`` are derived from the ``Input`` and ``Output`` nodes on every
    access, so later edits of ``nodes`` show in them. Graphs compare by value and hash by
    identity. Nothing is validated here; ``write`` and
    the graph tools check the structure.
    """

    def __init__(
        self,
        nodes: Mapping[str, Node] | None = None,
        edges: Iterable[Any] | None = None,
    ) -> None:
        self.nodes: dict[str, Node] = dict(nodes) if nodes is not None else {}
        self.edges: list[Any] = list(edges) if edges is not None else []

    @property
    def inputs(self) -> dict[str, Node]:
        """The graph's ``Input`` nodes by name, in node order."""
        return {name: node for name, node in self.nodes.items() if isinstance(node, Input)}

    @property
    def outputs(self) -> dict[str, Node]:
        """The graph's ``Output`` nodes by name, in node order."""
        return {name: node for name, node in self.nodes.items() if isinstance(node, Output)}

    def __eq__(self, other: object) -> bool:
        # Node order matters (it is the order of an import's result); edges compare as pairs,
        # so a list edge equals the tuple that reading a file gives back.
        if not isinstance(other, Graph):
            return NotImplemented
        return list(self.nodes.items()) == list(other.nodes.items()) and _pairs(
            self.edges
        ) == _pairs(other.edges)

    # Like nodes, graphs hash by identity so tools can cache per graph object.
    __hash__ = object.__hash__

    def __repr__(self) -> str:
        return (
            f"Graph({len(self.nodes)} nodes, {len(self.edges)} edges, "
            f"inputs={list(self.inputs)}, outputs={list(self.outputs)})"
        )


def _pairs(edges: list[Any]) -> list[Any]:
    return [tuple(edge) if isinstance(edge, list) else edge for edge in edges]
