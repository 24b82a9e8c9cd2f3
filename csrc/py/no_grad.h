// `with torch.no_grad():` around a C++ scope.
#pragma once

#include <nanobind/nanobind.h>

namespace vantle::py {

namespace nb = nanobind;

// Gradients are off from construction to destruction, on every path out of
// the scope (an exception included).
class NoGrad {
 public:
  explicit NoGrad(nb::handle torch);
  ~NoGrad();
  NoGrad(const NoGrad&) = delete;
  NoGrad& operator=(const NoGrad&) = delete;

 private:
  nb::object context_;
};

}  // namespace vantle::py
