// validate_graph's last rule: the arrays of every node fit its kind.
#pragma once

#include <nanobind/nanobind.h>

namespace vantle::dag_tools {

namespace nb = nanobind;

// Calls `ir.check_node_shapes(name, node)` for each node of the kinds that
// `ir.SHAPE_CHECKED_KINDS` names; an IR library without the two is taken as
// it is.
void check_parameter_shapes(nb::handle nodes);

}  // namespace vantle::dag_tools
