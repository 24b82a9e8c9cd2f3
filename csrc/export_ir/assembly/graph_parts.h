// Pieces every exported graph is made of: Input and Output nodes, unique node
// names and the graph itself.
#pragma once

#include <nanobind/nanobind.h>

#include "export_ir/rules/env.h"

namespace vantle::export_ir {

nb::object input_node(Env& env, nb::handle shape);
nb::object output_node(Env& env, nb::handle shape);
nb::object make_graph(Env& env, nb::handle nodes, nb::handle edges);

// The name itself, or name_1, name_2 ... when the graph has a node of that
// name already (or it is "output", kept for the Output node): no node may
// replace another.
nb::object unique_name(nb::handle nodes, nb::object name);

// The node name of a module: its sanitized dotted path, or its class name in
// lower case when it has no path (the model itself).
nb::object node_name_of(nb::handle path, nb::handle module);

// tuple(sample.shape[1:]), of the first tensor when the sample is a tuple or
// list of the model's arguments.
nb::object sample_shape(nb::handle sample);

bool equals(nb::handle value, const char* text);

}  // namespace vantle::export_ir
