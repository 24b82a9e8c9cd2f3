#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "core/format.h"

using vantle::core::format_float;
using vantle::core::format_shape;

TEST(FormatFloat, MatchesPythonRepr) {
  // Expected texts are what repr(float) prints for the same value.
  const std::vector<std::pair<double, const char*>> cases = {
      {0.5, "0.5"},
      {25.0, "25.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1e-7, "1e-07"},
      {1.5e-5, "1.5e-05"},
      {0.0001, "0.0001"},
      {1e16, "1e+16"},
      {1234567890123456.0, "1234567890123456.0"},
      {0.1, "0.1"},
      {-2.75, "-2.75"},
      {123.456, "123.456"},
      {1e300, "1e+300"},
      {2.5e-300, "2.5e-300"},
      {100.0, "100.0"},
      {1.0 / 3, "0.3333333333333333"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(format_float(value), text) << value;
}

TEST(FormatFloat, NonFinite) {
  EXPECT_EQ(format_float(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(format_float(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(format_float(std::numeric_limits<double>::quiet_NaN()), "nan");
}

TEST(FormatShape, WritesPythonTuples) {
  const std::vector<int64_t> four = {1, 3, 64, 64};
  const std::vector<int64_t> one = {5};
  EXPECT_EQ(format_shape(four), "(1, 3, 64, 64)");
  EXPECT_EQ(format_shape(one), "(5,)");
  EXPECT_EQ(format_shape({}), "()");
}
