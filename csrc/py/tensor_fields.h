// Reading torch.Tensor fields from C++ at the cost of the read itself.
//
// A generic attribute lookup or method call on a tensor costs several times
// what the field's C implementation does; kernels check a handful of fields on
// every tensor of every call, so the implementations are found once, in the
// class's descriptors, and called directly.
#pragma once

#include <nanobind/nanobind.h>

namespace vantle::py {

namespace nb = nanobind;

// One field of torch.Tensor objects: an attribute, or a method without arguments.
// Objects of another class, or a field that is not a C descriptor there, take
// the generic path.
class FieldReader {
 public:
  FieldReader(PyTypeObject* type, const char* name, bool method);

  // A new reference, or null with the error set.
  PyObject* read(PyObject* object) const {
    if (Py_TYPE(object) == type_) {
      if (getset_ != nullptr) return getset_->get(object, getset_->closure);
      if (method_def_ != nullptr) return method_def_->ml_meth(object, nullptr);
    }
    return method_ ? PyObject_CallMethodNoArgs(object, name_) : PyObject_GetAttr(object, name_);
  }

  // The same as an owned object; raises the Python error.
  nb::object operator()(nb::handle object) const {
    PyObject* value = read(object.ptr());
    if (value == nullptr) throw nb::python_error();
    return nb::steal(value);
  }

 private:
  PyTypeObject* type_;
  PyObject* name_;  // interned, immortal for the process
  bool method_;
  PyGetSetDef* getset_ = nullptr;
  PyMethodDef* method_def_ = nullptr;
};

// The fields the fast paths read, for torch.Tensor.
struct TensorFields {
  explicit TensorFields(PyTypeObject* tensor);
  FieldReader dtype, layout, is_cpu, is_nested, version, shape;
  FieldReader data_ptr, numel, is_contiguous, is_neg, storage_offset, untyped_storage,
      is_zerotensor;
};

// The readers for the torch.Tensor of this process, made on first use.
const TensorFields& tensor_fields();

}  // namespace vantle::py
