#include "py/arg_check.h"

#include <nanobind/stl/string.h>

#include "py/text.h"

namespace vantle::py {

std::string python_type_name(nb::handle obj) {
  return utf8_text(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__"));
}

void raise_arg_type(const char* arg, const char* expected, nb::handle given) {
  const std::string message = "Argument '" + std::string(arg) + "' has incorrect type (expected " +
                              expected + ", got " + python_type_name(given) + ")";
  throw nb::type_error(message.c_str());
}

bool is_exact_none_or(nb::handle obj, PyTypeObject* type) {
  return obj.is_none() || Py_IS_TYPE(obj.ptr(), type);
}

void require_exact(nb::handle obj, PyTypeObject* type, const char* arg, const char* expected,
                   bool allow_none) {
  if (Py_IS_TYPE(obj.ptr(), type)) return;
  if (allow_none && obj.is_none()) return;
  raise_arg_type(arg, expected, obj);
}

nb::tuple arg_tuple(nb::handle obj, const char* arg) {
  require_exact(obj, &PyTuple_Type, arg, "tuple");
  return nb::borrow<nb::tuple>(obj);
}

nb::list arg_list(nb::handle obj, const char* arg) {
  require_exact(obj, &PyList_Type, arg, "list");
  return nb::borrow<nb::list>(obj);
}

nb::dict arg_dict(nb::handle obj, const char* arg) {
  require_exact(obj, &PyDict_Type, arg, "dict");
  return nb::borrow<nb::dict>(obj);
}

nb::str arg_str(nb::handle obj, const char* arg) {
  require_exact(obj, &PyUnicode_Type, arg, "str");
  return nb::borrow<nb::str>(obj);
}

nb::int_ arg_pyint(nb::handle obj, const char* arg) {
  if (PyLong_CheckExact(obj.ptr())) return nb::borrow<nb::int_>(obj);
  // Strings and bytes would parse in int(); only numbers are accepted here.
  if (!PyNumber_Check(obj.ptr()) || PyComplex_Check(obj.ptr())) raise_arg_type(arg, "int", obj);
  PyObject* value = PyNumber_Long(obj.ptr());
  if (value == nullptr) {
    // NaN and the infinities have no integer: say which argument held one.
    if (!PyErr_ExceptionMatches(PyExc_OverflowError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
      throw nb::python_error();
    }
    PyErr_Clear();
    const std::string message =
        "Argument '" + std::string(arg) + "' must be a finite number, got " + repr_text(obj);
    throw nb::value_error(message.c_str());
  }
  return nb::steal<nb::int_>(value);
}

int64_t arg_int(nb::handle obj, const char* arg) {
  nb::int_ value = arg_pyint(obj, arg);
  const long long result = PyLong_AsLongLong(value.ptr());
  if (result == -1 && PyErr_Occurred()) throw nb::python_error();
  return result;
}

double arg_float(nb::handle obj, const char* arg) {
  if (PyFloat_CheckExact(obj.ptr())) return PyFloat_AS_DOUBLE(obj.ptr());
  if (!PyNumber_Check(obj.ptr()) || PyComplex_Check(obj.ptr())) raise_arg_type(arg, "float", obj);
  const double value = PyFloat_AsDouble(obj.ptr());
  if (value == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return value;
}

}  // namespace vantle::py
