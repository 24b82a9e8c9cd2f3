// Module settings as the values IR nodes take: neuron-parameter arrays, 1-D
// convolution settings and the hardware metadata a module carries.
#pragma once

#include <nanobind/nanobind.h>

#include "export_ir/common/cpython.h"
#include "export_ir/common/module_attrs.h"

namespace vantle::export_ir {

// `fill_shape`, when given, is the shape a single value is repeated into
// (`size` elements in all); without it the result is one-dimensional.
nb::object to_array(nb::handle np, nb::handle torch, nb::handle value, nb::handle size,
                    nb::handle fill_shape = nb::handle());
nb::object to_int1d(nb::handle value, nb::handle default_value);
nb::dict extract_ir_metadata(const AttrReader::View& module);
// True when the module has none of the metadata attributes (a quick test).
bool carries_no_metadata(const AttrReader::View& module);

}  // namespace vantle::export_ir
