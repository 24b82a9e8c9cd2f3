// Converts modules for one export: the caller's converter for an exact class
// match, else the exporter's _convert_module (the rule chain directly, unless
// a subclass replaced the method).
#pragma once

#include <nanobind/nanobind.h>

#include "export_ir/rules/env.h"

namespace vantle::export_ir {

class ModuleConverter {
 public:
  ModuleConverter(nb::handle exporter, nb::handle custom_map);

  Env& env() { return env_; }
  // Whether a custom converter or a replaced _convert_module may decide
  // differently from the built-in rules.
  bool customised(nb::handle module) const;

  // The node for `module` with these traced shapes, or None.
  nb::object convert(nb::handle module, nb::handle in_shape, nb::handle out_shape);

 private:
  // A converter's node gets the traced shapes where it left its ports unset
  // (None, or the IR library's empty default).
  nb::object custom_node(nb::handle converter, nb::handle module, nb::handle in_shape,
                         nb::handle out_shape);

  nb::handle exporter_;
  Env env_;
  nb::object custom_map_;
  nb::object override_;
};

}  // namespace vantle::export_ir
