// The module-level helpers: the deferred fetch of the import module's classes,
// neuron-parameter arrays, 1-D convolution settings and hardware metadata.
#include "export_ir/rules/bridge_types.h"
#include "export_ir/rules/values.h"
#include "export_ir/surface/surface.h"
#include "py/module_state.h"

namespace vantle::export_ir {
namespace {

using py::module_global;

nb::dict extract_metadata_of(nb::handle module) {
  AttrReader reader(module_global("nn").attr("Module"));
  return extract_ir_metadata(reader.view(module));
}

nb::object to_array_binding(nb::handle value, nb::handle size) {
  return to_array(module_global("np"), module_global("torch"), value, size);
}

}  // namespace

void define_helpers(nb::module_ module) {
  module.def("_get_bridge_types", &get_bridge_types,
             "The import module's twelve module classes and GraphExecutor, imported on first use\n"
             "and cached in ``_CACHED_TYPES``.");
  module.def("to_array", &to_array_binding, nb::arg("val").none(), nb::arg("size").none(),
             "A neuron parameter as a 1-D float32 array: a single value is repeated ``size``\n"
             "times, a longer array is kept (as float32) with its own length.");
  module.def("_to_int1d", &to_int1d, nb::arg("val").none(), nb::arg("default").none() = 1,
             "A 1-D convolution setting (int, 1-tuple, tensor, None) as a plain int.");
  module.def("_extract_ir_metadata", &extract_metadata_of, nb::arg("m").none(),
             "The hardware metadata a module carries: ``weight_t``, ``bias_t``, ``accum_t``,\n"
             "``result_t`` and ``reuse_factor``, each a value or None.");
}

}  // namespace vantle::export_ir
