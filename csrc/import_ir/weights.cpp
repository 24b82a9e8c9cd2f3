#include "import_ir/weights.h"

#include "py/module_state.h"
#include "py/torch_ops.h"

namespace vantle::import_ir {

nb::object owned_float32(nb::handle array) {
  return py::float32_tensor(py::module_global("np"), py::module_global("torch"), array);
}

void load_array(nb::handle layer, const char* name, nb::handle array) {
  layer.attr(name).attr("data") = owned_float32(array);
}

}  // namespace vantle::import_ir
