// vantle.bridge.dag_tools: validation and topological order of IR graphs.
// Index graphs and topological sorts are rustworkx's; validation, which
// checks every edge itself, answers reachability and the cycle test on the
// native index graph it builds for those checks.
#include <nanobind/nanobind.h>

#include "dag_tools/functions.h"
#include "py/module_state.h"

namespace nb = nanobind;
using vantle::py::bind_import;

namespace {

void bind_dependencies(nb::module_ m) {
  vantle::py::bind_from(m, "collections", {"deque"});
  vantle::py::bind_from(m, "typing", {"Any", "Dict", "List", "Set", "Tuple"});
  bind_import(m, "rustworkx", "rx");
  bind_import(m, "vantle.ir", "ir");
}

void define_functions(nb::module_ m) {
  using namespace vantle::dag_tools;
  m.def("_get_or_build_rx_graph", &get_or_build_rx_graph, nb::arg("graph").none(),
        "(rx_graph, node_to_idx, idx_to_node) for ``graph``: the index graph the graph object\n"
        "offers through ``_get_rx_graph()``, or a new ``rx.PyDiGraph`` whose node i carries the\n"
        "i-th name of ``graph.nodes``; edges naming unknown nodes are left out.");
  m.def("validate_graph", &validate_graph, nb::arg("graph").none(),
        "Check that ``graph`` is a non-empty, acyclic graph with well-formed edges, Input and\n"
        "Output nodes, every node reachable from an input, node arrays whose shapes fit\n"
        "their kind (``ir.check_node_shapes``), and every field a node's kind needs, fitting\n"
        "its ports (``ir.check_node_fields``). Returns None; raises ValueError naming the\n"
        "first rule broken.");
  m.def("has_cycles", &has_cycles, nb::arg("graph").none(),
        "True when ``graph`` has a directed cycle (a self-loop included).");
  m.def("get_disconnected_nodes", &get_disconnected_nodes, nb::arg("graph").none(),
        "Set of the names of nodes that no path from an Input node reaches. Without Input\n"
        "nodes the nodes that no edge enters are the starting points.");
  m.def("get_topological_order", &get_topological_order, nb::arg("nodes").none(),
        nb::arg("edges").none(),
        "Names of ``nodes`` (a list) in an order that puts every source of ``edges`` (a list of\n"
        "(source, destination) pairs) before its destination. Edges naming unknown nodes are\n"
        "ignored; a cycle raises ValueError('Graph contains cycles').");
  m.def("get_topological_order_from_graph", &get_topological_order_from_graph,
        nb::arg("graph").none(),
        "Node names of ``graph`` in topological order; a cycle raises\n"
        "ValueError('Graph contains cycles').");
  m.def("get_input_nodes", &get_input_nodes, nb::arg("graph").none(),
        "A new list of the names in ``graph.inputs``.");
  m.def("get_output_nodes", &get_output_nodes, nb::arg("graph").none(),
        "A new list of the names in ``graph.outputs``.");
}

}  // namespace

NB_MODULE(dag_tools, m) {
  vantle::py::load_module(m, "dag_tools", [](nb::module_ module) {
    module.doc() =
        "Validate VANTLE IR graphs and put their nodes in topological order.\n\n"
        "    validate_graph(graph)            # ValueError at the first rule broken\n"
        "    order = get_topological_order_from_graph(graph)\n";
    bind_dependencies(module);
    define_functions(module);
  });
}
