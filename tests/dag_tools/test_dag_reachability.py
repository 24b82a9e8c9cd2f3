"""Cycle test, reachability from inputs, and the input/output name lists."""

import random

import pytest
from dag_graphs import PlainGraph, nodes_of

import vantle.ir as ir
from vantle.bridge import dag_tools


@pytest.mark.parametrize(
    "kinds, edges, expected",
    [
        ("", [], set()),
        ("", [("a", "b")], set()),
        # Without edges every node but the inputs counts as disconnected, one node too.
        ("N", [], {"a"}),
        ("I", [], set()),
        ("INO", [], {"b", "c"}),
        ("INO", [("a", "b"), ("b", "c")], set()),
        ("INNO", [("a", "b"), ("c", "d")], {"c", "d"}),
        ("IINO", [("b", "c"), ("c", "d")], set()),
        # Forwards only: an edge into the input does not connect its source.
        ("INO", [("c", "a"), ("a", "b")], {"c"}),
        # Edges to unknown nodes are ignored.
        ("INO", [("a", "x"), ("x", "b"), ("a", "c")], {"b"}),
        # Without Input nodes the nodes no edge enters are the starts.
        ("NNN", [("a", "b"), ("b", "c")], set()),
        ("NNNN", [("a", "b"), ("c", "d")], set()),
        ("NNNN", [("a", "b"), ("b", "a"), ("c", "d")], {"a", "b"}),
        ("NNN", [("a", "b"), ("b", "c"), ("c", "a")], {"a", "b", "c"}),
        ("NNN", [("a", "a")], {"a"}),  # a self-loop is a predecessor
    ],
)
def test_disconnected_nodes(make_graph, kinds, edges, expected):
    result = dag_tools.get_disconnected_nodes(make_graph(kinds, edges))
    assert type(result) is set and result == expected


@pytest.mark.parametrize(
    "edges, expected",
    [
        ([], False),
        ([("a", "b"), ("b", "c")], False),
        ([("a", "b"), ("a", "b")], False),
        ([("b", "b")], True),
        ([("a", "b"), ("b", "a")], True),
        ([("a", "b"), ("b", "c"), ("c", "a")], True),
        # An edge naming an unknown node is dropped, so it cannot close a cycle.
        ([("a", "x"), ("x", "a")], False),
    ],
)
def test_has_cycles(make_graph, edges, expected):
    assert dag_tools.has_cycles(make_graph("INO", edges)) is expected


def test_has_cycles_on_an_empty_graph_is_false():
    assert dag_tools.has_cycles(PlainGraph({}, [])) is False


def reached_from(starts, edges):
    """Names reachable from `starts`, found by repeated relaxation (independent of a queue)."""
    reached = set(starts)
    while True:
        grown = reached | {dst for src, dst in edges if src in reached}
        if grown == reached:
            return reached
        reached = grown


@pytest.mark.parametrize("seed", range(20))
def test_disconnected_nodes_match_a_direct_closure_on_random_graphs(seed):
    rng = random.Random(seed)
    count = rng.randrange(1, 40)
    kinds = "".join(rng.choice("INNNN") for _ in range(count))
    names = [f"n{i}" for i in range(count)]
    edges = [(rng.choice(names), rng.choice(names)) for _ in range(rng.randrange(1, 2 * count + 1))]
    graph = PlainGraph(nodes_of(kinds, names), edges)
    starts = {name for name, kind in zip(names, kinds) if kind == "I"}
    if not starts:
        starts = set(names) - {dst for _, dst in edges}
    assert dag_tools.get_disconnected_nodes(graph) == set(names) - reached_from(starts, edges)


def test_input_and_output_names_are_fresh_lists_in_mapping_order(make_graph):
    graph = make_graph("OINIO", [])
    inputs, outputs = dag_tools.get_input_nodes(graph), dag_tools.get_output_nodes(graph)
    assert inputs == ["b", "d"] and outputs == ["a", "e"]
    inputs.append("z")
    outputs.clear()
    assert dag_tools.get_input_nodes(graph) == ["b", "d"]
    assert dag_tools.get_output_nodes(graph) == ["a", "e"]
    assert dag_tools.get_input_nodes(graph) is not dag_tools.get_input_nodes(graph)


def test_input_and_output_names_need_the_attributes():
    with pytest.raises(AttributeError, match="inputs"):
        dag_tools.get_input_nodes(ir.Input())
    with pytest.raises(AttributeError, match="outputs"):
        dag_tools.get_output_nodes(None)
