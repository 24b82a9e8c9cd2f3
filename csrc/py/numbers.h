// Python numbers from C++.
#pragma once

#include <nanobind/nanobind.h>

namespace vantle::py {

namespace nb = nanobind;

// int(value): any number (or object with __int__/__index__) as a Python int,
// raising what int() raises.
nb::object python_int(nb::handle value);

}  // namespace vantle::py
