// Layers whose parameters import takes from the node, built without
// allocating or drawing random initial values for them first.
#pragma once

#include <nanobind/nanobind.h>

namespace vantle::import_ir {

namespace nb = nanobind;

// `nn.<layer_name>(*args, **kwargs)` with `node.weight` and then `node.bias`
// loaded as float32 copies (`torch.from_numpy(array.astype(np.float32))`).
// Large layers are built without memory or random values for their
// parameters, and new parameters holding the copies are put in place; the
// result is the same module as building it plainly and loading the data.
nb::object layer_with_weights(const char* layer_name, nb::handle args, nb::dict kwargs,
                              nb::handle node, nb::handle weight);

// Defines `_SkipInitMode`, the torch function mode `bare_layer` runs under.
void define_bare_layers(nb::module_ module);

}  // namespace vantle::import_ir
