// The module's functions, as bound in module.cpp.
#pragma once

#include <nanobind/nanobind.h>

namespace vantle::dag_tools {

namespace nb = nanobind;

nb::tuple get_or_build_rx_graph(nb::handle graph);
void validate_graph(nb::handle graph);
bool has_cycles(nb::handle graph);
nb::set get_disconnected_nodes(nb::handle graph);
nb::list get_topological_order(nb::handle nodes, nb::handle edges);
nb::list get_topological_order_from_graph(nb::handle graph);
nb::list get_input_nodes(nb::handle graph);
nb::list get_output_nodes(nb::handle graph);

}  // namespace vantle::dag_tools
