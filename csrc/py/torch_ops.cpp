#include "py/torch_ops.h"

namespace vantle::py {

bool truthy(nb::handle obj) {
  const int result = PyObject_IsTrue(obj.ptr());
  if (result < 0) throw nb::python_error();
  return result == 1;
}

nb::object float32_tensor(nb::handle np, nb::handle torch, nb::handle value) {
  // A float32 array (native byte order) is copied by torch itself: one pass into
  // memory from torch's allocator, which for large weights is about three times
  // faster than NumPy's copy into fresh pages. Anything else converts as before.
  if (PyObject_IsInstance(value.ptr(), np.attr("ndarray").ptr()) == 1 &&
      value.attr("dtype").equal(np.attr("dtype")("float32"))) {
    return torch.attr("tensor")(value);
  }
  if (PyErr_Occurred()) throw nb::python_error();
  return torch.attr("from_numpy")(value.attr("astype")(np.attr("float32")));
}

}  // namespace vantle::py
