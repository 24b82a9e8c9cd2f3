#include "py/instance_test.h"

namespace vantle::py {
namespace {

// Few distinct types meet one test; past this many, answers are not kept.
constexpr size_t kMaxKeptTypes = 64;

// True when reading `__class__` on any instance of `type` returns the type:
// attribute access is the generic one and nothing along the MRO before
// `object` defines `__class__` (the standard one is a data descriptor, so an
// instance dictionary cannot shadow it).
bool keeps_standard_class_attribute(PyTypeObject* type) {
  if (type->tp_getattro != PyObject_GenericGetAttr) return false;
  static PyObject* const name = PyUnicode_InternFromString("__class__");  // kept for the process
  PyObject* mro = type->tp_mro;
  if (name == nullptr || mro == nullptr || !PyTuple_Check(mro)) {
    PyErr_Clear();
    return false;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (base == &PyBaseObject_Type) return true;
    if (base->tp_dict == nullptr) return false;
    if (PyDict_GetItemWithError(base->tp_dict, name) != nullptr) return false;
    if (PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
  }
  return false;
}

}  // namespace

InstanceTest::InstanceTest(nb::handle cls)
    : cls_(nb::borrow(cls)), plain_class_(PyType_CheckExact(cls.ptr())) {}

bool InstanceTest::operator()(nb::handle obj) {
  PyTypeObject* type = Py_TYPE(obj.ptr());
  for (const auto& [kept_type, answer] : answers_) {
    if (kept_type.ptr() == reinterpret_cast<PyObject*>(type)) return answer;
  }
  if (plain_class_) {
    // A subtype is an instance whatever `__class__` says; otherwise the
    // standard `__class__` is the type itself, which already failed.
    const bool subtype = PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls_.ptr()));
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
