// The shape the trace records for a tensor: its sizes without the batch
// dimension, as a plain tuple.
#pragma once

#include <nanobind/nanobind.h>

namespace vantle::export_ir {

namespace nb = nanobind;

// tuple(tensor.shape[1:])
nb::object shape_without_batch(nb::handle tensor);

}  // namespace vantle::export_ir
