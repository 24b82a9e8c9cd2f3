// Small CPython conveniences used throughout the exporter: interned names,
// keyword calls, attribute reads that behave like getattr(obj, name, None),
// unpacking into a fixed count with the interpreter's own messages, and
// chained RuntimeErrors.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "py/unpack.h"

namespace vantle::export_ir {

namespace nb = nanobind;

// Interned Python strings, made once per process: attribute and keyword names
// are looked up thousands of times per export. `interned` takes string
// literals only (it remembers them by address); other text goes through
// `interned_text`.
nb::handle interned(const char* literal);
nb::handle interned_text(std::string_view text);

// Throws the pending Python error when `result` is null, else owns it.
nb::object checked(PyObject* result);

// isinstance(obj, cls), errors raised.
bool is_instance(nb::handle obj, nb::handle cls);

// Keyword arguments collected in order, then passed in one vectorcall.
class Keywords {
 public:
  Keywords();
  void add(const char* name, nb::handle value);  // name: a string literal
  void add(nb::handle name, nb::handle value);
  nb::object call(nb::handle callable) const;

 private:
  std::vector<nb::object> names_;
  std::vector<nb::object> values_;
};

// The object's instance __dict__, or None when it has none.
nb::object instance_dict(nb::handle obj);

// instance_dict(obj)[name] when that is a dict (nn.Module's _parameters,
// _buffers, _modules), else an invalid handle. Borrowed from `dict`.
nb::handle registry_of(nb::handle dict, const char* name);

// The class attribute `name` as attribute access finds it along the MRO;
// borrowed, null when no class defines it.
PyObject* type_lookup(PyTypeObject* type, const char* name);

// getattr(obj, name, None): only AttributeError is swallowed.
nb::object optional_attr(nb::handle obj, const char* name);

// `a, b = value` with the interpreter's messages (shared by every module).
using py::unpack_pair;

// `tuple(value)` unpacked into exactly `count` items, with the interpreter's
// messages on a count mismatch.
std::vector<nb::object> unpack_exact(nb::handle value, std::size_t count);

// Raises type(message) chained to `cause` (as `raise ... from cause`).
[[noreturn]] void raise_from(PyObject* type, nb::python_error& cause, const std::string& message);
[[noreturn]] void raise_runtime_from(nb::python_error& cause, const std::string& message);

// str(obj) as UTF-8, unencodable characters escaped (py/text.h).
std::string str_of(nb::handle obj);

// For C functions called by the interpreter: runs `body`, turning C++
// exceptions into the pending Python error. Returns None, or null on error.
template <typename Body>
PyObject* none_or_error(Body&& body) {
  try {
    body();
  } catch (nb::python_error& error) {
    error.restore();
    return nullptr;
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace vantle::export_ir
