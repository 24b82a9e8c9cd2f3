#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/address_index.h"
#include "core/digraph.h"

using vantle::core::AddressIndex;
using vantle::core::Digraph;
using vantle::core::first_repeated_edge;
using vantle::core::has_cycle;
using vantle::core::IndexEdge;
using vantle::core::reachable_from;

namespace {

std::vector<int64_t> successors_of(const Digraph& graph, int64_t node) {
  const auto span = graph.successors(node);
  return std::vector<int64_t>(span.begin(), span.end());
}

std::vector<uint8_t> reach(const Digraph& graph, std::vector<int64_t> starts) {
  return reachable_from(graph, starts);
}

}  // namespace

TEST(Digraph, KeepsEdgeOrderPerSourceAndDropsOutOfRangeEdges) {
  const std::vector<IndexEdge> edges = {{1, 2}, {0, 2}, {1, 0}, {1, 2}, {2, 2}, {0, 9}, {-1, 0}};
  const Digraph graph(3, edges);
  EXPECT_EQ(successors_of(graph, 0), (std::vector<int64_t>{2}));
  EXPECT_EQ(successors_of(graph, 1), (std::vector<int64_t>{2, 0, 2}));
  EXPECT_EQ(successors_of(graph, 2), (std::vector<int64_t>{2}));
  EXPECT_TRUE(graph.has_predecessor(0));
  EXPECT_FALSE(graph.has_predecessor(1));
  EXPECT_TRUE(graph.has_predecessor(2));  // a self-loop counts
}

TEST(Digraph, FirstRepeatedEdgeIsTheEarliestSecondOccurrence) {
  auto first_repeat = [](int64_t node_count, const std::vector<IndexEdge>& edges) {
    return first_repeated_edge(Digraph(node_count, edges), edges);
  };
  EXPECT_EQ(first_repeat(3, {{0, 1}, {1, 2}, {1, 0}}), -1);
  // (1, 0) repeats at position 3, (0, 1) at position 4: the earlier repeat wins
  // even though source 0 is scanned first.
  EXPECT_EQ(first_repeat(3, {{0, 1}, {1, 0}, {0, 2}, {1, 0}, {0, 1}, {0, 1}}), 3);
  EXPECT_EQ(first_repeat(2, {{1, 1}, {1, 1}}), 1);
  EXPECT_EQ(first_repeat(0, {}), -1);
  // Out-of-range edges are not part of the graph but keep their positions.
  EXPECT_EQ(first_repeat(3, {{0, 7}, {2, 1}, {0, 7}, {-1, 0}, {2, 1}}), 4);
}

TEST(Digraph, ReachabilityFollowsEdgesForwardsFromAllStarts) {
  // 0 -> 1 -> 2, 3 -> 0, 4 -> 5, 5 -> 4
  const Digraph graph(6, std::vector<IndexEdge>{{0, 1}, {1, 2}, {3, 0}, {4, 5}, {5, 4}});
  EXPECT_EQ(reach(graph, {0}), (std::vector<uint8_t>{1, 1, 1, 0, 0, 0}));
  EXPECT_EQ(reach(graph, {2, 5}), (std::vector<uint8_t>{0, 0, 1, 0, 1, 1}));
  EXPECT_EQ(reach(graph, {}), (std::vector<uint8_t>(6, 0)));
  EXPECT_EQ(reach(graph, {-1, 6, 3, 3}), (std::vector<uint8_t>{1, 1, 1, 1, 0, 0}));
}

TEST(Digraph, LongChainIsReachedWithoutRecursion) {
  constexpr int64_t kCount = 1'000'000;
  std::vector<IndexEdge> edges;
  for (int64_t i = kCount - 1; i > 0; --i) edges.emplace_back(i - 1, i);
  const auto reached = reach(Digraph(kCount, edges), {0});
  EXPECT_EQ(std::count(reached.begin(), reached.end(), 1), kCount);
}

TEST(Digraph, CycleTestFindsEveryKindOfCycle) {
  auto cyclic = [](int64_t node_count, const std::vector<IndexEdge>& edges) {
    return has_cycle(Digraph(node_count, edges));
  };
  EXPECT_FALSE(cyclic(0, {}));
  EXPECT_FALSE(cyclic(3, {}));
  // A diamond with a repeated edge is still acyclic.
  EXPECT_FALSE(cyclic(4, {{0, 1}, {0, 2}, {1, 3}, {2, 3}, {1, 3}}));
  EXPECT_TRUE(cyclic(2, {{1, 1}}));
  EXPECT_TRUE(cyclic(2, {{0, 1}, {1, 0}}));
  // A cycle that no root leads into, beside an acyclic part.
  EXPECT_TRUE(cyclic(6, {{0, 1}, {2, 3}, {3, 4}, {4, 2}, {4, 5}}));
  // A cycle reached only from a root, and its acyclic counterpart.
  EXPECT_TRUE(cyclic(4, {{0, 1}, {1, 2}, {2, 3}, {3, 1}}));
  EXPECT_FALSE(cyclic(4, {{0, 1}, {1, 2}, {2, 3}, {0, 3}}));
}

TEST(Digraph, LongChainCycleTestWithoutRecursion) {
  constexpr int64_t kCount = 1'000'000;
  std::vector<IndexEdge> edges;
  for (int64_t i = 1; i < kCount; ++i) edges.emplace_back(i - 1, i);
  EXPECT_FALSE(has_cycle(Digraph(kCount, edges)));
  edges.emplace_back(kCount - 1, 0);
  EXPECT_TRUE(has_cycle(Digraph(kCount, edges)));
}

TEST(AddressIndex, FindsWhatWasSetAndReplacesOnSecondSet) {
  std::vector<int> objects(5000);
  AddressIndex index(4);  // grows well beyond its first size
  for (size_t i = 0; i < objects.size(); ++i) index.set(&objects[i], static_cast<int64_t>(i));
  index.set(&objects[7], 5000);
  EXPECT_EQ(index.size(), objects.size());
  for (size_t i = 0; i < objects.size(); ++i) {
    EXPECT_EQ(index.find(&objects[i]), i == 7 ? 5000 : static_cast<int64_t>(i));
  }
  int other = 0;
  EXPECT_EQ(index.find(&other), -1);
  EXPECT_EQ(AddressIndex().find(&other), -1);
}
