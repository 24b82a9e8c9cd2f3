#include "export_ir/rules/tensor_arrays.h"

#include <cstdint>
#include <cstring>

#include "export_ir/common/cpython.h"
#include "py/torch_ops.h"

namespace vantle::export_ir {
namespace {

// True when `cls`.`name` is still torch's own C method of TensorBase.
bool is_tensor_base_method(nb::handle cls, nb::handle tensor_base, const char* name) {
  nb::object method = optional_attr(cls, name);
  return Py_IS_TYPE(method.ptr(), &PyMethodDescr_Type) &&
         optional_attr(method, "__objclass__").is(tensor_base);
}

}  // namespace

TensorArrays::TensorArrays(nb::handle np, nb::handle torch)
    : tensor_type_(torch.attr("Tensor")),
      parameter_type_(torch.attr("nn").attr("Parameter")),
      memory_(torch),
      np_empty_(np.attr("empty")),
      np_float32_(np.attr("float32")) {
  // The direct copy stands in for detach().cpu().numpy(); while any of the
  // three has been replaced (a spy, a patch) every tensor goes through them.
  nb::object tensor_base = torch.attr("_C").attr("TensorBase");
  for (nb::handle cls : {tensor_type_, parameter_type_}) {
    for (const char* name : {"detach", "cpu", "numpy"}) {
      direct_copy_ = direct_copy_ && is_tensor_base_method(cls, tensor_base, name);
    }
  }
}

nb::object TensorArrays::operator()(nb::handle tensor) const {
  // The common case, a float32 CPU parameter or buffer, is copied in one step;
  // going through detach() and numpy() costs two throwaway tensor objects.
  if (holds_plain_float32(tensor)) return copy_float32(tensor);
  // Some torch releases give a ZeroTensor's unallocated memory as its values;
  // export refuses on every release, as the newer ones do.
  nb::object is_zero = nb::getattr(tensor, "_is_zerotensor", nb::none());
  if (!is_zero.is_none() && py::truthy(is_zero())) {
    PyErr_SetString(PyExc_RuntimeError,
                    "Cannot convert a ZeroTensor to an array: it holds no memory of its values");
    throw nb::python_error();
  }
  nb::object detached = checked(PyObject_CallMethodNoArgs(tensor.ptr(), interned("detach").ptr()));
  nb::object on_cpu = checked(PyObject_CallMethodNoArgs(detached.ptr(), interned("cpu").ptr()));
  nb::object array = checked(PyObject_CallMethodNoArgs(on_cpu.ptr(), interned("numpy").ptr()));
  return checked(PyObject_CallMethodNoArgs(array.ptr(), interned("copy").ptr()));
}

// One of torch's own classes (a subclass may redefine what its memory means)
// whose memory holds exactly its values as contiguous float32 on the CPU.
bool TensorArrays::holds_plain_float32(nb::handle tensor) const {
  if (!direct_copy_) return false;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(tensor.ptr()));
  if (type != tensor_type_.ptr() && type != parameter_type_.ptr()) return false;
  return memory_.holds_values(tensor);
}

// A new float32 array of the tensor's shape, its values copied straight from
// the tensor's memory (which holds_plain_float32 vouched for).
nb::object TensorArrays::copy_float32(nb::handle tensor) const {
  // An exact tuple and a positional dtype take NumPy's quick path.
  nb::object shape = checked(PySequence_Tuple(tensor.attr(interned("shape")).ptr()));
  nb::object array = checked(
      PyObject_CallFunctionObjArgs(np_empty_.ptr(), shape.ptr(), np_float32_.ptr(), nullptr));
  const auto address = nb::cast<uintptr_t>(tensor.attr(interned("data_ptr"))());
  Py_buffer view;
  if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
    throw nb::python_error();
  }
  if (view.len > 0) std::memcpy(view.buf, reinterpret_cast<const void*>(address), view.len);
  PyBuffer_Release(&view);
  return array;
}

}  // namespace vantle::export_ir
