// Small conveniences for driving torch through its Python API.
#pragma once

#include <nanobind/nanobind.h>

namespace vantle::py {

namespace nb = nanobind;

// Python truth value of any object (a one-element tensor included).
bool truthy(nb::handle obj);

// `torch.from_numpy(array.astype(np.float32))`: a float32 CPU tensor that owns
// a fresh copy of the data (astype copies by default, even from float32, so
// the tensor never shares possibly read-only memory with the array). Arrays of
// any layout, byte order and numeric dtype give that one copy in C order. An
// object without `astype`, such as None, raises the interpreter's AttributeError.
nb::object float32_tensor(nb::handle np, nb::handle torch, nb::handle value);

}  // namespace vantle::py
