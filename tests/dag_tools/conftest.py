"""The ``make_graph`` fixture: each graph test runs on the stand-in and on ``ir.Graph``."""

from __future__ import annotations

from typing import Any

import pytest
from dag_graphs import PlainGraph, nodes_of

import vantle.ir as ir


@pytest.fixture(params=["plain", "ir"])
def make_graph(request):
    """Builds a graph from (kinds, edges) as the stand-in or as a real ``ir.Graph``."""

    def make(kinds: str, edges: Any, names: list[Any] | None = None) -> Any:
        nodes = nodes_of(kinds, names)
        if request.param == "plain":
            return PlainGraph(nodes, edges)
        return ir.Graph(nodes=nodes, edges=edges)

    return make
