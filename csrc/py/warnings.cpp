#include "py/warnings.h"

// After Python.h, which nanobind includes.
#include <frameobject.h>

#include <string>
#include <string_view>

namespace vantle::py {
namespace {

// The folder of the vantle package ("" when it cannot be told): its Python
// code (the quantization report, the command line) calls the modules too.
std::string package_folder() {
  PyObject* package = PyDict_GetItemString(PyImport_GetModuleDict(), "vantle");  // borrowed
  if (package == nullptr) return "";
  PyObject* file = PyObject_GetAttrString(package, "__file__");
  if (file == nullptr || !PyUnicode_Check(file)) {
    Py_XDECREF(file);
    PyErr_Clear();
    return "";
  }
  const char* text = PyUnicode_AsUTF8(file);
  std::string path = text == nullptr ? "" : text;
  Py_DECREF(file);
  if (text == nullptr) PyErr_Clear();
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

bool inside_the_package(std::string_view file) {
  static const std::string folder = package_folder();
  return !folder.empty() && file.starts_with(folder);
}

Py_ssize_t caller_level() {
  Py_ssize_t level = 1;
  PyFrameObject* frame = PyEval_GetFrame();  // borrowed
  nb::object current = frame == nullptr ? nb::object() : nb::borrow((PyObject*)frame);
  while (current.is_valid()) {
    auto* f = reinterpret_cast<PyFrameObject*>(current.ptr());
    nb::object code = nb::steal((PyObject*)PyFrame_GetCode(f));
    PyObject* file = reinterpret_cast<PyCodeObject*>(code.ptr())->co_filename;
    const char* name = PyUnicode_Check(file) ? PyUnicode_AsUTF8(file) : nullptr;
    if (name == nullptr) PyErr_Clear();
    const std::string_view text = name == nullptr ? "" : name;
    if (!inside_the_package(text)) break;
    ++level;
    PyFrameObject* back = PyFrame_GetBack(f);  // new reference
    current = back == nullptr ? nb::object() : nb::steal((PyObject*)back);
  }
  return level;
}

}  // namespace

void warn_at_caller(PyObject* category, const std::string& message) {
  if (PyErr_WarnEx(category, message.c_str(), caller_level()) < 0) throw nb::python_error();
}

}  // namespace vantle::py
