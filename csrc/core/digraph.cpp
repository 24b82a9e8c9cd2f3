#include "core/digraph.h"

#include <cstddef>

namespace vantle::core {
namespace {

bool in_range(int64_t node, int64_t node_count) {
  return node >= 0 && node < node_count;
}

}  // namespace

Digraph::Digraph(int64_t node_count, std::span<const IndexEdge> edges)
    : offsets_(static_cast<size_t>(node_count) + 1, 0),
      has_predecessor_(static_cast<size_t>(node_count), 0) {
  // Counting sort by source keeps each node's successors in edge order.
  for (const auto& [src, dst] : edges) {
    if (in_range(src, node_count) && in_range(dst, node_count)) ++offsets_[src + 1];
  }
  for (size_t i = 1; i < offsets_.size(); ++i) offsets_[i] += offsets_[i - 1];
  targets_.resize(static_cast<size_t>(offsets_.back()));
  positions_.resize(targets_.size());
  std::vector<int64_t> next(offsets_.begin(), offsets_.end() - 1);
  for (size_t position = 0; position < edges.size(); ++position) {
    const auto [src, dst] = edges[position];
    if (!in_range(src, node_count) || !in_range(dst, node_count)) continue;
    positions_[next[src]] = static_cast<int64_t>(position);
    targets_[next[src]++] = dst;
    has_predecessor_[dst] = 1;
  }
}

std::span<const int64_t> Digraph::successors(int64_t node) const {
  return {targets_.data() + offsets_[node], targets_.data() + offsets_[node + 1]};
}

std::span<const int64_t> Digraph::edge_positions(int64_t node) const {
  return {positions_.data() + offsets_[node], positions_.data() + offsets_[node + 1]};
}

int64_t first_repeated_edge(const Digraph& graph) {
  // Each node's successors are in edge order, so the first time a destination
  // shows up again under the same source is that pair's first repeat.
  std::vector<int64_t> last_source(static_cast<size_t>(graph.node_count()), -1);
  int64_t first = -1;
  for (int64_t src = 0; src < graph.node_count(); ++src) {
    const auto targets = graph.successors(src);
    const auto positions = graph.edge_positions(src);
    for (size_t k = 0; k < targets.size(); ++k) {
      if (last_source[targets[k]] != src) {
        last_source[targets[k]] = src;
      } else if (first < 0 || positions[k] < first) {
        first = positions[k];
      }
    }
  }
  return first;
}

std::vector<uint8_t> reachable_from(const Digraph& graph, std::span<const int64_t> starts) {
  const int64_t node_count = graph.node_count();
  std::vector<uint8_t> reached(static_cast<size_t>(node_count), 0);
  // Every node enters the queue at most once, so a flat array serves as the queue.
  std::vector<int64_t> queue;
  queue.reserve(static_cast<size_t>(node_count));
  for (int64_t start : starts) {
    if (in_range(start, node_count) && !reached[start]) {
      reached[start] = 1;
      queue.push_back(start);
    }
  }
  for (size_t head = 0; head < queue.size(); ++head) {
    for (int64_t successor : graph.successors(queue[head])) {
      if (!reached[successor]) {
        reached[successor] = 1;
        queue.push_back(successor);
      }
    }
  }
  return reached;
}

}  // namespace vantle::core
