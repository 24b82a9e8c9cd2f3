#include "py/signed_function.h"

#include <structmember.h>

#include <cstddef>

namespace vantle::py {
namespace {

struct SignedFunction {
  PyObject_HEAD vectorcallfunc vectorcall;
  PyObject* callable;
  PyObject* dict;
};

PyObject* forward_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return PyObject_Vectorcall(reinterpret_cast<SignedFunction*>(self)->callable, args, nargsf,
                             kwnames);
}

// Looked up on a class: the function itself; on an instance: a method bound to it.
PyObject* bind(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, instance);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
  auto* function = reinterpret_cast<SignedFunction*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(function->callable);
  Py_VISIT(function->dict);
  return 0;
}

int clear(PyObject* self) {
  auto* function = reinterpret_cast<SignedFunction*>(self);
  Py_CLEAR(function->callable);
  Py_CLEAR(function->dict);
  return 0;
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* repr(PyObject* self) {
  PyObject* name = PyObject_GetAttrString(self, "__qualname__");
  if (name == nullptr) {
    PyErr_Clear();
    return PyUnicode_FromString("<compiled function>");
  }
  PyObject* text = PyUnicode_FromFormat("<compiled function %S>", name);
  Py_DECREF(name);
  return text;
}

PyMemberDef members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(SignedFunction, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(SignedFunction, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(bind)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_members, members},
    {0, nullptr},
};

// Method-descriptor semantics let the interpreter call `obj.method(...)` without
// creating a bound method: the function is called with the instance first.
PyType_Spec spec = {
    "vantle.bridge.signed_function",
    sizeof(SignedFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR,
    slots,
};

PyTypeObject* signed_function_type() {
  // One type per extension module, made on first use while the module loads.
  static PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  if (type == nullptr) throw nb::python_error();
  return type;
}

}  // namespace

nb::object signed_function(nb::handle callable, nb::handle attributes) {
  PyTypeObject* type = signed_function_type();
  auto* function = PyObject_GC_New(SignedFunction, type);
  if (function == nullptr) throw nb::python_error();
  function->vectorcall = forward_call;
  function->callable = Py_NewRef(callable.ptr());
  function->dict = PyDict_Copy(attributes.ptr());
  nb::object result = nb::steal(reinterpret_cast<PyObject*>(function));
  if (function->dict == nullptr) throw nb::python_error();
  PyObject_GC_Track(function);
  if (PyDict_SetItemString(function->dict, "__wrapped__", callable.ptr()) < 0) {
    throw nb::python_error();
  }
  return result;
}

}  // namespace vantle::py
