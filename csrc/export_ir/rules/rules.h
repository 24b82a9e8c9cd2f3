// The conversion rules: one module to one IR node, rule by rule in the
// documented order (torch layers, then the import module's classes and
// snnTorch's Leaky).
#pragma once

#include <nanobind/nanobind.h>

#include "export_ir/common/cpython.h"
#include "export_ir/common/module_attrs.h"
#include "export_ir/rules/bridge_types.h"
#include "export_ir/rules/env.h"
#include "export_ir/rules/values.h"

namespace vantle::export_ir {

// One module to one node, or None: the body of VANTLEExporter._convert_module.
nb::object convert_module(Env& env, nb::handle module, nb::handle in_shape, nb::handle out_shape);

// Everything a conversion rule needs about the module at hand.
struct Conversion {
  Env& env;
  nb::handle module;
  AttrReader::View attrs;
  nb::handle in_shape;
  nb::handle out_shape;

  nb::object in_type() const { return env.port("input", in_shape); }
  nb::object out_type() const { return env.port("output", out_shape); }
  // Product of the output shape, 1 for an empty shape.
  nb::object features() const;
  // X.detach().cpu().numpy() of the module's attribute `name`.
  nb::object array(const char* name) const;
  // A dimension index counted with the batch dimension as one counted without
  // it, floored at 0.
  nb::object batchless_dim(nb::handle dim) const;
  // Adds input_type, output_type and (when asked) the hardware metadata,
  // then builds the IR node `ir_name`.
  nb::object build(const char* ir_name, Keywords& keywords, bool metadata = false) const;
};

// Rules 1 to 20: the torch.nn layers. Returns true when one matched.
bool convert_torch_layer(Conversion& conversion, nb::object& node);
// Rules 21 to 33: the import module's classes and snnTorch's Leaky.
bool convert_bridge_module(Conversion& conversion, nb::object& node);
// Rule 33, snnTorch's Leaky: the node, or None for any other module.
nb::object convert_leaky(Conversion& conversion);
// The class whose rule of either group takes the module (without converting
// it), or an invalid handle when none does.
nb::object torch_rule_class(Env& env, nb::handle module);
nb::object bridge_rule_class(Env& env, nb::handle module);

}  // namespace vantle::export_ir
