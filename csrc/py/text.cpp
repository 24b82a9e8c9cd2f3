#include "py/text.h"

namespace vantle::py {

std::string utf8_text(nb::handle obj) {
  nb::str text(obj);
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size); data != nullptr) {
    return {data, static_cast<std::size_t>(size)};
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
  PyErr_Clear();
  nb::object bytes = nb::steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "backslashreplace"));
  if (!bytes.is_valid()) throw nb::python_error();
  return {PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr()))};
}

std::string repr_text(nb::handle value) {
  return utf8_text(nb::repr(value));
}

std::string error_text(nb::handle error) {
  try {
    return utf8_text(error);
  } catch (nb::python_error&) {
    return "<exception str() failed>";
  }
}

}  // namespace vantle::py
