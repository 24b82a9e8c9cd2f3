// A memory of tensors that Float32Memory vouched for, so that tensors a kernel
// meets on every call (a module's buffers, the membrane it wrote itself on the
// previous step) are not checked in full each time.
//
// Each entry holds a weak reference to the tensor and a stamp of what changes
// when its memory could have: the version counter (every in-place write), the
// data pointer (a resized or swapped storage), the element count, the dtype
// and contiguity.
// A tensor that died leaves a dead reference, so a new tensor at the same
// address is never taken for it. What keeps all five (`t.data = v` with a view
// `v` of the same memory and element count) reads the same, still-owned memory
// as before, in the shape remembered for it.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "py/fast_path.h"

namespace vantle::py {

// Where a vouched tensor's values are, and its shape.
struct TensorLayout {
  uintptr_t data = 0;
  std::vector<int64_t> shape;
};

class VouchedTensors {
 public:
  // The layout of `tensor` when memory.holds_values(tensor), answered from the
  // table when the tensor was vouched for and is unchanged since; a tensor
  // that qualifies is remembered. Nothing when it does not qualify.
  std::optional<TensorLayout> layout(const Float32Memory& memory, nb::handle tensor);

  // Remembers a tensor known to qualify, with its layout: a contiguous float32
  // tensor just allocated for a kernel's output.
  void vouch(nb::handle tensor, const TensorLayout& layout);

  // The table of this extension (callers hold the GIL).
  static VouchedTensors& shared();

 private:
  struct Stamp {
    int64_t version = -1;
    uintptr_t data = 0;
    int64_t count = -1;
    bool operator==(const Stamp&) const = default;
  };
  struct Entry {
    nb::object ref;  // weak reference to the tensor
    Stamp stamp;
    std::vector<int64_t> shape;
  };
  static constexpr int kSlotBits = 10;
  static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;

  explicit VouchedTensors(nb::handle torch);
  Entry& slot_of(nb::handle tensor);
  // The tensor's stamp; false when it is not contiguous float32 or refuses a field.
  bool stamp(nb::handle tensor, Stamp& out) const;
  // Remembers a qualifying tensor; its layout, or nothing when it cannot be stamped.
  std::optional<TensorLayout> remember(nb::handle tensor);
  void store(nb::handle tensor, const Stamp& stamp, const std::vector<int64_t>& shape);

  nb::object float32_;
  std::array<Entry, kSlots> entries_;
};

}  // namespace vantle::py
