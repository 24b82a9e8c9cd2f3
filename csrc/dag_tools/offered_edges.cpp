#include "dag_tools/offered_edges.h"

#include <string>

#include "dag_tools/py_iter.h"

namespace vantle::dag_tools {
namespace {

constexpr const char* kOffered = "Index graph from _get_rx_graph() ";

// A node index as an integer; anything that is not a non-negative int that
// fits in 64 bits raises ValueError naming it.
int64_t edge_index(nb::handle value) {
  PyObject* number = PyNumber_Index(value.ptr());
  long long index = -1;
  int overflow = 0;
  if (number != nullptr) {
    index = PyLong_AsLongLongAndOverflow(number, &overflow);
    Py_DECREF(number);
  }
  if (number == nullptr || overflow != 0 || index < 0) {
    PyErr_Clear();
    raise_value_error(
        {nb::str(kOffered), nb::str("has an edge with an invalid node index: "), text_of(value)});
  }
  return index;
}

}  // namespace

OfferedEdges::OfferedEdges(nb::handle rx_graph, int64_t node_items)
    : node_count_(static_cast<int64_t>(nb::len(rx_graph))) {
  // Results name one node per index below the count: a count above the real
  // node count cannot describe this graph, and would size everything after it.
  if (node_count_ > node_items) {
    raise_value_error(
        {nb::str(kOffered), nb::str("has "), nb::str(std::to_string(node_count_).c_str()),
         nb::str(" nodes, more than the graph's "), nb::str(std::to_string(node_items).c_str())});
  }
  for_each_pair(rx_graph.attr("edge_list")(), [&](nb::handle src, nb::handle dst) {
    const int64_t from = number(edge_index(src));
    edges_.emplace_back(from, number(edge_index(dst)));
  });
}

int64_t OfferedEdges::number(int64_t index) {
  if (index < node_count_) return index;
  return beyond_.try_emplace(index, size()).first->second;
}

int64_t OfferedEdges::compact(int64_t index) const {
  if (index < node_count_) return index;
  const auto found = beyond_.find(index);
  return found == beyond_.end() ? -1 : found->second;
}

}  // namespace vantle::dag_tools
