// Directed graphs over dense node indices 0 .. n-1: successor lists and
// reachability from a set of start nodes.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace vantle::core {

// (source index, destination index).
using IndexEdge = std::pair<int64_t, int64_t>;

// Successor lists in compressed form; each node's successors keep the order in
// which their edges were given. Repeated edges and self-loops are kept.
class Digraph {
 public:
  // Edges with an endpoint outside [0, node_count) are left out.
  Digraph(int64_t node_count, std::span<const IndexEdge> edges);

  int64_t node_count() const { return static_cast<int64_t>(has_predecessor_.size()); }
  std::span<const int64_t> successors(int64_t node) const;
  bool has_predecessor(int64_t node) const { return has_predecessor_[node] != 0; }
  // Position in the given edge list of each entry of successors(node).
  std::span<const int64_t> edge_positions(int64_t node) const;

 private:
  std::vector<int64_t> offsets_;  // successors of node i: targets_[offsets_[i] .. offsets_[i+1])
  std::vector<int64_t> targets_;
  std::vector<int64_t> positions_;  // parallel to targets_
  std::vector<uint8_t> has_predecessor_;
};

// One breadth-first search from all `starts` at once, following edges forwards.
// Result[i] is 1 when node i is a start or can be reached from one. Starts
// outside the graph are ignored.
std::vector<uint8_t> reachable_from(const Digraph& graph, std::span<const int64_t> starts);

// Position of the first edge that repeats the (source, destination) pair of an
// earlier edge, or -1 when every pair is distinct.
int64_t first_repeated_edge(const Digraph& graph);

}  // namespace vantle::core
