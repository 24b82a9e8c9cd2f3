#include "core/address_index.h"

#include <bit>

namespace vantle::core {
namespace {

constexpr size_t kMinSlots = 16;

size_t slot_count_for(size_t size) {
  // At most half full, so probe runs stay short.
  return std::bit_ceil(size * 2 < kMinSlots ? kMinSlots : size * 2);
}

}  // namespace

AddressIndex::AddressIndex(size_t expected_size)
    : slots_(slot_count_for(expected_size), 0), shift_(64 - std::countr_zero(slots_.size())) {
  addresses_.reserve(expected_size);
}

size_t AddressIndex::home_slot(uintptr_t address) const {
  // Fibonacci hashing; the low bits of an address are alignment zeros.
  return static_cast<size_t>((static_cast<uint64_t>(address) * 0x9e3779b97f4a7c15ULL) >> shift_);
}

void AddressIndex::set(const void* address, int64_t index) {
  if ((size_ + 1) * 2 > slots_.size()) grow();
  const auto key = reinterpret_cast<uintptr_t>(address);
  if (addresses_.size() <= static_cast<size_t>(index)) addresses_.resize(index + 1, 0);
  const size_t mask = slots_.size() - 1;
  for (size_t i = home_slot(key);; i = (i + 1) & mask) {
    uint32_t& slot = slots_[i];
    if (slot == 0) {
      ++size_;
    } else if (addresses_[slot - 1] != key) {
      continue;
    } else {
      addresses_[slot - 1] = 0;  // the old index no longer names this address
    }
    slot = static_cast<uint32_t>(index + 1);
    addresses_[index] = key;
    return;
  }
}

int64_t AddressIndex::find(const void* address) const {
  const auto key = reinterpret_cast<uintptr_t>(address);
  const size_t mask = slots_.size() - 1;
  for (size_t i = home_slot(key);; i = (i + 1) & mask) {
    const uint32_t slot = slots_[i];
    if (slot == 0) return -1;
    if (addresses_[slot - 1] == key) return slot - 1;
  }
}

void AddressIndex::grow() {
  std::vector<uint32_t> old(slots_.size() * 2, 0);
  old.swap(slots_);
  shift_ = 64 - std::countr_zero(slots_.size());
  const size_t mask = slots_.size() - 1;
  for (uint32_t slot : old) {
    if (slot == 0) continue;
    size_t i = home_slot(addresses_[slot - 1]);
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

}  // namespace vantle::core
