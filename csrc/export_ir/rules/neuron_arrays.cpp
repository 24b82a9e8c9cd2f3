#include "export_ir/rules/neuron_arrays.h"

#include "py/torch_ops.h"

namespace vantle::export_ir {

nb::object parameter_array(const Conversion& c, const char* name) {
  nb::object value = c.attrs.required(name);
  if (is_instance(value, c.env.tensor_type())) value = c.env.array_of(value);
  return c.env.np().attr("asarray")(value, nb::arg("dtype") = c.env.np().attr("float64"));
}

nb::object per_neuron(const Conversion& c, nb::handle values) {
  nb::handle np = c.env.np();
  nb::object shape = nb::borrow(c.out_shape);
  if (PyTuple_GET_SIZE(shape.ptr()) == 0) shape = nb::make_tuple(1);
  try {
    nb::object spread = np.attr("broadcast_to")(values, shape);
    if (PyTuple_GET_SIZE(shape.ptr()) < 2) spread = spread.attr("reshape")(-1);
    return spread.attr("astype")(np.attr("float32"));
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_ValueError)) throw;
    return nb::none();
  }
}

bool any_true(nb::handle array) {
  return py::truthy(array.attr("any")());
}

}  // namespace vantle::export_ir
