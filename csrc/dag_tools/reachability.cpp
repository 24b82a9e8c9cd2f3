#include "dag_tools/reachability.h"

#include <vector>

#include "core/digraph.h"
#include "dag_tools/offered_edges.h"
#include "dag_tools/py_iter.h"
#include "py/instance_test.h"

namespace vantle::dag_tools {
namespace {

// Names of the `ir.Input` nodes of `nodes`, scanning `nodes.items()`; counts
// the items seen into `item_count` when given.
std::vector<nb::object> input_names(nb::handle nodes, int64_t* item_count = nullptr) {
  py::InstanceTest is_input(ir_class("Input"));
  std::vector<nb::object> names;
  int64_t items = 0;
  for_each_item(nodes.attr("items")(), [&](nb::handle item) {
    auto keep_inputs = [&](nb::handle name, nb::handle node) {
      if (is_input(node)) names.push_back(nb::borrow(name));
    };
    visit_pair(item, keep_inputs);
    ++items;
    return true;
  });
  if (item_count != nullptr) *item_count = items;
  return names;
}

nb::object lookup(nb::handle mapping, nb::handle key) {
  PyObject* value = PyObject_GetItem(mapping.ptr(), key.ptr());
  if (value == nullptr) throw nb::python_error();
  return nb::steal(value);
}

std::vector<uint8_t> reachable(const core::Digraph& digraph, const std::vector<int64_t>& starts) {
  nb::gil_scoped_release unlocked;
  return core::reachable_from(digraph, starts);
}

// A node index as the offered rustworkx graph would take it, or -1 for a value
// that names no node there. Values that rustworkx refuses raise its own error.
int64_t offered_node_index(nb::handle rx_graph, nb::handle value) {
  PyObject* number = PyNumber_Index(value.ptr());
  if (number != nullptr) {
    const Py_ssize_t index = PyLong_AsSsize_t(number);
    Py_DECREF(number);
    if (index >= 0) return index;
  }
  PyErr_Clear();
  rx_graph.attr("successor_indices")(value);
  return -1;
}

}  // namespace

core::Digraph make_digraph(int64_t node_count, const std::vector<IndexEdge>& edges) {
  nb::gil_scoped_release unlocked;
  return core::Digraph(node_count, edges);
}

bool digraph_has_cycle(const core::Digraph& digraph) {
  nb::gil_scoped_release unlocked;
  return core::has_cycle(digraph);
}

nb::set non_input_names(nb::handle nodes) {
  nb::set names = nb::steal<nb::set>(PySet_New(nodes.attr("keys")().ptr()));
  if (!names.is_valid()) throw nb::python_error();
  for (const nb::object& name : input_names(nodes)) {
    if (PySet_Discard(names.ptr(), name.ptr()) < 0) throw nb::python_error();
  }
  return names;
}

nb::set unreachable_names(NodeIndex& index, const core::Digraph& digraph, nb::handle nodes) {
  std::vector<int64_t> starts;
  for (const nb::object& name : input_names(nodes)) starts.push_back(index.at(name));
  if (starts.empty()) {
    // Without inputs the roots stand in for them; a repeated name counts by its later index.
    for (nb::handle name : index.names()) {
      const int64_t node = index.find(name);
      if (!digraph.has_predecessor(node)) starts.push_back(node);
    }
  }
  const std::vector<uint8_t> reached = reachable(digraph, starts);
  nb::set result;
  for (int64_t node = 0; node < index.size(); ++node) {
    if (!reached[node]) result.add(index.name(node));
  }
  return result;
}

nb::set unreachable_names(const OfferedIndexGraph& offered, nb::handle nodes) {
  std::vector<nb::object> start_values;
  int64_t node_items = 0;
  for (const nb::object& name : input_names(nodes, &node_items)) {
    start_values.push_back(lookup(offered.node_to_idx, name));
  }
  const OfferedEdges edges(offered.graph, node_items);
  const core::Digraph digraph = make_digraph(edges.size(), edges.edges());
  std::vector<int64_t> starts;
  for (const nb::object& value : start_values) {
    const int64_t index = offered_node_index(offered.graph, value);
    if (index >= 0) starts.push_back(edges.compact(index));
  }
  if (starts.empty()) {
    for_each_item(nodes, [&](nb::handle name) {
      const int64_t index = offered_node_index(offered.graph, lookup(offered.node_to_idx, name));
      // An index beyond the count that no edge names reaches nothing that is counted.
      const int64_t node = index >= 0 ? edges.compact(index) : -1;
      if (node >= 0 && !digraph.has_predecessor(node)) starts.push_back(node);
      return true;
    });
  }
  const std::vector<uint8_t> reached = reachable(digraph, starts);
  nb::set result;
  for (int64_t node = 0; node < edges.node_count(); ++node) {
    if (!reached[node]) result.add(lookup(offered.idx_to_node, nb::int_(node)));
  }
  return result;
}

}  // namespace vantle::dag_tools
