// A compiled callable that carries the signature its stub declares.
//
// Compiled functions have no signature that inspect can read. Rather than a Python
// function wrapped around each (one more frame on every call), the callable is held in
// a small object that forwards calls through vectorcall and keeps `__signature__`,
// `__name__`, `__qualname__`, `__doc__` and `__annotations__` in its own dictionary.
// It binds like a Python function when placed in a class, so it serves as a method too.
#pragma once

#include <nanobind/nanobind.h>

namespace vantle::py {

namespace nb = nanobind;

// `callable`, signed: `attributes` (a dict) become the new object's attributes, and
// `__wrapped__` is the callable itself.
nb::object signed_function(nb::handle callable, nb::handle attributes);

}  // namespace vantle::py
