// The index graph: node names numbered 0, 1, 2 ... in the order given, and the
// rustworkx graph over those numbers.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "core/address_index.h"
#include "core/digraph.h"

namespace vantle::dag_tools {

namespace nb = nanobind;
using core::IndexEdge;

// Node names and their indices. A name given twice gets two indices; looking
// it up gives the later one, as a name-to-index dictionary filled in order would.
class NodeIndex {
 public:
  // Numbers the names that iterating `names` yields.
  explicit NodeIndex(nb::handle names);

  int64_t size() const { return static_cast<int64_t>(PyList_GET_SIZE(names_.ptr())); }
  const nb::list& names() const { return names_; }
  nb::handle name(int64_t index) const { return PyList_GET_ITEM(names_.ptr(), index); }
  // True when distinct node names are never equal (all exact str keys of a dict).
  bool names_distinct_by_identity() const { return all_str_keys_; }

  // Index of `name`, or -1 when no node has that name; an unhashable name raises TypeError.
  int64_t find(nb::handle name);
  // Index of `name` found as the very object that is a node key, or -1.
  int64_t find_by_identity(nb::handle name) const;
  // Index of `name`; KeyError when no node has that name.
  int64_t at(nb::handle name);

  // name -> int dictionary and index -> int objects, made on first use.
  const nb::dict& node_to_idx();
  const nb::list& numbers();
  nb::dict idx_to_node();

 private:
  nb::object source_;
  nb::list names_;
  bool from_dict_ = false;
  bool all_str_keys_ = false;
  core::AddressIndex by_address_;  // filled only for the keys of a dict
  nb::dict node_to_idx_;
  nb::list numbers_;
  bool have_dict_ = false;
  bool have_numbers_ = false;
};

struct BuiltIndexGraph {
  NodeIndex nodes;
  std::vector<IndexEdge> edges;  // in the order given
};

// Index graph of the names in `names` and the pairs in `edges`; an edge with an
// endpoint that is not a node is left out without notice.
BuiltIndexGraph build_index_graph(nb::handle names, nb::handle edges);

// A rustworkx PyDiGraph with the names as node payloads, the edges handed over
// in one batch call.
nb::object make_rx_graph(NodeIndex& nodes, const std::vector<IndexEdge>& edges);

// The index graph that a graph object keeps itself, offered through
// `_get_rx_graph()`, `_node_to_idx` and `_idx_to_node`. Taken as it is.
struct OfferedIndexGraph {
  nb::object graph;
  nb::object node_to_idx;
  nb::object idx_to_node;
};

// The offered index graph, or nothing when `graph` has no `_get_rx_graph`.
std::optional<OfferedIndexGraph> offered_index_graph(nb::handle graph);

// not rx.is_directed_acyclic_graph(rx_graph)
bool rx_has_cycle(nb::handle rx_graph);

}  // namespace vantle::dag_tools
