// Small conveniences for driving torch through its Python API.
#pragma once

#include <nanobind/nanobind.h>

namespace vantle::py {

namespace nb = nanobind;

// Python truth value of any object (a one-element tensor included).
bool truthy(nb::handle obj);

// `torch.from_numpy(np.asarray(value).astype(np.float32))`: a float32 CPU
// tensor that owns a fresh copy of the data.
nb::object float32_tensor(nb::handle np, nb::handle torch, nb::handle value);

}  // namespace vantle::py
