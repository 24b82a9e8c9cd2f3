// Object addresses mapped to node indices, so that a name which is the very
// object stored as a node key resolves without reading the object itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantle::core {

class AddressIndex {
 public:
  explicit AddressIndex(size_t expected_size = 0);

  // Stores `index` (0 .. 2^32 - 2) for `address` (non-null), replacing an earlier
  // value. An index names one address: each address is given its own.
  void set(const void* address, int64_t index);
  // The index stored for `address`, or -1.
  int64_t find(const void* address) const;
  size_t size() const { return size_; }

 private:
  size_t home_slot(uintptr_t address) const;
  void grow();

  // Open addressing with linear probing over a power-of-two table of
  // index + 1 (0 marks an empty slot); the address of an index is kept apart.
  // Small slots keep the table cache-friendly for large graphs.
  std::vector<uint32_t> slots_;
  std::vector<uintptr_t> addresses_;  // index -> address
  int shift_ = 0;                     // 64 - log2(slots_.size())
  size_t size_ = 0;
};

}  // namespace vantle::core
