// Text forms of numbers and shapes for error messages, matching what the
// interpreter prints (repr of floats, tuples of integers).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vantle::core {

// Shortest text that reads back as the same double, laid out like Python's
// float repr: "0.5", "25.0", "1e-07", "1e+16", "inf", "-inf", "nan".
std::string format_float(double value);

// A shape as a Python tuple: "(1, 3, 64, 64)", "(5,)", "()".
std::string format_shape(std::span<const int64_t> dims);

}  // namespace vantle::core
