#include "core/digraph.h"

#include <cstddef>
#include <limits>
#include <stdexcept>

namespace vantle::core {
namespace {

constexpr int64_t kMaxCount = std::numeric_limits<Digraph::Node>::max();

bool in_range(int64_t node, int64_t node_count) {
  return node >= 0 && node < node_count;
}

}  // namespace

Digraph::Digraph(int64_t node_count, std::span<const IndexEdge> edges) {
  if (node_count < 0 || node_count > kMaxCount || static_cast<int64_t>(edges.size()) > kMaxCount) {
    throw std::length_error("graph too large for 32-bit node indices");
  }
  offsets_.assign(static_cast<size_t>(node_count) + 1, 0);
  has_predecessor_.assign(static_cast<size_t>(node_count), 0);
  // Counting sort by source: count each source's edges, turn the counts into
  // range ends, then place the edges backwards so that each end moves down to
  // its range's start and every node's successors keep the edge order.
  for (const auto& [src, dst] : edges) {
    if (in_range(src, node_count) && in_range(dst, node_count)) ++offsets_[src];
  }
  Node total = 0;
  for (int64_t node = 0; node < node_count; ++node) {
    total += offsets_[node];
    offsets_[node] = total;
  }
  offsets_[node_count] = total;
  targets_.resize(total);
  for (size_t position = edges.size(); position-- > 0;) {
    const auto [src, dst] = edges[position];
    if (!in_range(src, node_count) || !in_range(dst, node_count)) continue;
    targets_[--offsets_[src]] = static_cast<Node>(dst);
    has_predecessor_[dst] = 1;
  }
}

std::span<const Digraph::Node> Digraph::successors(int64_t node) const {
  return {targets_.data() + offsets_[node], targets_.data() + offsets_[node + 1]};
}

bool has_cycle(const Digraph& graph) {
  // Kahn's algorithm: take away, one by one, the nodes that no remaining edge
  // enters; whatever cannot be taken away lies on or behind a cycle.
  const int64_t node_count = graph.node_count();
  std::vector<Digraph::Node> entering(static_cast<size_t>(node_count), 0);
  for (int64_t node = 0; node < node_count; ++node) {
    for (Digraph::Node successor : graph.successors(node)) ++entering[successor];
  }
  std::vector<Digraph::Node> free_nodes;
  free_nodes.reserve(static_cast<size_t>(node_count));
  for (int64_t node = 0; node < node_count; ++node) {
    if (entering[node] == 0) free_nodes.push_back(static_cast<Digraph::Node>(node));
  }
  for (size_t head = 0; head < free_nodes.size(); ++head) {
    for (Digraph::Node successor : graph.successors(free_nodes[head])) {
      if (--entering[successor] == 0) free_nodes.push_back(successor);
    }
  }
  return static_cast<int64_t>(free_nodes.size()) < node_count;
}

int64_t first_repeated_edge(const Digraph& graph, std::span<const IndexEdge> edges) {
  const int64_t node_count = graph.node_count();
  constexpr Digraph::Node kNone = std::numeric_limits<Digraph::Node>::max();
  // Each node's successors are in edge order, so the first time a destination
  // shows up again under the same source is that source's earliest repeat;
  // note its rank among the source's edges.
  std::vector<Digraph::Node> last_source(static_cast<size_t>(node_count), kNone);
  std::vector<int64_t> repeat_rank;  // sized on the first repeat found
  for (int64_t src = 0; src < node_count; ++src) {
    const auto targets = graph.successors(src);
    for (size_t rank = 0; rank < targets.size(); ++rank) {
      if (last_source[targets[rank]] != static_cast<Digraph::Node>(src)) {
        last_source[targets[rank]] = static_cast<Digraph::Node>(src);
        continue;
      }
      if (repeat_rank.empty()) repeat_rank.assign(static_cast<size_t>(node_count), -1);
      if (repeat_rank[src] < 0) repeat_rank[src] = static_cast<int64_t>(rank);
    }
  }
  if (repeat_rank.empty()) return -1;
  // The earliest of those repeats in the edge list: count each source's edges in order.
  std::vector<int64_t> rank_of_next(static_cast<size_t>(node_count), 0);
  for (size_t position = 0; position < edges.size(); ++position) {
    const auto [src, dst] = edges[position];
    if (!in_range(src, node_count) || !in_range(dst, node_count)) continue;
    if (rank_of_next[src]++ == repeat_rank[src]) return static_cast<int64_t>(position);
  }
  return -1;  // not reached: every noted repeat lies in `edges`
}

std::vector<uint8_t> reachable_from(const Digraph& graph, std::span<const int64_t> starts) {
  const int64_t node_count = graph.node_count();
  std::vector<uint8_t> reached(static_cast<size_t>(node_count), 0);
  // Every node enters the queue at most once, so a flat array serves as the queue.
  std::vector<Digraph::Node> queue;
  queue.reserve(static_cast<size_t>(node_count));
  for (int64_t start : starts) {
    if (in_range(start, node_count) && !reached[start]) {
      reached[start] = 1;
      queue.push_back(static_cast<Digraph::Node>(start));
    }
  }
  for (size_t head = 0; head < queue.size(); ++head) {
    for (Digraph::Node successor : graph.successors(queue[head])) {
      if (!reached[successor]) {
        reached[successor] = 1;
        queue.push_back(successor);
      }
    }
  }
  return reached;
}

}  // namespace vantle::core
