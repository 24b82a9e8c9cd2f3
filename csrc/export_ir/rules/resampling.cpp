#include "export_ir/rules/resampling.h"

#include <Python.h>

namespace vantle::export_ir {
namespace {

// The factor of dimension `i` as a double, or false (with no error set).
bool factor_at(nb::handle factor, std::size_t i, std::size_t dims, double& value) {
  nb::object item;
  if (PySequence_Check(factor.ptr()) && !PyUnicode_Check(factor.ptr())) {
    const Py_ssize_t count = PySequence_Size(factor.ptr());
    if (count < 0 || static_cast<std::size_t>(count) != dims) {
      PyErr_Clear();
      return false;
    }
    item = nb::steal(PySequence_GetItem(factor.ptr(), static_cast<Py_ssize_t>(i)));
  } else {
    item = nb::borrow(factor);
  }
  if (!item.is_valid()) {
    PyErr_Clear();
    return false;
  }
  value = PyFloat_AsDouble(item.ptr());
  if (value == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

}  // namespace

bool size_reproduces_factor(nb::handle factor, std::span<const int64_t> in,
                            std::span<const int64_t> out) {
  if (in.size() != out.size() || in.empty()) return false;
  for (std::size_t i = 0; i < in.size(); ++i) {
    double value = 0.0;
    if (!factor_at(factor, i, in.size(), value) || !(value > 0.0) || in[i] <= 0 || out[i] <= 0) {
      return false;
    }
    const auto in_size = static_cast<double>(in[i]);
    const auto out_size = static_cast<double>(out[i]);
    // Both conditions: the sizes are factor apart, and the two mappings round alike.
    if (value * in_size != out_size || 1.0 / value != in_size / out_size) return false;
  }
  return true;
}

}  // namespace vantle::export_ir
