// Argument checks shared by the extension modules.
//
// Declared tuple, list, dict and str arguments must be exactly that built-in
// type; integer arguments take any number and truncate; float arguments become
// doubles. Violations raise TypeError with the text
//   Argument 'NAME' has incorrect type (expected T, got U)
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

namespace vantle::py {

namespace nb = nanobind;

// Name of an object's type as `type(obj).__name__` gives it.
std::string python_type_name(nb::handle obj);

[[noreturn]] void raise_arg_type(const char* arg, const char* expected, nb::handle given);

// Exact-type checks; `allow_none` admits None where the declaration does.
nb::tuple arg_tuple(nb::handle obj, const char* arg);
nb::list arg_list(nb::handle obj, const char* arg);
nb::dict arg_dict(nb::handle obj, const char* arg);
nb::str arg_str(nb::handle obj, const char* arg);
bool is_exact_none_or(nb::handle obj, PyTypeObject* type);
void require_exact(nb::handle obj, PyTypeObject* type, const char* arg, const char* expected,
                   bool allow_none = false);

// Any number, truncated to a Python int (arbitrary size); NaN and the
// infinities raise ValueError naming the argument.
nb::int_ arg_pyint(nb::handle obj, const char* arg);
// As arg_pyint, truncated to a C integer; out-of-range raises OverflowError.
int64_t arg_int(nb::handle obj, const char* arg);
// Any real number as a double.
double arg_float(nb::handle obj, const char* arg);

}  // namespace vantle::py
