// A vector whose first N elements live inside it: most trace events have one
// input and one output, and a heap block for each would cost more than the
// rest of recording the event.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace vantle::export_ir {

template <typename T, std::size_t N>
class SmallVector {
 public:
  class const_iterator {
   public:
    const_iterator(const SmallVector* owner, std::size_t index) : owner_(owner), index_(index) {}
    const T& operator*() const { return (*owner_)[index_]; }
    const_iterator& operator++() {
      ++index_;
      return *this;
    }
    bool operator!=(const const_iterator& other) const { return index_ != other.index_; }

   private:
    const SmallVector* owner_;
    std::size_t index_;
  };

  void push_back(T value) {
    if (size_ < N) {
      inline_[size_] = std::move(value);
    } else {
      spill_.push_back(std::move(value));
    }
    ++size_;
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return i < N ? inline_[i] : spill_[i - N]; }
  const T& operator[](std::size_t i) const { return i < N ? inline_[i] : spill_[i - N]; }
  const T& front() const { return inline_[0]; }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size_}; }

 private:
  std::array<T, N> inline_{};
  std::vector<T> spill_;
  std::size_t size_ = 0;
};

}  // namespace vantle::export_ir
