// Node arrays become layer tensors that own their memory: a module built from
// a graph never writes into the graph's arrays (and read-only arrays import
// without a warning).
#pragma once

#include <nanobind/nanobind.h>

namespace vantle::import_ir {

namespace nb = nanobind;

// `torch.from_numpy(array.astype(np.float32))`; `astype` copies, so the tensor
// never shares memory with `array`. An object without `astype` (None) raises
// the interpreter's AttributeError.
nb::object owned_float32(nb::handle array);

// owned_float32 of the node field `field`; a failure carries a note naming it.
nb::object field_float32(nb::handle array, const char* field);

// Replaces the data of `layer.<name>` (a parameter or buffer, which stays the
// same object) with a float32 copy of `array`.
void load_array(nb::handle layer, const char* name, nb::handle array);

// load_array for a layer whose parameter `name` holds the node field of that
// name; a failed conversion carries a note naming the field.
void load_field(nb::handle layer, const char* name, nb::handle array);

}  // namespace vantle::import_ir
