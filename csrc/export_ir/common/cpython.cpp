#include "export_ir/common/cpython.h"

#include <nanobind/stl/string.h>

#include <array>
#include <cstdint>
#include <unordered_map>

#include "py/text.h"

namespace vantle::export_ir {

namespace {

// Lets the name table be searched with a string_view, without a temporary string.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

}  // namespace

nb::handle interned_text(std::string_view name) {
  // The strings live as long as the process, like the interpreter's own interned names.
  static std::unordered_map<std::string, PyObject*, NameHash, std::equal_to<>> table;
  auto found = table.find(name);
  if (found != table.end()) return found->second;
  PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  if (text == nullptr) throw nb::python_error();
  PyUnicode_InternInPlace(&text);
  table.emplace(std::string(name), text);
  return text;
}

nb::handle interned(const char* literal) {
  // A literal's address identifies its text, so a slot per address answers
  // without hashing; a collision only costs a lookup by text.
  struct Slot {
    const char* key = nullptr;
    PyObject* value = nullptr;
  };
  static std::array<Slot, 1024> slots;
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(literal);
  Slot& slot = slots[(address * 0x9E3779B97F4A7C15ULL) >> 54];  // top 10 bits: 1024 slots
  if (slot.key == literal) return slot.value;
  nb::handle value = interned_text(literal);
  slot = {literal, value.ptr()};
  return value;
}

nb::object checked(PyObject* result) {
  if (result == nullptr) throw nb::python_error();
  return nb::steal(result);
}

bool is_instance(nb::handle obj, nb::handle cls) {
  const int result = PyObject_IsInstance(obj.ptr(), cls.ptr());
  if (result < 0) throw nb::python_error();
  return result == 1;
}

// --- Keywords -------------------------------------------------------------------

Keywords::Keywords() {
  names_.reserve(24);
  values_.reserve(24);
}

void Keywords::add(const char* name, nb::handle value) {
  add(interned(name), value);
}

void Keywords::add(nb::handle name, nb::handle value) {
  names_.push_back(nb::borrow(name));
  values_.push_back(nb::borrow(value));
}

nb::object Keywords::call(nb::handle callable) const {
  nb::object kwnames = checked(PyTuple_New(static_cast<Py_ssize_t>(names_.size())));
  std::vector<PyObject*> args;
  args.reserve(values_.size());
  for (std::size_t i = 0; i < names_.size(); ++i) {
    PyTuple_SET_ITEM(kwnames.ptr(), static_cast<Py_ssize_t>(i), names_[i].inc_ref().ptr());
    args.push_back(values_[i].ptr());
  }
  return checked(PyObject_Vectorcall(callable.ptr(), args.data(), 0, kwnames.ptr()));
}

// --- Attribute reads ------------------------------------------------------------

nb::object instance_dict(nb::handle obj) {
  PyObject* dict = PyObject_GenericGetDict(obj.ptr(), nullptr);
  if (dict != nullptr) return nb::steal(dict);
  PyErr_Clear();  // objects without a __dict__
  return nb::none();
}

nb::handle registry_of(nb::handle dict, const char* name) {
  if (!PyDict_Check(dict.ptr())) return nb::handle();
  PyObject* entries = PyDict_GetItemWithError(dict.ptr(), interned(name).ptr());
  if (entries == nullptr && PyErr_Occurred()) throw nb::python_error();
  return entries != nullptr && PyDict_Check(entries) ? nb::handle(entries) : nb::handle();
}

nb::object optional_attr(nb::handle obj, const char* name) {
  PyObject* value = PyObject_GetAttr(obj.ptr(), interned(name).ptr());
  if (value != nullptr) return nb::steal(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
  PyErr_Clear();
  return nb::none();
}

PyObject* type_lookup(PyTypeObject* type, const char* name) {
  return _PyType_Lookup(type, interned(name).ptr());  // borrowed, no error set
}

bool has_generic_getattribute(PyTypeObject* type) {
  static PyObject* const generic =
      PyDict_GetItemString(PyBaseObject_Type.tp_dict, "__getattribute__");
  return type_lookup(type, "__getattribute__") == generic;
}

std::vector<nb::object> unpack_exact(nb::handle value, std::size_t count) {
  PyObject* iterator = PyObject_GetIter(value.ptr());
  if (iterator == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      const std::string message =
          "cannot unpack non-iterable " +
          str_of(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr()))).attr("__name__")) +
          " object";
      throw nb::type_error(message.c_str());
    }
    throw nb::python_error();
  }
  nb::object items = nb::steal(iterator);
  std::vector<nb::object> result;
  while (PyObject* item = PyIter_Next(items.ptr())) {
    if (result.size() == count) {
      Py_DECREF(item);
      const std::string message =
          "too many values to unpack (expected " + std::to_string(count) + ")";
      throw nb::value_error(message.c_str());
    }
    result.push_back(nb::steal(item));
  }
  if (PyErr_Occurred()) throw nb::python_error();
  if (result.size() != count) {
    const std::string message = "not enough values to unpack (expected " + std::to_string(count) +
                                ", got " + std::to_string(result.size()) + ")";
    throw nb::value_error(message.c_str());
  }
  return result;
}

std::string str_of(nb::handle obj) {
  return py::utf8_text(obj);
}

void raise_from(PyObject* type, nb::python_error& cause, const std::string& message) {
  nb::object error =
      checked(PyObject_CallOneArg(type, nb::str(message.c_str(), message.size()).ptr()));
  nb::handle cause_value = cause.value();
  // Both steal a reference; SetCause also sets __suppress_context__.
  PyException_SetCause(error.ptr(), cause_value.inc_ref().ptr());
  PyException_SetContext(error.ptr(), cause_value.inc_ref().ptr());
  PyErr_SetObject(type, error.ptr());
  throw nb::python_error();
}

void raise_runtime_from(nb::python_error& cause, const std::string& message) {
  raise_from(PyExc_RuntimeError, cause, message);
}

}  // namespace vantle::export_ir
