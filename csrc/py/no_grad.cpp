#include "py/no_grad.h"

namespace vantle::py {

NoGrad::NoGrad(nb::handle torch) : context_(torch.attr("no_grad")()) {
  context_.attr("__enter__")();
}

NoGrad::~NoGrad() {
  try {
    context_.attr("__exit__")(nb::none(), nb::none(), nb::none());
  } catch (const nb::python_error&) {
    // Restoring the grad mode does not fail in practice, and a destructor must not throw.
  }
}

}  // namespace vantle::py
