#include "py/instance_test.h"

namespace vantle::py {
namespace {

// Few distinct types meet one test; past this many, answers are not kept.
constexpr size_t kMaxKeptTypes = 64;

// True when `type` finds the same class attribute `name` (an interned
// string) as object does.
bool inherits_from_object(PyTypeObject* type, PyObject* name) {
  if (name == nullptr) return false;
  PyObject* own = _PyType_Lookup(&PyBaseObject_Type, name);
  return own != nullptr && _PyType_Lookup(type, name) == own;
}

// A class of the plain metaclass, or a tuple of such classes: either way the
// instance test is a subtype test plus the `__class__` fallback.
bool is_plain_class_or_tuple(nb::handle cls) {
  if (PyType_CheckExact(cls.ptr())) return true;
  if (!PyTuple_CheckExact(cls.ptr())) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls.ptr()); ++i) {
    if (!PyType_CheckExact(PyTuple_GET_ITEM(cls.ptr(), i))) return false;
  }
  return true;
}

bool is_subtype_of(PyTypeObject* type, PyObject* cls) {
  if (!PyTuple_Check(cls)) return PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls));
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls); ++i) {
    if (PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(cls, i)))) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool keeps_standard_class_attribute(PyTypeObject* type) {
  static PyObject* const name = PyUnicode_InternFromString("__class__");  // kept for the process
  return has_generic_getattribute(type) && inherits_from_object(type, name);
}

bool has_generic_getattribute(PyTypeObject* type) {
  static PyObject* const name = PyUnicode_InternFromString("__getattribute__");  // kept
  return inherits_from_object(type, name);
}

InstanceTest::InstanceTest(nb::handle cls)
    : cls_(nb::borrow(cls)), plain_class_(is_plain_class_or_tuple(cls)) {}

bool InstanceTest::operator()(nb::handle obj) {
  PyTypeObject* type = Py_TYPE(obj.ptr());
  for (const auto& [kept_type, answer] : answers_) {
    if (kept_type.ptr() == reinterpret_cast<PyObject*>(type)) return answer;
  }
  if (plain_class_) {
    // A subtype is an instance whatever `__class__` says; otherwise the
    // standard `__class__` is the type itself, which already failed.
    const bool subtype = is_subtype_of(type, cls_.ptr());
    if (subtype || keeps_standard_class_attribute(type)) {
      if (answers_.size() < kMaxKeptTypes) {
        answers_.emplace_back(nb::borrow(reinterpret_cast<PyObject*>(type)), subtype);
      }
      return subtype;
    }
  }
  const int result = PyObject_IsInstance(obj.ptr(), cls_.ptr());
  if (result < 0) throw nb::python_error();
  return result != 0;
}

}  // namespace vantle::py
