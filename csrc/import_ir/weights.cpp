#include "import_ir/weights.h"

#include "py/module_state.h"

namespace vantle::import_ir {

nb::object owned_float32(nb::handle array) {
  nb::object np = py::module_global("np");
  // The default copy=True: a new, writable array even when `array` is already float32.
  nb::object converted = array.attr("astype")(np.attr("float32"));
  return py::module_global("torch").attr("from_numpy")(converted);
}

void load_array(nb::handle layer, const char* name, nb::handle array) {
  layer.attr(name).attr("data") = owned_float32(array);
}

}  // namespace vantle::import_ir
