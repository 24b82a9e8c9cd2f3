#include "py/fast_path.h"

#include "core/format.h"

namespace vantle::py {

bool is_plain_tensor(nb::handle torch, nb::handle tensor) {
  if (!Py_IS_TYPE(tensor.ptr(), reinterpret_cast<PyTypeObject*>(torch.attr("Tensor").ptr()))) {
    return false;
  }
  // Tensors wrapped by vmap/grad transforms look plain but hold no usable memory.
  nb::object functorch = torch.attr("_C").attr("_functorch");
  return !nb::cast<bool>(functorch.attr("is_functorch_wrapped_tensor")(tensor));
}

bool is_plain_cpu_float32(nb::handle torch, nb::handle tensor) {
  if (!is_plain_tensor(torch, tensor)) return false;
  if (!tensor.attr("dtype").is(torch.attr("float32"))) return false;
  if (!nb::cast<bool>(tensor.attr("is_cpu"))) return false;
  return nb::cast<bool>(tensor.attr("is_contiguous")());
}

bool needs_autograd(nb::handle torch, std::initializer_list<nb::handle> tensors) {
  if (!nb::cast<bool>(torch.attr("is_grad_enabled")())) return false;
  for (nb::handle tensor : tensors) {
    if (nb::cast<bool>(tensor.attr("requires_grad"))) return true;
  }
  return false;
}

bool tracing_or_compiling(nb::handle torch) {
  if (nb::cast<bool>(torch.attr("jit").attr("is_tracing")())) return true;
  return nb::cast<bool>(torch.attr("compiler").attr("is_compiling")());
}

bool kernel_allowed(nb::handle torch, std::initializer_list<nb::handle> tensors) {
  for (nb::handle tensor : tensors) {
    if (!is_plain_cpu_float32(torch, tensor)) return false;
  }
  return !needs_autograd(torch, tensors) && !tracing_or_compiling(torch);
}

float* float_data(nb::handle tensor) {
  return reinterpret_cast<float*>(nb::cast<uintptr_t>(tensor.attr("data_ptr")()));
}

int64_t numel(nb::handle tensor) {
  return nb::cast<int64_t>(tensor.attr("numel")());
}

std::vector<int64_t> shape_of(nb::handle tensor) {
  std::vector<int64_t> dims;
  for (nb::handle dim : tensor.attr("shape")) dims.push_back(nb::cast<int64_t>(dim));
  return dims;
}

std::string shape_text(nb::handle tensor) {
  return core::format_shape(shape_of(tensor));
}

}  // namespace vantle::py
