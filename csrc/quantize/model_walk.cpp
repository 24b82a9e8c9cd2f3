// Walking a model's modules and reading numbers.
#include "py/unpack.h"
#include "quantize/quantize.h"

namespace vantle::quantize {

void for_each_named_module(nb::handle model,
                           const std::function<void(nb::handle, nb::handle)>& visit) {
  for (nb::handle item : model.attr("named_modules")()) {
    auto [name, module] = py::unpack_pair(item);
    visit(name, module);
  }
}

double to_double(nb::handle value) {
  const double result = PyFloat_AsDouble(value.ptr());
  if (result == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return result;
}

}  // namespace vantle::quantize
