// The edges of an index graph that a graph object offers itself, read with
// bounds taken from what is really there rather than from the values it holds.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/digraph.h"

namespace vantle::dag_tools {

namespace nb = nanobind;
using core::IndexEdge;

// Indices below `node_count` stand for themselves. Indices beyond it (a
// rustworkx graph keeps gaps where nodes were removed) get the numbers after
// it, so memory follows the number of edges listed, whatever an index says.
class OfferedEdges {
 public:
  // Reads `rx_graph.edge_list()`; `node_items` is the number of nodes the graph
  // object really holds. Raises ValueError when `len(rx_graph)` exceeds it or
  // an edge holds something that is no node index.
  OfferedEdges(nb::handle rx_graph, int64_t node_items);

  int64_t node_count() const { return node_count_; }
  // Nodes of the compact numbering: the counted ones plus those beyond.
  int64_t size() const { return node_count_ + static_cast<int64_t>(beyond_.size()); }
  const std::vector<IndexEdge>& edges() const { return edges_; }
  // The compact number of `index`, or -1 for an index beyond the count that no edge names.
  int64_t compact(int64_t index) const;

 private:
  int64_t number(int64_t index);

  int64_t node_count_ = 0;
  std::unordered_map<int64_t, int64_t> beyond_;
  std::vector<IndexEdge> edges_;
};

}  // namespace vantle::dag_tools
