// `a, b = value` from C++, with the running interpreter's own errors.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

namespace vantle::py {

namespace nb = nanobind;

// The two values of `value` as `a, b = value` unpacks them: an exact tuple of
// two at once, anything else by iteration, raising the interpreter's
// TypeError or ValueError (with its wording for this version) otherwise.
std::pair<nb::object, nb::object> unpack_pair(nb::handle value);

}  // namespace vantle::py
