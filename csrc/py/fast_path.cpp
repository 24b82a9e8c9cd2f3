#include "py/fast_path.h"

#include <string>

#include "core/format.h"
#include "py/tensor_fields.h"
#include "py/torch_ops.h"

namespace vantle::py {

namespace {

bool is_exact_tensor(nb::handle torch, nb::handle tensor) {
  return Py_IS_TYPE(tensor.ptr(), reinterpret_cast<PyTypeObject*>(torch.attr("Tensor").ptr()));
}

// Tensors wrapped by vmap/grad transforms look plain but hold no usable memory.
nb::object functorch_wrapped_test(nb::handle torch) {
  return torch.attr("_C").attr("_functorch").attr("is_functorch_wrapped_tensor");
}

}  // namespace

bool is_plain_tensor(nb::handle torch, nb::handle tensor) {
  return is_exact_tensor(torch, tensor) && !nb::cast<bool>(functorch_wrapped_test(torch)(tensor));
}

Float32Memory::Float32Memory(nb::handle torch)
    : float32_(torch.attr("float32")),
      strided_(torch.attr("strided")),
      is_functorch_wrapped_(functorch_wrapped_test(torch)) {}

bool Float32Memory::holds_values(nb::handle tensor) const {
  const TensorFields& field = tensor_fields();
  if (!field.dtype(tensor).is(float32_)) return false;
  if (!field.layout(tensor).is(strided_)) return false;
  if (!truthy(field.is_cpu(tensor))) return false;
  // Nested tensors report strided and contiguous but have no single shape.
  if (truthy(field.is_nested(tensor))) return false;
  if (!truthy(field.is_contiguous(tensor))) return false;
  // A negated view keeps the unnegated values in memory.
  if (truthy(field.is_neg(tensor))) return false;
  if (nb::cast<bool>(is_functorch_wrapped_(tensor))) return false;
  return memory_present(tensor);
}

bool Float32Memory::memory_present(nb::handle tensor) const {
  return has_element_memory(tensor, sizeof(float));
}

bool has_element_memory(nb::handle tensor, int64_t item_size) {
  static const nb::handle nbytes = PyUnicode_InternFromString("nbytes");
  const TensorFields& field = tensor_fields();
  const auto count = nb::cast<int64_t>(field.numel(tensor));
  // Kernels touch no memory for zero elements.
  if (count == 0) return true;
  // A zero tensor reads as zeros through torch's operations but has a null
  // data pointer and no storage behind it (asked only then: the call costs).
  if (nb::cast<uintptr_t>(field.data_ptr(tensor)) == 0 && truthy(field.is_zerotensor(tensor))) {
    return false;
  }
  const auto offset = nb::cast<int64_t>(field.storage_offset(tensor));
  const auto bytes = nb::cast<int64_t>(field.untyped_storage(tensor).attr(nbytes)());
  // Contiguous, so the elements are the `count` items from the offset on.
  const auto available = bytes / item_size;
  if (offset < 0 || offset > available || count > available - offset) {
    const std::string message = "tensor of " + std::to_string(count) + " elements of " +
                                std::to_string(item_size) + " bytes at storage offset " +
                                std::to_string(offset) + " has a storage of only " +
                                std::to_string(bytes) + " bytes";
    throw nb::value_error(message.c_str());
  }
  return true;
}

bool is_plain_cpu_float32(nb::handle torch, nb::handle tensor) {
  return is_exact_tensor(torch, tensor) && Float32Memory(torch).holds_values(tensor);
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
  return reinterpret_cast<float*>(nb::cast<uintptr_t>(tensor_fields().data_ptr(tensor)));
}

int64_t numel(nb::handle tensor) {
  return nb::cast<int64_t>(tensor_fields().numel(tensor));
}

std::vector<int64_t> shape_of(nb::handle tensor) {
  std::vector<int64_t> dims;
  for (nb::handle dim : tensor_fields().shape(tensor)) dims.push_back(nb::cast<int64_t>(dim));
  return dims;
}

std::string shape_text(nb::handle tensor) {
  return core::format_shape(shape_of(tensor));
}

}  // namespace vantle::py
