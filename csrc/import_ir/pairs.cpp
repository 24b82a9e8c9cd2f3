// _to_2tuple_int: integers, pairs and array-likes of two integers become a
// pair of Python ints, as kernel sizes, strides and paddings.
#include <string>

#include "import_ir/classes.h"
#include "py/arg_check.h"
#include "py/numbers.h"
#include "py/torch_ops.h"

namespace vantle::import_ir {
namespace {

using py::python_int;

nb::tuple repeated(nb::handle value) {
  nb::object as_int = python_int(value);
  return nb::make_tuple(as_int, as_int);
}

nb::tuple from_pair(nb::handle sequence) {
  return nb::make_tuple(python_int(sequence[nb::int_(0)]), python_int(sequence[nb::int_(1)]));
}

// Whether `value.shape` is a tuple (NumPy's tuple, torch's Size) of more than two values.
bool more_than_two_values(nb::handle value) {
  nb::object shape = nb::getattr(value, "shape", nb::none());
  if (!PyTuple_Check(shape.ptr())) return false;
  nb::object count = nb::module_::import_("math").attr("prod")(shape);
  return py::truthy(count.attr("__gt__")(nb::int_(2)));
}

nb::tuple to_2tuple_int(nb::handle value) {
  if (PyLong_Check(value.ptr())) return repeated(value);
  if (PyTuple_Check(value.ptr()) || PyList_Check(value.ptr())) {
    const Py_ssize_t length = PySequence_Size(value.ptr());
    if (length != 2)
      throw nb::value_error(("Expected 2 values, got " + std::to_string(length)).c_str());
    return from_pair(value);
  }
  // An array of more than two values gives neither an int nor a pair; it is not listed, since
  // a zero-stride view may claim billions of values it does not hold.
  if (nb::hasattr(value, "tolist") && !more_than_two_values(value)) {
    nb::object listed = value.attr("tolist")();
    if (PyLong_Check(listed.ptr())) return repeated(listed);
    if (PyList_Check(listed.ptr()) && PyList_GET_SIZE(listed.ptr()) == 2) return from_pair(listed);
  }
  const std::string message =
      "Expected int or length-2 iterable, got " + py::python_type_name(value);
  throw nb::type_error(message.c_str());
}

}  // namespace

void define_pairs(nb::module_ module) {
  module.def("_to_2tuple_int", &to_2tuple_int, nb::arg("value").none(),
             "An int, a pair, or an array-like of two ints as a pair of Python ints.");
}

}  // namespace vantle::import_ir
