#include "import_ir/weights.h"

#include <string>

#include "py/module_state.h"
#include "py/notes.h"
#include "py/torch_ops.h"

namespace vantle::import_ir {

nb::object owned_float32(nb::handle array) {
  return py::float32_tensor(py::module_global("np"), py::module_global("torch"), array);
}

nb::object field_float32(nb::handle array, const char* field) {
  try {
    return owned_float32(array);
  } catch (const nb::python_error& error) {
    py::add_note(error, "in field '" + std::string(field) + "'");
    throw;
  }
}

void load_array(nb::handle layer, const char* name, nb::handle array) {
  layer.attr(name).attr("data") = owned_float32(array);
}

void load_field(nb::handle layer, const char* name, nb::handle array) {
  layer.attr(name).attr("data") = field_float32(array, name);
}

}  // namespace vantle::import_ir
