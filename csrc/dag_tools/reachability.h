// Queries answered on the native index graph: which nodes cannot be reached
// from an input node, and whether there is a cycle.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

#include "dag_tools/index_graph.h"

namespace vantle::dag_tools {

// Successor lists over `node_count` nodes, built without holding the GIL.
core::Digraph make_digraph(int64_t node_count, const std::vector<IndexEdge>& edges);

// True when `digraph` has a directed cycle, tested without holding the GIL.
bool digraph_has_cycle(const core::Digraph& digraph);

// Every name of `nodes` whose node is not an `ir.Input` (a graph without edges).
nb::set non_input_names(nb::handle nodes);

// Names of the nodes of `index` (edges in `digraph`) that no path from an `ir.Input` node of
// `nodes` reaches; without Input nodes the nodes that no edge enters are the starts.
nb::set unreachable_names(NodeIndex& index, const core::Digraph& digraph, nb::handle nodes);

// The same over an index graph that the graph object offered.
nb::set unreachable_names(const OfferedIndexGraph& offered, nb::handle nodes);

}  // namespace vantle::dag_tools
