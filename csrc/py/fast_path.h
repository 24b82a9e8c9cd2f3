// When a C++ kernel may run on a tensor's memory instead of composed torch
// operations: plain torch.Tensor (no subclass), CPU, float32, contiguous, no
// autograd graph to record, and torch neither tracing nor compiling.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace vantle::py {

namespace nb = nanobind;

// An exact torch.Tensor (no subclass) that is not wrapped by a vmap/grad
// transform, so its storage holds its own values.
bool is_plain_tensor(nb::handle torch, nb::handle tensor);

// Whether a tensor's memory holds exactly its values as contiguous float32 on
// the CPU: float32, strided, on the CPU, contiguous, not a negated view, not
// nested, not a zero tensor (which has no memory at all) and not wrapped by a
// vmap/grad transform, with a non-null data pointer and a storage that covers
// every element. Its class is the caller's to check (a subclass may redefine
// what its memory means). The names it needs are looked up once, when the
// object is made.
class Float32Memory {
 public:
  explicit Float32Memory(nb::handle torch);

  // Raises ValueError for a tensor that qualifies in every other way but whose
  // storage is smaller than its elements (a storage resized away under it):
  // no path could read such a tensor, torch's own operations included.
  bool holds_values(nb::handle tensor) const;

 private:
  bool memory_present(nb::handle tensor) const;

  nb::object float32_, strided_, is_functorch_wrapped_;
};

// Whether a contiguous strided CPU tensor has memory for all its elements of
// `item_size` bytes: false for a zero tensor (no memory at all) or a null data
// pointer; ValueError when its storage is smaller than its elements.
bool has_element_memory(nb::handle tensor, int64_t item_size);

// A plain contiguous float32 CPU tensor whose memory a kernel may use: an
// exact torch.Tensor that Float32Memory vouches for.
bool is_plain_cpu_float32(nb::handle torch, nb::handle tensor);

// True when autograd would record an operation on any of these tensors.
bool needs_autograd(nb::handle torch, std::initializer_list<nb::handle> tensors);

// True while torch.jit traces or torch.compile compiles.
bool tracing_or_compiling(nb::handle torch);

// All of the above for a set of tensors.
bool kernel_allowed(nb::handle torch, std::initializer_list<nb::handle> tensors);

// Raw access to a tensor that passed is_plain_cpu_float32.
float* float_data(nb::handle tensor);
int64_t numel(nb::handle tensor);
std::vector<int64_t> shape_of(nb::handle tensor);

// The shape of a tensor (or anything with `.shape`) as a Python tuple text.
std::string shape_text(nb::handle tensor);

}  // namespace vantle::py
