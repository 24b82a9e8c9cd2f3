// Index graph, cycle test, reachability and the input/output lists of a graph.
#include "dag_tools/functions.h"
#include "dag_tools/index_graph.h"
#include "dag_tools/reachability.h"
#include "py/torch_ops.h"

namespace vantle::dag_tools {
namespace {

nb::list listed_keys(nb::handle mapping) {
  PyObject* keys = PySequence_List(mapping.attr("keys")().ptr());
  if (keys == nullptr) throw nb::python_error();
  return nb::steal<nb::list>(keys);
}

}  // namespace

nb::tuple get_or_build_rx_graph(nb::handle graph) {
  if (auto offered = offered_index_graph(graph)) {
    return nb::make_tuple(offered->graph, offered->node_to_idx, offered->idx_to_node);
  }
  nb::object nodes = graph.attr("nodes");
  BuiltIndexGraph built = build_index_graph(nodes, graph.attr("edges"));
  nb::object rx_graph = make_rx_graph(built.nodes, built.edges);
  return nb::make_tuple(rx_graph, built.nodes.node_to_idx(), built.nodes.idx_to_node());
}

bool has_cycles(nb::handle graph) {
  nb::object edges = graph.attr("edges");
  if (!py::truthy(edges)) return false;
  if (auto offered = offered_index_graph(graph)) return rx_has_cycle(offered->graph);
  BuiltIndexGraph built = build_index_graph(graph.attr("nodes"), edges);
  return rx_has_cycle(make_rx_graph(built.nodes, built.edges));
}

nb::set get_disconnected_nodes(nb::handle graph) {
  nb::object nodes = graph.attr("nodes");
  if (!py::truthy(nodes)) return nb::set();
  nb::object edges = graph.attr("edges");
  if (!py::truthy(edges)) return non_input_names(nodes);
  if (auto offered = offered_index_graph(graph)) return unreachable_names(*offered, nodes);
  BuiltIndexGraph built = build_index_graph(nodes, edges);
  const core::Digraph digraph = make_digraph(built.nodes.size(), built.edges);
  return unreachable_names(built.nodes, digraph, nodes);
}

nb::list get_input_nodes(nb::handle graph) {
  return listed_keys(graph.attr("inputs"));
}

nb::list get_output_nodes(nb::handle graph) {
  return listed_keys(graph.attr("outputs"));
}

}  // namespace vantle::dag_tools
