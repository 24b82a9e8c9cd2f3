// Notes on exceptions that pass through: where a failure happened, without
// changing the exception's type or message.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace vantle::py {

namespace nb = nanobind;

// Adds `note` to the exception `error` carries (`BaseException.add_note`), so
// that a traceback shows it under the message. Should the exception refuse a
// note, it passes on as it is.
void add_note(const nb::python_error& error, const std::string& note);

}  // namespace vantle::py
