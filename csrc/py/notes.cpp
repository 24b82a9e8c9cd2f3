#include "py/notes.h"

#include <nanobind/stl/string.h>

namespace vantle::py {

void add_note(const nb::python_error& error, const std::string& note) {
  PyObject* result = PyObject_CallMethod(error.value().ptr(), "add_note", "s", note.c_str());
  if (result == nullptr) {
    PyErr_Clear();  // the original error matters more than its note
    return;
  }
  Py_DECREF(result);
}

}  // namespace vantle::py
