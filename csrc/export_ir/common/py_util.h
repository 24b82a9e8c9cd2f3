// Small CPython conveniences used throughout the exporter: keyword calls,
// attribute reads that behave like getattr(obj, name, None), unpacking into a
// fixed count with the interpreter's own messages, and chained RuntimeErrors.
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

// Attribute reads on torch modules without torch's Python-level __getattr__.
//
// nn.Module resolves parameters, buffers and submodules in a Python __getattr__
// that raises for a missing name, which makes getattr(m, name, None) slow. For
// a module whose class keeps object.__getattribute__ and nn.Module.__getattr__,
// the same lookup (class attributes, instance dict, then _parameters, _buffers
// and _modules) is done here directly; any other object takes the ordinary path.
class AttrReader {
 public:
  explicit AttrReader(nb::handle nn_module_class);

  // A view of one object whose dictionaries are fetched once.
  class View {
   public:
    // getattr(obj, name, None) and getattr(obj, name); names are string literals.
    nb::object optional(const char* name) const;
    nb::object required(const char* name) const;
    nb::handle object() const { return obj_; }
    // False when no attribute whose name starts with one of `prefixes` can be
    // found: none in the object's dictionaries, none among `class_names` on
    // its class. True when it may (or the object is not one this reader
    // looks into directly).
    bool may_have_prefixed(std::initializer_list<std::string_view> prefixes,
                           std::initializer_list<const char*> class_names) const;

   private:
    friend class AttrReader;
    nb::object find(const char* name, bool& found) const;

    nb::handle obj_;
    bool fast_ = false;
    // Instance dict, then _parameters, _buffers and _modules where present.
    std::vector<nb::object> dicts_;
  };

  View view(nb::handle obj) const;

 private:
  nb::object module_getattr_;
};

// `a, b = value` with the interpreter's messages (shared by every module).
using py::unpack_pair;

// `tuple(value)` unpacked into exactly `count` items, with the interpreter's
// messages on a count mismatch.
std::vector<nb::object> unpack_exact(nb::handle value, std::size_t count);

// Raises RuntimeError(message) chained to `cause` (as `raise ... from cause`).
[[noreturn]] void raise_runtime_from(nb::python_error& cause, const std::string& message);

// str(obj) as UTF-8.
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
