// spikingjelly's LIFNode, ParametricLIFNode and IFNode as the IR's LIF.
#pragma once

#include <nanobind/nanobind.h>

#include "export_ir/rules/rules.h"

namespace vantle::export_ir {

// The neuron class whose rule takes the module, or an invalid handle.
nb::object spikingjelly_rule_class(nb::handle module);

// The LIF node, or None for a module that is none of these neurons.
nb::object convert_spikingjelly_neuron(Conversion& c);

}  // namespace vantle::export_ir
