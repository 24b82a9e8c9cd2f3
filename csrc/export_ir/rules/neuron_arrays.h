// The arrays of the IR's LIF node as the spiking libraries' neuron rules make
// them from a layer's parameters.
#pragma once

#include <nanobind/nanobind.h>

#include "export_ir/rules/rules.h"

namespace vantle::export_ir {

// A neuron parameter as a float64 array (a tensor moved to the CPU, a number as is).
nb::object parameter_array(const Conversion& c, const char* name);

// One value per neuron, laid out like the traced output (flat for vectors),
// so that the imported neurons broadcast against (batch, ...) again. None
// when the values do not broadcast to the output.
nb::object per_neuron(const Conversion& c, nb::handle values);

// array.any() of a NumPy array of truth values, as a C++ bool.
bool any_true(nb::handle array);

}  // namespace vantle::export_ir
