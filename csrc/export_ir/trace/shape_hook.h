// The hook of a shapes-only pass (a graph executor, whose edges are known):
// each module call records its input and output shape, nothing else.
#pragma once

#include <nanobind/nanobind.h>

namespace vantle::export_ir {

namespace nb = nanobind;

// hook(module, args, output) writing into the dicts `inputs` and `outputs`.
nb::object make_shape_hook(nb::object inputs, nb::object outputs, nb::object tensor_type);

}  // namespace vantle::export_ir
