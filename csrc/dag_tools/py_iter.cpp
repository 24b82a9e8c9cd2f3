#include "dag_tools/py_iter.h"

#include <algorithm>

#include "py/module_state.h"

namespace vantle::dag_tools {

size_t reserve_hint(nb::handle iterable) {
  // Beyond this the vector grows by itself, as it does for anything not reserved.
  constexpr Py_ssize_t kMostGuessed = Py_ssize_t{1} << 16;
  PyObject* ptr = iterable.ptr();
  if (PyList_CheckExact(ptr)) return static_cast<size_t>(PyList_GET_SIZE(ptr));
  if (PyTuple_CheckExact(ptr)) return static_cast<size_t>(PyTuple_GET_SIZE(ptr));
  const Py_ssize_t hint = PyObject_LengthHint(ptr, 0);
  if (hint < 0) throw nb::python_error();
  return static_cast<size_t>(std::min(hint, kMostGuessed));
}

nb::str text_of(nb::handle value) {
  if (PyUnicode_CheckExact(value.ptr())) return nb::borrow<nb::str>(value);
  PyObject* text = PyObject_Format(value.ptr(), nullptr);
  if (text == nullptr) throw nb::python_error();
  return nb::steal<nb::str>(text);
}

void raise_value_error(std::initializer_list<nb::handle> pieces) {
  nb::list parts;
  for (nb::handle piece : pieces) parts.append(piece);
  PyObject* message = PyUnicode_Join(nb::str("").ptr(), parts.ptr());
  if (message == nullptr) throw nb::python_error();
  PyErr_SetObject(PyExc_ValueError, message);
  Py_DECREF(message);
  throw nb::python_error();
}

void raise_while_handling(nb::handle handled, PyObject* type, const char* message) {
#if PY_VERSION_HEX >= 0x030B0000
  PyObject* outer = PyErr_GetHandledException();
  PyErr_SetHandledException(handled.ptr());
  PyErr_SetString(type, message);
  PyErr_SetHandledException(outer);
  Py_XDECREF(outer);
#else
  PyObject *outer_type, *outer_value, *outer_traceback;
  PyErr_GetExcInfo(&outer_type, &outer_value, &outer_traceback);
  PyErr_SetExcInfo(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(handled.ptr()))),
                   Py_NewRef(handled.ptr()), PyException_GetTraceback(handled.ptr()));
  PyErr_SetString(type, message);
  PyErr_SetExcInfo(outer_type, outer_value, outer_traceback);
#endif
  throw nb::python_error();
}

nb::object ir_class(const char* name) {
  return py::module_global("ir").attr(name);
}

}  // namespace vantle::dag_tools
