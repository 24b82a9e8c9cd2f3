#include "py/tensor_fields.h"

#include "py/module_state.h"

namespace vantle::py {

FieldReader::FieldReader(PyTypeObject* type, const char* name, bool method)
    : type_(type), name_(PyUnicode_InternFromString(name)), method_(method) {
  if (name_ == nullptr) throw nb::python_error();
  PyObject* mro = type->tp_mro;
  for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
    PyObject* found = dict == nullptr ? nullptr : PyDict_GetItemWithError(dict, name_);
    if (found == nullptr) {
      if (PyErr_Occurred()) throw nb::python_error();
      continue;
    }
    if (!method && Py_IS_TYPE(found, &PyGetSetDescr_Type)) {
      PyGetSetDef* definition = reinterpret_cast<PyGetSetDescrObject*>(found)->d_getset;
      if (definition->get != nullptr) getset_ = definition;
    } else if (method && Py_IS_TYPE(found, &PyMethodDescr_Type)) {
      PyMethodDef* definition = reinterpret_cast<PyMethodDescrObject*>(found)->d_method;
      if ((definition->ml_flags & METH_NOARGS) != 0) method_def_ = definition;
    }
    break;  // the first definition along the MRO is the one Python uses
  }
}

TensorFields::TensorFields(PyTypeObject* tensor)
    : dtype(tensor, "dtype", false),
      layout(tensor, "layout", false),
      is_cpu(tensor, "is_cpu", false),
      is_nested(tensor, "is_nested", false),
      version(tensor, "_version", false),
      shape(tensor, "shape", false),
      data_ptr(tensor, "data_ptr", true),
      numel(tensor, "numel", true),
      is_contiguous(tensor, "is_contiguous", true),
      is_neg(tensor, "is_neg", true),
      storage_offset(tensor, "storage_offset", true),
      untyped_storage(tensor, "untyped_storage", true),
      is_zerotensor(tensor, "_is_zerotensor", true) {}

const TensorFields& tensor_fields() {
  // Never destroyed; torch.Tensor lives as long as the process.
  static const auto* fields = new TensorFields(
      reinterpret_cast<PyTypeObject*>(module_global("torch").attr("Tensor").ptr()));
  return *fields;
}

}  // namespace vantle::py
