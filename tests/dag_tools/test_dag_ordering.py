"""Topological orders from name lists and from graphs, and their argument checks."""

import pytest
import rustworkx as rx
from dag_graphs import PlainGraph, nodes_of

from vantle.bridge import dag_tools


def assert_topological(order, nodes, edges):
    """`order` lists `nodes` once each and puts every known edge's source first."""
    assert sorted(order) == sorted(nodes)
    position = {name: i for i, name in enumerate(order)}
    for src, dst in edges:
        if src in position and dst in position:
            assert position[src] < position[dst], (src, dst)


@pytest.mark.parametrize(
    "nodes, edges",
    [
        (["a", "b", "c"], [("c", "a")]),
        (["a", "b", "c"], [("c", "a"), ("a", "x"), ("y", "b")]),
        (["a", "b", "c", "d"], [("d", "c"), ("c", "b"), ("b", "a")]),
        (["a", "b", "c", "d"], [("a", "b"), ("a", "b"), ("c", "b"), ("b", "d")]),
        (["a", "b", "c"], [["b", "a"], ["c", "b"]]),
        ([3, 1, 2], [(1, 3), (2, 1)]),
        ([], []),
    ],
)
def test_order_from_lists_respects_every_edge(nodes, edges):
    order = dag_tools.get_topological_order(nodes, edges)
    assert type(order) is list
    assert_topological(order, nodes, edges)
    assert dag_tools.get_topological_order(nodes=nodes, edges=edges) == order


def test_order_from_a_graph_respects_every_edge(make_graph):
    edges = [("d", "b"), ("a", "d"), ("b", "c"), ("e", "c"), ("a", "x")]
    order = dag_tools.get_topological_order_from_graph(make_graph("INNNO", edges))
    assert_topological(order, ["a", "b", "c", "d", "e"], edges)


def test_a_name_listed_twice_is_two_nodes_and_edges_use_the_later():
    first, later = "".join(["no", "de"]), "".join(["n", "ode"])
    assert first == later and first is not later
    order = dag_tools.get_topological_order([first, "b", later], [("b", "node")])
    assert len(order) == 3 and order.count("node") == 2
    position = {id(name): i for i, name in enumerate(order)}
    assert position[id("b")] < position[id(later)]


@pytest.mark.parametrize(
    "call",
    [
        lambda: dag_tools.get_topological_order(["a"], [("a", "a")]),
        lambda: dag_tools.get_topological_order(["a", "b"], [("a", "b"), ("b", "a")]),
        lambda: dag_tools.get_topological_order_from_graph(
            PlainGraph(nodes_of("INO"), [("a", "b"), ("b", "c"), ("c", "b")])
        ),
    ],
)
def test_a_cycle_raises_value_error_with_the_rustworkx_error_as_context(call):
    with pytest.raises(ValueError) as raised:
        call()
    error = raised.value
    assert str(error) == "Graph contains cycles"
    assert isinstance(error.__context__, rx.DAGHasCycle)
    assert error.__cause__ is None and not error.__suppress_context__


def test_a_cycle_error_raised_inside_a_handler_keeps_the_whole_chain():
    try:
        try:
            raise KeyError("outer")
        except KeyError:
            dag_tools.get_topological_order(["a"], [("a", "a")])
    except ValueError as error:
        assert isinstance(error.__context__, rx.DAGHasCycle)
        assert isinstance(error.__context__.__context__, KeyError)
    else:  # pragma: no cover
        pytest.fail("no ValueError")


class Listed(list):
    pass


@pytest.mark.parametrize(
    "nodes, edges, message",
    [
        (("a",), [], "Argument 'nodes' has incorrect type (expected list, got tuple)"),
        (None, [], "Argument 'nodes' has incorrect type (expected list, got NoneType)"),
        (Listed(), [], "Argument 'nodes' has incorrect type (expected list, got Listed)"),
        (["a"], (), "Argument 'edges' has incorrect type (expected list, got tuple)"),
        (["a"], None, "Argument 'edges' has incorrect type (expected list, got NoneType)"),
        # Both arguments are checked before any name is looked at.
        ([["unhashable"]], {}, "Argument 'edges' has incorrect type (expected list, got dict)"),
        ((), None, "Argument 'nodes' has incorrect type (expected list, got tuple)"),
    ],
)
def test_arguments_must_be_exactly_lists(nodes, edges, message):
    with pytest.raises(TypeError) as raised:
        dag_tools.get_topological_order(nodes, edges)
    assert str(raised.value) == message


def interpreter_unpack_error(edge):
    with pytest.raises((TypeError, ValueError)) as raised:
        src, dst = edge
    return raised.type, str(raised.value)


@pytest.mark.parametrize("edge", [("a",), ["a", "b", "c"], (), 5, None, "abc", iter("a")])
def test_edges_that_are_not_pairs_raise_the_interpreters_unpacking_error(edge):
    expected_type, expected_message = interpreter_unpack_error(
        list("a") if isinstance(edge, type(iter(""))) else edge
    )
    with pytest.raises(expected_type) as raised:
        dag_tools.get_topological_order(["a", "b"], [("a", "b"), edge])
    assert str(raised.value) == expected_message


def test_any_two_element_iterable_is_an_edge():
    edges = ["ba", iter(["c", "b"]), {"c": 1, "a": 2}]
    assert dag_tools.get_topological_order(["a", "b", "c"], edges) == ["c", "b", "a"]


def test_an_unhashable_name_raises_type_error_even_without_edges():
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        dag_tools.get_topological_order([["a"]], [])
