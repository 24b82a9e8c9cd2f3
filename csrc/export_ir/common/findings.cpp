#include "export_ir/common/findings.h"

#include <nanobind/nanobind.h>
// After Python.h, which nanobind includes.
#include <frameobject.h>

#include <string_view>

namespace vantle::export_ir {

namespace nb = nanobind;

namespace {

// The stack level of the caller's line: past the frames of the Python
// wrappers that give the module's functions their signatures (code named
// "<vantle.bridge... stub>"), so that a warning points at the export call.
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
    if (!(text.starts_with("<vantle.") && text.ends_with(" stub>"))) break;
    ++level;
    PyFrameObject* back = PyFrame_GetBack(f);  // new reference
    current = back == nullptr ? nb::object() : nb::steal((PyObject*)back);
  }
  return level;
}

}  // namespace

void Findings::add(std::string what, std::string consequence) {
  if (!seen_.insert(what).second) return;
  list_.push_back({std::move(what), std::move(consequence)});
}

void Findings::add_all(const Findings& other) {
  for (const Finding& finding : other.list_) add(finding.what, finding.consequence);
}

void Findings::report(bool strict) const {
  if (list_.empty()) return;
  if (strict) {
    std::string message =
        "export_ir(strict=True): the exported graph would not compute what the model "
        "computes:";
    for (const Finding& finding : list_) message += "\n  - " + finding.what;
    throw nb::value_error(message.c_str());
  }
  const Py_ssize_t level = caller_level();
  for (const Finding& finding : list_) {
    const std::string message = finding.what + "; " + finding.consequence;
    if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), level) < 0) throw nb::python_error();
  }
}

}  // namespace vantle::export_ir
