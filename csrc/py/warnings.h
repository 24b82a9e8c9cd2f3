// Warnings that point at the caller's line.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace vantle::py {

namespace nb = nanobind;

// warnings.warn(message, category) attributed to the line that called into the
// package: past the frames of the Python wrappers that give the module's
// functions their signatures (code named "<vantle.bridge... stub>") and of the
// package's own Python code.
void warn_at_caller(PyObject* category, const std::string& message);

}  // namespace vantle::py
