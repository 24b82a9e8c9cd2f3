#include "core/format.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace vantle::core {

std::string format_float(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";

  // Shortest round-trip digits in scientific form, e.g. "1.2345e+03".
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string sci(buffer, result.ptr);

  const bool negative = sci.front() == '-';
  if (negative) sci.erase(0, 1);
  const auto e_pos = sci.find('e');
  const int exponent = std::atoi(sci.c_str() + e_pos + 1);
  std::string digits = sci.substr(0, e_pos);
  if (const auto dot = digits.find('.'); dot != std::string::npos) digits.erase(dot, 1);

  std::string out = negative ? "-" : "";
  // Python switches to exponent notation below 1e-4 and from 1e16 upwards.
  if (exponent < -4 || exponent >= 16) {
    out.append(digits, 0, 1);
    if (digits.size() > 1) out.append(".").append(digits, 1);
    char exp_text[16];
    std::snprintf(exp_text, sizeof exp_text, "e%c%02d", exponent < 0 ? '-' : '+',
                  std::abs(exponent));
    return out.append(exp_text);
  }
  if (exponent < 0) return out.append("0.").append(-exponent - 1, '0').append(digits);

  const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= integer_digits) {
    return out.append(digits).append(integer_digits - digits.size(), '0').append(".0");
  }
  return out.append(digits, 0, integer_digits).append(".").append(digits, integer_digits);
}

std::string format_shape(std::span<const int64_t> dims) {
  std::string out = "(";
  for (std::size_t i = 0; i < dims.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(dims[i]);
  }
  if (dims.size() == 1) out += ",";
  return out + ")";
}

}  // namespace vantle::core
