// Walking a model's modules and running code without autograd.
#include <string>
#include <utility>

#include "quantize/quantize.h"

namespace vantle::quantize {
namespace {

constexpr Py_ssize_t kPair = 2;

// Raises what the interpreter raises for `a, b = item` when `item` does not
// unpack into exactly two values.
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
  throw nb::value_error(message.c_str());
}

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
      throw nb::type_error(
          ("cannot unpack non-iterable " + std::string(type->tp_name) + " object").c_str());
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

}  // namespace

void for_each_named_module(nb::handle model,
                           const std::function<void(nb::handle, nb::handle)>& visit) {
  for (nb::handle item : model.attr("named_modules")()) {
    auto [name, module] = unpack_pair(item);
    visit(name, module);
  }
}

NoGrad::NoGrad(nb::handle torch) : context_(torch.attr("no_grad")()) {
  context_.attr("__enter__")();
}

NoGrad::~NoGrad() {
  try {
    context_.attr("__exit__")(nb::none(), nb::none(), nb::none());
  } catch (const nb::python_error&) {
    // Restoring the grad mode does not fail in practice, and a destructor must not throw.
  }
}

double to_double(nb::handle value) {
  const double result = PyFloat_AsDouble(value.ptr());
  if (result == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return result;
}

}  // namespace vantle::quantize
