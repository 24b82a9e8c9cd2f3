#include "py/torch_ops.h"

namespace vantle::py {

bool truthy(nb::handle obj) {
  const int result = PyObject_IsTrue(obj.ptr());
  if (result < 0) throw nb::python_error();
  return result == 1;
}

nb::object float32_tensor(nb::handle np, nb::handle torch, nb::handle value) {
  return torch.attr("from_numpy")(value.attr("astype")(np.attr("float32")));
}

}  // namespace vantle::py
