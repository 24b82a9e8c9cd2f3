#include "export_ir/trace/tensor_shape.h"

#include "export_ir/common/cpython.h"

namespace vantle::export_ir {

nb::object shape_without_batch(nb::handle tensor) {
  nb::object shape = checked(PyObject_GetAttr(tensor.ptr(), interned("shape").ptr()));
  // torch.Size is a tuple: the tuple slice gives a plain tuple of its ints at
  // once, where Size's own slicing would build another Size first.
  if (PyTuple_Check(shape.ptr())) {
    return checked(PyTuple_GetSlice(shape.ptr(), 1, PyTuple_GET_SIZE(shape.ptr())));
  }
  nb::object tail = checked(PySequence_GetSlice(shape.ptr(), 1, PY_SSIZE_T_MAX));
  return PyTuple_CheckExact(tail.ptr()) ? tail : checked(PySequence_Tuple(tail.ptr()));
}

}  // namespace vantle::export_ir
