// Which event produced each tensor of a trace, by the tensor object.
//
// An open-addressing table keyed by the object's address: a trace tags one
// or two tensors per module, and a node allocation per tag would cost more
// than the tagging. Each entry keeps a weak reference, so a tensor that died
// (and an object later born at its address) is never mistaken for the tagged one.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

#include "export_ir/trace/trace.h"

namespace vantle::export_ir {

class TensorTags {
 public:
  explicit TensorTags(std::size_t expected = 64);

  // The tag of a live tensor, or an untracked Ref.
  Ref find(PyObject* tensor) const;
  // Tags (or retags) a tensor.
  void set(PyObject* tensor, Ref ref);

 private:
  struct Slot {
    PyObject* key = nullptr;
    nb::object weak;
    Ref ref;
  };

  std::size_t index_of(PyObject* key) const;
  void grow();

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

}  // namespace vantle::export_ir
