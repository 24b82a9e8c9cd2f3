// Neuron-parameter arrays and 1-D convolution settings as IR nodes take them.
#include "export_ir/rules/values.h"

#include "export_ir/rules/tensor_arrays.h"
#include "py/arg_check.h"
#include "py/numbers.h"

namespace vantle::export_ir {

using py::python_int;

nb::object to_array(nb::handle np, nb::handle torch, nb::handle value, nb::handle size,
                    nb::handle fill_shape) {
  nb::object count = py::arg_pyint(size, "size");
  nb::object source = nb::borrow(value);
  if (is_instance(source, torch.attr("Tensor"))) source = TensorArrays(np, torch)(source);
  nb::object float32 = np.attr("float32");
  nb::object array = np.attr("atleast_1d")(np.attr("asarray")(source, nb::arg("dtype") = float32));
  if (nb::cast<Py_ssize_t>(array.attr("size")) == 1) {
    nb::handle target = fill_shape.is_valid() ? fill_shape : nb::handle(count);
    return np.attr("full")(target, array.attr("item")(), nb::arg("dtype") = float32);
  }
  return array.attr("astype")(float32);
}

nb::object to_int1d(nb::handle value, nb::handle default_value) {
  nb::object fallback = py::arg_pyint(default_value, "default");
  if (value.is_none()) return fallback;
  if (PyLong_Check(value.ptr())) return python_int(value);
  if ((PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) &&
      PySequence_Size(value.ptr()) > 0) {
    return python_int(checked(PySequence_GetItem(value.ptr(), 0)));
  }
  if (nb::hasattr(value, "tolist")) {
    nb::object listed = value.attr("tolist")();
    if (PyList_Check(listed.ptr()) || PyTuple_Check(listed.ptr())) {
      listed = checked(PySequence_GetItem(listed.ptr(), 0));
    }
    return python_int(listed);
  }
  return python_int(value);
}

}  // namespace vantle::export_ir
