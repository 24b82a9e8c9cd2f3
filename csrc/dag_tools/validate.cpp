// validate_graph: the structural rules of an IR graph, checked in a fixed order;
// the first rule broken decides the message.
#include <optional>
#include <string>

#include "dag_tools/functions.h"
#include "dag_tools/index_graph.h"
#include "dag_tools/parameter_shapes.h"
#include "dag_tools/py_iter.h"
#include "dag_tools/reachability.h"
#include "py/instance_test.h"
#include "py/torch_ops.h"

namespace vantle::dag_tools {
namespace {

[[noreturn]] void raise_edge_error(const char* problem, nb::handle src, nb::handle dst) {
  raise_value_error(
      {nb::str(problem), text_of(src), nb::str("' -> '"), text_of(dst), nb::str("'")});
}

// Raises the message for edge `src, dst` if it names an unknown node or is a
// self-loop; otherwise returns its index pair.
IndexEdge checked_edge(NodeIndex& index, nb::handle src, nb::handle dst) {
  int64_t src_index = index.find_by_identity(src);
  int64_t dst_index = index.find_by_identity(dst);
  // Two different str keys of one dict are never equal: no comparison needed.
  const bool both_keys = src_index >= 0 && dst_index >= 0 && index.names_distinct_by_identity();
  if (src_index < 0 && (src_index = index.find(src)) < 0) {
    raise_value_error({nb::str("Edge references unknown source node: "), text_of(src)});
  }
  if (dst_index < 0 && (dst_index = index.find(dst)) < 0) {
    raise_value_error({nb::str("Edge references unknown destination node: "), text_of(dst)});
  }
  const int same =
      both_keys ? src.ptr() == dst.ptr() : PyObject_RichCompareBool(src.ptr(), dst.ptr(), Py_EQ);
  if (same < 0) throw nb::python_error();
  if (same) raise_edge_error("Self-loop detected: '", src, dst);
  return {src_index, dst_index};
}

// The graph of the edges of `edges`, checked in order. Per edge the rules are
// unknown source, unknown destination, self-loop, repeat of an earlier pair; the
// first edge breaking any rule decides the error. Repeats are found after the
// walk, among the edges before the first other failure.
core::Digraph checked_edges(NodeIndex& index, nb::handle edges) {
  std::vector<IndexEdge> pairs;
  pairs.reserve(reserve_hint(edges));
  // Edges of a list are read again for a message; others are kept as they come.
  const bool is_list = PyList_CheckExact(edges.ptr());
  std::vector<nb::object> kept;
  std::optional<nb::python_error> failure;
  try {
    for_each_pair(edges, [&](nb::handle src, nb::handle dst) {
      if (!is_list) kept.push_back(nb::make_tuple(src, dst));
      pairs.push_back(checked_edge(index, src, dst));
    });
  } catch (nb::python_error& error) {
    failure.emplace(std::move(error));
  }
  core::Digraph digraph = make_digraph(index.size(), pairs);
  const int64_t repeat = core::first_repeated_edge(digraph, pairs);
  if (repeat >= 0) {
    nb::object edge = is_list ? nb::borrow(PyList_GetItem(edges.ptr(), repeat)) : kept[repeat];
    if (!edge.is_valid()) throw nb::python_error();
    auto raise_repeat = [](nb::handle src, nb::handle dst) {
      raise_edge_error("Duplicate edge detected: '", src, dst);
    };
    visit_pair(edge, raise_repeat);
  }
  if (failure) throw std::move(*failure);
  return digraph;
}

// any(isinstance(node, cls) for node in nodes.values()), stopping at the first match.
bool any_node_of(nb::handle nodes, nb::handle cls) {
  py::InstanceTest is_of_class(cls);
  bool found = false;
  for_each_item(nodes.attr("values")(), [&](nb::handle node) {
    found = is_of_class(node);
    return !found;
  });
  return found;
}

}  // namespace

void validate_graph(nb::handle graph) {
  nb::object nodes = graph.attr("nodes");
  if (!py::truthy(nodes)) raise_value_error({nb::str("Graph cannot be empty (no nodes)")});
  NodeIndex index(nodes);
  nb::object edges = graph.attr("edges");
  const core::Digraph digraph = checked_edges(index, edges);

  const bool has_input = any_node_of(nodes, ir_class("Input"));
  const bool has_output = any_node_of(nodes, ir_class("Output"));
  if (!has_input) raise_value_error({nb::str("Graph has no Input nodes")});
  if (!has_output) raise_value_error({nb::str("Graph has no Output nodes")});

  if (!py::truthy(edges)) {
    const size_t count = nb::len(nodes);
    if (count > 1) {
      raise_value_error({nb::str("Graph has "), nb::str(std::to_string(count).c_str()),
                         nb::str(" nodes but no edges. Graph must be connected.")});
    }
    check_parameter_shapes(nodes);
    return;
  }

  // Every edge passed the checks above, so the native graph built from the
  // checked pairs is exactly the index graph: the cycle test runs on it rather
  // than on a rustworkx copy that would cost more to build than the whole
  // validation. An offered index graph is fetched anew for each test.
  const auto offered_for_cycles = offered_index_graph(graph);
  if (offered_for_cycles ? rx_has_cycle(offered_for_cycles->graph) : digraph_has_cycle(digraph)) {
    raise_value_error({nb::str("Graph contains cycles. VANTLE IR graphs must be acyclic (DAG).")});
  }
  const auto offered_for_reach = offered_index_graph(graph);
  const nb::set disconnected = offered_for_reach ? unreachable_names(*offered_for_reach, nodes)
                                                 : unreachable_names(index, digraph, nodes);
  if (nb::len(disconnected) != 0) {
    raise_value_error({nb::str("Graph contains disconnected nodes: "), text_of(disconnected),
                       nb::str(". All nodes must be reachable from input nodes.")});
  }
  check_parameter_shapes(nodes);
}

}  // namespace vantle::dag_tools
