// Topological orders, sorted by rustworkx over the index graph.
#include "dag_tools/functions.h"
#include "dag_tools/index_graph.h"
#include "dag_tools/py_iter.h"
#include "py/arg_check.h"
#include "py/module_state.h"

namespace vantle::dag_tools {
namespace {

// rx.topological_sort(rx_graph); a cycle becomes ValueError with the
// rustworkx exception as its context.
nb::object sorted_indices(nb::handle rx_graph) {
  nb::object rx = py::module_global("rx");
  try {
    return rx.attr("topological_sort")(rx_graph);
  } catch (nb::python_error& error) {
    if (!error.matches(rx.attr("DAGHasCycle"))) throw;
    raise_while_handling(error.value(), PyExc_ValueError, "Graph contains cycles");
  }
}

nb::list order_of_built(BuiltIndexGraph built) {
  nb::object order = sorted_indices(make_rx_graph(built.nodes, built.edges));
  const int64_t count = built.nodes.size();
  nb::list names;
  for_each_item(order, [&](nb::handle index_object) {
    const Py_ssize_t index = PyLong_AsSsize_t(index_object.ptr());
    if (index == -1 && PyErr_Occurred()) throw nb::python_error();
    if (index < 0 || index >= count) throw nb::index_error("node index out of range");
    names.append(built.nodes.name(index));
    return true;
  });
  return names;
}

}  // namespace

nb::list get_topological_order(nb::handle nodes, nb::handle edges) {
  py::arg_list(nodes, "nodes");
  py::arg_list(edges, "edges");
  return order_of_built(build_index_graph(nodes, edges));
}

nb::list get_topological_order_from_graph(nb::handle graph) {
  if (auto offered = offered_index_graph(graph)) {
    nb::list names;
    for_each_item(sorted_indices(offered->graph), [&](nb::handle index) {
      names.append(offered->idx_to_node[index]);
      return true;
    });
    return names;
  }
  nb::object nodes = graph.attr("nodes");
  return order_of_built(build_index_graph(nodes, graph.attr("edges")));
}

}  // namespace vantle::dag_tools
