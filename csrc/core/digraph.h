// Directed graphs over dense node indices 0 .. n-1: successor lists,
// reachability from a set of start nodes, and the cycle test.
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
// Indices are stored in 32 bits: at a million edges, filling these arrays is
// bound by memory, and half the bytes is nearly half the time.
class Digraph {
 public:
  using Node = uint32_t;

  // Edges with an endpoint outside [0, node_count) are left out. Throws
  // std::length_error beyond 2^32 - 1 nodes or edges.
  Digraph(int64_t node_count, std::span<const IndexEdge> edges);

  int64_t node_count() const { return static_cast<int64_t>(has_predecessor_.size()); }
  std::span<const Node> successors(int64_t node) const;
  bool has_predecessor(int64_t node) const { return has_predecessor_[node] != 0; }

 private:
  std::vector<Node> offsets_;  // successors of node i: targets_[offsets_[i] .. offsets_[i+1])
  std::vector<Node> targets_;
  std::vector<uint8_t> has_predecessor_;
};

// One breadth-first search from all `starts` at once, following edges forwards.
// Result[i] is 1 when node i is a start or can be reached from one. Starts
// outside the graph are ignored.
std::vector<uint8_t> reachable_from(const Digraph& graph, std::span<const int64_t> starts);

// True when the graph has a directed cycle; a self-loop counts.
bool has_cycle(const Digraph& graph);

// Position in `edges` (the list `graph` was built from) of the first edge that
// repeats the (source, destination) pair of an earlier edge, or -1 when every
// pair is distinct.
int64_t first_repeated_edge(const Digraph& graph, std::span<const IndexEdge> edges);

}  // namespace vantle::core
