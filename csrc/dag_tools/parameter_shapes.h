// validate_graph's last rules: the arrays of every node fit its kind, and
// every node holds the fields its kind needs, fitting its ports.
#pragma once

#include <nanobind/nanobind.h>

namespace vantle::dag_tools {

namespace nb = nanobind;

// Calls `ir.check_node_shapes(name, node)` for each node of the kinds that
// `ir.SHAPE_CHECKED_KINDS` names, then `ir.check_node_fields` for those of
// `ir.FIELD_CHECKED_KINDS`; an IR library without them is taken as it is.
void check_parameter_shapes(nb::handle nodes);

}  // namespace vantle::dag_tools
