#include "py/unpack.h"

#include <string>

namespace vantle::py {
namespace {

constexpr Py_ssize_t kPair = 2;

// Raises what the interpreter raises for `a, b = item` when `item` does not
// unpack into exactly two values, as a Python error (callers may hold it as
// nb::python_error and raise it later).
[[noreturn]] void raise_unpack_error(nb::handle item, Py_ssize_t got, bool too_many) {
  std::string message;
  if (!too_many) {
    message = "not enough values to unpack (expected 2, got " + std::to_string(got) + ")";
  } else {
    message = "too many values to unpack (expected 2";
#if PY_VERSION_HEX >= 0x030E0000
    // Newer interpreters also count the values of a list, tuple or dict.
    if (PyList_CheckExact(item.ptr()) || PyTuple_CheckExact(item.ptr()) ||
        PyDict_CheckExact(item.ptr())) {
      message += ", got " + std::to_string(PyObject_Length(item.ptr()));
    }
#else
    (void)item;
#endif
    message += ")";
  }
  PyErr_SetString(PyExc_ValueError, message.c_str());
  throw nb::python_error();
}

}  // namespace

std::pair<nb::object, nb::object> unpack_pair(nb::handle item) {
  if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == kPair) {
    return {nb::borrow(PyTuple_GET_ITEM(item.ptr(), 0)),
            nb::borrow(PyTuple_GET_ITEM(item.ptr(), 1))};
  }
  PyObject* iterator = PyObject_GetIter(item.ptr());
  if (iterator == nullptr) {
    PyTypeObject* type = Py_TYPE(item.ptr());
    if (PyErr_ExceptionMatches(PyExc_TypeError) && type->tp_iter == nullptr &&
        !PySequence_Check(item.ptr())) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type->tp_name);
      throw nb::python_error();
    }
    throw nb::python_error();
  }
  nb::object values = nb::steal(iterator);
  nb::object unpacked[kPair];
  for (Py_ssize_t i = 0; i < kPair; ++i) {
    PyObject* value = PyIter_Next(values.ptr());
    if (value == nullptr) {
      if (PyErr_Occurred()) throw nb::python_error();
      raise_unpack_error(item, i, false);
    }
    unpacked[i] = nb::steal(value);
  }
  PyObject* extra = PyIter_Next(values.ptr());
  if (extra != nullptr) {
    Py_DECREF(extra);
    raise_unpack_error(item, 0, true);
  }
  if (PyErr_Occurred()) throw nb::python_error();
  return {std::move(unpacked[0]), std::move(unpacked[1])};
}

}  // namespace vantle::py
