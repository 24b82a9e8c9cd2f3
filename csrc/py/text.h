// Python text as UTF-8 for messages.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace vantle::py {

namespace nb = nanobind;

// str(obj) as UTF-8. Characters UTF-8 cannot hold (lone surrogates, as a
// file name or a message decoded with surrogateescape has them) come out as
// backslash escapes, so that any text fits into a message.
std::string utf8_text(nb::handle obj);

// repr(value) as UTF-8, escaped as utf8_text escapes.
std::string repr_text(nb::handle value);

// str(error) for a message about it; Python's own "<exception str() failed>"
// when its __str__ raises.
std::string error_text(nb::handle error);

}  // namespace vantle::py
