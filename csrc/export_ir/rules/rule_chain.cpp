// VANTLEExporter._convert_module: the rule chain and what every rule shares.
#include "export_ir/rules/rules.h"
#include "py/arg_check.h"

namespace vantle::export_ir {

nb::object Conversion::features() const {
  return env.features(out_shape);
}

nb::object Conversion::array(const char* name) const {
  return env.array_of(attrs.required(name));
}

nb::object Conversion::batchless_dim(nb::handle dim) const {
  // A negative index is first resolved against the traced rank (batch included):
  // flooring -1 to 0 would turn "the last axis" into the first.
  nb::object index = nb::borrow(dim);
  if (PyLong_Check(dim.ptr()) && index < nb::int_(0)) {
    index = index + nb::int_(PyTuple_GET_SIZE(in_shape.ptr()) + 1);
  }
  nb::object shifted = index - nb::int_(1);
  return nb::int_(0) > shifted ? nb::object(nb::int_(0)) : shifted;
}

nb::object Conversion::build(const char* ir_name, Keywords& keywords, bool metadata) const {
  keywords.add("input_type", in_type());
  keywords.add("output_type", out_type());
  if (metadata && !carries_no_metadata(attrs)) {
    // Only the values the module carries; the node keeps its own defaults otherwise.
    nb::dict entries = extract_ir_metadata(attrs);
    for (auto [key, value] : entries) {
      if (!value.is_none()) keywords.add(key, value);
    }
  }
  return keywords.call(env.ir().attr(interned(ir_name)));
}

nb::object convert_module(Env& env, nb::handle module, nb::handle in_shape, nb::handle out_shape) {
  py::require_exact(in_shape, &PyTuple_Type, "in_shape", "tuple");
  py::require_exact(out_shape, &PyTuple_Type, "out_shape", "tuple");
  Conversion conversion{env, module, env.attrs().view(module), in_shape, out_shape};
  nb::object node = nb::none();
  // The torch layers first; the bridge classes are fetched only when none matched.
  if (convert_torch_layer(conversion, node)) return node;
  if (convert_bridge_module(conversion, node)) return node;
  return nb::none();
}

}  // namespace vantle::export_ir
