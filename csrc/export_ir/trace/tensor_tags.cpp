#include "export_ir/trace/tensor_tags.h"

#include <bit>

#include "export_ir/common/cpython.h"

namespace vantle::export_ir {

TensorTags::TensorTags(std::size_t expected)
    : slots_(std::bit_ceil(std::max<std::size_t>(16, 2 * expected))) {}

std::size_t TensorTags::index_of(PyObject* key) const {
  // Object addresses are 16-byte aligned: drop those bits, then mix.
  const auto bits = reinterpret_cast<std::uintptr_t>(key) >> 4;
  return static_cast<std::size_t>(bits * 0x9E3779B97F4A7C15ULL) & (slots_.size() - 1);
}

Ref TensorTags::find(PyObject* tensor) const {
  for (std::size_t i = index_of(tensor);; i = (i + 1) & (slots_.size() - 1)) {
    const Slot& slot = slots_[i];
    if (slot.key == nullptr) return {};
    if (slot.key != tensor) continue;
    // A tag of a tensor that died says nothing about one born at its address.
    return PyWeakref_GetObject(slot.weak.ptr()) == tensor ? slot.ref : Ref{};
  }
}

void TensorTags::set(PyObject* tensor, Ref ref) {
  if (2 * (used_ + 1) > slots_.size()) grow();
  for (std::size_t i = index_of(tensor);; i = (i + 1) & (slots_.size() - 1)) {
    Slot& slot = slots_[i];
    if (slot.key == tensor && PyWeakref_GetObject(slot.weak.ptr()) == tensor) {
      slot.ref = ref;
      return;
    }
    if (slot.key != nullptr && slot.key != tensor) continue;
    // A free slot, or a dead tensor's: the new object takes it over.
    if (slot.key == nullptr) ++used_;
    slot.key = tensor;
    slot.weak = checked(PyWeakref_NewRef(tensor, nullptr));
    slot.ref = ref;
    return;
  }
}

void TensorTags::grow() {
  std::vector<Slot> old(slots_.size() * 2);
  old.swap(slots_);
  for (Slot& slot : old) {
    if (slot.key == nullptr) continue;
    std::size_t i = index_of(slot.key);
    while (slots_[i].key != nullptr) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = std::move(slot);
  }
}

}  // namespace vantle::export_ir
