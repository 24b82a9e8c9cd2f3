// Tensors as the NumPy arrays that IR nodes hold.
#pragma once

#include <nanobind/nanobind.h>

#include "py/fast_path.h"

namespace vantle::export_ir {

namespace nb = nanobind;

// x.detach().cpu().numpy(), copied so that the array owns its memory: training
// the model further must not change an exported graph. The names involved are
// looked up once, when the object is made.
class TensorArrays {
 public:
  // `np` and `torch`: the modules to use.
  TensorArrays(nb::handle np, nb::handle torch);

  nb::object operator()(nb::handle tensor) const;

 private:
  bool holds_plain_float32(nb::handle tensor) const;
  nb::object copy_float32(nb::handle tensor) const;

  nb::object tensor_type_, parameter_type_;
  py::Float32Memory memory_;
  nb::object np_empty_, np_float32_;
  bool direct_copy_ = true;
};

}  // namespace vantle::export_ir
